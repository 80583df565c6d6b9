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

// Reads the band lines first_band..last_band of `line` and hands every record
// that a record-by-record reading would deliver, in order, to
// decode(band, sample, bytes); then raises the error that would stop that
// reading, if any.
template <typename Decode>
void read_band_lines(ImageFile& image, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                     int32_t last_band, Decode&& decode) {
  if (NS <= 0) return;
  RecordFile& file = image.file();
  const int length = image.record_length();
  const size_t wanted = static_cast<size_t>(NS) * static_cast<size_t>(length);
  unsigned char* bytes = image.line_scratch(NS);
  for (int64_t b = first_band; b <= last_band; ++b) {
    const auto band = static_cast<int32_t>(b);
    const int64_t before = cube_record_before_line(band, line, NL, NS);
    if (before + 1 <= 0) raise_runtime_error(severe(kErrRecordOutOfRange), file.unit(), file.full_path());
    const Transfer got = file.read_at(before * length, bytes, wanted);
    size_t records;
    if (got.error != 0) {
      records = got.bytes / static_cast<size_t>(length);
    } else {
      // The end of the file: a record cut short still counts, its missing bytes as 0.
      records = (got.bytes + static_cast<size_t>(length) - 1) / static_cast<size_t>(length);
      std::memset(bytes + got.bytes, 0, records * static_cast<size_t>(length) - got.bytes);
    }
    for (size_t i = 0; i < records; ++i) decode(band, static_cast<int32_t>(i + 1), bytes + i * static_cast<size_t>(length));
    if (records < static_cast<size_t>(NS)) {
      raise_runtime_error(severe(got.error != 0 ? kErrRead : kErrNonExistentRecord), file.unit(), file.full_path());
    }
  }
}

}  // namespace

std::string negative_value_message(const std::string& file_name, int32_t band, int32_t line, int32_t sample,
                                   int16_t value) {
  return "tsrecon: " + file_name + " band " + std::to_string(band) + " line " + std::to_string(line) +
         " sample " + std::to_string(sample) + " holds " + std::to_string(value) + "; values must be 0..32767";
}

void read_data_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                    int32_t last_band, int16_t* data_line, int32_t stride) {
  const bool swap = file.file().swap_bytes();
  read_band_lines(file, line, NL, NS, first_band, last_band,
                  [&](int32_t band, int32_t sample, const unsigned char* record) {
                    const auto value = static_cast<int16_t>(load16(record, swap));
                    data_line[buffer_index(band, sample, stride)] = value;
                    if (value < 0) {
                      write_line({int4_item(NL), int4_item(NS)});
                      fail_run(negative_value_message(file.file().name(), band, line, sample, value));
                    }
                  });
}

void read_mask_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                    int32_t last_band, int16_t* mask_line, int32_t stride) {
  read_band_lines(file, line, NL, NS, first_band, last_band,
                  [&](int32_t band, int32_t sample, const unsigned char* record) {
                    mask_line[buffer_index(band, sample, stride)] = static_cast<int16_t>(record[0]);
                  });
}

}  // namespace tsr
