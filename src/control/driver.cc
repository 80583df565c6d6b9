#include "control/driver.h"

#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "control/run_parameters.h"
#include "io/band_reader.h"
#include "io/image_file.h"
#include "io/product_writer.h"
#include "lsq/function_matrix.h"
#include "pixel/reconstruct.h"
#include "runtime/console.h"
#include "runtime/errors.h"
#include "runtime/system.h"

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
  // Every byte of every file must have a 64-bit offset: the largest file is
  // the parameter cube or a series cube.
  if (p.NL > 0 && p.NS > 0) {
    const unsigned __int128 per_pixel = static_cast<unsigned __int128>(std::max(2 * p.NB, 4 * p.NP));
    const unsigned __int128 bytes = static_cast<unsigned __int128>(p.NL) * static_cast<unsigned __int128>(p.NS) * per_pixel;
    if (bytes > static_cast<unsigned __int128>(INT64_MAX)) {
      fail_run("tsrecon: NL = " + std::to_string(p.NL) + " and NS = " + std::to_string(p.NS) +
               " in cntl.dat describe files larger than any file offset can address");
    }
  }
  const unsigned long long need = line_buffer_bytes(p);
  const unsigned long long have = available_memory_bytes();
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

// One pixel's inputs and results, handed to the reconstruction.
struct PixelArrays {
  PixelInput input;
  PixelResult result;
};

// Reconstructs sample s (0-based) of the current line and stages its results.
void process_sample(const RunParameters& p, const PixelSettings& settings, const FunctionMatrix& x, LineBuffers& b,
                    size_t s, PixelArrays& px, PixelWorkspace& ws) {
  const size_t nb = static_cast<size_t>(p.NB);
  const int16_t* data = &b.data_line[s * nb];
  for (size_t k = 0; k < nb; ++k) {
    px.input.series[k] = data[k];
    px.input.weights[k] = 1;
    if (p.MASK == 1) px.input.weights[k] = b.mask_line[s * nb + k];
  }
  reconstruct_pixel(settings, x, px.input, px.result, ws);
  const PixelResult& r = px.result;
  // The preliminary series is staged whether or not it was rewritten.
  std::memcpy(&b.interp_line[s * nb], r.preliminary, nb * sizeof(double));
  std::memcpy(&b.fit_line[s * nb], r.fitted, nb * sizeof(double));
  const size_t np = static_cast<size_t>(p.NP);
  std::memcpy(&b.param_line[s * np], r.params, np * sizeof(double));
  b.aic_line[s] = r.criterion;
  // Narrowed to 16 bits by keeping the low bits.
  b.order_line[s] = static_cast<int16_t>(r.order);
  b.max_line[s] = static_cast<int16_t>(r.maximum);
  b.min_line[s] = static_cast<int16_t>(r.minimum);
}

// How the run executes, from the environment: neither changes a result.
struct Execution {
  LsqEngine engine = LsqEngine::kFast;
  int threads = 1;
};

// Upper bound on worker threads (each holds about 1.3 MB of working storage).
constexpr int kMaxThreads = 256;

// A positive decimal count at the start of text (digits only up to the end
// or, when list_ok, up to a comma), or 0.
int thread_count(const char* text, bool list_ok) {
  long value = 0;
  const char* c = text;
  for (; *c >= '0' && *c <= '9'; ++c) {
    value = value * 10 + (*c - '0');
    if (value > kMaxThreads) value = kMaxThreads;
  }
  if (c == text || (*c != '\0' && !(list_ok && *c == ','))) return 0;
  return static_cast<int>(value);
}

// TSRECON_ENGINE: fast (default) or literal. TSRECON_THREADS: worker threads
// (default: every available core); when it is unset, OMP_NUM_THREADS (its
// first entry) stands in for it. A value the program cannot use ends the run
// before anything is read.
Execution execution_from_environment() {
  Execution e;
  if (const auto engine = environment_value("TSRECON_ENGINE"); engine && !engine->empty()) {
    const std::string& v = *engine;
    if (v == "literal") {
      e.engine = LsqEngine::kLiteral;
    } else if (v != "fast") {
      fail_run("tsrecon: TSRECON_ENGINE must be fast or literal, not '" + v + "'");
    }
  }
  e.threads = available_cores();
  const auto ours = environment_value("TSRECON_THREADS");
  const auto omp = environment_value("OMP_NUM_THREADS");
  if (ours && !ours->empty()) {
    e.threads = thread_count(ours->c_str(), false);
    if (e.threads < 1) {
      fail_run("tsrecon: TSRECON_THREADS must be a positive number of threads, not '" + *ours + "'");
    }
  } else if (omp && thread_count(omp->c_str(), true) > 0) {
    e.threads = thread_count(omp->c_str(), true);
  }
  e.threads = std::min(e.threads, kMaxThreads);
  return e;
}

