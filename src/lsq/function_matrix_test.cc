#include "lsq/function_matrix.h"

#include <gtest/gtest.h>

#include <string>

#include "support/param_name.h"

#include <cmath>

#include "lsq/lsq_test_util.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

struct Element {
  int32_t nb, npoint, nfunc, t, column;
  double expected;
};

class FunctionMatrixElement : public ::testing::TestWithParam<Element> {};

TEST_P(FunctionMatrixElement, HasExactBits) {
  const Element& e = GetParam();
  auto x = lsqtest::make_matrix(e.nb, e.npoint, e.nfunc);
  EXPECT_EQ(bits(x->at(e.t, e.column)), bits(e.expected))
      << "t=" << e.t << " column=" << e.column << " got " << x->at(e.t, e.column);
}

INSTANTIATE_TEST_SUITE_P(
    KnownValues, FunctionMatrixElement,
    ::testing::Values(
        // A full cycle of harmonic 1 lands next to zero, not on it.
        Element{46, 46, 1, 46, 3, -2.4492935982947064e-16}, Element{46, 46, 1, 46, 4, 1.0},
        Element{46, 46, 1, 23, 3, 1.2246467991473532e-16}, Element{46, 46, 1, 23, 4, -1.0},
        // The linear column is the 8-byte product t * 0.1.
        Element{200, 46, 6, 3, 2, 0.30000000000000004}, Element{200, 46, 6, 46, 2, 4.6000000000000005},
        Element{200, 46, 6, 200, 2, 20.0}, Element{200, 46, 6, 1, 2, 0.1},
        Element{200, 46, 6, 1, 1, 1.0}, Element{200, 46, 6, 200, 1, 1.0}),
    [](const ::testing::TestParamInfo<Element>& info) {
      const Element& e = info.param;
      return ::tsr::testing::param_name("nb " + std::to_string(e.nb) + " npoint " + std::to_string(e.npoint) +
                                        " nfunc " + std::to_string(e.nfunc) + " t " + std::to_string(e.t) +
                                        " column " + std::to_string(e.column));
    });

TEST(FunctionMatrix, RowOneStartsOneStepIn) {
  auto x = lsqtest::make_matrix(46, 46, 6);
  const double step = 2.0 * M_PI / 46.0;
  for (int k = 1; k <= kMaxHarmonics; ++k) {
    const double a = step * harmonic_frequencies[k - 1];
    EXPECT_NEAR(x->at(1, 2 * k + 1), std::sin(a), 1e-15) << "harmonic " << k;
    EXPECT_NEAR(x->at(1, 2 * k + 2), std::cos(a), 1e-15) << "harmonic " << k;
  }
  EXPECT_NE(x->at(1, 3), 0.0);
}

TEST(FunctionMatrix, SixthHarmonicCompletesTwelveCycles) {
  auto x = lsqtest::make_matrix(200, 46, 6);
  for (int t : {1, 5, 17, 46, 123, 200}) {
    const double a = 12.0 * 2.0 * M_PI * t / 46.0;
    EXPECT_NEAR(x->at(t, 13), std::sin(a), 1e-12) << t;
    EXPECT_NEAR(x->at(t, 14), std::cos(a), 1e-12) << t;
  }
  // Period 46 / 12: after 23 steps harmonic 6 has done exactly six cycles.
  EXPECT_NEAR(x->at(23, 13), 0.0, 1e-13);
  EXPECT_NEAR(x->at(23, 14), 1.0, 1e-15);
}

struct Extent {
  int32_t nb, nfunc;
  int32_t rows_written, columns_written;
  int32_t capacity = kMaxBands;  // rows of the matrix
};

class FunctionMatrixExtent : public ::testing::TestWithParam<Extent> {};

TEST_P(FunctionMatrixExtent, WritesOnlyItsBlock) {
  const Extent& e = GetParam();
  auto x = std::make_unique<FunctionMatrix>(e.capacity);
  ASSERT_EQ(x->rows(), e.capacity);
  const double marker = -7.25;
  for (int t = 1; t <= e.capacity; ++t) {
    for (int j = 1; j <= kMatrixColumns; ++j) x->at(t, j) = marker;
  }
  build_function_matrix(e.nb, 46, e.nfunc, harmonic_frequencies, *x);
  for (int t = 1; t <= e.capacity; ++t) {
    for (int j = 1; j <= kMatrixColumns; ++j) {
      const bool inside = t <= e.rows_written && j <= e.columns_written;
      if (inside) {
        ASSERT_NE(x->at(t, j), marker) << t << "," << j;
      } else {
        ASSERT_EQ(bits(x->at(t, j)), bits(marker)) << t << "," << j;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Blocks, FunctionMatrixExtent,
                         ::testing::Values(Extent{46, 3, 46, 8}, Extent{200, 6, 200, 14},
                                           Extent{3, 1, 3, 4}, Extent{10, 0, 10, 2},
                                           Extent{10, -2, 10, 2}, Extent{0, 6, 0, 0},
                                           Extent{-5, 6, 0, 0}, Extent{201, 6, 200, 14},
                                           Extent{1000, 2, 1000, 6, 1000}, Extent{572, 6, 365, 14, 365},
                                           Extent{5, 1, 5, 4, 2000}),
                         [](const ::testing::TestParamInfo<Extent>& info) {
                           return ::tsr::testing::param_name("nb " + std::to_string(info.param.nb) + " nfunc " +
                                                             std::to_string(info.param.nfunc) + " rows " +
                                                             std::to_string(info.param.capacity));
                         });

// A longer matrix holds the same bits in its first kMaxBands rows as the
// executable's, and its later rows continue the same basis functions (the
// sixth harmonic completes twelve cycles every NPOINT steps).
TEST(FunctionMatrix, LongerMatrixExtendsTheSameBasis) {
  FunctionMatrix x;
  FunctionMatrix longer(1000);
  build_function_matrix(kMaxBands, 46, 6, harmonic_frequencies, x);
  build_function_matrix(1000, 46, 6, harmonic_frequencies, longer);
  for (int t = 1; t <= kMaxBands; ++t) {
    for (int j = 1; j <= kMatrixColumns; ++j) ASSERT_EQ(bits(longer.at(t, j)), bits(x.at(t, j))) << t << "," << j;
  }
  EXPECT_EQ(bits(longer.at(1000, 2)), bits(1000.0 * kLinearTermStep));
  EXPECT_NEAR(longer.at(1000, 13), std::sin(1000.0 * 12.0 * 2.0 * 3.141592653589793 / 46.0), 1e-9);
  EXPECT_NEAR(longer.at(1000, 14), std::cos(1000.0 * 12.0 * 2.0 * 3.141592653589793 / 46.0), 1e-9);
}

}  // namespace
}  // namespace tsr
