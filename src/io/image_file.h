// An open image file of a run together with the scratch space its line
// transfers use, and the record addressing of the band-sequential files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "domain/run_files.h"
#include "runtime/env.h"
#include "runtime/files.h"
#include "runtime/status.h"

namespace tsr {

// Record addressing of the band-sequential files. Records are numbered from 1;
// record r starts at byte offset (r - 1) * record length. These return the
// number of the record just before sample 1 of the line, so sample s is that
// number plus s. The arithmetic is 64-bit: files beyond 2 GiB are addressed
// like any other.
//   cubes: (band - 1) * NL * NS + (line - 1) * NS
//   maps:  (line - 1) * NS
int64_t cube_record_before_line(int32_t band, int32_t line, int32_t NL, int32_t NS);
int64_t map_record_before_line(int32_t line, int32_t NS);

// The byte order a run reads or writes the file of `entry` in, as its
// FORT_CONVERT<unit> variable sets it.
struct ByteOrder {
  std::string variable;  // "FORT_CONVERT21"
  std::string value;     // the variable's value; empty when unset
  ConvertSetting setting = ConvertSetting::kUnset;
  // The values are stored big-endian (every value's bytes reversed).
  bool big_endian() const { return swaps_bytes(setting); }
};
ByteOrder byte_order_of(Env& env, const JobFile& entry);

// An image file of the run, opened on its unit for the whole run, with its
// names and byte order. Each band line (or map line) is moved in one transfer
// through a scratch buffer that is allocated when the file is opened, sized
// for `max_samples` elements. Closed when destroyed or by close().
class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Opens (or creates, never truncating) the file of `entry` in the Env's
  // working directory, with the byte order of its FORT_CONVERT<unit>
  // variable; for reading only when write access is refused. Errors: 46 for
  // a rejected FORT_CONVERT value, 29 for a missing directory, 9 for a
  // directory of that name or any other refusal.
  Status open(Env& env, const JobFile& entry, int32_t max_samples);
  // The same for a file that is only read and must exist (the companions'
  // reading of inputs and products): never created; a missing file is error 29.
  Status open_read_only(Env& env, const JobFile& entry, int32_t max_samples);
  void close() { file_.reset(); }

  bool is_open() const { return file_ != nullptr; }
  bool read_only() const { return read_only_; }
  bool swap_bytes() const { return swap_bytes_; }
  int unit() const { return name_.unit; }
  // The file name, e.g. "data.bsq".
  const std::string& name() const { return name_.name; }
  // The name expanded against the working directory of the open.
  const std::string& full_path() const { return name_.full_path; }
  int record_length() const { return record_length_; }
  const JobFile* entry() const { return entry_; }

  // Positioned transfers (see File). Require is_open().
  Transfer read_at(int64_t offset, void* buffer, size_t size) { return file_->read_at(offset, buffer, size); }
  Transfer write_at(int64_t offset, const void* buffer, size_t size) {
    return file_->write_at(offset, buffer, size);
  }
  int64_t size() { return file_->size(); }

  // The run-time error `number` on this file.
  Status error(int number) const { return name_.error(number); }

  // Scratch space for one line of `samples` elements. Only a caller that
  // passes more samples than were announced at the open makes it grow.
  unsigned char* line_scratch(int32_t samples);

 private:
  Status open_as(Env& env, const JobFile& entry, int32_t max_samples, ProgramOpen how);

  std::unique_ptr<File> file_;
  FileName name_;
  bool read_only_ = false;
  bool swap_bytes_ = false;
  const JobFile* entry_ = nullptr;
  int record_length_ = 1;
  std::vector<unsigned char> scratch_;
};

}  // namespace tsr
