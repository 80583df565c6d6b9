#include "io/band_reader.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

// A data.bsq of NB = 3, NL = 2, NS = 4 whose record r holds 1000 + r.
std::string numbered_cube() {
  std::vector<int> values;
  for (int r = 1; r <= 24; ++r) values.push_back(1000 + r);
  return le16(values);
}

class BandReaderTest : public ::testing::Test {
 protected:
  static constexpr int32_t kNB = 3, kNL = 2, kNS = 4;
  // Opens `name` of the fake working directory; the test fails when it cannot.
  std::unique_ptr<ImageFile> open(const char* name, int32_t samples) {
    auto f = std::make_unique<ImageFile>();
    const Status s = f->open(env_, run_file(name), samples);
    EXPECT_TRUE(s.is_ok()) << s.message();
    return f;
  }
  Status read_data(const std::string& file, int32_t line, int16_t* buffer) {
    env_.put("data.bsq", file);
    auto data = open("data.bsq", kNS);
    return read_data_line(env_, *data, line, kNL, kNS, 1, kNB, buffer, kNB);
  }
  static Status non_existent(int unit, const std::string& name) {
    return Status::runtime_error(kErrNonExistentRecord, unit, "/w/" + name);
  }
  static Status negative(const std::string& place) {
    return Status::refused("data.bsq " + place + "; values must be 0..32767");
  }
  FakeEnv env_{"/w"};
};

TEST_F(BandReaderTest, ReadsEveryBandOfALineIntoTheBandFastestBuffer) {
  env_.put("data.bsq", numbered_cube());
  auto data = open("data.bsq", kNS);
  for (int32_t stride : {3, 200}) {
    for (int32_t line : {1, 2}) {
      std::vector<int16_t> buffer(static_cast<size_t>(stride) * kNS, -7);
      ASSERT_TRUE(read_data_line(env_, *data, line, kNL, kNS, 1, kNB, buffer.data(), stride).is_ok());
      for (int32_t s = 1; s <= kNS; ++s) {
        for (int32_t b = 1; b <= stride; ++b) {
          const int16_t got = buffer[static_cast<size_t>((s - 1) * stride + (b - 1))];
          const int expected = b <= kNB ? 1000 + (b - 1) * kNL * kNS + (line - 1) * kNS + s : -7;
          EXPECT_EQ(got, expected) << "stride " << stride << " line " << line << " band " << b << " sample " << s;
        }
      }
    }
  }
  // Only the requested bands are read.
  std::vector<int16_t> buffer(12, -7);
  ASSERT_TRUE(read_data_line(env_, *data, 1, kNL, kNS, 2, 3, buffer.data(), kNB).is_ok());
  EXPECT_EQ(buffer[0], -7);
  EXPECT_EQ(buffer[1], 1009);
  EXPECT_EQ(buffer[2], 1017);
  // No bands, or no samples: nothing is read, not even from an empty file.
  auto mask = open("mask.bsq", kNS);
  EXPECT_TRUE(read_mask_line(*mask, 1, kNL, kNS, 3, 2, buffer.data(), kNB).is_ok());
  EXPECT_TRUE(read_mask_line(*mask, 1, kNL, 0, 1, 3, buffer.data(), kNB).is_ok());
  EXPECT_EQ(buffer[0], -7);
}

TEST_F(BandReaderTest, NegativeValuesStopTheReadingAtThatValue) {
  const struct {
    std::string record;
    const char* text;
  } cases[] = {{bytes({0x00, 0x80}), "-32768"}, {bytes({0xFF, 0xFF}), "-1"}, {bytes({0xFB, 0xFF}), "-5"}};
  for (const auto& c : cases) {
    // Band 3, line 2, sample 3 is record 23; the file stops after it.
    int16_t buffer[12];
    FakeEnv fresh("/w");
    std::swap(env_, fresh);
    EXPECT_EQ(read_data(numbered_cube().substr(0, 44) + c.record, 2, buffer),
              negative(std::string("band 3 line 2 sample 3 holds ") + c.text));
    EXPECT_EQ(env_.console(), format_list_line({int4_item(kNL), int4_item(kNS)}));
  }
  // Values up to 32767 are taken unchanged.
  for (int v : {32767, 0, 1, 4096, 0x1234}) {
    env_.put("data.bsq", le16({v}));
    auto data = open("data.bsq", 1);
    int16_t value = -7;
    ASSERT_TRUE(read_data_line(env_, *data, 1, 1, 1, 1, 1, &value, 1).is_ok());
    EXPECT_EQ(value, v);
  }
}

