// The fast and the literal engine of the final fit give the same pixel, bit
// for bit, over the settings of real runs; and a worker's workspace carries
// nothing from one pixel to the next that could change a result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "pixel/reconstruct.h"
#include "support/bits.h"
#include "support/kernels.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;
using ::tsr::testing::kernel_name;
using ::tsr::testing::supported_fast_kernels;

struct RunSettings {
  int32_t nb = 46;
  int32_t nfunc = 6;
  int32_t nwin = 3;
  int32_t mmsw = 1;
  int32_t intp = 1;
  double lower = -0.15000000596046448;
  double upper = 0.30000001192092896;
  int8_t fitsw = 0;
  int32_t mask = 0;
  int8_t fitmd = 0;
  std::vector<int16_t> excluded;
};

struct Pixel {
  std::vector<int16_t> series;
  std::vector<int16_t> weights;
};

// The pixel settings of a run with these control values.
PixelSettings pixel_settings_of(const RunSettings& r) {
  PixelSettings s;
  s.nb = r.nb;
  s.nfunc = r.nfunc;
  s.np = 2 * r.nfunc + 2;
  s.nwin = r.nwin;
  if (r.mmsw > 0 && r.fitmd == 0) s.filter = EnvelopeFilter::kFillDips;
  if (r.mmsw > 0 && r.fitmd == 1) s.filter = EnvelopeFilter::kClipPeaks;
  s.keep_preliminary = r.intp > 0;
  s.weights_are_mask = r.mask == 1;
  s.fit_valid_only = r.fitsw > 0;
  s.lower_threshold = r.lower;
  s.upper_threshold = r.upper;
  s.excluded_bands.assign(r.excluded.begin(), r.excluded.end());
  return s;
}

// Every output of one pixel, doubles as bit patterns.
struct ResultBits {
  std::vector<uint64_t> fitted, interpolated, params;
  std::vector<int16_t> used;
  int32_t max = 0, min = 0, order = 0;
  uint64_t criterion = 0;
  bool operator==(const ResultBits&) const = default;
};

ResultBits reconstruct(const RunSettings& rs, const FunctionMatrix& x, const Pixel& px, PixelWorkspace& ws) {
  const PixelSettings s = pixel_settings_of(rs);
  auto input = std::make_unique<PixelInput>(ws.capacity());
  std::copy(px.series.begin(), px.series.end(), input->series.begin());
  std::copy(px.weights.begin(), px.weights.end(), input->weights.begin());
  auto result = std::make_unique<PixelResult>(ws.capacity());
  std::fill(std::begin(result->fitted), std::end(result->fitted), 555.0);
  std::fill(std::begin(result->preliminary), std::end(result->preliminary), 777.0);
  std::fill(std::begin(result->params), std::end(result->params), 555.0);
  EXPECT_TRUE(reconstruct_pixel(s, x, *input, *result, ws));
  ResultBits r;
  for (int32_t i = 0; i < s.nb; ++i) {
    r.fitted.push_back(bits(result->fitted[i]));
    r.interpolated.push_back(bits(result->preliminary[i]));
    r.used.push_back(result->used[i] ? 1 : 0);
  }
  for (int32_t j = 0; j < s.np; ++j) r.params.push_back(bits(result->params[j]));
  r.criterion = bits(result->criterion);
  r.max = result->maximum;
  r.min = result->minimum;
  r.order = result->order;
  return r;
}

// A raw pixel as a sensor gives it: a seasonal curve with noise, cloud dips,
// spikes above the ceiling, sudden rises, nodata runs of zeros and, now and
// then, values that leave every model's range; mask values 0..255.
Pixel random_pixel(std::mt19937_64& rng, int32_t nb, int32_t npoint) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double base = 300.0 + 1200.0 * unit(rng);
  const double amp = 1500.0 * unit(rng) * unit(rng);
  const double phase = 6.283 * unit(rng);
  const double trend = 8.0 * (unit(rng) - 0.5);
  const double cloud = 0.3 * unit(rng);
  Pixel px;
  for (int32_t t = 1; t <= nb; ++t) {
    double v = base + amp * std::sin(6.283185307179586 * t / npoint + phase) + trend * t + 40.0 * (unit(rng) - 0.5);
    const double u = unit(rng);
    if (u < cloud) v = 60.0 + 200.0 * unit(rng);  // cloud
    else if (u < cloud + 0.02) v = 1537.0 + 2000.0 * unit(rng);  // above the ceiling
    else if (u < cloud + 0.04) v = 0.0;  // nodata
    if (unit(rng) < 0.01) v = -50.0 * unit(rng);
    px.series.push_back(static_cast<int16_t>(std::lround(std::fmin(v, 32000.0))));
    const double m = unit(rng);
    px.weights.push_back(static_cast<int16_t>(m < 0.7 ? 1 : (m < 0.85 ? 0 : static_cast<int>(256 * unit(rng)))));
  }
  return px;
}

