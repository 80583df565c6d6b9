// How much memory the machine can give: the reading behind
// Env::available_memory_bytes.
#pragma once

#include <cstdint>
#include <string>

namespace tsr {

// Memory a new allocation can get without pushing the machine into the
// out-of-memory killer: available memory plus free swap, bounded by the
// memory limit of the process's control group when there is one. Returns
// UINT64_MAX when the machine does not say.
uint64_t read_available_memory();

// The same, from the texts of /proc/meminfo and of the control group's
// memory.max and memory.current files (any may be empty when unreadable).
uint64_t available_memory_from(const std::string& meminfo, const std::string& cgroup_max,
                               const std::string& cgroup_current);

}  // namespace tsr
