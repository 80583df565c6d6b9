#include "control/control_syntax.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>
#include "support/bits.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

// Collects console lines as the console would show them.
struct Console {
  std::string text;
  ConsoleSink sink() {
    return [this](std::initializer_list<ListItem> items) { text += format_list_line(items); };
  }
};

// The error number of a read, or nullopt when it succeeded.
std::optional<int> error_of(const Status& read) {
  if (read.is_ok()) return std::nullopt;
  return read.number();
}

// ---------------------------------------------------------------------------
// Records.

TEST(RecordSource, CutsRecordsAtLineFeeds) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> records;
  };
  const Case cases[] = {
      {"plain", "a\nb\n", {"a", "b"}},
      {"carriage return before line feed dropped", "a\r\nb\n", {"a", "b"}},
      {"only the last carriage return dropped", "a\r\r\n", {"a\r"}},
      {"empty record", "\r\n\n", {"", ""}},
      {"last line without line feed is no record", "a\nb", {"a"}},
      {"empty text", "", {}},
      {"0x1A record ends the file", "a\n\x1a\nb\n", {"a"}},
      {"0x1A record with carriage return", "\x1a\r\nb\n", {}},
      {"two 0x1A bytes are data", "\x1a\x1a\nb\n", {"\x1a\x1a", "b"}},
      {"0x1A inside a record is data", "a\x1a\n", {"a\x1a"}},
  };
  for (const auto& c : cases) {
    RecordSource source(c.text);
    std::vector<std::string> got;
    std::string_view r;
    while (source.next(r)) got.emplace_back(r);
    EXPECT_EQ(c.records, got) << c.name;
    EXPECT_FALSE(source.next(r)) << c.name << ": the end of the file stays the end";
  }
}

TEST(RecordSource, NoLimitOnRecordLength) {
  std::string text(3'000'000, ' ');
  text += "42\n";
  Console console;
  ControlReader reader(text, console.sink());
  int32_t v = 0;
  reader.read_value_list({&v});
  EXPECT_EQ(42, v);
}

// ---------------------------------------------------------------------------
// List-directed reads.

struct ListCase {
  const char* name;
  std::string text;
  std::vector<int32_t> initial;  // one entry per item
  std::vector<int32_t> expected;
  int error = 0;
};

void run_list_cases(const std::vector<ListCase>& cases) {
  for (const auto& c : cases) {
    Console console;
    ControlReader reader(c.text, console.sink());
    std::vector<int32_t> values = c.initial;
    std::vector<int32_t*> items;
    for (auto& v : values) items.push_back(&v);
    const auto err = error_of(reader.read_value_list(items));
    if (c.error != 0) {
      EXPECT_EQ(std::optional<int>(c.error), err) << c.name;
    } else {
      EXPECT_EQ(std::nullopt, err) << c.name;
      EXPECT_EQ(c.expected, values) << c.name;
    }
  }
}

TEST(ValueList, SeparatorsNullsAndSlashes) {
  run_list_cases({
      {"one value", "5\n", {0}, {5}},
      {"blanks and tabs around", " \t5\t \n", {0}, {5}},
      {"value list over three lines", "500\n300\n", {0, 0}, {500, 300}},
      {"empty lines skipped", "\n\n  \n7\n", {0}, {7}},
      {"extra values ignored", "500 300 400\n", {0, 0}, {500, 300}},
      {"comma separator", "500,300\n", {0, 0}, {500, 300}},
      {"comma with blanks", "500 , 300\n", {0, 0}, {500, 300}},
      {"tab separates", "1\t2\n", {0, 0}, {1, 2}},
      {"lone comma is a null", ",\n", {9}, {9}},
      {"leading comma is a null", ",7\n", {1, 2}, {1, 7}},
      {"two commas make a null", "7,,8\n", {1, 2, 3}, {7, 2, 8}},
      {"null across a line end", "7,\n,8\n", {1, 2, 3}, {7, 2, 8}},
      {"comma after line end separates", "7\n,8\n", {1, 2}, {7, 8}},
      {"slash alone", "/\n", {4, 5}, {4, 5}},
      {"slash after a value", "5/\n", {4, 5}, {5, 5}},
      {"slash after a blank", "5 / 6\n", {4, 5}, {5, 5}},
      {"repeat of a constant", "2*7\n", {0, 0}, {7, 7}},
      {"repeat beyond the items", "3*7 9\n", {0, 0}, {7, 7}},
      {"repeat of nulls", "2* 9\n", {1, 2, 3}, {1, 2, 9}},
      {"repeat of nulls then comma", "2*,9\n", {1, 2, 3}, {1, 2, 9}},
      {"huge repeat count", "99999999999999999999999*4\n", {0, 0}, {4, 4}},
      {"carriage return line end", "5\r\n", {0}, {5}},
  });
}

