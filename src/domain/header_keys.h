// The keys of the ENVI headers the program and its companions read and write
// (data.hdr, mask.hdr and the products' headers), as the one header reader
// folds them: lower case, runs of blanks folded to one.
#pragma once

#include <string_view>

namespace tsr::header_key {

// ENVI's own entries.
inline constexpr std::string_view kDescription = "description";
inline constexpr std::string_view kSamples = "samples";
inline constexpr std::string_view kLines = "lines";
inline constexpr std::string_view kBands = "bands";
inline constexpr std::string_view kHeaderOffset = "header offset";
inline constexpr std::string_view kFileType = "file type";
inline constexpr std::string_view kDataType = "data type";
inline constexpr std::string_view kInterleave = "interleave";
inline constexpr std::string_view kByteOrder = "byte order";
inline constexpr std::string_view kBandNames = "band names";  // the dates of data.hdr, YYYY-MM-DD
inline constexpr std::string_view kIgnoreValue = "data ignore value";  // kRawNoData in data.hdr
inline constexpr std::string_view kMapInfo = "map info";
inline constexpr std::string_view kCoordinateSystem = "coordinate system string";
inline constexpr std::string_view kProjectionInfo = "projection info";

// The scaling of the cube that tsrecon-import records in data.hdr: raw per
// unit of the user's values (raw = value x factor), and what those values
// are ("NDVI", "reflectance", "input value").
inline constexpr std::string_view kFactor = "tsrecon factor";
inline constexpr std::string_view kUnits = "tsrecon units";

}  // namespace tsr::header_key
