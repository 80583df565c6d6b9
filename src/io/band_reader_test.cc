#include "io/band_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "io/io_test_support.h"
#include "runtime/console.h"

namespace tsr {
namespace {

using io_testing::bytes;
using ::testing::Eq;
using ::testing::ExitedWithCode;

// A cube file of 16-bit little-endian values.
std::string le16(const std::vector<int>& values) {
  std::string s;
  for (int v : values) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
  }
  return s;
}

// A data.bsq of NB = 3, NL = 2, NS = 4 whose record r holds 1000 + r.
std::string numbered_cube() {
  std::vector<int> values;
  for (int r = 1; r <= 24; ++r) values.push_back(1000 + r);
  return le16(values);
}

class BandReaderTest : public io_testing::ImageFileTest {
 protected:
  static constexpr int32_t kNB = 3, kNL = 2, kNS = 4;
  std::string non_existent(int unit, const std::string& name) const {
    return error_line(36, "attempt to access non-existent record", unit, name);
  }
};

TEST_F(BandReaderTest, ReadsEveryBandOfALineIntoTheBandFastestBuffer) {
  dir_.write("data.bsq", numbered_cube());
  ImageFile data;
  data.open(kDataBsq, kNS);
  for (int32_t stride : {3, 200}) {
    for (int32_t line : {1, 2}) {
      std::vector<int16_t> buffer(static_cast<size_t>(stride) * kNS, -7);
      read_data_line(data, line, kNL, kNS, 1, kNB, buffer.data(), stride);
      for (int32_t s = 1; s <= kNS; ++s) {
        for (int32_t b = 1; b <= stride; ++b) {
          const int16_t got = buffer[static_cast<size_t>((s - 1) * stride + (b - 1))];
          const int expected = b <= kNB ? 1000 + (b - 1) * kNL * kNS + (line - 1) * kNS + s : -7;
          EXPECT_EQ(got, expected) << "stride " << stride << " line " << line << " band " << b << " sample " << s;
        }
      }
    }
  }
  // Line 2 of band 3 is records 21..24 (bytes 40..47).
  int16_t line2[12] = {};
  read_data_line(data, 2, kNL, kNS, 1, kNB, line2, kNB);
  EXPECT_EQ(line2[2], 1021);
  EXPECT_EQ(line2[11], 1024);
}

TEST_F(BandReaderTest, OnlyTheRequestedBandsAreRead) {
  dir_.write("data.bsq", numbered_cube());
  ImageFile data;
  data.open(kDataBsq, kNS);
  std::vector<int16_t> buffer(12, -7);
  read_data_line(data, 1, kNL, kNS, 2, 3, buffer.data(), kNB);
  EXPECT_EQ(buffer[0], -7);
  EXPECT_EQ(buffer[1], 1009);
  EXPECT_EQ(buffer[2], 1017);
  // No bands, or no samples: nothing is read, not even from an empty file.
  ImageFile mask;
  mask.open(kMaskBsq, kNS);
  read_mask_line(mask, 1, kNL, kNS, 3, 2, buffer.data(), kNB);
  read_mask_line(mask, 1, kNL, 0, 1, 3, buffer.data(), kNB);
  EXPECT_EQ(buffer[0], -7);
}

TEST_F(BandReaderTest, DataValuesUpTo32767AreTakenUnchanged) {
  const struct {
    std::string record;
    int16_t expected;
  } cases[] = {{bytes({0xFF, 0x7F}), 32767}, {bytes({0x00, 0x00}), 0}, {bytes({0x01, 0x00}), 1},
               {bytes({0x00, 0x10}), 4096}, {bytes({0x34, 0x12}), 0x1234}};
  for (const auto& c : cases) {
    dir_.write("data.bsq", c.record);
    ImageFile data;
    data.open(kDataBsq, 1);
    int16_t value = -7;
    read_data_line(data, 1, 1, 1, 1, 1, &value, 1);
    EXPECT_EQ(value, c.expected);
  }
}

TEST_F(BandReaderTest, ANegativeDataValueEndsTheRunAtThatValue) {
  const struct {
    std::string record;
    const char* text;
  } cases[] = {{bytes({0x00, 0x80}), "-32768"}, {bytes({0xFF, 0xFF}), "-1"}, {bytes({0xFB, 0xFF}), "-5"}};
  for (const auto& c : cases) {
    // Band 3, line 2, sample 3 is record 23; the file stops after it.
    std::string file = numbered_cube().substr(0, 44) + c.record;
    dir_.write("data.bsq", file);
    int16_t buffer[12];
    EXPECT_EXIT(
        {
          console_to_file("console.txt");
          ImageFile data;
          data.open(kDataBsq, kNS);
          read_data_line(data, 2, kNL, kNS, 1, kNB, buffer, kNB);
        },
        ExitedWithCode(1),
        Eq(std::string("tsrecon: data.bsq band 3 line 2 sample 3 holds ") + c.text + "; values must be 0..32767\n"));
    EXPECT_EQ(dir_.read("console.txt"), format_list_line({int4_item(kNL), int4_item(kNS)}));
  }
}

TEST_F(BandReaderTest, RecordsAreJudgedInOrder) {
  // Band 2 of line 1 holds a negative value at sample 2 (record 10, bytes
  // 18..19), and the file ends after `kept` bytes: whichever comes first in
  // record order ends the run.
  std::string cube = numbered_cube();
  cube[18] = '\x00';
  cube[19] = '\x80';
  const struct {
    size_t kept;
    int status;
    bool negative;
  } cases[] = {
      {48, 1, true},    // whole file
      {20, 1, true},    // ends right after the negative record, band 3 missing
      {19, 36, false},  // its high byte is cut off: it reads as 0, then sample 3 is missing
      {18, 36, false},  // ends before the negative record
      {8, 36, false},   // band 2 is wholly missing
  };
  for (const auto& c : cases) {
    dir_.write("data.bsq", cube.substr(0, c.kept));
    int16_t buffer[12];
    const std::string expected_err = c.negative
        ? "tsrecon: data.bsq band 2 line 1 sample 2 holds -32768; values must be 0..32767\n"
        : non_existent(21, "data.bsq");
    EXPECT_EXIT(
        {
          ImageFile data;
          data.open(kDataBsq, kNS);
          read_data_line(data, 1, kNL, kNS, 1, kNB, buffer, kNB);
        },
        ExitedWithCode(c.status), Eq(expected_err))
        << "kept " << c.kept;
  }
}

TEST_F(BandReaderTest, ARecordCutShortIsReadWithZerosForItsMissingBytes) {
  const struct {
    const char* convert;  // FORT_CONVERT21, or nullptr
    int16_t last;
  } cases[] = {{nullptr, 0x0034}, {"LITTLE_ENDIAN", 0x0034}, {"BIG_ENDIAN", 0x3400}};
  for (const auto& c : cases) {
    clear_convert_variables();
    if (c.convert != nullptr) setenv("FORT_CONVERT21", c.convert, 1);
    const bool big = c.convert != nullptr && std::string(c.convert) == "BIG_ENDIAN";
    dir_.write("data.bsq", big ? bytes({0x00, 0x01, 0x00, 0x02, 0x34}) : bytes({0x01, 0x00, 0x02, 0x00, 0x34}));
    ImageFile data;
    data.open(kDataBsq, 3);
    int16_t buffer[3] = {-7, -7, -7};
    read_data_line(data, 1, 1, 3, 1, 1, buffer, 1);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1], 2);
    EXPECT_EQ(buffer[2], c.last);
  }
}

