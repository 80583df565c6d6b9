#include "stack/missing_samples.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/random.h"

namespace tsr {
namespace {

TEST(MissingSamples, RuinousShare) {
  struct Case {
    int32_t missing, bands;
    bool ruinous;
  };
  const Case cases[] = {{1, 23, true},  {0, 23, false}, {22, 23, true},  {23, 23, false}, {3, 200, false},
                        {4, 200, true}, {1, 50, true},  {1, 51, false},  {2, 100, true},  {1, 3, true}};
  for (const Case& c : cases) EXPECT_EQ(ruinous_missing_share(c.missing, c.bands), c.ruinous) << c.missing << "/" << c.bands;
}

// A band-sequential block and the same pixels with their bands side by side
// give the same counts, for codes and for validity planes.
TEST(MissingSamples, CountsInEitherLayout) {
  const int32_t bands = 7;
  const int64_t pixels = 300;
  ::tsr::testing::SplitMix64 rng(32767);
  std::vector<int16_t> planes(static_cast<size_t>(bands * pixels)), interleaved(planes.size());
  std::vector<uint8_t> valid(planes.size());
  std::vector<int32_t> expected(pixels, 0);
  for (int32_t b = 0; b < bands; ++b) {
    for (int64_t p = 0; p < pixels; ++p) {
      const bool gone = rng.unit() < 0.3;
      const int16_t v = gone ? kDefaultMissingCode : static_cast<int16_t>(rng.unit() * 1600);
      planes[static_cast<size_t>(b * pixels + p)] = v;
      interleaved[static_cast<size_t>(p * bands + b)] = v;
      valid[static_cast<size_t>(b * pixels + p)] = !gone;
      expected[static_cast<size_t>(p)] += gone;
    }
  }
  std::vector<int32_t> a(pixels, 0), b(pixels, 0), c(pixels, 0), d(pixels, 0);
  count_missing(planes.data(), pixels, bands, 1, pixels, kDefaultMissingCode, a.data());
  count_missing(interleaved.data(), pixels, bands, bands, 1, kDefaultMissingCode, b.data());
  count_invalid(valid.data(), pixels, bands, 1, pixels, c.data());
  for (int32_t band = 0; band < bands; ++band)  // one band at a time adds up
    count_missing(planes.data() + band * pixels, pixels, 1, 1, 0, kDefaultMissingCode, d.data());
  EXPECT_EQ(a, expected);
  EXPECT_EQ(b, expected);
  EXPECT_EQ(c, expected);
  EXPECT_EQ(d, expected);
}

TEST(MissingSamples, VerdictOfTheJob) {
  // 100 bands: complete, complete, 1 missing (below 2 %), 2, 2, 3, 5 and 50
  // missing, and a pixel without any valid sample.
  MissingSampleTally tally(100);
  const std::vector<int32_t> counts = {0, 0, 1, 2, 2, 3, 5, 50, 100};
  ASSERT_TRUE(tally.add(counts.data(), static_cast<int64_t>(counts.size())).is_ok());
  struct Case {
    MissingSampleJob job;
    bool masked, filled_first;
    int64_t ruined;
  };
  const Case cases[] = {{{0, 0}, false, false, 5}, {{2, 0}, false, false, 5}, {{1, 0}, true, false, 0},
                        {{0, 1}, false, true, 0},  {{1, 3}, true, false, 0}};
  for (const Case& c : cases) {
    const MissingSampleVerdict v = judge_missing_samples(tally, c.job);
    EXPECT_EQ(v.masked, c.masked);
    EXPECT_EQ(v.filled_first, c.filled_first);
    EXPECT_EQ(v.pixels_ruined, c.ruined) << "MASK=" << c.job.mask << " excluded " << c.job.excluded_count;
    EXPECT_EQ(v.pixels, 9);
    EXPECT_EQ(v.samples, 900);
    EXPECT_EQ(v.samples_missing, 163);
    EXPECT_EQ(v.pixels_complete, 2);
    EXPECT_EQ(v.pixels_empty, 1);
    EXPECT_EQ(v.pixels_few, 1);
    EXPECT_EQ(v.pixels_many, 5);
    EXPECT_EQ(v.many_least, 2);
    EXPECT_EQ(v.many_median, 3);
    EXPECT_EQ(v.many_most, 50);
    EXPECT_EQ(v.few_most, 1);
  }
  EXPECT_EQ(format_missing_counts(judge_missing_samples(tally, {})),
            "900 samples, 163 missing (18.11 %); of 9 pixels 1 have no valid sample, 5 have 2 % or more of their 100 "
            "samples missing (2 to 50, median 3: 2.00 % to 50.00 %), 1 fewer (at most 1: 1.00 %)");

  // Counts outside 0..bands are refused and add nothing; tallies of other
  // band counts do not merge.
  const int32_t bad[] = {1, 101};
  EXPECT_FALSE(tally.add(bad, 2).is_ok());
  EXPECT_EQ(tally.pixels_by_missing()[1], 1);
  EXPECT_FALSE(tally.merge(MissingSampleTally(23)).is_ok());
  MissingSampleTally copy(100);
  ASSERT_TRUE(copy.merge(tally).is_ok());
  ASSERT_TRUE(copy.merge(tally).is_ok());
  EXPECT_EQ(judge_missing_samples(copy, {}).pixels_ruined, 10);
  // Of an even count the lower median.
  MissingSampleTally even(100);
  const int32_t four[] = {3, 2, 3, 2};
  ASSERT_TRUE(even.add(four, 4).is_ok());
  EXPECT_EQ(judge_missing_samples(even, {}).many_median, 2);
}

}  // namespace
}  // namespace tsr
