#include "pixel/envelope.h"

#include <ostream>
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>
#include "support/bits.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

enum class Kind { kDips, kPeaks };

void run(Kind kind, int32_t nwin, std::vector<double>& s) {
  auto scratch = std::make_unique<EnvelopeScratch>();
  if (kind == Kind::kDips) {
    fill_dips(static_cast<int32_t>(s.size()), nwin, s.data(), *scratch);
  } else {
    clip_peaks(static_cast<int32_t>(s.size()), nwin, s.data(), *scratch);
  }
}

// The filters exactly as they read with 1-based indexing, the full nwin and a
// padded copy of nb + 2 * nwin values, as the reference for the clamped window.
void literal_filter(Kind kind, int32_t nb, int32_t nwin, double* series) {
  std::vector<double> e(static_cast<size_t>(nb + 2 * nwin) + 1);
  for (int32_t k = 1; k <= nwin; ++k) e[k] = series[0];
  for (int32_t k = 1; k <= nb; ++k) e[nwin + k] = series[k - 1];
  for (int32_t k = 1; k <= nwin; ++k) e[nwin + nb + k] = series[nb - 1];
  for (int32_t k = 1; k <= nb; ++k) {
    if (kind == Kind::kDips) {
      double fwd = -9.9e99, bwd = -9.9e99;
      for (int32_t j = 0; j <= nwin; ++j) {
        if (fwd < e[nwin + k + j]) fwd = e[nwin + k + j];
        if (bwd < e[nwin + k - j]) bwd = e[nwin + k - j];
      }
      series[k - 1] = bwd <= fwd ? bwd : fwd;
      if (series[k - 1] <= -1e10) series[k - 1] = 0.0;
    } else {
      double fwd = 9.9e99, bwd = 9.9e99;
      for (int32_t j = 0; j <= nwin; ++j) {
        if (fwd > e[nwin + k + j]) fwd = e[nwin + k + j];
        if (bwd > e[nwin + k - j]) bwd = e[nwin + k - j];
      }
      series[k - 1] = bwd >= fwd ? bwd : fwd;
      if (series[k - 1] > 1e10) series[k - 1] = 0.0;
    }
  }
}

struct FilterCase {
  const char* name;
  Kind kind;
  int32_t nwin;
  std::vector<double> in;
  std::vector<double> want;
};
// Test listings name the case, not its bytes.
void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.name; }

class EnvelopeTable : public ::testing::TestWithParam<FilterCase> {};

