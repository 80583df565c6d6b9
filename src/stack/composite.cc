#include "stack/composite.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace tsr {

Status parse_composite_rule(std::string_view text, CompositeRule* rule) {
  if (text == "median") return *rule = CompositeRule::kMedian, Status::ok();
  if (text == "max") return *rule = CompositeRule::kMax, Status::ok();
  return Status::refused("--composite " + std::string(text) + ": give median or max");
}

int32_t CompositePlan::empty_steps() const {
  return static_cast<int32_t>(std::count_if(sources.begin(), sources.end(), [](const auto& s) { return s.empty(); }));
}

Status plan_composite(const TimeGrid& grid, const std::vector<int32_t>& days, const DateWindow& window,
                      CompositePlan* plan) {
  *plan = CompositePlan();
  plan->grid = grid;
  std::vector<size_t> order;
  for (size_t i = 0; i < days.size(); ++i) {
    if (days[i] < kFirstDayNumber || days[i] > kLastDayNumber)
      return Status::refused("date " + std::to_string(i + 1) + " lies outside the years 1 to 9999");
    if (days[i] >= window.from && days[i] <= window.to) order.push_back(i);
  }
  if (order.empty())
    return Status::refused(days.empty() ? std::string("no dates")
                                        : "no date lies between --from " + format_date(window.from) + " and --to " +
                                              format_date(window.to));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return days[a] < days[b]; });
  const int32_t first = step_of(grid, days[order.front()]);
  const int32_t last = step_of(grid, days[order.back()]);
  plan->first_step = first;
  plan->taken = order.size();
  plan->sources.resize(static_cast<size_t>(last - first + 1));
  for (int32_t s = first; s <= last; ++s) plan->band_days.push_back(step_start(grid, s));
  for (size_t i : order) plan->sources[static_cast<size_t>(step_of(grid, days[i]) - first)].push_back(i);
  return Status::ok();
}

Status composite_step(const double* const* values, const uint8_t* const* valid, int32_t planes, int64_t pixels,
                      CompositeRule rule, double* out_values, uint8_t* out_valid, int32_t* out_count) {
  if (planes < 0 || pixels < 0) return Status::refused("a composite of a negative number of planes or pixels");
  std::vector<double> samples(static_cast<size_t>(planes));
  for (int64_t i = 0; i < pixels; ++i) {
    size_t n = 0;
    for (int32_t k = 0; k < planes; ++k) {
      const double v = values[k][i];
      if (valid[k][i] != 0 && std::isfinite(v)) samples[n++] = v;
    }
    if (out_count != nullptr) out_count[i] = static_cast<int32_t>(n);
    if (n == 0) {
      out_values[i] = std::numeric_limits<double>::quiet_NaN();
      out_valid[i] = 0;
      continue;
    }
    out_valid[i] = 1;
    if (rule == CompositeRule::kMax) {
      out_values[i] = *std::max_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n));
      continue;
    }
    std::sort(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n));
    out_values[i] = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
  }
  return Status::ok();
}

}  // namespace tsr
