#include <gtest/gtest.h>

#include "support/param_name.h"

#include <cmath>
#include <string>
#include <vector>

#include "lsq/lsq_test_util.h"
#include "lsq/select_fit.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

// A 200-row column-major matrix with nc columns.
std::vector<double> columns(int nc, const std::vector<std::vector<double>>& cols) {
  std::vector<double> a(static_cast<size_t>(kMaxBands) * nc, 0.0);
  for (int j = 0; j < nc; ++j) {
    for (size_t i = 0; i < cols[j].size(); ++i) a[j * kMaxBands + i] = cols[j][i];
  }
  return a;
}

struct ReflectCase {
  std::string name;
  std::vector<double> column;
  std::vector<double> expected;
};

class HouseholderExact : public ::testing::TestWithParam<ReflectCase> {};

TEST_P(HouseholderExact, TwoRowsOneColumn) {
  const ReflectCase& c = GetParam();
  auto ws = std::make_unique<LsqWorkspace>();
  std::vector<double> a = columns(1, {c.column});
  householder_step(a.data(), 2, 1, 1, 1, *ws);
  EXPECT_EQ(bits(a[0]), bits(c.expected[0])) << "got " << a[0];
  EXPECT_EQ(bits(a[1]), bits(c.expected[1])) << "got " << a[1];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HouseholderExact,
    ::testing::Values(
        // alpha = 5, beta = 1/40; the second entry is the rounding the
        // prescribed order of products and sums leaves, not zero.
        ReflectCase{"Positive", {3.0, 4.0}, {-5.0, -4.440892098500626e-16}},
        ReflectCase{"Negative", {-3.0, 4.0}, {5.0, -4.440892098500626e-16}},
        // The sign bit decides: -0.0 counts as negative and the zero below
        // the pivot comes out as +0.0.
        ReflectCase{"NegativeZero", {-0.0, 4.0}, {4.0, 0.0}},
        ReflectCase{"PositiveZero", {0.0, 4.0}, {-4.0, 0.0}}),
    [](const ::testing::TestParamInfo<ReflectCase>& info) { return info.param.name; });

struct NoChangeCase {
  std::string name;
  int m, nc, l, k;
  bool zero_column;
};

class HouseholderNoChange : public ::testing::TestWithParam<NoChangeCase> {};

TEST_P(HouseholderNoChange, LeavesMatrixAlone) {
  const NoChangeCase& c = GetParam();
  auto ws = std::make_unique<LsqWorkspace>();
  lsqtest::Noise rng(3);
  std::vector<double> a(static_cast<size_t>(kMaxBands) * 4);
  for (double& v : a) v = rng.next(1.0);
  if (c.zero_column) {
    for (int i = 0; i < kMaxBands; ++i) a[1 * kMaxBands + i] = (i % 2) ? 0.0 : 1.0e-70;
  }
  const std::vector<double> before = a;
  householder_step(a.data(), c.m, c.nc, c.l, c.k, *ws);
  for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(bits(a[i]), bits(before[i])) << c.name << " at " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HouseholderNoChange,
    ::testing::Values(NoChangeCase{"PivotRowBelowRows", 5, 4, 6, 1, false},
                      NoChangeCase{"PivotRowZero", 5, 4, 0, 1, false},
                      NoChangeCase{"ColumnZero", 5, 4, 1, 0, false},
                      NoChangeCase{"ColumnPastEnd", 5, 4, 1, 5, false},
                      NoChangeCase{"NoRows", 0, 4, 1, 1, false},
                      NoChangeCase{"ColumnWithoutLength", 30, 4, 2, 2, true}),
    [](const ::testing::TestParamInfo<NoChangeCase>& info) { return info.param.name; });

struct RandomReflect {
  uint64_t seed;
  int m, nc, l, k;
};

class HouseholderRandom : public ::testing::TestWithParam<RandomReflect> {};

// An orthogonal reflection: column k vanishes below row l, its pivot takes
// minus the column's length with the opposite sign of the old pivot, rows
// above l and rows past m keep their values, and every column keeps its length.
TEST_P(HouseholderRandom, ReducesColumnAndKeepsLengths) {
  const RandomReflect& c = GetParam();
  auto ws = std::make_unique<LsqWorkspace>();
  lsqtest::Noise rng(c.seed);
  std::vector<double> a(static_cast<size_t>(kMaxBands) * c.nc);
  for (double& v : a) v = rng.next(2.0);
  const std::vector<double> before = a;
  auto at = [c](std::vector<double>& v, int i, int j) -> double& { return v[(j - 1) * kMaxBands + (i - 1)]; };
  std::vector<double> b = before;

  householder_step(a.data(), c.m, c.nc, c.l, c.k, *ws);

  double length = 0.0;
  for (int i = c.l; i <= c.m; ++i) length += at(b, i, c.k) * at(b, i, c.k);
  length = std::sqrt(length);
  EXPECT_NEAR(std::fabs(at(a, c.l, c.k)), length, 1e-13 * length);
  EXPECT_NE(std::signbit(at(a, c.l, c.k)), std::signbit(at(b, c.l, c.k)));
  for (int i = c.l + 1; i <= c.m; ++i) EXPECT_NEAR(at(a, i, c.k), 0.0, 1e-13 * length) << i;
  for (int j = 1; j <= c.nc; ++j) {
    for (int i = 1; i < c.l; ++i) EXPECT_EQ(at(a, i, j), at(b, i, j)) << i << "," << j;
    for (int i = c.m + 1; i <= kMaxBands; ++i) ASSERT_EQ(bits(at(a, i, j)), bits(at(b, i, j)));
    double old_len = 0.0, new_len = 0.0;
    for (int i = c.l; i <= c.m; ++i) {
      old_len += at(b, i, j) * at(b, i, j);
      new_len += at(a, i, j) * at(a, i, j);
    }
    EXPECT_NEAR(new_len, old_len, 1e-12 * old_len) << "column " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(Random, HouseholderRandom,
                         ::testing::Values(RandomReflect{1, 10, 4, 1, 1}, RandomReflect{2, 46, 9, 3, 3},
                                           RandomReflect{3, 200, 15, 7, 7}, RandomReflect{4, 20, 5, 4, 2},
                                           RandomReflect{5, 3, 7, 3, 7}),
                         [](const ::testing::TestParamInfo<RandomReflect>& info) {
                           const RandomReflect& c = info.param;
                           return ::tsr::testing::param_name(
                               "seed " + std::to_string(c.seed) + " m " + std::to_string(c.m) + " columns " +
                               std::to_string(c.nc) + " row " + std::to_string(c.l) + " column " + std::to_string(c.k));
                         });

}  // namespace
}  // namespace tsr
