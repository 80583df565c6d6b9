#include "tools/common/envi_header.h"

#include <cctype>
#include <cstdlib>

#include "domain/header_keys.h"

namespace tsr::tools {
namespace {

std::string_view trim(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Lower case, blanks folded to one space: "Data  Type" -> "data type".
std::string normalise_key(std::string_view key) {
  std::string out;
  bool blank = false;
  for (char c : trim(key)) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// Brace depth change of a piece of text.
int brace_balance(std::string_view s) {
  int depth = 0;
  for (char c : s) {
    if (c == '{') ++depth;
    if (c == '}') --depth;
  }
  return depth;
}

// Descriptions are free text inside braces: keep them from closing early.
std::string brace_safe(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c == '{') c = '(';
    if (c == '}') c = ')';
  }
  return out;
}

// The integer an entry holds, or `missing` when it is absent; `ok` turns false
// when the entry holds something else.
long entry_integer(const std::map<std::string, std::string>& entries, std::string_view key, long missing,
                   bool& ok) {
  auto it = entries.find(std::string(key));
  ok = true;
  if (it == entries.end()) return missing;
  const std::string& text = it->second;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || !trim(std::string_view(end)).empty()) ok = false;
  return value;
}

}  // namespace

std::string format_envi_header(const EnviHeader& h) {
  std::string out = "ENVI\n";
  auto entry = [&out](std::string_view key, const std::string& value) {
    out += std::string(key) + " = " + value + "\n";
  };
  entry(header_key::kDescription, "{" + brace_safe(h.description) + "}");
  entry(header_key::kSamples, std::to_string(h.samples));
  entry(header_key::kLines, std::to_string(h.lines));
  entry(header_key::kBands, std::to_string(h.bands));
  entry(header_key::kHeaderOffset, "0");
  entry(header_key::kFileType, "ENVI Standard");
  entry(header_key::kDataType, std::to_string(h.data_type));
  entry(header_key::kInterleave, "bsq");
  entry(header_key::kByteOrder, "0");
  if (!h.band_names.empty()) {
    std::string names = "{";
    for (size_t i = 0; i < h.band_names.size(); ++i) {
      names += i == 0 ? "\n " : ",\n ";
      names += brace_safe(h.band_names[i]);
    }
    entry(header_key::kBandNames, names + "}");
  }
  if (!h.ignore_value.empty()) entry(header_key::kIgnoreValue, h.ignore_value);
  for (const auto& [key, value] : h.extra) entry(key, value);
  if (!h.georef.map_info.empty()) entry(header_key::kMapInfo, h.georef.map_info);
  if (!h.georef.coordinate_system_string.empty())
    entry(header_key::kCoordinateSystem, h.georef.coordinate_system_string);
  if (!h.georef.projection_info.empty()) entry(header_key::kProjectionInfo, h.georef.projection_info);
  return out;
}

bool parse_envi_header(std::string_view text, std::map<std::string, std::string>& entries) {
  entries.clear();
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  size_t i = 0;
  while (i < lines.size() && trim(lines[i]).empty()) ++i;
  if (i == lines.size() || trim(lines[i]) != "ENVI") return false;
  std::map<std::string, std::string> found;
  for (++i; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;  // blank lines, comments
    const std::string key = normalise_key(line.substr(0, eq));
    std::string value(trim(line.substr(eq + 1)));
    int depth = brace_balance(value);
    while (depth > 0) {
      if (++i == lines.size()) return false;
      value += '\n';
      value += std::string(trim(lines[i]));
      depth += brace_balance(lines[i]);
    }
    found[key] = value;
  }
  entries = std::move(found);
  return true;
}

std::vector<std::string> envi_list(std::string_view value) {
  std::string_view inner = trim(value);
  if (inner.size() >= 2 && inner.front() == '{' && inner.back() == '}') inner = inner.substr(1, inner.size() - 2);
  std::vector<std::string> items;
  if (trim(inner).empty()) return items;
  for (size_t start = 0;;) {
    const size_t comma = inner.find(',', start);
    items.emplace_back(trim(inner.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return items;
}

EnviGeoref georef_of(const std::map<std::string, std::string>& entries) {
  EnviGeoref g;
  auto take = [&](std::string_view key, std::string& to) {
    auto it = entries.find(std::string(key));
    if (it != entries.end()) to = it->second;
  };
  take(header_key::kMapInfo, g.map_info);
  take(header_key::kCoordinateSystem, g.coordinate_system_string);
  take(header_key::kProjectionInfo, g.projection_info);
  return g;
}

std::vector<std::string> input_header_problems(const std::map<std::string, std::string>& entries, int samples,
                                               int lines, int bands, int data_type, int byte_order) {
  std::vector<std::string> problems;
  struct Expected {
    std::string_view key;
    long value;
    long missing;  // value assumed when the entry is absent
    const char* why;
  };
  const Expected expected[] = {
      {header_key::kSamples, samples, -1, "NS in cntl.dat is "},
      {header_key::kLines, lines, -1, "NL in cntl.dat is "},
      {header_key::kBands, bands, -1, "NB in cntl.dat is "},
      {header_key::kHeaderOffset, 0, 0, "tsrecon reads headerless files: header offset must be "},
      {header_key::kDataType, data_type, -1, "tsrecon reads data type "},
      {header_key::kByteOrder, byte_order, 0,
       byte_order == 0 ? "tsrecon reads little-endian values (byte order 0) unless FORT_CONVERT says otherwise; "
                         "expected "
                       : "FORT_CONVERT makes tsrecon read big-endian values (byte order 1); expected "},
  };
  for (const Expected& e : expected) {
    bool ok = true;
    const long found = entry_integer(entries, e.key, e.missing, ok);
    const std::string key(e.key);
    if (!ok) {
      problems.push_back(key + " = " + entries.at(key) + " is not a number");
    } else if (found != e.value) {
      const std::string shown = entries.count(key) ? std::to_string(found) : std::string("missing");
      problems.push_back(std::string(e.key) + " is " + shown + " but " + e.why + std::to_string(e.value));
    }
  }
  auto it = entries.find(std::string(header_key::kInterleave));
  if (it != entries.end()) {
    std::string v = normalise_key(it->second);
    if (v != "bsq") problems.push_back("interleave is " + it->second + " but tsrecon reads band-sequential (bsq) cubes");
  }
  return problems;
}

std::string header_name_for(std::string_view file_name) {
  const size_t slash = file_name.rfind('/');
  const size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash) ||
      dot == (slash == std::string_view::npos ? 0 : slash + 1))
    return std::string(file_name) + ".hdr";
  return std::string(file_name.substr(0, dot)) + ".hdr";
}

std::string appended_header_name_for(std::string_view file_name) { return std::string(file_name) + ".hdr"; }

}  // namespace tsr::tools
