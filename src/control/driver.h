// The main driver: run parameters, function matrix, the file set, the line
// loop over the cube, and the end of the run. Below the library
// (include/tsrecon/tsrecon.h, api.cc) and the executable (main.cc), which
// both call run_job.
#pragma once

#include "runtime/env.h"
#include "runtime/status.h"

namespace tsr {

// One whole run in the Env's working directory, as the executable does it:
// reads cntl.dat (echoing it on the Env's console), checks and derives the
// run parameters, opens the file set, reconstructs every pixel line by line
// and writes every product line, and ends with "Program Deadified" on the
// console. Returns how the run ended; the caller reports a status that is
// not ok (Status::line("tsrecon")) and ends with its exit status. Every file
// opened is closed on return.
//
// Threads: runs on the calling thread and the worker threads that
// TSRECON_THREADS asks for; interrupts are taken from env.pending_interrupt(),
// asked on the calling thread between pixels.
Status run_job(Env& env);

}  // namespace tsr
