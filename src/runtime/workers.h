// A fixed set of threads that share the items of a task.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tsr {

// The calling thread and threads - 1 helper threads, created once and reused
// for every task. A helper the system refuses to start leaves its share to
// the others. Items are taken one at a time from a shared counter, so which
// worker computes an item depends on timing: work must put each item's
// result at the item's own place for the outcome not to depend on it.
//
// Threads: run() is called by the thread that built the pool, never
// concurrently with itself.
class WorkerPool {
 public:
  using Work = std::function<void(int worker, int64_t item)>;
  using StopCheck = std::function<bool()>;

  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Workers actually running, the caller included (worker indices 0..size-1;
  // the caller is 0).
  int size() const { return static_cast<int>(helpers_.size()) + 1; }

  // Runs work(worker, item) for items 0..count-1. Before each item it takes,
  // the calling thread asks `stop` (when given); once that returns true no
  // worker takes another item. Returns true when every item was done.
  bool run(int64_t count, const Work& work, const StopCheck& stop = {});

 private:
  void take_items(int worker);
  void helper(int worker);

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable start_, finished_;
  uint64_t generation_ = 0;
  int busy_ = 0;
  bool quit_ = false;
  const Work* work_ = nullptr;
  const StopCheck* stop_check_ = nullptr;
  int64_t count_ = 0;
  std::atomic<int64_t> next_{0};
  std::atomic<int64_t> done_{0};
  std::atomic<bool> stopped_{false};
};

}  // namespace tsr
