#include "io/conversions.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "io/image_file.h"
#include "support/bits.h"

namespace tsr {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ScaledSeriesValueTest, RoundsHalfUpThenWrapsToSixteenBits) {
  struct Case {
    double x;
    int16_t expected;
  };
  const Case cases[] = {
      {1.0, 4096},
      {0.0001220703125, 1},  // 0.5 / 4096
      {0.0, 0},
      {-0.0, 0},
      {-1.0, -4095},                      // truncation of -4095.5 toward zero
      {-0.5 / 4096.0, 0},                 // t = 0.0
      {-1.2 / 4096.0, 0},                 // t = -0.7 truncates to 0
      {-1.5 / 4096.0, -1},                // t = -1.0
      {1.4999 / 4096.0, 1},               // t = 1.9999
      {32767.0 / 4096.0, 32767},          // the largest value that fits unchanged
      {8.0, -32768},                      // 32768 wraps
      {65537.0 / 4096.0, 1},              // 65537 wraps to 1
      {2147483647.0 / 4096.0, -1},        // t = 2147483647.5: the largest integer, low bits FFFF
      {2147483648.0 / 4096.0, 0},         // t = 2147483648.5 does not fit: -2147483648, low bits 0
      {-2147483650.0 / 4096.0, 0},        // t = -2147483649.5 does not fit
      {kNaN, 0},
      {kInf, 0},
      {-kInf, 0},
      {1.0e300, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scaled_series_value(c.x), c.expected) << "x = " << c.x;
  }
}

TEST(ScaledSeriesValueTest, TruncationNearTheLowerEndOfTheIntegerRange) {
  // t = -2147483647.5 truncates to -2147483647 (0x80000001): low 16 bits 1.
  EXPECT_EQ(scaled_series_value(-2147483648.0 / 4096.0), 1);
  // t = -2147483648.5 still truncates into range: -2147483648, low bits 0.
  EXPECT_EQ(scaled_series_value(-2147483649.0 / 4096.0), 0);
  // t = 2147483646.5 -> 2147483646 (0x7FFFFFFE): low 16 bits FFFE.
  EXPECT_EQ(scaled_series_value(2147483646.0 / 4096.0), -2);
}

using ::tsr::testing::bits;

TEST(Real4ValueTest, RoundsToNearestEven) {
  struct Case {
    double x;
    uint32_t expected_bits;
  };
  const Case cases[] = {
      {1.0, 0x3F800000u},
      {0.1, 0x3DCCCCCDu},
      {-0.0, 0x80000000u},
      {1.0 + 0x1p-24, 0x3F800000u},      // tie: to the even significand
      {1.0 + 3 * 0x1p-24, 0x3F800002u},  // tie: up to the even significand
      {1.0e40, 0x7F800000u},             // overflow to infinity, no clamping
      {-1.0e40, 0xFF800000u},
      {1.0e-50, 0x00000000u},
      {12.3456789, 0x414587E7u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bits(real4_value(c.x)), c.expected_bits) << "x = " << c.x;
  }
  EXPECT_TRUE(std::isnan(real4_value(kNaN)));
}

TEST(AicValueTest, ZeroBeyondTheMagnitudeLimit) {
  struct Case {
    double x;
    uint32_t expected_bits;
  };
  const Case cases[] = {
      {100000000.0, 0x4CBEBC20u},                // exactly 1.0e8 is kept
      {-100000000.0, 0xCCBEBC20u},
      {std::nextafter(100000000.0, kInf), 0u},  // rounds to 1.0e8 as a float, but exceeds it
      {100000001.0, 0u},
      {-200000000.0, 0u},                        // replaced by +0.0
      {12.3456789, 0x414587E7u},
      {-0.0, 0x80000000u},
      {kInf, 0u},
      {-kInf, 0u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bits(aic_value(c.x)), c.expected_bits) << "x = " << c.x;
  }
  EXPECT_TRUE(std::isnan(aic_value(kNaN)));  // not a number is not replaced
}

TEST(OrderByteTest, LowEightBits) {
  const struct {
    int16_t order;
    uint8_t expected;
  } cases[] = {{-1, 0xFF}, {3, 0x03}, {0, 0x00}, {256, 0x00}, {383, 0x7F}, {-128, 0x80}, {-32768, 0x00}};
  for (const auto& c : cases) EXPECT_EQ(order_byte(c.order), c.expected) << c.order;
}

TEST(ByteOrderTest, SixteenAndThirtyTwoBitValues) {
  const struct {
    uint16_t value;
    bool swap;
    unsigned char b0, b1;
  } cases16[] = {
      {5000, false, 0x88, 0x13}, {5000, true, 0x13, 0x88}, {0xFFFF, false, 0xFF, 0xFF}, {0x8000, false, 0x00, 0x80},
      {0x8000, true, 0x80, 0x00},
  };
  for (const auto& c : cases16) {
    unsigned char p[2] = {};
    store16(p, c.value, c.swap);
    EXPECT_EQ(p[0], c.b0) << c.value << " swap " << c.swap;
    EXPECT_EQ(p[1], c.b1) << c.value << " swap " << c.swap;
    EXPECT_EQ(load16(p, c.swap), c.value);
  }
  unsigned char p[4] = {};
  store32(p, 0x3F800000u, false);
  EXPECT_EQ(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24, 0x3F800000);
  store32(p, 0x3F800000u, true);
  EXPECT_EQ(p[0], 0x3F);
  EXPECT_EQ(p[1], 0x80);
  EXPECT_EQ(p[2], 0x00);
  EXPECT_EQ(p[3], 0x00);
  EXPECT_EQ(real4_bits(-2.0f), 0xC0000000u);
}

TEST(RecordAddressingTest, FirstRecordAndByteOffsetOfALine) {
  struct Case {
    int32_t band, line, NL, NS, record_length;
    int64_t first_record, first_offset;
  };
  const Case cases[] = {
      {3, 2, 2, 4, 2, 21, 40},    // data.bsq, NB = 3: records 21..24, bytes 40..47
      {1, 1, 2, 4, 2, 1, 0},
      {14, 2, 2, 4, 4, 109, 432},  // p.bsq band 14, line 2
      {1, 2, 2, 4, 1, 5, 4},
      // Beyond 32-bit record numbers: band 5 of a cube of 2^27 lines of 4 samples.
      {5, 1, 1 << 27, 4, 4, int64_t{1} << 31 | 1, int64_t{1} << 33},
      {200, 7500, 7500, 7500, 4, 199LL * 7500 * 7500 + 7499LL * 7500 + 1, (199LL * 7500 * 7500 + 7499LL * 7500) * 4},
  };
  for (const Case& c : cases) {
    const int64_t first = cube_record_before_line(c.band, c.line, c.NL, c.NS) + 1;
    EXPECT_EQ(first, c.first_record) << "band " << c.band << " line " << c.line;
    EXPECT_EQ((first - 1) * c.record_length, c.first_offset);
  }
  EXPECT_EQ(map_record_before_line(1, 4), 0);
  EXPECT_EQ(map_record_before_line(3, 7500), 15000);
  EXPECT_EQ(map_record_before_line(100000, 7500), 749992500);
}

}  // namespace
}  // namespace tsr
