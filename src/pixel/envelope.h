// One-sided envelope filters of a pixel's working series. fill_dips raises
// every sample that has a higher sample within nwin bands on each side to the
// smaller of the two side maxima (dips up to nwin bands wide are filled);
// clip_peaks is its mirror image and removes peaks up to nwin bands wide.
#pragma once

#include <cstdint>
#include <vector>

#include "lsq/limits.h"

namespace tsr {

// Working storage of the filters: the series padded at both ends.
//
// The padding repeats the first and the last value, and a running extreme is
// only replaced by a strictly larger (smaller) value, so visiting more copies
// of an end value than nb changes nothing: a window of min(nwin, nb) bands on
// each side gives exactly the result of a window of nwin bands. The buffer
// therefore holds nb + 2 * min(nwin, nb) <= 3 * capacity values for any
// nwin >= 0, for series of up to `capacity` time steps.
struct EnvelopeScratch {
  // capacity below 1 is taken as 1.
  explicit EnvelopeScratch(int32_t capacity = kMaxBands);
  int32_t capacity() const { return static_cast<int32_t>(padded.size() / 3); }
  std::vector<double> padded;
};

// series: nb entries (0-based), filtered in place; nb in 1..scratch.capacity()
// (a longer series is left unchanged).
// nwin = 0 leaves the series unchanged. A negative nwin gives an empty window:
// both running extremes keep their start values and every sample becomes 0.0
// through the guard on the result.
void fill_dips(int32_t nb, int32_t nwin, double* series, EnvelopeScratch& scratch);
void clip_peaks(int32_t nb, int32_t nwin, double* series, EnvelopeScratch& scratch);

}  // namespace tsr
