#include "runtime/errors.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace tsr {
namespace {

TEST(ErrorLine, Layout) {
  struct Case {
    ErrorCode code;
    int unit;
    const char* file;
    const char* expected;
  } cases[] = {
      {severe(24), 15, "/d/cntl.dat", "forrtl: severe (24): end-of-file during read, unit 15, file /d/cntl.dat"},
      {severe(36), 21, "/d/data.bsq",
       "forrtl: severe (36): attempt to access non-existent record, unit 21, file /d/data.bsq"},
      {severe(47), 50, "/x/p.bsq", "forrtl: severe (47): write to READONLY file, unit 50, file /x/p.bsq"},
      {severe(9), 52, "/x/f.bsq", "forrtl: severe (9): permission to access file denied, unit 52, file /x/f.bsq"},
      {kClassError | 200, 0, "control-C", "forrtl: error (200): program aborting due to control-C event"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, format_error_line(c.code, c.unit, c.file));
}

TEST(ErrorLine, EveryNumberHasText) {
  for (int n : {9, 17, 18, 19, 24, 25, 29, 36, 38, 39, 46, 47, 59, 64, 200}) EXPECT_FALSE(message_text(n).empty()) << n;
  EXPECT_TRUE(message_text(1).empty());
}

TEST(ErrorLine, EventNames) {
  EXPECT_EQ("control-C", interrupt_event_name(SIGINT));
  EXPECT_EQ("control-BREAK", interrupt_event_name(SIGQUIT));
  EXPECT_EQ("menu-CLOSE", interrupt_event_name(SIGHUP));
  EXPECT_EQ("unknown", interrupt_event_name(SIGTERM));
}

TEST(ErrorLineDeathTest, SevereEndsWithTheErrorNumber) {
  EXPECT_EXIT(raise_runtime_error(severe(24), 15, "/w/cntl.dat"), ::testing::ExitedWithCode(24),
              "^forrtl: severe \\(24\\): end-of-file during read, unit 15, file /w/cntl.dat\n$");
  EXPECT_EXIT(fail_run("tsrecon: nope"), ::testing::ExitedWithCode(1), "^tsrecon: nope\n$");
  EXPECT_EXIT(stop_run(), ::testing::ExitedWithCode(0), "^$");
}

TEST(ErrorLineDeathTest, RegisteredFilesAreClosedOnEveryEnd) {
  struct Marker : Closable {
    void close() override { ::write(2, "closed\n", 7); unregister_open_file(this); }
  };
  EXPECT_EXIT(
      {
        static Marker m;
        register_open_file(&m);
        raise_runtime_error(severe(38), 52, "/w/f.bsq");
      },
      ::testing::ExitedWithCode(38), "forrtl: severe \\(38\\).*\nclosed\n$");
}

}  // namespace
}  // namespace tsr
