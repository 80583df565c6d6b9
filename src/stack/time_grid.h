// The regular grids in time that tsrecon's bands can stand for, and how a
// list of dates is laid on one.
//
// tsrecon takes band t of a series as time step t: the bands must be equal
// steps of one grid, with a band for every step between the first and the
// last, or the model's seasons slide. The grids of real products:
//
//   kModis16Day      MODIS 16-day composites (MOD13): days of the year 1, 17,
//                    ..., 353, restarting on January 1st (the last composite
//                    of a year is 13 or 14 days long); 23 steps a year.
//   kModisAqua16Day  the same for Aqua (MYD13): days 9, 25, ..., 361; days 1
//                    to 8 belong to the previous year's last composite.
//   kModis8Day       8-day composites: days 1, 9, ..., 361; 46 steps a year.
//   kMonth           calendar months: one date in each, whatever its day.
//   kDekad           dekads (days 1-10, 11-20 and 21 to the end of each
//                    month): one date in each, whatever its day; 36 a year.
//   kFixedStep       a step of N days from an origin, not restarting with
//                    the year; 365.25 / N steps a year.
// On the MODIS grids and a fixed step a date must be a step's first day; on
// months and dekads any day of the step stands for it.
//
// Dates are day numbers (stack/dates.h). Pure computation, no I/O; every
// function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "domain/model.h"
#include "runtime/status.h"
#include "stack/dates.h"

