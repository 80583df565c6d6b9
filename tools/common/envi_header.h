// ENVI header files: the small text files that let GDAL, QGIS and ENVI open
// the headerless cubes and maps of a run.
//
// A header is a first line "ENVI" followed by "key = value" entries; a value
// in braces may run over several lines. Everything here works on text in
// memory; reading and writing the files is the caller's business.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tsr::tools {

// ENVI data type codes of the element types the program reads and writes.
enum EnviDataType : int {
  kEnviByte = 1,     // unsigned 8-bit
  kEnviInt16 = 2,    // signed 16-bit
  kEnviFloat32 = 4,  // 4-byte IEEE real
};

// Georeferencing entries, kept as the raw text of their values (braces
// included), so that they are carried from one header to another unchanged.
struct EnviGeoref {
  std::string map_info;                  // "map info"
  std::string coordinate_system_string;  // "coordinate system string"
  std::string projection_info;           // "projection info"
  bool empty() const { return map_info.empty() && coordinate_system_string.empty() && projection_info.empty(); }
};

// What a header of one of the program's files says.
struct EnviHeader {
  std::string description;  // free text; braces are replaced by parentheses
  int samples = 0;
  int lines = 0;
  int bands = 0;
  int data_type = kEnviInt16;
  std::vector<std::string> band_names;  // empty: no "band names" entry
  std::string ignore_value;             // "data ignore value" ("nan"); empty: none
  // Further "key = value" entries, written in order after the band names.
  std::vector<std::pair<std::string, std::string>> extra;
  EnviGeoref georef;
};

// The header text: "ENVI", description, samples, lines, bands, header offset
// 0, file type "ENVI Standard", data type, interleave bsq, byte order 0 (the
// files are little-endian), band names, the ignore value and the extra
// entries, and the georeferencing entries that are set. Lines end with a line feed.
std::string format_envi_header(const EnviHeader& header);

// The entries of a header text: keys in lower case with runs of blanks
// folded to one, values trimmed, braced values joined over lines (line ends
// kept). Returns false (and leaves `entries` empty) when the text does not
// start with the line "ENVI" or a brace is never closed.
bool parse_envi_header(std::string_view text, std::map<std::string, std::string>& entries);

// The items of a braced list value: "{a, b,\n c}" -> "a", "b", "c" (each
// trimmed); a value without braces is one item.
std::vector<std::string> envi_list(std::string_view value);

// The georeferencing entries among parsed header entries.
EnviGeoref georef_of(const std::map<std::string, std::string>& entries);

// Ways in which the header found beside an input cube disagrees with what the
// program reads from that cube: `samples`, `lines` and `bands` from cntl.dat,
// headerless, band-sequential, of `data_type`, in `byte_order` (0 little-,
// 1 big-endian, as FORT_CONVERT makes tsrecon read). One sentence per
// disagreement; empty when the header fits.
std::vector<std::string> input_header_problems(const std::map<std::string, std::string>& entries, int samples,
                                               int lines, int bands, int data_type, int byte_order = 0);

// The header name GDAL and ENVI look for first: the file name with its
// extension replaced by ".hdr" ("p.bsq" -> "p.hdr", "order.dat" ->
// "order.hdr"); a name without extension gets ".hdr" appended.
std::string header_name_for(std::string_view file_name);

// The other name GDAL accepts: ".hdr" appended to the whole name ("p.bsq.hdr").
std::string appended_header_name_for(std::string_view file_name);

}  // namespace tsr::tools
