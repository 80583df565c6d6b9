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

TEST(RecordFileTest, OpenCreatesAMissingFileAndAnExistingOneKeepsItsBytes) {
  FakeEnv env("/w");
  RecordFile f;
  ASSERT_TRUE(open_record_file(env, 21, " data.bsq", f).is_ok());
  EXPECT_TRUE(f.is_open());
  EXPECT_FALSE(f.read_only());
  EXPECT_FALSE(f.swap_bytes());
  EXPECT_EQ(f.unit(), 21);
  EXPECT_EQ(f.name(), "data.bsq");
  EXPECT_EQ(f.full_path(), "/w/data.bsq");
  EXPECT_TRUE(env.exists("data.bsq"));
  EXPECT_EQ(env.contents("data.bsq"), "");
  f.close();
  EXPECT_FALSE(f.is_open());

  env.put("p.bsq", "abcdefgh");
  ASSERT_TRUE(open_record_file(env, 50, "p.bsq", f).is_ok());
  EXPECT_EQ(f.write_at(2, "XY", 2).bytes, 2u);
  EXPECT_EQ(env.contents("p.bsq"), "abXYefgh");
}

TEST(RecordFileTest, ByteOrderComesFromTheUnitsOwnVariable) {
  FakeEnv env;
  env.set("FORT_CONVERT21", "big_endian");
  RecordFile f, g;
  ASSERT_TRUE(open_record_file(env, 21, "data.bsq", f).is_ok());
  EXPECT_TRUE(f.swap_bytes());
  ASSERT_TRUE(open_record_file(env, 50, "p.bsq", g).is_ok());  // another unit's variable does not apply
  EXPECT_FALSE(g.swap_bytes());
}

TEST(RecordFileTest, FailedOpensAndTheirErrors) {
  struct Case {
    const char* what;
    void (*arrange)(FakeEnv&);
    int error;
  };
  const Case cases[] = {
      {"rejected FORT_CONVERT", [](FakeEnv& e) { e.set("FORT_CONVERT21", "VAXD"); }, kErrInconsistentOpen},
      {"unknown FORT_CONVERT", [](FakeEnv& e) { e.set("FORT_CONVERT21", "whatever"); }, kErrInconsistentOpen},
      {"a directory of that name", [](FakeEnv& e) { e.make_directory("data.bsq"); }, kErrPermissionDenied},
      {"a missing directory", [](FakeEnv& e) { e.refuse_opening("data.bsq", ENOENT); }, kErrFileNotFound},
      {"any other refusal", [](FakeEnv& e) { e.refuse_opening("data.bsq", EMFILE); }, kErrPermissionDenied},
      {"a missing file that cannot be created", [](FakeEnv& e) { e.refuse_writing("data.bsq", EROFS); },
       kErrPermissionDenied},
  };
  for (const Case& c : cases) {
    FakeEnv env("/w");
    c.arrange(env);
    RecordFile f;
    EXPECT_EQ(open_record_file(env, 21, "data.bsq", f), Status::runtime_error(c.error, 21, "/w/data.bsq")) << c.what;
    EXPECT_FALSE(f.is_open()) << c.what;
    if (c.error == kErrInconsistentOpen) {
      EXPECT_FALSE(env.exists("data.bsq")) << "opened before the check";
    }
  }
}

TEST(RecordFileTest, RefusedWriteAccessFallsBackToReadingOnly) {
  for (int err : {EACCES, EPERM, EROFS, ETXTBSY}) {
    FakeEnv env;
    env.put("p.bsq", "old bytes");
    env.refuse_writing("p.bsq", err);
    RecordFile f;
    ASSERT_TRUE(open_record_file(env, 50, "p.bsq", f).is_ok()) << std::strerror(err);
    EXPECT_TRUE(f.read_only());
    char buffer[9] = {};
    EXPECT_EQ(f.read_at(0, buffer, 9).bytes, 9u);
    EXPECT_EQ(std::string(buffer, 9), "old bytes");
  }
}

TEST(RecordFileTest, ReadOnlyOpenNeverCreates) {
  FakeEnv env("/w");
  RecordFile f;
  EXPECT_EQ(open_record_file_read_only(env, 21, "data.bsq", f), Status::runtime_error(29, 21, "/w/data.bsq"));
  EXPECT_FALSE(env.exists("data.bsq"));
  env.put("data.bsq", "ab");
  ASSERT_TRUE(open_record_file_read_only(env, 21, "data.bsq", f).is_ok());
  EXPECT_TRUE(f.read_only());
}

