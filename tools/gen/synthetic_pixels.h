// The pixels of tsrecon-gen's cubes, one at a time: a seasonal curve (a base
// level, a trend, an annual and a semi-annual harmonic with pixel-to-pixel
// variation of phase and amplitude) with cloud dips, spikes above the raw
// ceiling, runs of no-data and bare or water pixels mixed in. The same
// generator state gives the same pixels: tsrecon-gen's cube of seed S is its
// pixels drawn from std::mt19937_64(S) line by line, sample by sample, so
// that the pixel benchmark (tools/bench) can draw the same ones.
#pragma once

#include <cstdint>
#include <random>

namespace tsr {

struct PixelShape {
  int32_t nb = 46;       // bands
  int32_t npoint = 46;   // time steps per cycle of the annual harmonic
  double cloud = 0.12;   // probability of a cloud dip per sample
  double nodata = 0.05;  // probability that a pixel has a run of no-data
};

// Draws one pixel from rng into raw[b * stride] and, when weights is not
// null, its mask weights into weights[b * stride] (0 where a cloud or no-data
// was put, 1 elsewhere), for the bands b = 0..nb-1.
void draw_pixel(const PixelShape& shape, std::mt19937_64& rng, int16_t* raw, uint8_t* weights, int64_t stride);

}  // namespace tsr
