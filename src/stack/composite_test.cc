#include "stack/composite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/bits.h"
#include "support/date_lists.h"
#include "support/random.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;
using ::tsr::testing::day;
using ::tsr::testing::days;
using ::tsr::testing::texts;

// Irregular acquisitions, out of order, two on one day.
const std::vector<int32_t> kAcquisitions =
    days({"2019-01-20", "2019-01-03", "2019-01-05", "2019-02-14", "2019-01-05", "2019-03-30", "2019-01-16"});

TEST(Composite, PlansEachAcquisitionIntoTheStepOfItsDate) {
  struct Case {
    const char* step;
    std::vector<std::string> band_days;
    std::vector<std::vector<size_t>> sources;
  };
  const Case cases[] = {
      {"16d",
       {"2019-01-01", "2019-01-17", "2019-02-02", "2019-02-18", "2019-03-06", "2019-03-22"},
       {{1, 2, 4, 6}, {0}, {3}, {}, {}, {5}}},
      {"month", {"2019-01-01", "2019-02-01", "2019-03-01"}, {{1, 2, 4, 6, 0}, {3}, {5}}},
      // A fixed step starts at the origin given (the first date here).
      {"30d", {"2019-01-03", "2019-02-02", "2019-03-04"}, {{1, 2, 4, 6, 0}, {3}, {5}}},
  };
  for (const Case& c : cases) {
    TimeGrid grid;
    ASSERT_TRUE(parse_step(c.step, day("2019-01-03"), &grid).is_ok());
    CompositePlan plan;
    ASSERT_TRUE(plan_composite(grid, kAcquisitions, {}, &plan).is_ok()) << c.step;
    EXPECT_EQ(texts(plan.band_days), c.band_days) << c.step;
    EXPECT_EQ(plan.sources, c.sources) << c.step;
    EXPECT_EQ(plan.taken, kAcquisitions.size());
    EXPECT_EQ(plan.empty_steps(), std::count(c.sources.begin(), c.sources.end(), std::vector<size_t>{}));
  }
}

TEST(Composite, WindowTakesTheDatesBetweenFromAndTo) {
  const TimeGrid month{GridKind::kMonth, 0, 0};
  CompositePlan plan;
  ASSERT_TRUE(plan_composite(month, kAcquisitions, {day("2019-01-10"), day("2019-02-14")}, &plan).is_ok());
  EXPECT_EQ(texts(plan.band_days), (std::vector<std::string>{"2019-01-01", "2019-02-01"}));
  EXPECT_EQ(plan.sources, (std::vector<std::vector<size_t>>{{6, 0}, {3}}));
  EXPECT_EQ(plan.taken, 3u);
  const Status none = plan_composite(month, kAcquisitions, {day("2018-01-01"), day("2018-12-31")}, &plan);
  EXPECT_NE(none.text().find("--from 2018-01-01 and --to 2018-12-31"), std::string::npos) << none.text();
  // A record longer than the program's bands is planned whole: 211 steps.
  ASSERT_TRUE(
      plan_composite({GridKind::kFixedStep, 2, day("2019-01-03")}, days({"2020-02-28", "2019-01-03"}), {}, &plan)
          .is_ok());
  EXPECT_EQ(plan.steps(), 211);
  EXPECT_EQ(plan.empty_steps(), 209);
  EXPECT_EQ(plan.sources.front(), std::vector<size_t>{1});
  EXPECT_EQ(plan.sources.back(), std::vector<size_t>{0});
  EXPECT_EQ(format_date(plan.band_days.back()), "2020-02-27");
}

// The median by its definition: the value with as many samples at or below
// it as at or above it (of an even count the mean of the two middle ones).
double reference_median(std::vector<double> v) {
  const size_t n = v.size();
  auto kth = [&](size_t k) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
  };
  if (n % 2 == 1) return kth(n / 2);
  const double low = kth(n / 2 - 1);
  const double high = kth(n / 2);
  return (low + high) / 2.0;
}

