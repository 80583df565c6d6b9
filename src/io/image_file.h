// The image files of a run: which unit and record length each has, and an
// open image file together with the scratch space its line transfers use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/files.h"

namespace tsr {

// Unit number, file name and record length (bytes per element) of an image file.
struct ImageFileLayout {
  int unit;
  const char* name;
  int record_length;
};

inline constexpr ImageFileLayout kDataBsq{21, "data.bsq", 2};
inline constexpr ImageFileLayout kMaskBsq{22, "mask.bsq", 1};
inline constexpr ImageFileLayout kParamBsq{50, "p.bsq", 4};
inline constexpr ImageFileLayout kInterpBsq{51, "i.bsq", 2};
inline constexpr ImageFileLayout kFitBsq{52, "f.bsq", 2};
inline constexpr ImageFileLayout kOrderDat{54, "order.dat", 1};
inline constexpr ImageFileLayout kAicDat{55, "aic.dat", 4};
inline constexpr ImageFileLayout kMinDat{61, "min.dat", 2};
inline constexpr ImageFileLayout kMaxDat{62, "max.dat", 2};

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

  // Opens (or creates, never truncating) the file of `layout` in the working
  // directory; failures end the run (see RecordFile::open).
  void open(const ImageFileLayout& layout, int32_t max_samples);
  void close() { file_.close(); }

  bool is_open() const { return file_.is_open(); }
  int unit() const { return file_.unit(); }
  int record_length() const { return record_length_; }
  RecordFile& file() { return file_; }

  // Scratch space for one line of `samples` elements. Only a caller that
  // passes more samples than were announced at the open makes it grow.
  unsigned char* line_scratch(int32_t samples);

 private:
  RecordFile file_;
  int record_length_ = 1;
  std::vector<unsigned char> scratch_;
};

}  // namespace tsr
