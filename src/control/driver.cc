#include "control/driver.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "control/execution.h"
#include "control/run_parameters.h"
#include "io/band_reader.h"
#include "io/image_file.h"
#include "io/product_writer.h"
#include "io/run_files.h"
#include "lsq/function_matrix.h"
#include "pixel/reconstruct.h"
#include "runtime/console.h"
#include "runtime/workers.h"
#include "tsrecon/tsrecon.h"

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

// Allocates the buffers, or refuses with one clear line when the machine
// cannot hold them or the products could not be addressed.
Status allocate_buffers(Env& env, const RunParameters& p, LineBuffers& b) {
  // Every byte of every file must have a 64-bit offset: the largest file is
  // the parameter cube or a series cube.
  if (p.NL > 0 && p.NS > 0) {
    const unsigned __int128 per_pixel = static_cast<unsigned __int128>(std::max(2 * p.NB, 4 * p.NP));
    const unsigned __int128 bytes = static_cast<unsigned __int128>(p.NL) * static_cast<unsigned __int128>(p.NS) * per_pixel;
    if (bytes > static_cast<unsigned __int128>(INT64_MAX)) {
      return Status::refused("tsrecon: NL = " + std::to_string(p.NL) + " and NS = " + std::to_string(p.NS) +
                             " in cntl.dat describe files larger than any file offset can address");
    }
  }
  const unsigned long long need = line_buffer_bytes(p);
  const unsigned long long have = env.available_memory_bytes();
  const Status refusal = Status::refused(
      "tsrecon: NS = " + std::to_string(p.NS) + " and NB = " + std::to_string(p.NB) + " in cntl.dat need " +
      std::to_string(need / (1024 * 1024)) + " MiB of line buffers; this machine has " +
      std::to_string(have / (1024 * 1024)) + " MiB");
  if (need > have) return refusal;
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
    return refusal;
  }
  return Status::ok();
}

// One pixel's inputs and results, handed to the reconstruction.
struct PixelArrays {
  PixelInput input;
  PixelResult result;
};

// What each worker owns: its pixel arrays and its working storage.
struct Worker {
  PixelArrays pixel;
  PixelWorkspace workspace;
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
  std::memcpy(&b.interp_line[s * nb], r.preliminary.data(), nb * sizeof(double));
  std::memcpy(&b.fit_line[s * nb], r.fitted.data(), nb * sizeof(double));
  const size_t np = static_cast<size_t>(p.NP);
  std::memcpy(&b.param_line[s * np], r.params, np * sizeof(double));
  b.aic_line[s] = r.criterion;
  // Narrowed to 16 bits by keeping the low bits.
  b.order_line[s] = static_cast<int16_t>(r.order);
  b.max_line[s] = static_cast<int16_t>(r.maximum);
  b.min_line[s] = static_cast<int16_t>(r.minimum);
}

// A file of the run, open for the whole run.
struct OpenFile {
  const JobFile* entry = nullptr;
  ImageFile image;
  bool map_failed = false;  // a map line could not be written
};

// Writes line `line` of one product from the line buffers.
Status write_product_line(Env& env, const RunParameters& p, const LineBuffers& b, int32_t line, OpenFile& f) {
  ImageFile& file = f.image;
  switch (f.entry->content) {
    case Content::kInput:
      return Status::ok();
    case Content::kParameters:
      return write_param_line(file, line, p.NL, p.NS, 1, p.NP, b.param_line.data(), p.NP);
    case Content::kPreliminary:
      return write_series_line(file, line, p.NL, p.NS, 1, p.NB, b.interp_line.data(), p.NB);
    case Content::kFitted:
      return write_series_line(file, line, p.NL, p.NS, 1, p.NB, b.fit_line.data(), p.NB);
    case Content::kCriterion:
      return write_aic_line(file, line, p.NS, b.aic_line.data());
    case Content::kOrder:
      f.map_failed |= !write_map_line(env, file, line, p.NS, b.order_line.data());
      return Status::ok();
    case Content::kMinimum:
      f.map_failed |= !write_map_line(env, file, line, p.NS, b.min_line.data());
      return Status::ok();
    case Content::kMaximum:
      f.map_failed |= !write_map_line(env, file, line, p.NS, b.max_line.data());
      return Status::ok();
  }
  return Status::ok();
}

Status interrupted(Env& env) { return Status::interrupted(env.pending_interrupt()); }

