#include "lsq/solver.h"

#include <ostream>
#include <gtest/gtest.h>

#include "support/param_name.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "lsq/lsq_test_util.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

// Matrices are written row by row in the cases and stored column by column
// with leading dimension 50, as the fits hand them over.
constexpr int kLda = 50;

std::vector<double> to_storage(int n, const std::vector<double>& rows, double fill) {
  std::vector<double> a(kLda * kLda, fill);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) a[j * kLda + i] = rows[i * n + j];
  }
  return a;
}

struct InversionCase {
  std::string name;
  int n;
  std::vector<double> input;     // row by row
  std::vector<double> expected;  // row by row
};
// Test listings name the case, not its bytes.
void PrintTo(const InversionCase& c, std::ostream* os) { *os << c.name; }

class SmallInversion : public ::testing::TestWithParam<InversionCase> {};

TEST_P(SmallInversion, GivesExactBits) {
  const InversionCase& c = GetParam();
  const double fill = -123.5;
  std::vector<double> a = to_storage(c.n, c.input, fill);
  invert_in_place(a.data(), c.n, kLda);
  for (int i = 0; i < kLda; ++i) {
    for (int j = 0; j < kLda; ++j) {
      const double got = a[j * kLda + i];
      if (i < c.n && j < c.n) {
        EXPECT_EQ(bits(got), bits(c.expected[i * c.n + j]))
            << "(" << i + 1 << "," << j + 1 << ") got " << got << " want " << c.expected[i * c.n + j];
      } else {
        ASSERT_EQ(bits(got), bits(fill)) << "outside the block: (" << i + 1 << "," << j + 1 << ")";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmallInversion,
    ::testing::Values(
        InversionCase{"Identity", 3, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
        // First magnitude-1 entry in row-major order is (1,2): rows swap, then
        // the columns are swapped back.
        InversionCase{"Exchange", 2, {0, 1, 1, 0}, {0, 1, 1, 0}},
        // (1,2) wins over (2,1) at equal magnitude.
        InversionCase{"EqualMagnitudes", 2, {1, 2, 2, 1},
                      {-1.0 / 3.0, 2.0 / 3.0, 2.0 / 3.0, -1.0 / 3.0}},
        // Multipliers below 1e-31 in magnitude are flushed to zero ...
        InversionCase{"TinyMultiplierFlushed", 2, {1, 0, 5.0e-32, 1}, {1, 0, 0, 1}},
        InversionCase{"TinyNegativeMultiplierFlushed", 2, {1, 0, -9.9e-32, 1}, {1, 0, 0, 1}},
        // ... but 1e-31 itself is not.
        InversionCase{"BoundaryMultiplierKept", 2, {1, 0, 1.0e-31, 1}, {1, 0, -1.0e-31, 1}},
        InversionCase{"SmallMultiplierKept", 2, {1, 0, 2.0e-31, 1}, {1, 0, -2.0e-31, 1}},
        // The pivot row is divided by the pivot (3/5 = 0.6), not multiplied by
        // its reciprocal (3 * 0.2 = 0.6000000000000001).
        InversionCase{"DividesByPivot", 2, {5, 3, 0, 1}, {1.0 / 5.0, -(3.0 / 5.0), 0, 1}},
        // A stage without pivot returns at once, with the stages before it
        // done (the pivots 2 and 4 become 1/2 and 1/4) and nothing unscrambled.
        InversionCase{"ZeroRow", 3, {1, 0, 0, 0, 0, 0, 0, 0, 1}, {1, 0, 0, 0, 0, 0, 0, 0, 1}},
        InversionCase{"ZeroRowPartlyReduced", 3, {2, 0, 0, 0, 0, 0, 0, 0, 4},
                      {0.5, 0, 0, 0, 0, 0, 0, 0, 0.25}},
        InversionCase{"AllZero", 2, {0, 0, 0, 0}, {0, 0, 0, 0}},
        InversionCase{"NotANumberIsNeverAPivot", 2, {NAN, 0, 0, 0}, {NAN, 0, 0, 0}},
        InversionCase{"OneByOne", 1, {4}, {0.25}}),
    [](const ::testing::TestParamInfo<InversionCase>& info) { return info.param.name; });

TEST(Inversion, OutOfRangeOrderLeavesMatrixAlone) {
  for (int n : {0, -1, 51}) {
    std::vector<double> a = to_storage(2, {1, 2, 3, 4}, 9.0);
    const std::vector<double> before = a;
    invert_in_place(a.data(), n, kLda);
    for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(bits(a[i]), bits(before[i])) << "n=" << n;
  }
}

// Random matrices of every order the fits use: the product with the original
// is the identity, and storage outside the leading block is untouched.
class RandomInversion : public ::testing::TestWithParam<int> {};

TEST_P(RandomInversion, ProductIsIdentity) {
  const int n = GetParam();
  lsqtest::Noise rng(1000 + n);
  const double fill = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> a(kLda * kLda, fill);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) a[j * kLda + i] = rng.next(1.0) + (i == j ? 2.0 : 0.0);
  }
  const std::vector<double> original = a;
  invert_in_place(a.data(), n, kLda);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      double s = 0.0;
      for (int q = 0; q < n; ++q) s += original[q * kLda + i] * a[j * kLda + q];
      ASSERT_NEAR(s, i == j ? 1.0 : 0.0, 1e-11) << n << ": (" << i << "," << j << ")";
    }
  }
  for (int j = 0; j < kLda; ++j) {
    for (int i = 0; i < kLda; ++i) {
      if (i >= n || j >= n) {
        ASSERT_TRUE(std::isnan(a[j * kLda + i]));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, RandomInversion, ::testing::Values(1, 2, 4, 8, 14, 31, 50),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return ::tsr::testing::param_name("order " + std::to_string(info.param));
                         });

// Full pivoting copes with a matrix whose diagonal is zero.
TEST(Inversion, PermutationMatrixNeedsInterchanges) {
  const int n = 5;
  // Row i has its 1 in column perm[i].
  const int perm[n] = {3, 0, 4, 1, 2};
  std::vector<double> rows(n * n, 0.0), expected(n * n, 0.0);
  for (int i = 0; i < n; ++i) {
    rows[i * n + perm[i]] = 2.0;
    expected[perm[i] * n + i] = 0.5;  // inverse of 2P is P' / 2
  }
  std::vector<double> a = to_storage(n, rows, 0.0);
  invert_in_place(a.data(), n, kLda);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) EXPECT_EQ(bits(a[j * kLda + i]), bits(expected[i * n + j])) << i << "," << j;
  }
}

}  // namespace
}  // namespace tsr