std::unique_ptr<FunctionMatrix> matrix(int32_t nb, int32_t npoint, int32_t nfunc) {
  auto x = std::make_unique<FunctionMatrix>(std::max(nb, kMaxBands));
  build_function_matrix(nb, npoint, nfunc, harmonic_frequencies, *x);
  return x;
}

// Random run settings within the limits the control file allows.
RunSettings random_settings(std::mt19937_64& rng, int32_t nb) {
  RunSettings s;
  s.nb = nb;
  s.nfunc = static_cast<int32_t>(rng() % 7);
  s.nwin = static_cast<int32_t>(rng() % 6);
  s.mmsw = static_cast<int32_t>(rng() % 3) - 1;
  s.intp = static_cast<int32_t>(rng() % 2);
  s.fitsw = static_cast<int8_t>(rng() % 2);
  s.mask = static_cast<int32_t>(rng() % 3);
  s.fitmd = static_cast<int8_t>(rng() % 3);
  if (s.fitmd == 1) {
    s.lower = -0.30000001192092896;
    s.upper = 0.15000000596046448;
  }
  const int excluded = static_cast<int>(rng() % 4);
  for (int e = 0; e < excluded; ++e) s.excluded.push_back(static_cast<int16_t>(1 + rng() % nb));
  return s;
}

// Thousands of pixels under random settings: the fast engine on each kernel
// and the literal engine give the same outputs, and the workers' storage is
// independent.
TEST(EngineEquivalence, RandomPixelsAndSettings) {
  std::mt19937_64 rng(31337);
  auto literal = std::make_unique<PixelWorkspace>();
  literal->engine = LsqEngine::kLiteral;
  auto fast = std::make_unique<PixelWorkspace>();
  ASSERT_EQ(fast->engine, LsqEngine::kFast);  // the default
  ASSERT_EQ(fast->fast_fit.kernel, widest_fast_kernel());
  const int32_t band_counts[] = {3, 4, 7, 12, 23, 46, 46, 46, 69};
  int failed_fits = 0, models = 0;
  for (int k = 0; k < 1200; ++k) {
    const int32_t nb = band_counts[rng() % (sizeof band_counts / sizeof band_counts[0])];
    const int32_t npoint = 23 + static_cast<int32_t>(rng() % 46);
    const RunSettings s = random_settings(rng, nb);
    auto x = matrix(nb, npoint, s.nfunc);
    const Pixel px = random_pixel(rng, nb, npoint);
    const ResultBits want = reconstruct(s, *x, px, *literal);
    for (FastKernel kernel : supported_fast_kernels()) {
      fast->fast_fit.kernel = kernel;
      const ResultBits got = reconstruct(s, *x, px, *fast);
      ASSERT_TRUE(got == want) << "pixel " << k << " nb " << nb << " nfunc " << s.nfunc << " mask " << s.mask
                               << " " << kernel_name(kernel);
    }
    if (want.order <= 1) ++failed_fits;
    else ++models;
  }
  EXPECT_GT(failed_fits, 50);
  EXPECT_GT(models, 300);
}

// Full-length series of the largest cube, default settings.
TEST(EngineEquivalence, LongSeries) {
  std::mt19937_64 rng(2718);
  auto literal = std::make_unique<PixelWorkspace>();
  literal->engine = LsqEngine::kLiteral;
  auto fast = std::make_unique<PixelWorkspace>();
  RunSettings s;
  s.nb = 200;
  auto x = matrix(200, 46, 6);
  for (int k = 0; k < 3; ++k) {
    const Pixel px = random_pixel(rng, 200, 46);
    EXPECT_TRUE(reconstruct(s, *x, px, *fast) == reconstruct(s, *x, px, *literal)) << k;
  }
}

// Records longer than the executable's 200 bands, as the library takes them:
// the fast engine (every kernel) against the literal algorithm with storage
// for the whole record, on realistic and degenerate pixels.
enum class PixelShape { kRealistic, kLongGap, kNoData, kConstant, kSpikes };

struct LongPixelCase {
  std::string name;
  int32_t nb;
  int32_t nfunc;  // the literal engine's cost grows fast with it
  PixelShape shape;
  int32_t mask;   // MASK of the run
  int excluded;   // bands excluded
};
void PrintTo(const LongPixelCase& c, std::ostream* os) { *os << c.name; }

