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

#include "support/process.h"

namespace tsr {
namespace {

using ::testing::Eq;
using ::testing::ExitedWithCode;

// Runs each test inside a fresh scratch directory.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[4096];
    ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
    old_cwd_ = buffer;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    for (int unit : {15, 21, 50}) unsetenv(("FORT_CONVERT" + std::to_string(unit)).c_str());
  }
  void TearDown() override {
    set_open_function(nullptr);
    for (int unit : {15, 21, 50}) unsetenv(("FORT_CONVERT" + std::to_string(unit)).c_str());
    EXPECT_EQ(chdir(old_cwd_.c_str()), 0);
  }
  std::string error_line(int number, const std::string& text, int unit, const std::string& name) {
    return "forrtl: severe (" + std::to_string(number) + "): " + text + ", unit " + std::to_string(unit) +
           ", file " + dir_.file(name) + "\n";
  }
  testing::ScratchDir dir_;
  std::string old_cwd_;
};

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

TEST_F(FilesTest, NamesAreTrimmedAndExpandedAgainstTheWorkingDirectory) {
  EXPECT_EQ(trim_file_name("  data.bsq  "), "data.bsq");
  EXPECT_EQ(expand_file_name(" cntl.dat "), dir_.file("cntl.dat"));
}

TEST_F(FilesTest, OpenCreatesAMissingFileEmptyAndRegistersIt) {
  RecordFile f;
  f.open(21, "data.bsq");
  ASSERT_TRUE(f.is_open());
  EXPECT_FALSE(f.read_only());
  EXPECT_FALSE(f.swap_bytes());
  EXPECT_EQ(f.unit(), 21);
  EXPECT_EQ(f.name(), "data.bsq");
  EXPECT_EQ(f.full_path(), dir_.file("data.bsq"));
  EXPECT_TRUE(dir_.exists("data.bsq"));
  EXPECT_EQ(dir_.read("data.bsq"), "");
  close_all_files();  // the end of a run closes every registered file
  EXPECT_FALSE(f.is_open());
  f.close();  // closing again is harmless
  EXPECT_FALSE(f.is_open());
}

TEST_F(FilesTest, AnExistingFileKeepsItsBytesAroundAWrite) {
  dir_.write("p.bsq", "abcdefgh");
  RecordFile f;
  f.open(50, "p.bsq");
  const Transfer w = f.write_at(2, "XY", 2);
  EXPECT_EQ(w.bytes, 2u);
  EXPECT_EQ(w.error, 0);
  f.close();
  EXPECT_EQ(dir_.read("p.bsq"), "abXYefgh");
}

