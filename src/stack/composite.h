// Compositing acquisitions onto a grid in time (--step): each acquisition
// goes to the step that holds its date; per step and pixel the median of the
// valid samples, or the largest; a step without a valid sample is missing.
// The band dates are the steps' first days.
//
// The work is split so that a cube can be composited block by block: the
// plan (which acquisitions each step takes) is made once from the dates, and
// composite_step works on planes of pixels (any block of whole image lines,
// or any other set of pixels) of the acquisitions of one step.
//
// Pure computation, no I/O; the functions may be called from any thread,
// on storage that no other thread writes meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/status.h"
#include "stack/time_grid.h"

namespace tsr {

enum class CompositeRule {
  // The median of the valid samples; of an even count, the mean of the two
  // middle values, (a + b) / 2 (as NumPy's median).
  kMedian,
  kMax,  // the largest valid sample
};

// --composite TEXT: "median" or "max"; refuses anything else, naming --composite.
Status parse_composite_rule(std::string_view text, CompositeRule* rule);

struct CompositePlan {
  TimeGrid grid;
  int32_t first_step = 0;  // the step of the first acquisition taken
  // One entry per step from the first acquisition taken to the last (the
  // bands of the composite):
  std::vector<int32_t> band_days;             // the step's first day
  std::vector<std::vector<size_t>> sources;   // indices (into the dates given) of its acquisitions, by date
  size_t taken = 0;                            // acquisitions within the window
  int32_t steps() const { return static_cast<int32_t>(band_days.size()); }
  int32_t empty_steps() const;                 // steps without an acquisition
};

// Plans the composite of acquisitions dated `days` (any order; several on
// one day allowed) within `window`, on `grid`, with any number of steps (the
// import, which makes a cube for the program, asks check_step_count after).
// Refuses when no date lies within the window and when a date lies outside
// the years 1..9999.
Status plan_composite(const TimeGrid& grid, const std::vector<int32_t>& days, const DateWindow& window,
                      CompositePlan* plan);

// Composites one step: `planes` acquisitions, each a plane of `pixels`
// values (values[k][i]) with its validity (valid[k][i]: 0 missing, anything
// else valid). A sample counts when it is valid and its value is finite.
// Writes out_values[i] (the composite, NaN where no sample counts) and
// out_valid[i] (1 or 0); out_count[i], when out_count is not null, gets the
// number of samples that counted. planes may be 0 (a step without acquisitions: everything
// missing). The outputs must not overlap the inputs. Refuses planes or
// pixels below 0.
Status composite_step(const double* const* values, const uint8_t* const* valid, int32_t planes, int64_t pixels,
                      CompositeRule rule, double* out_values, uint8_t* out_valid, int32_t* out_count);

}  // namespace tsr
