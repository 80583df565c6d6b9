// Storage of the kernels' columns: a std::vector whose first element starts
// on a 64-byte boundary (a cache line, and the width of the widest vector
// register), zeroed when created. Sized once, when a workspace is built.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace tsr {

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

}  // namespace tsr
