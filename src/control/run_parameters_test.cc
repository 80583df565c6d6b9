#include "control/run_parameters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>
#include "support/bits.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

struct ReadResult {
  RunParameters p;
  std::string console;
  std::optional<int> error;
};

ReadResult read_text(const std::string& text) {
  ReadResult r;
  const ConsoleSink sink = [&r](std::initializer_list<ListItem> items) { r.console += format_list_line(items); };
  const Status read = read_control_text(text, r.p, sink);
  if (!read.is_ok()) r.error = read.number();
  return r;
}

const std::string kRead = " READ CNTL.DAT\n";
const std::string kClose = " CLOSE CNTL.DAT\n";
const std::string kDash = " ----\n";

std::string int_line(int32_t v) { return format_list_line({int4_item(v)}); }
std::string pair_line(int32_t a, int32_t b) { return format_list_line({int4_item(a), int4_item(b)}); }

// A control file with the given band count and group bodies.
std::string control(const std::string& nb, const std::string& data, const std::string& contrl = "",
                    const std::string& npt = "", const std::string& bands = "") {
  return nb + "\n100 200\n&DATA " + data + " /\n&CONTRL " + contrl + " /\n&NPT " + npt + " /\n" + bands;
}

TEST(RunParameters, ExampleControlFile) {
  const ReadResult r = read_text(
      "46\n2400 4800\n&DATA NFUNC=4, NDEF=2 /\n&CONTRL NWIN=2, TCLD=0.1, INTP=1 /\n&NPT NPOINT=46 /\n5\n17\n");
  ASSERT_EQ(std::nullopt, r.error);
  EXPECT_EQ(" READ CNTL.DAT\n"
            " ----\n"
            "           2\n"
            "           1           5\n"
            "           2          17\n"
            " ----\n"
            " CLOSE CNTL.DAT\n",
            r.console);
  RunParameters p = r.p;
  EXPECT_EQ(46, p.NB);
  EXPECT_EQ(2400, p.NL);
  EXPECT_EQ(4800, p.NS);
  EXPECT_EQ(4, p.NFUNC);
  EXPECT_EQ(2, p.NDEF);
  EXPECT_EQ(0, p.NDAT);
  EXPECT_EQ(0, p.ISPOT);
  EXPECT_EQ(2, p.NWIN);
  EXPECT_EQ(1, p.INTP);
  EXPECT_EQ(bits(0.1), bits(p.TCLD));
  EXPECT_EQ(1, p.MMSW);
  EXPECT_EQ(1, p.SELECT);
  EXPECT_EQ(1, p.FITSW);
  EXPECT_EQ(0, p.MASK);
  EXPECT_EQ(0, p.FITMD);
  EXPECT_EQ(46, p.NPOINT);
  EXPECT_EQ(2, p.excluded_count);
  EXPECT_EQ(5, p.excluded_bands[0]);
  EXPECT_EQ(17, p.excluded_bands[1]);

  ASSERT_EQ("", derive_run_parameters(p).message());
  EXPECT_EQ(46, p.NDAT);
  EXPECT_EQ(10, p.NP);
  EXPECT_EQ(bits(0.2), bits(p.upper_threshold));
  EXPECT_EQ(bits(-0.1), bits(p.lower_threshold));
}

TEST(RunParameters, EmptyGroupsKeepTheDefaults) {
  ReadResult r = read_text("46\n10 20\n&DATA /\n&CONTRL /\n&NPT /\n");
  ASSERT_EQ(std::nullopt, r.error);
  EXPECT_EQ(kRead + kClose, r.console);
  ASSERT_EQ("", derive_run_parameters(r.p).message());
  EXPECT_EQ(6, r.p.NFUNC);
  EXPECT_EQ(14, r.p.NP);
  EXPECT_EQ(3, r.p.NWIN);
  EXPECT_EQ(46, r.p.NPOINT);
  EXPECT_EQ(0, r.p.INTP);
  EXPECT_EQ(0, r.p.MASK);
  EXPECT_EQ(0, r.p.excluded_count);
  EXPECT_EQ(0x3FC3333340000000u, bits(r.p.TCLD));  // 0.15000000596046448
  EXPECT_EQ(bits(0.30000001192092896), bits(r.p.upper_threshold));
  EXPECT_EQ(bits(-0.15000000596046448), bits(r.p.lower_threshold));
}

