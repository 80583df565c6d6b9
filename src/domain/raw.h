// Raw values: how data.bsq stores a series, and the one conversion of a
// user's value (NDVI, a reflectance, any quantity with a factor) to a raw
// value. Every value keeps the type it has always had: the products depend
// on the exact bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsr {

// Raw units per unit of the scaled series: raw 4096 is 1.0. The model's
// parameters, TCLD and every fit work in the scaled units.
inline constexpr double kRawScale = 4096.0;
// A raw value above this is screened out as missing.
inline constexpr int16_t kRawCeiling = 1536;
// A rise from the previous band's raw value above this is screened out.
inline constexpr int kRawRiseLimit = 512;
// The raw value of a missing sample (no data): above the ceiling, so
// screened out like a cloud.
inline constexpr int16_t kRawNoData = 32767;
// The largest raw value a measured sample is stored as: larger ones are
// clipped to it, so that none reads as no data.
inline constexpr int16_t kRawLargest = 32766;
// Scaled values go back to raw units as trunc(v x kRawScale + offset): the
// fitted and preliminary series (f.bsq, i.bsq) with kSeriesRoundingOffset,
// their extremes (min.dat, max.dat) with kRawRoundingOffset, 0.49 as a
// 4-byte real widened to 8 bytes.
inline constexpr double kSeriesRoundingOffset = 0.5;
inline constexpr double kRawRoundingOffset = static_cast<double>(0.49f);

// Raw per unit of NDVI: NDVI is stored as NDVI x 1600, so that its ceiling
// is 0.96.
inline constexpr double kNdviFactor = 1600.0;

// How many measured samples a conversion clipped, and how many it left above
// the ceiling (those the program will screen out).
struct RawTally {
  int64_t clipped_low = 0;     // below 0, stored as 0
  int64_t clipped_high = 0;    // above kRawLargest, stored as kRawLargest
  int64_t above_ceiling = 0;   // above kRawCeiling before clipping
};

// The raw value of a user's `value` with `factor` raw per unit: value x
// factor rounded to nearest with halves away from zero, clipped to
// 0..kRawLargest; kRawNoData when `missing`. A product that is not a number
// (only a missing value gives one) is stored as missing too. When `tally` is
// given, a measured sample is counted there.
int16_t raw_value(double value, double factor, bool missing, RawTally* tally = nullptr);

// raw_value for `n` values: out[i] from values[i] and missing[i] (nonzero:
// missing; a null `missing` marks none). Requires: the arrays hold n
// elements; out may not overlap the inputs.
void raw_values(const double* values, const uint8_t* missing, size_t n, double factor, int16_t* out,
                RawTally* tally = nullptr);

}  // namespace tsr
