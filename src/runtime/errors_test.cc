#include "runtime/errors.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "runtime/status.h"

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

TEST(StatusTest, LineAndExitStatusOfEachKind) {
  struct Case {
    Status status;
    const char* line;  // as the program "tsrecon" writes it
    int exit_status;
  } cases[] = {
      {Status::ok(), "", 0},
      {Status::runtime_error(24, 15, "/w/cntl.dat"), "forrtl: severe (24): end-of-file during read, unit 15, file /w/cntl.dat",
       24},
      {Status::runtime_error(38, 52, "/w/f.bsq"), "forrtl: severe (38): error during write, unit 52, file /w/f.bsq", 38},
      {Status::refused("nope"), "tsrecon: nope", 1},
      {Status::interrupted(SIGINT), "forrtl: error (200): program aborting due to control-C event", 130},
      {Status::interrupted(SIGHUP), "forrtl: error (200): program aborting due to menu-CLOSE event", 129},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status.line("tsrecon"), c.line);
    // Only a refusal carries the program's name; without one it is the message.
    const std::string_view line = c.line;
    EXPECT_EQ(c.status.message(), c.status.code() == Status::Code::kRefused ? line.substr(9) : line);
    EXPECT_EQ(c.status.line(""), c.status.message());
    EXPECT_EQ(c.status.exit_status(), c.exit_status) << c.line;
    EXPECT_EQ(c.status.is_ok(), c.exit_status == 0) << c.line;
  }
}

TEST(StatusTest, AReadErrorKeepsItsDetailOnceItsFileIsNamed) {
  const Status::Detail where{3, "NFUNC", "x", "a whole number for NFUNC"};
  const Status read = Status::read_error(17, where);
  EXPECT_EQ(read.unit(), 0);
  EXPECT_EQ(read.text(), "");
  const Status named = read.in_file(15, "/w/cntl.dat");
  EXPECT_EQ(named.message(), "forrtl: severe (17): syntax error in NAMELIST input, unit 15, file /w/cntl.dat");
  EXPECT_EQ(named.detail(), where);
  EXPECT_EQ(named.exit_status(), 17);
  // The detail is part of the value; statuses other than run-time errors
  // have no file to be named.
  EXPECT_NE(named, Status::runtime_error(17, 15, "/w/cntl.dat"));
  EXPECT_EQ(Status::refused("no").in_file(15, "/w/cntl.dat"), Status::refused("no"));
  EXPECT_EQ(Status::ok().in_file(15, "x"), Status::ok());
}

Status first_failure(const Status& a, const Status& b, int& reached) {
  reached = 0;
  TSR_RETURN_IF_ERROR(a);
  reached = 1;
  TSR_RETURN_IF_ERROR(b);
  reached = 2;
  return Status::ok();
}

TEST(StatusTest, ReturnIfErrorStopsAtTheFirstFailure) {
  int reached = -1;
  EXPECT_TRUE(first_failure(Status::ok(), Status::ok(), reached).is_ok());
  EXPECT_EQ(reached, 2);
  EXPECT_EQ(first_failure(Status::ok(), Status::refused("b"), reached), Status::refused("b"));
  EXPECT_EQ(reached, 1);
  EXPECT_EQ(first_failure(Status::refused("a"), Status::refused("b"), reached), Status::refused("a"));
  EXPECT_EQ(reached, 0);
}

}  // namespace
}  // namespace tsr
