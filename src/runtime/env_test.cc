#include "runtime/env.h"

#include <gtest/gtest.h>
#include <stdlib.h>

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
