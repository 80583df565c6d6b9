#include "tools/common/input_header.h"

#include <cstdlib>

#include "domain/header_keys.h"
#include "runtime/files.h"
#include "stack/dates.h"
#include "tools/common/envi_header.h"

namespace tsr::tools {

std::optional<int32_t> day_number(std::string_view t) {
  int32_t day = 0;
  if (!parse_date(t, &day)) return std::nullopt;
  return day;
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
