// The control-file stage of the real executable: what a run in a directory
// shows on its console, its standard error and its exit status for a given
// cntl.dat.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/process.h"

namespace tsr {
namespace {

using testing::ProcessOptions;
using testing::ProcessResult;
using testing::ScratchDir;

const std::string kRead = " READ CNTL.DAT\n";
const std::string kClose = " CLOSE CNTL.DAT\n";

ProcessResult run_in(const ScratchDir& dir) {
  ProcessOptions options;
  options.cwd = dir.path();
  options.unset_env = {"FORT0", "FORT6"};
  return testing::run_process({testing::tsrecon_path()}, options);
}

std::string control_path(const ScratchDir& dir) {
  return (std::filesystem::canonical(dir.path()) / "cntl.dat").string();
}

std::string error_line(int number, const std::string& text, const ScratchDir& dir) {
  return "forrtl: severe (" + std::to_string(number) + "): " + text + ", unit 15, file " + control_path(dir) + "\n";
}

// A control file that passes every check, with the given groups.
std::string control(const std::string& nb, const std::string& data, const std::string& contrl = "",
                    const std::string& npt = "", const std::string& bands = "") {
  return nb + "\n2 3\n&DATA " + data + " /\n&CONTRL " + contrl + " /\n&NPT " + npt + " /\n" + bands;
}

TEST(ControlFileRun, ExampleEchoesTheBands) {
  ScratchDir dir;
  dir.write("cntl.dat",
            "46\n2400 4800\n&DATA NFUNC=4, NDEF=2 /\n&CONTRL NWIN=2, TCLD=0.1, INTP=1 /\n&NPT NPOINT=46 /\n5\n17\n");
  const ProcessResult r = run_in(dir);
  const std::string expected = kRead +
                               " ----\n"
                               "           2\n"
                               "           1           5\n"
                               "           2          17\n"
                               " ----\n" +
                               kClose;
  EXPECT_EQ(expected, r.out.substr(0, expected.size()));
  // The control-file stage wrote no error line of its own.
  EXPECT_EQ(std::string::npos, r.err.find("unit 15"));
}

TEST(ControlFileRun, MissingControlFileIsCreatedEmpty) {
  ScratchDir dir;
  const ProcessResult r = run_in(dir);
  EXPECT_EQ(kRead, r.out);
  EXPECT_EQ(error_line(24, "end-of-file during read", dir), r.err);
  EXPECT_EQ(24, r.status);
  ASSERT_TRUE(dir.exists("cntl.dat"));
  EXPECT_EQ("", dir.read("cntl.dat"));
  EXPECT_FALSE(dir.exists("data.bsq"));
}

TEST(ControlFileRun, DirectoryInPlaceOfTheControlFile) {
  ScratchDir dir;
  ASSERT_EQ(0, ::mkdir(dir.file("cntl.dat").c_str(), 0755));
  const ProcessResult r = run_in(dir);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(error_line(9, "permission to access file denied", dir), r.err);
  EXPECT_EQ(9, r.status);
}

TEST(ControlFileRun, SyntaxErrorsEndTheRun) {
  struct Case {
    const char* name;
    std::string text;
    int number;
    const char* message;
    std::string out;
  };
  const Case cases[] = {
      {"real for an integer member", control("46", "NDAT=20.0"), 17, "syntax error in NAMELIST input", kRead},
      {"logical in a group", control("46", "", "MASK=T"), 17, "syntax error in NAMELIST input", kRead},
      {"two values", control("46", "NDAT=1 2"), 18, "too many values for NAMELIST variable", kRead},
      {"repeat count", control("46", "NDAT=2*5"), 18, "too many values for NAMELIST variable", kRead},
      {"unknown member", control("46", "NWIN=2"), 19, "invalid reference to variable in NAMELIST input", kRead},
      {"dollar group with the name in column 1", "46\n2 3\n$DATA\nNDAT=20\n $END\n&CONTRL /\n&NPT /\n", 19,
       "invalid reference to variable in NAMELIST input", kRead},
      {"groups out of order", "46\n2 3\n&CONTRL /\n&DATA /\n&NPT /\n", 24, "end-of-file during read", kRead},
      {"last line without line feed", "46\n2 3\n&DATA /\n&CONTRL /\n&NPT /", 24, "end-of-file during read",
       kRead},
      {"band record missing", control("46", "NDEF=2", "", "", "5\n"), 24, "end-of-file during read",
       kRead + " ----\n           2\n           1           5\n"},
      {"letters for NB", "abc\n", 59, "list-directed I/O syntax error", kRead},
      {"logical in a list", "46\n.TRUE. 3\n", 59, "list-directed I/O syntax error", kRead},
      {"quoted NB", "'12'\n", 64, "input conversion error", kRead},
      {"NB out of range", "2147483648\n", 64, "input conversion error", kRead},
      {"quoted member value", control("46", "NDAT='20'"), 64, "input conversion error", kRead},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    dir.write("cntl.dat", c.text);
    const ProcessResult r = run_in(dir);
    EXPECT_EQ(c.out, r.out) << c.name;
    EXPECT_EQ(error_line(c.number, c.message, dir), r.err) << c.name;
    EXPECT_EQ(c.number, r.status) << c.name;
    EXPECT_FALSE(dir.exists("data.bsq")) << c.name;
  }
}

TEST(ControlFileRun, RefusedParametersEndWithOneLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"NB 201", control("201", ""), kRead + kClose,
       "tsrecon: NB = 201 in cntl.dat is outside the allowed range 3..200\n"},
      {"NB 2", control("2", ""), kRead + kClose, "tsrecon: NB = 2 in cntl.dat is outside the allowed range 3..200\n"},
      {"NB checked after the band echo", control("201", "NDEF=1", "", "", "7\n"),
       kRead + " ----\n           1\n           1           7\n ----\n" + kClose,
       "tsrecon: NB = 201 in cntl.dat is outside the allowed range 3..200\n"},
      {"NDEF above NB", control("46", "NDEF=47"), kRead + kClose,
       "tsrecon: NDEF = 47 in cntl.dat is outside the allowed range 0..46\n"},
      {"NDEF negative", control("46", "NDEF=-1"), kRead + kClose,
       "tsrecon: NDEF = -1 in cntl.dat is outside the allowed range 0..46\n"},
      {"NFUNC 7", control("46", "NFUNC=7"), kRead + kClose,
       "tsrecon: NFUNC = 7 in cntl.dat is outside the allowed range 0..6\n"},
      {"NPOINT 0", control("46", "", "", "NPOINT=0"), kRead + kClose,
       "tsrecon: NPOINT = 0 in cntl.dat is outside the allowed range 1..2147483647\n"},
      {"NWIN negative", control("46", "", "NWIN=-1"), kRead + kClose,
       "tsrecon: NWIN = -1 in cntl.dat is outside the allowed range 0..2147483647\n"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    dir.write("cntl.dat", c.text);
    const ProcessResult r = run_in(dir);
    EXPECT_EQ(c.out, r.out) << c.name;
    EXPECT_EQ(c.err, r.err) << c.name;
    EXPECT_EQ(1, r.status) << c.name;
    EXPECT_FALSE(dir.exists("data.bsq")) << c.name;
    EXPECT_FALSE(dir.exists("p.bsq")) << c.name;
  }
}

TEST(ControlFileRun, AcceptedLimitsGoOnToTheImage) {
  std::string all_bands;
  for (int b = 1; b <= 200; ++b) all_bands += std::to_string(b) + "\n";
  const std::string cases[] = {
      control("3", ""),
      control("200", "NDEF=200", "", "", all_bands),
      control("46", "NFUNC=0", "NWIN=100000", "NPOINT=1"),
  };
  for (const auto& text : cases) {
    ScratchDir dir;
    dir.write("cntl.dat", text);
    const ProcessResult r = run_in(dir);
    EXPECT_NE(std::string::npos, r.out.find(kClose)) << text;
    EXPECT_EQ(std::string::npos, r.err.find("tsrecon:")) << text;
    EXPECT_EQ(std::string::npos, r.err.find("unit 15")) << text;
    EXPECT_NE(1, r.status) << text;
  }
}

}  // namespace
}  // namespace tsr