TEST(Composite, StepsOfExplicitSamples) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<double> values;  // one pixel, one value per plane
    std::vector<uint8_t> valid;
    CompositeRule rule;
    double expected;  // NaN: missing
    int32_t count;
  };
  const Case cases[] = {
      {{3, 1, 2}, {1, 1, 1}, CompositeRule::kMedian, 2, 3},
      {{4, 1}, {1, 1}, CompositeRule::kMedian, 2.5, 2},
      {{4, 1, 9, 7}, {1, 0, 1, 255}, CompositeRule::kMedian, 7, 3},
      {{nan, 5}, {1, 1}, CompositeRule::kMedian, 5, 1},
      {{4, 1, 9, 7}, {1, 1, 0, 1}, CompositeRule::kMax, 7, 3},
      {{4, 1}, {0, 0}, CompositeRule::kMedian, nan, 0},
      {{}, {}, CompositeRule::kMax, nan, 0},
  };
  for (const Case& c : cases) {
    std::vector<const double*> vp;
    std::vector<const uint8_t*> mp;
    for (size_t k = 0; k < c.values.size(); ++k) vp.push_back(&c.values[k]), mp.push_back(&c.valid[k]);
    double out = 0;
    uint8_t ok = 7;
    int32_t count = -1;
    ASSERT_TRUE(composite_step(vp.data(), mp.data(), static_cast<int32_t>(vp.size()), 1, c.rule, &out, &ok, &count).is_ok());
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(ok, std::isnan(c.expected) ? 0 : 1);
    EXPECT_EQ(bits(out), bits(c.expected)) << out << " vs " << c.expected;
  }
}

TEST(Composite, PlanesOfRandomSamplesAgainstTheDefinitions) {
  ::tsr::testing::SplitMix64 rng(18);
  const int64_t pixels = 500;
  for (int32_t planes = 1; planes <= 9; ++planes) {
    std::vector<std::vector<double>> values(static_cast<size_t>(planes), std::vector<double>(pixels));
    std::vector<std::vector<uint8_t>> valid(static_cast<size_t>(planes), std::vector<uint8_t>(pixels));
    std::vector<const double*> vp;
    std::vector<const uint8_t*> mp;
    for (int32_t k = 0; k < planes; ++k) {
      for (int64_t i = 0; i < pixels; ++i) {
        // Whole numbers, so that ties and repeated values occur.
        values[k][i] = std::floor(rng.unit() * 20) - 5;
        valid[k][i] = rng.unit() < 0.7;
      }
      vp.push_back(values[k].data());
      mp.push_back(valid[k].data());
    }
    std::vector<double> median(pixels), max(pixels);
    std::vector<uint8_t> ok_median(pixels), ok_max(pixels);
    ASSERT_TRUE(composite_step(vp.data(), mp.data(), planes, pixels, CompositeRule::kMedian, median.data(),
                               ok_median.data(), nullptr).is_ok());
    ASSERT_TRUE(composite_step(vp.data(), mp.data(), planes, pixels, CompositeRule::kMax, max.data(), ok_max.data(),
                               nullptr).is_ok());
    for (int64_t i = 0; i < pixels; ++i) {
      std::vector<double> kept;
      for (int32_t k = 0; k < planes; ++k)
        if (valid[k][i]) kept.push_back(values[k][i]);
      ASSERT_EQ(ok_median[i], kept.empty() ? 0 : 1);
      ASSERT_EQ(ok_max[i], ok_median[i]);
      if (kept.empty()) continue;
      ASSERT_EQ(bits(median[i]), bits(reference_median(kept))) << planes << " planes, pixel " << i;
      double largest = kept[0];
      for (double v : kept) largest = v > largest ? v : largest;
      ASSERT_EQ(bits(max[i]), bits(largest));
    }
  }
}

}  // namespace
}  // namespace tsr
