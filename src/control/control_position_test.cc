// Where each read of the control file stops: the byte span of the records a
// read took is what a tool needs to replace those records and keep the rest
// of the file as it is.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "control/control_syntax.h"

namespace tsr {
namespace {

const ConsoleSink kQuiet = [](std::initializer_list<ListItem>) {};

struct PositionCase {
  const char* name;
  std::string text;
  size_t after_first;   // position after the read of NB
  size_t after_second;  // position after the read of NL and NS
  int32_t nl;
  int32_t ns;
};

TEST(ControlReaderPosition, SpansOfTheTwoListReads) {
  const PositionCase cases[] = {
      {"one record each", "46\n23 17\n&DATA /\n", 3, 9, 23, 17},
      {"rest of the band record skipped", "46 99 98\n23 17\n", 9, 15, 23, 17},
      {"counts spread over two records", "46\n23\n17\n&DATA /\n", 3, 9, 23, 17},
      {"empty records before the counts", "46\n\n  \n23,17\n", 3, 13, 23, 17},
      {"carriage returns kept inside the span", "46\r\n23 17\r\n", 4, 11, 23, 17},
      {"text after the counts is part of the record", "46\n23 17 400 junk\n", 3, 18, 23, 17},
      {"slash ends the read on its record", "46\n23 /\n", 3, 8, 23, 0},
      {"repeat form", "46\n2*9\n", 3, 7, 9, 9},
  };
  for (const PositionCase& c : cases) {
    SCOPED_TRACE(c.name);
    ControlReader reader(c.text, kQuiet);
    EXPECT_EQ(reader.position(), 0u);
    int32_t nb = 0, nl = 0, ns = 0;
    reader.read_value_list({&nb});
    EXPECT_EQ(reader.position(), c.after_first);
    reader.read_value_list({&nl, &ns});
    EXPECT_EQ(reader.position(), c.after_second);
    EXPECT_EQ(nb, 46);
    EXPECT_EQ(nl, c.nl);
    EXPECT_EQ(ns, c.ns);
  }
}

TEST(ControlReaderPosition, GroupReadStopsAfterTheRecordOfItsMarker) {
  const std::string text = "3\n1 1\n&DATA NFUNC=2,\n /  trailing\n&CONTRL /\n";
  ControlReader reader(text, kQuiet);
  int32_t nb = 0, nl = 0, ns = 0, nfunc = 6;
  reader.read_value_list({&nb});
  reader.read_value_list({&nl, &ns});
  const GroupItem items[] = {group_int4("NFUNC", &nfunc)};
  reader.read_group({"DATA", items});
  EXPECT_EQ(nfunc, 2);
  EXPECT_EQ(std::string_view(text).substr(reader.position()), "&CONTRL /\n");
}

}  // namespace
}  // namespace tsr