Status run(Env& env, const RunParameters& p, const Execution& exec) {
  LineBuffers buffers;
  TSR_RETURN_IF_ERROR(allocate_buffers(env, p, buffers));

  write_line(env, {text_item("MAKING FUNCTION MATRIX")});
  auto x = std::make_unique<FunctionMatrix>();
  build_function_matrix(p.NB, p.NPOINT, p.NFUNC, harmonic_frequencies, *x);

  write_line(env, {text_item("opening data bsq")});
  const int32_t ns_alloc = p.NS > 0 ? p.NS : 0;
  // Every file of the run, in the table's order: the inputs first.
  std::vector<std::unique_ptr<OpenFile>> files;
  for (const JobFile& entry : kRunFiles) {
    if (!present_in_run(entry, p.INTP, p.MASK)) continue;
    auto f = std::make_unique<OpenFile>();
    f->entry = &entry;
    TSR_RETURN_IF_ERROR(f->image.open(env, entry, ns_alloc));
    files.push_back(std::move(f));
  }
  ImageFile& data = files[0]->image;
  ImageFile* mask = p.MASK == 1 ? &files[1]->image : nullptr;

  write_line(env, {text_item("MAKING FUNCTION MATRIX LOOP")});
  const int threads = std::max(1, std::min(exec.threads, p.NS));
  std::vector<std::unique_ptr<Worker>> workers;
  for (int i = 0; i < threads; ++i) {
    workers.push_back(std::make_unique<Worker>());
    workers.back()->workspace.engine = exec.engine;
  }
  WorkerPool pool(threads);
  const PixelSettings settings = pixel_settings(p);
  const WorkerPool::Work reconstruct_sample = [&](int worker, int64_t s) {
    Worker& w = *workers[static_cast<size_t>(worker)];
    process_sample(p, settings, *x, buffers, static_cast<size_t>(s), w.pixel, w.workspace);
  };
  const WorkerPool::StopCheck stop = [&env] { return env.pending_interrupt() != 0; };

  for (int32_t line = 1; line <= p.NL; ++line) {
    if (env.pending_interrupt() != 0) return interrupted(env);
    write_progress(env, line, p.NL);
    TSR_RETURN_IF_ERROR(read_data_line(env, data, line, p.NL, p.NS, 1, p.NB, buffers.data_line.data(), p.NB));
    if (mask != nullptr) {
      TSR_RETURN_IF_ERROR(read_mask_line(*mask, line, p.NL, p.NS, 1, p.NB, buffers.mask_line.data(), p.NB));
    }
    // An interrupt stops the workers between pixels; the incomplete line is
    // not written.
    if (!pool.run(p.NS > 0 ? p.NS : 0, reconstruct_sample, stop)) return interrupted(env);
    for (auto& f : files) TSR_RETURN_IF_ERROR(write_product_line(env, p, buffers, line, *f));
  }

  // An interrupt that came during the last line (or with no line at all) still
  // ends the run as interrupted, before it can be reported as complete.
  if (env.pending_interrupt() != 0) return interrupted(env);
  for (auto& f : files) f->image.close();
  write_line(env, {text_item("Program Deadified")});

  // A map whose writes failed was reported line by line on the console; the
  // run must still not end as a success. One line names every such map.
  std::vector<std::string> unwritten;
  for (const auto& f : files) {
    if (f->map_failed) unwritten.emplace_back(f->entry->name);
  }
  if (!unwritten.empty()) {
    std::string names = unwritten.front();
    for (size_t i = 1; i < unwritten.size(); ++i) names += ", " + unwritten[i];
    return Status::refused("tsrecon: " + names + (unwritten.size() == 1 ? " has" : " have") +
                           " unwritten records (failed writes are listed on the console)");
  }
  return Status::ok();
}

}  // namespace

Status run_job(Env& env) {
  Execution exec;
  TSR_RETURN_IF_ERROR(execution_from_environment(env, exec));
  RunParameters params;
  const ConsoleSink console = [&env](std::initializer_list<ListItem> items) { write_line(env, items); };
  TSR_RETURN_IF_ERROR(read_run_parameters(env, params, console));
  TSR_RETURN_IF_ERROR(derive_run_parameters(params));
  return run(env, params, exec);
}

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
  const tsrecon::Status status = tsrecon::run_job("");
  tsrecon::write_error_line(status);
  return status.exit_status;
}

}  // namespace tsr
