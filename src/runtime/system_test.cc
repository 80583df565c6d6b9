#include "runtime/system.h"

#include <gtest/gtest.h>

#include <limits>

namespace tsr {
namespace {

TEST(AvailableMemory, FromMeminfoAndControlGroup) {
  const std::string meminfo =
      "MemTotal:       24000000 kB\nMemFree:         1000000 kB\nMemAvailable:   20000000 kB\n"
      "SwapTotal:       2000000 kB\nSwapFree:        1000000 kB\n";
  struct Case {
    const char* name;
    std::string meminfo, max, current;
    uint64_t expected;
  } cases[] = {
      {"available plus free swap", meminfo, "", "", 21000000ull * 1024},
      {"no control-group limit", meminfo, "max\n", "123\n", 21000000ull * 1024},
      {"control group is tighter", meminfo, "1073741824\n", "73741824\n", 1000000000ull},
      {"control group is full", meminfo, "1000\n", "5000\n", 0},
      {"control group is looser", meminfo, "999999999999999\n", "0\n", 21000000ull * 1024},
      {"machine says nothing", "", "", "", std::numeric_limits<uint64_t>::max()},
      {"no swap line", "MemAvailable: 10 kB\n", "", "", 10240},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, available_memory_from(c.meminfo, c.max, c.current)) << c.name;
}

TEST(AvailableMemory, ThisMachineAnswers) { EXPECT_GT(read_available_memory(), 0u); }

}  // namespace
}  // namespace tsr
