#include "runtime/system.h"

#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>

namespace tsr {
namespace {

std::string slurp(const char* path) {
  std::ifstream f(path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// The value in kB of a "Name:   1234 kB" line of /proc/meminfo, if present.
std::optional<uint64_t> meminfo_kb(const std::string& text, const std::string& name) {
  const std::string key = "\n" + name + ":";
  std::string padded = "\n" + text;
  const size_t at = padded.find(key);
  if (at == std::string::npos) return std::nullopt;
  const char* c = padded.c_str() + at + key.size();
  char* end = nullptr;
  const unsigned long long v = std::strtoull(c, &end, 10);
  if (end == c) return std::nullopt;
  return static_cast<uint64_t>(v);
}

std::optional<uint64_t> plain_number(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;  // also "max"
  return static_cast<uint64_t>(std::strtoull(text.c_str(), nullptr, 10));
}

}  // namespace

uint64_t available_memory_from(const std::string& meminfo, const std::string& cgroup_max,
                               const std::string& cgroup_current) {
  uint64_t have = std::numeric_limits<uint64_t>::max();
  const auto avail = meminfo_kb(meminfo, "MemAvailable");
  if (avail) {
    const uint64_t swap = meminfo_kb(meminfo, "SwapFree").value_or(0);
    have = (*avail + swap) * 1024u;
  }
  const auto limit = plain_number(cgroup_max);
  if (limit) {
    const uint64_t used = plain_number(cgroup_current).value_or(0);
    const uint64_t room = *limit > used ? *limit - used : 0;
    if (room < have) have = room;
  }
  return have;
}

uint64_t read_available_memory() {
  return available_memory_from(slurp("/proc/meminfo"), slurp("/sys/fs/cgroup/memory.max"),
                               slurp("/sys/fs/cgroup/memory.current"));
}

}  // namespace tsr
