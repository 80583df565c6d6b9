#include "pixel/reconstruct.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lsq/fixed_fit.h"
#include "lsq/select_fit.h"
#include "pixel/envelope.h"
#include "pixel/gap_fill.h"
#include "pixel/product_values.h"
#include "support/bits.h"

namespace tsr {
namespace {

constexpr double kUpper = 0.30000001192092896;   // default thresholds of a run
constexpr double kLower = -0.15000000596046448;
constexpr int32_t kPeriod = 46;

using ::tsr::testing::bits;

// The settings of a default run (NB = 46, NFUNC = 6, NWIN = 3, MMSW = 1,
// FITMD = 0, INTP = 1, FITSW = 1, no mask) with the bands listed excluded.
struct Settings : PixelSettings {
  Settings() {
    nb = 46;
    nfunc = 6;
    np = 14;
    nwin = 3;
    filter = EnvelopeFilter::kFillDips;
    keep_preliminary = true;
    weights_are_mask = false;
    fit_valid_only = true;
    lower_threshold = kLower;
    upper_threshold = kUpper;
  }
  void exclude(const std::vector<int16_t>& bands) {
    excluded_bands.assign(bands.begin(), bands.end());
  }
  void set_nfunc(int32_t n) {
    nfunc = n;
    np = 2 * n + 2;
  }
};

struct Outputs {
  std::vector<double> fitted;
  std::vector<double> interpolated;
  std::vector<double> params;
  std::vector<int16_t> weights;  // 1 where the band entered the final fit
  int32_t max = -7, min = -7, order = -7;
  double criterion = -7.0;
};

std::unique_ptr<FunctionMatrix> make_matrix(int32_t nb, int32_t nfunc) {
  auto x = std::make_unique<FunctionMatrix>();
  build_function_matrix(nb, kPeriod, nfunc, harmonic_frequencies, *x);
  return x;
}

// Runs one pixel. The result starts filled with markers so that entries the
// call leaves alone can be told apart (the used flags with `true`).
Outputs reconstruct(const PixelSettings& s, const FunctionMatrix& x, const std::vector<int16_t>& series,
                    const std::vector<int16_t>& weights_in, PixelWorkspace& ws, bool used_marker = true) {
  auto input = std::make_unique<PixelInput>();
  std::copy(series.begin(), series.end(), input->series.begin());
  std::copy(weights_in.begin(), weights_in.begin() + std::min<size_t>(weights_in.size(), kMaxBands),
            input->weights.begin());
  auto result = std::make_unique<PixelResult>();
  std::fill(std::begin(result->fitted), std::end(result->fitted), 555.0);
  std::fill(std::begin(result->preliminary), std::end(result->preliminary), 777.0);
  std::fill(std::begin(result->params), std::end(result->params), 555.0);
  std::fill(std::begin(result->used), std::end(result->used), used_marker);
  reconstruct_pixel(s, x, *input, *result, ws);
  Outputs o;
  o.fitted.assign(std::begin(result->fitted), std::end(result->fitted));
  o.interpolated.assign(std::begin(result->preliminary), std::end(result->preliminary));
  o.params.assign(std::begin(result->params), std::end(result->params));
  o.weights.assign(std::begin(result->used), std::end(result->used));
  o.max = result->maximum;
  o.min = result->minimum;
  o.order = result->order;
  o.criterion = result->criterion;
  return o;
}

// A smooth seasonal curve of harmonics 1 and 2, in scaled units.
double clean_value(int32_t band) {
  const double w = 2.0 * 3.141592653589793 * band / kPeriod;
  return 0.22 + 0.06 * std::sin(w) + 0.03 * std::cos(2.0 * w);
}

std::vector<int16_t> clean_series(int32_t nb) {
  std::vector<int16_t> y(static_cast<size_t>(nb));
  for (int32_t t = 1; t <= nb; ++t) {
    y[t - 1] = static_cast<int16_t>(std::lround(clean_value(t) * 4096.0));
  }
  return y;
}

std::vector<double> scaled_of(const std::vector<int16_t>& y) {
  std::vector<double> s(y.size());
  for (size_t i = 0; i < y.size(); ++i) s[i] = y[i] / 4096.0;
  return s;
}

std::vector<int16_t> ones(int32_t nb) { return std::vector<int16_t>(static_cast<size_t>(nb), 1); }

// Bands (1-based) whose weight came back 0.
std::vector<int32_t> dropped(const Outputs& o, int32_t nb) {
  std::vector<int32_t> out;
  for (int32_t i = 1; i <= nb; ++i) {
    EXPECT_TRUE(o.weights[i - 1] == 0 || o.weights[i - 1] == 1) << "band " << i;
    if (o.weights[i - 1] == 0) out.push_back(i);
  }
  return out;
}

class ReconstructTest : public ::testing::Test {
 protected:
  std::unique_ptr<PixelWorkspace> ws = std::make_unique<PixelWorkspace>();
  std::unique_ptr<LsqWorkspace> lsq = std::make_unique<LsqWorkspace>();
  std::unique_ptr<FunctionMatrix> x6 = make_matrix(46, 6);
};

// The raw tests, observed where they act alone: with a mask of ones and only
// status-1 samples in the final fit, a marked band drops out.
TEST_F(ReconstructTest, RawScreening) {
  struct Case {
    const char* name;
    int16_t before, value;      // raw values of bands 19 and 20 (band 18 is 1081)
    std::vector<int32_t> want;  // bands dropped among 19 and 20
  };
  const Case cases[] = {
      {"ceiling_1536_passes", 1200, 1536, {}},
      {"ceiling_1537_marked", 1300, 1537, {20}},
      {"rise_512_passes", 700, 1212, {}},
      {"rise_513_marked", 700, 1213, {20}},
      {"fall_1000_passes", 1100, 100, {}},
      // 1000 - (-32000) wraps to -32536 and passes; the fall from 1081 to
      // -32000 wraps to 32455 and is a rise over the limit.
      {"wrapped_difference", -32000, 1000, {19}},
      {"large_values_both_marked", 1600, 1700, {19, 20}},
  };
  Settings s;
  s.weights_are_mask = true;
  s.fit_valid_only = true;
  s.filter = EnvelopeFilter::kNone;
  for (const auto& c : cases) {
    std::vector<int16_t> y = clean_series(s.nb);
    ASSERT_EQ(y[17], 1081);
    y[18] = c.before;
    y[19] = c.value;
    y[20] = c.value < 600 ? 600 : 1000;  // no rise over the limit into bands 21, 22
    const Outputs o = reconstruct(s, *x6, y, ones(s.nb), *ws);
    EXPECT_EQ(dropped(o, s.nb), c.want) << c.name;
  }
  std::vector<int16_t> y = clean_series(s.nb);
  y[0] = 1537;
  EXPECT_EQ(dropped(reconstruct(s, *x6, y, ones(s.nb), *ws), s.nb), std::vector<int32_t>({1}));
}

// The previous band's raw value is used even when that band was marked itself.
TEST_F(ReconstructTest, RiseMeasuredFromMarkedBand) {
  Settings s;
  s.weights_are_mask = true;
  s.filter = EnvelopeFilter::kNone;
  std::vector<int16_t> y = clean_series(s.nb);
  y[9] = 100;   // band 10: low
  y[10] = 700;  // band 11: rise of 600, marked
  y[11] = 1100; // band 12: rise of 400 over the marked band, passes
  const Outputs o = reconstruct(s, *x6, y, ones(s.nb), *ws);
  EXPECT_EQ(dropped(o, s.nb), std::vector<int32_t>({11}));
}

// Which samples enter the final fit under each combination of mask and FITSW.
TEST_F(ReconstructTest, SamplesEnteringTheFinalFit) {
  // A cloud at band 10, followed by a clear band 11 whose rise from the cloud
  // is over the limit; a spike above the ceiling at band 30; band 20 excluded.
  std::vector<int16_t> y = clean_series(46);
  y[9] = 100;
  ASSERT_GT(y[10] - y[9], 512);
  y[29] = 3000;
  std::vector<int16_t> mask(46, 1);
  mask[0] = 5;    // band 1: positive mask value other than 1
  mask[1] = 5;    // band 2: the same value
  mask[4] = 0;
  mask[5] = 3;
  mask[39] = 255;
  struct Row {
    const char* name;
    bool mask;
    bool fit_valid_only;
    std::vector<int32_t> want_dropped;
  };
  // Under a mask with every screened band in the fit, the excluded band 20
  // takes its mask value as status and enters the final fit.
  const Row rows[] = {
      {"residuals_fitsw0", false, false, {10, 20, 30}},
      {"residuals_fitsw1", false, true, {10, 20, 30}},
      {"mask_fitsw0", true, false, {20}},
      {"mask_fitsw1", true, true, {2, 5, 6, 11, 30, 40}},
  };
  for (const auto& r : rows) {
    Settings s;
    s.weights_are_mask = r.mask;
    s.fit_valid_only = r.fit_valid_only;
    s.exclude({20});
    const Outputs o = reconstruct(s, *x6, y, r.mask ? mask : ones(46), *ws);
    EXPECT_EQ(dropped(o, 46), r.want_dropped) << r.name;
    EXPECT_GE(o.order, 2) << r.name;
  }
}

// The preliminary fit sees every band but the excluded ones: marked samples
// with their gap-filled values when bands are excluded, else with their own.
TEST_F(ReconstructTest, PreliminaryFitInputs) {
  std::vector<int16_t> y = clean_series(46);
  y[29] = 2000;  // band 30 above the ceiling, band 31 a steep fall
  const std::vector<double> scaled = scaled_of(y);
  std::vector<uint8_t> use(46, 0xFF);
  std::vector<double> par(50), want(46);

  Settings s;
  s.filter = EnvelopeFilter::kNone;
  Outputs o = reconstruct(s, *x6, y, ones(46), *ws);
  fit_fixed_order(3, FitSeries{46, scaled.data(), use.data(), x6.get()}, par.data(), want.data(), lsq.get());
  for (int i = 0; i < 46; ++i) EXPECT_EQ(bits(o.interpolated[i]), bits(want[i])) << i + 1;

  s.exclude({5, 6});
  o = reconstruct(s, *x6, y, ones(46), *ws);
  std::vector<double> work = scaled;
  work[4] = scaled[3] + (scaled[6] - scaled[3]) / 3.0;   // bands 5 and 6 from 4 and 7
  work[5] = 2.0 * ((scaled[6] - scaled[3]) / 3.0) + scaled[3];
  work[29] = 1.0 * ((scaled[30] - scaled[28]) / 2.0) + scaled[28];
  use[4] = use[5] = 0;
  fit_fixed_order(3, FitSeries{46, work.data(), use.data(), x6.get()}, par.data(), want.data(), lsq.get());
  for (int i = 0; i < 46; ++i) EXPECT_EQ(bits(o.interpolated[i]), bits(want[i])) << i + 1;
}

// The final pass starts again from the scaled series: what gap filling and the
// filter did before the preliminary fit is undone, and the final fit sees the
// scaled values, refilled around the samples that the screening rejected.
TEST_F(ReconstructTest, FinalFitStartsFromScaledSeries) {
  std::vector<int16_t> y = clean_series(46);
  y[12] = 90;     // a cloud
  y[29] = 3000;   // a spike
  y[37] = static_cast<int16_t>(y[37] - 200);  // a shallow dip the screening keeps
  Settings s;
  s.exclude({5, 6});
  const Outputs o = reconstruct(s, *x6, y, ones(46), *ws);
  ASSERT_EQ(dropped(o, 46), std::vector<int32_t>({5, 6, 13, 30}));

  std::vector<double> work = scaled_of(y);
  std::vector<int32_t> status(o.weights.begin(), o.weights.begin() + 46);
  int32_t gap = 0;
  fill_gaps(46, work.data(), status.data(), gap);
  auto scratch = std::make_unique<EnvelopeScratch>();
  fill_dips(46, s.nwin, work.data(), *scratch);
  std::vector<uint8_t> use(46);
  for (int i = 0; i < 46; ++i) use[i] = status[i] == 1 ? 0xFF : 0;
  std::vector<double> par(50, 0.0), yf(46);
  SelectionFitSummary fit;
  select_and_fit({6, 6}, FitSeries{46, work.data(), use.data(), x6.get()}, par.data(), yf.data(), &fit, lsq.get());
  const int32_t order = fit.cap;
  const double crit = fit.criterion;
  ASSERT_GE(order, 2);
  EXPECT_EQ(o.order, order);
  EXPECT_EQ(bits(o.criterion), bits(crit));
  for (int i = 0; i < 46; ++i) EXPECT_EQ(bits(o.fitted[i]), bits(yf[i])) << "band " << i + 1;
}

// Residuals exactly on a threshold are accepted; the next double beyond is not.
TEST_F(ReconstructTest, ThresholdsAreInclusive) {
  std::vector<int16_t> y = clean_series(46);
  y[14] = static_cast<int16_t>(y[14] - 400);
  y[33] = static_cast<int16_t>(y[33] + 400);
  Settings s;
  s.filter = EnvelopeFilter::kNone;
  s.lower_threshold = -1.0;
  s.upper_threshold = 1.0;
  const Outputs base = reconstruct(s, *x6, y, ones(46), *ws);
  const double r_low = y[14] / 4096.0 - base.interpolated[14];
  const double r_high = y[33] / 4096.0 - base.interpolated[33];
  ASSERT_LT(r_low, -0.05);
  ASSERT_GT(r_high, 0.05);
  struct Case {
    double lower, upper;
    std::vector<int32_t> want;
  };
  const Case cases[] = {
      {r_low, r_high, {}},
      {std::nextafter(r_low, 0.0), r_high, {15}},
      {r_low, std::nextafter(r_high, 0.0), {34}},
      {std::numeric_limits<double>::quiet_NaN(), 1.0, {}},  // everything fails
  };
  for (const auto& c : cases) {
    s.lower_threshold = c.lower;
    s.upper_threshold = c.upper;
    const Outputs o = reconstruct(s, *x6, y, ones(46), *ws);
    std::vector<int32_t> want = c.want;
    if (std::isnan(c.lower)) {
      for (int32_t i = 1; i <= 46; ++i) want.push_back(i);
    }
    EXPECT_EQ(dropped(o, 46), want) << c.lower << " " << c.upper;
  }
}

// The longest gap caps the order of the final fit.
TEST_F(ReconstructTest, OrderCapFromLongestGap) {
  struct Case {
    const char* name;
    int32_t nfunc;
    int32_t first_missing, last_missing;  // run of mask zeros
    int32_t want_order;
  };
  const Case cases[] = {
      {"no_gap", 6, 0, -1, 6},
      {"gap7", 6, 20, 25, 6},
      {"gap8", 6, 20, 26, 5},
      {"gap13", 6, 20, 31, 5},
      {"gap14", 6, 20, 32, 4},
      {"gap19", 6, 10, 27, 4},
      {"gap20", 6, 10, 28, 3},
      {"leading_first_valid_9", 6, 1, 8, 5},
      {"leading_first_valid_8", 6, 1, 7, 5},
      {"leading_first_valid_7", 6, 1, 6, 6},
      {"nfunc3_gap20", 3, 10, 28, 3},
      {"trailing_not_measured", 6, 30, 46, 6},
  };
  for (const auto& c : cases) {
    auto x = make_matrix(46, c.nfunc);
    Settings s;
    s.set_nfunc(c.nfunc);
    s.weights_are_mask = true;
    s.filter = EnvelopeFilter::kNone;
    std::vector<int16_t> m = ones(46);
    for (int32_t b = c.first_missing; b >= 1 && b <= c.last_missing; ++b) m[b - 1] = 0;
    const Outputs o = reconstruct(s, *x, clean_series(46), m, *ws);
    EXPECT_EQ(o.order, c.want_order) << c.name;
  }
}

// The gap measure covers both gap fillings of a pixel: samples above the
// ceiling are missing while the preliminary fit is prepared (only when bands
// are excluded), and count even though their residuals later pass.
TEST_F(ReconstructTest, LongestGapSpansBothPasses) {
  std::vector<int16_t> y(46, 1500);
  for (int b = 5; b <= 12; ++b) y[b - 1] = 1600;
  Settings s;
  s.filter = EnvelopeFilter::kNone;
  Outputs o = reconstruct(s, *x6, y, ones(46), *ws);
  EXPECT_EQ(o.order, 6);
  EXPECT_TRUE(dropped(o, 46).empty());
  s.exclude({40});
  o = reconstruct(s, *x6, y, ones(46), *ws);
  EXPECT_EQ(o.order, 5);
  EXPECT_EQ(dropped(o, 46), std::vector<int32_t>({40}));
}

// Under a mask, the final fit works on the gap-filled, filtered series; the
// outputs are the fit's results reduced to amplitudes, phases and raw extremes.
TEST_F(ReconstructTest, MaskPathMatchesItsParts) {
  struct Case {
    const char* name;
    EnvelopeFilter filter;
    bool fit_valid_only;
  };
  const Case cases[] = {
      {"no_filter", EnvelopeFilter::kNone, false},      {"dips", EnvelopeFilter::kFillDips, false},
      {"peaks", EnvelopeFilter::kClipPeaks, false},     {"no_filter_fitsw", EnvelopeFilter::kNone, true},
      {"dips_fitsw", EnvelopeFilter::kFillDips, true},  {"peaks_fitsw", EnvelopeFilter::kClipPeaks, true},
  };
  std::vector<int16_t> y = clean_series(46);
  y[16] = static_cast<int16_t>(y[16] - 250);   // a dip
  y[35] = static_cast<int16_t>(y[35] + 200);   // a peak
  std::vector<int16_t> m = ones(46);
  m[0] = m[1] = m[2] = 0;       // leading missing run
  m[22] = m[23] = 0;            // interior gap
  m[45] = 0;                    // trailing
  m[10] = 9;                    // valid but not exactly 1
  for (const auto& c : cases) {
    Settings s;
    s.weights_are_mask = true;
    s.filter = c.filter;
    s.fit_valid_only = c.fit_valid_only;
    s.exclude({30});
    const Outputs o = reconstruct(s, *x6, y, m, *ws);

    std::vector<double> work = scaled_of(y);
    std::vector<int32_t> status(m.begin(), m.end());
    int32_t gap = 0;
    fill_gaps(46, work.data(), status.data(), gap);
    ASSERT_EQ(bits(work[0]), bits(0.0));
    ASSERT_EQ(bits(work[45]), bits(0.0));
    auto scratch = std::make_unique<EnvelopeScratch>();
    if (c.filter == EnvelopeFilter::kFillDips) fill_dips(46, s.nwin, work.data(), *scratch);
    if (c.filter == EnvelopeFilter::kClipPeaks) clip_peaks(46, s.nwin, work.data(), *scratch);
    std::vector<uint8_t> use(46, 0xFF);
    use[29] = 0;
    if (c.fit_valid_only) {
      for (int i = 0; i < 46; ++i) use[i] = status[i] == 1 ? 0xFF : 0;
    }
    std::vector<double> par(50, 0.0), yf(46);
    SelectionFitSummary fit;
    select_and_fit({6, 6}, FitSeries{46, work.data(), use.data(), x6.get()}, par.data(), yf.data(), &fit,
                   lsq.get());
    const int32_t order = fit.cap;
    const double crit = fit.criterion;

    ASSERT_GE(order, 2) << c.name;
    EXPECT_EQ(o.order, order) << c.name;
    EXPECT_EQ(bits(o.criterion), bits(crit)) << c.name;
    double mx = -1e300, mn = 1e300;
    for (int i = 0; i < 46; ++i) {
      EXPECT_EQ(bits(o.fitted[i]), bits(yf[i])) << c.name << " band " << i + 1;
      mx = std::max(mx, yf[i]);
      mn = std::min(mn, yf[i]);
      EXPECT_EQ(o.weights[i], use[i] ? 1 : 0) << c.name << " band " << i + 1;
    }
    EXPECT_EQ(o.max, round_to_raw(mx)) << c.name;
    EXPECT_EQ(o.min, round_to_raw(mn)) << c.name;
    EXPECT_EQ(bits(o.params[0]), bits(par[0])) << c.name;
    EXPECT_EQ(bits(o.params[1]), bits(par[1])) << c.name;
    for (int k = 1; k <= 6; ++k) {
      double a = 0.0, phi = 0.0;
      harmonic_amplitude_phase(par[2 * k], par[2 * k + 1], a, phi);
      EXPECT_EQ(bits(o.params[2 * k]), bits(a)) << c.name << " harmonic " << k;
      EXPECT_EQ(bits(o.params[2 * k + 1]), bits(phi)) << c.name << " harmonic " << k;
    }
    for (int j = 14; j < kMatrixColumns; ++j) ASSERT_EQ(o.params[j], 555.0) << "param " << j + 1;
  }
}

// A fit that gives up, or one that can only reach order 1, leaves zeros and
// passes the fit's order and criterion on.
TEST_F(ReconstructTest, FailedFit) {
  // Values far above 1.0 that pass the residual screening: every cap is rejected.
  std::vector<int16_t> high(46);
  for (int t = 1; t <= 46; ++t) {
    high[t - 1] = static_cast<int16_t>(20000 + std::lround(400.0 * std::sin(t * 0.4)));
  }
  struct Case {
    const char* name;
    int32_t nfunc;
    std::vector<int16_t> series;
    int32_t want_order;  // 0: either 1 or -1
  };
  const Case cases[] = {
      {"gives_up", 6, high, -1},
      {"nfunc1", 1, clean_series(46), 0},
  };
  for (const auto& c : cases) {
    auto x = make_matrix(46, c.nfunc);
    Settings s;
    s.set_nfunc(c.nfunc);
    s.filter = EnvelopeFilter::kNone;
    const Outputs o = reconstruct(s, *x, c.series, ones(46), *ws);
    if (c.want_order == 0) {
      EXPECT_TRUE(o.order == 1 || o.order == -1) << c.name << " " << o.order;
    } else {
      EXPECT_EQ(o.order, c.want_order) << c.name;
    }
    EXPECT_EQ(o.max, 0) << c.name;
    EXPECT_EQ(o.min, 0) << c.name;
    for (int i = 0; i < 46; ++i) EXPECT_EQ(bits(o.fitted[i]), bits(0.0)) << c.name << i;
    const int np = 2 * c.nfunc + 2;
    for (int j = 0; j < np; ++j) EXPECT_EQ(bits(o.params[j]), bits(0.0)) << c.name << j;
    EXPECT_EQ(o.params[np], 555.0) << c.name;

    // The criterion is the one the final fit handed back, on the same flags.
    std::vector<double> scaled = scaled_of(c.series);
    std::vector<uint8_t> use(46);
    for (int i = 0; i < 46; ++i) use[i] = o.weights[i] ? 0xFF : 0;
    std::vector<double> par(50), yf(46);
    SelectionFitSummary fit;
    select_and_fit({c.nfunc, c.nfunc}, FitSeries{46, scaled.data(), use.data(), x.get()}, par.data(), yf.data(),
                   &fit, lsq.get());
    const int32_t order = fit.cap;
    const double crit = fit.criterion;
    EXPECT_EQ(o.order, order) << c.name;
    EXPECT_EQ(bits(o.criterion), bits(crit)) << c.name;
  }
}

// The preliminary series reaches the caller only when it is asked for and is kept
// from one call to the next; under a mask it stays as the workspace held it.
TEST_F(ReconstructTest, PreliminarySeriesLifetime) {
  Settings s;
  s.weights_are_mask = true;
  const std::vector<int16_t> y = clean_series(46);
  Outputs o = reconstruct(s, *x6, y, ones(46), *ws);
  for (int i = 0; i < 46; ++i) EXPECT_EQ(bits(o.interpolated[i]), bits(0.0)) << i;
  EXPECT_EQ(o.interpolated[46], 777.0);

  s.weights_are_mask = false;
  s.keep_preliminary = false;
  o = reconstruct(s, *x6, y, ones(46), *ws);
  for (int i = 0; i < 46; ++i) EXPECT_EQ(o.interpolated[i], 777.0) << i;

  s.keep_preliminary = true;
  const Outputs first = reconstruct(s, *x6, y, ones(46), *ws);
  EXPECT_NEAR(first.interpolated[10], clean_value(11), 0.01);
  s.weights_are_mask = true;
  const Outputs masked = reconstruct(s, *x6, clean_series(46), ones(46), *ws);
  for (int i = 0; i < 46; ++i) {
    EXPECT_EQ(bits(masked.interpolated[i]), bits(first.interpolated[i])) << i;
  }
}

// The used flags are written for every band whatever weights came in, and
// only for the bands of the series.
TEST_F(ReconstructTest, UsedFlagsWrittenForEveryBand) {
  Settings s;
  std::vector<int16_t> w(kMaxBands, 42);
  const Outputs o = reconstruct(s, *x6, clean_series(46), w, *ws, false);
  EXPECT_TRUE(dropped(o, 46).empty());
  EXPECT_EQ(o.weights[46], 0);
}

// ---------------------------------------------------------------------------
// Randomized series: seasonal curves with clouds, spikes, gaps, excluded bands
// and masks.

struct Synthetic {
  std::vector<int16_t> series;
  std::vector<int16_t> mask;
  std::vector<double> clean;
  Settings settings;
};

Synthetic make_synthetic(std::mt19937& rng, int32_t nfunc) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Synthetic p;
  Settings& s = p.settings;
  s.nb = 23 + static_cast<int32_t>(rng() % 178);
  s.set_nfunc(nfunc);
  s.nwin = static_cast<int32_t>(rng() % 6);
  // MMSW in -1..1 and FITMD in 0..3, as a run would give them.
  const bool mmsw = static_cast<int32_t>(rng() % 3) - 1 > 0;
  const int fitmd = static_cast<int>(rng() % 4);
  s.filter = !mmsw ? EnvelopeFilter::kNone
             : fitmd == 0 ? EnvelopeFilter::kFillDips
             : fitmd == 1 ? EnvelopeFilter::kClipPeaks
                          : EnvelopeFilter::kNone;
  s.fit_valid_only = rng() % 2 != 0;
  s.weights_are_mask = rng() % 4 == 0;
  s.keep_preliminary = rng() % 2 != 0;
  if (fitmd == 1) s.lower_threshold = -(0.15000000596046448 * 2.0);
  std::vector<int16_t> excluded;
  const int nexcl = static_cast<int>(rng() % 4);
  for (int e = 0; e < nexcl; ++e) {
    excluded.push_back(static_cast<int16_t>(1 + rng() % static_cast<uint32_t>(s.nb)));
  }
  // Undisturbed values stay within 0.23..0.36, below the raw ceiling; clouds
  // drop to at most 0.025 and spikes rise above 0.6, so both lie well beyond
  // the screening thresholds. Under FITMD = 1 the lower threshold is twice as
  // far out, and only spikes are made.
  const double level = 0.28 + 0.01 * u(rng);
  const double a1 = 0.04 * u(rng), b1 = 0.02 * u(rng), a2 = 0.015 * u(rng);
  const double phase = 6.0 * u(rng);
  const double cloud_share = fitmd == 1 ? 0.0 : 0.06;
  p.series.resize(static_cast<size_t>(s.nb));
  p.mask.assign(static_cast<size_t>(s.nb), 1);
  p.clean.resize(static_cast<size_t>(s.nb));
  for (int32_t t = 1; t <= s.nb; ++t) {
    const double w = 2.0 * 3.141592653589793 * t / kPeriod + phase;
    const double v = level + a1 * std::sin(w) + b1 * std::cos(w) + a2 * std::sin(2.0 * w);
    p.clean[t - 1] = v;
    int32_t raw = static_cast<int32_t>(std::lround(v * 4096.0));
    const double r = u(rng);
    if (r < cloud_share) {
      raw = static_cast<int32_t>(rng() % 100);   // cloud
      p.mask[t - 1] = 0;
    } else if (r < cloud_share + 0.03) {
      raw = 2500 + static_cast<int32_t>(rng() % 4000);  // spike above the ceiling
      p.mask[t - 1] = 0;
    } else if (r < cloud_share + 0.05) {
      p.mask[t - 1] = static_cast<int16_t>(rng() % 256);
    }
    p.series[t - 1] = static_cast<int16_t>(raw);
  }
  if (rng() % 3 == 0) {  // a longer run of excluded bands with garbage values
    const int32_t len = 3 + static_cast<int32_t>(rng() % 12);
    const int32_t start = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(s.nb - len));
    for (int32_t t = start; t < start + len; ++t) {
      p.series[t - 1] = static_cast<int16_t>(rng() % 100);
      p.mask[t - 1] = 0;
      excluded.push_back(static_cast<int16_t>(t));
    }
  }
  s.exclude(excluded);
  return p;
}

