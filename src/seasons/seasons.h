// The seasons of a pixel's model: when its seasons green up, peak and go
// dormant, and how high, long and strong they are, computed from the model's
// parameters (the planes of p.bsq) rather than searched sample by sample.
//
// The model of a pixel is
//   f(t) = c + b * 0.1 * t + sum_k A_k sin(2 pi f_k t / NPOINT + phi_k),
// t the band number (1.0 = band 1, fractional in between), f_k the cycles of
// harmonic k in NPOINT steps. The periodic part repeats every NPOINT steps (a
// year) and the trend only shifts values, so a pixel has one mean season
// (or two, within a year) over its record:
//  - the season's curve is g(t) = c + b * 0.1 * t_mid + periodic part: the
//    model with its trend held at the middle of the record, t_mid =
//    (1 + NB) / 2. The trend moves the values from year to year, never the
//    dates; every value below (base, peak value, levels, rates, integrals)
//    is one of g.
//  - the seasons are those of the periodic part over one cycle: its peaks,
//    and for each peak the lowest points between it and the counted peaks
//    beside it (its troughs). A peak counts when it rises at least
//    min_amplitude above both of its troughs (its amplitude, peak value
//    minus the mean of the troughs, is then at least that too) and its rise
//    above the higher trough is at least min_share of the largest such rise;
//    at most two count, those of the larger rises. The weakest peak that
//    does not count goes first and merges into the seasons beside it (its
//    troughs are no longer troughs), and the rest are weighed again; so a
//    wiggle on a flank, which rises little above the trough on its upper
//    side, never starts or ends a season. With one season its two troughs
//    are the lowest point of the cycle, one cycle apart.
//  - levels p (15, 20, 50, 80, 90 %) of a season: on the greenup side
//    trough_left + p (peak - trough_left), reached first after the left
//    trough; on the greendown side trough_right + p (peak - trough_right),
//    left last before the right trough. Greenup, midgreenup and maturity are
//    the greenup side's 15, 50 and 90 % times; senescence, midgreendown and
//    dormancy the greendown side's 90, 50 and 15 % times.
//  - how: the harmonics are tabulated once per run on a grid of at least 16
//    points per period of the fastest one (and a whole number per step);
//    peaks and troughs lie where the slope changes sign on it, or where it
//    dips towards zero between two grid points (a shoulder); between them the
//    curve is monotone, which places each crossing in one grid cell. Peaks,
//    troughs and crossings are then refined by Newton steps on the exact
//    curve, to better than 1e-6 steps (well under 0.01 day).
//  - the reported cycle: the one whose peak falls within NPOINT / 2 steps of
//    the middle of the record (t_mid - NPOINT/2 <= peak < t_mid + NPOINT/2).
//    There the band dates of the record are nearest, and the values are
//    those of the same middle of the record.
//
// Dates. With band dates (a day number per band), fractional band t has the
// date of the straight line between the dates of the bands around it (a
// 16-day step is 16 days, the 13-day step at a MODIS year change is 13);
// beyond the record, the bands of the neighbouring cycles have the dates of
// the record's bands moved by whole years at the same day of the year (as
// MODIS composites repeat); where a record shorter than a cycle leaves no
// such band, dates run straight between the nearest ones; band dates whose
// copies a year on would not follow them (steps that make no year of NPOINT)
// run on beyond the record by the record's mean step. Dates are then
// days of the year, fractional, relative to 1 January of the year in which
// the season's peak falls: 1.0 is 1 January 00:00, below 1 or above 365 (366)
// when the season reaches into the year before or after. Lengths are days,
// rates per day, integrals value x days.
// Without band dates everything is in steps: a date is the position in the
// cycle in which the peak falls, cycles of NPOINT bands counted from band 1
// (1.0 = the cycle's first band; below 1 or above NPOINT + 1 when the season
// reaches into the cycle before or after), lengths are steps, rates per
// step, integrals value x steps.
//
// Values are in the user's units: the model's scaled units (raw / 4096)
// times 4096 / factor (factor: raw units per user unit, the scaling of
// data.hdr; 1600 for NDVI stored as NDVI x 1600). The trend per year is
// b * 0.1 * NPOINT in those units: a year is NPOINT steps with and without
// band dates (the model's cycle; its trend term is per step).
//
// Nothing here allocates per pixel, reads files or keeps state between
// calls; a SeasonsPlan is read only once built and may be shared by any
// number of threads, each with its own SeasonsWorkspace.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tsr {

// Capacities.
inline constexpr int32_t kMaxSeasonHarmonics = 6;   // harmonics of a model
inline constexpr int32_t kMaxSeasonCycles = 24;     // cycles of one harmonic per NPOINT steps
inline constexpr int32_t kMaxSeasonNpoint = 10000;  // steps per cycle
inline constexpr int kMaxSeasons = 2;               // seasons reported per pixel

