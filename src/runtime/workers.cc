#include "runtime/workers.h"

#include <system_error>

namespace tsr {

WorkerPool::WorkerPool(int threads) {
  for (int i = 1; i < threads; ++i) {
    try {
      helpers_.emplace_back([this, i] { helper(i); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  start_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

bool WorkerPool::run(int64_t count, const Work& work, const StopCheck& stop) {
  work_ = &work;
  stop_check_ = stop ? &stop : nullptr;
  count_ = count;
  next_.store(0);
  done_.store(0);
  stopped_.store(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
    busy_ = static_cast<int>(helpers_.size());
  }
  start_.notify_all();
  take_items(0);
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return busy_ == 0; });
  return done_.load() == (count > 0 ? count : 0);
}

void WorkerPool::take_items(int worker) {
  for (;;) {
    if (worker == 0 && stop_check_ != nullptr && (*stop_check_)()) stopped_.store(true);
    if (stopped_.load(std::memory_order_relaxed)) return;
    const int64_t item = next_.fetch_add(1);
    if (item >= count_) return;
    (*work_)(worker, item);
    done_.fetch_add(1);
  }
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
    take_items(worker);
    std::lock_guard<std::mutex> lock(mutex_);
    if (--busy_ == 0) finished_.notify_one();
  }
}

}  // namespace tsr
