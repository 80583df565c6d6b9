// Text placed inside XML (the SVG plots and the GDAL VRT files).
#pragma once

#include <string>

namespace tsr::tools {

// s with &, <, > and " replaced by their entities.
inline std::string xml_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace tsr::tools
