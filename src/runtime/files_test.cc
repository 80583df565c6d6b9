#include "runtime/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/errors.h"
#include "support/fake_env.h"
#include "support/process.h"

namespace tsr {
namespace {

using ::testing::ExitedWithCode;
using testing::FakeEnv;

TEST(ConvertSettingTest, ValuesOfTheVariable) {
  struct Case {
    const char* value;
    ConvertSetting expected;
  };
  const Case cases[] = {
      {"BIG_ENDIAN", ConvertSetting::kBigEndian},
      {"big_endian", ConvertSetting::kBigEndian},
      {"Big_Endian   ", ConvertSetting::kBigEndian},
      {"BIG_ENDIAN          ignored", ConvertSetting::kBigEndian},  // only 20 characters count
      {"LITTLE_ENDIAN", ConvertSetting::kLittleEndian},
      {"little_endian ", ConvertSetting::kLittleEndian},
      {"NATIVE", ConvertSetting::kNative},
      {"native", ConvertSetting::kNative},
      {"", ConvertSetting::kUnset},
      {"    ", ConvertSetting::kUnset},
      {" BIG_ENDIAN", ConvertSetting::kRejected},
      {"BIG_ENDIANX", ConvertSetting::kRejected},
      {"BIG", ConvertSetting::kRejected},
      {"LITTLE_ENDIAN_AND_MORE", ConvertSetting::kRejected},
      {"IBM", ConvertSetting::kRejected},
      {"CRAY", ConvertSetting::kRejected},
      {"VAXD", ConvertSetting::kRejected},
      {"vaxg", ConvertSetting::kRejected},
      {"FDX", ConvertSetting::kRejected},
      {"FGX", ConvertSetting::kRejected},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_convert_setting(c.value), c.expected) << "value \"" << c.value << "\"";
  }
  EXPECT_TRUE(swaps_bytes(ConvertSetting::kBigEndian));
  for (ConvertSetting s : {ConvertSetting::kUnset, ConvertSetting::kNative, ConvertSetting::kLittleEndian}) {
    EXPECT_FALSE(swaps_bytes(s));
  }
}

TEST(OpenDecisionTest, WhichFailuresFallBackAndWhichErrorTheOthersGive) {
  struct Case {
    int err;
    bool read_only_fallback;
    int error_number;
  };
  const Case cases[] = {
      {EACCES, true, 9}, {EPERM, true, 9},   {EROFS, true, 9},  {ETXTBSY, true, 9},
      {ENOENT, false, 29}, {EISDIR, false, 9}, {ENOSPC, false, 9}, {EMFILE, false, 9},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(refuses_write_access(c.err), c.read_only_fallback) << std::strerror(c.err);
    EXPECT_EQ(open_error_number(c.err), c.error_number) << std::strerror(c.err);
  }
}

TEST(FileNamesTest, TrimmedAndExpandedAgainstTheWorkingDirectory) {
  EXPECT_EQ(trim_file_name("  data.bsq  "), "data.bsq");
  struct Case {
    const char* directory;
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {"/w", " cntl.dat ", "/w/cntl.dat"},
      {"/w/", "p.bsq", "/w/p.bsq"},
      {"/", "p.bsq", "/p.bsq"},
      {"/w", "/abs/p.bsq", "/abs/p.bsq"},
      {"", "p.bsq", "p.bsq"},  // no working directory to show
  };
  for (const Case& c : cases) EXPECT_EQ(expand_file_name(c.directory, c.name), c.expected) << c.name;
}

TEST(TextFileTest, ReadsTheWholeFileAndReportsAFailedRead) {
  FakeEnv env("/w");
  FileText read;
  std::string big(200000, 'x');
  big += "\nlast line\n";
  env.put("cntl.dat", big);
  env.refuse_writing("cntl.dat");  // read-only files are read all the same
  for (auto* reader : {read_text_file, read_or_create_text_file}) {
    ASSERT_TRUE(reader(env, 15, " cntl.dat", &read).is_ok());
    EXPECT_EQ(read.content, big);
    EXPECT_EQ(read.full_path, "/w/cntl.dat");
  }
  env.fail_reads_from("cntl.dat", 70000);
  EXPECT_EQ(read_text_file(env, 15, "cntl.dat", &read), Status::runtime_error(39, 15, "/w/cntl.dat"));
  EXPECT_EQ(read_or_create_text_file(env, 15, "cntl.dat", &read), Status::runtime_error(39, 15, "/w/cntl.dat"));
}

TEST(TextFileTest, OnlyTheProgramsOwnOpenCreatesAMissingFile) {
  FakeEnv env("/w");
  FileText read;
  EXPECT_EQ(read_text_file(env, 15, "cntl.dat", &read), Status::runtime_error(29, 15, "/w/cntl.dat"));
  EXPECT_FALSE(env.exists("cntl.dat"));
  ASSERT_TRUE(read_or_create_text_file(env, 15, "cntl.dat", &read).is_ok());
  EXPECT_EQ(read.content, "");
  EXPECT_TRUE(env.exists("cntl.dat"));
  env.make_directory("d");
  EXPECT_EQ(read_text_file(env, 0, "d", &read), Status::runtime_error(9, 0, "/w/d"));
}

}  // namespace
}  // namespace tsr
