#include "control/driver.h"

#include <sys/sysinfo.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "control/run_parameters.h"
#include "io/band_reader.h"
#include "io/image_file.h"
#include "io/product_writer.h"
#include "lsq/function_matrix.h"
#include "pixel/reconstruct.h"
#include "runtime/console.h"
#include "runtime/errors.h"

namespace tsr {
namespace {

constexpr const char* kVersion = "1.0.0";

void print_usage(FILE* to) {
  std::fputs(
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
      "  TSRECON_THREADS or OMP_NUM_THREADS   number of worker threads (default: all cores)\n"
      "  FORT0                 append error lines to this file instead of standard error\n"
      "  FORT6                 write console lines to this file instead of standard output\n"
      "  FORT_CONVERT<unit>    BIG_ENDIAN, LITTLE_ENDIAN or NATIVE byte order of an image\n"
      "                        file (units 21 data.bsq, 22 mask.bsq, 50 p.bsq, 51 i.bsq,\n"
      "                        52 f.bsq, 54 order.dat, 55 aic.dat, 61 min.dat, 62 max.dat)\n"
      "\n"
      "Exit status: 0 complete run; 1 refused parameters, bad data or unwritten map\n"
      "records; the error number for a run-time error (e.g. 24, 36, 38); 128+signal\n"
      "when interrupted; 2 for a wrong command line.\n"
      "Documentation: README.md in the source tree.\n",
      to);
}

// The line buffers and per-pixel arrays of the run, sized once from NB and NS.
// In every two-dimensional buffer the band is the fastest index.
struct LineBuffers {
  std::vector<int16_t> data_line, mask_line;
  std::vector<double> param_line, interp_line, fit_line, aic_line;
  std::vector<int16_t> order_line, min_line, max_line;
};

// Bytes the line buffers need, in 64-bit arithmetic.
unsigned long long line_buffer_bytes(const RunParameters& p) {
  const unsigned long long nb = static_cast<unsigned long long>(p.NB);
  const unsigned long long ns = static_cast<unsigned long long>(p.NS > 0 ? p.NS : 0);
  const unsigned long long np = static_cast<unsigned long long>(p.NP);
  const unsigned long long mask = p.MASK == 1 ? 2ull : 0ull;
  // data + mask + interp + fit per band, params per parameter, five maps, plus
  // the transfer scratch of the widest file (8 bytes per sample is ample).
  return ns * (nb * (2ull + mask + 8ull + 8ull) + np * 8ull + 8ull + 2ull * 3ull + 8ull * 9ull);
}

// Allocates the buffers, or ends the run with one clear line when the machine
// cannot hold them.
void allocate_buffers(const RunParameters& p, LineBuffers& b) {
  const unsigned long long need = line_buffer_bytes(p);
  struct sysinfo info {};
  unsigned long long have = ~0ull;
  if (sysinfo(&info) == 0) {
    have = (static_cast<unsigned long long>(info.totalram) + static_cast<unsigned long long>(info.totalswap)) *
           info.mem_unit;
  }
  const std::string refusal = "tsrecon: NS = " + std::to_string(p.NS) + " and NB = " + std::to_string(p.NB) +
                              " in cntl.dat need " + std::to_string(need / (1024 * 1024)) +
                              " MiB of line buffers; this machine has " + std::to_string(have / (1024 * 1024)) +
                              " MiB";
  if (need > have) fail_run(refusal);
  const size_t nb = static_cast<size_t>(p.NB);
  const size_t ns = static_cast<size_t>(p.NS > 0 ? p.NS : 0);
  try {
    b.data_line.assign(nb * ns, 0);
    if (p.MASK == 1) b.mask_line.assign(nb * ns, 0);
    b.param_line.assign(static_cast<size_t>(p.NP) * ns, 0.0);
    b.interp_line.assign(nb * ns, 0.0);
    b.fit_line.assign(nb * ns, 0.0);
    b.aic_line.assign(ns, 0.0);
    b.order_line.assign(ns, 0);
    b.min_line.assign(ns, 0);
    b.max_line.assign(ns, 0);
  } catch (const std::bad_alloc&) {
    fail_run(refusal);
  }
}

// One pixel's arrays, handed to the reconstruction.
struct PixelArrays {
  int16_t series[kMaxBands] = {};
  int16_t weights[kMaxBands] = {};
  double fitted[kMaxBands] = {};
  double interpolated[kMaxBands] = {};
  double params[kMatrixColumns] = {};
  double criterion = 0.0;
  int32_t order = 0, min = 0, max = 0;
};

// Reconstructs sample s (0-based) of the current line and stages its results.
void process_sample(const RunParameters& p, const FunctionMatrix& x, LineBuffers& b, size_t s, PixelArrays& px,
                    PixelWorkspace& ws) {
  const size_t nb = static_cast<size_t>(p.NB);
  const int16_t* data = &b.data_line[s * nb];
  for (size_t k = 0; k < nb; ++k) {
    px.series[k] = data[k];
    px.weights[k] = 1;
    if (p.MASK == 1) px.weights[k] = b.mask_line[s * nb + k];
  }
  reconstruct_pixel(p.NB, p.NFUNC, px.series, px.fitted, px.interpolated, px.weights, px.params, x, p.NP, p.NWIN,
                    px.max, px.min, p.excluded_count, p.excluded_bands, px.criterion, px.order, p.MMSW, p.INTP,
                    p.lower_threshold, p.upper_threshold, p.FITSW, p.MASK, p.FITMD, ws);
  // The interpolated series is staged whether or not it was rewritten.
  std::memcpy(&b.interp_line[s * nb], px.interpolated, nb * sizeof(double));
  std::memcpy(&b.fit_line[s * nb], px.fitted, nb * sizeof(double));
  const size_t np = static_cast<size_t>(p.NP);
  std::memcpy(&b.param_line[s * np], px.params, np * sizeof(double));
  b.aic_line[s] = px.criterion;
  // Narrowed to 16 bits by keeping the low bits.
  b.order_line[s] = static_cast<int16_t>(px.order);
  b.max_line[s] = static_cast<int16_t>(px.max);
  b.min_line[s] = static_cast<int16_t>(px.min);
}

[[noreturn]] void run(const RunParameters& p) {
  LineBuffers buffers;
  allocate_buffers(p, buffers);

  write_line({text_item("MAKING FUNCTION MATRIX")});
  auto x = std::make_unique<FunctionMatrix>();
  build_function_matrix(p.NB, p.NPOINT, p.NFUNC, harmonic_frequencies, *x);

  write_line({text_item("opening data bsq")});
  const int32_t ns_alloc = p.NS > 0 ? p.NS : 0;
  ImageFile data, mask, params, interp, fit, order, aic, minf, maxf;
  data.open(kDataBsq, ns_alloc);
  if (p.MASK == 1) mask.open(kMaskBsq, ns_alloc);
  params.open(kParamBsq, ns_alloc);
  if (p.INTP == 1) interp.open(kInterpBsq, ns_alloc);
  fit.open(kFitBsq, ns_alloc);
  order.open(kOrderDat, ns_alloc);
  aic.open(kAicDat, ns_alloc);
  minf.open(kMinDat, ns_alloc);
  maxf.open(kMaxDat, ns_alloc);

  write_line({text_item("MAKING FUNCTION MATRIX LOOP")});
  auto pixel = std::make_unique<PixelArrays>();
  auto workspace = std::make_unique<PixelWorkspace>();
  bool order_failed = false, min_failed = false, max_failed = false;
  for (int32_t line = 1; line <= p.NL; ++line) {
    if (interrupt_pending()) honour_interrupt();
    write_progress(line, p.NL);
    read_data_line(data, line, p.NL, p.NS, 1, p.NB, buffers.data_line.data(), p.NB);
    if (p.MASK == 1) read_mask_line(mask, line, p.NL, p.NS, 1, p.NB, buffers.mask_line.data(), p.NB);
    for (int32_t s = 0; s < p.NS; ++s) {
      if (interrupt_pending()) honour_interrupt();
      process_sample(p, *x, buffers, static_cast<size_t>(s), *pixel, *workspace);
    }
    write_param_line(params, line, p.NL, p.NS, 1, p.NP, buffers.param_line.data(), p.NP);
    if (p.INTP == 1) write_series_line(interp, line, p.NL, p.NS, 1, p.NB, buffers.interp_line.data(), p.NB);
    write_series_line(fit, line, p.NL, p.NS, 1, p.NB, buffers.fit_line.data(), p.NB);
    order_failed |= !write_map_line(order, line, p.NS, buffers.order_line.data());
    write_aic_line(aic, line, p.NS, buffers.aic_line.data());
    min_failed |= !write_map_line(minf, line, p.NS, buffers.min_line.data());
    max_failed |= !write_map_line(maxf, line, p.NS, buffers.max_line.data());
  }

  // An interrupt that came during the last line (or with no line at all) still
  // ends the run as interrupted, before it can be reported as complete.
  if (interrupt_pending()) honour_interrupt();
  data.close();
  if (p.MASK == 1) mask.close();
  if (p.INTP == 1) interp.close();
  fit.close();
  minf.close();
  maxf.close();
  write_line({text_item("Program Deadified")});

  // A map whose writes failed was reported line by line on the console; the
  // run must still not end as a success. One line names every such map.
  std::vector<std::string> unwritten;
  if (order_failed) unwritten.push_back("order.dat");
  if (min_failed) unwritten.push_back("min.dat");
  if (max_failed) unwritten.push_back("max.dat");
  if (!unwritten.empty()) {
    std::string names = unwritten.front();
    for (size_t i = 1; i < unwritten.size(); ++i) names += ", " + unwritten[i];
    fail_run("tsrecon: " + names + (unwritten.size() == 1 ? " has" : " have") +
             " unwritten records (failed writes are listed on the console)");
  }
  stop_run();
}

}  // namespace

int run_program(int argc, char** argv) {
  if (argc > 1) {
    const std::string arg = argv[1];
    if (argc == 2 && (arg == "--help" || arg == "-h")) {
      print_usage(stdout);
      return 0;
    }
    if (argc == 2 && arg == "--version") {
      std::printf("tsrecon %s\n", kVersion);
      return 0;
    }
    std::fprintf(stderr, "tsrecon: unexpected argument '%s'; tsrecon takes no arguments (see tsrecon --help)\n",
                 arg.c_str());
    return 2;
  }
  start_runtime();
  RunParameters params;
  read_run_parameters(params);
  derive_run_parameters(params);
  run(params);
}

}  // namespace tsr
