#include "domain/stored_index.h"

#include <cmath>

namespace tsr {

bool stored_index_valid(double stored) { return stored >= kStoredIndexValidLow && stored <= kStoredIndexValidHigh; }

int64_t mark_invalid_stored_index(const double* values, size_t n, uint8_t* missing) {
  int64_t marked = 0;
  for (size_t i = 0; i < n; ++i) {
    if (missing[i] != 0 || stored_index_valid(values[i])) continue;
    missing[i] = 1;
    ++marked;
  }
  return marked;
}

void StoredIndexScan::add(const double* values, const uint8_t* missing, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (missing != nullptr && missing[i] != 0) continue;
    const double v = values[i];
    ++samples_;
    if (!(std::fabs(v) <= kStoredIndexSpan) || std::trunc(v) != v)
      ++not_whole_;
    else if (std::fabs(v) > 1.0)
      ++beyond_one_;
  }
}

void StoredIndexScan::merge(const StoredIndexScan& other) {
  samples_ += other.samples_;
  not_whole_ += other.not_whole_;
  beyond_one_ += other.beyond_one_;
}

}  // namespace tsr
