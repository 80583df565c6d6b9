// File contents spelled out byte by byte, little-endian.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace tsr::testing {

inline std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// 16-bit values, low byte first.
inline std::string le16(const std::vector<int>& values) {
  std::string s;
  for (int v : values) s += bytes({v & 0xFF, (v >> 8) & 0xFF});
  return s;
}
inline std::string le16(int v) { return le16(std::vector<int>{v}); }

inline std::string le32(uint32_t v) {
  return bytes({static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>((v >> 16) & 0xFF),
                static_cast<int>(v >> 24)});
}

}  // namespace tsr::testing
