#include "control/driver.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "control/execution.h"
#include "control/run_parameters.h"
#include "domain/run_files.h"
#include "io/band_reader.h"
#include "io/image_file.h"
#include "io/product_writer.h"
#include "lsq/function_matrix.h"
#include "control/pixel_runner.h"
#include "runtime/console.h"
#include "runtime/workers.h"

namespace tsr {
namespace {

// The line buffers of the run, sized once from NB and NS: one image line of
// the inputs and of every product. In every two-dimensional buffer the band
// is the fastest index. interp_line holds the preliminary fit (written to
// i.bsq when INTP = 1), fit_line the final fit.
struct LineBuffers {
  std::unique_ptr<int16_t[]> data_line, mask_line;
  std::unique_ptr<double[]> param_line, interp_line, fit_line, aic_line;
  std::unique_ptr<int16_t[]> order_line, min_line, max_line;
};

// `count` zeros, or null when the machine cannot give them.
template <typename T>
std::unique_ptr<T[]> zeros(size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

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
      return Status::refused("NL = " + std::to_string(p.NL) + " and NS = " + std::to_string(p.NS) +
                             " in cntl.dat describe files larger than any file offset can address");
    }
  }
  const unsigned long long need = line_buffer_bytes(p);
  const unsigned long long have = env.available_memory_bytes();
  const Status refusal = Status::refused(
      "NS = " + std::to_string(p.NS) + " and NB = " + std::to_string(p.NB) + " in cntl.dat need " +
      std::to_string(need / (1024 * 1024)) + " MiB of line buffers; this machine has " +
      std::to_string(have / (1024 * 1024)) + " MiB");
  if (need > have) return refusal;
  const size_t nb = static_cast<size_t>(p.NB);
  const size_t ns = static_cast<size_t>(p.NS > 0 ? p.NS : 0);
  b.data_line = zeros<int16_t>(nb * ns);
  if (p.MASK == 1) b.mask_line = zeros<int16_t>(nb * ns);
  b.param_line = zeros<double>(static_cast<size_t>(p.NP) * ns);
  b.interp_line = zeros<double>(nb * ns);
  b.fit_line = zeros<double>(nb * ns);
  b.aic_line = zeros<double>(ns);
  b.order_line = zeros<int16_t>(ns);
  b.min_line = zeros<int16_t>(ns);
  b.max_line = zeros<int16_t>(ns);
  const bool all = b.data_line && (p.MASK != 1 || b.mask_line) && b.param_line && b.interp_line && b.fit_line &&
                   b.aic_line && b.order_line && b.min_line && b.max_line;
  return all ? Status::ok() : refusal;
}

// Where sample s (0-based) of the current line lies in the line buffers and
// where its results are staged: the band is the fastest index.
void place_sample(const RunParameters& p, LineBuffers& b, int64_t s, PixelSource& source, PixelOutputs& outputs) {
  const size_t nb = static_cast<size_t>(p.NB);
  const size_t np = static_cast<size_t>(p.NP);
  const size_t at = static_cast<size_t>(s);
  source.series = &b.data_line[at * nb];
  if (p.MASK == 1) source.mask = &b.mask_line[at * nb];
  // interp_line holds the preliminary fit of every sample, staged whether
  // or not i.bsq is written.
  outputs.preliminary = &b.interp_line[at * nb];
  outputs.fitted = &b.fit_line[at * nb];
  outputs.params = &b.param_line[at * np];
  outputs.criterion = &b.aic_line[at];
  outputs.order = &b.order_line[at];
  outputs.minimum = &b.min_line[at];
  outputs.maximum = &b.max_line[at];
}

