#include "domain/npoint.h"

#include <algorithm>
#include <cstdio>

#include "domain/model.h"

namespace tsr {
namespace {

// The cycles of harmonics first..last-1 (0-based), as "1, 2, 3".
std::string cycles(int32_t first, int32_t last) {
  std::string out;
  for (int32_t k = first; k < last; ++k) out += (out.empty() ? "" : ", ") + std::to_string(harmonic_frequencies[k]);
  return out;
}

}  // namespace

int32_t sound_nfunc(int32_t npoint) {
  int32_t k = 0;
  while (k < kMaxHarmonics && 2 * int64_t{harmonic_frequencies[k]} < npoint) ++k;
  return k;
}

int32_t npoint_for_steps_per_year(double steps_per_year) {
  const double steps = steps_per_year + 0.5;
  // Not below 2^31 - 1 (or not a number): the largest count a 32-bit NPOINT holds.
  if (!(steps < 2147483647.0)) return INT32_MAX;
  return std::max<int32_t>(1, static_cast<int32_t>(std::max(steps, 0.0)));
}

NpointChoice npoint_for_step(double step) {
  const struct {
    double days;
    double steps_per_year;  // of the grid the step stands for
    const char* basis;
  } composites[] = {{8, 46, "8-day composites"}, {10, 36, "10-day composites"}, {16, 23, "16-day composites"}};
  for (const auto& c : composites) {
    if (step >= c.days - 0.5 && step <= c.days + 0.5) return {npoint_for_steps_per_year(c.steps_per_year), c.basis};
  }
  if (step >= 28 && step <= 31) return {npoint_for_steps_per_year(12), "monthly"};
  char text[64];
  std::snprintf(text, sizeof text, "round(365.25 / %g)", step);
  return {npoint_for_steps_per_year(365.25 / step), text};
}

std::string nfunc_note(int32_t npoint, int32_t nfunc) {
  const int32_t kept = std::clamp<int32_t>(nfunc, 0, kMaxHarmonics);
  const std::string in_npoint = " cycles in NPOINT=" + std::to_string(npoint) + " steps";
  if (kept == kMaxHarmonics) {
    static_assert(kMaxHarmonics == 6, "the note counts the harmonics in words");
    return "all six harmonics (" + cycles(0, kept) + in_npoint + ") lie below half of NPOINT";
  }
  const std::string head =
      kept > 0 ? "harmonics of " + cycles(0, kept) + in_npoint : "no harmonic for NPOINT=" + std::to_string(npoint);
  return head + "; " + cycles(kept, kMaxHarmonics) + " cycles would sit at or beyond half of NPOINT (the sampling limit)";
}

}  // namespace tsr