TEST(RunParameters, ReadingStartsFromTheDefaults) {
  RunParameters p;
  p.NFUNC = 1;
  p.TCLD = 9.0;
  p.excluded_count = 5;
  const ConsoleSink sink = [](std::initializer_list<ListItem>) {};
  read_control_text("46\n10 20\n&DATA /\n&CONTRL /\n&NPT /\n", p, sink);
  EXPECT_EQ(6, p.NFUNC);
  EXPECT_EQ(bits(static_cast<double>(0.15f)), bits(p.TCLD));
  EXPECT_EQ(0, p.excluded_count);
}

TEST(RunParameters, AllMembersOfTheGroups) {
  ReadResult r = read_text(control("46", "ndat=99 nfunc=3 ndef=0 ispot=7",
                                   "NWIN=1 INTP=2 SELECT=257 MMSW=0 TCLD=.2D0 FITSW=-3 MASK=1 FITMD=255",
                                   "NPOINT=23"));
  ASSERT_EQ(std::nullopt, r.error);
  const RunParameters& p = r.p;
  EXPECT_EQ(99, p.NDAT);
  EXPECT_EQ(3, p.NFUNC);
  EXPECT_EQ(7, p.ISPOT);
  EXPECT_EQ(1, p.NWIN);
  EXPECT_EQ(2, p.INTP);
  EXPECT_EQ(1, p.SELECT);
  EXPECT_EQ(0, p.MMSW);
  EXPECT_EQ(bits(0.2), bits(p.TCLD));
  EXPECT_EQ(-3, p.FITSW);
  EXPECT_EQ(1, p.MASK);
  EXPECT_EQ(-1, p.FITMD);
  EXPECT_EQ(23, p.NPOINT);
  RunParameters q = p;
  ASSERT_EQ("", derive_run_parameters(q).message());
  EXPECT_EQ(46, q.NDAT);  // NDAT=99 has no effect
  EXPECT_EQ(8, q.NP);
}

TEST(RunParameters, NullAndSlashInTheCountRecords) {
  ReadResult r = read_text(",\n/\n&DATA /\n&CONTRL /\n&NPT /\n");
  ASSERT_EQ(std::nullopt, r.error);
  EXPECT_EQ(0, r.p.NB);
  EXPECT_EQ(0, r.p.NL);
  EXPECT_EQ(0, r.p.NS);
  r = read_text("5\n\n500\n300\n&DATA /\n&CONTRL /\n&NPT /\n");
  ASSERT_EQ(std::nullopt, r.error);
  EXPECT_EQ(500, r.p.NL);
  EXPECT_EQ(300, r.p.NS);
}

TEST(RunParameters, BandEchoLayout) {
  const ReadResult r = read_text(control("46", "NDEF=5", "", "", "7\n0\n0\n0\n0\n"));
  ASSERT_EQ(std::nullopt, r.error);
  const std::string eleven(11, ' ');
  EXPECT_EQ(kRead + " ----\n" + eleven + "5\n" + eleven + "1" + eleven + "7\n" + " ----\n" + kClose, r.console);
}