TEST_F(BandReaderTest, RecordsAreJudgedInOrder) {
  // Band 2 of line 1 holds a negative value at sample 2 (record 10, bytes
  // 18..19), and the file ends after `kept` bytes: whichever comes first in
  // record order stops the reading.
  std::string cube = numbered_cube();
  cube[18] = '\x00';
  cube[19] = '\x80';
  const struct {
    size_t kept;
    bool negative;
  } cases[] = {
      {48, true},   // whole file
      {20, true},   // ends right after the negative record, band 3 missing
      {19, false},  // its high byte is cut off: it reads as 0, then sample 3 is missing
      {18, false},  // ends before the negative record
      {8, false},   // band 2 is wholly missing
  };
  for (const auto& c : cases) {
    int16_t buffer[12];
    EXPECT_EQ(read_data(cube.substr(0, c.kept), 1, buffer),
              c.negative ? negative("band 2 line 1 sample 2 holds -32768") : non_existent(21, "data.bsq"))
        << "kept " << c.kept;
  }
}

TEST_F(BandReaderTest, ARecordCutShortIsReadWithZerosForItsMissingBytes) {
  const struct {
    const char* convert;  // FORT_CONVERT21, or nullptr
    int16_t last;
  } cases[] = {{nullptr, 0x0034}, {"LITTLE_ENDIAN", 0x0034}, {"BIG_ENDIAN", 0x3400}};
  for (const auto& c : cases) {
    env_.unset("FORT_CONVERT21");
    if (c.convert != nullptr) env_.set("FORT_CONVERT21", c.convert);
    const bool big = c.convert != nullptr && std::string(c.convert) == "BIG_ENDIAN";
    env_.put("data.bsq", big ? bytes({0x00, 0x01, 0x00, 0x02, 0x34}) : bytes({0x01, 0x00, 0x02, 0x00, 0x34}));
    auto data = open("data.bsq", 3);
    int16_t buffer[4] = {-7, -7, -7, -7};
    ASSERT_TRUE(read_data_line(env_, *data, 1, 1, 3, 1, 1, buffer, 1).is_ok());
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1], 2);
    EXPECT_EQ(buffer[2], c.last);
    // A record after one cut short does not exist.
    EXPECT_EQ(read_data_line(env_, *data, 1, 1, 4, 1, 1, buffer, 1), non_existent(21, "data.bsq"));
  }
}

TEST_F(BandReaderTest, MissingFailingAndShortInputs) {
  int16_t buffer[12];
  // A missing data.bsq is created empty and its first read fails.
  auto data = open("data.bsq", kNS);
  EXPECT_EQ(read_data_line(env_, *data, 1, kNL, kNS, 1, kNB, buffer, kNB), non_existent(21, "data.bsq"));
  EXPECT_TRUE(env_.exists("data.bsq"));
  // A failing disk: error 39 after the records read before it.
  env_.put("data.bsq", numbered_cube());
  env_.fail_reads_from("data.bsq", 20);
  auto failing = open("data.bsq", kNS);
  buffer[4] = -7;
  EXPECT_EQ(read_data_line(env_, *failing, 1, kNL, kNS, 1, kNB, buffer, kNB),
            Status::runtime_error(kErrRead, 21, "/w/data.bsq"));
  EXPECT_EQ(buffer[4], 1010);  // band 2, sample 2 was delivered first
  // A mask with fewer bands ends during the first line.
  env_.put("mask.bsq", std::string(kNL * kNS, '\x01'));
  auto mask = open("mask.bsq", kNS);
  EXPECT_EQ(read_mask_line(*mask, 1, kNL, kNS, 1, kNB, buffer, kNB), non_existent(22, "mask.bsq"));
}