TEST_F(FilesTest, ReadsStopAtTheEndOfTheFileWithoutAnError) {
  dir_.write("data.bsq", "0123456789");
  RecordFile f;
  f.open(21, "data.bsq");
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

TEST_F(FilesTest, OffsetsBeyondTwoGibibytes) {
  RecordFile f;
  f.open(50, "p.bsq");
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
  struct stat st {};
  ASSERT_EQ(stat("p.bsq", &st), 0);
  EXPECT_EQ(st.st_size, (int64_t{3} << 31) + 11);
}

TEST_F(FilesTest, BigEndianSettingIsReadAtTheOpen) {
  setenv("FORT_CONVERT21", "big_endian", 1);
  RecordFile f;
  f.open(21, "data.bsq");
  EXPECT_TRUE(f.swap_bytes());
  RecordFile g;
  g.open(50, "p.bsq");  // another unit's variable does not apply
  EXPECT_FALSE(g.swap_bytes());
}

TEST_F(FilesTest, RejectedConvertSettingIsError46AtTheOpen) {
  for (const char* value : {"IBM", "cray", "VAXD", "whatever"}) {
    setenv("FORT_CONVERT21", value, 1);
    EXPECT_EXIT(
        {
          RecordFile f;
          f.open(21, "data.bsq");
        },
        ExitedWithCode(46), Eq(error_line(46, "inconsistent OPEN/CLOSE parameters", 21, "data.bsq")))
        << value;
  }
}

TEST_F(FilesTest, ADirectoryOfThatNameIsError9) {
  ASSERT_EQ(mkdir("data.bsq", 0755), 0);
  EXPECT_EXIT(
      {
        RecordFile f;
        f.open(21, "data.bsq");
      },
      ExitedWithCode(9), Eq(error_line(9, "permission to access file denied", 21, "data.bsq")));
  std::string path;
  EXPECT_EXIT(read_text_file(15, "data.bsq", path), ExitedWithCode(9),
              Eq(error_line(9, "permission to access file denied", 15, "data.bsq")));
}

TEST_F(FilesTest, AMissingDirectoryIsError29) {
  EXPECT_EXIT(
      {
        RecordFile f;
        f.open(50, "missing/p.bsq");
      },
      ExitedWithCode(29), Eq(error_line(29, "file not found", 50, "missing/p.bsq")));
}

// Imitates a file system that refuses write access with a given errno.
int refused_errno = 0;
int refuse_writing(const char* path, int flags, mode_t mode) {
  if ((flags & O_ACCMODE) != O_RDONLY) {
    errno = refused_errno;
    return -1;
  }
  return ::open(path, flags, mode);
}

TEST_F(FilesTest, RefusedWriteAccessFallsBackToReadingOnly) {
  for (int err : {EACCES, EPERM, EROFS, ETXTBSY}) {
    dir_.write("p.bsq", "old bytes");
    refused_errno = err;
    set_open_function(&refuse_writing);
    RecordFile f;
    f.open(50, "p.bsq");
    set_open_function(nullptr);
    ASSERT_TRUE(f.is_open()) << std::strerror(err);
    EXPECT_TRUE(f.read_only());
    char buffer[9] = {};
    EXPECT_EQ(f.read_at(0, buffer, 9).bytes, 9u);
    EXPECT_EQ(std::string(buffer, 9), "old bytes");
    // The descriptor really is read-only: nothing reaches the file.
    EXPECT_EQ(f.write_at(0, "new", 3).bytes, 0u);
    f.close();
    EXPECT_EQ(dir_.read("p.bsq"), "old bytes");
  }
}

TEST_F(FilesTest, AMissingFileThatCannotBeCreatedIsError9) {
  refused_errno = EROFS;
  set_open_function(&refuse_writing);
  EXPECT_EXIT(
      {
        RecordFile f;
        f.open(50, "p.bsq");
      },
      ExitedWithCode(9), Eq(error_line(9, "permission to access file denied", 50, "p.bsq")));
}

// Writes 16 bytes under a 10-byte file size limit: the first 10 bytes must
// land and the transfer must then stop with EFBIG. Ends the (child) process.
[[noreturn]] void write_past_size_limit() {
  signal(SIGXFSZ, SIG_IGN);
  rlimit lim{};
  lim.rlim_cur = 10;
  lim.rlim_max = 10;
  setrlimit(RLIMIT_FSIZE, &lim);
  RecordFile f;
  f.open(52, "f.bsq");
  const Transfer t = f.write_at(0, "0123456789abcdef", 16);
  f.close();
  _exit(t.bytes == 10 && t.error == EFBIG ? 0 : 1);
}

TEST_F(FilesTest, WritesGoOnAfterShortWritesUntilTheSizeLimitStopsThem) {
  dir_.write("f.bsq", "");
  EXPECT_EXIT(write_past_size_limit(), ExitedWithCode(0), "");
  EXPECT_EQ(dir_.read("f.bsq"), "0123456789");
}

TEST_F(FilesTest, ReadTextFileReturnsTheWholeFileAndCreatesAMissingOne) {
  std::string path;
  EXPECT_EQ(read_text_file(15, " cntl.dat", path), "");
  EXPECT_EQ(path, dir_.file("cntl.dat"));
  EXPECT_TRUE(dir_.exists("cntl.dat"));

  std::string big(200000, 'x');
  big += "\nlast line\n";
  dir_.write("cntl.dat", big);
  EXPECT_EQ(read_text_file(15, "cntl.dat", path), big);
  EXPECT_EQ(dir_.read("cntl.dat"), big);  // never truncated
}

TEST_F(FilesTest, ReadTextFileFromAReadOnlyFile) {
  dir_.write("cntl.dat", "3 2 4\n");
  refused_errno = EACCES;
  set_open_function(&refuse_writing);
  std::string path;
  EXPECT_EQ(read_text_file(15, "cntl.dat", path), "3 2 4\n");
}

// Hands out a descriptor that cannot be read, so the read itself fails.
int write_only(const char* path, int, mode_t mode) { return ::open(path, O_WRONLY | O_CREAT, mode); }

TEST_F(FilesTest, AFailedReadOfTheTextFileIsError39) {
  dir_.write("cntl.dat", "3 2 4\n");
  set_open_function(&write_only);
  std::string path;
  EXPECT_EXIT(read_text_file(15, "cntl.dat", path), ExitedWithCode(39),
              Eq(error_line(39, "error during read", 15, "cntl.dat")));
}

}  // namespace
}  // namespace tsr
