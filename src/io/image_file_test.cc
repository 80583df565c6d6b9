// Image files of the run: their opening rules, names, byte order and
// positioned transfers, in memory and on the operating system's files.
#include "io/image_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
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

TEST(ImageFileTest, OpenCreatesAMissingFileAndAnExistingOneKeepsItsBytes) {
  FakeEnv env("/w");
  ImageFile f;
  ASSERT_TRUE(f.open(env, run_file("data.bsq"), 4).is_ok());
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
  ASSERT_TRUE(f.open(env, run_file("p.bsq"), 4).is_ok());
  EXPECT_EQ(f.write_at(2, "XY", 2).bytes, 2u);
  EXPECT_EQ(env.contents("p.bsq"), "abXYefgh");
}

TEST(ImageFileTest, ByteOrderComesFromTheUnitsOwnVariable) {
  FakeEnv env;
  env.set("FORT_CONVERT21", "big_endian");
  ImageFile f, g;
  ASSERT_TRUE(f.open(env, run_file("data.bsq"), 4).is_ok());
  EXPECT_TRUE(f.swap_bytes());
  ASSERT_TRUE(g.open(env, run_file("p.bsq"), 4).is_ok());  // another unit's variable does not apply
  EXPECT_FALSE(g.swap_bytes());
}

TEST(ImageFileTest, FailedOpensAndTheirErrors) {
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
    ImageFile f;
    EXPECT_EQ(f.open(env, run_file("data.bsq"), 4), Status::runtime_error(c.error, 21, "/w/data.bsq")) << c.what;
    EXPECT_FALSE(f.is_open()) << c.what;
    if (c.error == kErrInconsistentOpen) {
      EXPECT_FALSE(env.exists("data.bsq")) << "opened before the check";
    }
  }
}

TEST(ImageFileTest, RefusedWriteAccessFallsBackToReadingOnly) {
  for (int err : {EACCES, EPERM, EROFS, ETXTBSY}) {
    FakeEnv env;
    env.put("p.bsq", "old bytes");
    env.refuse_writing("p.bsq", err);
    ImageFile f;
    ASSERT_TRUE(f.open(env, run_file("p.bsq"), 4).is_ok()) << std::strerror(err);
    EXPECT_TRUE(f.read_only());
    char buffer[9] = {};
    EXPECT_EQ(f.read_at(0, buffer, 9).bytes, 9u);
    EXPECT_EQ(std::string(buffer, 9), "old bytes");
  }
}

TEST(ImageFileTest, ReadOnlyOpenNeverCreates) {
  FakeEnv env("/w");
  ImageFile f;
  EXPECT_EQ(f.open_read_only(env, run_file("data.bsq"), 4), Status::runtime_error(29, 21, "/w/data.bsq"));
  EXPECT_FALSE(env.exists("data.bsq"));
  env.put("data.bsq", "ab");
  ASSERT_TRUE(f.open_read_only(env, run_file("data.bsq"), 4).is_ok());
  EXPECT_TRUE(f.read_only());
}

// The operating system's files: reads at the end, offsets beyond 2 GiB,
// writes cut short by the file size limit.
TEST(PosixFileTest, ReadsStopAtTheEndOfTheFileWithoutAnError) {
  testing::ScratchDir dir;
  dir.write("data.bsq", "0123456789");
  const auto env = new_posix_env({dir.path(), {}});
  ImageFile f;
  ASSERT_TRUE(f.open(*env, run_file("data.bsq"), 4).is_ok());
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
  ImageFile f;
  ASSERT_TRUE(f.open(*env, run_file("p.bsq"), 4).is_ok());
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
  ImageFile f;
  if (!f.open(*env, run_file("f.bsq"), 4).is_ok()) _exit(2);
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