TEST(RunParameters, BandEcho) {
  struct Case {
    const char* name;
    std::string text;
    std::string console;
    std::vector<int16_t> bands;
  };
  const Case cases[] = {
      {"duplicates kept and zero dropped", control("46", "NDEF=3", "", "", "5\n0\n5\n"),
       kRead + kDash + int_line(3) + pair_line(1, 5) + pair_line(2, 5) + kDash + kClose,
       {5, 5}},
      {"band above NB dropped", control("10", "NDEF=2", "", "", "11\n10\n"),
       kRead + kDash + int_line(2) + pair_line(1, 10) + kDash + kClose,
       {10}},
      {"negative band dropped", control("10", "NDEF=1", "", "", "-3\n"), kRead + kDash + int_line(1) + kDash + kClose,
       {}},
      {"null and slash repeat the previous band", control("46", "NDEF=3", "", "", "7\n,\n/\n"),
       kRead + kDash + int_line(3) + pair_line(1, 7) + pair_line(2, 7) + pair_line(3, 7) + kDash + kClose,
       {7, 7, 7}},
      {"null first tests band 0", control("46", "NDEF=2", "", "", ",\n4\n"),
       kRead + kDash + int_line(2) + pair_line(1, 4) + kDash + kClose,
       {4}},
      {"one band per record", control("46", "NDEF=2", "", "", "3 4\n\n9\n"),
       kRead + kDash + int_line(2) + pair_line(1, 3) + pair_line(2, 9) + kDash + kClose,
       {3, 9}},
      {"NDEF equal to NB", control("3", "NDEF=3", "", "", "1\n2\n3\n"),
       kRead + kDash + int_line(3) + pair_line(1, 1) + pair_line(2, 2) + pair_line(3, 3) + kDash + kClose,
       {1, 2, 3}},
      {"NDEF above NB reads no band", control("3", "NDEF=4"), kRead + kClose, {}},
      {"negative NDEF reads no band", control("46", "NDEF=-2"), kRead + kClose, {}},
      {"NDEF with NB of 0 reads no band", control("0", "NDEF=1"), kRead + kClose, {}},
  };
  for (const auto& c : cases) {
    const ReadResult r = read_text(c.text);
    ASSERT_EQ(std::nullopt, r.error) << c.name;
    EXPECT_EQ(c.console, r.console) << c.name;
    ASSERT_EQ(static_cast<int32_t>(c.bands.size()), r.p.excluded_count) << c.name;
    for (size_t k = 0; k < c.bands.size(); ++k) EXPECT_EQ(c.bands[k], r.p.excluded_bands[k]) << c.name;
  }
}

TEST(RunParameters, MoreAcceptedBandsThanRoom) {
  std::string bands;
  for (int k = 1; k <= 205; ++k) bands += std::to_string(k) + "\n";
  ReadResult r = read_text(control("300", "NDEF=205", "", "", bands));
  ASSERT_EQ(std::nullopt, r.error);
  EXPECT_NE(std::string::npos, r.console.find(pair_line(205, 205))) << "every accepted band is echoed";
  EXPECT_EQ(200, r.p.excluded_count);
  EXPECT_EQ(200, r.p.excluded_bands[199]);
  EXPECT_EQ("NB = 300 in cntl.dat is outside the allowed range 3..200", derive_run_parameters(r.p).message());
}

TEST(RunParameters, ReadErrorsKeepTheLinesWritten) {
  struct Case {
    const char* name;
    std::string text;
    int error;
    std::string console;
  };
  const Case cases[] = {
      {"empty file", "", 24, kRead},
      {"groups out of order", "46\n1 1\n&CONTRL /\n&DATA /\n&NPT /\n", 24, kRead},
      {"last line without line feed", "46\n1 1\n&DATA /\n&CONTRL /\n&NPT /", 24, kRead},
      {"band record missing", control("46", "NDEF=2", "", "", "5\n"), 24, kRead + kDash + int_line(2) + pair_line(1, 5)},
      {"letters for NB", "abc\n", 59, kRead},
      {"logical for NL", "46\nT 1\n", 59, kRead},
      {"quoted NS", "46\n1 '2'\n", 64, kRead},
      {"real for NFUNC", control("46", "NFUNC=4.0"), 17, kRead},
      {"logical for TCLD", control("46", "", "TCLD=.true."), 17, kRead},
      {"two values for NPOINT", control("46", "", "", "NPOINT=1 2"), 18, kRead},
      {"unknown member", control("46", "", "NPOINT=3"), 19, kRead},
      {"quoted band", control("46", "NDEF=1", "", "", "'5'\n"), 64, kRead + kDash + int_line(1)},
  };
  for (const auto& c : cases) {
    const ReadResult r = read_text(c.text);
    EXPECT_EQ(std::optional<int>(c.error), r.error) << c.name;
    EXPECT_EQ(c.console, r.console) << c.name;
  }
}

