#include "io/band_reader.h"

#include <cstddef>
#include <cstring>

#include "io/conversions.h"
#include "runtime/console.h"
#include "runtime/errors.h"

namespace tsr {
namespace {

size_t buffer_index(int32_t band, int32_t sample, int32_t stride) {
  return static_cast<size_t>(sample - 1) * static_cast<size_t>(stride) + static_cast<size_t>(band - 1);
}

// Reads `count` records that follow record `before` and hands every record
// that a record-by-record reading would deliver, in order, to
// decode(index from 1, bytes), which may stop the reading by returning a
// status that is not ok; then returns the error that would stop that reading,
// if any.
template <typename Decode>
Status read_records(ImageFile& image, int64_t before, int32_t count, Decode&& decode) {
  ImageFile& file = image;
  const int length = image.record_length();
  if (before + 1 <= 0) return file.error(kErrRecordOutOfRange);
  const size_t wanted = static_cast<size_t>(count) * static_cast<size_t>(length);
  unsigned char* bytes = image.line_scratch(count);
  const Transfer got = file.read_at(before * length, bytes, wanted);
  size_t records;
  if (got.error != 0) {
    records = got.bytes / static_cast<size_t>(length);
  } else {
    // The end of the file: a record cut short still counts, its missing bytes as 0.
    records = (got.bytes + static_cast<size_t>(length) - 1) / static_cast<size_t>(length);
    std::memset(bytes + got.bytes, 0, records * static_cast<size_t>(length) - got.bytes);
  }
  for (size_t i = 0; i < records; ++i) {
    TSR_RETURN_IF_ERROR(decode(static_cast<int32_t>(i + 1), bytes + i * static_cast<size_t>(length)));
  }
  if (records < static_cast<size_t>(count)) return file.error(got.error != 0 ? kErrRead : kErrNonExistentRecord);
  return Status::ok();
}

// The band lines first_band..last_band of `line`, one transfer each;
// decode(band, sample, bytes).
template <typename Decode>
Status read_band_lines(ImageFile& image, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                       int32_t last_band, Decode&& decode) {
  if (NS <= 0) return Status::ok();
  for (int64_t b = first_band; b <= last_band; ++b) {
    const auto band = static_cast<int32_t>(b);
    TSR_RETURN_IF_ERROR(read_records(image, cube_record_before_line(band, line, NL, NS), NS,
                                     [&](int32_t sample, const unsigned char* record) {
                                       return decode(band, sample, record);
                                     }));
  }
  return Status::ok();
}

int16_t decode_value(const ImageFile& image, const unsigned char* record, bool swap) {
  return image.record_length() == 1 ? static_cast<int16_t>(record[0]) : static_cast<int16_t>(load16(record, swap));
}

}  // namespace

std::string negative_value_text(const std::string& file_name, int32_t band, int32_t line, int32_t sample,
                                int16_t value) {
  return file_name + " band " + std::to_string(band) + " line " + std::to_string(line) +
         " sample " + std::to_string(sample) + " holds " + std::to_string(value) + "; values must be 0..32767";
}

Status read_data_line(Env& env, ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                      int32_t last_band, int16_t* data_line, int32_t stride) {
  const bool swap = file.swap_bytes();
  return read_band_lines(file, line, NL, NS, first_band, last_band,
                         [&](int32_t band, int32_t sample, const unsigned char* record) {
                           const auto value = static_cast<int16_t>(load16(record, swap));
                           data_line[buffer_index(band, sample, stride)] = value;
                           if (value >= 0) return Status::ok();
                           write_line(env, {int4_item(NL), int4_item(NS)});
                           return Status::refused(negative_value_text(file.name(), band, line, sample, value));
                         });
}

Status read_cube_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band, int32_t last_band,
                      int16_t* values, int32_t stride) {
  const bool swap = file.swap_bytes();
  return read_band_lines(file, line, NL, NS, first_band, last_band,
                         [&](int32_t band, int32_t sample, const unsigned char* record) {
                           values[buffer_index(band, sample, stride)] = decode_value(file, record, swap);
                           return Status::ok();
                         });
}

Status read_mask_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                      int32_t last_band, int16_t* mask_line, int32_t stride) {
  // Mask bytes are delivered as 0..255, and nothing in them stops a run.
  return read_cube_line(file, line, NL, NS, first_band, last_band, mask_line, stride);
}

Status read_pixel(ImageFile& file, const PixelPlace& at, int16_t* values, int32_t* delivered) {
  const bool swap = file.swap_bytes();
  *delivered = 0;
  for (int32_t band = 1; band <= at.NB; ++band) {
    TSR_RETURN_IF_ERROR(read_records(file, cube_record_before_line(band, at.line, at.NL, at.NS) + at.sample - 1, 1,
                                     [&](int32_t, const unsigned char* record) {
                                       values[band - 1] = decode_value(file, record, swap);
                                       return Status::ok();
                                     }));
    *delivered = band;
  }
  return Status::ok();
}

}  // namespace tsr