TEST(ValueList, Conversions) {
  run_list_cases({
      {"plus sign", "+5\n", {0}, {5}},
      {"negative", "-5\n", {0}, {-5}},
      {"smallest", "-2147483648\n", {0}, {-2147483647 - 1}},
      {"largest", "2147483647\n", {0}, {2147483647}},
      {"real truncated", "3.7\n", {0}, {3}},
      {"negative real truncated toward zero", "-3.7\n", {0}, {-3}},
      {"exponent e", "1e2\n", {0}, {100}},
      {"exponent D", "1D2\n", {0}, {100}},
      {"exponent q", "1q2\n", {0}, {100}},
      {"exponent with sign", "25E-1\n", {0}, {2}},
      {"leading period", ".5\n", {9}, {0}},
      {"trailing period", "5.\n", {9}, {5}},
      {"low 32 bits of a large real", "1e10\n", {0}, {1410065408}},
      {"low 32 bits of a large negative real", "-1e10\n", {0}, {-1410065408}},
      {"wraps past 2^32", "4294967297.0\n", {0}, {1}},
      {"beyond 64 bits", "1e30\n", {9}, {0}},
  });
}

TEST(ValueList, Errors) {
  run_list_cases({
      {"letters", "abc\n", {0}, {}, 59},
      {"letter after digits", "12x\n", {0}, {}, 59},
      {"logical T", "T\n", {0}, {}, 59},
      {"logical .TRUE.", ".TRUE.\n", {0}, {}, 59},
      {"second period", "1.2.3\n", {0}, {}, 59},
      {"second exponent letter", "1e2e3\n", {0}, {}, 59},
      {"mixed exponent letters", "1D2Q3\n", {0}, {}, 59},
      {"star first", "*5\n", {0}, {}, 59},
      {"second star", "2**5\n", {0}, {}, 59},
      {"two repeats in one value", "2*3*4\n", {0}, {}, 59},
      {"signed repeat count", "+2*5\n", {0}, {}, 59},
      {"zero repeat count", "0*5\n", {0}, {}, 59},
      {"stray carriage return", "5\r\r\n", {0}, {}, 59},
      {"quote after digits", "12'\n", {0}, {}, 59},
      {"apostrophes", "'12'\n", {0}, {}, 64},
      {"quotation marks", "\"12\"\n", {0}, {}, 64},
      {"quoted constant of a repeat", "2*'1'\n", {0}, {}, 64},
      {"too large", "2147483648\n", {0}, {}, 64},
      {"too small", "-2147483649\n", {0}, {}, 64},
      {"sign inside", "1-2\n", {0}, {}, 64},
      {"sign only", "+\n", {0}, {}, 64},
      {"exponent letter only", "E\n", {0}, {}, 64},
      {"exponent without digits", "1e\n", {0}, {}, 64},
      {"period only", ".\n", {0}, {}, 64},
      {"real overflow", "1e400\n", {0}, {}, 64},
      {"empty file", "", {0}, {}, 24},
      {"no line feed", "5", {0}, {}, 24},
      {"only empty records", "\n\n", {0}, {}, 24},
      {"second item missing", "5\n", {0, 0}, {}, 24},
      {"0x1A record", "\x1a\n5\n", {0}, {}, 24},
  });
}

