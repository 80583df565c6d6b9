// How NPOINT and NFUNC follow from the dates of a series: NPOINT makes the
// first harmonic one cycle per year, and NFUNC keeps the harmonics that the
// sampling can resolve.
//
// The one NPOINT rule: NPOINT is the number of steps a year of the series'
// grid in time, rounded (23 for MODIS 16-day composites, Terra or Aqua; 46
// for 8-day composites; 12 for months; 36 for dekads; round(365.25 / N) for
// a fixed step of N days). tsrecon-import writes it from the grid of the
// dates, tsrecon-check holds a job to it; a series known only by the median
// step between its dates takes the grid that step stands for.
#pragma once

#include <cstdint>
#include <string>

namespace tsr {

// The harmonics of the table whose cycles lie below half of NPOINT (the
// sampling limit, 2 x cycles < NPOINT): the largest sound NFUNC.
int32_t sound_nfunc(int32_t npoint);

// NPOINT for a grid of `steps_per_year` steps a year: the nearest whole
// number, halves up, at least 1 (22.5 -> 23, 36.525 -> 37, 0.2 -> 1); a
// count too large for 32 bits, or not a number, gives the largest.
int32_t npoint_for_steps_per_year(double steps_per_year);

// NPOINT for a year of steps of `median_step` days, and what it was taken
// for: 46 for 8 days ("8-day composites"), 36 for 10, 23 for 16 (each within
// half a day: the grids of 8-day composites, dekads and 16-day composites),
// 12 for 28 to 31 days ("monthly"), else a fixed step of that many days,
// npoint_for_steps_per_year(365.25 / step) ("round(365.25 / 5)", the step as
// %g writes it).
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
