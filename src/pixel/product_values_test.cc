#include "pixel/product_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include "support/bits.h"

namespace tsr {
namespace {

using ::tsr::testing::bits;

TEST(Reduce, WidenedConstants) {
  EXPECT_EQ(bits(kPiSingle), bits(static_cast<double>(3.14159265358979323846f)));
  EXPECT_EQ(bits(kPiSingle), bits(3.1415927410125732));
  EXPECT_EQ(bits(kRawRoundingOffset), bits(0.49000000953674316));
}

struct PhaseCase {
  double sk, ck;
  double want_amplitude, want_phase;
};

TEST(Reduce, AmplitudeAndPhase) {
  const double p = 3.1415927410125732;
  const PhaseCase cases[] = {
      {0.0, 0.0, 0.0, 0.0},
      {-0.0, -0.0, 0.0, 0.0},
      {1e-41, 0.0, 0.0, 0.0},             // amplitude at or below 1e-40: absent
      {-3.0, 0.0, 3.0, p},                // atan(-0.0) + p
      {-3.0, -0.0, 3.0, -p},              // atan(+0.0) - p
      {3.0, -0.0, 3.0, 0.0},              // atan(-0.0) + 0.0 is +0.0
      {1e-11, 2.0, 2.0, 1.5707963705062866},
      {-1e-11, 2.0, 2.0, -1.5707963705062866},
      {-1e-11, -2.0, 2.0, 1.5707963705062866},
      {0.0, -2.0, 2.0, -1.5707963705062866},
      {-0.0, -2.0, 2.0, 1.5707963705062866},
      {3.0, 4.0, 5.0, std::atan(4.0 / 3.0)},
      {-3.0, 4.0, 5.0, std::atan(4.0 / -3.0) + p},
      {-3.0, -4.0, 5.0, std::atan(-4.0 / -3.0) - p},
      {3.0, -4.0, 5.0, std::atan(-4.0 / 3.0)},
  };
  for (const auto& c : cases) {
    double a = -1.0, phi = -1.0;
    harmonic_amplitude_phase(c.sk, c.ck, a, phi);
    EXPECT_EQ(bits(a), bits(c.want_amplitude)) << c.sk << " " << c.ck << " -> " << a;
    EXPECT_EQ(bits(phi), bits(c.want_phase)) << c.sk << " " << c.ck << " -> " << phi;
  }
}

// A harmonic sk sin(x) + ck cos(x) is reported as A sin(x + phi).
TEST(Reduce, PhaseReproducesTheHarmonic) {
  for (double sk : {0.3, -0.3, 0.05, -0.2}) {
    for (double ck : {0.1, -0.1, 0.4, -0.4}) {
      double a = 0.0, phi = 0.0;
      harmonic_amplitude_phase(sk, ck, a, phi);
      EXPECT_LE(std::fabs(phi), 3.1415927410125732);
      for (double xv = 0.0; xv < 6.3; xv += 0.7) {
        EXPECT_NEAR(a * std::sin(xv + phi), sk * std::sin(xv) + ck * std::cos(xv), 1e-6);
      }
    }
  }
}

TEST(Reduce, TruncationToInt32) {
  const int32_t kMin = std::numeric_limits<int32_t>::min();
  const struct {
    double v;
    int32_t want;
  } cases[] = {
      {0.0, 0},          {0.99, 0},          {-0.99, 0},
      {2.5, 2},          {-2.5, -2},         {2147483647.9, 2147483647},
      {-2147483648.9, kMin},                 {2147483648.0, kMin},
      {-2147483649.0, kMin},                 {1e300, kMin},
      {-1e300, kMin},    {std::numeric_limits<double>::quiet_NaN(), kMin},
      {std::numeric_limits<double>::infinity(), kMin},
  };
  for (const auto& c : cases) EXPECT_EQ(truncate_to_int32(c.v), c.want) << c.v;
}

TEST(Reduce, RoundingToRaw) {
  const struct {
    double v;
    int32_t want;
  } cases[] = {
      {0.5, 2048},
      {1.0 / 4096.0, 1},
      {0.0, 0},
      {-0.0, 0},
      {1.0, 4096},
      // The offset is 0.49000000953674316, so a fraction of 0.509999995 rounds
      // up where an offset of exactly 0.49 would round it down.
      {0.51 / 4096.0, 1},
      {0.509999995 / 4096.0, 1},
      {0.50999999 / 4096.0, 0},
      {7.50999999 / 4096.0, 7},
      {-1.0 / 4096.0, 0},        // -0.51 truncates toward zero
      {-2.0 / 4096.0, -1},
      {9900000000.0, std::numeric_limits<int32_t>::min()},
  };
  for (const auto& c : cases) EXPECT_EQ(round_to_raw(c.v), c.want) << c.v;
}

}  // namespace
}  // namespace tsr
