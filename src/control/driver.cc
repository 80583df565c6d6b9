#include "control/driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
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

// The console of a line read ahead, held until that line's turn comes: an Env
// that keeps what is written to the console and hands every other call on.
class HeldConsole final : public EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  void write_console(std::string_view text) override { held_.emplace_back(text); }
  // Writes what was held on the target's console, in order, and forgets it.
  void release() {
    for (const std::string& text : held_) target()->write_console(text);
    held_.clear();
  }

 private:
  std::vector<std::string> held_;
};

// Where the time of a run went (TSRECON_PROFILE), in seconds of env's clock.
struct StageTimes {
  double begun = 0.0;       // the run's start
  double lines_begun = 0.0; // the first line's start
  double read = 0.0, write = 0.0;
};

// How many sets of line buffers the overlapped loop would like: the line being
// finished and two read ahead.
constexpr int kLineSets = 3;

// How long the calling thread waits for a line's pixels before it asks about
// interrupts again.
constexpr double kInterruptPollSeconds = 0.02;

// The line loop of a run over its open files, in either of two orders that
// give the same console, products and outcome:
//
//  - one line after another (sequential): read line L, reconstruct it,
//    write it; the calling thread is one of the pixel workers;
//  - with the lines moved beside the pixel work (overlapped), on K sets of
//    line buffers (line L in set (L - 1) % K): the pool's helpers take the
//    pixels of line after line without pausing between lines, while the
//    calling thread writes each line once its pixels are done and then reads
//    the line K further on into the set it frees.
//
// The overlapped order keeps every visible step where the sequential one has
// it. A line read ahead holds back its console lines and its outcome until
// its turn: after the line before it is written, and after its own progress
// line. Interrupts are asked about where the sequential order asks (between
// lines; after the progress line, where the line's first pixel would be
// asked about; while its pixels are done), and a line that an interrupt or a
// failure overtakes is never written, whatever pixels of it the helpers had
// done.
//
// Threads: everything but the pixels runs on the calling thread, which alone
// uses the files, the console and env.pending_interrupt().
class LineLoop {
 public:
  LineLoop(Env& env, const RunParameters& p, std::vector<std::unique_ptr<ImageFile>>& files, bool* map_failed,
           PixelPool& pixels, StageTimes& times)
      : env_(env), p_(p), files_(files), map_failed_(map_failed), pixels_(pixels), times_(times) {}

  Status sequential(LineBuffers& b) {
    const Status s = sequential_lines(b);
    pixel_seconds_ = pixels_.workers().busy_seconds();
    return s;
  }

  // Requires NL >= 1, NS >= 1, a pool with helpers and sets.size() >= 2.
  Status overlapped(std::vector<LineBuffers>& sets);

  // Seconds the pixel threads spent on pixels; set when a loop returns.
  double pixel_seconds() const { return pixel_seconds_; }

 private:
  Status sequential_lines(LineBuffers& b) {
    const PixelPool::Placement place = [this, &b](int64_t s, PixelSource& source, PixelOutputs& outputs) {
      place_sample(p_, b, s, source, outputs);
    };
    for (int32_t line = 1; line <= p_.NL; ++line) {
      if (env_.pending_interrupt() != 0) return interrupted(env_);
      write_progress(env_, line, p_.NL);
      TSR_RETURN_IF_ERROR(read_line(env_, line, b));
      // An interrupt stops the workers between pixels; the incomplete line is
      // not written. Asked once before the pool starts, so that helpers cannot
      // finish a line that the calling thread's first question would stop.
      if (env_.pending_interrupt() != 0) return interrupted(env_);
      if (!pixels_.run(samples(), place, stop_)) {
        TSR_RETURN_IF_ERROR(pixels_.refusal());
        return interrupted(env_);
      }
      TSR_RETURN_IF_ERROR(write_line(line, b));
    }
    return Status::ok();
  }

  int64_t samples() const { return p_.NS > 0 ? p_.NS : 0; }

  // Line `line` of data.bsq (and mask.bsq) into `b`; the console lines of the
  // readers go to `console`.
  Status read_line(Env& console, int32_t line, LineBuffers& b) {
    const double t0 = env_.now_seconds();
    Status s = read_data_line(console, *files_[0], line, p_.NL, p_.NS, 1, p_.NB, b.data_line.get(), p_.NB);
    if (s.is_ok() && p_.MASK == 1) {
      s = read_mask_line(*files_[1], line, p_.NL, p_.NS, 1, p_.NB, b.mask_line.get(), p_.NB);
    }
    times_.read += env_.now_seconds() - t0;
    return s;
  }

  // Line `line` of every product from `b`, in the table's order.
  Status write_line(int32_t line, const LineBuffers& b) {
    const double t0 = env_.now_seconds();
    Status s = Status::ok();
    for (size_t i = 0; i < files_.size() && s.is_ok(); ++i) {
      s = write_product_line(env_, p_, b, line, *files_[i], map_failed_[i]);
    }
    times_.write += env_.now_seconds() - t0;
    return s;
  }

  Env& env_;
  const RunParameters& p_;
  std::vector<std::unique_ptr<ImageFile>>& files_;
  bool* map_failed_;
  PixelPool& pixels_;
  StageTimes& times_;
  double pixel_seconds_ = 0.0;
  const WorkerPool::StopCheck stop_ = [this] { return env_.pending_interrupt() != 0; };
};