TEST(RunParameters, QueryListsTheGroupOnTheConsole) {
  const ReadResult r = read_text(control("46", "", "FITMD=2 ?"));
  ASSERT_EQ(std::nullopt, r.error);
  EXPECT_EQ(kRead +
                " &CONTRL\n NWIN = 3,\n INTP = 0,\n SELECT = 1,\n MMSW = 1,\n TCLD = 0.15000000596046448,\n"
                " FITSW = 1,\n MASK = 0,\n FITMD = 2\n /\n" +
                kClose,
            r.console);
}

TEST(CompleteRunParameters, Checks) {
  struct Case {
    const char* name;
    int32_t nb, ndef, nfunc, npoint, nwin;
    std::string reason;
  };
  const Case cases[] = {
      {"defaults", 46, 0, 6, 46, 3, ""},
      {"NB 3 accepted", 3, 0, 6, 46, 3, ""},
      {"NB 200 accepted", 200, 200, 6, 46, 3, ""},
      {"NB 2", 2, 0, 6, 46, 3, "tsrecon: NB = 2 in cntl.dat is outside the allowed range 3..200"},
      {"NB 201", 201, 0, 6, 46, 3, "tsrecon: NB = 201 in cntl.dat is outside the allowed range 3..200"},
      {"NB before NDEF", -1, -1, 6, 46, 3, "tsrecon: NB = -1 in cntl.dat is outside the allowed range 3..200"},
      {"NDEF negative", 46, -1, 6, 46, 3, "tsrecon: NDEF = -1 in cntl.dat is outside the allowed range 0..46"},
      {"NDEF above NB", 46, 47, 6, 46, 3, "tsrecon: NDEF = 47 in cntl.dat is outside the allowed range 0..46"},
      {"NDEF before NFUNC", 46, 47, 7, 46, 3, "tsrecon: NDEF = 47 in cntl.dat is outside the allowed range 0..46"},
      {"NFUNC 0 accepted", 46, 0, 0, 46, 3, ""},
      {"NFUNC 7", 46, 0, 7, 46, 3, "tsrecon: NFUNC = 7 in cntl.dat is outside the allowed range 0..6"},
      {"NFUNC -1", 46, 0, -1, 46, 3, "tsrecon: NFUNC = -1 in cntl.dat is outside the allowed range 0..6"},
      {"NFUNC before NPOINT", 46, 0, 7, 0, 3, "tsrecon: NFUNC = 7 in cntl.dat is outside the allowed range 0..6"},
      {"NPOINT 1 accepted", 46, 0, 6, 1, 3, ""},
      {"NPOINT 0", 46, 0, 6, 0, 3, "tsrecon: NPOINT = 0 in cntl.dat is outside the allowed range 1..2147483647"},
      {"NPOINT before NWIN", 46, 0, 6, -5, -1,
       "tsrecon: NPOINT = -5 in cntl.dat is outside the allowed range 1..2147483647"},
      {"NWIN 0 accepted", 46, 0, 6, 46, 0, ""},
      {"large NWIN accepted", 46, 0, 6, 46, 1000000, ""},
      {"NWIN -1", 46, 0, 6, 46, -1, "tsrecon: NWIN = -1 in cntl.dat is outside the allowed range 0..2147483647"},
  };
  for (const auto& c : cases) {
    RunParameters p;
    p.NB = c.nb;
    p.NDEF = c.ndef;
    p.NFUNC = c.nfunc;
    p.NPOINT = c.npoint;
    p.NWIN = c.nwin;
    p.NDAT = 99;
    EXPECT_EQ(c.reason, derive_run_parameters(p).line("tsrecon")) << c.name;
    EXPECT_EQ(c.nb, p.NDAT) << c.name;
    if (c.reason.empty()) {
      EXPECT_EQ(2 * c.nfunc + 2, p.NP) << c.name;
    }
  }
}