TEST(ValueList, EachReadStartsOnAFreshRecord) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<int32_t> expected;  // NB, NL, NS, then one more single read
  };
  const Case cases[] = {
      {"one value per line", "5\n500\n300\n7\n", {5, 500, 300, 7}},
      {"rest of the record dropped", "5 6\n500 300 400\n7 8\n", {5, 500, 300, 7}},
      {"slash drops the rest", "5\n/ 1 2\n7\n", {5, 0, 0, 7}},
      {"list over lines", "5\n\n500\n\n300 1\n7\n", {5, 500, 300, 7}},
  };
  for (const auto& c : cases) {
    Console console;
    ControlReader reader(c.text, console.sink());
    int32_t nb = 0, nl = 0, ns = 0, extra = 0;
    reader.read_value_list({&nb});
    reader.read_value_list({&nl, &ns});
    reader.read_value_list({&extra});
    EXPECT_EQ(c.expected, (std::vector<int32_t>{nb, nl, ns, extra})) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Namelist groups.

// A group with one item of every type.
struct TestGroup {
  int32_t ndat = 0;
  int32_t nfunc = 6;
  int8_t select = 1;
  double tcld = 0.5;
  GroupItem items[4] = {group_int4("NDAT", &ndat), group_int4("NFUNC", &nfunc), group_int1("SELECT", &select),
                        group_real8("TCLD", &tcld)};
  GroupDescriptor descriptor() const { return {"DATA", items}; }
};

struct GroupCase {
  const char* name;
  std::string text;
  int32_t ndat = 0;
  int32_t nfunc = 6;
  int error = 0;
};

void run_group_cases(const std::vector<GroupCase>& cases) {
  for (const auto& c : cases) {
    Console console;
    ControlReader reader(c.text, console.sink());
    TestGroup g;
    const auto err = error_of(reader.read_group(g.descriptor()));
    if (c.error != 0) {
      EXPECT_EQ(std::optional<int>(c.error), err) << c.name;
    } else {
      EXPECT_EQ(std::nullopt, err) << c.name;
      EXPECT_EQ(c.ndat, g.ndat) << c.name;
      EXPECT_EQ(c.nfunc, g.nfunc) << c.name;
    }
  }
}

TEST(Group, FindingAndClosingTheGroup) {
  run_group_cases({
      {"one line", "&DATA NDAT=20, NFUNC=4 /\n", 20, 4},
      {"over three lines", "&DATA\nNDAT=20,\nNFUNC=4 &END\n", 20, 4},
      {"closed by ampersand END", "&DATA\nNDAT=20,\n&END\n", 20},
      {"lower case", "&data ndat=20 nfunc=4 /\n", 20, 4},
      {"blank after the marker", "& data NDAT=20 /\n", 20},
      {"dollar marker", "$Data NDAT=20 $end\n", 20},
      {"tabs between tokens", "&DATA\tNDAT\t=\t20\t/\n", 20},
      {"line end after marker goes back to searching", "&\nDATA NDAT=1 /\n&DATA NDAT=2 /\n", 2},
      {"longer name is another group", "&DATAX NDAT=1 /\n&DATA NDAT=2 /\n", 2},
      {"other groups skipped", "&NPT NPOINT=4 /\n&OTHER /\n&DATA NDAT=3 /\n", 3},
      {"searching skips names, equals and commas", "junk = , &DATA NDAT=1 /\n", 1},
      {"searching skips the record at a digit", "x 1 &DATA NDAT=1 /\n&DATA NDAT=5 /\n", 5},
      {"searching skips the record at a quote", "'&DATA NDAT=1 /'\n&DATA NDAT=5 /\n", 5},
      {"second marker does not open", "& &DATA NDAT=1 /\n&DATA NDAT=5 /\n", 5},
      {"marker then digit", "&1 &DATA NDAT=1 /\n&DATA NDAT=5 /\n", 5},
      {"empty group", "&DATA /\n", 0},
      {"text after the closing marker ignored", "&DATA NDAT=3 / NFUNC=\n", 3},
      {"ampersand closes", "&DATA NDAT=3 & NFUNC=1\n", 3},
      {"line end after the name", "&DATA NDAT\n=4 /\n", 4},
      {"line end after equals", "&DATA NDAT=\n\n4 /\n", 4},
      {"marker after equals keeps the value", "&DATA NDAT=/\n", 0},
      {"equals then comma is a null", "&DATA NDAT=, NFUNC=4 /\n", 0, 4},
      {"comma after a value", "&DATA NDAT=3, /\n", 3},
      {"comma and line end", "&DATA NDAT=3,\n NFUNC=2,\n/\n", 3, 2},
      {"carriage returns", "&DATA NDAT=3 /\r\n", 3},
      {"comment after tokens", "&DATA ! c\n NDAT=3 ! more\n! alone\n NFUNC ! x\n = 2 /\n", 3, 2},
      {"commented group not seen", "! &DATA NDAT=1 /\n&DATA NDAT=2 /\n", 2},
      {"comment in a value", "&DATA NDAT=3!x\n/\n", 3},
  });
}

TEST(Group, DollarGroupsDropTheFirstColumn) {
  run_group_cases({
      {"leading blanks", "$DATA\n NDAT=20\n $END\n", 20},
      {"name in column 1 loses a letter", "$DATA\nNDAT=20\n $END\n", 0, 6, 19},
      {"closing marker in column 1 lost", "$DATA\n NDAT=20\n$END\n", 0, 6, 18},
      {"closing slash in column 2", "$DATA\n NDAT=20\n /\n", 20},
      {"same record read whole", "$DATA NDAT=20 $END\n", 20},
      {"ampersand groups read column 1", "&DATA\nNDAT=20\n/\n", 20},
      {"dropped column is any character", "$DATA\nxNDAT=20\nx/\n", 20},
  });
}

TEST(Group, NamesAndValuesToldApartByTheNextCharacter) {
  run_group_cases({
      {"T word followed by equals is a name", "&DATA NDAT=1 TCLD=0.5 /\n", 1},
      {"T word with equals on the next line", "&DATA NDAT=1 TCLD\n\n = 0.5 NFUNC=2 /\n", 1, 2},
      {"F word followed by slash is a value", "&DATA NDAT=1 FOO /\n", 0, 6, 18},
      {"other word followed by slash is a name", "&DATA NDAT=1 NOO /\n", 0, 6, 19},
      {"F word followed by equals is a name", "&DATA NDAT=1 FOO=1 /\n", 0, 6, 19},
      {"T word followed by a parenthesis is a name", "&DATA NDAT=1, TCLD(1)=2 /\n", 0, 6, 19},
      {"D word at the end of the file is a value", "&DATA NDAT=1 D\n", 0, 6, 18},
      {"E word after equals", "&DATA NDAT=E5 /\n", 0, 6, 17},
      {"E word after a value", "&DATA NDAT=1 E5 /\n", 0, 6, 18},
  });
}

TEST(Group, Errors) {
  run_group_cases({
      {"two values", "&DATA NDAT=1 2 /\n", 0, 6, 18},
      {"two values with comma", "&DATA NDAT=1,2 /\n", 0, 6, 18},
      {"repeat", "&DATA NDAT=2*5 /\n", 0, 6, 18},
      {"repeat of one", "&DATA NDAT=1*5 /\n", 0, 6, 18},
      {"repeat of nulls", "&DATA NDAT=3* /\n", 0, 6, 18},
      {"second null", "&DATA NDAT=,, /\n", 0, 6, 18},
      {"second comma after a value", "&DATA NDAT=5,\n, /\n", 0, 6, 18},
      {"quoted value after a value", "&DATA NDAT=5 'x' /\n", 0, 6, 18},
      {"logical after a value", "&DATA NDAT=5 .false. /\n", 0, 6, 18},
      {"real for an integer", "&DATA NDAT=20.0 /\n", 0, 6, 17},
      {"exponent for an integer", "&DATA NDAT=2E1 /\n", 0, 6, 17},
      {"integer beyond 64 bits", "&DATA NDAT=18446744073709551616 /\n", 0, 6, 17},
      {"negative beyond 64 bits", "&DATA NDAT=-9223372036854775809 /\n", 0, 6, 17},
      {"logical T", "&DATA NDAT=T /\n", 0, 6, 17},
      {"logical .TRUE.", "&DATA NDAT=.TRUE. /\n", 0, 6, 17},
      {"logical for the real", "&DATA TCLD=f /\n", 0, 6, 17},
      {"name after equals", "&DATA NDAT=NFUNC /\n", 0, 6, 17},
      {"malformed number", "&DATA NDAT=1-2 /\n", 0, 6, 17},
      {"garbage after a number", "&DATA NDAT=5x /\n", 0, 6, 17},
      {"component", "&DATA NDAT%A=1 /\n", 0, 6, 17},
      {"value without equals", "&DATA NDAT 5 /\n", 0, 6, 17},
      {"comma after the group name", "&DATA, NDAT=1 /\n", 0, 6, 17},
      {"digit where a name belongs", "&DATA 5 /\n", 0, 6, 17},
      {"query after equals", "&DATA NDAT= ? /\n", 0, 6, 17},
      {"name query after a name", "&DATA NDAT=? /\n", 0, 6, 17},
      {"equals after a value", "&DATA NDAT=5 = /\n", 0, 6, 17},
      {"apostrophes", "&DATA NDAT='20' /\n", 0, 6, 64},
      {"quotation marks for the real", "&DATA TCLD=\"1\" /\n", 0, 6, 64},
      {"unknown item", "&DATA NDATA=1 /\n", 0, 6, 19},
      {"subscript", "&DATA NDAT(1)=1 /\n", 0, 6, 19},
      {"subscript after a blank", "&DATA NDAT (1)=1 /\n", 0, 6, 19},
      {"empty file", "", 0, 6, 24},
      {"group never found", "&NPT /\n", 0, 6, 24},
      {"marker at the end", "&\n", 0, 6, 24},
      {"inside the group", "&DATA\n", 0, 6, 24},
      {"after a name", "&DATA NDAT\n", 0, 6, 24},
      {"after equals", "&DATA NDAT=\n", 0, 6, 24},
      {"after a value", "&DATA NDAT=1\n", 0, 6, 24},
      {"closing line without line feed", "&DATA NDAT=1\n/", 0, 6, 24},
      {"0x1A record before the group", "\x1a\n&DATA /\n", 0, 6, 24},
  });
}

TEST(Group, IntegerItemsKeepTheLowBits) {
  struct Case {
    const char* name;
    std::string text;
    int32_t ndat;
    int8_t select;
  };
  const Case cases[] = {
      {"plus sign dropped", "&DATA NDAT=+5 SELECT=+3 /\n", 5, 3},
      {"257 wraps to 1", "&DATA SELECT=257 /\n", 0, 1},
      {"255 wraps to -1", "&DATA SELECT=255 /\n", 0, -1},
      {"-1", "&DATA SELECT=-1 /\n", 0, -1},
      {"-129 wraps to 127", "&DATA SELECT=-129 /\n", 0, 127},
      {"2^32 + 1", "&DATA NDAT=4294967297 /\n", 1, 1},
      {"largest unsigned", "&DATA NDAT=18446744073709551615 /\n", -1, 1},
      {"most negative", "&DATA NDAT=-9223372036854775808 /\n", 0, 1},
      {"negative wrap", "&DATA NDAT=-4294967295 /\n", 1, 1},
      {"2^31", "&DATA NDAT=2147483648 /\n", -2147483647 - 1, 1},
      {"minus zero", "&DATA NDAT=-0 /\n", 0, 1},
  };
  for (const auto& c : cases) {
    Console console;
    ControlReader reader(c.text, console.sink());
    TestGroup g;
    ASSERT_EQ(std::nullopt, error_of(reader.read_group(g.descriptor()))) << c.name;
    EXPECT_EQ(c.ndat, g.ndat) << c.name;
    EXPECT_EQ(c.select, g.select) << c.name;
  }
}

TEST(Group, RealItem) {
  struct Case {
    const char* text;
    double expected;
  };
  const Case cases[] = {
      {"1", 1.0},
      {".2D0", 0.2},
      {"0.1", 0.1},
      {"1.5e-1", 0.15},
      {"-2.5Q1", -25.0},
      {"+.5", 0.5},
      {"5.", 5.0},
      {"1.5E+2", 150.0},
      {"1d-400", 0.0},
      {"-0.0", -0.0},
      {"0.15000000596046448", static_cast<double>(0.15f)},
      {"123456789012345678901234567890", 123456789012345678901234567890.0},
  };
  for (const auto& c : cases) {
    Console console;
    const std::string text = std::string("&DATA TCLD=") + c.text + " /\n";
    ControlReader reader(text, console.sink());
    TestGroup g;
    ASSERT_EQ(std::nullopt, error_of(reader.read_group(g.descriptor()))) << c.text;
    EXPECT_EQ(bits(c.expected), bits(g.tcld)) << c.text;
  }
  for (const char* bad : {"1d", "1E400", ".", "1.2.3", "+", "1e+", "1x"}) {
    Console console;
    const std::string text = std::string("&DATA TCLD=") + bad + " /\n";
    ControlReader reader(text, console.sink());
    TestGroup g;
    EXPECT_EQ(std::optional<int>(17), error_of(reader.read_group(g.descriptor()))) << bad;
    EXPECT_EQ(bits(0.5), bits(g.tcld)) << bad;
  }
}

TEST(Group, EachReadStartsOnAFreshRecord) {
  Console console;
  // The second group stands on the record that closed the first: never seen.
  ControlReader reader("&DATA NDAT=1 / &DATA NDAT=2 /\n", console.sink());
  TestGroup g;
  reader.read_group(g.descriptor());
  EXPECT_EQ(1, g.ndat);
  EXPECT_EQ(std::optional<int>(24), error_of(reader.read_group(g.descriptor())));

  ControlReader reader2("&DATA NDAT=1 /\n7 8\n&DATA NDAT=2 /\n9\n", console.sink());
  int32_t a = 0, b = 0;
  reader2.read_group(g.descriptor());
  reader2.read_value_list({&a});
  reader2.read_group(g.descriptor());
  reader2.read_value_list({&b});
  EXPECT_EQ(7, a);
  EXPECT_EQ(2, g.ndat);
  EXPECT_EQ(9, b);
}

TEST(Group, LookAheadOverManyBlankLinesStaysLinear) {
  std::string text = "&DATA NDAT=1";
  for (int k = 0; k < 20000; ++k) text += " TCLD\n" + std::string(100, '\n') + "=0.25";
  text += " /\n";
  Console console;
  ControlReader reader(text, console.sink());
  TestGroup g;
  reader.read_group(g.descriptor());
  EXPECT_EQ(bits(0.25), bits(g.tcld));
}

TEST(Group, QueriesListTheGroup) {
  const std::string listing_before =
      " &DATA\n NDAT = 0,\n NFUNC = 6,\n SELECT = 1,\n TCLD = 0.5\n /\n";
  const std::string listing_after =
      " &DATA\n NDAT = 2,\n NFUNC = 6,\n SELECT = 1,\n TCLD = 0.5\n /\n";
  struct Case {
    const char* name;
    std::string text;
    std::string console;
  };
  const Case cases[] = {
      {"query while searching", "? &DATA NDAT=2 /\n", listing_before},
      {"name query while searching", "=? &DATA NDAT=2 /\n", listing_before},
      {"query in the group", "&DATA ? NDAT=2 /\n", listing_before},
      {"query after a value", "&DATA NDAT=2 ? /\n", listing_after},
      {"name query after a value", "&DATA NDAT=2 =? /\n", listing_after},
      {"two queries", "&DATA ? NDAT=2 ?\n/\n", listing_before + listing_after},
      {"query after a marker is not a query", "& ? &DATA NDAT=2 /\n", ""},
  };
  for (const auto& c : cases) {
    Console console;
    ControlReader reader(c.text, console.sink());
    TestGroup g;
    ASSERT_EQ(std::nullopt, error_of(reader.read_group(g.descriptor()))) << c.name;
    EXPECT_EQ(c.console, console.text) << c.name;
    EXPECT_EQ(2, g.ndat) << c.name;
  }
  // After the query of AfterValue the reader is back in the group: a comma is
  // no longer a separator there.
  Console console;
  ControlReader reader("&DATA NDAT=2 ?, /\n", console.sink());
  TestGroup g;
  EXPECT_EQ(std::optional<int>(17), error_of(reader.read_group(g.descriptor())));
}

TEST(GroupListing, RealSpellings) {
  const std::pair<double, const char*> cases[] = {
      {0.1, "0.1"},
      {1.0, "1.0"},
      {static_cast<double>(0.15f), "0.15000000596046448"},
      {1e-5, "1e-05"},
      {-0.0, "-0.0"},
      {250.0, "250.0"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(text, format_real_value(v));
}

}  // namespace
}  // namespace tsr
