#include "lsq/fixed_fit.h"

#include <gtest/gtest.h>

#include "support/param_name.h"

#include <cmath>
#include <vector>

#include "lsq/lsq_test_util.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

constexpr uint8_t kUse = 0xFF;

struct FixedRun {
  std::vector<double> par;
  std::vector<double> yf;
};

FixedRun run_fixed(int32_t n, int32_t nh, const std::vector<double>& y, const std::vector<uint8_t>& use,
                   const FunctionMatrix& x, LsqWorkspace& ws) {
  // One spare entry past each output catches writes beyond the end.
  FixedRun r{std::vector<double>(2 * nh + 3, 99.0), std::vector<double>(n + 1, 99.0)};
  fit_fixed_order(nh, FitSeries{n, y.data(), use.data(), &x}, r.par.data(), r.yf.data(), &ws);
  EXPECT_EQ(r.par.back(), 99.0);
  EXPECT_EQ(r.yf.back(), 99.0);
  r.par.pop_back();
  r.yf.pop_back();
  return r;
}

struct RecoveryCase {
  uint64_t seed;
  int32_t nb, nh, unused;
};

class FixedRecovery : public ::testing::TestWithParam<RecoveryCase> {};

// A series that is exactly a model of the fitted order gives back its
// coefficients, and the fitted series is the model at every step, including
// the samples left out, whatever values those hold.
TEST_P(FixedRecovery, RecoversPlantedModel) {
  const RecoveryCase& c = GetParam();
  auto x = lsqtest::make_matrix(c.nb, 46, 6);
  auto ws = std::make_unique<LsqWorkspace>();
  lsqtest::Noise rng(c.seed);
  const int np = 2 * c.nh + 2;
  std::vector<double> coef(np);
  for (double& v : coef) v = rng.next(0.3);
  std::vector<double> y = lsqtest::make_series(*x, coef, c.nb, 0.0, c.seed);
  std::vector<uint8_t> use(c.nb, kUse);
  for (int k = 0; k < c.unused; ++k) {
    const int i = static_cast<int>(rng.below(c.nb));
    use[i] = (k % 2 == 0) ? 0 : 254;  // bit 0 clear: not used
    y[i] = 5.0 + k;                   // far off the model
  }
  FixedRun r = run_fixed(c.nb, c.nh, y, use, *x, *ws);
  for (int j = 0; j < np; ++j) EXPECT_NEAR(r.par[j], coef[j], 1e-9) << "coefficient " << j + 1;
  for (int t = 1; t <= c.nb; ++t) {
    EXPECT_NEAR(r.yf[t - 1], lsqtest::model_value(*x, coef, t), 1e-10) << "t=" << t;
  }
}

INSTANTIATE_TEST_SUITE_P(Random, FixedRecovery,
                         ::testing::Values(RecoveryCase{1, 46, 3, 10}, RecoveryCase{2, 46, 1, 20},
                                           RecoveryCase{3, 23, 2, 5}, RecoveryCase{4, 200, 6, 60},
                                           RecoveryCase{5, 30, 3, 4}, RecoveryCase{6, 92, 3, 0}),
                         [](const ::testing::TestParamInfo<RecoveryCase>& info) {
                           const RecoveryCase& c = info.param;
                           return ::tsr::testing::param_name("seed " + std::to_string(c.seed) + " nb " +
                                                             std::to_string(c.nb) + " harmonics " +
                                                             std::to_string(c.nh) + " unused " +
                                                             std::to_string(c.unused));
                         });

// Only bit 0 of the flag counts: 1 and 255 take part, 254 and 0 do not.
TEST(FixedFit, UseFlagIsBitZero) {
  auto x = lsqtest::make_matrix(46, 46, 3);
  auto ws = std::make_unique<LsqWorkspace>();
  std::vector<double> y = lsqtest::make_series(*x, {0.4, 0.01, 0.1, -0.05}, 46, 0.02, 11);
  std::vector<uint8_t> canonical(46, kUse), odd(46, 1);
  for (int i = 0; i < 46; i += 5) {
    canonical[i] = 0;
    odd[i] = 254;
  }
  FixedRun a = run_fixed(46, 3, y, canonical, *x, *ws);
  FixedRun b = run_fixed(46, 3, y, odd, *x, *ws);
  ASSERT_EQ(a.par.size(), 8u);
  for (size_t j = 0; j < a.par.size(); ++j) EXPECT_EQ(bits(a.par[j]), bits(b.par[j])) << j;
  for (size_t i = 0; i < a.yf.size(); ++i) EXPECT_EQ(bits(a.yf[i]), bits(b.yf[i])) << i;
  // And the flags matter at all: using every sample changes the fit.
  FixedRun all = run_fixed(46, 3, y, std::vector<uint8_t>(46, kUse), *x, *ws);
  EXPECT_NE(bits(all.par[0]), bits(a.par[0]));
}

