// What the header of an input cube says that the companions use. tsrecon
// itself reads no header; tsrecon-import writes data.hdr with the dates as
// band names, "data ignore value = 32767" and the scaling of the cube
// ("tsrecon factor": raw per user unit, "tsrecon units": what a unit is).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/env.h"

namespace tsr::tools {

struct InputHeader {
  std::string name;    // the header found ("data.hdr" or "data.bsq.hdr"); empty: none
  bool valid = false;  // an ENVI header that could be read
  std::map<std::string, std::string> entries;
  std::vector<std::string> band_names;
  // The band names as day numbers (days since 1970-01-01) when every one is a
  // date written YYYY-MM-DD; empty otherwise.
  std::vector<int32_t> days;
  double factor = 0.0;  // "tsrecon factor" when it is a positive number; 0 otherwise
  std::string units;    // "tsrecon units"
};

// Looks for the header of `file` in the Env's working directory (GDAL's
// order: the extension replaced by ".hdr", then ".hdr" appended) and reads
// it, opening it for reading only.
InputHeader read_input_header(Env& env, std::string_view file);

// Day number (days since 1970-01-01) of a date written YYYY-MM-DD (the years
// 1..9999, stack/dates.h), or nothing.
std::optional<int32_t> day_number(std::string_view text);

}  // namespace tsr::tools