TEST_F(BandReaderTest, ARecordAfterOneCutShortDoesNotExist) {
  dir_.write("data.bsq", bytes({0x01, 0x00, 0x02, 0x00, 0x34}));
  int16_t buffer[4];
  EXPECT_EXIT(
      {
        ImageFile data;
        data.open(kDataBsq, 4);
        read_data_line(data, 1, 1, 4, 1, 1, buffer, 1);
      },
      ExitedWithCode(36), Eq(non_existent(21, "data.bsq")));
}

TEST_F(BandReaderTest, AMissingDataFileIsCreatedEmptyAndItsFirstReadFails) {
  int16_t buffer[12];
  EXPECT_EXIT(
      {
        ImageFile data;
        data.open(kDataBsq, kNS);
        read_data_line(data, 1, kNL, kNS, 1, kNB, buffer, kNB);
      },
      ExitedWithCode(36), Eq(non_existent(21, "data.bsq")));
  EXPECT_TRUE(dir_.exists("data.bsq"));
  EXPECT_EQ(dir_.read("data.bsq"), "");
}

TEST_F(BandReaderTest, MaskBytesAreUnsigned) {
  dir_.write("mask.bsq", bytes({0x00, 0x01, 0x80, 0xFF}));
  setenv("FORT_CONVERT22", "BIG_ENDIAN", 1);  // single bytes have no order to reverse
  ImageFile mask;
  mask.open(kMaskBsq, 4);
  int16_t buffer[4] = {-7, -7, -7, -7};
  read_mask_line(mask, 1, 1, 4, 1, 1, buffer, 1);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], 1);
  EXPECT_EQ(buffer[2], 128);
  EXPECT_EQ(buffer[3], 255);
}

