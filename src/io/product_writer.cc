#include "io/product_writer.h"

#include <cstddef>

#include "io/conversions.h"
#include "runtime/console.h"
#include "runtime/errors.h"

namespace tsr {
namespace {

size_t buffer_index(int32_t band, int32_t sample, int32_t stride) {
  return static_cast<size_t>(sample - 1) * static_cast<size_t>(stride) + static_cast<size_t>(band - 1);
}

// Writes NS converted records that follow record `before`; an error when
// they cannot all be written.
Status write_records(ImageFile& image, int64_t before, int32_t NS, const unsigned char* bytes) {
  ImageFile& file = image;
  if (file.read_only()) return file.error(kErrWriteReadOnly);
  if (before + 1 <= 0) return file.error(kErrRecordOutOfRange);
  const int length = image.record_length();
  const size_t wanted = static_cast<size_t>(NS) * static_cast<size_t>(length);
  const Transfer done = file.write_at(before * length, bytes, wanted);
  if (done.bytes < wanted) return file.error(kErrWrite);
  return Status::ok();
}

// Converts and writes the cube band lines first_band..last_band of `line`;
// encode(record bytes, value) stores one converted element.
template <typename Encode>
Status write_cube_line(ImageFile& image, int32_t line, int32_t NL, int32_t NS, int32_t first_band, int32_t last_band,
                     const double* source, int32_t stride, Encode&& encode) {
  if (NS <= 0) return Status::ok();
  const size_t length = static_cast<size_t>(image.record_length());
  unsigned char* bytes = image.line_scratch(NS);
  for (int64_t b = first_band; b <= last_band; ++b) {
    const auto band = static_cast<int32_t>(b);
    for (int32_t s = 1; s <= NS; ++s) {
      encode(bytes + static_cast<size_t>(s - 1) * length, source[buffer_index(band, s, stride)]);
    }
    TSR_RETURN_IF_ERROR(write_records(image, cube_record_before_line(band, line, NL, NS), NS, bytes));
  }
  return Status::ok();
}

}  // namespace

Status write_param_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                        int32_t last_band, const double* param_line, int32_t stride) {
  const bool swap = file.swap_bytes();
  return write_cube_line(file, line, NL, NS, first_band, last_band, param_line, stride,
                  [swap](unsigned char* record, double value) { store32(record, real4_bits(real4_value(value)), swap); });
}

Status write_series_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                         int32_t last_band, const double* series_line, int32_t stride) {
  const bool swap = file.swap_bytes();
  return write_cube_line(file, line, NL, NS, first_band, last_band, series_line, stride,
                  [swap](unsigned char* record, double value) {
                    store16(record, static_cast<uint16_t>(scaled_series_value(value)), swap);
                  });
}

Status write_aic_line(ImageFile& file, int32_t line, int32_t NS, const double* aic_line) {
  if (NS <= 0) return Status::ok();
  const bool swap = file.swap_bytes();
  unsigned char* bytes = file.line_scratch(NS);
  for (int32_t s = 1; s <= NS; ++s) {
    store32(bytes + static_cast<size_t>(s - 1) * 4, real4_bits(aic_value(aic_line[s - 1])), swap);
  }
  return write_records(file, map_record_before_line(line, NS), NS, bytes);
}

bool write_map_line(Env& env, ImageFile& file, int32_t line, int32_t NS, const int16_t* map_line) {
  if (NS <= 0) return true;
  ImageFile& records = file;
  const bool swap = records.swap_bytes();
  const int length = file.record_length();
  unsigned char* bytes = file.line_scratch(NS);
  for (int32_t s = 1; s <= NS; ++s) {
    unsigned char* record = bytes + static_cast<size_t>(s - 1) * static_cast<size_t>(length);
    if (length == 1) {
      record[0] = order_byte(map_line[s - 1]);
    } else {
      store16(record, static_cast<uint16_t>(map_line[s - 1]), swap);
    }
  }
  const int64_t before = map_record_before_line(line, NS);
  size_t written = 0;
  const size_t wanted = static_cast<size_t>(NS) * static_cast<size_t>(length);
  if (!records.read_only() && before + 1 > 0) {
    written = records.write_at(before * length, bytes, wanted).bytes;
  }
  if (written == wanted) return true;
  // The first record not written whole: a record cut short counts as not written.
  const auto sample = static_cast<int32_t>(written / static_cast<size_t>(length)) + 1;
  write_line(env, {int4_item(line), int4_item(sample), int2_item(map_line[sample - 1])});
  return false;
}

}  // namespace tsr
