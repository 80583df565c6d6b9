#include "support/job.h"

#include <cmath>

#include "support/random.h"

namespace tsr::testing {

std::string ControlFile::text() const {
  return std::to_string(nb) + "\n" + std::to_string(nl) + " " + std::to_string(ns) + "\n&DATA " + data_group +
         " /\n&CONTRL " + contrl_group + " /\n&NPT NPOINT=" + std::to_string(npoint) + " /\n" + band_records;
}

std::vector<int16_t> synthetic_cube(int32_t nb, int32_t nl, int32_t ns, int32_t npoint, uint64_t seed) {
  std::vector<int16_t> v(static_cast<size_t>(nb) * nl * ns);
  SplitMix64 rng(seed);
  for (int32_t l = 0; l < nl; ++l) {
    for (int32_t s = 0; s < ns; ++s) {
      const double kind = rng.unit();
      const double base = kind < 0.1 ? 0.1 : 0.3 + 0.3 * rng.unit();
      const double amp = kind < 0.1 ? 0.02 : 0.1 + 0.25 * rng.unit();
      const double phase = 6.283185307179586 * rng.unit();
      int32_t gap_start = -1, gap_length = 0;
      if (rng.unit() < 0.2) {
        gap_start = static_cast<int32_t>(rng.unit() * nb);
        gap_length = 1 + static_cast<int32_t>(rng.unit() * (nb / 3));
      }
      for (int32_t b = 0; b < nb; ++b) {
        double ndvi = base + amp * std::sin(6.283185307179586 * (b + 1) / npoint + phase) + 0.02 * (rng.unit() - 0.5);
        if (rng.unit() < 0.12) ndvi *= 0.3;
        int32_t raw = static_cast<int32_t>(std::lround(std::fmax(ndvi, 0.0) * 1600.0));
        if (rng.unit() < 0.03) raw += 700;
        if (kind > 0.96 || (b >= gap_start && b < gap_start + gap_length)) raw = 32767;
        if (kind > 0.93 && kind <= 0.96) raw = 0;
        v[(static_cast<size_t>(b) * nl + l) * ns + s] = static_cast<int16_t>(raw);
      }
    }
  }
  return v;
}

std::string synthetic_mask(size_t count, uint64_t seed) {
  std::string out(count, '\0');
  SplitMix64 rng(seed);
  for (size_t i = 0; i < count; ++i) {
    const double u = rng.unit();
    out[i] = static_cast<char>(u < 0.15 ? 0 : u < 0.95 ? 1 : u < 0.98 ? 2 : 255);
  }
  return out;
}

std::string cube_file(const std::vector<int16_t>& values, bool big_endian) {
  std::string out(values.size() * 2, '\0');
  for (size_t i = 0; i < values.size(); ++i) {
    const auto u = static_cast<uint16_t>(values[i]);
    out[2 * i + (big_endian ? 1 : 0)] = static_cast<char>(u & 0xFF);
    out[2 * i + (big_endian ? 0 : 1)] = static_cast<char>(u >> 8);
  }
  return out;
}

}  // namespace tsr::testing