// The pixels of a line, reconstructed by a fixed set of workers: the main
// thread and threads - 1 helpers, created once for the run, each with its own
// workspace and pixel arrays. Workers take samples one at a time from a
// shared counter and stage each result at the sample's own place in the line
// buffers, so the line comes out the same whatever the number of workers and
// the order in which they finish. All reading, writing and console output
// stays on the main thread, between lines.
class PixelWorkers {
 public:
  PixelWorkers(int threads, LsqEngine engine, const RunParameters& p, const FunctionMatrix& x, LineBuffers& b)
      : p_(p), settings_(pixel_settings(p)), x_(x), b_(b) {
    for (int i = 0; i < threads; ++i) {
      pixels_.push_back(std::make_unique<PixelArrays>());
      workspaces_.push_back(std::make_unique<PixelWorkspace>());
      workspaces_.back()->engine = engine;
    }
    // A helper the system refuses to start leaves its share to the others.
    for (int i = 1; i < threads; ++i) {
      try {
        helpers_.emplace_back([this, i] { helper(i); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  ~PixelWorkers() { stop(); }

  // Reconstructs samples 1..NS of the line in the buffers. Returns false when
  // an interrupt stopped the workers before every sample was done; the line
  // is then incomplete and must not be written.
  bool run_line() {
    next_.store(0);
    done_.store(0);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++generation_;
      busy_ = static_cast<int>(helpers_.size());
    }
    start_.notify_all();
    work(0);
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return busy_ == 0; });
    return done_.load() == (p_.NS > 0 ? p_.NS : 0);
  }

  // Ends and joins the helpers (idempotent).
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    start_.notify_all();
    for (std::thread& t : helpers_) {
      if (t.joinable()) t.join();
    }
  }

 private:
  // Takes samples until none is left; an interrupt stops the taking between
  // pixels (the main thread honours it once every worker has stopped).
  void work(int index) {
    for (;;) {
      if (interrupt_pending()) return;
      const int32_t s = next_.fetch_add(1);
      if (s >= p_.NS) return;
      process_sample(p_, settings_, x_, b_, static_cast<size_t>(s), *pixels_[index], *workspaces_[index]);
      done_.fetch_add(1);
    }
  }

  void helper(int index) {
    uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        start_.wait(lock, [&] { return quit_ || generation_ != seen; });
        if (quit_) return;
        seen = generation_;
      }
      work(index);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) finished_.notify_one();
    }
  }

  const RunParameters& p_;
  const PixelSettings settings_;
  const FunctionMatrix& x_;
  LineBuffers& b_;
  std::vector<std::unique_ptr<PixelArrays>> pixels_;
  std::vector<std::unique_ptr<PixelWorkspace>> workspaces_;
  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable start_, finished_;
  uint64_t generation_ = 0;
  int busy_ = 0;
  bool quit_ = false;
  std::atomic<int32_t> next_{0};
  std::atomic<int32_t> done_{0};
};

[[noreturn]] void run(const RunParameters& p, const Execution& exec) {
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
  const int threads = std::max(1, std::min(exec.threads, p.NS));
  PixelWorkers workers(threads, exec.engine, p, *x, buffers);
  bool order_failed = false, min_failed = false, max_failed = false;
  for (int32_t line = 1; line <= p.NL; ++line) {
    if (interrupt_pending()) honour_interrupt();
    write_progress(line, p.NL);
    read_data_line(data, line, p.NL, p.NS, 1, p.NB, buffers.data_line.data(), p.NB);
    if (p.MASK == 1) read_mask_line(mask, line, p.NL, p.NS, 1, p.NB, buffers.mask_line.data(), p.NB);
    if (!workers.run_line()) honour_interrupt();
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
  workers.stop();
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
  const Execution exec = execution_from_environment();
  RunParameters params;
  read_run_parameters(params);
  derive_run_parameters(params);
  run(params, exec);
}

}  // namespace tsr
