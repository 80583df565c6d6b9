#include "lsq/select_fit.h"

#include <ostream>
#include <gtest/gtest.h>

#include "support/param_name.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "lsq/fit_common.h"
#include "lsq/fixed_fit.h"
#include "lsq/lsq_test_util.h"
#include "lsq/subsets.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

constexpr uint8_t kUse = 0xFF;

// ---------------------------------------------------------------------------
// Criterion

TEST(Criterion, UsesWidenedSinglePrecisionPi) {
  EXPECT_EQ(bits(kPiSingle), bits(3.1415927410125732));
  EXPECT_EQ(bits(((kPiSingle * 2.0) * 0.1) / 10.0), bits(0.06283185482025147));
}

TEST(Criterion, KnownValue) {
  EXPECT_EQ(bits(information_criterion(10, 0.1, 1)), bits(-7.672930917512112))
      << information_criterion(10, 0.1, 1);
  // With the 8-byte pi the value differs in the eighth significant digit.
  const double with_double_pi = 10.0 * std::log(2.0 * M_PI * 0.1 / 10.0) + 10.0 + 10.0;
  EXPECT_GT(std::fabs(information_criterion(10, 0.1, 1) - with_double_pi), 1e-7);
}

TEST(Criterion, PenaltyOfFourPerPair) {
  for (int pairs = 1; pairs <= 6; ++pairs) {
    EXPECT_EQ(information_criterion(46, 0.02, pairs) - information_criterion(46, 0.02, 1),
              4.0 * (pairs - 1));
  }
}

// ---------------------------------------------------------------------------
// Subset generator

std::vector<std::vector<int32_t>> enumerate(int32_t cap) {
  int32_t subset[kMaxSubsetLength + 1] = {};
  int32_t length = 0;
  std::vector<std::vector<int32_t>> out;
  for (;;) {
    if (!extend_subset(subset, length, cap)) break;
    out.emplace_back(subset + 1, subset + 1 + length);
    if (!advance_subset(subset, length)) break;
  }
  return out;
}

struct SubsetCase {
  int32_t cap;
  std::vector<std::vector<int32_t>> expected;
};
// Test listings name the case, not its bytes.
void PrintTo(const SubsetCase& c, std::ostream* os) { *os << "cap " << c.cap; }

class SubsetOrder : public ::testing::TestWithParam<SubsetCase> {};

