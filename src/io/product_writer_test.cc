#include "io/product_writer.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "io/io_test_support.h"
#include "support/bits.h"
#include "runtime/console.h"

namespace tsr {
namespace {

using io_testing::bytes;
using ::testing::Eq;
using ::testing::ExitedWithCode;

std::string le16(int v) { return bytes({v & 0xFF, (v >> 8) & 0xFF}); }

std::string le32(uint32_t v) {
  return bytes({static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>((v >> 16) & 0xFF),
                static_cast<int>(v >> 24)});
}

std::string float_le(float f) { return le32(::tsr::testing::bits(f)); }

// Ends the calling (death-test child) process after limiting the size of
// every file it writes; SIGXFSZ is ignored so that writes fail with EFBIG.
void limit_file_size(rlim_t bytes_allowed) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit lim{};
  lim.rlim_cur = bytes_allowed;
  lim.rlim_max = bytes_allowed;
  setrlimit(RLIMIT_FSIZE, &lim);
}

class ProductWriterTest : public io_testing::ImageFileTest {};

TEST_F(ProductWriterTest, SeriesLinesGoToTheirRecordsInEveryPlane) {
  constexpr int32_t NB = 3, NL = 2, NS = 4;
  // fit_line(b, s) holds (10 b + s) / 4096 in its band-fastest layout.
  std::vector<double> fit_line(NB * NS);
  for (int s = 1; s <= NS; ++s) {
    for (int b = 1; b <= NB; ++b) fit_line[(s - 1) * NB + (b - 1)] = (10.0 * b + s) / 4096.0;
  }
  ImageFile f;
  f.open(kFitBsq, NS);
  write_series_line(f, 2, NL, NS, 1, NB, fit_line.data(), NB);
  // The cube already has its full size; line 1 of every plane is still zero.
  std::string expected;
  for (int b = 1; b <= NB; ++b) {
    expected += std::string(2 * NS, '\0');
    for (int s = 1; s <= NS; ++s) expected += le16(10 * b + s);
  }
  EXPECT_EQ(dir_.read("f.bsq"), expected);
  // Line 2 of band 3 is bytes 40..47.
  EXPECT_EQ(dir_.read("f.bsq").substr(40, 8), le16(31) + le16(32) + le16(33) + le16(34));

  // A wider buffer stride leaves the bands beyond NB out.
  std::vector<double> wide(200 * NS, 99.0);
  for (int s = 1; s <= NS; ++s) {
    for (int b = 1; b <= NB; ++b) wide[(s - 1) * 200 + (b - 1)] = (10.0 * b + s) / 4096.0;
  }
  ImageFile i;
  i.open(kInterpBsq, NS);
  write_series_line(i, 2, NL, NS, 1, NB, wide.data(), 200);
  EXPECT_EQ(dir_.read("i.bsq"), expected);
}

TEST_F(ProductWriterTest, SeriesValuesAreConvertedToDataUnits) {
  const double values[] = {1.0, 0.5 / 4096.0, 0.0, -1.0, 8.0, std::numeric_limits<double>::quiet_NaN()};
  ImageFile f;
  f.open(kFitBsq, 6);
  write_series_line(f, 1, 1, 6, 1, 1, values, 1);
  EXPECT_EQ(dir_.read("f.bsq"), bytes({0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00, 0x80, 0x00, 0x00}));
}

TEST_F(ProductWriterTest, ParameterLinesAsFourByteReals) {
  constexpr int32_t NP = 14, NL = 2, NS = 4;
  std::vector<double> param_line(200 * NS);
  for (int s = 1; s <= NS; ++s) {
    for (int k = 1; k <= NP; ++k) param_line[(s - 1) * 200 + (k - 1)] = 0.1 * k + s;
  }
  ImageFile p;
  p.open(kParamBsq, NS);
  write_param_line(p, 2, NL, NS, 1, NP, param_line.data(), 200);
  const std::string file = dir_.read("p.bsq");
  ASSERT_EQ(file.size(), static_cast<size_t>(NP * NL * NS * 4));
  for (int k = 1; k <= NP; ++k) {
    for (int s = 1; s <= NS; ++s) {
      const size_t line1 = static_cast<size_t>(((k - 1) * NL * NS + s - 1) * 4);
      EXPECT_EQ(file.substr(line1, 4), std::string(4, '\0'));
      EXPECT_EQ(file.substr(line1 + NS * 4, 4), float_le(static_cast<float>(0.1 * k + s))) << k << " " << s;
    }
  }
  // Line 2 of band 14 starts with record 109, at byte 432.
  EXPECT_EQ(file.substr(432, 4), float_le(static_cast<float>(1.4 + 1)));
}

TEST_F(ProductWriterTest, AicLines) {
  const double values[] = {100000000.0, 100000001.0, -200000000.0, 12.3456789, -0.0};
  ImageFile aic;
  aic.open(kAicDat, 5);
  write_aic_line(aic, 2, 5, values);
  const std::string file = dir_.read("aic.dat");
  EXPECT_EQ(file, std::string(20, '\0') + le32(0x4CBEBC20u) + le32(0) + le32(0) + le32(0x414587E7u) +
                      le32(0x80000000u));
}

TEST_F(ProductWriterTest, MapLines) {
  const int16_t order_line[] = {-1, 3, 256, 127};
  const int16_t min_line[] = {5000, -1, 0, -32768};
  ImageFile order, min;
  order.open(kOrderDat, 4);
  min.open(kMinDat, 4);
  EXPECT_TRUE(write_map_line(order, 2, 4, order_line));
  EXPECT_TRUE(write_map_line(min, 2, 4, min_line));
  EXPECT_EQ(dir_.read("order.dat"), std::string(4, '\0') + bytes({0xFF, 0x03, 0x00, 0x7F}));
  EXPECT_EQ(dir_.read("min.dat"),
            std::string(8, '\0') + bytes({0x88, 0x13, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80}));
  EXPECT_TRUE(write_map_line(min, 1, 0, min_line));  // no samples, nothing written
  EXPECT_EQ(dir_.read("min.dat").size(), 16u);
}

TEST_F(ProductWriterTest, BigEndianProductsHaveTheirBytesReversed) {
  for (int unit : {50, 52, 54, 55, 61}) setenv(("FORT_CONVERT" + std::to_string(unit)).c_str(), "BIG_ENDIAN", 1);
  const double one[] = {1.0};
  const int16_t map[] = {5000};
  ImageFile p, f, order, aic, min;
  p.open(kParamBsq, 1);
  f.open(kFitBsq, 1);
  order.open(kOrderDat, 1);
  aic.open(kAicDat, 1);
  min.open(kMinDat, 1);
  write_param_line(p, 1, 1, 1, 1, 1, one, 1);
  write_series_line(f, 1, 1, 1, 1, 1, one, 1);
  EXPECT_TRUE(write_map_line(order, 1, 1, map));
  write_aic_line(aic, 1, 1, one);
  EXPECT_TRUE(write_map_line(min, 1, 1, map));
  EXPECT_EQ(dir_.read("p.bsq"), bytes({0x3F, 0x80, 0x00, 0x00}));
  EXPECT_EQ(dir_.read("f.bsq"), bytes({0x10, 0x00}));
  EXPECT_EQ(dir_.read("order.dat"), bytes({0x88}));
  EXPECT_EQ(dir_.read("aic.dat"), bytes({0x3F, 0x80, 0x00, 0x00}));
  EXPECT_EQ(dir_.read("min.dat"), bytes({0x13, 0x88}));
}

TEST_F(ProductWriterTest, AnExistingLongerFileKeepsItsLengthAndTail) {
  // A first run with NS = 4 over two bands and two lines, then a second with NS = 2.
  constexpr int32_t NB = 2, NL = 2;
  const std::vector<double> first(NB * 4, 1.0);  // 4096 = 00 10
  const std::vector<double> second(NB * 2, 2.0 / 4096.0);
  const int16_t max_first[] = {7, 7, 7, 7};
  const int16_t max_second[] = {9, 9};
  {
    ImageFile f, max;
    f.open(kFitBsq, 4);
    max.open(kMaxDat, 4);
    for (int32_t line = 1; line <= NL; ++line) {
      write_series_line(f, line, NL, 4, 1, NB, first.data(), NB);
      EXPECT_TRUE(write_map_line(max, line, 4, max_first));
    }
  }
  const std::string old_f = dir_.read("f.bsq");
  const std::string old_max = dir_.read("max.dat");
  ImageFile f, max;
  f.open(kFitBsq, 2);
  max.open(kMaxDat, 2);
  for (int32_t line = 1; line <= NL; ++line) {
    write_series_line(f, line, NL, 2, 1, NB, second.data(), NB);
    EXPECT_TRUE(write_map_line(max, line, 2, max_second));
  }
  std::string expected_f = old_f;
  expected_f.replace(0, 16, le16(2) + le16(2) + le16(2) + le16(2) + le16(2) + le16(2) + le16(2) + le16(2));
  EXPECT_EQ(dir_.read("f.bsq"), expected_f);
  std::string expected_max = old_max;
  expected_max.replace(0, 8, le16(9) + le16(9) + le16(9) + le16(9));
  EXPECT_EQ(dir_.read("max.dat"), expected_max);
}

TEST_F(ProductWriterTest, ReadOnlyCubesAndAicEndTheRunWithError47) {
  const double values[8] = {};
  const struct {
    ImageFileLayout layout;
    int kind;  // 0 param, 1 series, 2 aic
  } cases[] = {{kParamBsq, 0}, {kInterpBsq, 1}, {kFitBsq, 1}, {kAicDat, 2}};
  for (const auto& c : cases) {
    dir_.write(c.layout.name, "old");
    set_open_function(&io_testing::open_refusing_writes);
    EXPECT_EXIT(
        {
          ImageFile file;
          file.open(c.layout, 4);
          if (c.kind == 0) write_param_line(file, 1, 1, 4, 1, 2, values, 2);
          if (c.kind == 1) write_series_line(file, 1, 1, 4, 1, 2, values, 2);
          if (c.kind == 2) write_aic_line(file, 1, 4, values);
        },
        ExitedWithCode(47), Eq(error_line(47, "write to READONLY file", c.layout.unit, c.layout.name)));
    set_open_function(nullptr);
    EXPECT_EQ(dir_.read(c.layout.name), "old");
  }
}

TEST_F(ProductWriterTest, NothingToWriteIsNoErrorEvenWhenReadOnly) {
  const double values[8] = {};
  dir_.write("p.bsq", "old");
  set_open_function(&io_testing::open_refusing_writes);
  ImageFile p;
  p.open(kParamBsq, 4);
  ASSERT_TRUE(p.file().read_only());
  write_param_line(p, 1, 1, 0, 1, 14, values, 14);  // no samples
  write_param_line(p, 1, 1, 4, 2, 1, values, 14);  // no bands
  write_aic_line(p, 1, 0, values);
  EXPECT_EQ(dir_.read("p.bsq"), "old");
}

TEST_F(ProductWriterTest, ReadOnlyMapIsReportedOnTheConsoleAndTheRunGoesOn) {
  dir_.write("min.dat", "old");
  set_open_function(&io_testing::open_refusing_writes);
  ImageFile min;
  min.open(kMinDat, 3);
  const int16_t line[] = {-12, 5, 6};
  ::testing::internal::CaptureStdout();
  const bool written = write_map_line(min, 4, 3, line);
  flush_console();
  const std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(written);
  EXPECT_EQ(console, format_list_line({int4_item(4), int4_item(1), int2_item(-12)}));
  EXPECT_EQ(dir_.read("min.dat"), "old");
}

// The size limit applies to every file the child writes, including the
// capture of its standard error and console: the limits leave room for those,
// and the failing product lines lie at offsets just below the limit.

// A one-band f.bsq of NS = 4 under a 1004-byte limit: line 1 is written, and
// line 126 (bytes 1000..1007) only up to its second record.
void write_two_series_lines() {
  limit_file_size(1004);
  const double line1[] = {1.0 / 4096, 2.0 / 4096, 3.0 / 4096, 4.0 / 4096};
  const double line126[] = {5.0 / 4096, 6.0 / 4096, 7.0 / 4096, 8.0 / 4096};
  ImageFile f;
  f.open(kFitBsq, 4);
  write_series_line(f, 1, 200, 4, 1, 1, line1, 1);
  write_series_line(f, 126, 200, 4, 1, 1, line126, 1);
}

// A one-band p.bsq of NS = 4 under a 1010-byte limit: line 64 (bytes
// 1008..1023) stops inside its first record.
void write_two_param_lines() {
  limit_file_size(1010);
  const double line1[] = {1.0, 2.0, 3.0, 4.0};
  const double line64[] = {5.0, 6.0, 7.0, 8.0};
  ImageFile p;
  p.open(kParamBsq, 4);
  write_param_line(p, 1, 100, 4, 1, 1, line1, 1);
  write_param_line(p, 64, 100, 4, 1, 1, line64, 1);
}

TEST_F(ProductWriterTest, AFailedWriteIsError38AndEarlierBytesStay) {
  EXPECT_EXIT(write_two_series_lines(), ExitedWithCode(38), Eq(error_line(38, "error during write", 52, "f.bsq")));
  EXPECT_EQ(dir_.read("f.bsq"), le16(1) + le16(2) + le16(3) + le16(4) + std::string(992, '\0') + le16(5) + le16(6));
  EXPECT_EXIT(write_two_param_lines(), ExitedWithCode(38), Eq(error_line(38, "error during write", 50, "p.bsq")));
  EXPECT_EQ(dir_.read("p.bsq"),
            float_le(1) + float_le(2) + float_le(3) + float_le(4) + std::string(992, '\0') + float_le(5).substr(0, 2));
}

// Under a size limit, line `line` of a map stops inside its third record; the
// writer reports it and returns false, and a later line that fits is written.
// The child ends with status 0 when every return value was as expected.
void write_maps_past_limit(const ImageFileLayout& layout, rlim_t limit, int32_t line) {
  limit_file_size(limit);
  const int16_t line1[] = {1, 2, 3, 4};
  const int16_t failing[] = {300, 301, 302, 303};
  ImageFile map;
  map.open(layout, 4);
  const bool first = write_map_line(map, 1, 4, line1);
  const bool second = write_map_line(map, line, 4, failing);
  const bool again = write_map_line(map, 1, 4, failing);
  flush_console();
  _exit(first && !second && again ? 0 : 1);
}

TEST_F(ProductWriterTest, AFailedMapWriteNamesTheFirstSampleNotWritten) {
  const struct {
    ImageFileLayout layout;
    rlim_t limit;
    int32_t line;
    std::string line1_bytes;
    std::string failing_bytes;
  } cases[] = {
      // order.dat: 1-byte records; line 251 starts at byte 1000, two records fit.
      {kOrderDat, 1002, 251, bytes({0x2C, 0x2D, 0x2E, 0x2F}), bytes({0x2C, 0x2D})},
      // max.dat: 2-byte records; line 126 starts at byte 1000, 5 bytes fit,
      // so its third record is written only half.
      {kMaxDat, 1005, 126, le16(300) + le16(301) + le16(302) + le16(303), le16(300) + le16(301) + bytes({0x2E})},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          console_to_file("console.txt");
          write_maps_past_limit(c.layout, c.limit, c.line);
        },
        ExitedWithCode(0), "");
    EXPECT_EQ(dir_.read("console.txt"), format_list_line({int4_item(c.line), int4_item(3), int2_item(302)}))
        << c.layout.name;
    const std::string file = dir_.read(c.layout.name);
    ASSERT_EQ(file.size(), c.limit) << c.layout.name;
    EXPECT_EQ(file.substr(0, 4 * c.layout.record_length), c.line1_bytes) << c.layout.name;
    EXPECT_EQ(file.substr(1000), c.failing_bytes) << c.layout.name;
  }
}

