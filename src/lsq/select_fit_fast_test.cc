#include "lsq/select_fit_fast.h"

#include <ostream>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "lsq/lsq_test_util.h"
#include "lsq/select_fit.h"
#include "support/kernels.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;
using ::tsr::testing::kernel_name;
using ::tsr::testing::supported_fast_kernels;

constexpr uint8_t kUse = 0xFF;

// One fit's inputs.
struct Problem {
  std::shared_ptr<FunctionMatrix> x;
  int32_t nfunc = 6;
  int32_t cap = 6;
  std::vector<double> y;
  std::vector<uint8_t> use;
};

// One fit's outputs, as bit patterns.
struct Outcome {
  std::vector<uint64_t> par;
  std::vector<uint64_t> yf;
  int32_t cap = 0;
  uint64_t crit = 0;
  // The retained model of the last attempt: harmonic pairs, the harmonics of
  // its subset, and the inverted block and right-hand side that the solve
  // read (signs of zeros included, which the outputs cannot show).
  int32_t pairs = 0;
  std::vector<int32_t> harmonics;
  std::vector<uint64_t> block;
  std::vector<uint64_t> rhs;
};

template <typename Workspace>
void take_retained(const Workspace& w, Outcome& o) {
  o.pairs = w.retained_pairs;
  const int32_t np = w.retained_params;
  for (int32_t k = 1; k <= w.retained_pairs; ++k) o.harmonics.push_back(w.best_subset[k]);
  for (int32_t r = 0; r < np; ++r) {
    for (int32_t p = 0; p < np; ++p) o.block.push_back(bits(w.retained_block[r * kSolverDim + p]));
    o.rhs.push_back(bits(w.retained_rhs[r]));
  }
}

// The literal engine, or the fast one on a given kernel.
struct Engine {
  bool literal = false;
  FastKernel kernel = FastKernel::kSse2;
  std::string name() const { return literal ? "literal" : kernel_name(kernel); }
};
const Engine kLiteral{true};

Outcome run(const Engine& engine, const Problem& p, LsqWorkspace& ws, FastFitWorkspace& fw) {
  const int32_t n = static_cast<int32_t>(p.y.size());
  const int32_t np = 2 * p.nfunc + 2;
  // Room for the parameters of the highest harmonic a cap may reach, with a
  // marker in every entry the fit need not write.
  std::vector<double> par(std::max(np + 2, 2 * std::max(p.cap, 0) + 2) + 1, 77.0);
  std::vector<double> yf(n + 1, 77.0);
  Outcome o;
  SelectionFitSummary summary{-9, 55.0};
  const SelectionFitOptions options{p.nfunc, p.cap};
  const FitSeries series{n, p.y.data(), p.use.data(), p.x.get()};
  if (engine.literal) {
    select_and_fit(options, series, par.data(), yf.data(), &summary, &ws);
    take_retained(ws, o);
  } else {
    fw.kernel = engine.kernel;
    select_and_fit_fast(options, series, par.data(), yf.data(), &summary, &ws, &fw);
    if (fast_fit_applies(series, p.cap)) {
      take_retained(fw, o);
    } else {
      take_retained(ws, o);
    }
  }
  for (double v : par) o.par.push_back(bits(v));
  for (double v : yf) o.yf.push_back(bits(v));
  o.cap = summary.cap;
  o.crit = bits(summary.criterion);
  return o;
}

// What the equivalence runs went through, so that the tests can check that
// the cases reach every branch they are meant to.
struct Coverage {
  int accepted_first = 0;  // accepted at the cap handed in
  int lowered = 0;         // accepted after at least one rejection
  int failed = 0;          // every cap rejected
  int no_model = 0;        // nothing scored (criterion 9.9e9), accepted
  int handed_over = 0;     // computed by the literal engine
};