TEST_P(SubsetOrder, EnumeratesInOrder) {
  EXPECT_EQ(enumerate(GetParam().cap), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Caps, SubsetOrder,
                         ::testing::Values(SubsetCase{3, {{1, 2, 3}, {1, 3}, {2, 3}, {3}}},
                                           SubsetCase{2, {{1, 2}, {2}}}, SubsetCase{1, {{1}}},
                                           SubsetCase{0, {}}, SubsetCase{-4, {}}),
                         [](const ::testing::TestParamInfo<SubsetCase>& info) {
                           return ::tsr::testing::param_name("cap " + std::to_string(info.param.cap));
                         });

TEST(SubsetOrder, CapSixGivesEverySubsetContainingSix) {
  const auto all = enumerate(6);
  ASSERT_EQ(all.size(), 32u);
  std::set<std::vector<int32_t>> distinct(all.begin(), all.end());
  EXPECT_EQ(distinct.size(), 32u);
  for (const auto& s : all) {
    EXPECT_EQ(s.back(), 6);
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
  }
  // Every prefix of every subset: each non-empty subset of 1..6 at least once.
  std::set<std::vector<int32_t>> prefixes;
  for (const auto& s : all) {
    for (size_t j = 1; j <= s.size(); ++j) prefixes.emplace(s.begin(), s.begin() + j);
  }
  EXPECT_EQ(prefixes.size(), 63u);
}

TEST(SubsetOrder, LengthIsBounded) {
  int32_t subset[kMaxSubsetLength + 1] = {};
  int32_t length = 0;
  EXPECT_FALSE(extend_subset(subset, length, kMaxSubsetLength + 1));
  EXPECT_EQ(length, kMaxSubsetLength);
}

// ---------------------------------------------------------------------------
// Selection fit

struct SelectRun {
  std::vector<double> par;  // 2*nfunc+2 entries
  std::vector<double> yf;
  int32_t cap = 0;
  double crit = 0.0;
};

SelectRun run_select(int32_t nfunc, int32_t cap, const std::vector<double>& y,
                     const std::vector<uint8_t>& use, const FunctionMatrix& x, LsqWorkspace& ws) {
  const int32_t n = static_cast<int32_t>(y.size());
  const int32_t np = 2 * nfunc + 2;
  // par has the two spare entries the fit clears, then a guard entry.
  std::vector<double> par(np + 3, 77.0);
  std::vector<double> yf(n + 1, 77.0);
  SelectRun r;
  r.cap = cap;
  r.crit = 55.0;
  SelectionFitSummary summary{r.cap, r.crit};
  select_and_fit(SelectionFitOptions{nfunc, cap}, FitSeries{n, y.data(), use.data(), &x}, par.data(), yf.data(),
                 &summary, &ws);
  r.cap = summary.cap;
  r.crit = summary.criterion;
  EXPECT_EQ(par[np + 2], 77.0);
  EXPECT_EQ(yf[n], 77.0);
  EXPECT_EQ(bits(par[np]), 0u);
  EXPECT_EQ(bits(par[np + 1]), 0u);
  r.par.assign(par.begin(), par.begin() + np);
  r.yf.assign(yf.begin(), yf.begin() + n);
  return r;
}

// Coefficient vector: constant, trend, then a (sine, cosine) pair for each
// planted harmonic; other harmonics zero.
std::vector<double> planted_coefficients(int32_t nfunc, const std::vector<int>& harmonics, uint64_t seed) {
  lsqtest::Noise rng(seed);
  std::vector<double> coef(2 * nfunc + 2, 0.0);
  coef[0] = 0.5;
  coef[1] = rng.next(0.05);
  for (int h : harmonics) {
    coef[2 * h] = 0.06 + rng.next(0.03);
    coef[2 * h + 1] = -0.05 + rng.next(0.03);
  }
  return coef;
}

struct PlantedCase {
  std::string name;
  std::vector<int> harmonics;
  int32_t nb, nfunc, cap, unused;
  uint64_t seed;
};
// Test listings name the case, not its bytes.
void PrintTo(const PlantedCase& c, std::ostream* os) { *os << c.name; }

class SelectPlanted : public ::testing::TestWithParam<PlantedCase> {};

// A series made of a known harmonic subset plus small noise: the selection
// picks that subset, recovers its coefficients, leaves every other harmonic
// at exactly zero and evaluates the model at the unused samples too.
TEST_P(SelectPlanted, PicksPlantedSubset) {
  const PlantedCase& c = GetParam();
  auto x = lsqtest::make_matrix(c.nb, 46, c.nfunc);
  auto ws = std::make_unique<LsqWorkspace>();
  const std::vector<double> coef = planted_coefficients(c.nfunc, c.harmonics, c.seed);
  std::vector<double> y = lsqtest::make_series(*x, coef, c.nb, 0.002, c.seed + 100);
  std::vector<uint8_t> use(c.nb, kUse);
  lsqtest::Noise pick(c.seed + 200);
  for (int k = 0; k < c.unused; ++k) {
    const int i = static_cast<int>(pick.below(c.nb));
    use[i] = 0;
    y[i] = 0.99;  // never seen by the fit
  }

  SelectRun r = run_select(c.nfunc, c.cap, y, use, *x, *ws);
  EXPECT_EQ(r.cap, c.cap);
  EXPECT_LT(r.crit, kNoCriterion);
  EXPECT_EQ(ws->retained_pairs, static_cast<int32_t>(c.harmonics.size()));
  EXPECT_NEAR(r.par[0], coef[0], 0.01);
  EXPECT_NEAR(r.par[1], coef[1], 0.01);
  for (int h = 1; h <= c.nfunc; ++h) {
    const bool planted = std::find(c.harmonics.begin(), c.harmonics.end(), h) != c.harmonics.end();
    for (int j : {2 * h, 2 * h + 1}) {
      if (planted) {
        EXPECT_NEAR(r.par[j], coef[j], 0.005) << "harmonic " << h;
        EXPECT_NE(r.par[j], 0.0);
      } else {
        EXPECT_EQ(bits(r.par[j]), 0u) << "harmonic " << h << " should be absent, got " << r.par[j];
      }
    }
  }
  for (int t = 1; t <= c.nb; ++t) {
    EXPECT_NEAR(r.yf[t - 1], lsqtest::model_value(*x, coef, t), 0.004) << "t=" << t;
  }
}

// The criterion takes a spurious harmonic pair whenever the noise happens
// to project onto it strongly enough (for one candidate pair, about one
// noise draw in seven); the noise seeds below are draws where it does not.
// SelectPlantedAnySeed covers arbitrary draws.
INSTANTIATE_TEST_SUITE_P(
    Random, SelectPlanted,
    ::testing::Values(
        // Harmonic 3 alone is found in the fourth subset of cap 3.
        PlantedCase{"ThirdAloneCapThree", {3}, 46, 3, 3, 5, 2},
        PlantedCase{"FirstAlone", {1}, 46, 3, 3, 0, 2},
        PlantedCase{"FirstAndSecond", {1, 2}, 46, 6, 4, 8, 1},
        PlantedCase{"SecondAndFourth", {2, 4}, 46, 6, 5, 6, 4},
        PlantedCase{"OneThreeFive", {1, 3, 5}, 46, 6, 6, 4, 16},
        PlantedCase{"AllThree", {1, 2, 3}, 46, 3, 3, 10, 6},
        PlantedCase{"SixthLong", {1, 6}, 200, 6, 6, 30, 3}),
    [](const ::testing::TestParamInfo<PlantedCase>& info) { return info.param.name; });

// Over arbitrary noise draws the planted harmonics are always kept; a
// harmonic that was not planted is either left out (exactly 0.0) or given a
// coefficient of the order of the noise.
TEST(SelectPlantedAnySeed, KeepsPlantedHarmonics) {
  const std::vector<int> planted = {2, 3};
  auto x = lsqtest::make_matrix(46, 46, 6);
  auto ws = std::make_unique<LsqWorkspace>();
  for (uint64_t seed = 1; seed <= 25; ++seed) {
    const std::vector<double> coef = planted_coefficients(6, planted, seed);
    const std::vector<double> y = lsqtest::make_series(*x, coef, 46, 0.002, seed + 500);
    std::vector<uint8_t> use(46, kUse);
    use[seed % 46] = use[(seed * 7) % 46] = 0;
    SelectRun r = run_select(6, 6, y, use, *x, *ws);
    ASSERT_EQ(r.cap, 6) << seed;
    for (int h = 1; h <= 6; ++h) {
      const bool is_planted = h == 2 || h == 3;
      for (int j : {2 * h, 2 * h + 1}) {
        if (is_planted) {
          EXPECT_NEAR(r.par[j], coef[j], 0.003) << "seed " << seed << " harmonic " << h;
        } else {
          EXPECT_LT(std::fabs(r.par[j]), 0.003) << "seed " << seed << " harmonic " << h;
        }
      }
    }
    for (int t = 1; t <= 46; ++t) EXPECT_NEAR(r.yf[t - 1], lsqtest::model_value(*x, coef, t), 0.004);
  }
}

// The triangularised solution agrees with the normal-equation fit of the
// same model.
TEST(SelectFit, AgreesWithFixedOrderFit) {
  auto x = lsqtest::make_matrix(46, 46, 3);
  auto ws = std::make_unique<LsqWorkspace>();
  const std::vector<double> coef = planted_coefficients(3, {1, 2, 3}, 9);
  const std::vector<double> y = lsqtest::make_series(*x, coef, 46, 0.01, 10);
  std::vector<uint8_t> use(46, kUse);
  for (int i = 0; i < 46; i += 7) use[i] = 0;
  SelectRun r = run_select(3, 3, y, use, *x, *ws);
  ASSERT_EQ(ws->retained_pairs, 3);
  std::vector<double> par(8), yf(46);
  fit_fixed_order(3, FitSeries{46, y.data(), use.data(), x.get()}, par.data(), yf.data(), ws.get());
  for (int j = 0; j < 8; ++j) EXPECT_NEAR(r.par[j], par[j], 1e-11) << j;
  for (int i = 0; i < 46; ++i) EXPECT_NEAR(r.yf[i], yf[i], 1e-11) << i;
}

// Two equal scores: the model met first stays. With harmonic 2 a copy of
// harmonic 1, subsets (1,3) and (2,3) are the same model, scored to the bit.
TEST(SelectFit, TieKeepsFirstModel) {
  auto x = lsqtest::make_matrix(46, 46, 3);
  for (int t = 1; t <= 46; ++t) {
    x->at(t, 5) = x->at(t, 3);
    x->at(t, 6) = x->at(t, 4);
  }
  auto ws = std::make_unique<LsqWorkspace>();
  const std::vector<double> coef = {0.5, 0.01, 0.1, 0.05, 0.0, 0.0, 0.08, -0.03};
  const std::vector<double> y = lsqtest::make_series(*x, coef, 46, 0.003, 12);
  SelectRun r = run_select(3, 3, y, std::vector<uint8_t>(46, kUse), *x, *ws);
  ASSERT_EQ(r.cap, 3);
  ASSERT_EQ(ws->retained_pairs, 2);
  EXPECT_EQ(ws->best_subset[1], 1);
  EXPECT_EQ(ws->best_subset[2], 3);
  EXPECT_NEAR(r.par[2], 0.1, 0.005);
  EXPECT_NEAR(r.par[3], 0.05, 0.005);
  EXPECT_EQ(bits(r.par[4]), 0u);
  EXPECT_EQ(bits(r.par[5]), 0u);
  EXPECT_NEAR(r.par[6], 0.08, 0.005);
}

// A curve above 1.0 lowers the cap and repeats the search; the cap handed
// back is that of the accepted attempt, above the highest harmonic it kept.
TEST(SelectFit, OvershootLowersCap) {
  auto x = lsqtest::make_matrix(46, 46, 4);
  auto ws = std::make_unique<LsqWorkspace>();
  // Harmonic 1 peaks at t = 11.5, where the cosine of harmonic 4 peaks too:
  // the full model reaches about 1.03, the model without harmonic 4 0.95.
  const std::vector<double> coef = {0.55, 0.0, 0.4, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.08};
  const std::vector<double> y = lsqtest::make_series(*x, coef, 46, 0.002, 13);
  SelectRun r = run_select(4, 4, y, std::vector<uint8_t>(46, kUse), *x, *ws);
  EXPECT_EQ(r.cap, 3);
  EXPECT_LT(r.crit, kNoCriterion);
  EXPECT_EQ(ws->retained_pairs, 1);
  EXPECT_EQ(ws->best_subset[1], 1);
  EXPECT_NEAR(r.par[2], 0.4, 0.01);
  for (int j = 4; j < 10; ++j) EXPECT_EQ(bits(r.par[j]), 0u) << j;
  for (double f : r.yf) {
    EXPECT_GE(f, 0.0);
    EXPECT_LE(f, 1.0);
  }
  // The same series with the cap already at 3 gives the same result.
  SelectRun direct = run_select(4, 3, y, std::vector<uint8_t>(46, kUse), *x, *ws);
  EXPECT_EQ(direct.cap, 3);
  EXPECT_EQ(bits(direct.crit), bits(r.crit));
  for (int j = 0; j < 10; ++j) EXPECT_EQ(bits(direct.par[j]), bits(r.par[j]));
}

// A trend that leaves [0, 1] only at unused steps still rejects every cap:
// the failure values come out, with the criterion of the cap-1 attempt.
TEST(SelectFit, OvershootAtUnusedStepsEndsInFailure) {
  auto x = lsqtest::make_matrix(46, 46, 3);
  auto ws = std::make_unique<LsqWorkspace>();
  const std::vector<double> coef = {0.1, 0.22, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  const std::vector<double> y = lsqtest::make_series(*x, coef, 46, 0.005, 14);
  std::vector<uint8_t> use(46, kUse);
  for (int i = 36; i < 46; ++i) use[i] = 0;  // the line reaches 1.1 out here
  SelectRun r = run_select(3, 3, y, use, *x, *ws);
  EXPECT_EQ(r.cap, -1);
  for (double p : r.par) EXPECT_EQ(bits(p), 0u);
  for (double f : r.yf) EXPECT_EQ(bits(f), bits(-1.0));

  // The cap-1 attempt scores one model, constant + trend + harmonic 1.
  std::vector<double> par(4), yf(46);
  fit_fixed_order(1, FitSeries{46, y.data(), use.data(), x.get()}, par.data(), yf.data(), ws.get());
  double rss = 0.0;
  for (int i = 0; i < 36; ++i) rss += (y[i] - yf[i]) * (y[i] - yf[i]);
  EXPECT_NEAR(r.crit, information_criterion(36, rss, 1), 1e-8);
}

// A not-a-number anywhere in the fitted curve fails the range test, here at
// an unused step where the function matrix holds one.
TEST(SelectFit, NotANumberInCurveFails) {
  auto x = lsqtest::make_matrix(46, 46, 2);
  x->at(40, 3) = std::numeric_limits<double>::quiet_NaN();
  auto ws = std::make_unique<LsqWorkspace>();
  const std::vector<double> y = lsqtest::make_series(*x, {0.5, 0.0, 0.1, 0.1, 0.0, 0.0}, 46, 0.01, 15);
  std::vector<uint8_t> use(46, kUse);
  use[39] = 0;
  SelectRun r = run_select(2, 2, y, use, *x, *ws);
  EXPECT_EQ(r.cap, -1);
  EXPECT_LT(r.crit, kNoCriterion);
  for (double f : r.yf) EXPECT_EQ(bits(f), bits(-1.0));
}

class SelectNoCap : public ::testing::TestWithParam<int32_t> {};

// A cap below 1 has no attempt to make: failure values straight away.
TEST_P(SelectNoCap, FailureValues) {
  auto x = lsqtest::make_matrix(46, 46, 3);
  auto ws = std::make_unique<LsqWorkspace>();
  const std::vector<double> y = lsqtest::make_series(*x, {0.5, 0.0, 0.1}, 46, 0.01, 16);
  SelectRun r = run_select(3, GetParam(), y, std::vector<uint8_t>(46, kUse), *x, *ws);
  EXPECT_EQ(r.cap, -1);
  EXPECT_EQ(bits(r.crit), bits(9.9e9));
  for (double p : r.par) EXPECT_EQ(bits(p), 0u);
  for (double f : r.yf) EXPECT_EQ(bits(f), bits(-1.0));
}

INSTANTIATE_TEST_SUITE_P(Caps, SelectNoCap, ::testing::Values(0, -1, -30),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return ::tsr::testing::param_name("cap " + std::to_string(info.param));
                         });

struct DegenerateCase {
  std::string name;
  std::vector<double> series;  // cycled over the steps
  std::vector<double> coef;    // when non-empty, the series is this exact model
  int used;                    // number of used samples, spread out
  int32_t cap;
};
// Test listings name the case, not its bytes.
void PrintTo(const DegenerateCase& c, std::ostream* os) { *os << c.name; }

class SelectDegenerate : public ::testing::TestWithParam<DegenerateCase> {};

// Nothing to score: no model is retained, the curve is 0.0 everywhere and
// accepted with the cap unchanged, and the criterion stays 9.9e9.
TEST_P(SelectDegenerate, NoModelRetained) {
  const DegenerateCase& c = GetParam();
  auto x = lsqtest::make_matrix(46, 46, 3);
  auto ws = std::make_unique<LsqWorkspace>();
  std::vector<double> y(46);
  for (int t = 1; t <= 46; ++t) {
    y[t - 1] = c.coef.empty() ? c.series[(t - 1) % c.series.size()] : lsqtest::model_value(*x, c.coef, t);
  }
  std::vector<uint8_t> use(46, 0);
  for (int k = 0; k < c.used; ++k) use[(k * 46) / std::max(c.used, 1)] = kUse;
  SelectRun r = run_select(3, c.cap, y, use, *x, *ws);
  EXPECT_EQ(r.cap, c.cap);
  EXPECT_EQ(bits(r.crit), bits(9.9e9));
  EXPECT_EQ(ws->retained_params, 0);
  for (double p : r.par) EXPECT_EQ(bits(p), 0u);
  for (double f : r.yf) EXPECT_EQ(bits(f), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectDegenerate,
    ::testing::Values(
        DegenerateCase{"NoSampleUsed", {0.3, 0.5}, {}, 0, 3},
        DegenerateCase{"AllZero", {0.0}, {}, 46, 3},
        DegenerateCase{"Constant", {0.4}, {}, 46, 3},
        DegenerateCase{"ConstantFewSamples", {0.4}, {}, 9, 2},
        // Every model contains constant and trend, so each fits this exactly.
        DegenerateCase{"ExactLine", {}, {0.3, 0.05}, 40, 3},
        DegenerateCase{"ExactHarmonicOnly", {}, {0.3, 0.05, 0.1, -0.2}, 46, 1},
        // Three samples for five columns: the residual rows are empty.
        DegenerateCase{"FewerSamplesThanColumns", {0.1, 0.7, 0.2, 0.9}, {}, 3, 1},
        DegenerateCase{"NotANumberInSeries", {0.2, NAN, 0.5}, {}, 46, 2}),
    [](const ::testing::TestParamInfo<DegenerateCase>& info) { return info.param.name; });

// Fewer samples than the larger models need: the fit runs on what the
// reduction leaves and stays within its outputs.
TEST(SelectFit, FewSamplesNeverFail) {
  auto x = lsqtest::make_matrix(46, 46, 6);
  auto ws = std::make_unique<LsqWorkspace>();
  const std::vector<double> y = lsqtest::make_series(*x, planted_coefficients(6, {2}, 17), 46, 0.05, 18);
  for (int used : {1, 2, 4, 5, 6, 8, 11}) {
    std::vector<uint8_t> use(46, 0);
    for (int k = 0; k < used; ++k) use[4 * k + 1] = kUse;
    SelectRun r = run_select(6, 6, y, use, *x, *ws);  // guards are checked inside
    EXPECT_TRUE(r.cap == -1 || (r.cap >= 1 && r.cap <= 6)) << used;
  }
}

// Only bit 0 of a flag counts, and earlier calls leave nothing behind.
TEST(SelectFit, FlagsAndWorkspaceReuse) {
  auto x = lsqtest::make_matrix(200, 46, 6);
  const std::vector<double> y = lsqtest::make_series(*x, planted_coefficients(6, {1, 4}, 19), 46, 0.004, 20);
  std::vector<uint8_t> use(46, kUse), odd(46, 1);
  for (int i = 3; i < 46; i += 6) {
    use[i] = 0;
    odd[i] = 254;
  }
  auto fresh = std::make_unique<LsqWorkspace>();
  SelectRun expected = run_select(6, 5, y, use, *x, *fresh);
  ASSERT_EQ(expected.cap, 5);

  auto reused = std::make_unique<LsqWorkspace>();
  const std::vector<double> other = lsqtest::make_series(*x, planted_coefficients(6, {1, 2, 3, 5}, 21), 200, 0.01, 22);
  run_select(6, 6, other, std::vector<uint8_t>(200, kUse), *x, *reused);
  run_select(6, 3, std::vector<double>(other.begin(), other.begin() + 8), std::vector<uint8_t>(8, kUse), *x, *reused);
  SelectRun again = run_select(6, 5, y, odd, *x, *reused);
  EXPECT_EQ(again.cap, expected.cap);
  EXPECT_EQ(bits(again.crit), bits(expected.crit));
  for (size_t j = 0; j < expected.par.size(); ++j) EXPECT_EQ(bits(again.par[j]), bits(expected.par[j])) << j;
  for (size_t i = 0; i < expected.yf.size(); ++i) EXPECT_EQ(bits(again.yf[i]), bits(expected.yf[i])) << i;
}

}  // namespace
}  // namespace tsr
