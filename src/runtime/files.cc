#include "runtime/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace tsr {
namespace {

// Only the first characters of a FORT_CONVERT value take part in the comparison.
constexpr size_t kConvertSignificantLength = 20;

int system_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

OpenFunction open_function = &system_open;

char to_upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (to_upper_ascii(a[i]) != to_upper_ascii(b[i])) return false;
  }
  return true;
}

bool is_directory(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens `name` for reading and writing, creating it when missing and never
// truncating it; falls back to reading only when write access is refused.
// Ends the run with the matching error when neither works or the name is a
// directory.
int open_without_truncation(int unit, const std::string& name, const std::string& full_path,
                            bool& read_only) {
  read_only = false;
  int fd;
  do {
    fd = open_function(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    if (!refuses_write_access(err)) raise_runtime_error(severe(open_error_number(err)), unit, full_path);
    do {
      fd = open_function(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) raise_runtime_error(severe(kErrPermissionDenied), unit, full_path);
    read_only = true;
  }
  if (is_directory(fd)) {
    ::close(fd);
    raise_runtime_error(severe(kErrPermissionDenied), unit, full_path);
  }
  return fd;
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

std::string expand_file_name(std::string_view name) {
  const std::string_view trimmed = trim_file_name(name);
  if (!trimmed.empty() && trimmed.front() == '/') return std::string(trimmed);
  std::string cwd;
  std::string buffer(4096, '\0');
  while (true) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) {
      cwd = buffer.c_str();
      break;
    }
    if (errno != ERANGE) break;  // no working directory to show: the bare name
    buffer.resize(buffer.size() * 2);
  }
  if (cwd.empty()) return std::string(trimmed);
  if (cwd.back() != '/') cwd += '/';
  cwd.append(trimmed);
  return cwd;
}

RecordFile::~RecordFile() { close(); }

void RecordFile::open(int unit, std::string_view name) {
  close();
  unit_ = unit;
  name_ = std::string(trim_file_name(name));
  full_path_ = expand_file_name(name_);
  const std::string variable = "FORT_CONVERT" + std::to_string(unit);
  const char* value = std::getenv(variable.c_str());
  const ConvertSetting setting = value == nullptr ? ConvertSetting::kUnset : parse_convert_setting(value);
  if (setting == ConvertSetting::kRejected) raise_runtime_error(severe(kErrInconsistentOpen), unit, full_path_);
  swap_bytes_ = swaps_bytes(setting);
  fd_ = open_without_truncation(unit, name_, full_path_, read_only_);
  register_open_file(this);
}

void RecordFile::close() {
  if (fd_ < 0) return;
  unregister_open_file(this);
  ::close(fd_);
  fd_ = -1;
}

Transfer RecordFile::read_at(int64_t offset, void* buffer, size_t size) {
  Transfer result;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (result.bytes < size) {
    const ssize_t n = ::pread(fd_, bytes + result.bytes, size - result.bytes,
                              static_cast<off_t>(offset + static_cast<int64_t>(result.bytes)));
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = errno;
      break;
    }
    if (n == 0) break;  // end of file
    result.bytes += static_cast<size_t>(n);
  }
  return result;
}

Transfer RecordFile::write_at(int64_t offset, const void* buffer, size_t size) {
  Transfer result;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (result.bytes < size) {
    const ssize_t n = ::pwrite(fd_, bytes + result.bytes, size - result.bytes,
                               static_cast<off_t>(offset + static_cast<int64_t>(result.bytes)));
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = errno;
      break;
    }
    if (n == 0) {  // a write that moves nothing and reports nothing cannot progress
      result.error = EIO;
      break;
    }
    result.bytes += static_cast<size_t>(n);
  }
  return result;
}

std::string read_text_file(int unit, const std::string& name, std::string& full_path) {
  const std::string trimmed(trim_file_name(name));
  full_path = expand_file_name(trimmed);
  bool read_only = false;
  const int fd = open_without_truncation(unit, trimmed, full_path, read_only);
  std::string content;
  char chunk[65536];
  while (true) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      raise_runtime_error(severe(kErrRead), unit, full_path);
    }
    if (n == 0) break;
    content.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

OpenFunction set_open_function(OpenFunction function) {
  OpenFunction previous = open_function;
  open_function = function == nullptr ? &system_open : function;
  return previous;
}

}  // namespace tsr
