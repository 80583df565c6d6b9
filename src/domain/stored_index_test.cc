#include "domain/stored_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace tsr {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

TEST(StoredIndex, ValidRangeMarksFillsOnlyWhereNotMissingAlready) {
  const std::vector<double> values = {-3000, -2001, -2000, 0, 10000, 10001, kNan, -3000, 32767};
  std::vector<uint8_t> missing = {0, 0, 0, 0, 0, 0, 0, 1, 0};
  EXPECT_EQ(mark_invalid_stored_index(values.data(), values.size(), missing.data()), 5);
  EXPECT_EQ(missing, (std::vector<uint8_t>{1, 1, 0, 0, 0, 1, 1, 1, 1}));
}

TEST(StoredIndex, FloatsAreScaledWhenAllWholeWithinTheSpanAndSomeBeyondOne) {
  struct Case {
    const char* name;
    std::vector<double> values;
    std::vector<uint8_t> missing;  // empty: none
    bool scaled;
  };
  const Case cases[] = {
      {"NDVI x 10000", {-2000, 0, 4521, 10000}, {}, true},
      {"with the fill, undeclared", {-3000, 812, -10000}, {}, true},
      {"an index itself", {-0.2, 0.35, 0.91}, {}, false},
      {"whole but within -1..1", {-1, 0, 1, 1}, {}, false},
      {"one fraction spoils it", {812, 4521.5, 9000}, {}, false},
      {"beyond the span", {812, 10001}, {}, false},
      {"a fill beyond the span", {812, -32768}, {}, false},
      {"not a number counts as not whole", {812, kNan}, {}, false},
      {"missing samples are left out", {812, kNan, 0.5}, {0, 1, 1}, true},
      {"nothing looked at", {812}, {1}, false},
  };
  for (const Case& c : cases) {
    StoredIndexScan whole, halves;
    whole.add(c.values.data(), c.missing.empty() ? nullptr : c.missing.data(), c.values.size());
    // The same samples in two blocks, merged.
    const size_t h = c.values.size() / 2;
    StoredIndexScan second;
    halves.add(c.values.data(), c.missing.empty() ? nullptr : c.missing.data(), h);
    second.add(c.values.data() + h, c.missing.empty() ? nullptr : c.missing.data() + h, c.values.size() - h);
    halves.merge(second);
    EXPECT_EQ(whole.looks_scaled(), c.scaled) << c.name;
    EXPECT_EQ(halves.looks_scaled(), c.scaled) << c.name;
    EXPECT_EQ(halves.samples(), whole.samples()) << c.name;
  }
}

}  // namespace
}  // namespace tsr