// Runs the literal engine and the fast one (every kernel the processor runs)
// on p and expects the same bits everywhere.
void expect_same(const Problem& p, LsqWorkspace& ws, FastFitWorkspace& fw, const std::string& label,
                 Coverage* cov = nullptr) {
  const Outcome lit = run(kLiteral, p, ws, fw);
  for (FastKernel k : supported_fast_kernels()) {
    const Outcome f = run(Engine{false, k}, p, ws, fw);
    const std::string where = label + " (" + kernel_name(k) + ")";
    ASSERT_EQ(f.cap, lit.cap) << where;
    ASSERT_EQ(f.crit, lit.crit) << where;
    for (size_t j = 0; j < lit.par.size(); ++j) ASSERT_EQ(f.par[j], lit.par[j]) << where << " par " << j;
    for (size_t i = 0; i < lit.yf.size(); ++i) ASSERT_EQ(f.yf[i], lit.yf[i]) << where << " yf " << i;
    ASSERT_EQ(f.pairs, lit.pairs) << where;
    ASSERT_EQ(f.harmonics, lit.harmonics) << where;
    ASSERT_EQ(f.rhs, lit.rhs) << where;
    ASSERT_EQ(f.block, lit.block) << where;
  }
  if (cov == nullptr) return;
  const int32_t n = static_cast<int32_t>(p.y.size());
  if (!fast_fit_applies(FitSeries{n, p.y.data(), p.use.data(), p.x.get()}, p.cap)) ++cov->handed_over;
  if (lit.cap == -1) {
    ++cov->failed;
  } else if (lit.cap == p.cap) {
    ++cov->accepted_first;
  } else {
    ++cov->lowered;
  }
  if (lit.cap != -1 && lit.crit == bits(kNoCriterion)) ++cov->no_model;
}

std::shared_ptr<FunctionMatrix> function_matrix(int32_t nb, int32_t npoint, int32_t nfunc) {
  auto x = std::make_shared<FunctionMatrix>(std::max(nb, kMaxBands));
  build_function_matrix(nb, npoint, nfunc, harmonic_frequencies, *x);
  return x;
}

// A realistic series: a seasonal curve from random coefficients, noise, cloud
// dips and spikes, some samples left out of the fit. `swing` scales the
// harmonics; large swings push the fitted curve out of [0, 1].
Problem seasonal(lsqtest::Noise& rng, int32_t nb, int32_t nfunc, double swing, double drop) {
  Problem p;
  p.nfunc = nfunc;
  p.cap = nfunc;
  p.x = function_matrix(nb, 20 + static_cast<int32_t>(rng.below(60)), nfunc);
  std::vector<double> coef(2 * nfunc + 2, 0.0);
  coef[0] = 0.45 + rng.next(0.2);
  coef[1] = rng.next(0.02);
  for (int32_t h = 1; h <= nfunc; ++h) {
    if (rng.below(3) == 0) continue;
    coef[2 * h] = rng.next(swing) / h;
    coef[2 * h + 1] = rng.next(swing) / h;
  }
  p.y.resize(nb);
  p.use.assign(nb, kUse);
  for (int32_t t = 1; t <= nb; ++t) {
    double v = lsqtest::model_value(*p.x, coef, t) + rng.next(0.02);
    if (rng.below(8) == 0) v = 0.05 + rng.next(0.04);  // cloud
    if (rng.below(40) == 0) v = 1.2;                    // spike
    p.y[t - 1] = v;
    const double u = 0.5 + rng.next(0.5);
    if (u < drop) p.use[t - 1] = rng.below(2) == 0 ? 0 : 254;  // bit 0 clear: not used
    else if (rng.below(5) == 0) p.use[t - 1] = 1;              // bit 0 set: used
  }
  return p;
}

