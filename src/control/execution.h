// How a run executes, from the environment: the engine of the final fit, the
// number of worker threads, whether the driver moves lines beside the pixel
// work, and whether it reports where the time went. None changes a result.
#pragma once

#include "lsq/select_fit_fast.h"
#include "runtime/env.h"
#include "runtime/status.h"

namespace tsr {

// Upper bound on worker threads (each holds about 1.3 MB of working storage).
inline constexpr int kMaxThreads = 256;

struct Execution {
  LsqEngine engine = LsqEngine::kFast;
  int threads = 1;
  // Read the next line and write the last one while the workers reconstruct
  // a line (used when there is more than one thread and memory for a second
  // set of line buffers).
  bool overlap = true;
  // Write the stage times of the run on the error stream at its end.
  bool profile = false;
};

// TSRECON_ENGINE: fast (default) or literal. TSRECON_THREADS: worker threads
// (default: every available core); when it is unset, OMP_NUM_THREADS (its
// first entry) stands in for it. At most kMaxThreads. TSRECON_OVERLAP: 1
// (default) or 0, which keeps reading and writing between the lines' pixel
// work. TSRECON_PROFILE: 0 (default) or 1. A value the program cannot use is
// refused with a line naming it.
Status execution_from_environment(Env& env, Execution& out);

// Each half of it: the engine from TSRECON_ENGINE, the threads from
// TSRECON_THREADS or OMP_NUM_THREADS (else every core); `out` is replaced
// only when the value can be used.
Status engine_from_environment(Env& env, LsqEngine& out);
Status threads_from_environment(Env& env, int& out);
// A switch: `out` from the variable `name` when it is 0 or 1, unchanged when
// it is unset or empty, else refused.
Status switch_from_environment(Env& env, const char* name, bool& out);

// A thread count as TSRECON_THREADS gives it: a positive decimal number
// (capped at kMaxThreads), or 0 when the text is not one. With `list_ok`, a
// comma may end the number (the first entry of OMP_NUM_THREADS).
int parse_thread_count(const char* text, bool list_ok);

}  // namespace tsr
