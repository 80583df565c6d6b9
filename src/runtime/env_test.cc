#include "runtime/env.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "runtime/workers.h"
#include "support/process.h"

namespace tsr {
namespace {

// Sets an environment variable for one scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) { setenv(name, value.c_str(), 1); }
  ~ScopedVariable() { unsetenv(name_); }

 private:
  const char* name_;
};

TEST(PosixEnvTest, ConsoleAndErrorsFollowFort6AndFort0) {
  testing::ScratchDir dir;
  dir.write("errors.txt", "earlier\n");
  {
    ScopedVariable console("FORT6", dir.file("console.txt"));
    ScopedVariable errors("FORT0", dir.file("errors.txt"));
    const auto env = new_posix_env({dir.path(), {}});
    env->write_console(" first\n");
    // Visible at once, before the Env ends.
    EXPECT_EQ(dir.read("console.txt"), " first\n");
    env->write_console(" second\n");
    env->write_error("forrtl: severe (24): x");
  }
  EXPECT_EQ(dir.read("console.txt"), " first\n second\n");
  EXPECT_EQ(dir.read("errors.txt"), "earlier\nforrtl: severe (24): x\n");  // appended
}

TEST(PosixEnvTest, WorkingDirectoryVariablesAndInterrupts) {
  testing::ScratchDir dir;
  int calls = 0;
  const auto env = new_posix_env({dir.path() + "/", [&calls] { return ++calls > 1 ? 2 : 0; }});
  EXPECT_EQ(env->working_directory(), dir.path());
  ASSERT_NE(env->open("made.bin", OpenMode::kReadWriteCreate).file, nullptr);
  EXPECT_TRUE(dir.exists("made.bin"));
  EXPECT_EQ(env->open("absent.bin", OpenMode::kReadOnly).error, ENOENT);
  EXPECT_EQ(env->pending_interrupt(), 0);
  EXPECT_EQ(env->pending_interrupt(), 2);
  ScopedVariable v("TSRECON_TEST_VARIABLE", "x y");
  EXPECT_EQ(env->variable("TSRECON_TEST_VARIABLE"), "x y");
  EXPECT_EQ(env->variable("TSRECON_TEST_UNSET_VARIABLE"), std::nullopt);
  EXPECT_GE(env->available_cores(), 1);
  EXPECT_GT(env->available_memory_bytes(), 0u);
}

// The free space as df reports it for the same directory (other processes
// may write meanwhile: a small tolerance), and none where there is no directory.
TEST(PosixEnvTest, AvailableDiskSpace) {
  testing::ScratchDir dir;
  const uint64_t free_bytes = new_posix_env({dir.path(), {}})->available_disk_bytes();
  const testing::ProcessResult df =
      testing::run_process({"/bin/df", "--output=avail", "-B1", dir.path()}, testing::ProcessOptions{});
  ASSERT_EQ(df.status, 0) << df.err;
  const double reported = std::strtod(df.out.substr(df.out.find('\n') + 1).c_str(), nullptr);
  EXPECT_NEAR(static_cast<double>(free_bytes), reported, 0.01 * reported + 64.0 * 1024 * 1024);
  const std::string gone = dir.path() + "/gone";
  mkdir(gone.c_str(), 0700);
  const auto env = new_posix_env({gone, {}});
  rmdir(gone.c_str());
  EXPECT_EQ(env->available_disk_bytes(), UINT64_MAX);
}

TEST(WorkerPoolTest, EveryItemOnceWhateverTheThreads) {
  for (int threads : {1, 2, 3, 8}) {
    WorkerPool pool(threads);
    for (int64_t count : {0, 1, 7, 1000}) {
      std::vector<std::atomic<int>> seen(static_cast<size_t>(count));
      std::atomic<int> bad_worker{0};
      const bool done = pool.run(count, [&](int worker, int64_t item) {
        if (worker < 0 || worker >= pool.size()) bad_worker.fetch_add(1);
        seen[static_cast<size_t>(item)].fetch_add(1);
      });
      EXPECT_TRUE(done);
      EXPECT_EQ(bad_worker.load(), 0);
      for (int64_t i = 0; i < count; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)].load(), 1) << threads << " " << i;
    }
  }
}

TEST(WorkerPoolTest, AStopBetweenItemsEndsTheTask) {
  WorkerPool pool(3);
  std::atomic<int> asked{0};
  std::atomic<int64_t> done{0};
  // Items wait until the calling thread has been asked to stop, so no worker
  // can run through the task before the stop is seen.
  const bool complete = pool.run(
      100000,
      [&](int, int64_t) {
        while (asked.load() == 0) std::this_thread::yield();
        done.fetch_add(1);
      },
      [&asked] { return asked.fetch_add(1) >= 0; });
  EXPECT_FALSE(complete);
  EXPECT_LT(done.load(), pool.size());  // at most one item per helper was under way
  // The pool serves the next task as if nothing happened.
  done = 0;
  EXPECT_TRUE(pool.run(50, [&](int, int64_t) { done.fetch_add(1); }));
  EXPECT_EQ(done.load(), 50);
}

}  // namespace
}  // namespace tsr
