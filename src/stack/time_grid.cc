#include "stack/time_grid.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "domain/npoint.h"

namespace tsr {
namespace {

int32_t floor_div(int32_t a, int32_t b) {
  const int32_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int32_t january_first(int32_t year) { return days_from_civil({year, 1, 1}); }

// Steps a year of the grids that restart every year.
int32_t yearly_steps(GridKind kind) {
  switch (kind) {
    case GridKind::kModis16Day:
    case GridKind::kModisAqua16Day: return 23;
    case GridKind::kModis8Day: return 46;
    case GridKind::kMonth: return 12;
    case GridKind::kDekad: return 36;
    case GridKind::kFixedStep: break;
  }
  return 0;
}

std::string starts_text(GridKind kind) {
  switch (kind) {
    case GridKind::kModis16Day: return "days of the year 1, 17, ..., 353";
    case GridKind::kModisAqua16Day: return "days of the year 9, 25, ..., 361";
    case GridKind::kModis8Day: return "days of the year 1, 9, ..., 361";
    default: return "";
  }
}

std::string step_word(const TimeGrid& g) {
  switch (g.kind) {
    case GridKind::kMonth: return "month";
    case GridKind::kDekad: return "dekad";
    default: return grid_name(g) + " step";
  }
}

std::string count_text(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

Status check_dates(const std::vector<int32_t>& days) {
  if (days.empty()) return Status::refused("no dates");
  for (size_t i = 0; i < days.size(); ++i) {
    if (days[i] < kFirstDayNumber || days[i] > kLastDayNumber)
      return Status::refused("date " + std::to_string(i + 1) + " lies outside the years 1 to 9999");
    if (i > 0 && days[i] <= days[i - 1])
      return Status::refused(days[i] == days[i - 1]
                                 ? "the date " + format_date(days[i]) + " comes twice: give each date once"
                                 : "the dates are not in time order (" + format_date(days[i - 1]) + " before " +
                                       format_date(days[i]) + ")");
  }
  return Status::ok();
}

// The fixed step read from the dates: the greatest common divisor of the
// distances between consecutive dates, and why it is no grid when it is none.
TimeGrid fixed_step_of(const std::vector<int32_t>& days, std::string* why_not) {
  TimeGrid g{GridKind::kFixedStep, 0, days.front()};
  if (days.size() < 3) {
    *why_not = "fewer than three dates show no step";
    return g;
  }
  int32_t n = 0;
  for (size_t i = 1; i < days.size(); ++i) n = std::gcd(n, days[i] - days[i - 1]);
  g.step_days = n;
  if (n < 2)
    *why_not = "the distances between the dates have no common step of 2 days or more";
  else if (n > 31)
    *why_not = "their common step of " + std::to_string(n) + " days is longer than a month";
  return g;
}

}  // namespace

std::string grid_name(const TimeGrid& grid) {
  switch (grid.kind) {
    case GridKind::kModis16Day: return "MODIS 16-day";
    case GridKind::kModisAqua16Day: return "MODIS Aqua 16-day";
    case GridKind::kModis8Day: return "8-day";
    case GridKind::kMonth: return "monthly";
    case GridKind::kDekad: return "dekadal";
    case GridKind::kFixedStep: return std::to_string(grid.step_days) + "-day";
  }
  return "";
}

bool dates_are_step_starts(GridKind kind) { return kind != GridKind::kMonth && kind != GridKind::kDekad; }

int32_t step_of(const TimeGrid& grid, int32_t day) {
  if (grid.kind == GridKind::kFixedStep) return floor_div(day - grid.origin, grid.step_days);
  const CivilDate d = civil_from_days(day);
  const int32_t doy = day - january_first(d.year) + 1;
  switch (grid.kind) {
    case GridKind::kModis16Day: return d.year * 23 + (doy - 1) / 16;
    case GridKind::kModisAqua16Day: return doy >= 9 ? d.year * 23 + (doy - 9) / 16 : (d.year - 1) * 23 + 22;
    case GridKind::kModis8Day: return d.year * 46 + (doy - 1) / 8;
    case GridKind::kMonth: return d.year * 12 + (d.month - 1);
    case GridKind::kDekad: return d.year * 36 + (d.month - 1) * 3 + std::min(2, (d.day - 1) / 10);
    case GridKind::kFixedStep: break;
  }
  return 0;
}

int32_t step_start(const TimeGrid& grid, int32_t step) {
  if (grid.kind == GridKind::kFixedStep) return grid.origin + step * grid.step_days;
  const int32_t per_year = yearly_steps(grid.kind);
  const int32_t year = floor_div(step, per_year);
  const int32_t k = step - year * per_year;
  switch (grid.kind) {
    case GridKind::kModis16Day: return january_first(year) + 16 * k;
    case GridKind::kModisAqua16Day: return january_first(year) + 8 + 16 * k;
    case GridKind::kModis8Day: return january_first(year) + 8 * k;
    case GridKind::kMonth: return days_from_civil({year, k + 1, 1});
    case GridKind::kDekad: return days_from_civil({year, k / 3 + 1, (k % 3) * 10 + 1});
    case GridKind::kFixedStep: break;
  }
  return 0;
}

double steps_per_year(const TimeGrid& grid) {
  if (grid.kind == GridKind::kFixedStep) return 365.25 / grid.step_days;
  return yearly_steps(grid.kind);
}

Status parse_step(std::string_view text, int32_t origin, TimeGrid* grid) {
  const auto refuse = [&] {
    return Status::refused("--step " + std::string(text) +
                           ": give 16d (MODIS 16-day), 8d (MODIS 8-day), month, dekad, or a number of days "
                           "from 2 to 31 such as 10d");
  };
  if (text == "16d") return *grid = {GridKind::kModis16Day, 0, 0}, Status::ok();
  if (text == "8d") return *grid = {GridKind::kModis8Day, 0, 0}, Status::ok();
  if (text == "month") return *grid = {GridKind::kMonth, 0, 0}, Status::ok();
  if (text == "dekad") return *grid = {GridKind::kDekad, 0, 0}, Status::ok();
  if (text.size() < 2 || text.size() > 3 || text.back() != 'd' || text.front() == '0') return refuse();
  int32_t n = 0;
  for (char c : text.substr(0, text.size() - 1)) {
    if (c < '0' || c > '9') return refuse();
    n = n * 10 + (c - '0');
  }
  if (n < 2 || n > 31) return refuse();
  *grid = {GridKind::kFixedStep, n, origin};
  return Status::ok();
}

Status fit_grid(const TimeGrid& grid, const std::vector<int32_t>& days, GridFit* fit) {
  TSR_RETURN_IF_ERROR(check_dates(days));
  *fit = GridFit();
  fit->grid = grid;
  if (grid.kind == GridKind::kFixedStep && grid.step_days < 1) {
    fit->why_not = "no step";
    return Status::ok();
  }
  const bool exact = dates_are_step_starts(grid.kind);
  std::vector<int32_t> steps(days.size());
  for (size_t i = 0; i < days.size(); ++i) {
    steps[i] = step_of(grid, days[i]);
    if (exact && step_start(grid, steps[i]) != days[i]) {
      fit->why_not = format_date(days[i]) + (grid.kind == GridKind::kFixedStep
                                                 ? " is not a whole number of " + std::to_string(grid.step_days) +
                                                       "-day steps from " + format_date(grid.origin)
                                                 : " is not one of its " + starts_text(grid.kind));
      return Status::ok();
    }
    if (i > 0 && steps[i] == steps[i - 1]) {
      fit->why_not = format_date(days[i - 1]) + " and " + format_date(days[i]) + " fall in one " + step_word(grid);
      return Status::ok();
    }
  }
  fit->holds = true;
  fit->first_step = steps.front();
  const int32_t count = steps.back() - steps.front() + 1;
  fit->band_days.resize(static_cast<size_t>(count));
  fit->date_of_band.assign(static_cast<size_t>(count), -1);
  for (size_t i = 0; i < days.size(); ++i) fit->date_of_band[static_cast<size_t>(steps[i] - fit->first_step)] = static_cast<int32_t>(i);
  for (int32_t b = 0; b < count; ++b) {
    const int32_t at = fit->date_of_band[static_cast<size_t>(b)];
    const int32_t start = step_start(grid, fit->first_step + b);
    fit->band_days[static_cast<size_t>(b)] = at >= 0 ? days[static_cast<size_t>(at)] : start;
    if (at < 0) fit->inserted.push_back(start);
  }
  return Status::ok();
}

Status choose_grid(const std::vector<int32_t>& days, GridChoice* choice) {
  TSR_RETURN_IF_ERROR(check_dates(days));
  *choice = GridChoice();
  const GridKind named[] = {GridKind::kModis16Day, GridKind::kModisAqua16Day, GridKind::kModis8Day, GridKind::kMonth,
                            GridKind::kDekad};
  std::vector<TimeGrid> grids;
  for (GridKind k : named) grids.push_back({k, 0, 0});
  std::string fixed_why;
  grids.push_back(fixed_step_of(days, &fixed_why));
  for (const TimeGrid& g : grids) {
    GridFit fit;
    if (!fixed_why.empty() && g.kind == GridKind::kFixedStep) {
      fit.grid = g;
      fit.why_not = fixed_why;
    } else {
      TSR_RETURN_IF_ERROR(fit_grid(g, days, &fit));
    }
    // The MODIS grids take any number of missing composites; the others no
    // more inserted dates than dates.
    const bool product_grid = g.kind == GridKind::kModis16Day || g.kind == GridKind::kModisAqua16Day ||
                              g.kind == GridKind::kModis8Day;
    if (fit.holds && !product_grid && fit.inserted.size() > days.size()) {
      fit.holds = false;
      fit.why_not = "it would need " + count_text(fit.inserted.size(), "inserted date", "inserted dates") +
                    " for " + count_text(days.size(), "date", "dates") + " with data";
    }
    choice->candidates.push_back(std::move(fit));
  }
  for (size_t i = 0; i < choice->candidates.size(); ++i) {
    const GridFit& f = choice->candidates[i];
    if (!f.holds) continue;
    if (choice->chosen < 0 ||
        f.inserted.size() < choice->candidates[static_cast<size_t>(choice->chosen)].inserted.size())
      choice->chosen = static_cast<int32_t>(i);
  }
  return Status::ok();
}

std::string no_grid_message(const GridChoice& choice, const std::vector<int32_t>& days) {
  std::string text = "the " + count_text(days.size(), "date", "dates");
  if (!days.empty()) text += " " + format_date(days.front()) + " .. " + format_date(days.back());
  text += " lie on no regular grid (";
  for (size_t i = 0; i < choice.candidates.size(); ++i) {
    const GridFit& f = choice.candidates[i];
    if (i > 0) text += "; ";
    text += (f.grid.kind == GridKind::kFixedStep ? std::string("a fixed step") : grid_name(f.grid)) + ": " + f.why_not;
  }
  text += "): composite them onto one with --step 16d|8d|month|dekad|Nd (per step the median of the valid "
          "samples, or the largest with --composite max)";
  return text;
}

void dates_in_window(const std::vector<int32_t>& days, const DateWindow& window, size_t* begin, size_t* end) {
  *begin = static_cast<size_t>(std::lower_bound(days.begin(), days.end(), window.from) - days.begin());
  *end = static_cast<size_t>(std::upper_bound(days.begin(), days.end(), window.to) - days.begin());
  if (*end < *begin) *end = *begin;
}

Status check_step_count(const TimeGrid& grid, int32_t first_step, int32_t steps, size_t dates) {
  if (steps <= kMaxSteps) return Status::ok();
  const int32_t first = step_start(grid, first_step);
  const int32_t last = step_start(grid, first_step + steps - 1);
  const int32_t window_end = step_start(grid, first_step + kMaxSteps) - 1;
  return Status::refused("the " + count_text(dates, "date", "dates") + " " + format_date(first) + " .. " +
                         format_date(last) + " make " + std::to_string(steps) + " steps of the " + grid_name(grid) +
                         " grid, more than the " + std::to_string(kMaxSteps) +
                         " bands tsrecon takes: import a window of at most " + std::to_string(kMaxSteps) +
                         " steps with --from DATE --to DATE (--from " + format_date(first) + " --to " +
                         format_date(window_end) + " takes the first " + std::to_string(kMaxSteps) +
                         "), or reconstruct the whole record with the Python package (tsrecon.xarray)");
}

NpointCheck check_npoint(const TimeGrid& grid, int32_t npoint, int32_t bands) {
  NpointCheck c;
  c.steps_per_year = steps_per_year(grid);
  c.suggested = npoint_for_steps_per_year(c.steps_per_year);
  if (npoint == c.suggested) {
    c.verdict = NpointVerdict::kMatches;
    c.years = 1;
  } else if (npoint % c.suggested == 0) {
    c.verdict = NpointVerdict::kWholeYears;
    c.years = npoint / c.suggested;
  } else {
    c.verdict = NpointVerdict::kMismatch;
  }
  if (grid.kind == GridKind::kFixedStep) {
    const double cycle = static_cast<double>(c.suggested) * grid.step_days;
    const double span = static_cast<double>(bands - 1) * grid.step_days;
    c.drift_days = span * std::fabs(365.25 - cycle) / cycle;
  }
  return c;
}

}  // namespace tsr
