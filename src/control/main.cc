// tsrecon: reconstructs the time series of every pixel of an image cube.
//
// The executable's edge: the command line (--help, --version), the
// floating-point and interrupt settings of the process, the driver's run_job
// in the current directory, and its status reported on standard error (or
// the file FORT0 names) under the program's name.
#include <cstdio>
#include <memory>
#include <string>

#include "control/driver.h"
#include "runtime/env.h"

namespace {

constexpr const char* kProgram = "tsrecon";
constexpr const char* kVersion = "1.0.0";

constexpr const char* kUsage =
    "Usage: tsrecon            (run in a working directory; no arguments)\n"
    "       tsrecon --help | --version\n"
    "\n"
    "Reconstructs the time series of every pixel of an image cube: screens cloudy\n"
    "and missing samples, fills gaps, and fits a constant, a trend and a chosen set\n"
    "of harmonics by least squares.\n"
    "\n"
    "Reads, from the working directory:\n"
    "  cntl.dat   control file (cube size, model and screening settings)\n"
    "  data.bsq   the cube: NB bands x NL lines x NS samples, 16-bit integers,\n"
    "             little-endian, band-sequential, 4096 = 1.0\n"
    "  mask.bsq   per-sample weights 0..255 (only with MASK=1)\n"
    "Writes, into the working directory (overwritten in place):\n"
    "  p.bsq      model parameters, NP bands of 4-byte reals\n"
    "  f.bsq      fitted series, NB bands of 16-bit integers\n"
    "  i.bsq      preliminary series (only with INTP=1)\n"
    "  order.dat  model order (bytes)     aic.dat  criterion (4-byte reals)\n"
    "  min.dat    minimum (16-bit)        max.dat  maximum (16-bit)\n"
    "\n"
    "Environment:\n"
    "  TSRECON_THREADS or OMP_NUM_THREADS   number of worker threads (default: all cores;\n"
    "                        OMP_NUM_THREADS counts only when TSRECON_THREADS is unset)\n"
    "  TSRECON_ENGINE        fast (default) or literal: the engine of the final fit; both\n"
    "                        give the same bytes, literal is the slow reference\n"
    "  FORT0                 append error lines to this file instead of standard error\n"
    "  FORT6                 write console lines to this file instead of standard output\n"
    "  FORT_CONVERT<unit>    BIG_ENDIAN, LITTLE_ENDIAN or NATIVE byte order of an image\n"
    "                        file (units 21 data.bsq, 22 mask.bsq, 50 p.bsq, 51 i.bsq,\n"
    "                        52 f.bsq, 54 order.dat, 55 aic.dat, 61 min.dat, 62 max.dat)\n"
    "\n"
    "Exit status: 0 complete run; 1 refused parameters, bad data or unwritten map\n"
    "records; the error number for a run-time error (e.g. 24, 36, 38); 128+signal\n"
    "when interrupted; 2 for a wrong command line.\n"
    "Documentation: README.md in the source tree.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (argc == 2 && (first == "--help" || first == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && first == "--version") {
    std::printf("%s %s\n", kProgram, kVersion);
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "%s: unexpected argument '%s'; tsrecon takes no arguments (see tsrecon --help)\n", kProgram,
                 first.c_str());
    return 2;
  }
  tsr::start_runtime();
  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env();
  const tsr::Status status = tsr::run_job(*env);
  if (!status.is_ok()) env->write_error(status.line(kProgram));
  return status.exit_status();
}
