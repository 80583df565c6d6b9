// How NPOINT and NFUNC follow from the dates of a series: NPOINT makes the
// first harmonic one cycle per year, and NFUNC keeps the harmonics that the
// sampling can resolve.
#pragma once

#include <cstdint>
#include <string>

namespace tsr {

// The harmonics of the table whose cycles lie below half of NPOINT (the
// sampling limit, 2 x cycles < NPOINT): the largest sound NFUNC.
int32_t sound_nfunc(int32_t npoint);

// NPOINT for a year of steps of `median_step` days, and what it was taken
// for: 46 for 8 days ("8-day composites"), 36 for 10, 23 for 16 (each within
// half a day), 12 for 28 to 31 days ("monthly"), else round(365.25 / step)
// and at least 1 ("round(365.25 / 5)", the step as %g writes it).
struct NpointChoice {
  int32_t npoint = 0;
  std::string basis;
};
NpointChoice npoint_for_step(double median_step);

// A note on the harmonics NFUNC (0..kMaxHarmonics) keeps for NPOINT: which
// cycles lie below the sampling limit and which would sit at or beyond it,
// e.g. "harmonics of 1, 2, 3, 4, 6 cycles in NPOINT=23 steps; 12 cycles
// would sit at or beyond half of NPOINT (the sampling limit)".
std::string nfunc_note(int32_t npoint, int32_t nfunc);

}  // namespace tsr
