#include "seasons/seasons.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/bits.h"
#include "support/bytes.h"
#include "support/date_lists.h"
#include "support/param_name.h"
#include "support/process.h"
#include "support/random.h"

namespace tsr {
namespace {

// The day number of day `doy` of `year`.
double day_number(int32_t year, int32_t doy) { return days_from_civil({year, 1, 1}) + doy - 1.0; }

// `count` MODIS 16-day composites from day `doy` of `year` on.
std::vector<double> composite_days(int32_t year, int32_t doy, int32_t count) {
  const std::vector<int32_t> days = testing::yearly_product_dates_from(year, doy, 16, count);
  return std::vector<double>(days.begin(), days.end());
}

constexpr double kPi = 3.141592653589793;
constexpr int32_t kCycles[kMaxSeasonHarmonics] = {1, 2, 3, 4, 6, 12};

bool is_nan(double v) { return std::isnan(v); }

struct Seasons {
  SeasonsPlan plan;
  explicit Seasons(SeasonsModel model, SeasonsOptions options = {}) {
    std::string error;
    EXPECT_TRUE(plan.init(model, options, &error)) << error;
  }
  std::vector<double> bands(const std::vector<double>& params, bool has_model = true,
                            SeasonDetail* detail = nullptr) const {
    SeasonsWorkspace ws(plan);
    std::vector<double> out(kSeasonBandCount);
    compute_seasons(plan, params.data(), has_model, &ws, out.data(), detail);
    return out;
  }
};

double metric(const std::vector<double>& bands, int season, SeasonMetric m) { return bands[season_band(season, m)]; }

// Parameters of f = c + b 0.1 t + A cos(2 pi f (t - t0) / N) as the products
// store them: the harmonic of `cycles` cycles at position k, others zero.
std::vector<double> cosine(int32_t nfunc, int k, double c, double b, double amplitude, double t0, int32_t npoint) {
  std::vector<double> p(2 * nfunc + 2, 0.0);
  p[0] = c;
  p[1] = b;
  p[2 + 2 * k] = amplitude;
  p[3 + 2 * k] = kPi / 2 - (2 * kPi * kCycles[k] / npoint) * t0;
  return p;
}

// The p-crossings of a cosine of period `period` lie this far from its peak.
double half_width(double p, double period) { return period / (2 * kPi) * std::acos(2 * p - 1); }

// ---------------------------------------------------------------------------
// Closed forms in steps

struct CosineCase {
  const char* name;
  double c, b, amplitude, t0, factor;
};

class CosineSeason : public ::testing::TestWithParam<CosineCase> {};

TEST_P(CosineSeason, CrossingsLengthAndValuesAreTheClosedForms) {
  const CosineCase& e = GetParam();
  const int32_t n = 23;
  SeasonsOptions options;
  options.factor = e.factor;
  const Seasons run({23, n, 1, kCycles, nullptr}, options);
  SeasonDetail detail;
  const std::vector<double> out = run.bands(cosine(1, 0, e.c, e.b, e.amplitude, e.t0, n), true, &detail);
  const double u = 4096.0 / e.factor;
  const double level = (e.c + e.b * 0.1 * 12.0) * u, amp = e.amplitude * u;
  // The peak in the reported cycle, and that cycle's first band.
  const double tp = e.t0 - n * std::floor((e.t0 - 0.5) / n);
  const double origin = 1 + n * std::floor((tp - 1) / n);
  auto at = [&](double t) { return t - origin + 1; };
  EXPECT_EQ(out[kNseasonsBand], 1.0);
  const SeasonMetric dates[] = {kGreenup, kMidgreenup, kMaturity, kPeak, kSenescence, kMidgreendown, kDormancy};
  const double offsets[] = {-half_width(0.15, n), -half_width(0.5, n), -half_width(0.9, n), 0.0,
                            half_width(0.9, n),   half_width(0.5, n),  half_width(0.15, n)};
  for (int i = 0; i < 7; ++i) {
    EXPECT_NEAR(metric(out, 0, dates[i]), at(tp + offsets[i]), 1e-6) << kSeasonBandNames[1 + i];
    EXPECT_NEAR(detail.seasons[0].step[i], tp + offsets[i], 1e-6);
  }
  EXPECT_NEAR(detail.seasons[0].step[7], tp - n / 2.0, 1e-6);  // the troughs
  EXPECT_NEAR(detail.seasons[0].step[8], tp + n / 2.0, 1e-6);
  const double length = 2 * half_width(0.15, n);
  EXPECT_NEAR(metric(out, 0, kLength), length, 1e-6);
  EXPECT_NEAR(metric(out, 0, kBase), level - amp, 1e-12);
  EXPECT_NEAR(metric(out, 0, kPeakValue), level + amp, 1e-12);
  EXPECT_NEAR(metric(out, 0, kAmplitude), 2 * amp, 1e-12);
  const double rate = 0.6 * 2 * amp / (half_width(0.2, n) - half_width(0.8, n));
  EXPECT_NEAR(metric(out, 0, kRateGreenup), rate, 1e-9);
  EXPECT_NEAR(metric(out, 0, kRateGreendown), -rate, 1e-9);
  const double integral = level * length + amp * n / kPi * std::sin(kPi * length / n);
  EXPECT_NEAR(metric(out, 0, kIntegral), integral, 1e-9);
  EXPECT_NEAR(metric(out, 0, kIntegralAboveBase), integral - (level - amp) * length, 1e-9);
  EXPECT_NEAR(out[kTrendPerYearBand], e.b * 0.1 * n * u, 1e-12);
  for (int m = 0; m < kSeasonMetricCount; ++m) EXPECT_TRUE(is_nan(metric(out, 1, SeasonMetric(m))));
}

INSTANTIATE_TEST_SUITE_P(
    Seasons, CosineSeason,
    ::testing::Values(CosineCase{"middle", 0.3, 0.0, 0.1, 12.0, 4096.0},
                      CosineCase{"greenup_before_band_1", 0.3, 0.0, 0.1, 2.3, 4096.0},
                      CosineCase{"dormancy_after_the_record", 0.2, 0.0, 0.05, 22.7, 4096.0},
                      CosineCase{"peak_in_the_cycle_before", 0.2, 0.0, 0.05, 0.7, 4096.0},
                      CosineCase{"peak_given_a_cycle_later", 0.2, 0.0, 0.05, 12.0 + 23.0, 4096.0},
                      CosineCase{"trend_and_ndvi_units", 0.25, 0.01, 0.08, 15.5, 1600.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Seasons, SecondHarmonicGivesTwoEqualSeasonsHalfACycleApart) {
  const int32_t n = 23;
  const Seasons run({23, n, 2, kCycles, nullptr});
  const double t0 = 4.2, amplitude = 0.1;
  const std::vector<double> out = run.bands(cosine(2, 1, 0.3, 0.0, amplitude, t0, n));
  ASSERT_EQ(out[kNseasonsBand], 2.0);
  for (int s = 0; s < 2; ++s) {
    const double tp = t0 + s * n / 2.0;
    EXPECT_NEAR(metric(out, s, kPeak), tp, 1e-6);
    EXPECT_NEAR(metric(out, s, kGreenup), tp - half_width(0.15, n / 2.0), 1e-6);
    EXPECT_NEAR(metric(out, s, kDormancy), tp + half_width(0.15, n / 2.0), 1e-6);
    EXPECT_NEAR(metric(out, s, kLength), 2 * half_width(0.15, n / 2.0), 1e-6);
    EXPECT_NEAR(metric(out, s, kAmplitude), 2 * amplitude, 1e-12);
  }
}

// ---------------------------------------------------------------------------
// Dates: MODIS 16-day composites over two years from 2013-09-14 on

// The date of fractional band t within the record: straight between bands.
double record_day(const std::vector<double>& days, double t) {
  const size_t i = static_cast<size_t>(std::floor(t)) - 1;
  return days[i] + (t - std::floor(t)) * (days[i + 1] - days[i]);
}

struct YearCase {
  const char* name;
  double t0;
  int32_t year;      // the year of the peak
  double peak_doy;   // its day of the year
};

class SeasonYear : public ::testing::TestWithParam<YearCase> {};

TEST_P(SeasonYear, DatesAreDaysOfTheYearOfThePeak) {
  const YearCase& e = GetParam();
  const int32_t n = 23, nb = 46;
  const std::vector<double> days = composite_days(2013, 257, nb);
  const Seasons run({nb, n, 1, kCycles, days.data()});
  SeasonDetail detail;
  const std::vector<double> out = run.bands(cosine(1, 0, 0.3, 0.0, 0.1, e.t0, n), true, &detail);
  ASSERT_EQ(out[kNseasonsBand], 1.0);
  EXPECT_EQ(detail.seasons[0].peak_year, e.year);
  EXPECT_NEAR(metric(out, 0, kPeak), e.peak_doy, 1e-4);
  const double jan1 = day_number(e.year, 1);
  auto doy = [&](double t) { return record_day(days, t) - jan1 + 1; };
  const double w15 = half_width(0.15, n), w20 = half_width(0.2, n), w80 = half_width(0.8, n);
  EXPECT_NEAR(metric(out, 0, kGreenup), doy(e.t0 - w15), 1e-4);
  EXPECT_NEAR(metric(out, 0, kMidgreenup), doy(e.t0 - half_width(0.5, n)), 1e-4);
  EXPECT_NEAR(metric(out, 0, kDormancy), doy(e.t0 + w15), 1e-4);
  EXPECT_NEAR(detail.seasons[0].day[0], record_day(days, e.t0 - w15), 1e-4);
  EXPECT_NEAR(metric(out, 0, kLength), record_day(days, e.t0 + w15) - record_day(days, e.t0 - w15), 1e-4);
  const double change = 0.6 * 0.2;
  EXPECT_NEAR(metric(out, 0, kRateGreenup), change / (record_day(days, e.t0 - w80) - record_day(days, e.t0 - w20)),
              1e-9);
  EXPECT_NEAR(metric(out, 0, kRateGreendown),
              -change / (record_day(days, e.t0 + w20) - record_day(days, e.t0 + w80)), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Seasons, SeasonYear,
                         ::testing::Values(YearCase{"peak_on_1_january", 31.0, 2015, 1.0},
                                           YearCase{"peak_on_31_december", 30.99, 2014, 353.0 + 0.99 * 13},
                                           YearCase{"southern_season_across_the_year", 34.0, 2015, 49.0},
                                           YearCase{"northern_season_within_the_year", 20.0, 2014, 193.0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct DayCase {
  const char* name;
  std::vector<double> days;
  int32_t npoint;
  double t;
  double day;
};

class DayOfStep : public ::testing::TestWithParam<DayCase> {};

TEST_P(DayOfStep, BandsOfTheRecordAndOfTheCyclesAround) {
  const DayCase& e = GetParam();
  SeasonsPlan plan;
  ASSERT_TRUE(plan.init({static_cast<int32_t>(e.days.size()), e.npoint, 1, kCycles, e.days.data()}, {}, nullptr));
  EXPECT_NEAR(plan.day_of_step(e.t), e.day, 1e-9);
}

const std::vector<double> kOneYear = composite_days(2013, 257, 23);
INSTANTIATE_TEST_SUITE_P(
    Seasons, DayOfStep,
    ::testing::Values(
        DayCase{"first_band", kOneYear, 23, 1.0, day_number(2013, 257)},
        DayCase{"within_the_year_change", kOneYear, 23, 7.5, day_number(2013, 353) + 6.5},
        DayCase{"band_after_the_record_a_year_on", kOneYear, 23, 24.0, day_number(2014, 257)},
        DayCase{"band_before_the_record_a_year_back", kOneYear, 23, 0.0, day_number(2013, 241)},
        DayCase{"first_of_january_a_year_back", kOneYear, 23, -15.0, day_number(2013, 1)},
        DayCase{"first_of_january_a_year_on", kOneYear, 23, 31.0, day_number(2015, 1)},
        DayCase{"a_leap_year_on_by_day_of_year", composite_days(2016, 257, 23), 23, 24.0,
                day_number(2017, 257)},
        DayCase{"straight_across_a_short_record", composite_days(2013, 257, 10), 23, 16.5,
                day_number(2014, 33) + (day_number(2014, 257) - day_number(2014, 33)) * (6.5 / 14.0)},
        DayCase{"dates_that_are_no_year_run_on_by_their_mean_step",
                {0, 20, 40, 60, 80, 100, 120, 140, 160, 180, 200, 220, 240, 260, 280, 300, 320, 340, 360, 380, 400,
                 420, 440},
                23, 25.0, 480.0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Pixels without seasons, and what the plan refuses

TEST(Seasons, NoModelFlatAndWeakCurves) {
  const Seasons run({23, 23, 2, kCycles, nullptr}, {0.05, 0.35, 1600.0});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<double> params;
    bool has_model;
    double nseasons;  // NaN: every band NaN
  } cases[] = {
      {"no_model", {0.3, 0.01, 0.1, 1.0, 0.0, 0.0}, false, nan},
      {"parameter_not_a_number", {0.3, 0.01, nan, 1.0, 0.0, 0.0}, true, nan},
      {"infinite_parameter", {0.3, 0.01, 0.1, INFINITY, 0.0, 0.0}, true, nan},
      {"flat", {0.3, 0.01, 0.0, 1.0, 0.0, 2.0}, true, 0.0},
      // Peak to trough 0.04 in NDVI: below the smallest amplitude.
      {"weak", {0.3, 0.01, 0.02 * 1600 / 4096, 1.0, 0.0, 0.0}, true, 0.0},
  };
  for (const Case& c : cases) {
    const std::vector<double> out = run.bands(c.params, c.has_model);
    if (is_nan(c.nseasons)) {
      for (int b = 0; b < kSeasonBandCount; ++b) EXPECT_TRUE(is_nan(out[b])) << c.name << " " << kSeasonBandNames[b];
      continue;
    }
    EXPECT_EQ(out[kNseasonsBand], c.nseasons) << c.name;
    for (int b = 1; b < kTrendPerYearBand; ++b) EXPECT_TRUE(is_nan(out[b])) << c.name << " " << kSeasonBandNames[b];
    EXPECT_NEAR(out[kTrendPerYearBand], 0.01 * 0.1 * 23 * 4096 / 1600, 1e-12) << c.name;
  }
}

TEST(Seasons, PlanRefusesWhatItCannotCompute) {
  const int32_t zero_cycles[] = {1, 0};
  const int32_t fast[] = {1, kMaxSeasonCycles + 1};
  const double backwards[] = {100.0, 116.0, 110.0};
  const double nan_day[] = {100.0, NAN, 132.0};
  struct Case {
    const char* name;
    SeasonsModel model;
    SeasonsOptions options;
  } cases[] = {
      {"no_band", {0, 23, 1, kCycles, nullptr}, {}},
      {"no_step_per_cycle", {3, 0, 1, kCycles, nullptr}, {}},
      {"too_many_harmonics", {3, 23, kMaxSeasonHarmonics + 1, kCycles, nullptr}, {}},
      {"harmonic_of_no_cycle", {3, 23, 2, zero_cycles, nullptr}, {}},
      {"harmonic_too_fast", {3, 23, 2, fast, nullptr}, {}},
      {"cycles_missing", {3, 23, 2, nullptr, nullptr}, {}},
      {"dates_backwards", {3, 23, 1, kCycles, backwards}, {}},
      {"date_not_a_number", {3, 23, 1, kCycles, nan_day}, {}},
      {"factor_zero", {3, 23, 1, kCycles, nullptr}, {0.05, 0.35, 0.0}},
      {"factor_not_a_number", {3, 23, 1, kCycles, nullptr}, {0.05, 0.35, NAN}},
      {"negative_amplitude", {3, 23, 1, kCycles, nullptr}, {-0.1, 0.35, 4096.0}},
      {"share_above_one", {3, 23, 1, kCycles, nullptr}, {0.05, 1.5, 4096.0}},
  };
  for (const Case& c : cases) {
    SeasonsPlan plan;
    std::string error;
    EXPECT_FALSE(plan.init(c.model, c.options, &error)) << c.name;
    EXPECT_FALSE(plan.ready()) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Every metric against a brute-force evaluation of the model

// The bands of a pixel from the model sampled so finely that neighbouring
// samples lie at most 0.001 day (or 1/16000 step) apart: extremes, troughs and crossings by
// scanning the samples, integrals by the trapezoid rule over days.
std::vector<double> brute_force(const SeasonsPlan& plan, const std::vector<double>& params) {
  const int32_t n = plan.npoint(), nfunc = plan.nfunc();
  const double u = 4096.0 / plan.options().factor;
  double widest = 16.0;  // days of the longest step the seasons can reach, 16 at least
  for (double t = plan.middle() - 1.5 * n - 1; t < plan.middle() + 1.5 * n + 1; t += 1.0)
    widest = std::max(widest, plan.day_of_step(t + 1) - plan.day_of_step(t));
  const int64_t count = static_cast<int64_t>(std::ceil(n * widest / 0.001));
  const double dt = static_cast<double>(n) / count;
  std::vector<double> v(count);
  for (int64_t i = 0; i < count; ++i) {
    double sum = 0.0;
    for (int k = 0; k < nfunc; ++k)
      sum += params[2 + 2 * k] * u * std::sin(2 * kPi * kCycles[k] * (i * dt) / n + params[3 + 2 * k]);
    v[i] = sum;
  }
  auto val = [&](int64_t i) { return v[((i % count) + count) % count]; };
  std::vector<double> out(kSeasonBandCount, std::numeric_limits<double>::quiet_NaN());
  const double level = (params[0] + params[1] * 0.1 * plan.middle()) * u;
  out[kTrendPerYearBand] = params[1] * 0.1 * n * u;
  out[kNseasonsBand] = 0.0;
  std::vector<int64_t> peaks;
  for (int64_t i = 0; i < count; ++i)
    if (val(i) > val(i - 1) && val(i) >= val(i + 1)) peaks.push_back(i);
  // The lowest sample after peak a up to peak b (b > a; b = a + count for one peak).
  auto lowest = [&](int64_t a, int64_t b) {
    int64_t best = a + 1;
    for (int64_t i = a + 1; i < b; ++i)
      if (val(i) < val(best)) best = i;
    return best;
  };
  struct S {
    int64_t l, p, r;
    double rise;  // above the higher trough
  };
  std::vector<S> seasons;
  while (!peaks.empty()) {
    seasons.clear();
    const size_t m = peaks.size();
    for (size_t i = 0; i < m; ++i) {
      const int64_t p = peaks[i];
      const int64_t prev = m == 1 ? p - count : (i == 0 ? peaks[m - 1] - count : peaks[i - 1]);
      const int64_t next = m == 1 ? p + count : (i + 1 == m ? peaks[0] + count : peaks[i + 1]);
      const int64_t l = lowest(prev, p), r = lowest(p, next);
      seasons.push_back({l, p, r, val(p) - std::max(val(l), val(r))});
    }
    size_t weakest = 0;
    double largest = 0.0;
    for (size_t i = 0; i < m; ++i) {
      if (seasons[i].rise < seasons[weakest].rise) weakest = i;
      largest = std::max(largest, seasons[i].rise);
    }
    const double a = seasons[weakest].rise;
    if (m > 2 || a < plan.options().min_amplitude || a < plan.options().min_share * largest) {
      peaks.erase(peaks.begin() + weakest);
      continue;
    }
    break;
  }
  if (peaks.empty()) return out;
  // The reported cycle, ordered by peak.
  const double window = plan.middle() - 0.5 * n;
  std::vector<std::pair<double, S>> order;
  for (const S& s : seasons) order.push_back({n * std::floor((s.p * dt - window) / n), s});
  std::sort(order.begin(), order.end(),
            [&](const auto& x, const auto& y) { return x.second.p * dt - x.first < y.second.p * dt - y.first; });
  out[kNseasonsBand] = static_cast<double>(order.size());
  for (size_t s = 0; s < order.size(); ++s) {
    const S& e = order[s].second;
    const double shift = order[s].first;
    const double vl = val(e.l), vp = val(e.p), vr = val(e.r);
    auto up = [&](double p) {  // first crossing of the greenup level p
      const double target = vl + p * (vp - vl);
      int64_t i = e.l;
      while (val(i) < target) ++i;
      return (i - 1 + (target - val(i - 1)) / (val(i) - val(i - 1))) * dt - shift;
    };
    auto down = [&](double p) {  // last crossing of the greendown level p
      const double target = vr + p * (vp - vr);
      int64_t i = e.r;
      while (val(i) < target) --i;
      return (i + (val(i) - target) / (val(i) - val(i + 1))) * dt - shift;
    };
    const double times[7] = {up(0.15), up(0.5), up(0.9), e.p * dt - shift, down(0.9), down(0.5), down(0.15)};
    double origin;
    if (plan.has_dates()) {
      const int32_t peak_day = static_cast<int32_t>(std::floor(plan.day_of_step(times[3])));
      origin = day_number(civil_from_days(peak_day).year, 1);
    } else {
      origin = 1 + n * std::floor((times[3] - 1) / n);
    }
    for (int i = 0; i < 7; ++i) out[season_band(s, SeasonMetric(i))] = plan.day_of_step(times[i]) - origin + 1;
    const double length = plan.day_of_step(times[6]) - plan.day_of_step(times[0]);
    const double base = level + 0.5 * (vl + vr);
    out[season_band(s, kLength)] = length;
    out[season_band(s, kBase)] = base;
    out[season_band(s, kPeakValue)] = level + vp;
    out[season_band(s, kAmplitude)] = vp - 0.5 * (vl + vr);
    out[season_band(s, kRateGreenup)] = 0.6 * (vp - vl) / (plan.day_of_step(up(0.8)) - plan.day_of_step(up(0.2)));
    out[season_band(s, kRateGreendown)] =
        -0.6 * (vp - vr) / (plan.day_of_step(down(0.2)) - plan.day_of_step(down(0.8)));
    // Trapezoids over the samples between greenup and dormancy.
    auto curve = [&](double t) {
      double sum = level;
      for (int k = 0; k < nfunc; ++k)
        sum += params[2 + 2 * k] * u * std::sin(2 * kPi * kCycles[k] * t / n + params[3 + 2 * k]);
      return sum;
    };
    double integral = 0.0, t = times[0], f = curve(t), d = plan.day_of_step(t);
    while (t < times[6]) {
      const double t2 = std::min(times[6], (std::floor(t / dt + 1e-9) + 1) * dt);
      const double f2 = curve(t2), d2 = plan.day_of_step(t2);
      integral += 0.5 * (f + f2) * (d2 - d);
      t = t2, f = f2, d = d2;
    }
    out[season_band(s, kIntegral)] = integral;
    out[season_band(s, kIntegralAboveBase)] = integral - base * length;
  }
  return out;
}

// Allowed differences from the brute force: dates to twice the sampling's
// 0.001 day (or 1/16000 step), values, rates and integrals relatively.
// Returns the seasons found.
double expect_matches_brute_force(const SeasonsPlan& plan, const std::vector<double>& params,
                                  const std::string& name) {
  SeasonsWorkspace ws(plan);
  std::vector<double> got(kSeasonBandCount);
  compute_seasons(plan, params.data(), true, &ws, got.data(), nullptr);
  const std::vector<double> want = brute_force(plan, params);
  EXPECT_EQ(got[kNseasonsBand], want[kNseasonsBand]) << name;
  if (got[kNseasonsBand] != want[kNseasonsBand]) return got[kNseasonsBand];
  const double date_tolerance = plan.has_dates() ? 1e-3 : 1e-3 / 16;
  for (int b = 1; b < kSeasonBandCount; ++b) {
    const int m = (b - 1) % kSeasonMetricCount;
    if (is_nan(want[b])) {
      EXPECT_TRUE(is_nan(got[b])) << name << " " << kSeasonBandNames[b];
      continue;
    }
    const double tolerance = b == kTrendPerYearBand ? 1e-12
                             : m <= kLength         ? 2 * date_tolerance
                                                    : 1e-6 * std::max(1.0, std::fabs(want[b]));
    EXPECT_NEAR(got[b], want[b], tolerance) << name << " " << kSeasonBandNames[b];
  }
  return got[kNseasonsBand];
}

// Parameters of the kind fits of NDVI series give (scaled units): a level,
// a trend, an annual cycle and faster ones of any strength.
std::vector<double> random_params(testing::SplitMix64& rng, int32_t nfunc) {
  std::vector<double> p(2 * nfunc + 2);
  p[0] = 0.1 + 0.25 * rng.unit();
  p[1] = 0.03 * (rng.unit() - 0.5);
  for (int k = 0; k < nfunc; ++k) {
    p[2 + 2 * k] = static_cast<double>(static_cast<float>((k == 0 ? 0.12 : 0.08) * rng.unit() * rng.unit()));
    p[3 + 2 * k] = static_cast<double>(static_cast<float>(2 * kPi * rng.unit() - kPi));
  }
  return p;
}

// Curves made to be hard (NPOINT=23, harmonics of 1, 2, 3 cycles, scaled
// units), with the seasons they have.
TEST(Seasons, CraftedModelsMatchTheBruteForce) {
  SeasonsPlan plan;
  ASSERT_TRUE(plan.init({23, 23, 3, kCycles, nullptr}, {}, nullptr));
  ASSERT_EQ(plan.grid_per_step(), 3);
  const double w = 2 * kPi / 23, centre = 12.0 + 1.0 / 6.0;
  struct Case {
    const char* name;
    std::vector<double> params;
    double nseasons;
  } cases[] = {
      // sin x - (1/3 + 1e-4) sin 3x crosses its 50 % levels three times
      // within 0.11 step at x = 0 and x = pi, here within one cell of the
      // grid: the midgreenup is the first crossing, the midgreendown the last.
      {"shoulders_within_a_grid_cell",
       {0.3, 0.0, 0.1, -w * centre, 0.0, 0.0, 0.1 * (1.0 / 3.0 + 1e-4), kPi - 3 * w * centre}, 1.0},
      // Three peaks, each strong enough alone: the weakest merges into the
      // seasons of the other two.
      {"three_peaks", {0.3, 0.0, 0.03, 0.4, 0.015, 0.3, 0.1, 1.1}, 2.0},
      // A bump on a flank below the smallest share: one season.
      {"bump_on_a_flank", {0.3, 0.0, 0.1, 0.0, 0.04, 2.0, 0.0, 0.0}, 1.0},
  };
  for (const Case& c : cases) EXPECT_EQ(expect_matches_brute_force(plan, c.params, c.name), c.nseasons) << c.name;
}

TEST(Seasons, RandomModelsMatchTheBruteForce) {
  testing::SplitMix64 rng(20);
  const std::vector<double> days = composite_days(2013, 257, 23);
  SeasonsPlan with_dates, in_steps;
  ASSERT_TRUE(with_dates.init({23, 23, 4, kCycles, days.data()}, {0.05, 0.35, 1600.0}, nullptr));
  ASSERT_TRUE(in_steps.init({23, 23, 4, kCycles, nullptr}, {0.05, 0.35, 1600.0}, nullptr));
  for (int i = 0; i < 24; ++i) {
    const std::vector<double> p = random_params(rng, 4);
    expect_matches_brute_force(i % 2 == 0 ? with_dates : in_steps, p, "pixel " + std::to_string(i));
  }
}

// Parameters as the program fits them: a generated year of 16-day NDVI
// composites (NPOINT=23, NFUNC=4) run through tsrecon, read from p.bsq.
TEST(Seasons, ModelsOfARealRunMatchTheBruteForce) {
  testing::ScratchDir dir;
  ASSERT_EQ(testing::generate_job(dir.path(), {"--nb", "23", "--npoint", "23", "--nfunc", "4", "--nl", "3", "--ns",
                                               "8", "--seed", "14"})
                .status,
            0);
  ASSERT_EQ(testing::run_process({testing::tsrecon_path()}, testing::in_directory(dir.path())).status, 0);
  const std::vector<float> p = testing::floats_le(dir.read("p.bsq"));
  const std::string order = dir.read("order.dat");
  const size_t pixels = order.size();
  ASSERT_EQ(p.size(), 10 * pixels);
  const std::vector<double> days = composite_days(2013, 257, 23);
  SeasonsPlan plan;
  ASSERT_TRUE(plan.init({23, 23, 4, kCycles, days.data()}, {0.05, 0.35, 1600.0}, nullptr));
  int compared = 0;
  for (size_t i = 0; i < pixels; ++i) {
    std::vector<double> params(10);
    bool zero = true;
    for (size_t j = 0; j < 10; ++j) {
      params[j] = p[j * pixels + i];
      zero = zero && params[j] == 0.0;
    }
    if (static_cast<signed char>(order[i]) <= 1 || zero) continue;
    expect_matches_brute_force(plan, params, "pixel " + std::to_string(i));
    ++compared;
  }
  EXPECT_GE(compared, 16);
}

// ---------------------------------------------------------------------------
// Runs of pixels

TEST(Seasons, RunOfPixelsIsEachPixelAsAFloat) {
  testing::SplitMix64 rng(7);
  const std::vector<double> days = composite_days(2013, 257, 23);
  SeasonsPlan plan;
  ASSERT_TRUE(plan.init({23, 23, 4, kCycles, days.data()}, {0.05, 0.35, 1600.0}, nullptr));
  const size_t count = 40, param_stride = 43, band_stride = 41;
  std::vector<float> planes(10 * param_stride, -1.0f);
  std::vector<uint8_t> has_model(count);
  for (size_t i = 0; i < count; ++i) {
    const std::vector<double> p = random_params(rng, 4);
    for (size_t j = 0; j < 10; ++j) planes[j * param_stride + i] = static_cast<float>(p[j]);
    has_model[i] = i % 7 != 3;
  }
  std::vector<float> bands(kSeasonBandCount * band_stride, 5.0f);
  SeasonsWorkspace ws(plan);
  compute_seasons_run(plan, planes.data(), param_stride, has_model.data(), count, &ws, bands.data(), band_stride);
  for (size_t i = 0; i < count; ++i) {
    std::vector<double> p(10), one(kSeasonBandCount);
    for (size_t j = 0; j < 10; ++j) p[j] = planes[j * param_stride + i];
    compute_seasons(plan, p.data(), has_model[i] != 0, &ws, one.data());
    for (int b = 0; b < kSeasonBandCount; ++b)
      EXPECT_EQ(testing::bits(bands[b * band_stride + i]), testing::bits(static_cast<float>(one[b])))
          << "pixel " << i << " " << kSeasonBandNames[b];
  }
  for (int b = 0; b < kSeasonBandCount; ++b) EXPECT_EQ(bands[b * band_stride + count], 5.0f);  // beyond the run
}

}  // namespace
}  // namespace tsr