// Writes line `line` of one product from the line buffers. A map line that
// cannot be written sets `map_failed` and does not stop the run.
Status write_product_line(Env& env, const RunParameters& p, const LineBuffers& b, int32_t line, ImageFile& file,
                          bool& map_failed) {
  switch (file.entry()->content) {
    case Content::kInput:
      return Status::ok();
    case Content::kParameters:
      return write_param_line(file, line, p.NL, p.NS, 1, p.NP, b.param_line.get(), p.NP);
    case Content::kPreliminary:
      return write_series_line(file, line, p.NL, p.NS, 1, p.NB, b.interp_line.get(), p.NB);
    case Content::kFitted:
      return write_series_line(file, line, p.NL, p.NS, 1, p.NB, b.fit_line.get(), p.NB);
    case Content::kCriterion:
      return write_aic_line(file, line, p.NS, b.aic_line.get());
    case Content::kOrder:
      map_failed |= !write_map_line(env, file, line, p.NS, b.order_line.get());
      return Status::ok();
    case Content::kMinimum:
      map_failed |= !write_map_line(env, file, line, p.NS, b.min_line.get());
      return Status::ok();
    case Content::kMaximum:
      map_failed |= !write_map_line(env, file, line, p.NS, b.max_line.get());
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
  std::vector<std::unique_ptr<ImageFile>> files;
  for (const JobFile& entry : kRunFiles) {
    if (!present_in_run(entry, p.INTP, p.MASK)) continue;
    files.push_back(std::make_unique<ImageFile>());
    TSR_RETURN_IF_ERROR(files.back()->open(env, entry, ns_alloc));
  }
  ImageFile& data = *files[0];
  ImageFile* mask = p.MASK == 1 ? files[1].get() : nullptr;
  // Whether a line of each file (a map) could not be written.
  const auto map_failed = std::make_unique<bool[]>(files.size());

  write_line(env, {text_item("MAKING FUNCTION MATRIX LOOP")});
  const PixelRunOptions options{pixel_settings(p), x.get(), exec.engine};
  PixelPool pixels(options, std::max(1, std::min(exec.threads, p.NS)));
  const PixelPool::Placement sample_of_line = [&](int64_t s, PixelSource& source, PixelOutputs& outputs) {
    place_sample(p, buffers, s, source, outputs);
  };
  const WorkerPool::StopCheck stop = [&env] { return env.pending_interrupt() != 0; };

  for (int32_t line = 1; line <= p.NL; ++line) {
    if (env.pending_interrupt() != 0) return interrupted(env);
    write_progress(env, line, p.NL);
    TSR_RETURN_IF_ERROR(read_data_line(env, data, line, p.NL, p.NS, 1, p.NB, buffers.data_line.get(), p.NB));
    if (mask != nullptr) {
      TSR_RETURN_IF_ERROR(read_mask_line(*mask, line, p.NL, p.NS, 1, p.NB, buffers.mask_line.get(), p.NB));
    }
    // An interrupt stops the workers between pixels; the incomplete line is
    // not written.
    if (!pixels.run(p.NS > 0 ? p.NS : 0, sample_of_line, stop)) return interrupted(env);
    for (size_t i = 0; i < files.size(); ++i) {
      TSR_RETURN_IF_ERROR(write_product_line(env, p, buffers, line, *files[i], map_failed[i]));
    }
  }

  // An interrupt that came during the last line (or with no line at all) still
  // ends the run as interrupted, before it can be reported as complete.
  if (env.pending_interrupt() != 0) return interrupted(env);
  for (auto& f : files) f->close();
  write_line(env, {text_item("Program Deadified")});

  // A map whose writes failed was reported line by line on the console; the
  // run must still not end as a success. One line names every such map.
  std::vector<std::string> unwritten;
  for (size_t i = 0; i < files.size(); ++i) {
    if (map_failed[i]) unwritten.emplace_back(files[i]->entry()->name);
  }
  if (!unwritten.empty()) {
    std::string names = unwritten.front();
    for (size_t i = 1; i < unwritten.size(); ++i) names += ", " + unwritten[i];
    return Status::refused(names + (unwritten.size() == 1 ? " has" : " have") +
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

}  // namespace tsr
