#include "runtime/env.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "runtime/workers.h"
#include "support/fake_env.h"
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

// The file-system calls and the helpers on top of them behave alike on the
// operating system and on the fake the other tests use.
class FileSystemContract : public ::testing::TestWithParam<bool> {
 protected:
  FileSystemContract() {
    if (GetParam()) {
      env_ = new_posix_env({dir_.path(), {}});
    } else {
      env_ = std::make_unique<testing::FakeEnv>("/job");
    }
  }
  Env& env() { return *env_; }
  // The type and size of `name`, or its errno.
  std::string info(const std::string& name) {
    FileInfo i;
    if (const int err = env().file_info(name, &i); err != 0) return error_text(err);
    return i.type == FileType::kDirectory ? "directory" : "file of " + std::to_string(i.size);
  }
  std::string listing(const std::string& name) {
    std::vector<std::string> names;
    if (const int err = env().list_directory(name, &names); err != 0) return error_text(err);
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& n : names) text += n + ";";
    return text;
  }

 private:
  testing::ScratchDir dir_;
  std::unique_ptr<Env> env_;
};

TEST_P(FileSystemContract, CallsAndHelpers) {
  Env& e = env();
  struct Step {
    const char* what;
    std::function<int()> call;
    int error;
  };
  const Step steps[] = {
      {"make a", [&] { return e.create_directory("a"); }, 0},
      {"make a again", [&] { return e.create_directory("a"); }, EEXIST},
      {"make below a missing parent", [&] { return e.create_directory("x/y"); }, ENOENT},
      {"write a/f", [&] { return write_new_file(e, "a/f", "abcdef"); }, 0},
      {"write a/f anew, shorter", [&] { return write_new_file(e, "a/f", "xyz"); }, 0},
      {"write below a missing parent", [&] { return write_new_file(e, "x/f", "1"); }, ENOENT},
      {"rename a/f", [&] { return e.rename_file("a/f", "a/g"); }, 0},
      {"rename what is gone", [&] { return e.rename_file("a/f", "a/h"); }, ENOENT},
      {"remove a, not empty", [&] { return e.remove_directory("a"); }, ENOTEMPTY},
      {"remove a as a file", [&] { return e.remove_file("a"); }, EISDIR},
      {"make a tree", [&] { return create_directories(e, "p/q/r"); }, 0},
      {"make it again", [&] { return create_directories(e, "p/q/r/"); }, 0},
      {"make a tree through a file", [&] { return create_directories(e, "a/g/s"); }, EEXIST},
      {"fill the tree", [&] { return write_new_file(e, "p/q/r/t", "t") + write_new_file(e, "p/u", "u"); }, 0},
  };
  for (const Step& s : steps) {
    const int err = s.call();
    EXPECT_EQ(err, s.error) << s.what << ": " << error_text(err);
  }
  EXPECT_EQ(info("a"), "directory");
  EXPECT_EQ(info("a/g"), "file of 3");
  EXPECT_EQ(info("a/f"), error_text(ENOENT));
  EXPECT_EQ(listing("a"), "g;");
  EXPECT_EQ(listing("p"), "q;u;");
  EXPECT_EQ(listing("nothing"), error_text(ENOENT));
  OpenResult opened = e.open("a/g", OpenMode::kReadOnly);
  ASSERT_NE(opened.file, nullptr);
  char bytes[8] = {};
  EXPECT_EQ(opened.file->read_at(0, bytes, sizeof bytes).bytes, 3u);
  EXPECT_EQ(std::string(bytes), "xyz");

  EXPECT_EQ(remove_tree(e, "p"), 0);
  EXPECT_EQ(info("p"), error_text(ENOENT));
  EXPECT_EQ(remove_tree(e, "p"), 0);  // nothing left to remove
  EXPECT_EQ(e.remove_file("a/g"), 0);
  EXPECT_EQ(e.remove_directory("a"), 0);
  EXPECT_EQ(listing(""), "");
}

