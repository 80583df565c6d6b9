// The bit pattern of a real, for tests that compare results exactly (a
// difference in the sign of a zero or in the last bit counts).
#pragma once

#include <cstdint>
#include <cstring>

namespace tsr::testing {

inline uint64_t bits(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

inline uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

}  // namespace tsr::testing
