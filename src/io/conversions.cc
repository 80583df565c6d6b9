#include "io/conversions.h"

#include <cmath>
#include <cstring>

#include "domain/raw.h"
#include "domain/run_files.h"

namespace tsr {

int16_t scaled_series_value(double x) {
  const double t = x * kRawScale + kSeriesRoundingOffset;
  int32_t truncated = INT32_MIN;
  // Truncation toward zero fits a 32-bit integer exactly when -2^31 - 1 < t < 2^31;
  // the comparisons are false for a NaN, which keeps INT32_MIN.
  if (t > -2147483649.0 && t < 2147483648.0) truncated = static_cast<int32_t>(t);
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(truncated) & 0xFFFFu));
}

float real4_value(double x) { return static_cast<float>(x); }

float aic_value(double x) {
  float value = static_cast<float>(x);
  if (std::fabs(x) > kLargestStoredCriterion) value = 0.0f;
  return value;
}

uint8_t order_byte(int16_t order) { return static_cast<uint8_t>(static_cast<uint16_t>(order) & 0xFFu); }

void store16(unsigned char* p, uint16_t value, bool swap) {
  const auto low = static_cast<unsigned char>(value & 0xFFu);
  const auto high = static_cast<unsigned char>(value >> 8);
  p[0] = swap ? high : low;
  p[1] = swap ? low : high;
}

void store32(unsigned char* p, uint32_t value, bool swap) {
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<unsigned char>((value >> (8 * i)) & 0xFFu);
    p[swap ? 3 - i : i] = byte;
  }
}

uint16_t load16(const unsigned char* p, bool swap) {
  const unsigned low = swap ? p[1] : p[0];
  const unsigned high = swap ? p[0] : p[1];
  return static_cast<uint16_t>(low | (high << 8));
}

uint32_t real4_bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace tsr