TEST(TextFileTest, ReadsTheWholeFileAndReportsAFailedRead) {
  FakeEnv env("/w");
  TextFile read;
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
  TextFile read;
  EXPECT_EQ(read_text_file(env, 15, "cntl.dat", &read), Status::runtime_error(29, 15, "/w/cntl.dat"));
  EXPECT_FALSE(env.exists("cntl.dat"));
  ASSERT_TRUE(read_or_create_text_file(env, 15, "cntl.dat", &read).is_ok());
  EXPECT_EQ(read.content, "");
  EXPECT_TRUE(env.exists("cntl.dat"));
  env.make_directory("d");
  EXPECT_EQ(read_text_file(env, 0, "d", &read), Status::runtime_error(9, 0, "/w/d"));
}

// The operating system's files: reads at the end, offsets beyond 2 GiB,
// writes cut short by the file size limit.
TEST(PosixFileTest, ReadsStopAtTheEndOfTheFileWithoutAnError) {
  testing::ScratchDir dir;
  dir.write("data.bsq", "0123456789");
  const auto env = new_posix_env({dir.path(), {}});
  RecordFile f;
  ASSERT_TRUE(open_record_file(*env, 21, "data.bsq", f).is_ok());
  EXPECT_EQ(f.full_path(), dir.file("data.bsq"));
  struct Case {
    int64_t offset;
    size_t wanted;
    std::string expected;
  };
  const Case cases[] = {{0, 4, "0123"}, {6, 8, "6789"}, {10, 4, ""}, {100, 4, ""}};
  for (const Case& c : cases) {
    char buffer[16] = {};
    const Transfer t = f.read_at(c.offset, buffer, c.wanted);
    EXPECT_EQ(t.error, 0);
    EXPECT_EQ(std::string(buffer, t.bytes), c.expected) << "offset " << c.offset;
  }
}

TEST(PosixFileTest, OffsetsBeyondTwoGibibytes) {
  testing::ScratchDir dir;
  const auto env = new_posix_env({dir.path(), {}});
  RecordFile f;
  ASSERT_TRUE(open_record_file(*env, 50, "p.bsq", f).is_ok());
  const int64_t offsets[] = {(int64_t{1} << 31) - 2, int64_t{1} << 32, (int64_t{3} << 31) + 7};
  for (int64_t offset : offsets) {
    const Transfer w = f.write_at(offset, "WXYZ", 4);
    ASSERT_EQ(w.bytes, 4u) << std::strerror(w.error);
  }
  for (int64_t offset : offsets) {
    char buffer[4] = {};
    const Transfer r = f.read_at(offset, buffer, 4);
    ASSERT_EQ(r.bytes, 4u);
    EXPECT_EQ(std::string(buffer, 4), "WXYZ") << "offset " << offset;
  }
  EXPECT_EQ(f.size(), (int64_t{3} << 31) + 11);
}

// Writes 16 bytes under a 10-byte file size limit: the first 10 bytes must
// land and the transfer must then stop with EFBIG. Ends the (child) process.
[[noreturn]] void write_past_size_limit(const std::string& dir) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit lim{};
  lim.rlim_cur = 10;
  lim.rlim_max = 10;
  setrlimit(RLIMIT_FSIZE, &lim);
  const auto env = new_posix_env({dir, {}});
  RecordFile f;
  if (!open_record_file(*env, 52, "f.bsq", f).is_ok()) _exit(2);
  const Transfer t = f.write_at(0, "0123456789abcdef", 16);
  f.close();
  _exit(t.bytes == 10 && t.error == EFBIG ? 0 : 1);
}

TEST(PosixFileTest, WritesGoOnAfterShortWritesUntilTheSizeLimitStopsThem) {
  testing::ScratchDir dir;
  dir.write("f.bsq", "");
  EXPECT_EXIT(write_past_size_limit(dir.path()), ExitedWithCode(0), "");
  EXPECT_EQ(dir.read("f.bsq"), "0123456789");
}

}  // namespace
}  // namespace tsr
