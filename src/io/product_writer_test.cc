#include "io/product_writer.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/bits.h"
#include "runtime/console.h"
#include "runtime/errors.h"
#include "support/bytes.h"
#include "support/fake_env.h"
#include "support/process.h"

namespace tsr {
namespace {

using testing::bytes;
using testing::FakeEnv;
using testing::le16;
using testing::le32;

std::string float_le(float f) { return le32(::tsr::testing::bits(f)); }

// Each test writes into an in-memory working directory "/w".
class ProductWriterTest : public ::testing::Test {
 protected:
  std::unique_ptr<ImageFile> open(std::string_view name, int32_t samples) {
    auto f = std::make_unique<ImageFile>();
    const Status s = f->open(env_, run_file(name), samples);
    EXPECT_TRUE(s.is_ok()) << s.message();
    return f;
  }
  std::string read(const std::string& name) const { return env_.contents(name); }
  static Status error(int number, const JobFile& f) {
    return Status::runtime_error(number, f.unit, "/w/" + std::string(f.name));
  }
  FakeEnv env_{"/w"};
};

TEST_F(ProductWriterTest, SeriesLinesGoToTheirRecordsInEveryPlane) {
  constexpr int32_t NB = 3, NL = 2, NS = 4;
  // fit_line(b, s) holds (10 b + s) / 4096 in its band-fastest layout.
  std::vector<double> fit_line(NB * NS);
  for (int s = 1; s <= NS; ++s) {
    for (int b = 1; b <= NB; ++b) fit_line[(s - 1) * NB + (b - 1)] = (10.0 * b + s) / 4096.0;
  }
  auto f = open("f.bsq", NS);
  ASSERT_TRUE(write_series_line(*f, 2, NL, NS, 1, NB, fit_line.data(), NB).is_ok());
  // The cube already has its full size; line 1 of every plane is still zero.
  std::string expected;
  for (int b = 1; b <= NB; ++b) {
    expected += std::string(2 * NS, '\0');
    for (int s = 1; s <= NS; ++s) expected += le16(10 * b + s);
  }
  EXPECT_EQ(read("f.bsq"), expected);
  // Line 2 of band 3 is bytes 40..47.
  EXPECT_EQ(read("f.bsq").substr(40, 8), le16(31) + le16(32) + le16(33) + le16(34));

  // A wider buffer stride leaves the bands beyond NB out.
  std::vector<double> wide(200 * NS, 99.0);
  for (int s = 1; s <= NS; ++s) {
    for (int b = 1; b <= NB; ++b) wide[(s - 1) * 200 + (b - 1)] = (10.0 * b + s) / 4096.0;
  }
  auto i = open("i.bsq", NS);
  ASSERT_TRUE(write_series_line(*i, 2, NL, NS, 1, NB, wide.data(), 200).is_ok());
  EXPECT_EQ(read("i.bsq"), expected);
}

TEST_F(ProductWriterTest, SeriesValuesAreConvertedToDataUnits) {
  const double values[] = {1.0, 0.5 / 4096.0, 0.0, -1.0, 8.0, std::numeric_limits<double>::quiet_NaN()};
  auto f = open("f.bsq", 6);
  ASSERT_TRUE(write_series_line(*f, 1, 1, 6, 1, 1, values, 1).is_ok());
  EXPECT_EQ(read("f.bsq"), bytes({0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00, 0x80, 0x00, 0x00}));
}

TEST_F(ProductWriterTest, ParameterLinesAsFourByteReals) {
  constexpr int32_t NP = 14, NL = 2, NS = 4;
  std::vector<double> param_line(200 * NS);
  for (int s = 1; s <= NS; ++s) {
    for (int k = 1; k <= NP; ++k) param_line[(s - 1) * 200 + (k - 1)] = 0.1 * k + s;
  }
  auto p = open("p.bsq", NS);
  ASSERT_TRUE(write_param_line(*p, 2, NL, NS, 1, NP, param_line.data(), 200).is_ok());
  const std::string file = read("p.bsq");
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

TEST_F(ProductWriterTest, AicAndMapLines) {
  const double values[] = {100000000.0, 100000001.0, -200000000.0, 12.3456789, -0.0};
  auto aic = open("aic.dat", 5);
  ASSERT_TRUE(write_aic_line(*aic, 2, 5, values).is_ok());
  EXPECT_EQ(read("aic.dat"), std::string(20, '\0') + le32(0x4CBEBC20u) + le32(0) + le32(0) + le32(0x414587E7u) +
                                 le32(0x80000000u));

  const int16_t order_line[] = {-1, 3, 256, 127};
  const int16_t min_line[] = {5000, -1, 0, -32768};
  auto order = open("order.dat", 4);
  auto min = open("min.dat", 4);
  EXPECT_TRUE(write_map_line(env_, *order, 2, 4, order_line));
  EXPECT_TRUE(write_map_line(env_, *min, 2, 4, min_line));
  EXPECT_EQ(read("order.dat"), std::string(4, '\0') + bytes({0xFF, 0x03, 0x00, 0x7F}));
  EXPECT_EQ(read("min.dat"), std::string(8, '\0') + bytes({0x88, 0x13, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80}));
  EXPECT_TRUE(write_map_line(env_, *min, 1, 0, min_line));  // no samples, nothing written
  EXPECT_EQ(read("min.dat").size(), 16u);
  EXPECT_EQ(env_.console(), "");
}

TEST_F(ProductWriterTest, BigEndianProductsHaveTheirBytesReversed) {
  for (int unit : {50, 52, 54, 55, 61}) env_.set("FORT_CONVERT" + std::to_string(unit), "BIG_ENDIAN");
  const double one[] = {1.0};
  const int16_t map[] = {5000};
  auto p = open("p.bsq", 1);
  auto f = open("f.bsq", 1);
  auto order = open("order.dat", 1);
  auto aic = open("aic.dat", 1);
  auto min = open("min.dat", 1);
  ASSERT_TRUE(write_param_line(*p, 1, 1, 1, 1, 1, one, 1).is_ok());
  ASSERT_TRUE(write_series_line(*f, 1, 1, 1, 1, 1, one, 1).is_ok());
  EXPECT_TRUE(write_map_line(env_, *order, 1, 1, map));
  ASSERT_TRUE(write_aic_line(*aic, 1, 1, one).is_ok());
  EXPECT_TRUE(write_map_line(env_, *min, 1, 1, map));
  EXPECT_EQ(read("p.bsq"), bytes({0x3F, 0x80, 0x00, 0x00}));
  EXPECT_EQ(read("f.bsq"), bytes({0x10, 0x00}));
  EXPECT_EQ(read("order.dat"), bytes({0x88}));
  EXPECT_EQ(read("aic.dat"), bytes({0x3F, 0x80, 0x00, 0x00}));
  EXPECT_EQ(read("min.dat"), bytes({0x13, 0x88}));
}

TEST_F(ProductWriterTest, AnExistingLongerFileKeepsItsLengthAndTail) {
  // A first run with NS = 4 over two bands and two lines, then a second with NS = 2.
  constexpr int32_t NB = 2, NL = 2;
  const std::vector<double> first(NB * 4, 1.0);  // 4096 = 00 10
  const std::vector<double> second(NB * 2, 2.0 / 4096.0);
  const int16_t max_first[] = {7, 7, 7, 7};
  const int16_t max_second[] = {9, 9};
  for (int run = 1; run <= 2; ++run) {
    const int32_t ns = run == 1 ? 4 : 2;
    auto f = open("f.bsq", ns);
    auto max = open("max.dat", ns);
    for (int32_t line = 1; line <= NL; ++line) {
      ASSERT_TRUE(write_series_line(*f, line, NL, ns, 1, NB, (run == 1 ? first : second).data(), NB).is_ok());
      EXPECT_TRUE(write_map_line(env_, *max, line, ns, run == 1 ? max_first : max_second));
    }
  }
  std::string expected_f;
  for (int k = 0; k < 16; ++k) expected_f += le16(k < 8 ? 2 : 4096);
  EXPECT_EQ(read("f.bsq"), expected_f);
  EXPECT_EQ(read("max.dat"), le16(9) + le16(9) + le16(9) + le16(9) + le16(7) + le16(7) + le16(7) + le16(7));
}

TEST_F(ProductWriterTest, ReadOnlyFilesAndRecordNumbersBelowOne) {
  const double values[8] = {};
  EXPECT_EQ(write_series_line(*open("f.bsq", 4), 0, 2, 4, 1, 1, values, 1),
            error(kErrRecordOutOfRange, run_file("f.bsq")));
  const struct {
    const char* name;
    int kind;  // 0 param, 1 series, 2 aic
  } cases[] = {{"p.bsq", 0}, {"i.bsq", 1}, {"f.bsq", 1}, {"aic.dat", 2}};
  for (const auto& c : cases) {
    env_.put(c.name, "old");
    env_.refuse_writing(c.name);
    auto file = open(c.name, 4);
    Status s;
    if (c.kind == 0) s = write_param_line(*file, 1, 1, 4, 1, 2, values, 2);
    if (c.kind == 1) s = write_series_line(*file, 1, 1, 4, 1, 2, values, 2);
    if (c.kind == 2) s = write_aic_line(*file, 1, 4, values);
    EXPECT_EQ(s, error(kErrWriteReadOnly, run_file(c.name))) << c.name;
    EXPECT_EQ(read(c.name), "old");
    // Nothing to write is no error, even when read-only.
    EXPECT_TRUE(write_param_line(*file, 1, 1, 0, 1, 14, values, 14).is_ok());  // no samples
    EXPECT_TRUE(write_param_line(*file, 1, 1, 4, 2, 1, values, 14).is_ok());  // no bands
    EXPECT_TRUE(write_aic_line(*file, 1, 0, values).is_ok());
  }

  // A read-only map, or a line before the first, is reported on the console
  // and the run goes on.
  env_.put("min.dat", "old");
  env_.refuse_writing("min.dat");
  auto min = open("min.dat", 3);
  const int16_t line[] = {-12, 5, 6};
  EXPECT_FALSE(write_map_line(env_, *min, 4, 3, line));
  EXPECT_FALSE(write_map_line(env_, *open("max.dat", 3), 0, 3, line));
  EXPECT_EQ(env_.console(), format_list_line({int4_item(4), int4_item(1), int2_item(-12)}) +
                                format_list_line({int4_item(0), int4_item(1), int2_item(-12)}));
  EXPECT_EQ(read("min.dat"), "old");
}

TEST_F(ProductWriterTest, AFailedWriteIsError38AndEarlierBytesStay) {
  // A one-band f.bsq of NS = 4 on a disk that fills at byte 1004: line 1 is
  // written, and line 126 (bytes 1000..1007) only up to its second record.
  env_.limit_size("f.bsq", 1004);
  const double line1[] = {1.0 / 4096, 2.0 / 4096, 3.0 / 4096, 4.0 / 4096};
  const double line126[] = {5.0 / 4096, 6.0 / 4096, 7.0 / 4096, 8.0 / 4096};
  auto f = open("f.bsq", 4);
  ASSERT_TRUE(write_series_line(*f, 1, 200, 4, 1, 1, line1, 1).is_ok());
  EXPECT_EQ(write_series_line(*f, 126, 200, 4, 1, 1, line126, 1), error(kErrWrite, run_file("f.bsq")));
  EXPECT_EQ(read("f.bsq"), le16(1) + le16(2) + le16(3) + le16(4) + std::string(992, '\0') + le16(5) + le16(6));
  // A one-band p.bsq of NS = 4 that may hold 1010 bytes: line 64 (bytes
  // 1008..1023) stops inside its first record.
  env_.limit_size("p.bsq", 1010, EFBIG);
  const double p1[] = {1.0, 2.0, 3.0, 4.0};
  const double p64[] = {5.0, 6.0, 7.0, 8.0};
  auto p = open("p.bsq", 4);
  ASSERT_TRUE(write_param_line(*p, 1, 100, 4, 1, 1, p1, 1).is_ok());
  EXPECT_EQ(write_param_line(*p, 64, 100, 4, 1, 1, p64, 1), error(kErrWrite, run_file("p.bsq")));
  EXPECT_EQ(read("p.bsq"),
            float_le(1) + float_le(2) + float_le(3) + float_le(4) + std::string(992, '\0') + float_le(5).substr(0, 2));
}

TEST_F(ProductWriterTest, AFailedMapWriteNamesTheFirstSampleNotWritten) {
  const struct {
    const char* name;
    size_t limit;
    int32_t line;
    std::string line1_bytes;
    std::string failing_bytes;
  } cases[] = {
      // order.dat: 1-byte records; line 251 starts at byte 1000, two records fit.
      {"order.dat", 1002, 251, bytes({0x2C, 0x2D, 0x2E, 0x2F}), bytes({0x2C, 0x2D})},
      // max.dat: 2-byte records; line 126 starts at byte 1000, 5 bytes fit,
      // so its third record is written only half.
      {"max.dat", 1005, 126, le16(300) + le16(301) + le16(302) + le16(303), le16(300) + le16(301) + bytes({0x2E})},
  };
  for (const auto& c : cases) {
    FakeEnv fresh("/w");
    std::swap(env_, fresh);
    env_.limit_size(c.name, c.limit);
    const int16_t line1[] = {1, 2, 3, 4};
    const int16_t failing[] = {300, 301, 302, 303};
    auto map = open(c.name, 4);
    EXPECT_TRUE(write_map_line(env_, *map, 1, 4, line1));
    EXPECT_FALSE(write_map_line(env_, *map, c.line, 4, failing));
    EXPECT_TRUE(write_map_line(env_, *map, 1, 4, failing));  // a later line that fits
    EXPECT_EQ(env_.console(), format_list_line({int4_item(c.line), int4_item(3), int2_item(302)})) << c.name;
    const std::string file = read(c.name);
    ASSERT_EQ(file.size(), c.limit) << c.name;
    EXPECT_EQ(file.substr(0, 4 * static_cast<size_t>(element_size(run_file(c.name).type))), c.line1_bytes) << c.name;
    EXPECT_EQ(file.substr(1000), c.failing_bytes) << c.name;
  }
}

TEST(ProductWriterPosixTest, ProductsBeyondTwoGibibytes) {
  // Five bands of 2^27 lines of 4 samples: band 5 of line 1 lies at byte 2^33.
  constexpr int32_t NB = 5, NL = 1 << 27, NS = 4;
  std::vector<double> param_line(NB * NS);
  for (int i = 0; i < NB * NS; ++i) param_line[i] = i;
  testing::ScratchDir dir;
  const auto env = new_posix_env({dir.path(), {}});
  ImageFile p;
  ASSERT_TRUE(p.open(*env, run_file("p.bsq"), NS).is_ok());
  ASSERT_TRUE(write_param_line(p, 1, NL, NS, 1, NB, param_line.data(), NB).is_ok());
  int64_t plane = int64_t{NL} * NS * 4;
  for (int b = 1; b <= NB; ++b) {
    char got[4 * NS];
    ASSERT_EQ(p.read_at((b - 1) * plane, got, sizeof got).bytes, sizeof got);
    for (int s = 1; s <= NS; ++s) {
      EXPECT_EQ(std::string(got + (s - 1) * 4, 4), float_le(static_cast<float>((s - 1) * NB + (b - 1))))
          << "band " << b << " sample " << s;
    }
  }
}

}  // namespace
}  // namespace tsr
