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
// TSRECON_THREADS asks for. Every use of the Env (files, console, error
// stream, interrupts, clock) is made on the calling thread; the worker
// threads only reconstruct pixels into the line buffers. With more than one
// worker (and TSRECON_OVERLAP not 0, and memory for a second set of line
// buffers) the calling thread writes finished lines and reads the lines ahead
// while the workers go from line to line; the console, the products and the
// outcome are those of the run one line after another. Interrupts are taken
// from env.pending_interrupt(), asked between lines, between pixels and while
// the calling thread waits for a line's pixels.
Status run_job(Env& env);

}  // namespace tsr
