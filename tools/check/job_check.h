// The preflight of a job: everything that would stop a run of tsrecon in a
// working directory, or silently spoil its results, found before the run.
//
// Nothing is created or changed: every file is opened for reading only. The
// findings are plain sentences for a person, each with its severity: an
// error means the run would fail or its results would be wrong, a warning
// that something deserves a look.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/env.h"

namespace tsr::tools {

enum class Severity { kError, kWarning };

struct Finding {
  Severity severity;
  std::string topic;  // what it concerns, e.g. "cntl.dat", "data.bsq", "NPOINT"
  std::string text;   // one line, without "error: " or a line end
};

struct JobCheck {
  std::vector<std::string> summary;  // the job as the check saw it, one line each
  std::vector<Finding> findings;
  int errors() const;
  int warnings() const;
  bool ready() const { return errors() == 0; }
};

struct CheckOptions {
  // Pixels reconstructed to estimate the run time (spread over the cube); 0: no estimate.
  int sample_pixels = 200;
};

// Checks the job in the Env's working directory.
JobCheck check_job(Env& env, const CheckOptions& options = {});

// The report: the summary, one line per finding ("error: ...", "warning:
// ..."), and a last line that starts "ready" or "not ready".
std::string format_check(const JobCheck& check);

// Harmonics of the table (1, 2, 3, 4, 6, 12 cycles in NPOINT steps) below
// the sampling limit, 2 x cycles < NPOINT: the largest sound NFUNC.
int32_t sound_nfunc(int32_t npoint);

// NPOINT for a year of steps of `median_step` days: 46 for 8 days, 36 for
// 10, 23 for 16, 12 for 28 to 31 (months), else round(365.25 / step).
int32_t npoint_for_step(double median_step);

}  // namespace tsr::tools
