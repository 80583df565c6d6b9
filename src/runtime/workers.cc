#include "runtime/workers.h"

#include <chrono>
#include <system_error>
#include <utility>

namespace tsr {
namespace {

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

WorkerPool::WorkerPool(int threads) {
  // The slots exist before any helper can write its own.
  busy_seconds_.assign(static_cast<size_t>(threads > 1 ? threads : 1), 0.0);
  for (int i = 1; i < threads; ++i) {
    try {
      helpers_.emplace_back([this, i] { helper(i); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  cancel();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  start_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

bool WorkerPool::run(int64_t count, const Work& work, const StopCheck& stop) {
  start(count, work);
  return finish(stop);
}

void WorkerPool::start(int64_t count, const Work& work) {
  work_ = &work;
  count_ = count;
  next_.store(0);
  done_.store(0);
  stopped_.store(false);
  under_way_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
    busy_ = static_cast<int>(helpers_.size());
  }
  start_.notify_all();
}

bool WorkerPool::finish(const StopCheck& stop) {
  take_items(0, stop ? &stop : nullptr);
  wait_for_helpers();
  return done_.load() == (count_ > 0 ? count_ : 0);
}

void WorkerPool::cancel() {
  if (!under_way_) return;
  stopped_.store(true);
  wait_for_helpers();
}

void WorkerPool::wait_for_helpers() {
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return busy_ == 0; });
  under_way_ = false;
}

double WorkerPool::busy_seconds() const {
  double sum = 0.0;
  for (double s : busy_seconds_) sum += s;
  return sum;
}

void WorkerPool::take_items(int worker, const StopCheck* stop) {
  const double began = seconds_now();
  for (;;) {
    if (stop != nullptr && (*stop)()) stopped_.store(true);
    if (stopped_.load(std::memory_order_relaxed)) break;
    const int64_t item = next_.fetch_add(1);
    if (item >= count_) break;
    (*work_)(worker, item);
    done_.fetch_add(1);
  }
  busy_seconds_[static_cast<size_t>(worker)] += seconds_now() - began;
}

void WorkerPool::helper(int worker) {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
    }
    take_items(worker, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    if (--busy_ == 0) finished_.notify_one();
  }
}

BatchStream::BatchStream(WorkerPool& pool, int64_t batches, int64_t size, int window, Work work)
    : pool_(pool),
      size_(size),
      window_(window),
      work_(std::move(work)),
      item_work_([this](int worker, int64_t item) { take(worker, item); }),
      remaining_(static_cast<size_t>(window)),
      waiting_(static_cast<size_t>(pool.size()), 0.0) {
  pool_.start(batches * size, item_work_);
}

BatchStream::~BatchStream() { end(); }

void BatchStream::take(int worker, int64_t item) {
  const int64_t batch = item / size_;
  if (open_.load(std::memory_order_acquire) <= batch) {
    const double began = seconds_now();
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [&] { return ended_.load() || open_.load() > batch; });
    waiting_[static_cast<size_t>(worker)] += seconds_now() - began;
  }
  if (ended_.load(std::memory_order_relaxed)) return;
  work_(worker, batch, item % size_);
  if (remaining_[static_cast<size_t>(batch % window_)].fetch_sub(1, std::memory_order_acq_rel) == 1) {
    // Under the lock, so that a caller between its test and its wait hears it.
    std::lock_guard<std::mutex> lock(mutex_);
    done_.notify_all();
  }
}

void BatchStream::open(int64_t batch) {
  remaining_[static_cast<size_t>(batch % window_)].store(size_, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.store(batch + 1, std::memory_order_release);
  }
  opened_.notify_all();
}

bool BatchStream::wait(int64_t batch, double seconds) {
  std::atomic<int64_t>& remaining = remaining_[static_cast<size_t>(batch % window_)];
  std::unique_lock<std::mutex> lock(mutex_);
  return done_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [&] { return remaining.load(std::memory_order_acquire) == 0; });
}

void BatchStream::end() {
  if (over_) return;
  over_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.store(true);
  }
  opened_.notify_all();
  pool_.cancel();
}

double BatchStream::waiting_seconds() const {
  double sum = 0.0;
  for (double s : waiting_) sum += s;
  return sum;
}

}  // namespace tsr
