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

}  // namespace tsr::tools
