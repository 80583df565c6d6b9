#include "runtime/console.h"

#include <gtest/gtest.h>

namespace tsr {
namespace {

struct LineCase {
  const char* name;
  std::string expected;
  std::string actual;
};

TEST(ConsoleLayout, ListDirectedLines) {
  const LineCase cases[] = {
      {"text", " READ CNTL.DAT\n", format_list_line({text_item("READ CNTL.DAT")})},
      {"int4", "           5\n", format_list_line({int4_item(5)})},
      {"pair", "           1           7\n", format_list_line({int4_item(1), int4_item(7)})},
      {"negative", "          -5\n", format_list_line({int4_item(-5)})},
      {"widest", " -2147483648\n", format_list_line({int4_item(-2147483647 - 1)})},
      {"map failure", "           3          17     -1\n",
       format_list_line({int4_item(3), int4_item(17), int2_item(-1)})},
      {"int1", "  -12\n", format_list_line({int1_item(-12)})},
      {"text after int", "           2abc\n", format_list_line({int4_item(2), text_item("abc")})},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.actual) << c.name;
  EXPECT_EQ(14u, format_list_line({text_item("READ CNTL.DAT")}).size() - 1);
}

TEST(ConsoleLayout, LongWritesContinueOnNewLines) {
  // Seven 12-column fields fill 84 columns: the seventh starts a new line.
  std::string s = format_list_line({int4_item(1), int4_item(2), int4_item(3), int4_item(4), int4_item(5),
                                    int4_item(6), int4_item(7)});
  EXPECT_EQ(std::string(72, ' ').size() + 1 + 12 + 1, s.size());
  EXPECT_EQ(72u, s.find('\n'));
  std::string long_text(100, 'x');
  std::string t = format_list_line({text_item(long_text)});
  EXPECT_EQ(" " + std::string(79, 'x') + "\n " + std::string(21, 'x') + "\n", t);
}

TEST(ConsoleLayout, ProgressLine) {
  struct Case {
    int32_t line, lines;
    const char* expected;
  } cases[] = {
      {1, 500, "     1/  500line\n"},
      {37, 2400, "    37/ 2400line\n"},
      {12345, 99999, " 12345/99999line\n"},
      {123456, 200000, " *****/*****line\n"},
      {-5, 3, "    -5/    3line\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, format_progress_line(c.line, c.lines));
}

}  // namespace
}  // namespace tsr
