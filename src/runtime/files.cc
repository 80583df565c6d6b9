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

FileName file_name_of(Env& env, int unit, std::string_view name) {
  FileName f;
  f.unit = unit;
  f.name = std::string(trim_file_name(name));
  f.full_path = expand_file_name(env.working_directory(), f.name);
  return f;
}

Status open_program_file(Env& env, const FileName& name, ProgramOpen how, std::unique_ptr<File>* file,
                         bool* read_only) {
  bool refused_writing = false;
  OpenResult opened;
  if (how == ProgramOpen::kReadWrite) {
    opened = env.open(name.name, OpenMode::kReadWriteCreate);
    if (opened.file == nullptr) {
      if (!refuses_write_access(opened.error)) return name.error(open_error_number(opened.error));
      opened = env.open(name.name, OpenMode::kReadOnly);
      if (opened.file == nullptr) return name.error(kErrPermissionDenied);
      refused_writing = true;
    }
  } else {
    opened = env.open(name.name, OpenMode::kReadOnly);
    if (opened.file == nullptr) return name.error(open_error_number(opened.error));
  }
  if (opened.file->is_directory()) return name.error(kErrPermissionDenied);
  *file = std::move(opened.file);
  *read_only = how == ProgramOpen::kReadOnly || refused_writing;
  return Status::ok();
}

namespace {

// Opens and reads a whole text file.
Status read_whole_text(Env& env, int unit, std::string_view name, ProgramOpen how, FileText* out) {
  const FileName f = file_name_of(env, unit, name);
  out->full_path = f.full_path;
  std::unique_ptr<File> file;
  bool read_only = false;
  TSR_RETURN_IF_ERROR(open_program_file(env, f, how, &file, &read_only));
  return read_whole(*file, unit, out->full_path, out->content);
}

}  // namespace

Status read_text_file(Env& env, int unit, std::string_view name, FileText* out) {
  return read_whole_text(env, unit, name, ProgramOpen::kReadOnly, out);
}

Status read_or_create_text_file(Env& env, int unit, std::string_view name, FileText* out) {
  return read_whole_text(env, unit, name, ProgramOpen::kReadWrite, out);
}

}  // namespace tsr
