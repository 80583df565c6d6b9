#include "tools/common/input_header.h"

#include <cstdlib>

#include "domain/header_keys.h"
#include "runtime/files.h"
#include "tools/common/envi_header.h"

namespace tsr::tools {

std::optional<int32_t> day_number(std::string_view t) {
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return std::nullopt;
  int v[3] = {0, 0, 0};
  const size_t starts[3] = {0, 5, 8}, lengths[3] = {4, 2, 2};
  for (int k = 0; k < 3; ++k) {
    for (size_t i = starts[k]; i < starts[k] + lengths[k]; ++i) {
      if (t[i] < '0' || t[i] > '9') return std::nullopt;
      v[k] = v[k] * 10 + (t[i] - '0');
    }
  }
  const int y = v[0], m = v[1], d = v[2];
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  const int month_days[12] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1 || d > month_days[m - 1]) return std::nullopt;
  // Days from the civil date (the proleptic Gregorian calendar).
  const int yy = y - (m <= 2 ? 1 : 0);
  const int era = yy / 400;
  const int yoe = yy - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

InputHeader read_input_header(Env& env, std::string_view file) {
  InputHeader h;
  FileText header;
  const std::string& text = header.content;
  for (const std::string& name : {header_name_for(file), appended_header_name_for(file)}) {
    if (read_text_file(env, 0, name, &header).is_ok()) {
      h.name = name;
      break;
    }
  }
  if (h.name.empty() || !parse_envi_header(text, h.entries)) return h;
  h.valid = true;
  if (const auto it = h.entries.find(std::string(header_key::kBandNames)); it != h.entries.end()) h.band_names = envi_list(it->second);
  for (const std::string& n : h.band_names) {
    const auto day = day_number(n);
    if (!day) {
      h.days.clear();
      break;
    }
    h.days.push_back(*day);
  }
  if (const auto it = h.entries.find(std::string(header_key::kFactor)); it != h.entries.end()) {
    char* end = nullptr;
    const double f = std::strtod(it->second.c_str(), &end);
    if (end != it->second.c_str() && *end == '\0' && f > 0.0 && f < 1e300) h.factor = f;
  }
  if (const auto it = h.entries.find(std::string(header_key::kUnits)); it != h.entries.end()) h.units = it->second;
  return h;
}

}  // namespace tsr::tools
