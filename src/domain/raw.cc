#include "domain/raw.h"

#include <cmath>

namespace tsr {
namespace {

// The nearest integer, halves away from zero: trunc(x), moved one away from
// zero when the part cut off is at least a half. Exact for every double (the
// fraction x - trunc(x) is representable); infinities stay infinite.
double round_half_away(double x) {
  const double t = std::trunc(x);
  const double sign = x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : 0.0;
  return t + (std::fabs(x - t) >= 0.5 ? sign : 0.0);
}

}  // namespace

int16_t raw_value(double value, double factor, bool missing, RawTally* tally) {
  if (missing) return kRawNoData;
  const double raw = round_half_away(value * factor);
  if (std::isnan(raw)) return kRawNoData;
  if (tally != nullptr) {
    tally->clipped_low += raw < 0.0;
    tally->clipped_high += raw > kRawLargest;
    tally->above_ceiling += raw > kRawCeiling;
  }
  if (raw < 0.0) return 0;
  if (raw > kRawLargest) return kRawLargest;
  return static_cast<int16_t>(raw);
}

void raw_values(const double* values, const uint8_t* missing, size_t n, double factor, int16_t* out,
                RawTally* tally) {
  for (size_t i = 0; i < n; ++i) out[i] = raw_value(values[i], factor, missing != nullptr && missing[i] != 0, tally);
}

}  // namespace tsr
