// tsrecon-check: the preflight of a tsrecon job. Reads cntl.dat, the input
// cubes and their headers and any products of an earlier run in the job's
// directory (changing nothing) and says, in plain words, everything that
// would stop the run or silently spoil its results.
#include <cstdio>
#include <string>

#include "runtime/env.h"
#include "tools/check/job_check.h"

namespace {

void print_usage(FILE* to) {
  std::fputs(
      "Usage: tsrecon-check [DIR]\n"
      "\n"
      "Checks the tsrecon job in DIR (default: the current directory) before a run,\n"
      "changing nothing: cntl.dat (syntax, refused values, harmonics beyond the sampling\n"
      "limit, more model parameters than samples), the dates of data.hdr (on one grid in\n"
      "time with a band for every step, NPOINT against the grid's steps a year),\n"
      "data.bsq and mask.bsq (sizes, negative values, scaling, missing samples that\n"
      "MASK=0 lets into the fits, pixels with too few samples), their headers against\n"
      "cntl.dat, products of an earlier run with other sizes, the disk space the\n"
      "products need, and an estimate of the run time from a sample of pixels.\n"
      "\n"
      "Prints a short summary of the job, one line per finding (\"error: ...\" when the\n"
      "run would fail or its results would be wrong, \"warning: ...\" for what deserves\n"
      "a look) and a last line \"ready\" or \"not ready\".\n"
      "\n"
      "Exit status: 0 ready (warnings allowed); 1 not ready; 2 wrong command line.\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      print_usage(stdout);
      return 0;
    }
    if ((!a.empty() && a[0] == '-') || !dir.empty()) {
      std::fprintf(stderr, "tsrecon-check: unexpected argument '%s'\n", a.c_str());
      print_usage(stderr);
      return 2;
    }
    dir = a;
  }
  if (!dir.empty()) {
    const tsr::OpenResult opened = tsr::new_posix_env()->open(dir, tsr::OpenMode::kReadOnly);
    if (opened.file == nullptr || !opened.file->is_directory()) {
      std::fprintf(stderr, "tsrecon-check: '%s' is not a directory (give the job's directory, or none for the "
                           "current one)\n", dir.c_str());
      return 2;
    }
  }
  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env({dir, {}});
  const tsr::tools::JobCheck check = tsr::tools::check_job(*env);
  std::fputs(tsr::tools::format_check(check).c_str(), stdout);
  return check.ready() ? 0 : 1;
}
