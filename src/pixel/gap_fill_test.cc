#include "pixel/gap_fill.h"

#include <ostream>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>
#include "support/bits.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

struct GapCase {
  const char* name;
  std::vector<double> series;
  std::vector<int32_t> status;
  int32_t max_gap_before;
  std::vector<double> want_series;
  std::vector<int32_t> want_status;
  int32_t want_max_gap;
};
// Test listings name the case, not its bytes.
void PrintTo(const GapCase& c, std::ostream* os) { *os << c.name; }

class FillGapsTable : public ::testing::TestWithParam<GapCase> {};

TEST_P(FillGapsTable, FillsMarksAndMeasures) {
  const GapCase& c = GetParam();
  std::vector<double> s = c.series;
  std::vector<int32_t> st = c.status;
  int32_t max_gap = c.max_gap_before;
  fill_gaps(static_cast<int32_t>(s.size()), s.data(), st.data(), max_gap);
  for (size_t i = 0; i < s.size(); ++i) {
    EXPECT_EQ(bits(s[i]), bits(c.want_series[i])) << "band " << i + 1 << " got " << s[i];
    EXPECT_EQ(st[i], c.want_status[i]) << "band " << i + 1;
  }
  EXPECT_EQ(max_gap, c.want_max_gap);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FillGapsTable,
    ::testing::Values(
        // The sum 0.1 * 1 + 0.2 rounds to 0.30000000000000004.
        GapCase{"single_interior", {0.2, 9.0, 0.4}, {1, 0, 1}, 0,
                {0.2, 0.30000000000000004, 0.4}, {1, 2, 1}, 2},
        GapCase{"interior_run",
                {0.1, 0.1, 0.25, -1.0, -1.0, -1.0, 0.5},
                {1, 1, 1, 0, -3, 0, 1}, 0,
                {0.1, 0.1, 0.25, 0.3125, 0.375, 0.4375, 0.5},
                {1, 1, 1, 2, 2, 2, 1}, 4},
        GapCase{"band1_missing_no_extrapolation", {0.7, 0.3, 0.4}, {0, 1, 1}, 0,
                {0.0, 0.3, 0.4}, {0, 1, 1}, 2},
        GapCase{"leading_run_counts",
                {1, 1, 1, 1, 1, 1, 1, 1, 0.5, 0.6}, {0, 0, -1, 0, 0, 0, 0, 0, 1, 1}, 0,
                {0, 0, 0, 0, 0, 0, 0, 0, 0.5, 0.6}, {0, 0, -1, 0, 0, 0, 0, 0, 1, 1}, 9},
        GapCase{"trailing_run_not_measured", {0.3, 0.4, 0.9, 0.9, 0.9}, {1, 1, 0, -2, 0}, 0,
                {0.3, 0.4, 0.0, 0.0, 0.0}, {1, 1, 0, -2, 0}, 1},
        GapCase{"positive_status_kept_except_band1", {0.1, 0.2, 0.3}, {7, 7, 3}, 0,
                {0.1, 0.2, 0.3}, {1, 7, 3}, 1},
        GapCase{"negative_band1_becomes_zero", {0.1, 0.2, 0.3}, {-4, 1, 1}, 0,
                {0.0, 0.2, 0.3}, {0, 1, 1}, 2},
        GapCase{"nothing_valid_keeps_max_gap", {0.1, 0.2, 0.3}, {0, 0, -1}, 5,
                {0.0, 0.0, 0.0}, {0, 0, -1}, 5},
        GapCase{"max_gap_only_raised", {0.2, 0.0, 0.4}, {1, 0, 1}, 6,
                {0.2, 0.30000000000000004, 0.4}, {1, 2, 1}, 6},
        // A previously filled sample (status 2) counts as valid.
        GapCase{"status2_is_valid", {0.2, 0.5, 0.0, 0.4}, {1, 2, 0, 1}, 0,
                {0.2, 0.5, 0.45, 0.4}, {1, 2, 2, 1}, 2}),
    [](const ::testing::TestParamInfo<GapCase>& info) { return std::string(info.param.name); });

TEST(FillGaps, TwoCallsKeepTheLargerGap) {
  double a[6] = {0.1, 0, 0, 0, 0, 0.6};
  int32_t sa[6] = {1, 0, 0, 0, 0, 1};
  double b[6] = {0.1, 0, 0.3, 0.4, 0.5, 0.6};
  int32_t sb[6] = {1, 0, 1, 1, 1, 1};
  int32_t max_gap = 0;
  fill_gaps(6, a, sa, max_gap);
  fill_gaps(6, b, sb, max_gap);
  EXPECT_EQ(max_gap, 5);
  int32_t other = 0;
  double c[6] = {0.1, 0, 0.3, 0.4, 0.5, 0.6};
  int32_t sc[6] = {1, 0, 1, 1, 1, 1};
  fill_gaps(6, c, sc, other);
  EXPECT_EQ(other, 2);
}

// The interpolated values follow (x - x1) * ((y2 - y1) / dx) + y1 in exactly
// that order, which differs in the last bit from other algebraically equal forms.
TEST(FillGaps, InterpolationOrderOfOperations) {
  const double y1 = 0.1, y2 = 0.7;
  double s[8] = {y1, 0, 0, 0, 0, 0, 0, y2};
  int32_t st[8] = {1, 0, 0, 0, 0, 0, 0, 1};
  int32_t max_gap = 0;
  fill_gaps(8, s, st, max_gap);
  const double slope = (y2 - y1) / 7.0;
  for (int j = 2; j <= 7; ++j) {
    const double want = (static_cast<double>(j) - 1.0) * slope + y1;
    EXPECT_EQ(bits(s[j - 1]), bits(want)) << j;
  }
  EXPECT_EQ(max_gap, 7);
}

struct InterpCase {
  double x1, x2, y1, y2, x;
  int32_t want_flag;
  double want_y;  // checked when the flag is 0
};

TEST(InterpolateLinear, LimitsAndValues) {
  const InterpCase cases[] = {
      {1.0, 3.0, 0.2, 0.4, 2.0, 0, 0.30000000000000004},
      {1.0, 3.0, 0.2, 0.4, 1.0, 0, 0.2},        // x at the left end
      {1.0, 3.0, 0.2, 0.4, 3.0, 0, 0.4},        // x at the right end
      {3.0, 7.0, 0.25, 0.5, 4.0, 0, 0.3125},
      {1.0, 3.0, 0.2, 0.4, 0.5, 1, 0.0},        // left of x1
      {1.0, 3.0, 0.2, 0.4, 3.5, 1, 0.0},        // right of x2
      {2.0, 2.0, 0.2, 0.4, 2.0, 1, 0.0},        // no width
      {2.0, 2.0 + 1e-11, 0.2, 0.4, 2.0, 1, 0.0},
  };
  for (const auto& c : cases) {
    double y = -123.0;
    int32_t flag = 7;
    interpolate_linear(c.x1, c.x2, c.y1, c.y2, c.x, y, flag);
    EXPECT_EQ(flag, c.want_flag) << c.x1 << " " << c.x2 << " " << c.x;
    if (c.want_flag == 0) {
      EXPECT_EQ(bits(y), bits(c.want_y)) << y;
    } else {
      EXPECT_EQ(y, -123.0) << "output must stay untouched on a rejected call";
    }
  }
}

}  // namespace
}  // namespace tsr