// The metrics of one season, in band order.
enum SeasonMetric : int {
  kGreenup,            // date of the greenup side's 15 % level
  kMidgreenup,         // 50 %
  kMaturity,           // 90 %
  kPeak,               // date of the peak
  kSenescence,         // date of the greendown side's 90 % level
  kMidgreendown,       // 50 %
  kDormancy,           // 15 %
  kLength,             // dormancy minus greenup (days, or steps)
  kBase,               // mean of the two troughs' values
  kPeakValue,          // the peak's value
  kAmplitude,          // peak value minus base
  kRateGreenup,        // (80 % level - 20 % level) / time between them: positive
  kRateGreendown,      // the same on the greendown side, signed as the curve: negative
  kIntegral,           // integral of g from greenup to dormancy (value x days, or steps)
  kIntegralAboveBase,  // integral of g - base over the same span
  kSeasonMetricCount
};

// Bands of a pixel's seasons: nseasons, the metrics of season 1, those of
// season 2, trend_per_year.
inline constexpr int kSeasonBandCount = 1 + kMaxSeasons * kSeasonMetricCount + 1;
inline constexpr int kNseasonsBand = 0;
inline constexpr int kTrendPerYearBand = kSeasonBandCount - 1;
// The band of metric `metric` of season `season` (0 or 1).
constexpr int season_band(int season, SeasonMetric metric) { return 1 + season * kSeasonMetricCount + metric; }

// The bands' names, in band order.
inline constexpr std::array<std::string_view, kSeasonBandCount> kSeasonBandNames = {
    "nseasons",
    "s1_greenup", "s1_midgreenup", "s1_maturity", "s1_peak", "s1_senescence", "s1_midgreendown", "s1_dormancy",
    "s1_length", "s1_base", "s1_peak_value", "s1_amplitude", "s1_rate_greenup", "s1_rate_greendown",
    "s1_integral", "s1_integral_above_base",
    "s2_greenup", "s2_midgreenup", "s2_maturity", "s2_peak", "s2_senescence", "s2_midgreendown", "s2_dormancy",
    "s2_length", "s2_base", "s2_peak_value", "s2_amplitude", "s2_rate_greenup", "s2_rate_greendown",
    "s2_integral", "s2_integral_above_base",
    "trend_per_year"};

// What a pixel's bands hold:
//  - no model (has_model false, or a parameter that is not finite): NaN in
//    every band, nseasons included;
//  - a model whose periodic part has no season that counts (a flat curve):
//    nseasons 0, the metrics of both seasons NaN, trend_per_year;
//  - otherwise nseasons 1 or 2, the seasons ordered by peak date, the
//    metrics of a season that is not there NaN, trend_per_year.

// How seasons are found and reported.
struct SeasonsOptions {
  // Smallest rise of a season that counts above each of its troughs, in the
  // user's units.
  double min_amplitude = 0.05;
  // Smallest share of the largest season's rise (above its higher trough), 0..1.
  double min_share = 0.35;
  // Raw units per user unit: values are scaled x 4096 / factor. 4096 gives
  // the model's scaled units.
  double factor = 4096.0;
};

// The run: its record and its model.
struct SeasonsModel {
  int32_t nb = 0;      // bands of the record, >= 1
  int32_t npoint = 0;  // steps per cycle, 1..kMaxSeasonNpoint
  int32_t nfunc = 0;   // harmonics, 0..kMaxSeasonHarmonics; a pixel has 2 * nfunc + 2 parameters
  // nfunc entries (not owned; read during init only): the cycles of
  // harmonic k in npoint steps, each 1..kMaxSeasonCycles.
  const int32_t* cycles = nullptr;
  // nb entries or nullptr (not owned; read during init only): the date of
  // each band as a day number, days since 1970-01-01 (fractions are times of
  // the day), strictly increasing. Without them dates are steps.
  const double* band_days = nullptr;
};

// Everything about a run that does not depend on the pixel: the checked
// model and options, tables of the harmonics on a fine grid of one cycle,
// the dates of the bands of the cycles around the record. Built once per
// run; read only afterwards (any number of threads may share it).
class SeasonsPlan {
 public:
  SeasonsPlan() = default;

  // Builds the plan. Returns false when the model or the options are out of
  // range (the plan is then not ready) and, when `error` is not null, sets
  // it to one sentence saying what is wrong.
  bool init(const SeasonsModel& model, const SeasonsOptions& options, std::string* error);

