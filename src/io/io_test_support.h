// Shared pieces of the image-file tests: a scratch working directory, raw
// file contents, exact run-time error lines and console capture in children.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/files.h"
#include "support/process.h"

namespace tsr::io_testing {

inline std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// Every test runs in a fresh working directory, with no FORT_CONVERT
// variables and the real open(2).
class ImageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[4096];
    ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
    old_cwd_ = buffer;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    clear_convert_variables();
  }
  void TearDown() override {
    set_open_function(nullptr);
    clear_convert_variables();
    EXPECT_EQ(chdir(old_cwd_.c_str()), 0);
  }
  static void clear_convert_variables() {
    for (int unit : {21, 22, 50, 51, 52, 54, 55, 61, 62}) {
      unsetenv(("FORT_CONVERT" + std::to_string(unit)).c_str());
    }
  }
  // The exact standard-error output of a run-time error on a file of the scratch directory.
  std::string error_line(int number, const std::string& text, int unit, const std::string& name) const {
    return "forrtl: severe (" + std::to_string(number) + "): " + text + ", unit " + std::to_string(unit) +
           ", file " + dir_.file(name) + "\n";
  }
  // Sends standard output (the console) of the current process to `name`;
  // used inside death-test children.
  void console_to_file(const std::string& name) const {
    std::fflush(stdout);
    const int fd = ::open(dir_.file(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::close(fd);
    }
  }
  testing::ScratchDir dir_;
  std::string old_cwd_;
};

// An open(2) that refuses write access the way a read-only file system does.
inline int open_refusing_writes(const char* path, int flags, mode_t mode) {
  if ((flags & O_ACCMODE) != O_RDONLY) {
    errno = EROFS;
    return -1;
  }
  return ::open(path, flags, mode);
}

// An open(2) whose descriptor cannot be read, so that reads fail with EBADF.
inline int open_write_only(const char* path, int, mode_t mode) { return ::open(path, O_WRONLY | O_CREAT, mode); }

}  // namespace tsr::io_testing