TEST_F(ProductWriterTest, RecordNumbersBelowOne) {
  const double values[4] = {};
  EXPECT_EXIT(
      {
        ImageFile f;
        f.open(kFitBsq, 4);
        write_series_line(f, 0, 2, 4, 1, 1, values, 1);
      },
      ExitedWithCode(25), Eq(error_line(25, "record number outside range", 52, "f.bsq")));
  const int16_t map[] = {8, 9, 10, 11};
  ImageFile min;
  min.open(kMinDat, 4);
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(write_map_line(min, 0, 4, map));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), format_list_line({int4_item(0), int4_item(1), int2_item(8)}));
}

TEST_F(ProductWriterTest, ProductsBeyondTwoGibibytes) {
  // Five bands of 2^27 lines of 4 samples: band 5 of line 1 lies at byte 2^33.
  constexpr int32_t NB = 5, NL = 1 << 27, NS = 4;
  std::vector<double> param_line(NB * NS);
  for (int i = 0; i < NB * NS; ++i) param_line[i] = i;
  ImageFile p;
  p.open(kParamBsq, NS);
  write_param_line(p, 1, NL, NS, 1, NB, param_line.data(), NB);
  int64_t plane = int64_t{NL} * NS * 4;
  for (int b = 1; b <= NB; ++b) {
    char got[4 * NS];
    ASSERT_EQ(p.file().read_at((b - 1) * plane, got, sizeof got).bytes, sizeof got);
    for (int s = 1; s <= NS; ++s) {
      EXPECT_EQ(std::string(got + (s - 1) * 4, 4), float_le(static_cast<float>((s - 1) * NB + (b - 1))))
          << "band " << b << " sample " << s;
    }
  }
}

}  // namespace
}  // namespace tsr
