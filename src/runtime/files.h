// The file layer: the image files and the control file as the operating
// system sees them.
//
// Every file of the program is opened in the working directory, created when
// missing and never truncated. When the file system refuses write access the
// file is opened for reading only; writing to it is then refused by the
// callers with "write to READONLY file". Image files are read and written with
// positioned transfers at 64-bit byte offsets, so products and inputs larger
// than 2 GiB work like any other.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/errors.h"

namespace tsr {

// Byte-order setting of an image file, from its FORT_CONVERT<unit> variable.
enum class ConvertSetting {
  kUnset,         // variable missing or empty: values as stored on this machine
  kNative,        // "NATIVE"
  kLittleEndian,  // "LITTLE_ENDIAN"
  kBigEndian,     // "BIG_ENDIAN": the bytes of every value are reversed
  kRejected,      // any other value, including the foreign real formats
};

// Interprets the value of a FORT_CONVERT<unit> variable. Only the first 20
// characters count, trailing blanks are ignored and case does not matter; a
// value that is empty (or blank) counts as unset. "IBM", "CRAY", "VAXD",
// "VAXG", "FDX" and "FGX" name real formats this program does not support and
// are rejected like any unknown value.
ConvertSetting parse_convert_setting(std::string_view value);

// True when the setting reverses the bytes of every value read or written.
inline bool swaps_bytes(ConvertSetting setting) { return setting == ConvertSetting::kBigEndian; }

// True when an open for reading and writing failed with `err` because the file
// system refuses write access (a read-only file, an immutable file, a
// read-only mount, a running executable): the file is then opened read-only.
bool refuses_write_access(int err);

// The run-time error number of a failed open: 29 ("file not found") when the
// create failed with ENOENT (a missing directory), 9 for anything else.
int open_error_number(int err);

// The name given at an open with leading and trailing blanks removed.
std::string_view trim_file_name(std::string_view name);

// The path shown in messages: the working directory at the time of the call,
// "/", and the trimmed name.
std::string expand_file_name(std::string_view name);

// Outcome of a positioned transfer: the bytes actually moved and, when the
// transfer stopped early because of a failure, its errno (0 otherwise; a read
// that stops early with error 0 reached the end of the file).
struct Transfer {
  size_t bytes = 0;
  int error = 0;
};

// An image file opened for direct access to fixed-length binary records.
class RecordFile final : public Closable {
 public:
  RecordFile() = default;
  ~RecordFile() override;
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Opens (creating when missing, never truncating) the file `name` of the
  // working directory for unit `unit` and registers it for closing at the end
  // of the run. Reads FORT_CONVERT<unit>. Failures end the run: error 46 for a
  // rejected FORT_CONVERT value, 29 for a missing directory, 9 for a
  // directory of that name or any other refusal.
  void open(int unit, std::string_view name);

  // Closes the file; closing a file that is not open does nothing.
  void close() override;

  bool is_open() const { return fd_ >= 0; }
  bool read_only() const { return read_only_; }
  bool swap_bytes() const { return swap_bytes_; }
  int unit() const { return unit_; }
  // The file name without blanks, e.g. "data.bsq".
  const std::string& name() const { return name_; }
  // The name expanded against the working directory of the open.
  const std::string& full_path() const { return full_path_; }

  // Reads up to `size` bytes at `offset`, stopping early only at the end of
  // the file or on a failure. Interrupted calls are resumed.
  Transfer read_at(int64_t offset, void* buffer, size_t size);

  // Writes `size` bytes at `offset`, resuming interrupted calls and
  // continuing after short writes until everything is written or a call fails.
  Transfer write_at(int64_t offset, const void* buffer, size_t size);

 private:
  int fd_ = -1;
  int unit_ = 0;
  bool read_only_ = false;
  bool swap_bytes_ = false;
  std::string name_;
  std::string full_path_;
};

// Reads the whole text file `name` (the control file, unit 15), creating it
// empty when missing, never truncating it, and closes it again. `full_path`
// receives the name expanded against the working directory for messages.
// The open fails as RecordFile::open does; a failed read is error 39.
std::string read_text_file(int unit, const std::string& name, std::string& full_path);

// The open(2) call used by the file layer. Tests replace it to imitate file
// systems that refuse write access; the previous function is returned.
using OpenFunction = int (*)(const char* path, int flags, mode_t mode);
OpenFunction set_open_function(OpenFunction function);

}  // namespace tsr
