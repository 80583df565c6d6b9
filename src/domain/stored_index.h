// Vegetation indices as products store them: NDVI or EVI x 10000 (MODIS
// MOD13/MYD13, Landsat and Sentinel-2 level-2 indices, and many processing
// chains that keep those numbers in floats). Beside the raw conventions of
// data.bsq (raw.h): what such stored numbers mean before they become raw
// values.
//
//  - Valid stored values lie within -2000..10000 (the products' valid range,
//    index -0.2..1.0); anything outside it is a missing sample, whether or
//    not the file declares a no-data value (MODIS's fill -3000 among them).
//  - Floats whose values are all whole numbers within -10000..10000, some
//    beyond 1 in magnitude, are index x 10000 stored as floats (an index
//    itself lies within -1..1 and is rarely whole).
//
// Pure computation, no I/O; a StoredIndexScan is not synchronised (one per
// thread, then merge).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsr {

// Stored units per unit of the index.
inline constexpr double kStoredIndexScale = 10000.0;
// The valid range of the stored values.
inline constexpr double kStoredIndexValidLow = -2000.0;
inline constexpr double kStoredIndexValidHigh = 10000.0;
// Stored values within -kStoredIndexSpan..kStoredIndexSpan can be index x 10000.
inline constexpr double kStoredIndexSpan = 10000.0;

// True for a stored value within kStoredIndexValidLow..kStoredIndexValidHigh
// (false for NaN).
bool stored_index_valid(double stored);

// Marks missing (missing[i] = 1) each of the n values that is not yet
// missing and is no valid stored index value; returns how many it marked.
// A null `missing` is not allowed. Requires: both arrays hold n elements.
int64_t mark_invalid_stored_index(const double* values, size_t n, uint8_t* missing);

// Whether float samples are index x 10000: gathers, over any number of
// blocks, whether every sample that is not missing is a whole number within
// -kStoredIndexSpan..kStoredIndexSpan and whether some lie beyond 1 in
// magnitude.
class StoredIndexScan {
 public:
  // Adds the n values (missing[i] nonzero: left out; a null `missing` marks
  // none). Not-a-number values count as not whole.
  void add(const double* values, const uint8_t* missing, size_t n);
  void merge(const StoredIndexScan& other);

  int64_t samples() const { return samples_; }  // samples looked at
  // Every sample looked at whole and within the span, some beyond 1, and at
  // least one sample.
  bool looks_scaled() const { return samples_ > 0 && not_whole_ == 0 && beyond_one_ > 0; }

 private:
  int64_t samples_ = 0;
  int64_t not_whole_ = 0;   // not a whole number, or outside the span
  int64_t beyond_one_ = 0;  // whole, within the span, |v| > 1
};

}  // namespace tsr
