#include "tools/plot/pixel_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>
#include "support/bits.h"

namespace tsr::tools {
namespace {

RunParameters run(int32_t mask, std::vector<int16_t> excluded, int32_t mmsw = 1) {
  RunParameters p;
  p.MMSW = mmsw;
  p.NB = 46;
  p.NL = 1;
  p.NS = 1;
  p.MASK = mask;
  p.NDEF = static_cast<int32_t>(excluded.size());
  for (size_t i = 0; i < excluded.size(); ++i) p.excluded_bands[i] = excluded[i];
  p.excluded_count = static_cast<int32_t>(excluded.size());
  EXPECT_EQ(derive_run_parameters(p).message(), "");
  return p;
}

// A clean seasonal curve in raw units (NDVI 0.2..0.6 at 1600 per unit).
std::vector<int16_t> seasonal() {
  std::vector<int16_t> raw;
  for (int t = 1; t <= 46; ++t)
    raw.push_back(static_cast<int16_t>(std::lround((0.4 + 0.2 * std::sin(2 * M_PI * t / 46.0 + 0.7)) * 1600)));
  return raw;
}

using ::tsr::testing::bits;

PixelReport report_of(const RunParameters& p, const PixelToReport& pixel) {
  PixelReport r;
  EXPECT_TRUE(reconstruct_single_pixel(p, pixel, &r).is_ok());
  return r;
}

TEST(PixelReport, CleanSeriesIsFittedClosely) {
  // Without the envelope filter, which would flatten the troughs.
  const RunParameters p = run(0, {}, 0);
  const std::vector<int16_t> raw = seasonal();
  const PixelReport r = report_of(p, {4, 9, raw, {}});
  EXPECT_EQ(r.line, 4);
  EXPECT_EQ(r.sample, 9);
  EXPECT_FALSE(r.failed());
  EXPECT_GT(r.order, 1);
  ASSERT_EQ(r.fitted.size(), 46u);
  ASSERT_EQ(r.params.size(), 14u);
  const std::vector<int16_t> f = fitted_product_values(r);
  const std::vector<int16_t> i = preliminary_product_values(r);
  for (size_t t = 0; t < 46; ++t) {
    EXPECT_EQ(r.weights_out[t], 1) << t;
    EXPECT_NEAR(f[t], raw[t], 2) << t;
    EXPECT_NEAR(i[t], raw[t], 2) << t;
  }
  // Amplitude of the annual harmonic in scaled units: 0.2 NDVI is 320 raw.
  EXPECT_NEAR(r.params[2], 320.0 / 4096.0, 1e-3);
  EXPECT_EQ(r.min, *std::min_element(f.begin(), f.end()));
  EXPECT_EQ(r.max, *std::max_element(f.begin(), f.end()));
}

TEST(PixelReport, ScreeningShowsInTheWeightsHandedBack) {
  std::vector<int16_t> dip = seasonal();
  dip[10] = 100;  // a cloud dip far below the curve
  const PixelReport cloudy = report_of(run(0, {}, 0), {1, 1, dip, {}});
  EXPECT_EQ(cloudy.weights_out[10], 0);
  EXPECT_EQ(cloudy.weights_out[11], 1);
  // The final fit read the dip filled from its neighbours.
  EXPECT_NEAR(cloudy.final_input[10], (dip[9] + dip[11]) / 2 / 4096.0, 1e-3);
  // With the envelope filter the dip is lifted before the preliminary fit,
  // and the raw value still fails the screening.
  const PixelReport filtered = report_of(run(0, {}, 1), {1, 1, dip, {}});
  EXPECT_EQ(filtered.weights_out[10], 0);

  // Excluded bands leave both fits; the report flags them.
  const PixelReport excl = report_of(run(0, {5, 30}), {1, 1, seasonal(), {}});
  for (size_t t = 0; t < 46; ++t) {
    EXPECT_EQ(excl.excluded[t], t == 4 || t == 29) << t;
    EXPECT_EQ(excl.weights_out[t], excl.excluded[t] ? 0 : 1) << t;
  }

  // Under MASK=1 the mask decides and there is no preliminary fit.
  std::vector<int16_t> mask(46, 1);
  mask[3] = 0;
  const PixelReport masked = report_of(run(1, {}), {1, 1, seasonal(), mask});
  EXPECT_TRUE(masked.mask);
  EXPECT_EQ(masked.weights_in, mask);
  EXPECT_EQ(masked.weights_out[3], 0);
  for (double v : masked.preliminary) EXPECT_EQ(bits(v), bits(0.0));
}

TEST(PixelReport, ReconstructionCarriesNothingOverBetweenPixels) {
  // A masked pixel after an unmasked one still has an all-zero preliminary
  // series, and repeating a pixel gives the same bits.
  const RunParameters p = run(0, {});
  const PixelReport a = report_of(p, {1, 1, seasonal(), {}});
  const PixelReport b = report_of(p, {1, 1, seasonal(), {}});
  for (size_t t = 0; t < 46; ++t) {
    EXPECT_EQ(bits(a.fitted[t]), bits(b.fitted[t]));
    EXPECT_EQ(bits(a.preliminary[t]), bits(b.preliminary[t]));
  }
  EXPECT_EQ(bits(a.criterion), bits(b.criterion));
  const PixelReport m = report_of(run(1, {}), {1, 1, seasonal(), std::vector<int16_t>(46, 1)});
  for (double v : m.preliminary) EXPECT_EQ(v, 0.0);
}

// The seasons the plot marks: the clean curve's one season peaks where its
// sine does (band 6.38), in steps and on the dates of the bands; a pixel
// without a model has none.
TEST(PixelReport, SeasonsOfTheStoredModel) {
  const RunParameters p = run(0, {}, 0);
  const PixelReport r = report_of(p, {1, 1, seasonal(), {}});
  const double peak = (M_PI / 2 - 0.7) * 46 / (2 * M_PI);
  std::vector<int32_t> days;
  for (int32_t b = 0; b < 46; ++b) days.push_back(16071 + 8 * b);  // every 8 days from 2014-01-01
  for (const std::vector<int32_t>& d : {std::vector<int32_t>{}, days}) {
    const SeasonDetail s = pixel_seasons(r, d, 1600);
    ASSERT_EQ(s.count, 1);
    EXPECT_NEAR(s.seasons[0].step[kPeak], peak, 0.1);
    EXPECT_LT(s.seasons[0].step[kGreenup], s.seasons[0].step[kPeak]);
    EXPECT_GT(s.seasons[0].step[kDormancy], s.seasons[0].step[kPeak]);
    if (d.empty()) EXPECT_TRUE(std::isnan(s.seasons[0].day[kPeak]));
    else EXPECT_NEAR(s.seasons[0].day[kPeak], 16071 + 8 * (peak - 1), 1.0);
  }
  PixelReport none = r;
  none.order = 1;
  EXPECT_EQ(pixel_seasons(none, days, 1600).count, 0);
}

TEST(PixelReport, FailedFitGivesZeroProducts) {
  // A pixel of a generated cube with a long run of no-data values (32767):
  // they pull the preliminary fit up until two of them pass the screening,
  // the gap filling then ramps towards them, no model stays within 0..1 and
  // the fit gives up.
  const std::vector<int16_t> raw = {
      1091, 342,   1116,  1135,  1137,  1138,  1124,  1106,  1085,  1042,  392,   951,   903,   846,   798,   753,
      695,  657,   617,   604,   585,   206,   592,   600,   32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767,
      32767, 32767, 32767, 32767, 32767, 989, 504,   1016,  1031,  1046,  1069,  1080,  1100,  1128};
  const PixelReport r = report_of(run(0, {}), {1, 1, raw, {}});
  ASSERT_TRUE(r.failed()) << r.order << " " << r.criterion;
  EXPECT_EQ(r.order, -1);
  EXPECT_EQ(r.weights_out[27], 1);  // no-data values that passed the screening
  EXPECT_EQ(r.weights_out[33], 1);
  for (double v : r.fitted) EXPECT_EQ(v, 0.0);
  for (double v : r.params) EXPECT_EQ(v, 0.0);
  EXPECT_EQ(r.min, 0);
  EXPECT_EQ(r.max, 0);
  for (int16_t v : fitted_product_values(r)) EXPECT_EQ(v, 0);
  // The preliminary series is still handed back.
  EXPECT_GT(r.preliminary[30], 8.0);
}

}  // namespace
}  // namespace tsr::tools