Status LineLoop::overlapped(std::vector<LineBuffers>& sets) {
  const int k = static_cast<int>(sets.size());
  const auto set_of = [k](int64_t line) { return static_cast<size_t>((line - 1) % k); };
  // The reading of each line in flight: its held console lines and outcome.
  std::vector<std::unique_ptr<HeldConsole>> held(sets.size());
  std::vector<Status> read_status(sets.size());
  bool reads_ok = true;
  BatchStream stream(pixels_.workers(), p_.NL, samples(), k,
                     [this, &sets, &set_of](int worker, int64_t batch, int64_t s) {
                       PixelSource source;
                       PixelOutputs outputs;
                       place_sample(p_, sets[set_of(batch + 1)], s, source, outputs);
                       pixels_.run_one(worker, source, outputs);
                     });
  // Reads line `line` into its set and opens it to the helpers when it
  // could be read. Lines are read in order; none after a failed one.
  const auto read_ahead = [&](int32_t line) {
    const size_t at = set_of(line);
    held[at] = std::make_unique<HeldConsole>(&env_);
    read_status[at] = read_line(*held[at], line, sets[at]);
    reads_ok = read_status[at].is_ok();
    if (reads_ok) stream.open(line - 1);
  };
  const auto ended = [&](Status s) {
    stream.end();
    pixel_seconds_ = pixels_.workers().busy_seconds() - stream.waiting_seconds();
    return s;
  };

  for (int32_t line = 1; line <= std::min<int32_t>(k, p_.NL) && reads_ok; ++line) read_ahead(line);
  for (int32_t line = 1; line <= p_.NL; ++line) {
    const size_t at = set_of(line);
    if (env_.pending_interrupt() != 0) return ended(interrupted(env_));
    write_progress(env_, line, p_.NL);
    held[at]->release();
    if (!read_status[at].is_ok()) return ended(read_status[at]);
    // Where a sequential run asks before the line's first pixel, then
    // between its pixels.
    if (env_.pending_interrupt() != 0) return ended(interrupted(env_));
    while (!stream.wait(line - 1, kInterruptPollSeconds)) {
      if (env_.pending_interrupt() != 0) return ended(interrupted(env_));
    }
    // A refused pixel ends the run before the line is written: the refusal
    // comes from the settings, so one line after another ends at this line too.
    if (Status s = pixels_.refusal(); !s.is_ok()) return ended(s);
    if (Status s = write_line(line, sets[at]); !s.is_ok()) return ended(s);
    if (reads_ok && int64_t{line} + k <= p_.NL) read_ahead(line + k);
  }
  return ended(Status::ok());
}

// One line on the error stream: where the time of the run went. Idle is the
// time the pixel threads had no pixel to work on: while the lines were read
// and written, waiting for the last pixels of a line, or for a line read
// ahead.
void write_profile(Env& env, const RunParameters& p, int pixel_threads, int line_sets, const StageTimes& t,
                   double pixel_seconds) {
  const double now = env.now_seconds();
  const double lines = now - t.lines_begun;
  const double idle = pixel_threads * lines - pixel_seconds;
  char text[512];
  std::snprintf(text, sizeof text,
                "tsrecon profile: lines %d, samples %d, pixel threads %d, line buffers %d (%s); run %.3f s, "
                "before the lines %.3f s, lines %.3f s: read %.3f s, write %.3f s, pixels %.3f thread-s, "
                "idle %.3f thread-s",
                p.NL, p.NS, pixel_threads, line_sets,
                line_sets > 1 ? "read and written beside the pixel work" : "one line after another", now - t.begun,
                t.lines_begun - t.begun, lines, t.read, t.write, pixel_seconds, idle);
  env.write_error(text);
}

Status run(Env& env, const RunParameters& p, const Execution& exec) {
  StageTimes times;
  times.begun = env.now_seconds();
  const int threads = std::max(1, std::min(exec.threads, p.NS));
  // The sets of line buffers beyond the first, for the overlapped loop: only
  // for more than one thread and more than one line, and as many as the
  // machine holds beside the first (at most kLineSets in all); with none the
  // run goes one line after another.
  std::vector<LineBuffers> sets(1);
  TSR_RETURN_IF_ERROR(allocate_buffers(env, p, sets[0]));
  if (exec.overlap && threads > 1 && p.NL > 1) {
    const unsigned long long need = line_buffer_bytes(p);
    const unsigned long long have = env.available_memory_bytes();
    for (int k = 2; k <= kLineSets && need <= (have - need) / static_cast<unsigned long long>(k - 1); ++k) {
      LineBuffers more;
      if (!allocate_buffers(env, p, more).is_ok()) break;
      sets.push_back(std::move(more));
    }
  }

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
  // Whether a line of each file (a map) could not be written.
  const auto map_failed = std::make_unique<bool[]>(files.size());

  write_line(env, {text_item("MAKING FUNCTION MATRIX LOOP")});
  const PixelRunOptions options{pixel_settings(p), x.get(), exec.engine};
  // Overlapped, the calling thread moves the lines and `threads` helpers do
  // the pixels; a helper the system refused to start leaves fewer, and with
  // none the run goes one line after another.
  const bool overlap = sets.size() > 1;
  PixelPool pixels(options, overlap ? threads + 1 : threads);
  if (pixels.workers().size() == 1) sets.resize(1);
  const int pixel_threads = sets.size() > 1 ? pixels.workers().size() - 1 : pixels.workers().size();

  times.lines_begun = env.now_seconds();
  LineLoop loop(env, p, files, map_failed.get(), pixels, times);
  const Status ended = sets.size() > 1 ? loop.overlapped(sets) : loop.sequential(sets[0]);
  if (exec.profile) {
    write_profile(env, p, pixel_threads, static_cast<int>(sets.size()), times, loop.pixel_seconds());
  }
  TSR_RETURN_IF_ERROR(ended);

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
