// How a run executes, from the environment: the engine of the final fit and
// the number of worker threads. Neither changes a result.
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
};

// TSRECON_ENGINE: fast (default) or literal. TSRECON_THREADS: worker threads
// (default: every available core); when it is unset, OMP_NUM_THREADS (its
// first entry) stands in for it. At most kMaxThreads. A value the program
// cannot use is refused with a line naming it.
Status execution_from_environment(Env& env, Execution& out);

// Each half of it: the engine from TSRECON_ENGINE, the threads from
// TSRECON_THREADS or OMP_NUM_THREADS (else every core); `out` is replaced
// only when the value can be used.
Status engine_from_environment(Env& env, LsqEngine& out);
Status threads_from_environment(Env& env, int& out);

// A thread count as TSRECON_THREADS gives it: a positive decimal number
// (capped at kMaxThreads), or 0 when the text is not one. With `list_ok`, a
// comma may end the number (the first entry of OMP_NUM_THREADS).
int parse_thread_count(const char* text, bool list_ok);

}  // namespace tsr