TEST(CompleteRunParameters, Thresholds) {
  struct Case {
    int8_t fitmd;
    double tcld, upper, lower;
  };
  const Case cases[] = {
      {0, 0.25, 0.5, -0.25},
      {1, 0.25, 0.25, -0.5},
      {2, 0.25, 0.25, -0.25},
      {5, 0.25, 0.5, -0.25},
      {-1, 0.25, 0.5, -0.25},
      {1, 0.1, 0.1, -0.2},
      // The sign of zero follows the formulas: -(TCLD * 2.0) and -TCLD.
      {0, -0.0, -0.0, 0.0},
      {1, 0.0, 0.0, -0.0},
      {2, -0.0, -0.0, 0.0},
  };
  for (const auto& c : cases) {
    RunParameters p;
    p.NB = 46;
    p.FITMD = c.fitmd;
    p.TCLD = c.tcld;
    ASSERT_EQ("", derive_run_parameters(p).message());
    EXPECT_EQ(bits(c.upper), bits(p.upper_threshold)) << int(c.fitmd) << " " << c.tcld;
    EXPECT_EQ(bits(c.lower), bits(p.lower_threshold)) << int(c.fitmd) << " " << c.tcld;
  }
}

// What every pixel of a run is reconstructed with: the sizes, thresholds and
// excluded bands as they are, and the switches as what they decide.
TEST(PixelSettingsOfRun, Switches) {
  struct Case {
    const char* name;
    std::string contrl;  // members of &CONTRL
    EnvelopeFilter filter;
    bool keep_preliminary, weights_are_mask, fit_valid_only;
  };
  const EnvelopeFilter none = EnvelopeFilter::kNone, dips = EnvelopeFilter::kFillDips,
                       peaks = EnvelopeFilter::kClipPeaks;
  const Case cases[] = {
      {"defaults", "", dips, false, false, true},
      {"peaks", "FITMD=1", peaks, false, false, true},
      {"fitmd2_no_filter", "FITMD=2", none, false, false, true},
      {"fitmd_negative_no_filter", "FITMD=-1, MMSW=5", none, false, false, true},
      {"mmsw0_no_filter", "MMSW=0", none, false, false, true},
      {"mmsw_negative_no_filter", "MMSW=-1, FITMD=1", none, false, false, true},
      {"mmsw2_peaks", "MMSW=2, FITMD=1", peaks, false, false, true},
      {"intp1", "INTP=1", dips, true, false, true},
      {"intp2", "INTP=2", dips, true, false, true},
      {"mask1", "MASK=1", dips, false, true, true},
      {"mask2_no_mask", "MASK=2", dips, false, false, true},
      {"fitsw0", "FITSW=0", dips, false, false, false},
      {"fitsw_negative", "FITSW=-1", dips, false, false, false},
      {"fitsw2", "FITSW=2", dips, false, false, true},
  };
  for (const auto& c : cases) {
    const std::string contrl = c.contrl.empty() ? "NWIN=2" : c.contrl + ", NWIN=2";
    const ReadResult r = read_text(control("46", "NFUNC=4, NDEF=2", contrl, "NPOINT=23", "5\n17\n"));
    ASSERT_FALSE(r.error) << c.name;
    RunParameters p = r.p;
    ASSERT_EQ("", derive_run_parameters(p).message()) << c.name;
    const PixelSettings s = pixel_settings(p);
    EXPECT_EQ(s.filter, c.filter) << c.name;
    EXPECT_EQ(s.keep_preliminary, c.keep_preliminary) << c.name;
    EXPECT_EQ(s.weights_are_mask, c.weights_are_mask) << c.name;
    EXPECT_EQ(s.fit_valid_only, c.fit_valid_only) << c.name;
    EXPECT_EQ(s.nb, 46) << c.name;
    EXPECT_EQ(s.nfunc, 4) << c.name;
    EXPECT_EQ(s.np, 10) << c.name;
    EXPECT_EQ(s.nwin, 2) << c.name;
    EXPECT_EQ(bits(s.lower_threshold), bits(p.lower_threshold)) << c.name;
    EXPECT_EQ(bits(s.upper_threshold), bits(p.upper_threshold)) << c.name;
    EXPECT_EQ(s.excluded_bands, (std::vector<int32_t>{5, 17})) << c.name;
  }
}

}  // namespace
}  // namespace tsr

