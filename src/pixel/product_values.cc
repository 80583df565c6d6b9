#include "pixel/product_values.h"

#include <cmath>
#include <limits>

namespace tsr {

void harmonic_amplitude_phase(double sk, double ck, double& amplitude, double& phase) {
  const double ss2 = sk * sk;
  const double cc2 = ck * ck;
  const double a = std::sqrt(ss2 + cc2);
  if (a <= kMinAmplitude) {
    amplitude = 0.0;
    phase = 0.0;
    return;
  }
  const double p = kPiSingle;
  const double ss = std::signbit(sk) ? -1.0 : 1.0;
  const double sc = std::signbit(ck) ? -1.0 : 1.0;
  double phi;
  if (std::fabs(sk) < kMinSineCoefficient) {
    phi = p * 0.5;
    phi = phi * ss;
    phi = phi * sc;
  } else {
    double offset = 0.0;
    if (ss < 0.0 && sc < 0.0) {
      offset = -p;
    } else if (ss < 0.0 && sc > 0.0) {
      offset = p;
    }
    phi = std::atan(ck / sk) + offset;
  }
  amplitude = a;
  phase = phi;
}

int32_t truncate_to_int32(double v) {
  // Every value strictly between these bounds truncates into the int32 range.
  if (v > -2147483649.0 && v < 2147483648.0) return static_cast<int32_t>(v);
  return std::numeric_limits<int32_t>::min();
}

int32_t round_to_raw(double v) {
  const double raw = v * kRawScale;
  return truncate_to_int32(raw + kRawRoundingOffset);
}

}  // namespace tsr