// A fit is a function of its inputs alone: earlier calls with other sizes
// leave nothing behind in the workspace.
TEST(FixedFit, WorkspaceReuseIsInvisible) {
  auto x = lsqtest::make_matrix(200, 46, 6);
  std::vector<double> y = lsqtest::make_series(*x, {0.5, 0.02, 0.1, 0.1, 0.05, 0.0, 0.02, -0.01}, 60, 0.03, 5);
  std::vector<uint8_t> use(60, kUse);
  use[7] = 0;
  auto fresh = std::make_unique<LsqWorkspace>();
  FixedRun expected = run_fixed(60, 3, y, use, *x, *fresh);

  auto used = std::make_unique<LsqWorkspace>();
  std::vector<double> other = lsqtest::make_series(*x, std::vector<double>(14, 0.1), 200, 0.1, 6);
  run_fixed(200, 6, other, std::vector<uint8_t>(200, kUse), *x, *used);
  run_fixed(10, 3, other, std::vector<uint8_t>(10, kUse), *x, *used);
  FixedRun again = run_fixed(60, 3, y, use, *x, *used);
  for (size_t j = 0; j < expected.par.size(); ++j) EXPECT_EQ(bits(again.par[j]), bits(expected.par[j]));
  for (size_t i = 0; i < expected.yf.size(); ++i) EXPECT_EQ(bits(again.yf[i]), bits(expected.yf[i]));
}

struct ZeroCase {
  const char* name;
  double value;       // the series is constant
  bool any_used;
};

class FixedZeroOutcome : public ::testing::TestWithParam<ZeroCase> {};

// No used sample, or an all-zero series: the solver has nothing to work on
// and every output is +0.0.
TEST_P(FixedZeroOutcome, AllOutputsPositiveZero) {
  const ZeroCase& c = GetParam();
  auto x = lsqtest::make_matrix(46, 46, 3);
  auto ws = std::make_unique<LsqWorkspace>();
  std::vector<double> y(46, c.value);
  std::vector<uint8_t> use(46, c.any_used ? kUse : 0);
  FixedRun r = run_fixed(46, 3, y, use, *x, *ws);
  for (double p : r.par) EXPECT_EQ(bits(p), 0u) << c.name;
  for (double f : r.yf) EXPECT_EQ(bits(f), 0u) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Degenerate, FixedZeroOutcome,
                         ::testing::Values(ZeroCase{"no sample used", 0.5, false},
                                           ZeroCase{"all-zero series", 0.0, true},
                                           ZeroCase{"all-zero series, none used", 0.0, false}),
                         [](const ::testing::TestParamInfo<ZeroCase>& info) {
                           return ::tsr::testing::param_name(info.param.name);
                         });

TEST(FixedFit, ConstantSeries) {
  auto x = lsqtest::make_matrix(46, 46, 3);
  auto ws = std::make_unique<LsqWorkspace>();
  std::vector<double> y(46, 0.375);
  FixedRun r = run_fixed(46, 3, y, std::vector<uint8_t>(46, kUse), *x, *ws);
  EXPECT_NEAR(r.par[0], 0.375, 1e-12);
  for (int j = 1; j < 8; ++j) EXPECT_NEAR(r.par[j], 0.0, 1e-12) << j;
  for (double f : r.yf) EXPECT_NEAR(f, 0.375, 1e-12);
}

// With fewer harmonics in the matrix than the fit asks for, the missing
// columns are zero: the solver stops at the first all-zero stage and the
// result is the fit of the harmonics that exist, bit for bit.
TEST(FixedFit, MissingHarmonicsGiveTheLowerOrderFit) {
  auto x = lsqtest::make_matrix(46, 46, 1);
  std::vector<double> y = lsqtest::make_series(*x, {0.3, 0.04, 0.2, -0.1}, 46, 0.05, 21);
  std::vector<uint8_t> use(46, kUse);
  use[3] = use[30] = 0;
  auto ws = std::make_unique<LsqWorkspace>();
  FixedRun low = run_fixed(46, 1, y, use, *x, *ws);
  FixedRun high = run_fixed(46, 3, y, use, *x, *ws);
  for (int j = 0; j < 4; ++j) EXPECT_EQ(bits(high.par[j]), bits(low.par[j])) << j;
  for (int j = 4; j < 8; ++j) EXPECT_EQ(bits(high.par[j]), 0u) << j;
  for (int i = 0; i < 46; ++i) EXPECT_EQ(bits(high.yf[i]), bits(low.yf[i])) << i;
}

// Fewer used samples than coefficients: the system is singular, the fit runs
// on the partly reduced block without failing and writes only its outputs.
TEST(FixedFit, FewerSamplesThanCoefficients) {
  auto x = lsqtest::make_matrix(46, 46, 3);
  auto ws = std::make_unique<LsqWorkspace>();
  std::vector<double> y = lsqtest::make_series(*x, {0.3, 0.04, 0.2, -0.1}, 46, 0.05, 8);
  for (int used : {1, 3, 7}) {
    std::vector<uint8_t> use(46, 0);
    for (int k = 0; k < used; ++k) use[5 * k + 2] = kUse;
    FixedRun r = run_fixed(46, 3, y, use, *x, *ws);  // the spare entries are checked there
    EXPECT_EQ(r.par.size(), 8u);
  }
}

}  // namespace
}  // namespace tsr