// Settings that do not fit the storage are refused before anything is
// written: the result keeps what it held.
struct FitCase {
  std::string name;
  int32_t nb;
  int32_t matrix_rows, input_capacity, result_capacity, workspace_capacity;
  int32_t nfunc, np;
  std::vector<int16_t> excluded;
  bool fits;
};
void PrintTo(const FitCase& c, std::ostream* os) { *os << c.name; }

// Bands first..last, each listed once.
std::vector<int16_t> band_run(int16_t first, int16_t last) {
  std::vector<int16_t> bands;
  for (int16_t b = first; b <= last; ++b) bands.push_back(b);
  return bands;
}

class ReconstructStorage : public ::testing::TestWithParam<FitCase> {};

TEST_P(ReconstructStorage, RefusesWhatDoesNotFit) {
  const FitCase& c = GetParam();
  Settings s;
  s.nb = c.nb;
  s.nfunc = c.nfunc;
  s.np = c.np;
  s.exclude(c.excluded);
  FunctionMatrix x(c.matrix_rows);
  build_function_matrix(c.nb, kPeriod, std::min(c.nfunc, kMaxHarmonics), harmonic_frequencies, x);
  PixelInput input(c.input_capacity);
  for (int32_t i = 0; i < input.capacity(); ++i) {
    input.series[i] = static_cast<int16_t>(std::lround(clean_value(i + 1) * 4096.0));
    input.weights[i] = 1;
  }
  PixelResult result(c.result_capacity);
  std::fill(result.fitted.begin(), result.fitted.end(), 555.0);
  result.order = -7;
  auto ws = std::make_unique<PixelWorkspace>(c.workspace_capacity);
  EXPECT_EQ(reconstruct_pixel(s, x, input, result, *ws), c.fits);
  if (c.fits) {
    EXPECT_GE(result.order, 2);
    EXPECT_NE(result.fitted[0], 555.0);
  } else {
    EXPECT_EQ(result.order, -7);
    for (double v : result.fitted) ASSERT_EQ(v, 555.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReconstructStorage,
    ::testing::Values(FitCase{"Fits", 46, 46, 46, 46, 46, 6, 14, {3}, true},
                      FitCase{"LongRecordFits", 365, 365, 400, 365, 1000, 6, 14, {}, true},
                      // More excluded bands than the executable's 200, up to the last band.
                      FitCase{"LongRecordExcludesMany", 365, 365, 365, 365, 365, 6, 14, band_run(116, 365), true},
                      FitCase{"MatrixTooShort", 201, 200, 201, 201, 201, 6, 14, {}, false},
                      FitCase{"InputTooShort", 201, 201, 200, 201, 201, 6, 14, {}, false},
                      FitCase{"ResultTooShort", 201, 201, 201, 200, 201, 6, 14, {}, false},
                      FitCase{"WorkspaceTooShort", 201, 201, 201, 201, 200, 6, 14, {}, false},
                      FitCase{"NoBands", 0, 46, 46, 46, 46, 6, 14, {}, false},
                      FitCase{"TooManyHarmonics", 46, 46, 46, 46, 46, 7, 16, {}, false},
                      FitCase{"TooManyParameters", 46, 46, 46, 46, 46, 6, kMatrixColumns + 1, {}, false},
                      FitCase{"ExcludedBandZero", 46, 46, 46, 46, 46, 6, 14, {0}, false},
                      FitCase{"ExcludedBandPastTheSeries", 46, 46, 46, 46, 46, 6, 14, {47}, false}),
    [](const ::testing::TestParamInfo<FitCase>& info) { return info.param.name; });

// pixel_storage_bytes counts what a worker's storage allocates, as the
// allocator's own statistics measure it: no vector left out, none counted
// twice (within the allocator's overhead of at most a page per allocation).
TEST(ReconstructStorageBytes, CountWhatTheStorageAllocates) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator keeps no malloc statistics";
#else
  const auto allocated = [] {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<int64_t>(m.uordblks + m.hblkhd);
  };
  // The allocator's overhead: a header and the alignment of each of the 28
  // allocations, and the rounding to pages of the dozen large ones.
  constexpr int64_t kOverhead = 28 * 80 + 12 * 4096;
  // Every storage stays until the end: a freed block, still counted as in
  // use while the allocator caches it, would be taken again unseen.
  std::vector<std::unique_ptr<PixelInput>> inputs;
  std::vector<std::unique_ptr<PixelResult>> results;
  std::vector<std::unique_ptr<PixelWorkspace>> workspaces;
  inputs.reserve(5);
  results.reserve(5);
  workspaces.reserve(5);
  for (const int32_t capacity : {1, 46, 200, 1000, 3000}) {
    const PixelStorageBytes want = pixel_storage_bytes(capacity);
    const int64_t before = allocated();
    inputs.push_back(std::make_unique<PixelInput>(capacity));
    results.push_back(std::make_unique<PixelResult>(capacity));
    workspaces.push_back(std::make_unique<PixelWorkspace>(capacity));
    const int64_t got = allocated() - before;
    const int64_t counted = static_cast<int64_t>(want.in_use + want.reflection);
    EXPECT_GE(got, counted) << capacity;
    EXPECT_LE(got, counted + kOverhead) << capacity;
    EXPECT_EQ(want.reflection, static_cast<uint64_t>(std::max(capacity, kWorkColumns)) *
                                   static_cast<uint64_t>(std::max(capacity, kWorkColumns)) * 8)
        << capacity;
  }
  // The longest series a cube can describe: the counts saturate rather than wrap.
  const PixelStorageBytes longest = pixel_storage_bytes(INT32_MAX);
  EXPECT_EQ(longest.reflection, UINT64_MAX);
  EXPECT_GT(longest.in_use, uint64_t{INT32_MAX} * 100);
#endif
}

TEST(ReconstructRandom, OutputsDefinedAndFollowTheSignal) {
  std::mt19937 rng(20240611);
  auto ws = std::make_unique<PixelWorkspace>();
  int followed = 0, fitted = 0, eligible = 0;
  for (int32_t nfunc : {3, 4, 6}) {
    auto x = make_matrix(kMaxBands, nfunc);
    for (int trial = 0; trial < 120; ++trial) {
      Synthetic p = make_synthetic(rng, nfunc);
      const Settings& s = p.settings;
      const Outputs o = reconstruct(s, *x, p.series, s.weights_are_mask ? p.mask : ones(s.nb), *ws);
      const int np = 2 * nfunc + 2;
      ASSERT_TRUE(std::isfinite(o.criterion));
      ASSERT_TRUE(o.order == -1 || (o.order >= 1 && o.order <= nfunc)) << o.order;
      for (int32_t i = 0; i < s.nb; ++i) {
        ASSERT_TRUE(std::isfinite(o.fitted[i])) << trial << " band " << i + 1;
        ASSERT_TRUE(o.weights[i] == 0 || o.weights[i] == 1);
        if (s.keep_preliminary) {
          ASSERT_TRUE(std::isfinite(o.interpolated[i]));
        }
      }
      for (int j = 0; j < np; ++j) ASSERT_TRUE(std::isfinite(o.params[j])) << j;
      for (int j = 2; j < np; j += 2) {
        ASSERT_GE(o.params[j], 0.0);
        ASSERT_LE(std::fabs(o.params[j + 1]), 3.1415927410125732);
      }
      if (o.order <= 1) {
        for (int32_t i = 0; i < s.nb; ++i) ASSERT_EQ(o.fitted[i], 0.0);
        ASSERT_EQ(o.max, 0);
        ASSERT_EQ(o.min, 0);
        continue;
      }
      ++fitted;
      ASSERT_GE(o.min, 0);
      ASSERT_LE(o.max, 4096);
      ASSERT_LE(o.min, o.max);
      // Screening by residuals, or a mask that marks every disturbed sample
      // with FITSW on, leaves a fit close to the undisturbed curve.
      if (!s.weights_are_mask || s.fit_valid_only) {
        ++eligible;
        double worst = 0.0;
        for (int32_t i = 0; i < s.nb; ++i) {
          if (o.weights[i]) worst = std::max(worst, std::fabs(o.fitted[i] - p.clean[i]));
        }
        if (worst < 0.04) ++followed;
      }
    }
  }
  // A few series whose clouds cluster pull the preliminary fit far enough to
  // let a cloud through; nearly all others must follow the undisturbed curve.
  EXPECT_GT(fitted, 300);
  EXPECT_GT(followed, eligible * 9 / 10) << followed << " of " << eligible;
}

// Workers with their own workspaces give exactly what one worker gives.
TEST(ReconstructRandom, IndependentWorkspacesAgree) {
  std::mt19937 rng(77);
  auto x = make_matrix(kMaxBands, 6);
  std::vector<Synthetic> pixels;
  for (int i = 0; i < 40; ++i) {
    pixels.push_back(make_synthetic(rng, 6));
    pixels.back().settings.weights_are_mask = false;  // the preliminary series depends only on the pixel
    pixels.back().settings.keep_preliminary = true;
  }
  auto run_all = [&](size_t first, size_t step, std::vector<Outputs>& out) {
    auto ws = std::make_unique<PixelWorkspace>();
    for (size_t i = first; i < pixels.size(); i += step) {
      const Synthetic& p = pixels[i];
      out[i] = reconstruct(p.settings, *x, p.series, ones(p.settings.nb), *ws);
    }
  };
  std::vector<Outputs> serial(pixels.size()), parallel(pixels.size());
  run_all(0, 1, serial);
  std::thread a([&] { run_all(0, 2, parallel); });
  std::thread b([&] { run_all(1, 2, parallel); });
  a.join();
  b.join();
  for (size_t i = 0; i < pixels.size(); ++i) {
    for (int j = 0; j < kMaxBands; ++j) {
      ASSERT_EQ(bits(serial[i].fitted[j]), bits(parallel[i].fitted[j])) << i;
      ASSERT_EQ(bits(serial[i].interpolated[j]), bits(parallel[i].interpolated[j])) << i;
      ASSERT_EQ(serial[i].weights[j], parallel[i].weights[j]) << i;
    }
    for (int j = 0; j < kMatrixColumns; ++j) {
      ASSERT_EQ(bits(serial[i].params[j]), bits(parallel[i].params[j])) << i;
    }
    ASSERT_EQ(bits(serial[i].criterion), bits(parallel[i].criterion));
    ASSERT_EQ(serial[i].order, parallel[i].order);
    ASSERT_EQ(serial[i].min, parallel[i].min);
    ASSERT_EQ(serial[i].max, parallel[i].max);
  }
}

}  // namespace
}  // namespace tsr