  bool ready() const { return ready_; }
  bool has_dates() const { return has_dates_; }
  int32_t nb() const { return nb_; }
  int32_t npoint() const { return npoint_; }
  int32_t nfunc() const { return nfunc_; }
  int32_t np() const { return 2 * nfunc_ + 2; }  // parameters of a pixel
  const SeasonsOptions& options() const { return options_; }
  // The middle of the record, (1 + nb) / 2.
  double middle() const { return middle_; }

  // The day number of fractional band t (with band dates; t itself
  // without): the dates of the bands of the record and of the cycles
  // around it as described at the top, straight lines between them.
  double day_of_step(double t) const;

  // Internal tables (for the computation).
  int32_t grid_per_step() const { return per_step_; }
  int32_t grid_size() const { return grid_; }

 private:
  friend class SeasonsComputation;
  // Days from band `band` to the next (the bands of day_of_step).
  double step_days(int64_t band) const;

  bool ready_ = false;
  bool has_dates_ = false;
  int32_t nb_ = 0, npoint_ = 0, nfunc_ = 0;
  SeasonsOptions options_;
  double middle_ = 0.0;
  double unit_ = 1.0;                        // 4096 / factor
  std::array<int32_t, kMaxSeasonHarmonics> cycles_{};
  std::array<double, kMaxSeasonHarmonics> omega_{};  // radians per step of each harmonic
  int32_t max_cycles_ = 0;
  double omega1_ = 0.0;                      // radians per step of one cycle per npoint steps
  int32_t per_step_ = 0;                     // grid points per step
  int32_t grid_ = 0;                         // grid points per cycle: npoint * per_step_
  std::vector<double> sin_;                  // sin_[k * grid_ + j]: sin(omega_k * j / per_step_)
  std::vector<double> cos_;
  int32_t first_day_band_ = 0;               // band of day_[0]
  std::vector<double> day_;                  // dates of bands first_day_band_ ..
};

// Scratch storage of one thread: the curve on the plan's grid. Made for a
// plan (sized by it) and reused for every pixel of that plan (used with
// another plan, it is sized again once); never shared between threads at
// the same time.
class SeasonsWorkspace {
 public:
  explicit SeasonsWorkspace(const SeasonsPlan& plan);

 private:
  friend class SeasonsComputation;
  std::vector<double> value_;  // periodic part at each grid point
  std::vector<double> slope_;  // its derivative
};

// The times of one reported season (the reported cycle), for pictures and
// calendars: greenup, midgreenup, maturity, peak, senescence, midgreendown
// and dormancy, then the left and the right trough.
struct SeasonEvents {
  static constexpr int kCount = 9;
  std::array<double, kCount> step{};  // fractional band numbers (1.0 = band 1)
  std::array<double, kCount> day{};   // day numbers (days since 1970-01-01); NaN without band dates
  int32_t peak_year = 0;              // calendar year of the peak; 0 without band dates
};

// Optional detail of a pixel's seasons.
struct SeasonDetail {
  int32_t count = 0;  // seasons found (0 also without a model)
  std::array<SeasonEvents, kMaxSeasons> seasons{};
};

// Computes the seasons of one pixel (every band NaN when the plan is not
// ready).
// Requires: `workspace` made for `plan`; `params` holds
// plan.np() values: constant, trend, then amplitude and phase (radians) of
// each harmonic, in the model's scaled units (the pixel's bands of p.bsq);
// `has_model` is the caller's decision whether the pixel has a model (false:
// every band NaN); `bands` has room for kSeasonBandCount values.
// Writes: bands[0 .. kSeasonBandCount - 1] (see above); *detail when not null.
// Threads: any number of calls at once with one plan, each with its own
// workspace.
void compute_seasons(const SeasonsPlan& plan, const double* params, bool has_model, SeasonsWorkspace* workspace,
                     double* bands, SeasonDetail* detail = nullptr);

// Computes the seasons of `count` pixels stored as planes (band-sequential,
// pixel index fastest, as p.bsq): parameter j of pixel i is
// params[j * param_stride + i] (j < plan.np()), has_model[i] is nonzero when
// pixel i has a model, and band b of pixel i goes to bands[b * band_stride +
// i] (b < kSeasonBandCount) as the nearest float.
// Requires: `workspace` made for `plan`; param_stride and
// band_stride >= count; the buffers hold their planes and do not overlap.
// Threads: as compute_seasons; disjoint runs of pixels may be computed at
// once, each with its own workspace.
void compute_seasons_run(const SeasonsPlan& plan, const float* params, size_t param_stride,
                         const uint8_t* has_model, size_t count, SeasonsWorkspace* workspace, float* bands,
                         size_t band_stride);

}  // namespace tsr
