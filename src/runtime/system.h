// What the run asks of the machine it runs on: environment settings, cores
// and memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tsr {

// The value of an environment variable, or nothing when it is unset.
std::optional<std::string> environment_value(const char* name);

// Processors this process may run on (at least 1).
int available_cores();

// Memory a new allocation can get without pushing the machine into the
// out-of-memory killer: available memory plus free swap, bounded by the
// memory limit of the process's control group when there is one. Returns
// UINT64_MAX when the machine does not say.
uint64_t available_memory_bytes();

// The same, from the texts of /proc/meminfo and of the control group's
// memory.max file (either may be empty when unreadable).
uint64_t available_memory_from(const std::string& meminfo, const std::string& cgroup_max,
                               const std::string& cgroup_current);

}  // namespace tsr
