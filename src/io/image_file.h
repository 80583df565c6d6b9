// An open image file of a run together with the scratch space its line
// transfers use, and the record addressing of the band-sequential files.
#pragma once

#include <cstddef>
#include <cstdint>
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

// An image file opened for the whole run. Each band line (or map line) is
// moved in one transfer through a scratch buffer that is allocated when the
// file is opened, sized for `max_samples` elements.
class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Opens (or creates, never truncating) the file of `entry` in the Env's
  // working directory (see open_record_file).
  Status open(Env& env, const JobFile& entry, int32_t max_samples);
  // Opens an existing file for reading only (see open_record_file_read_only).
  Status open_read_only(Env& env, const JobFile& entry, int32_t max_samples);
  void close() { file_.close(); }

  bool is_open() const { return file_.is_open(); }
  int record_length() const { return record_length_; }
  RecordFile& file() { return file_; }
  const JobFile* entry() const { return entry_; }

  // Scratch space for one line of `samples` elements. Only a caller that
  // passes more samples than were announced at the open makes it grow.
  unsigned char* line_scratch(int32_t samples);

 private:
  void prepare(const JobFile& entry, int32_t max_samples);

  RecordFile file_;
  const JobFile* entry_ = nullptr;
  int record_length_ = 1;
  std::vector<unsigned char> scratch_;
};

}  // namespace tsr
