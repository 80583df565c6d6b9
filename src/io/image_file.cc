#include "io/image_file.h"

namespace tsr {

int64_t cube_record_before_line(int32_t band, int32_t line, int32_t NL, int32_t NS) {
  const int64_t plane = static_cast<int64_t>(NL) * static_cast<int64_t>(NS);
  return (static_cast<int64_t>(band) - 1) * plane + (static_cast<int64_t>(line) - 1) * static_cast<int64_t>(NS);
}

int64_t map_record_before_line(int32_t line, int32_t NS) {
  return (static_cast<int64_t>(line) - 1) * static_cast<int64_t>(NS);
}

ByteOrder byte_order_of(Env& env, const JobFile& entry) {
  ByteOrder order;
  order.variable = convert_variable(entry.unit);
  order.value = env.variable(order.variable).value_or("");
  order.setting = parse_convert_setting(order.value);
  return order;
}

void ImageFile::prepare(const JobFile& entry, int32_t max_samples) {
  entry_ = &entry;
  record_length_ = element_size(entry.type);
  scratch_.assign(static_cast<size_t>(max_samples > 0 ? max_samples : 0) * static_cast<size_t>(record_length_), 0);
}

Status ImageFile::open(Env& env, const JobFile& entry, int32_t max_samples) {
  prepare(entry, max_samples);
  return open_record_file(env, entry.unit, entry.name, file_);
}

Status ImageFile::open_read_only(Env& env, const JobFile& entry, int32_t max_samples) {
  prepare(entry, max_samples);
  return open_record_file_read_only(env, entry.unit, entry.name, file_);
}

unsigned char* ImageFile::line_scratch(int32_t samples) {
  const size_t bytes = static_cast<size_t>(samples > 0 ? samples : 0) * static_cast<size_t>(record_length_);
  if (scratch_.size() < bytes) scratch_.resize(bytes);
  return scratch_.data();
}

}  // namespace tsr