TEST_P(EnvelopeTable, Filters) {
  const FilterCase& c = GetParam();
  std::vector<double> s = c.in;
  run(c.kind, c.nwin, s);
  ASSERT_EQ(s.size(), c.want.size());
  for (size_t i = 0; i < s.size(); ++i) {
    EXPECT_EQ(bits(s[i]), bits(c.want[i])) << "band " << i + 1 << " got " << s[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnvelopeTable,
    ::testing::Values(
        FilterCase{"dips_nwin0_unchanged", Kind::kDips, 0, {0.5, 0.1, 0.5}, {0.5, 0.1, 0.5}},
        FilterCase{"peaks_nwin0_unchanged", Kind::kPeaks, 0, {0.5, 0.9, 0.5}, {0.5, 0.9, 0.5}},
        FilterCase{"dips_single", Kind::kDips, 1, {0.5, 0.1, 0.5}, {0.5, 0.5, 0.5}},
        FilterCase{"dips_smaller_side_max", Kind::kDips, 1, {0.2, 0.3, 0.1, 0.4, 0.5},
                   {0.2, 0.3, 0.3, 0.4, 0.5}},
        FilterCase{"dips_step_unchanged", Kind::kDips, 1, {0.1, 0.1, 0.5, 0.5},
                   {0.1, 0.1, 0.5, 0.5}},
        FilterCase{"dips_first_band_kept", Kind::kDips, 1, {0.1, 0.5, 0.5}, {0.1, 0.5, 0.5}},
        FilterCase{"dips_last_band_kept", Kind::kDips, 2, {0.5, 0.5, 0.1}, {0.5, 0.5, 0.1}},
        FilterCase{"dips_wide_nwin1", Kind::kDips, 1, {0.5, 0.1, 0.1, 0.5}, {0.5, 0.1, 0.1, 0.5}},
        FilterCase{"dips_wide_nwin2", Kind::kDips, 2, {0.5, 0.1, 0.1, 0.5}, {0.5, 0.5, 0.5, 0.5}},
        FilterCase{"peaks_single", Kind::kPeaks, 1, {0.5, 0.9, 0.5}, {0.5, 0.5, 0.5}},
        FilterCase{"peaks_larger_side_min", Kind::kPeaks, 1, {0.2, 0.3, 0.9, 0.4, 0.5},
                   {0.2, 0.3, 0.4, 0.4, 0.5}},
        FilterCase{"peaks_first_band_kept", Kind::kPeaks, 3, {0.9, 0.1, 0.1}, {0.9, 0.1, 0.1}},
        // Results at or below -1e10 (dips) or above 1e10 (peaks) become 0.0.
        FilterCase{"dips_guard", Kind::kDips, 1, {-2e10, -3e10, -2e10}, {0.0, 0.0, 0.0}},
        FilterCase{"dips_guard_boundary", Kind::kDips, 1, {-1e10, -1e10}, {0.0, 0.0}},
        FilterCase{"peaks_guard", Kind::kPeaks, 1, {2e10, 3e10, 2e10}, {0.0, 0.0, 0.0}},
        FilterCase{"peaks_guard_boundary", Kind::kPeaks, 1, {1e10, 1e10}, {1e10, 1e10}},
        // Equal values never replace a running extreme: the first one met wins,
        // which matters for the sign of zero.
        FilterCase{"dips_sign_of_zero", Kind::kDips, 1, {-0.0, 0.0, -0.0}, {-0.0, 0.0, -0.0}},
        // An empty window leaves the start values, which the guard turns into 0.0.
        FilterCase{"dips_negative_nwin", Kind::kDips, -1, {0.3, 0.2, 0.4}, {0.0, 0.0, 0.0}},
        FilterCase{"peaks_negative_nwin", Kind::kPeaks, -5, {0.3, 0.2, 0.4}, {0.0, 0.0, 0.0}}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

// The window is clamped to the series length internally; for every nwin the
// result must equal the filter run literally over a padded copy of full size.
TEST(Envelope, ClampedWindowMatchesLiteralFilter) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> value(-0.2, 1.2);
  std::uniform_int_distribution<int> length(1, kMaxBands);
  auto scratch = std::make_unique<EnvelopeScratch>();
  const int32_t windows[] = {0, 1, 2, 3, 5, 21, 50, 199, 200, 201, 250, 300};
  for (int trial = 0; trial < 60; ++trial) {
    const int32_t nb = trial < 4 ? (trial == 0 ? 1 : trial == 1 ? 3 : trial == 2 ? 199 : 200)
                                 : length(rng);
    std::vector<double> base(static_cast<size_t>(nb));
    for (auto& v : base) {
      v = value(rng);
      if (rng() % 11 == 0) v = 0.0;   // repeated values and zeros
      if (rng() % 13 == 0) v = -0.0;
    }
    for (int32_t nwin : windows) {
      for (Kind kind : {Kind::kDips, Kind::kPeaks}) {
        std::vector<double> got = base, want = base;
        if (kind == Kind::kDips) {
          fill_dips(nb, nwin, got.data(), *scratch);
        } else {
          clip_peaks(nb, nwin, got.data(), *scratch);
        }
        literal_filter(kind, nb, nwin, want.data());
        for (int32_t i = 0; i < nb; ++i) {
          ASSERT_EQ(bits(got[i]), bits(want[i]))
              << "nb " << nb << " nwin " << nwin << " band " << i + 1
              << (kind == Kind::kDips ? " dips" : " peaks");
        }
      }
    }
  }
}

// The largest window the control file can hold runs within the fixed buffer.
// With a window covering the whole series, each sample becomes the smaller of
// the maximum up to it and the maximum from it on (the larger of the two
// minima for clip_peaks).
TEST(Envelope, LargestWindowCoversWholeSeries) {
  auto scratch = std::make_unique<EnvelopeScratch>();
  std::vector<double> s(kMaxBands), p(kMaxBands);
  for (int i = 0; i < kMaxBands; ++i) {
    s[i] = ((i * 37) % 23) * 0.01;
    p[i] = s[i];
  }
  std::vector<double> want_dips(kMaxBands), want_peaks(kMaxBands);
  for (int k = 0; k < kMaxBands; ++k) {
    double before_max = s[0], after_max = s[k], before_min = s[0], after_min = s[k];
    for (int i = 0; i <= k; ++i) {
      before_max = std::max(before_max, s[i]);
      before_min = std::min(before_min, s[i]);
    }
    for (int i = k; i < kMaxBands; ++i) {
      after_max = std::max(after_max, s[i]);
      after_min = std::min(after_min, s[i]);
    }
    want_dips[k] = std::min(before_max, after_max);
    want_peaks[k] = std::max(before_min, after_min);
  }
  fill_dips(kMaxBands, 2147483647, s.data(), *scratch);
  clip_peaks(kMaxBands, 2147483647, p.data(), *scratch);
  for (int i = 0; i < kMaxBands; ++i) {
    EXPECT_EQ(s[i], want_dips[i]) << i;
    EXPECT_EQ(p[i], want_peaks[i]) << i;
  }
}

}  // namespace
}  // namespace tsr
