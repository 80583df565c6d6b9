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
// A task runs either whole (run) or in two halves: start() sets the helpers
// to work and returns, the calling thread does something else (the driver
// moves the lines before and after), then finish() makes it a worker too
// until the task is done, or cancel() ends the task early.
//
// Threads: run(), start(), finish() and cancel() are called by the thread
// that built the pool, never concurrently with each other; `work` runs on
// every worker, `stop` only on the calling thread.
class WorkerPool {
 public:
  using Work = std::function<void(int worker, int64_t item)>;
  using StopCheck = std::function<bool()>;

  explicit WorkerPool(int threads);
  // Cancels a task that was started and not finished.
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

  // The first half of run(): the helpers start on items 0..count-1 and the
  // call returns at once. `work` must stay alive until finish() or cancel()
  // returns. Requires that no task is under way.
  void start(int64_t count, const Work& work);
  // The second half: the calling thread takes items as in run(), asking
  // `stop` before each, and waits for the helpers. Returns true when every
  // item was done. Requires a task begun by start().
  bool finish(const StopCheck& stop = {});
  // Ends a task begun by start(): no worker takes another item, and the call
  // returns once the items under way are done. Does nothing without a task.
  void cancel();

  // Seconds the workers have spent inside tasks (taking and doing items),
  // summed over the workers and the pool's life; read between tasks.
  double busy_seconds() const;

 private:
  void take_items(int worker, const StopCheck* stop);
  void helper(int worker);
  void wait_for_helpers();

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable start_, finished_;
  uint64_t generation_ = 0;
  int busy_ = 0;
  bool quit_ = false;
  bool under_way_ = false;
  const Work* work_ = nullptr;
  int64_t count_ = 0;
  std::atomic<int64_t> next_{0};
  std::atomic<int64_t> done_{0};
  std::atomic<bool> stopped_{false};
  // Per worker: seconds inside tasks (each slot written by its own worker).
  std::vector<double> busy_seconds_;
};

// Items in consecutive batches (the lines of a run) for the helper threads of
// a pool, while the thread that built it prepares the batches ahead and takes
// in the batches behind. The caller opens the batches in order (0, 1, ...);
// the helpers take the items of the open batches in order, and wait when the
// next item lies in a batch not open yet; the caller waits for a batch to be
// done. Helpers go from one batch to the next without a pause as long as it
// is open.
//
// At most `window` batches are open and not yet seen done by wait(): batch
// b may be opened once batch b - window was.
//
// Threads: every call is made by the thread that built the pool, which takes
// no item itself; `work` runs on the helpers.
class BatchStream {
 public:
  using Work = std::function<void(int worker, int64_t batch, int64_t item)>;

  // A task on `pool` (it must have helpers and no task under way) over
  // `batches` batches of `size` items (size >= 1); none is open yet. `work`
  // is copied.
  BatchStream(WorkerPool& pool, int64_t batches, int64_t size, int window, Work work);
  // Ends the stream if end() was not called.
  ~BatchStream();
  BatchStream(const BatchStream&) = delete;
  BatchStream& operator=(const BatchStream&) = delete;

  // Opens batch `batch`, the next one in order, for the helpers: whatever
  // the caller wrote for it before the call is seen by them.
  void open(int64_t batch);
  // Waits until every item of the open batch `batch` is done, for at most
  // `seconds`; true when it is done. What the items wrote is then seen by
  // the caller.
  bool wait(int64_t batch, double seconds);
  // No helper takes another item; returns once the items under way are done.
  // The pool's task is over.
  void end();

  // Seconds the helpers spent waiting for a batch to open, summed over the
  // helpers; read after end().
  double waiting_seconds() const;

 private:
  void take(int worker, int64_t item);

  WorkerPool& pool_;
  const int64_t size_;
  const int window_;
  const Work work_;
  const WorkerPool::Work item_work_;
  std::mutex mutex_;
  std::condition_variable opened_, done_;
  std::atomic<int64_t> open_{0};  // batches 0..open_-1 are open
  std::atomic<bool> ended_{false};
  bool over_ = false;
  std::vector<std::atomic<int64_t>> remaining_;  // items not done, per window slot
  std::vector<double> waiting_;                  // per worker, written by its own
};

}  // namespace tsr
