// Gap filling of a pixel's working series: missing samples are replaced by
// straight-line interpolation between the nearest valid samples on either side,
// and the longest gap between valid samples is measured.
#pragma once

#include <cstdint>

namespace tsr {

// Two-point linear interpolation: y = (x - x1) * ((y2 - y1) / (x2 - x1)) + y1.
// Requires |x2 - x1| >= kMinInterpolationSpan (lsq/constants.h) and
// x1 <= x <= x2. On a call outside these
// limits flag is set to 1 and y is left unchanged; this layer never ends the
// process, so the caller decides what a set flag means. fill_gaps only makes
// calls within the limits and never sees a set flag. flag is 0 on success.
void interpolate_linear(double x1, double x2, double y1, double y2, double x, double& y,
                        int32_t& flag);

// series, status: nb entries (0-based, entry i-1 is band i), changed in place.
// A status above 0 marks a valid sample. Every interior run of missing samples
// is filled from its two valid neighbours and gets status 2; missing samples
// before the first or after the last valid sample become 0.0 and keep their
// status. Band 1 ends with status 1 when it was valid and 0 when it was not.
// max_gap is only ever raised: to the largest i - L over valid samples i, with
// L the previous valid sample, or 0 for the first one (so a leading run of k
// missing samples counts as a gap of k + 1; a trailing run is not measured).
void fill_gaps(int32_t nb, double* series, int32_t* status, int32_t& max_gap);

}  // namespace tsr