// Thousands of realistic series over the band counts, caps and sample
// densities of real runs, including swings that lower the cap or fail.
TEST(FastSelectEquivalence, RealisticSeries) {
  auto ws = std::make_unique<LsqWorkspace>();
  auto fw = std::make_unique<FastFitWorkspace>();
  lsqtest::Noise rng(20240611);
  Coverage cov;
  const int32_t band_counts[] = {3, 5, 8, 12, 17, 23, 30, 46, 46, 46, 60, 92};
  for (int k = 0; k < 2400; ++k) {
    const int32_t nb = band_counts[rng.below(sizeof band_counts / sizeof band_counts[0])];
    const int32_t nfunc = 1 + static_cast<int32_t>(rng.below(6));
    const double swing = 0.1 + 0.9 * static_cast<double>(rng.below(4)) / 3.0;
    const double drop = static_cast<double>(rng.below(10)) / 10.0;
    Problem p = seasonal(rng, nb, nfunc, swing, drop);
    p.cap = 1 + static_cast<int32_t>(rng.below(static_cast<uint64_t>(nfunc)));
    expect_same(p, *ws, *fw, "series " + std::to_string(k), &cov);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(cov.accepted_first, 100);
  EXPECT_GT(cov.lowered, 100);
  EXPECT_GT(cov.failed, 100);
  EXPECT_GT(cov.no_model, 0);
}

// A few full-length series (200 bands), where the literal engine is slow.
TEST(FastSelectEquivalence, LongSeries) {
  auto ws = std::make_unique<LsqWorkspace>();
  auto fw = std::make_unique<FastFitWorkspace>();
  lsqtest::Noise rng(77);
  for (int k = 0; k < 4; ++k) {
    Problem p = seasonal(rng, 200, 6, k < 2 ? 0.2 : 0.8, 0.1 * k);
    expect_same(p, *ws, *fw, "long " + std::to_string(k));
    if (HasFatalFailure()) return;
  }
}

// ---------------------------------------------------------------------------
// Records longer than the executable's 200 bands

enum class RecordShape { kSeasonal, kGaps, kNoData, kFewSamples, kConstant, kSpikes };

struct LongRecordCase {
  std::string name;
  int32_t nb;
  int32_t cap;       // also the run's nfunc; the literal engine's cost grows fast with it
  RecordShape shape;
  int32_t capacity;  // of both workspaces; the matrix holds nb rows
};
void PrintTo(const LongRecordCase& c, std::ostream* os) { *os << c.name; }

Problem long_record(const LongRecordCase& c) {
  lsqtest::Noise rng(static_cast<uint64_t>(c.nb) * 131 + static_cast<uint64_t>(c.shape));
  Problem p = seasonal(rng, c.nb, c.cap, 0.3, 0.1);
  switch (c.shape) {
    case RecordShape::kSeasonal:
      break;
    case RecordShape::kGaps:  // three long runs without a used sample
      for (int32_t g = 1; g <= 3; ++g) {
        const int32_t start = g * c.nb / 4 - 20;
        for (int32_t t = start; t < start + 15 * g; ++t) p.use[t] = 0;
      }
      break;
    case RecordShape::kNoData:
      p.use.assign(c.nb, 0);
      break;
    case RecordShape::kFewSamples:  // fewer used samples than model columns
      p.use.assign(c.nb, 0);
      for (int32_t k = 0; k < 2 * c.cap + 1; ++k) p.use[(k * c.nb) / (2 * c.cap + 1)] = kUse;
      break;
    case RecordShape::kConstant:
      p.y.assign(c.nb, 0.375);
      break;
    case RecordShape::kSpikes:
      for (int32_t t = 0; t < c.nb; t += 17) p.y[t] = t % 2 == 0 ? 3.5 : -2.0;
      break;
  }
  return p;
}

class LongRecords : public ::testing::TestWithParam<LongRecordCase> {};

// Series of any length: the fast engine on every kernel gives the bits of the
// literal algorithm with storage of the same capacity; and a series longer
// than the capacity is cut to it by both.
TEST_P(LongRecords, SameBitsAsLiteralAtThatCapacity) {
  const LongRecordCase& c = GetParam();
  const Problem p = long_record(c);
  auto ws = std::make_unique<LsqWorkspace>(c.capacity);
  auto fw = std::make_unique<FastFitWorkspace>(c.capacity);
  ASSERT_EQ(fw->capacity(), c.capacity);
  ASSERT_EQ(ws->capacity(), c.capacity);
  expect_same(p, *ws, *fw, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LongRecords,
    ::testing::Values(LongRecordCase{"Steps201Seasonal", 201, 6, RecordShape::kSeasonal, 201},
                      LongRecordCase{"Steps201Gaps", 201, 6, RecordShape::kGaps, 201},
                      LongRecordCase{"Steps365Seasonal", 365, 4, RecordShape::kSeasonal, 365},
                      LongRecordCase{"Steps365Spikes", 365, 4, RecordShape::kSpikes, 365},
                      LongRecordCase{"Steps572Seasonal", 572, 3, RecordShape::kSeasonal, 572},
                      LongRecordCase{"Steps572Constant", 572, 3, RecordShape::kConstant, 572},
                      LongRecordCase{"Steps572FewSamples", 572, 6, RecordShape::kFewSamples, 572},
                      LongRecordCase{"Steps1000Seasonal", 1000, 2, RecordShape::kSeasonal, 1000},
                      LongRecordCase{"Steps1000Gaps", 1000, 3, RecordShape::kGaps, 1000},
                      LongRecordCase{"Steps1000NoData", 1000, 6, RecordShape::kNoData, 1000},
                      LongRecordCase{"Steps1000CutTo572", 1000, 2, RecordShape::kSpikes, 572},
                      LongRecordCase{"Steps46InLargeStorage", 46, 6, RecordShape::kSeasonal, 1000}),
    [](const ::testing::TestParamInfo<LongRecordCase>& info) { return info.param.name; });

// The capacity of the storage changes nothing for a series it holds: the
// same bits from the executable's storage and from storage for 1000 steps.
TEST(FastSelect, LargerStorageSameBits) {
  lsqtest::Noise rng(12);
  auto ws = std::make_unique<LsqWorkspace>();
  auto fw = std::make_unique<FastFitWorkspace>();
  auto large_ws = std::make_unique<LsqWorkspace>(1000);
  auto large_fw = std::make_unique<FastFitWorkspace>(1000);
  for (int32_t nb : {23, 46, 200}) {
    const Problem p = seasonal(rng, nb, 6, 0.3, 0.2);
    for (const Engine& e : {kLiteral, Engine{false, widest_fast_kernel()}}) {
      const Outcome small = run(e, p, *ws, *fw);
      const Outcome large = run(e, p, *large_ws, *large_fw);
      EXPECT_EQ(large.par, small.par) << nb << " " << e.name();
      EXPECT_EQ(large.yf, small.yf) << nb << " " << e.name();
      EXPECT_EQ(large.block, small.block) << nb << " " << e.name();
      EXPECT_EQ(large.crit, small.crit) << nb << " " << e.name();
    }
  }
}

// Arbitrary matrices: random entries with exact zeros, negative zeros,
// repeated and empty columns (reflections that change nothing, in the middle
// of a subset), caps beyond the run's NFUNC and up to the fast engine's limit.
TEST(FastSelectEquivalence, ArbitraryMatrices) {
  auto ws = std::make_unique<LsqWorkspace>();
  auto fw = std::make_unique<FastFitWorkspace>();
  lsqtest::Noise rng(4242);
  Coverage cov;
  for (int k = 0; k < 1500; ++k) {
    Problem p;
    // Caps above the run's limit of 6 make the literal engine slow: keep
    // those few and short.
    const bool high = k % 10 == 0;
    const int32_t nb = 1 + static_cast<int32_t>(rng.below(high ? 12 : 40));
    p.cap = high ? 7 + static_cast<int32_t>(rng.below(kFastMaxCap - 6)) : 1 + static_cast<int32_t>(rng.below(6));
    p.nfunc = std::max<int32_t>(p.cap, 1 + static_cast<int32_t>(rng.below(kFastMaxCap)));
    p.x = std::make_shared<FunctionMatrix>();
    const int32_t columns = 2 * p.cap + 2;
    for (int32_t c = 1; c <= columns; ++c) {
      const uint64_t kind = rng.below(10);
      for (int32_t t = 1; t <= nb; ++t) {
        double v = rng.next(1.0);
        const uint64_t cell = rng.below(12);
        if (cell == 0) v = 0.0;
        if (cell == 1) v = -0.0;
        if (kind == 0) v = 0.0;                                  // empty column
        if (kind == 1 && c > 1) v = p.x->at(t, c - 1);           // repeated column
        if (kind == 2) v = -0.0;                                 // negative zeros
        if (kind == 3 && c > 2) v = p.x->at(t, 1) - p.x->at(t, 2);  // dependent column
        p.x->at(t, c) = v;
      }
    }
    p.y.resize(nb);
    p.use.assign(nb, kUse);
    const uint64_t series_kind = rng.below(8);
    for (int32_t t = 1; t <= nb; ++t) {
      double v = 0.5 + rng.next(0.5);
      if (series_kind == 0) v = -0.0;
      if (series_kind == 1) v = 0.25;
      if (series_kind == 2 && rng.below(3) == 0) v = -0.0;
      if (series_kind == 3) v = p.x->at(t, 3 + static_cast<int32_t>(rng.below(2 * p.cap)));  // exact column
      p.y[t - 1] = v;
      if (rng.below(4) == 0) p.use[t - 1] = 0;
    }
    expect_same(p, *ws, *fw, "matrix " + std::to_string(k), &cov);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(cov.accepted_first, 50);
  EXPECT_GT(cov.lowered, 10);
  EXPECT_GT(cov.failed, 50);
  EXPECT_GT(cov.no_model, 10);
}

// Short, nearly triangular matrices full of zeros of both signs: many
// reflections change nothing (their column has no length below the pivot),
// so negative zeros of the input survive into the retained block exactly when
// no step normalises them. Only such cases show whether the fast engine
// normalises the block rows the way the literal's reflections do.
TEST(FastSelectEquivalence, TriangularMatrices) {
  auto ws = std::make_unique<LsqWorkspace>();
  auto fw = std::make_unique<FastFitWorkspace>();
  lsqtest::Noise rng(99);
  Coverage cov;
  for (int k = 0; k < 3000; ++k) {
    Problem p;
    p.cap = 1 + static_cast<int32_t>(rng.below(4));
    p.nfunc = p.cap;
    const int32_t nb = 1 + static_cast<int32_t>(rng.below(2 * p.cap + 5));
    p.x = std::make_shared<FunctionMatrix>();
    auto entry = [&rng]() {
      const uint64_t r = rng.below(10);
      if (r < 3) return 0.0;
      if (r < 6) return -0.0;
      return rng.next(1.0);
    };
    for (int32_t c = 1; c <= 2 * p.cap + 2; ++c) {
      // Below the diagonal: zero (no reflection) or, now and then, a value.
      const bool empty_below = rng.below(3) != 0;
      for (int32_t t = 1; t <= nb; ++t) {
        p.x->at(t, c) = (t >= c && empty_below) ? (rng.below(2) == 0 ? 0.0 : -0.0) : entry();
      }
    }
    p.y.resize(nb);
    p.use.assign(nb, kUse);
    for (int32_t t = 1; t <= nb; ++t) {
      p.y[t - 1] = entry();
      if (rng.below(8) == 0) p.use[t - 1] = 0;
    }
    expect_same(p, *ws, *fw, "triangular " + std::to_string(k), &cov);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(cov.accepted_first, 100);
  EXPECT_GT(cov.no_model, 100);
}

struct EdgeCase {
  std::string name;
  int32_t nb;
  int32_t nfunc;
  int32_t cap;
  std::vector<double> series;  // cycled over the bands
  int used;                    // used samples, spread out (-1: all)
  bool handed_over;            // the literal engine computes it
};
// Test listings name the case, not its bytes.
void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.name; }

class FastSelectEdges : public ::testing::TestWithParam<EdgeCase> {};

// Degenerate series and inputs outside the fast engine's ground: the same bits
// either way, and the hand-over happens exactly where it should.
TEST_P(FastSelectEdges, SameBits) {
  const EdgeCase& c = GetParam();
  Problem p;
  p.nfunc = c.nfunc;
  p.cap = c.cap;
  p.x = function_matrix(c.nb, 46, std::min(c.nfunc, kMaxHarmonics));
  p.y.resize(c.nb);
  p.use.assign(c.nb, c.used < 0 ? kUse : 0);
  for (int32_t t = 1; t <= c.nb; ++t) p.y[t - 1] = c.series[(t - 1) % c.series.size()];
  for (int k = 0; k < c.used; ++k) p.use[(k * c.nb) / c.used] = kUse;
  auto ws = std::make_unique<LsqWorkspace>();
  auto fw = std::make_unique<FastFitWorkspace>();
  EXPECT_EQ(fast_fit_applies(FitSeries{c.nb, p.y.data(), p.use.data(), p.x.get()}, p.cap), !c.handed_over);
  expect_same(p, *ws, *fw, c.name);
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, FastSelectEdges,
    ::testing::Values(
        EdgeCase{"NoSampleUsed", 46, 6, 6, {0.3, 0.5}, 0, false},
        EdgeCase{"OneSample", 46, 6, 6, {0.3, 0.5}, 1, false},
        EdgeCase{"FewerSamplesThanColumns", 46, 6, 6, {0.1, 0.7, 0.2, 0.9}, 9, false},
        EdgeCase{"AllZero", 46, 6, 6, {0.0}, -1, false},
        EdgeCase{"AllNegativeZero", 46, 6, 6, {-0.0}, -1, false},
        EdgeCase{"Constant", 46, 6, 6, {0.4}, -1, false},
        EdgeCase{"TwoValues", 23, 6, 6, {0.4, 0.6}, -1, false},
        EdgeCase{"ThreeBands", 3, 6, 6, {0.2, 0.3, 0.1}, -1, false},
        EdgeCase{"OutOfRangeEverywhere", 46, 6, 6, {1.4, -0.5, 2.0}, -1, false},
        EdgeCase{"CapAboveMatrixColumns", 46, 8, 8, {0.2, 0.5, 0.4, 0.3, 0.6}, -1, false},
        EdgeCase{"NaNInUsedSample", 46, 6, 6, {0.2, kNaN, 0.5}, -1, true},
        EdgeCase{"NaNInUnusedSampleOnly", 46, 6, 6, {kNaN, 0.3, 0.4, 0.5}, 0, false},
        EdgeCase{"Infinity", 46, 6, 4, {0.2, kInf, 0.5}, -1, true},
        EdgeCase{"NegativeInfinity", 46, 6, 4, {-kInf, 0.5}, -1, true},
        EdgeCase{"Huge", 46, 6, 6, {0.2, 1.0e200, 0.5}, -1, true},
        EdgeCase{"LargeButSafe", 46, 6, 6, {0.2, 1.0e100, 0.5}, -1, false},
        EdgeCase{"Tiny", 46, 6, 6, {1.0e-200, 3.0e-300, 0.0}, -1, false},
        EdgeCase{"CapAboveFastLimit", 12, 9, 9, {0.2, 0.5, 0.4}, -1, true},
        EdgeCase{"CapZero", 46, 6, 0, {0.2, 0.5}, -1, true},
        EdgeCase{"CapNegative", 46, 6, -3, {0.2, 0.5}, -1, true}),
    [](const ::testing::TestParamInfo<EdgeCase>& info) { return info.param.name; });

// The hand-over looks only at what the fast engine would read: the used
// samples (bit 0 of the flag) of the series and of the columns up to the cap.
TEST(FastSelect, HandOverLooksOnlyAtUsedSamples) {
  auto x = function_matrix(10, 46, 3);
  std::vector<double> y(10, 0.5);
  std::vector<uint8_t> use(10, kUse);
  const FitSeries series{10, y.data(), use.data(), x.get()};
  y[4] = kNaN;
  use[4] = 254;
  EXPECT_TRUE(fast_fit_applies(series, 3));
  use[4] = 1;
  EXPECT_FALSE(fast_fit_applies(series, 3));
  use[4] = 0;
  x->at(2, 9) = kInf;  // column 9 belongs to harmonic 4, past the cap of 3
  EXPECT_TRUE(fast_fit_applies(series, 3));
  EXPECT_FALSE(fast_fit_applies(series, 4));
}

// The workspace carries nothing from one call to the next: a fit gives the
// same bits on a fresh workspace and on one that served larger fits before.
TEST(FastSelect, WorkspaceReuse) {
  lsqtest::Noise rng(5);
  Problem big = seasonal(rng, 200, 6, 0.3, 0.0);
  Problem small = seasonal(rng, 17, 4, 0.3, 0.3);
  auto ws = std::make_unique<LsqWorkspace>();
  auto fresh = std::make_unique<FastFitWorkspace>();
  auto reused = std::make_unique<FastFitWorkspace>();
  const Engine fast{false, widest_fast_kernel()};
  const Outcome expected = run(fast, small, *ws, *fresh);
  run(fast, big, *ws, *reused);
  const Outcome again = run(fast, small, *ws, *reused);
  EXPECT_EQ(again.par, expected.par);
  EXPECT_EQ(again.yf, expected.yf);
  EXPECT_EQ(again.cap, expected.cap);
  EXPECT_EQ(again.crit, expected.crit);
}

// ---------------------------------------------------------------------------
// Acceptance boundary

struct BoundaryCase {
  std::string name;
  double first, second;  // the fitted curve at steps 1 and 2
  bool accepted;
};
// Test listings name the case, not its bytes.
void PrintTo(const BoundaryCase& c, std::ostream* os) { *os << c.name; }

class AcceptanceBoundary : public ::testing::TestWithParam<BoundaryCase> {};

// A fitted curve is accepted when it lies within [0, 1], both ends included.
// With unit vectors as the four basis columns every reflection, the solve and
// the curve are exact: the curve is the series itself at steps 1..4 and
// exactly 0.0 at the other four, so its extremes can be placed on the bounds
// or one ulp beyond them. A rejection at cap 1 ends in the failure values.
TEST_P(AcceptanceBoundary, BothEngines) {
  const BoundaryCase& c = GetParam();
  Problem p;
  p.nfunc = 1;
  p.cap = 1;
  p.x = std::make_shared<FunctionMatrix>();
  for (int32_t j = 1; j <= 4; ++j) p.x->at(j, j) = 1.0;
  p.y = {c.first, c.second, 0.25, 0.125, 0.5, 0.25, 0.75, 0.5};
  p.use.assign(8, kUse);
  ASSERT_TRUE(fast_fit_applies(FitSeries{8, p.y.data(), p.use.data(), p.x.get()}, p.cap));
  const std::vector<double> curve = {c.first, c.second, 0.25, 0.125, 0.0, 0.0, 0.0, 0.0};
  auto ws = std::make_unique<LsqWorkspace>();
  auto fw = std::make_unique<FastFitWorkspace>();
  std::vector<Engine> engines = {kLiteral};
  for (FastKernel k : supported_fast_kernels()) engines.push_back(Engine{false, k});
  for (const Engine& e : engines) {
    const Outcome o = run(e, p, *ws, *fw);
    const std::string where = c.name + " (" + e.name() + ")";
    EXPECT_EQ(o.cap, c.accepted ? 1 : -1) << where;
    for (size_t i = 0; i < curve.size(); ++i) {
      EXPECT_EQ(o.yf[i], bits(c.accepted ? curve[i] : -1.0)) << where << " step " << i + 1;
    }
  }
}

const double kSmallest = std::numeric_limits<double>::denorm_min();

INSTANTIATE_TEST_SUITE_P(
    Cases, AcceptanceBoundary,
    ::testing::Values(BoundaryCase{"MaximumOneMinimumZero", 1.0, 0.5, true},
                      BoundaryCase{"MaximumUlpBelowOne", std::nextafter(1.0, 0.0), 0.5, true},
                      BoundaryCase{"MaximumUlpAboveOne", std::nextafter(1.0, 2.0), 0.5, false},
                      BoundaryCase{"SmallestPositiveStep", 1.0, kSmallest, true},
                      BoundaryCase{"MinimumUlpBelowZero", 1.0, -kSmallest, false}),
    [](const ::testing::TestParamInfo<BoundaryCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tsr