INSTANTIATE_TEST_SUITE_P(Env, FileSystemContract, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Posix" : "Fake"; });

TEST(EnvWrapperTest, ForwardsWhatItDoesNotOverride) {
  testing::FakeEnv target("/job");
  target.set("NAME", "value");
  target.set_cores(3);
  struct Quiet final : EnvWrapper {
    using EnvWrapper::EnvWrapper;
    void write_console(std::string_view) override { ++silenced; }
    int silenced = 0;
  } wrapper(&target);
  EXPECT_EQ(wrapper.target(), &target);
  wrapper.write_console("hidden");
  wrapper.write_error("shown");
  EXPECT_EQ(wrapper.silenced, 1);
  EXPECT_EQ(target.console(), "");
  EXPECT_EQ(target.errors(), "shown\n");
  EXPECT_EQ(wrapper.variable("NAME"), "value");
  EXPECT_EQ(wrapper.available_cores(), 3);
  EXPECT_EQ(wrapper.working_directory(), "/job");
  EXPECT_EQ(write_new_file(wrapper, "made", "x"), 0);
  EXPECT_EQ(wrapper.rename_file("made", "moved"), 0);
  EXPECT_EQ(target.contents("moved"), "x");
  EXPECT_EQ(wrapper.create_directory("d"), 0);
  std::vector<std::string> names;
  EXPECT_EQ(wrapper.list_directory("", &names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"d", "moved"}));
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

// The helpers work only on open batches, go on to the next open one without
// the caller, and the caller sees a batch done once all of its items are;
// ending the stream leaves the unopened batches untouched, also with helpers
// waiting for them, and the pool serves the next task.
TEST(WorkerPoolTest, BatchStreamWorksOpenBatchesOnlyAndEndsAtAnyPoint) {
  constexpr int64_t kBatches = 7, kSize = 5;
  for (int threads : {2, 4}) {
    for (int64_t last_open : {kBatches - 1, int64_t{2}, int64_t{0}}) {
      WorkerPool pool(threads);
      std::vector<std::atomic<int>> seen(static_cast<size_t>(kBatches * kSize));
      std::atomic<int64_t> opened{0};
      std::atomic<int> early{0}, caller{0};
      const std::thread::id me = std::this_thread::get_id();
      {
        BatchStream stream(pool, kBatches, kSize, 2, [&](int, int64_t batch, int64_t item) {
          if (batch >= opened.load()) early.fetch_add(1);
          if (std::this_thread::get_id() == me) caller.fetch_add(1);
          seen[static_cast<size_t>(batch * kSize + item)].fetch_add(1);
        });
        const auto open = [&](int64_t b) {
          if (b > last_open) return;
          opened.store(b + 1);
          stream.open(b);
        };
        open(0), open(1);
        for (int64_t b = 0; b <= last_open; ++b) {
          for (int tries = 0; !stream.wait(b, 0.01); ++tries) ASSERT_LT(tries, 3000) << "batch " << b << " not done";
          for (int64_t k = 0; k < kSize; ++k) {
            ASSERT_EQ(seen[static_cast<size_t>(b * kSize + k)].load(), 1) << threads << " " << b << " " << k;
          }
          open(b + 2);
        }
        stream.end();
      }
      for (int64_t k = (last_open + 1) * kSize; k < kBatches * kSize; ++k) {
        EXPECT_EQ(seen[static_cast<size_t>(k)].load(), 0) << threads << " " << last_open << " " << k;
      }
      EXPECT_EQ(early.load(), 0);
      EXPECT_EQ(caller.load(), 0);
      std::atomic<int64_t> done{0};
      EXPECT_TRUE(pool.run(20, [&](int, int64_t) { done.fetch_add(1); }));
      EXPECT_EQ(done.load(), 20);
    }
  }
}

// A batch whose items are still under way is not done; wait() gives up after
// its time and sees the batch done once they are.
TEST(WorkerPoolTest, BatchStreamWaitGivesUpOnABatchUnderWay) {
  WorkerPool pool(3);
  std::atomic<bool> go{false};
  BatchStream stream(pool, 1, 4, 1, [&](int, int64_t, int64_t) {
    while (!go.load()) std::this_thread::yield();
  });
  stream.open(0);
  EXPECT_FALSE(stream.wait(0, 0.01));
  go.store(true);
  EXPECT_TRUE(stream.wait(0, 60.0));
}

}  // namespace
}  // namespace tsr
