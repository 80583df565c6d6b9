// Storage of the workspaces, sized once when a workspace is built.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace tsr {

// The allocator of the kernels' columns: the first element starts on a
// 64-byte boundary (a cache line, and the width of the widest vector
// register).
template <typename T>
struct CacheLineAllocator {
  using value_type = T;
  static constexpr std::align_val_t kAlignment{64};

  CacheLineAllocator() = default;
  template <typename U>
  explicit CacheLineAllocator(const CacheLineAllocator<U>&) {}

  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlignment)); }
  void deallocate(T* p, std::size_t) { ::operator delete(p, kAlignment); }

  template <typename U>
  bool operator==(const CacheLineAllocator<U>&) const {
    return true;
  }
};

using AlignedDoubles = std::vector<double, CacheLineAllocator<double>>;

// A fixed number of doubles, all +0.0, taken from the system as zeroed
// memory: pages that are never written need not be backed by memory (a large
// block the program may not use, such as the literal engine's reflection
// matrix beside the fast engine). Throws std::bad_alloc when the system
// refuses.
class ZeroedDoubles {
 public:
  explicit ZeroedDoubles(std::size_t n)
      : data_(static_cast<double*>(std::calloc(n == 0 ? 1 : n, sizeof(double)))), size_(n) {
    if (data_ == nullptr) throw std::bad_alloc();
  }

  double* data() { return data_.get(); }
  const double* data() const { return data_.get(); }
  std::size_t size() const { return size_; }

 private:
  struct Free {
    void operator()(double* p) const { std::free(p); }
  };
  std::unique_ptr<double[], Free> data_;
  std::size_t size_;
};

}  // namespace tsr