namespace tsr {
namespace {

// Where and why a read stopped: the line, the item, the text found there
// and what belongs there, for messages that help a person mend the file.
TEST(RunParameters, ErrorsSayWhereAndWhat) {
  struct Case {
    const char* name;
    std::string text;
    int number, line;
    const char* item;
    const char* found;
    const char* expected;  // part of the expectation
  };
  const Case cases[] = {
      {"empty file", "", 24, 1, "NB", "", "a value for NB; the file ends here"},
      {"letters for NB", "4x\n", 59, 1, "NB", "4x", "a whole number"},
      {"NS missing: the group is read as a value", "46\n60\n&DATA /\n", 59, 3, "NS", "&DATA", "a whole number"},
      {"quoted count", "46\n'60' 70\n", 64, 2, "NL", "'60'", "not quoted text"},
      {"count beyond 32 bits", "46\n60 9999999999\n", 64, 2, "NS", "9999999999", "-2147483648 to 2147483647"},
      {"real for an integer member", "46\n60 70\n&DATA NFUNC=4.5 /\n&CONTRL /\n&NPT /\n", 17, 3, "NFUNC", "4.5",
       "a whole number for NFUNC"},
      {"letters for the real", "46\n60 70\n&DATA /\n&CONTRL TCLD=abc /\n&NPT /\n", 17, 4, "TCLD", "abc",
       "a number for TCLD"},
      {"unknown member", "46\n60 70\n&DATA NFUNK=4 /\n", 19, 3, "&DATA", "NFUNK", "NDAT, NFUNC, NDEF, ISPOT"},
      {"two values", "46\n60 70\n&DATA NFUNC=4 5 /\n", 18, 3, "NFUNC", "5", "the next member"},
      {"no equals", "46\n60 70\n&DATA NFUNC 4 /\n", 17, 3, "NFUNC", "4", "= after NFUNC"},
      {"group never closed", "46\n60 70\n&DATA NFUNC=4\n", 24, 4, "NFUNC", "", "the / that ends &DATA"},
      {"groups out of order", "46\n60 70\n&CONTRL /\n&DATA /\n&NPT /\n", 24, 6, "&CONTRL", "",
       "the group &CONTRL"},
      {"last line without line feed", "46\n60 70\n&DATA /\n&CONTRL /\n&NPT /", 24, 5, "&NPT", "&NPT /",
       "in a last line without its line feed"},
      {"excluded band missing", "46\n60 70\n&DATA NDEF=2 /\n&CONTRL /\n&NPT /\n5\n", 24, 7,
       "excluded band 2 of NDEF=2", "", "a value for excluded band 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunParameters p;
    const Status read = read_control_text(c.text, p, [](std::initializer_list<ListItem>) {});
    EXPECT_EQ(read.code(), Status::Code::kRuntimeError);
    EXPECT_EQ(read.number(), c.number);
    const Status::Detail& at = read.detail();
    EXPECT_EQ(at.line, c.line);
    EXPECT_EQ(at.item, c.item);
    EXPECT_EQ(at.found, c.found);
    EXPECT_NE(at.expected.find(c.expected), std::string::npos) << at.expected;
  }
}

}  // namespace
}  // namespace tsr
