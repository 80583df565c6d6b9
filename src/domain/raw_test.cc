#include "domain/raw.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/random.h"

namespace tsr {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(RawValue, RoundsHalvesAwayClipsAndMarksMissing) {
  struct Case {
    const char* name;
    double value, factor;
    bool missing;
    int16_t raw;
    RawTally tally;
  };
  const Case cases[] = {
      {"a half up", 0.0078125, 1600, false, 13, {}},           // 12.5
      {"a half below zero", -0.0078125, 1600, false, 0, {1, 0, 0}},
      {"just below a half", 0.4999999999999999, 1, false, 0, {}},
      {"the ceiling is kept", 0.96, 1600, false, 1536, {}},
      {"above the ceiling", 1.0, 1600, false, 1600, {0, 0, 1}},
      {"the largest", 32766.4, 1, false, kRawLargest, {0, 0, 1}},
      {"above the largest", 32766.5, 1, false, kRawLargest, {0, 1, 1}},
      {"no data is never made", 32767, 1, false, kRawLargest, {0, 1, 1}},
      {"infinity", kInf, 1600, false, kRawLargest, {0, 1, 1}},
      {"minus infinity", -kInf, 1600, false, 0, {1, 0, 0}},
      {"missing", 0.5, 1600, true, kRawNoData, {}},
      {"missing NaN", kNaN, 1600, true, kRawNoData, {}},
      {"NaN", kNaN, 1600, false, kRawNoData, {}},
      {"minus zero", -0.0, 1600, false, 0, {}},
  };
  for (const Case& c : cases) {
    RawTally t;
    EXPECT_EQ(raw_value(c.value, c.factor, c.missing, &t), c.raw) << c.name;
    EXPECT_EQ(t.clipped_low, c.tally.clipped_low) << c.name;
    EXPECT_EQ(t.clipped_high, c.tally.clipped_high) << c.name;
    EXPECT_EQ(t.above_ceiling, c.tally.above_ceiling) << c.name;
  }
}

// Many values, halves and their neighbours among them, against the C
// library's round (halves away from zero) and the clipping written out.
TEST(RawValue, ArraysAgreeWithTheLibrarysRounding) {
  testing::SplitMix64 rng(11);
  std::vector<double> values;
  std::vector<uint8_t> missing;
  for (int i = 0; i < 20000; ++i) {
    double v = (rng.unit() - 0.2) * 45000.0;
    if (i % 4 == 1) v = std::floor(v) + 0.5;
    if (i % 4 == 2) v = std::nextafter(std::floor(v) + 0.5, i % 8 < 4 ? 0.0 : 1e9);
    values.push_back(v / 1600.0);
    missing.push_back(rng.next() % 7 == 0);
  }
  std::vector<int16_t> raw(values.size());
  RawTally tally;
  raw_values(values.data(), missing.data(), values.size(), 1600.0, raw.data(), &tally);
  RawTally want;
  for (size_t i = 0; i < values.size(); ++i) {
    const double r = std::round(values[i] * 1600.0);
    int16_t expected = kRawNoData;
    if (!missing[i]) {
      want.clipped_low += r < 0;
      want.clipped_high += r > 32766;
      want.above_ceiling += r > 1536;
      expected = static_cast<int16_t>(std::fmin(std::fmax(r, 0.0), 32766.0));
    }
    ASSERT_EQ(raw[i], expected) << i << " " << values[i];
  }
  EXPECT_EQ(tally.clipped_low, want.clipped_low);
  EXPECT_EQ(tally.clipped_high, want.clipped_high);
  EXPECT_EQ(tally.above_ceiling, want.above_ceiling);
  EXPECT_GT(want.clipped_low, 0);
  EXPECT_GT(want.clipped_high, 0);
}

}  // namespace
}  // namespace tsr
