#include "io/image_file.h"

#include "runtime/errors.h"

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

Status ImageFile::open_as(Env& env, const JobFile& entry, int32_t max_samples, ProgramOpen how) {
  close();
  entry_ = &entry;
  record_length_ = element_size(entry.type);
  scratch_.assign(static_cast<size_t>(max_samples > 0 ? max_samples : 0) * static_cast<size_t>(record_length_), 0);
  name_ = file_name_of(env, entry.unit, entry.name);
  const ConvertSetting setting = convert_setting_of(env, entry.unit);
  if (setting == ConvertSetting::kRejected) return error(kErrInconsistentOpen);
  swap_bytes_ = swaps_bytes(setting);
  return open_program_file(env, name_, how, &file_, &read_only_);
}

Status ImageFile::open(Env& env, const JobFile& entry, int32_t max_samples) {
  return open_as(env, entry, max_samples, ProgramOpen::kReadWrite);
}

Status ImageFile::open_read_only(Env& env, const JobFile& entry, int32_t max_samples) {
  return open_as(env, entry, max_samples, ProgramOpen::kReadOnly);
}

unsigned char* ImageFile::line_scratch(int32_t samples) {
  const size_t bytes = static_cast<size_t>(samples > 0 ? samples : 0) * static_cast<size_t>(record_length_);
  if (scratch_.size() < bytes) scratch_.resize(bytes);
  return scratch_.data();
}

}  // namespace tsr
