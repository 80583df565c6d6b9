// File contents spelled out byte by byte, little-endian.
#pragma once

#include <cstdint>
#include <cstring>
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

// The 4-byte reals of a little-endian file (p.bsq, aic.dat); a partial
// last value is dropped.
inline std::vector<float> floats_le(const std::string& bytes) {
  std::vector<float> out(bytes.size() / 4);
  for (size_t i = 0; i < out.size(); ++i) {
    const auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[4 * i + k])); };
    const uint32_t v = b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
    std::memcpy(&out[i], &v, sizeof v);
  }
  return out;
}

}  // namespace tsr::testing
