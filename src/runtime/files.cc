#include "runtime/files.h"

#include <cerrno>
#include <string>

#include "runtime/errors.h"

namespace tsr {
namespace {

// Only the first characters of a FORT_CONVERT value take part in the comparison.
constexpr size_t kConvertSignificantLength = 20;

char to_upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (to_upper_ascii(a[i]) != to_upper_ascii(b[i])) return false;
  }
  return true;
}

// Opens `name` for reading and writing, creating it when missing and never
// truncating it; falls back to reading only when write access is refused.
// A directory of that name is refused.
Status open_without_truncation(Env& env, int unit, const std::string& name, const std::string& full_path,
                               std::unique_ptr<File>& file, bool& read_only) {
  read_only = false;
  OpenResult opened = env.open(name, OpenMode::kReadWriteCreate);
  if (opened.file == nullptr) {
    if (!refuses_write_access(opened.error)) {
      return Status::runtime_error(open_error_number(opened.error), unit, full_path);
    }
    opened = env.open(name, OpenMode::kReadOnly);
    if (opened.file == nullptr) return Status::runtime_error(kErrPermissionDenied, unit, full_path);
    read_only = true;
  }
  if (opened.file->is_directory()) return Status::runtime_error(kErrPermissionDenied, unit, full_path);
  file = std::move(opened.file);
  return Status::ok();
}

// Reads the whole file from its start.
Status read_whole(File& file, int unit, const std::string& full_path, std::string& content) {
  content.clear();
  char chunk[65536];
  for (;;) {
    const Transfer got = file.read_at(static_cast<int64_t>(content.size()), chunk, sizeof chunk);
    content.append(chunk, got.bytes);
    if (got.error != 0) return Status::runtime_error(kErrRead, unit, full_path);
    if (got.bytes < sizeof chunk) return Status::ok();
  }
}

}  // namespace

ConvertSetting parse_convert_setting(std::string_view value) {
  if (value.size() > kConvertSignificantLength) value = value.substr(0, kConvertSignificantLength);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  if (value.empty()) return ConvertSetting::kUnset;
  if (equals_ignoring_case(value, "BIG_ENDIAN")) return ConvertSetting::kBigEndian;
  if (equals_ignoring_case(value, "LITTLE_ENDIAN")) return ConvertSetting::kLittleEndian;
  if (equals_ignoring_case(value, "NATIVE")) return ConvertSetting::kNative;
  return ConvertSetting::kRejected;
}

std::string convert_variable(int unit) { return "FORT_CONVERT" + std::to_string(unit); }

ConvertSetting convert_setting_of(Env& env, int unit) {
  const auto value = env.variable(convert_variable(unit));
  return value ? parse_convert_setting(*value) : ConvertSetting::kUnset;
}

bool refuses_write_access(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      return true;
    default:
      return false;
  }
}

int open_error_number(int err) { return err == ENOENT ? kErrFileNotFound : kErrPermissionDenied; }

std::string_view trim_file_name(std::string_view name) {
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  return name;
}

std::string expand_file_name(std::string_view directory, std::string_view name) {
  const std::string_view trimmed = trim_file_name(name);
  if ((!trimmed.empty() && trimmed.front() == '/') || directory.empty()) return std::string(trimmed);
  std::string path(directory);
  if (path.back() != '/') path += '/';
  path.append(trimmed);
  return path;
}

// A RecordFile for `unit` named `name`, not yet open, with the byte order of
// its FORT_CONVERT variable; error 46 when that value is rejected.
Status prepare_record_file(Env& env, int unit, std::string_view name, RecordFile& f) {
  f.unit_ = unit;
  f.name_ = std::string(trim_file_name(name));
  f.full_path_ = expand_file_name(env.working_directory(), f.name_);
  const ConvertSetting setting = convert_setting_of(env, unit);
  if (setting == ConvertSetting::kRejected) return f.error(kErrInconsistentOpen);
  f.swap_bytes_ = swaps_bytes(setting);
  return Status::ok();
}

Status open_record_file(Env& env, int unit, std::string_view name, RecordFile& out) {
  RecordFile f;
  TSR_RETURN_IF_ERROR(prepare_record_file(env, unit, name, f));
  TSR_RETURN_IF_ERROR(open_without_truncation(env, unit, f.name_, f.full_path_, f.file_, f.read_only_));
  out = std::move(f);
  return Status::ok();
}

Status open_record_file_read_only(Env& env, int unit, std::string_view name, RecordFile& out) {
  RecordFile f;
  TSR_RETURN_IF_ERROR(prepare_record_file(env, unit, name, f));
  OpenResult opened = env.open(f.name_, OpenMode::kReadOnly);
  if (opened.file == nullptr) return f.error(open_error_number(opened.error));
  if (opened.file->is_directory()) return f.error(kErrPermissionDenied);
  f.file_ = std::move(opened.file);
  f.read_only_ = true;
  out = std::move(f);
  return Status::ok();
}

Status read_text_file(Env& env, int unit, std::string_view name, TextFile* out) {
  const std::string trimmed(trim_file_name(name));
  out->full_path = expand_file_name(env.working_directory(), trimmed);
  OpenResult opened = env.open(trimmed, OpenMode::kReadOnly);
  if (opened.file == nullptr) return Status::runtime_error(open_error_number(opened.error), unit, out->full_path);
  if (opened.file->is_directory()) return Status::runtime_error(kErrPermissionDenied, unit, out->full_path);
  return read_whole(*opened.file, unit, out->full_path, out->content);
}

Status read_or_create_text_file(Env& env, int unit, std::string_view name, TextFile* out) {
  const std::string trimmed(trim_file_name(name));
  out->full_path = expand_file_name(env.working_directory(), trimmed);
  std::unique_ptr<File> file;
  bool read_only = false;
  TSR_RETURN_IF_ERROR(open_without_truncation(env, unit, trimmed, out->full_path, file, read_only));
  return read_whole(*file, unit, out->full_path, out->content);
}

}  // namespace tsr