Pixel long_pixel(const LongPixelCase& c, std::mt19937_64& rng, int32_t npoint) {
  Pixel px = random_pixel(rng, c.nb, npoint);
  const int16_t kNoDataValue = 32767;  // above the raw ceiling: screened out
  switch (c.shape) {
    case PixelShape::kRealistic:
      break;
    case PixelShape::kLongGap:  // a quarter of the record clouded over in one run
      for (int32_t t = c.nb / 3; t < c.nb / 3 + c.nb / 4; ++t) px.series[t] = 60;
      break;
    case PixelShape::kNoData:  // every band missing (and marked so in the mask)
      px.series.assign(c.nb, kNoDataValue);
      px.weights.assign(c.nb, 0);
      break;
    case PixelShape::kConstant:
      px.series.assign(c.nb, 1234);
      break;
    case PixelShape::kSpikes:  // sudden rises every 13 bands
      for (int32_t t = 5; t < c.nb; t += 13) px.series[t] = static_cast<int16_t>(px.series[t - 1] + 900);
      break;
  }
  return px;
}

class LongPixels : public ::testing::TestWithParam<LongPixelCase> {};

TEST_P(LongPixels, FastEqualsLiteralWithStorageForTheRecord) {
  const LongPixelCase& c = GetParam();
  std::mt19937_64 rng(static_cast<uint64_t>(c.nb) * 7 + static_cast<uint64_t>(c.shape));
  RunSettings s;
  s.nb = c.nb;
  s.nfunc = c.nfunc;
  s.mask = c.mask;
  for (int e = 0; e < c.excluded; ++e) s.excluded.push_back(static_cast<int16_t>(1 + (e * 37) % c.nb));
  auto x = matrix(c.nb, 23, c.nfunc);
  auto literal = std::make_unique<PixelWorkspace>(c.nb);
  literal->engine = LsqEngine::kLiteral;
  auto fast = std::make_unique<PixelWorkspace>(c.nb);
  const Pixel px = long_pixel(c, rng, 23);
  const ResultBits want = reconstruct(s, *x, px, *literal);
  for (FastKernel kernel : supported_fast_kernels()) {
    fast->fast_fit.kernel = kernel;
    EXPECT_TRUE(reconstruct(s, *x, px, *fast) == want) << kernel_name(kernel);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LongPixels,
    ::testing::Values(LongPixelCase{"Steps201Realistic", 201, 6, PixelShape::kRealistic, 0, 0},
                      LongPixelCase{"Steps201Spikes", 201, 6, PixelShape::kSpikes, 0, 3},
                      LongPixelCase{"Steps365Realistic", 365, 4, PixelShape::kRealistic, 1, 0},
                      LongPixelCase{"Steps365LongGap", 365, 4, PixelShape::kLongGap, 0, 0},
                      LongPixelCase{"Steps572Realistic", 572, 3, PixelShape::kRealistic, 0, 5},
                      LongPixelCase{"Steps572Constant", 572, 3, PixelShape::kConstant, 0, 0},
                      LongPixelCase{"Steps1000Realistic", 1000, 2, PixelShape::kRealistic, 0, 0},
                      LongPixelCase{"Steps1000Masked", 1000, 3, PixelShape::kRealistic, 1, 4},
                      LongPixelCase{"Steps1000NoData", 1000, 2, PixelShape::kNoData, 0, 0},
                      LongPixelCase{"Steps365NoDataMasked", 365, 6, PixelShape::kNoData, 1, 0},
                      LongPixelCase{"Steps1000Spikes", 1000, 2, PixelShape::kSpikes, 0, 0}),
    [](const ::testing::TestParamInfo<LongPixelCase>& info) { return info.param.name; });

// A worker's storage carries only the preliminary series from pixel to pixel,
// and each pixel overwrites it (MASK not 1) or it stays zero (MASK = 1): so a
// pixel gives the same result on a fresh workspace as on one that served
// other pixels in any order -- what lets each worker thread have its own.
TEST(EngineEquivalence, WorkspaceHistoryDoesNotMatter) {
  std::mt19937_64 rng(4);
  for (int32_t mask : {0, 1}) {
    for (int32_t intp : {0, 1}) {
      RunSettings s;
      s.mask = mask;
      s.intp = intp;
      auto x = matrix(46, 46, 6);
      std::vector<Pixel> pixels;
      for (int k = 0; k < 12; ++k) pixels.push_back(random_pixel(rng, 46, 46));
      auto shared = std::make_unique<PixelWorkspace>();
      for (size_t k = 0; k < pixels.size(); ++k) {
        auto fresh = std::make_unique<PixelWorkspace>();
        const ResultBits a = reconstruct(s, *x, pixels[k], *shared);
        const ResultBits b = reconstruct(s, *x, pixels[k], *fresh);
        EXPECT_TRUE(a == b) << "mask " << mask << " intp " << intp << " pixel " << k;
      }
    }
  }
}

}  // namespace
}  // namespace tsr