TEST_F(BandReaderTest, AMaskWithFewerBandsEndsTheRunDuringTheFirstLine) {
  dir_.write("mask.bsq", std::string(kNL * kNS, '\x01'));  // one band of three
  int16_t buffer[12];
  EXPECT_EXIT(
      {
        ImageFile mask;
        mask.open(kMaskBsq, kNS);
        read_mask_line(mask, 1, kNL, kNS, 1, kNB, buffer, kNB);
      },
      ExitedWithCode(36), Eq(non_existent(22, "mask.bsq")));
}

TEST_F(BandReaderTest, BigEndianDataIsReadWithItsBytesReversed) {
  setenv("FORT_CONVERT21", "big_endian", 1);
  dir_.write("data.bsq", bytes({0x01, 0x02, 0x7F, 0xFF, 0x00, 0x80}));
  ImageFile data;
  data.open(kDataBsq, 3);
  int16_t buffer[3] = {};
  read_data_line(data, 1, 1, 3, 1, 1, buffer, 1);
  EXPECT_EQ(buffer[0], 0x0102);
  EXPECT_EQ(buffer[1], 32767);
  EXPECT_EQ(buffer[2], 128);
  // Read in the machine's order, the second record (7F FF) is 0xFF7F = -129,
  // which stops the run.
  clear_convert_variables();
  EXPECT_EXIT(
      {
        ImageFile plain;
        plain.open(kDataBsq, 3);
        read_data_line(plain, 1, 1, 3, 1, 1, buffer, 1);
      },
      ExitedWithCode(1), Eq(std::string("tsrecon: data.bsq band 1 line 1 sample 2 holds -129; values must be 0..32767\n")));
}

TEST_F(BandReaderTest, AFailedReadIsError39) {
  dir_.write("data.bsq", numbered_cube());
  set_open_function(&io_testing::open_write_only);
  int16_t buffer[12];
  EXPECT_EXIT(
      {
        ImageFile data;
        data.open(kDataBsq, kNS);
        read_data_line(data, 1, kNL, kNS, 1, kNB, buffer, kNB);
      },
      ExitedWithCode(39), Eq(error_line(39, "error during read", 21, "data.bsq")));
}

TEST_F(BandReaderTest, CubesBeyondTwoGibibytes) {
  // Five bands of 2^26 lines of 4 samples: band 5 starts at byte 2^31 and the
  // record numbers of its last line pass 2^30. The file is sparse.
  constexpr int32_t NB = 5, NL = 1 << 26, NS = 4;
  const int64_t plane_bytes = int64_t{NL} * NS * 2;
  {
    const int fd = ::open("data.bsq", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const std::string first = le16({11, 12, 13, 14});
    const std::string last = le16({21, 22, 23, 24});
    ASSERT_EQ(pwrite(fd, first.data(), 8, 4 * plane_bytes), 8);
    ASSERT_EQ(pwrite(fd, last.data(), 8, 5 * plane_bytes - 8), 8);
    ::close(fd);
  }
  ImageFile data;
  data.open(kDataBsq, NS);
  int16_t buffer[NB * NS];
  read_data_line(data, 1, NL, NS, 1, NB, buffer, NB);
  EXPECT_EQ(buffer[0], 0);
  for (int s = 0; s < NS; ++s) EXPECT_EQ(buffer[s * NB + 4], 11 + s);
  read_data_line(data, NL, NL, NS, 1, NB, buffer, NB);
  for (int s = 0; s < NS; ++s) EXPECT_EQ(buffer[s * NB + 4], 21 + s);
}

}  // namespace
}  // namespace tsr
