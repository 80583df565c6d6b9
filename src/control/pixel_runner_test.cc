// The pixel runner gives every placement of inputs and outputs the bits of a
// direct call of reconstruct_pixel, writes only what it is asked for, and a
// pool of runners gives every pixel the same bits whatever its threads; a
// pixel that reconstruct_pixel refuses is a refusal for the runner's and the
// pool's callers.
#include "control/pixel_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "io/conversions.h"
#include "support/bits.h"
#include "support/job.h"
#include "support/parameters.h"
#include "support/random.h"

namespace tsr {
namespace {

using testing::bits;

constexpr int32_t kNB = 23, kNL = 3, kNS = 4;
constexpr int64_t kPixels = int64_t{kNL} * kNS;
constexpr double kUnwritten = -12345.0;  // what the runner must leave alone

// A run of the test cube with these members of &DATA and &CONTRL.
RunParameters run_of(const std::string& data_group, const std::string& contrl_group, const std::string& bands = "") {
  return testing::parameters_of(testing::ControlFile{kNB, kNL, kNS, data_group, contrl_group, 23, bands}.text());
}

// Everything a pixel's outputs can hold, each series `stride` apart.
struct Outputs {
  explicit Outputs(int64_t stride)
      : stride(stride),
        fitted(kNB * stride, kUnwritten),
        preliminary(kNB * stride, kUnwritten),
        params(kMatrixColumns * stride, kUnwritten),
        stored_fitted(kNB * stride, -7),
        stored_preliminary(kNB * stride, -7),
        stored_params(kMatrixColumns * stride, -7.0f) {}
  PixelOutputs all() {
    PixelOutputs o;
    o.series_stride = o.param_stride = stride;
    o.fitted = fitted.data(), o.preliminary = preliminary.data(), o.params = params.data();
    o.criterion = &criterion, o.order = &order, o.minimum = &minimum, o.maximum = &maximum;
    o.stored_fitted = stored_fitted.data(), o.stored_preliminary = stored_preliminary.data();
    o.stored_params = stored_params.data(), o.stored_order = &stored_order, o.stored_criterion = &stored_criterion;
    return o;
  }
  int64_t stride;
  std::vector<double> fitted, preliminary, params;
  std::vector<int16_t> stored_fitted, stored_preliminary;
  std::vector<float> stored_params;
  double criterion = kUnwritten;
  int16_t order = -7, minimum = -7, maximum = -7;
  int8_t stored_order = -7;
  float stored_criterion = -7.0f;
};

TEST(PixelRunnerTest, EveryPlacementGivesTheBitsOfADirectCall) {
  enum class Mask { kNone, kValues, kBytes };
  struct Case {
    const char* name;
    RunParameters p;
    Mask mask;
    int64_t stride;  // of the inputs and the outputs
  };
  const Case cases[] = {
      {"band-fastest line buffers", run_of("NFUNC=4", "INTP=1"), Mask::kNone, 1},
      {"band-sequential planes", run_of("NFUNC=3", "INTP=1"), Mask::kNone, kPixels},
      {"preliminary not kept", run_of("NFUNC=3, NDEF=1", "INTP=0, FITSW=0", "5\n"), Mask::kNone, 3},
      {"mask values", run_of("NFUNC=2", "MASK=1, INTP=1"), Mask::kValues, 1},
      {"mask bytes in planes", run_of("NFUNC=4", "MASK=1, FITMD=1"), Mask::kBytes, kPixels},
  };
  const std::vector<int16_t> cube = testing::synthetic_cube(kNB, kNL, kNS, 23, 7);
  testing::SplitMix64 rng(11);
  std::vector<int16_t> mask_values(cube.size());
  std::vector<uint8_t> mask_bytes(cube.size());
  for (size_t i = 0; i < cube.size(); ++i) {
    mask_bytes[i] = rng.unit() < 0.2 ? 0 : rng.unit() < 0.9 ? 1 : static_cast<uint8_t>(rng.next() % 256);
    mask_values[i] = mask_bytes[i];
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto x = std::make_unique<FunctionMatrix>();
    build_function_matrix(c.p.NB, c.p.NPOINT, c.p.NFUNC, harmonic_frequencies, *x);
    const PixelRunOptions options{pixel_settings(c.p), x.get(), LsqEngine::kFast};
    auto runner = std::make_unique<PixelRunner>(options);
    // The yardstick: the same pixels, in the same order, staged by hand.
    auto ws = std::make_unique<PixelWorkspace>();
    auto in = std::make_unique<PixelInput>();
    auto want = std::make_unique<PixelResult>();
    for (int64_t k = 0; k < kPixels; ++k) {
      // Pixel k's bands lie `stride` apart from wherever it starts.
      std::vector<int16_t> series(kNB * c.stride, -1), values(kNB * c.stride, -1);
      std::vector<uint8_t> bytes(kNB * c.stride, 0);
      for (int32_t b = 0; b < kNB; ++b) {
        const size_t from = static_cast<size_t>(b * kPixels + k), to = static_cast<size_t>(b * c.stride);
        series[to] = in->series[b] = cube[from];
        values[to] = mask_values[from];
        bytes[to] = mask_bytes[from];
        in->weights[b] = c.mask == Mask::kNone ? int16_t{1} : mask_values[from];
      }
      reconstruct_pixel(options.settings, *x, *in, *want, *ws);
      Outputs got(c.stride);
      ASSERT_TRUE(runner
                      ->run({series.data(), c.mask == Mask::kValues ? values.data() : nullptr,
                             c.mask == Mask::kBytes ? bytes.data() : nullptr, c.stride},
                            got.all())
                      .is_ok());
      for (int64_t i = 0; i < kNB * c.stride; ++i) {
        const size_t b = static_cast<size_t>(i / c.stride);
        const bool placed = i % c.stride == 0;
        ASSERT_EQ(bits(got.fitted[i]), bits(placed ? want->fitted[b] : kUnwritten)) << k << " " << i;
        ASSERT_EQ(bits(got.preliminary[i]), bits(placed ? want->preliminary[b] : kUnwritten)) << k << " " << i;
        ASSERT_EQ(got.stored_fitted[i], placed ? scaled_series_value(want->fitted[b]) : -7) << k << " " << i;
        ASSERT_EQ(got.stored_preliminary[i], placed ? scaled_series_value(want->preliminary[b]) : -7);
      }
      for (int64_t i = 0; i < kMatrixColumns * c.stride; ++i) {
        const size_t j = static_cast<size_t>(i / c.stride);
        const bool placed = i % c.stride == 0 && j < static_cast<size_t>(c.p.NP);
        ASSERT_EQ(bits(got.params[i]), bits(placed ? want->params[j] : kUnwritten)) << k << " " << i;
        ASSERT_EQ(bits(got.stored_params[i]), bits(placed ? real4_value(want->params[j]) : -7.0f)) << k << " " << i;
      }
      ASSERT_EQ(bits(got.criterion), bits(want->criterion));
      ASSERT_EQ(got.order, static_cast<int16_t>(want->order));
      ASSERT_EQ(got.minimum, static_cast<int16_t>(want->minimum));
      ASSERT_EQ(got.maximum, static_cast<int16_t>(want->maximum));
      ASSERT_EQ(got.stored_order, static_cast<int8_t>(order_byte(static_cast<int16_t>(want->order))));
      ASSERT_EQ(bits(got.stored_criterion), bits(aic_value(want->criterion)));
      // What the runner staged and kept is there for reports.
      ASSERT_EQ(bits(runner->workspace().work[kNB - 1]), bits(ws->work[kNB - 1]));
      ASSERT_EQ(runner->input().weights[0], in->weights[0]);
    }
  }
}

TEST(PixelPoolTest, ThreadsChangeNoBitAndAStopEndsTheTask) {
  const RunParameters p = run_of("NFUNC=4", "INTP=1");
  const std::vector<int16_t> cube = testing::synthetic_cube(kNB, kNL, kNS, 23, 3);
  auto x = std::make_unique<FunctionMatrix>();
  build_function_matrix(p.NB, p.NPOINT, p.NFUNC, harmonic_frequencies, *x);
  const PixelRunOptions options{pixel_settings(p), x.get(), LsqEngine::kLiteral};
  // Every pixel's fitted series into its place of band-sequential planes.
  const auto fitted_planes = [&](PixelPool& pool, const WorkerPool::StopCheck& stop, bool* done) {
    std::vector<int16_t> planes(cube.size(), -7);
    *done = pool.run(
        kPixels,
        [&](int64_t k, PixelSource& source, PixelOutputs& outputs) {
          source = {cube.data() + k, nullptr, nullptr, kPixels};
          outputs.series_stride = kPixels;
          outputs.stored_fitted = planes.data() + k;
        },
        stop);
    return planes;
  };
  bool done = false;
  PixelPool one(options, 1), three(options, 3);
  const std::vector<int16_t> alone = fitted_planes(one, {}, &done);
  EXPECT_TRUE(done);
  EXPECT_EQ(std::count(alone.begin(), alone.end(), -7), 0);
  EXPECT_EQ(fitted_planes(three, {}, &done), alone);
  EXPECT_TRUE(done);
  // Asked before every pixel the calling thread takes: alone it takes none.
  const std::vector<int16_t> stopped = fitted_planes(one, [] { return true; }, &done);
  EXPECT_FALSE(done);
  EXPECT_EQ(stopped, std::vector<int16_t>(cube.size(), -7));
}

TEST(PixelRunnerTest, ARefusedPixelIsTheCallersRefusal) {
  struct Case {
    const char* name;
    int32_t matrix_rows;
    std::vector<int32_t> excluded;
    const char* text;
  };
  const Case cases[] = {
      {"more bands than the matrix holds", 20, {}, "23 bands (its storage holds 20)"},
      {"an excluded band beyond the bands", kNB, {3, 24}, "2 excluded bands (each within 1..23)"},
  };
  const RunParameters p = run_of("NFUNC=4", "INTP=1");
  const std::vector<int16_t> cube = testing::synthetic_cube(kNB, kNL, kNS, 23, 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto x = std::make_unique<FunctionMatrix>(c.matrix_rows);
    build_function_matrix(std::min(p.NB, c.matrix_rows), p.NPOINT, p.NFUNC, harmonic_frequencies, *x);
    PixelRunOptions options{pixel_settings(p), x.get(), LsqEngine::kFast};
    if (!c.excluded.empty()) options.settings.excluded_bands = c.excluded;
    auto runner = std::make_unique<PixelRunner>(options);
    Outputs got(1);
    const Status refused = runner->run({cube.data(), nullptr, nullptr, kPixels}, got.all());
    EXPECT_EQ(refused.code(), Status::Code::kRefused);
    EXPECT_NE(refused.text().find(c.text), std::string::npos) << refused.text();
    EXPECT_EQ(got.fitted, std::vector<double>(got.fitted.size(), kUnwritten));
    EXPECT_EQ(got.stored_params, std::vector<float>(got.stored_params.size(), -7.0f));
    EXPECT_EQ(got.order, -7);
    // A pool ends its task at the refusal; alone it places no other pixel.
    for (const int threads : {1, 3}) {
      PixelPool pool(options, threads);
      std::atomic<int> placed{0};
      const bool done = pool.run(kPixels, [&](int64_t k, PixelSource& source, PixelOutputs&) {
        ++placed;
        source = {cube.data() + k, nullptr, nullptr, kPixels};
      });
      EXPECT_FALSE(done);
      EXPECT_EQ(pool.refusal(), refused);
      if (threads == 1) {
        EXPECT_EQ(placed.load(), 1);
      }
    }
  }
}

}  // namespace
}  // namespace tsr
