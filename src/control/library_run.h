// tsrecon::reconstruct (include/tsrecon/tsrecon.h) with its seams open: the
// Env it asks for the environment's threads and engine and for the machine's
// memory, and the longest series it lets the literal engine take.
//
// The library calls it with the operating system's Env and kMaxBands: longer
// series run on the fast engine only. Tests hand in a fake Env, and for the
// yardstick of longer series a larger literal limit: the literal engine's
// storage is then sized for the whole series (an 8 MB reflection matrix per
// worker at 1000 steps) and it takes tens of times the fast engine's time.
#pragma once

#include <cstdint>

#include "runtime/env.h"
#include "tsrecon/tsrecon.h"

namespace tsr {

tsrecon::Status reconstruct_with_env(Env& env, const tsrecon::Settings& settings, const tsrecon::Cube& cube,
                                     const tsrecon::Products& products, const tsrecon::Options& options,
                                     int32_t literal_max_bands);

}  // namespace tsr