namespace tsr {

// The most bands (time steps) the program tsrecon takes, and so the import;
// the library and the Python package take records of any length.
inline constexpr int32_t kMaxSteps = kMaxBands;

enum class GridKind { kModis16Day, kModisAqua16Day, kModis8Day, kMonth, kDekad, kFixedStep };

struct TimeGrid {
  GridKind kind = GridKind::kModis16Day;
  int32_t step_days = 0;  // kFixedStep: N, 1 or more
  int32_t origin = 0;     // kFixedStep: the first day of a step
  bool operator==(const TimeGrid&) const = default;
};

// "MODIS 16-day", "MODIS Aqua 16-day", "8-day", "monthly", "dekadal", "5-day".
std::string grid_name(const TimeGrid& grid);

// True when a date on the grid must be the first day of its step (the MODIS
// grids and a fixed step), false for months and dekads.
bool dates_are_step_starts(GridKind kind);

// The step that holds `day`: steps are numbered consecutively through the
// years (step + 1 follows step). Requires a day of the years 1..9999 and,
// for kFixedStep, step_days >= 1.
int32_t step_of(const TimeGrid& grid, int32_t day);
// The first day of `step`. Requires a step of the years 1..9999.
int32_t step_start(const TimeGrid& grid, int32_t step);

// Steps a year: 23, 23, 46, 12, 36, and 365.25 / N for a fixed step.
double steps_per_year(const TimeGrid& grid);

// --step TEXT: "16d" (the MODIS 16-day grid), "8d" (the MODIS 8-day grid),
// "month", "dekad", or "Nd" with N from 2 to 31 (not 8 or 16, which name the
// MODIS grids): a fixed step of N days starting at `origin` (the import
// passes the --from date when one is given, else the first date). The range
// is the one choose_grid accepts, so that the check finds the composite's
// dates on the grid they were composited onto. Refuses anything else,
// naming --step.
Status parse_step(std::string_view text, int32_t origin, TimeGrid* grid);

// How a list of dates lies on one grid.
struct GridFit {
  TimeGrid grid;
  bool holds = false;       // every date on the grid, each in a step of its own
  std::string why_not;      // when it does not hold: the first reason, one phrase
  int32_t first_step = 0;   // the step of the first date
  // One entry per step from the first date to the last (the bands):
  std::vector<int32_t> band_days;     // the date of the band: its date, or the step's first day
  std::vector<int32_t> date_of_band;  // the index of its date in the list, -1 for a step without one
  std::vector<int32_t> inserted;      // first days of the steps without a date, ascending
  int32_t steps() const { return static_cast<int32_t>(band_days.size()); }
};

// Lays `days` (ascending, no date twice) on `grid`. Returns a refusal for
// dates out of order, repeated or outside the years 1..9999, or an empty
// list; otherwise fills *fit (holds or not) and returns ok.
Status fit_grid(const TimeGrid& grid, const std::vector<int32_t>& days, GridFit* fit);

// Every grid tried for a list of dates, and the one chosen.
struct GridChoice {
  // In the order of preference on a tie: MODIS 16-day, MODIS Aqua 16-day,
  // MODIS 8-day (dates exactly on a product's grid), months, dekads (calendar
  // grids), a fixed step (a grid read from the dates themselves).
  std::vector<GridFit> candidates;
  int32_t chosen = -1;  // index into candidates; -1: the dates lie on no grid
  const GridFit* fit() const { return chosen < 0 ? nullptr : &candidates[static_cast<size_t>(chosen)]; }
};

// Finds the grid of `days` (ascending, no date twice). A grid holds the
// dates when each lies on it in a step of its own; of the grids that hold
// them the one that needs the fewest inserted dates wins, ties going to the
// first in the order above (twelve one-a-month picks of 16-day composites
// are a monthly series, not a 16-day one with every other composite
// missing). Two guards keep irregular acquisitions off the grids:
//  - months, dekads and a fixed step hold the dates only when they need no
//    more inserted dates than there are dates (at least half of the grid's
//    steps hold data); the MODIS grids, whose dates are exact product dates,
//    take any number of missing composites;
//  - the fixed step is N = the greatest common divisor of the distances
//    between consecutive dates, starting at the first date; tried for three
//    dates or more, and only for N from 2 to 31 days (a step of one day means
//    no common step at all, and a longer one than a month samples the
//    seasons too coarsely).
// Refusals as fit_grid's.
Status choose_grid(const std::vector<int32_t>& days, GridChoice* choice);

// How tsrecon-import composites dates onto a grid: the end of its refusal.
inline constexpr std::string_view kStepRemedy =
    "composite them onto one with --step 16d|8d|month|dekad|Nd (per step the median of the valid samples, or the "
    "largest with --composite max)";

// The refusal of dates on no grid: the count and span of the dates and each
// grid's reason, then `remedy` (how the caller composites them; the import's
// --step by default).
std::string no_grid_message(const GridChoice& choice, const std::vector<int32_t>& days,
                            std::string_view remedy = kStepRemedy);

// --from and --to: the dates from `from` to `to`, both included.
struct DateWindow {
  int32_t from = kFirstDayNumber;
  int32_t to = kLastDayNumber;
};

// The dates of `days` (ascending) within the window: [*begin, *end).
void dates_in_window(const std::vector<int32_t>& days, const DateWindow& window, size_t* begin, size_t* end);

// Ok for at most kMaxSteps steps from `first_step`; otherwise a refusal that
// names --from DATE --to DATE (with the window of the first kMaxSteps steps)
// and the Python package for the whole record. `dates`: the number of dates
// (or acquisitions) the steps hold, for the message.
Status check_step_count(const TimeGrid& grid, int32_t first_step, int32_t steps, size_t dates);

// NPOINT against the steps a year of the grid.
enum class NpointVerdict {
  kMatches,     // NPOINT is the nearest whole number of steps a year
  kWholeYears,  // a whole number (2 or more) of such years: a cycle of several years
  kMismatch,    // anything else: the model's year is not the calendar's
};

struct NpointCheck {
  double steps_per_year = 0;
  int32_t suggested = 0;  // npoint_for_steps_per_year(steps_per_year): the one NPOINT rule
  NpointVerdict verdict = NpointVerdict::kMismatch;
  int32_t years = 0;      // the cycle of NPOINT steps in years (kMatches 1, kWholeYears 2 or more)
  // A fixed step whose year is no whole number of steps: how many days a
  // cycle of `suggested` steps has slid from the calendar year between the
  // first band and the last (`bands` bands). 0 for the other grids, which
  // restart every year.
  double drift_days = 0;
};

// Requires npoint >= 1 and bands >= 1.
NpointCheck check_npoint(const TimeGrid& grid, int32_t npoint, int32_t bands);

}  // namespace tsr
