#include "tools/gen/synthetic_pixels.h"

#include <cmath>

#include "domain/raw.h"

namespace tsr {

namespace {

double uniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * (1.0 / 9007199254740992.0); }

}  // namespace

void draw_pixel(const PixelShape& shape, std::mt19937_64& rng, int16_t* raw, uint8_t* weights, int64_t stride) {
  const double two_pi = 2.0 * M_PI;
  // Land cover: mostly vegetation, some bare soil, some water (no-data).
  const double kind = uniform(rng);
  const double base = kind < 0.08 ? 0.12 : 0.35 + 0.25 * uniform(rng);
  const double amp1 = kind < 0.08 ? 0.02 : 0.15 + 0.2 * uniform(rng);
  const double amp2 = 0.05 * uniform(rng);
  const double ph1 = two_pi * uniform(rng);
  const double ph2 = two_pi * uniform(rng);
  const double trend = (uniform(rng) - 0.5) * 0.002;
  const bool water = kind > 0.97;
  int gap_start = -1, gap_len = 0;
  if (uniform(rng) < shape.nodata) {
    gap_start = static_cast<int>(uniform(rng) * shape.nb);
    gap_len = 1 + static_cast<int>(uniform(rng) * (shape.nb / 3));
  }
  for (int b = 0; b < shape.nb; ++b) {
    const double t = b + 1;
    double ndvi = base + trend * t + amp1 * std::sin(two_pi * t / shape.npoint + ph1) +
                  amp2 * std::sin(2.0 * two_pi * t / shape.npoint + ph2) + 0.01 * (uniform(rng) - 0.5);
    uint8_t weight = 1;
    if (uniform(rng) < shape.cloud) {
      ndvi *= 0.2 + 0.5 * uniform(rng);  // cloud or shadow: NDVI drops
      weight = 0;
    }
    // NDVI is stored as round(ndvi * kNdviFactor), the scale of the real
    // cubes the program is used on (domain/raw.h).
    int value = static_cast<int>(std::lround(std::fmax(ndvi, 0.0) * kNdviFactor));
    if (uniform(rng) < 0.01) value += 600 + static_cast<int>(uniform(rng) * 400);  // spike
    if (water || (b >= gap_start && b < gap_start + gap_len)) {
      value = kRawNoData;  // above the raw ceiling
      weight = 0;
    }
    value = value < 0 ? 0 : value > kRawNoData ? kRawNoData : value;
    raw[b * stride] = static_cast<int16_t>(value);
    if (weights != nullptr) weights[b * stride] = weight;
  }
}

}  // namespace tsr