TEST_F(BandReaderTest, ByteOrders) {
  // Mask bytes are unsigned; single bytes have no order to reverse.
  env_.put("mask.bsq", bytes({0x00, 0x01, 0x80, 0xFF}));
  env_.set("FORT_CONVERT22", "BIG_ENDIAN");
  auto mask = open("mask.bsq", 4);
  int16_t buffer[4] = {-7, -7, -7, -7};
  ASSERT_TRUE(read_mask_line(*mask, 1, 1, 4, 1, 1, buffer, 1).is_ok());
  EXPECT_EQ(std::vector<int16_t>(buffer, buffer + 4), (std::vector<int16_t>{0, 1, 128, 255}));

  env_.put("data.bsq", bytes({0x01, 0x02, 0x7F, 0xFF, 0x00, 0x80}));
  env_.set("FORT_CONVERT21", "big_endian");
  auto big = open("data.bsq", 3);
  ASSERT_TRUE(read_data_line(env_, *big, 1, 1, 3, 1, 1, buffer, 1).is_ok());
  EXPECT_EQ(std::vector<int16_t>(buffer, buffer + 3), (std::vector<int16_t>{0x0102, 32767, 128}));
  // Read in the machine's order, the second record (7F FF) is 0xFF7F = -129.
  env_.unset("FORT_CONVERT21");
  auto plain = open("data.bsq", 3);
  EXPECT_EQ(read_data_line(env_, *plain, 1, 1, 3, 1, 1, buffer, 1), negative("band 1 line 1 sample 2 holds -129"));
}

TEST_F(BandReaderTest, OnePixelOfEveryBand) {
  env_.put("data.bsq", numbered_cube());
  auto data = open("data.bsq", 1);
  int16_t values[kNB] = {};
  int32_t delivered = -1;
  ASSERT_TRUE(read_pixel(*data, {2, 3, kNB, kNL, kNS}, values, &delivered).is_ok());
  EXPECT_EQ(std::vector<int16_t>(values, values + kNB), (std::vector<int16_t>{1007, 1015, 1023}));
  EXPECT_EQ(delivered, kNB);
  env_.put("data.bsq", numbered_cube().substr(0, 34));  // band 3 missing
  EXPECT_EQ(read_pixel(*data, {2, 3, kNB, kNL, kNS}, values, &delivered), non_existent(21, "data.bsq"));
  EXPECT_EQ(delivered, 2);
}

// Whole lines as stored: negative data values and mask bytes above 127 are
// delivered, a cube cut short ends with error 36 after the records before it.
TEST_F(BandReaderTest, LinesAsStored) {
  env_.put("data.bsq", le16({1, -2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));  // NB 3, NL 1, NS 4
  auto data = open("data.bsq", kNS);
  int16_t values[12] = {};
  ASSERT_TRUE(read_cube_line(*data, 1, 1, kNS, 1, kNB, values, kNB).is_ok());
  EXPECT_EQ(std::vector<int16_t>(values, values + 6), (std::vector<int16_t>{1, 5, 9, -2, 6, 10}));
  env_.put("mask.bsq", bytes({0, 255, 1, 2, 3, 4, 5, 6, 7, 8, 9}));  // the last record missing
  auto mask = open("mask.bsq", kNS);
  EXPECT_EQ(read_cube_line(*mask, 1, 1, kNS, 1, kNB, values, kNB), non_existent(22, "mask.bsq"));
  EXPECT_EQ(std::vector<int16_t>(values, values + 6), (std::vector<int16_t>{0, 3, 7, 255, 4, 8}));
}

TEST(BandReaderPosixTest, CubesBeyondTwoGibibytes) {
  // Five bands of 2^26 lines of 4 samples: band 5 starts at byte 2^31 and the
  // record numbers of its last line pass 2^30. The file is sparse.
  constexpr int32_t NB = 5, NL = 1 << 26, NS = 4;
  const int64_t plane_bytes = int64_t{NL} * NS * 2;
  testing::ScratchDir dir;
  const auto env = new_posix_env({dir.path(), {}});
  ImageFile data;
  ASSERT_TRUE(data.open(*env, run_file("data.bsq"), NS).is_ok());
  ASSERT_EQ(data.write_at(4 * plane_bytes, le16({11, 12, 13, 14}).data(), 8).bytes, 8u);
  ASSERT_EQ(data.write_at(5 * plane_bytes - 8, le16({21, 22, 23, 24}).data(), 8).bytes, 8u);
  int16_t buffer[NB * NS];
  ASSERT_TRUE(read_data_line(*env, data, 1, NL, NS, 1, NB, buffer, NB).is_ok());
  EXPECT_EQ(buffer[0], 0);
  for (int s = 0; s < NS; ++s) EXPECT_EQ(buffer[s * NB + 4], 11 + s);
  ASSERT_TRUE(read_data_line(*env, data, NL, NL, NS, 1, NB, buffer, NB).is_ok());
  for (int s = 0; s < NS; ++s) EXPECT_EQ(buffer[s * NB + 4], 21 + s);
}

}  // namespace
}  // namespace tsr
