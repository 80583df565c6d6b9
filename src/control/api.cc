// The library interface (include/tsrecon/tsrecon.h) on top of the driver,
// the run parameters and the pixel runner.
#include "tsrecon/tsrecon.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "control/driver.h"
#include "control/execution.h"
#include "control/library_run.h"
#include "control/library_settings.h"
#include "control/run_parameters.h"
#include "io/band_reader.h"
#include "lsq/function_matrix.h"
#include "control/pixel_runner.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "runtime/workers.h"

namespace tsrecon {
namespace {

// The library's status of `s`; its line is the one `program` writes ("" for
// the library's own refusals, which name no program).
Status to_public(const tsr::Status& s, std::string_view program) {
  Status out;
  switch (s.code()) {
    case tsr::Status::Code::kOk: return out;
    case tsr::Status::Code::kRuntimeError:
      out.code = Status::Code::kRunTimeError;
      out.unit = s.unit();
      out.file = s.text();
      break;
    case tsr::Status::Code::kRefused: out.code = Status::Code::kRefused; break;
    case tsr::Status::Code::kInterrupted: out.code = Status::Code::kInterrupted; break;
  }
  out.number = s.number();
  out.line = s.line(program);
  out.exit_status = s.exit_status();
  return out;
}

// The program's name in the lines of what the executable would refuse too.
constexpr std::string_view kProgram = "tsrecon";

// The operating system's Env with the console sent elsewhere and interrupts
// taken from a callback.
class JobEnv final : public tsr::EnvWrapper {
 public:
  JobEnv(std::unique_ptr<tsr::Env> base, const JobOptions& options)
      : EnvWrapper(base.get()), base_(std::move(base)), options_(options) {}

  void write_console(std::string_view text) override {
    if (options_.console) {
      options_.console(text);
    } else {
      EnvWrapper::write_console(text);
    }
  }
  int pending_interrupt() override {
    // Once an interrupt is seen it stays pending, as a signal does.
    if (seen_ == 0) seen_ = EnvWrapper::pending_interrupt();
    return seen_;
  }

 private:
  std::unique_ptr<tsr::Env> base_;
  const JobOptions& options_;
  int seen_ = 0;
};

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The most bands the in-memory reconstruction takes for a cube of `nb`:
// any number beyond the control file's kMaxBands, and up to it the control
// file's range, so that a refusal of fewer than 3 reads as it always has.
int32_t in_memory_max_bands(int32_t nb) { return nb > tsr::kMaxBands ? INT32_MAX : tsr::kMaxBands; }

// The run parameters of `settings` for a cube of `size` with at most
// `max_bands` bands, checked and derived; refusals name the member in lower
// case. The excluded bands are checked here; RunParameters keeps the first
// kMaxExcludedBands of them (all of them up to 200 bands): longer lists are
// taken from the settings (pixel_settings_of).
tsr::Status to_run_parameters(const Settings& s, const CubeSize& size, int32_t max_bands, tsr::RunParameters& p) {
  p = tsr::RunParameters{};
  p.NB = size.nb;
  p.NL = size.nl;
  p.NS = size.ns;
#define TSR_FROM_SETTING(type, NAME, name, GROUP, value) p.NAME = s.name;
  TSRECON_CONTROL_MEMBERS(TSR_FROM_SETTING, TSRECON_SKIP_MEMBER)
#undef TSR_FROM_SETTING
  const int64_t listed = static_cast<int64_t>(s.excluded_bands.size());
  p.NDEF = static_cast<int32_t>(std::min<int64_t>(listed, INT32_MAX));
  if (const auto v = tsr::find_range_violation(p, max_bands)) {
    const std::string member = v->member == "NDEF" ? "the number of excluded bands" : lower(v->member);
    return tsr::Status::refused(member + " = " + std::to_string(v->value) + " is outside the allowed range " +
                                std::to_string(v->low) + ".." + std::to_string(v->high));
  }
  for (int32_t band : s.excluded_bands) {
    if (band < 1 || band > p.NB) {
      return tsr::Status::refused("excluded band " + std::to_string(band) + " is outside the bands 1.." +
                                  std::to_string(p.NB));
    }
    if (p.excluded_count < tsr::kMaxExcludedBands) p.excluded_bands[p.excluded_count++] = static_cast<int16_t>(band);
  }
  if (size.nl < 0 || size.ns < 0) {
    return tsr::Status::refused("the cube's lines and samples cannot be negative (" + std::to_string(size.nl) +
                                " x " + std::to_string(size.ns) + ")");
  }
  return tsr::derive_run_parameters(p, max_bands);
}

// What every pixel of the call shares but the matrix: the run's pixel
// settings, with every excluded band of the settings.
tsr::PixelSettings pixel_settings_of(const Settings& settings, const tsr::RunParameters& p) {
  tsr::PixelSettings out = tsr::pixel_settings(p);
  out.excluded_bands = settings.excluded_bands;
  return out;
}

// The engine and threads of a call: what the options say, and where they
// leave it open, what the executable would take from the environment.
tsr::Status execution_for(tsr::Env& env, const Options& o, tsr::Execution& exec) {
  if (o.engine == Engine::kDefault) {
    TSR_RETURN_IF_ERROR(tsr::engine_from_environment(env, exec.engine));
  } else {
    exec.engine = o.engine == Engine::kLiteral ? tsr::LsqEngine::kLiteral : tsr::LsqEngine::kFast;
  }
  if (o.threads == 0) {
    TSR_RETURN_IF_ERROR(tsr::threads_from_environment(env, exec.threads));
  } else {
    exec.threads = std::min(o.threads, tsr::kMaxThreads);
  }
  return tsr::Status::ok();
}

// The first negative value in the order the executable reads the cube: line
// by line, band by band, sample by sample.
tsr::Status find_negative(const Cube& cube) {
  const CubeSize& z = cube.size;
  const int64_t plane = int64_t{z.nl} * z.ns;
  for (int32_t l = 0; l < z.nl; ++l) {
    for (int32_t b = 0; b < z.nb; ++b) {
      const int16_t* row = cube.data + b * plane + int64_t{l} * z.ns;
      for (int32_t s = 0; s < z.ns; ++s) {
        if (row[s] < 0) {
          return tsr::Status::refused("band " + std::to_string(b + 1) + " line " + std::to_string(l + 1) +
                                      " sample " + std::to_string(s + 1) + " holds " + std::to_string(row[s]) +
                                      "; values must be 0..32767");
        }
      }
    }
  }
  return tsr::Status::ok();
}

// What a call to reconstruct asks for, checked before any work: the run
// parameters and the cube's inputs.
tsr::Status check_call(const Settings& settings, const Cube& cube, const Options& o, tsr::RunParameters& p) {
  TSR_RETURN_IF_ERROR(to_run_parameters(settings, cube.size, in_memory_max_bands(cube.size.nb), p));
  const int64_t pixels = int64_t{p.NL} * p.NS;
  if (pixels > 0 && cube.data == nullptr) return tsr::Status::refused("the cube has no data");
  if (pixels > 0 && p.MASK == 1 && cube.mask == nullptr) return tsr::Status::refused("mask = 1 needs a mask cube");
  TSR_RETURN_IF_ERROR(find_negative(cube));
  if (o.threads < 0) return tsr::Status::refused("threads must be positive, not " + std::to_string(o.threads));
  return tsr::Status::ok();
}

// The worker threads of a call: as many as asked, but no more than pixels.
int workers_for(const tsr::RunParameters& p, const tsr::Execution& exec) {
  const int64_t pixels = int64_t{p.NL} * p.NS;
  return static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(exec.threads, pixels)));
}

// What the engine and the machine allow, checked before any work: the
// literal engine for at most `literal_max_bands` bands, and the working
// storage (the function matrix, and every worker's storage sized for the
// series) within the memory the Env says is available.
tsr::Status check_storage(tsr::Env& env, const tsr::RunParameters& p, const tsr::PixelSettings& settings,
                          const tsr::Execution& exec, int32_t literal_max_bands) {
  if (exec.engine == tsr::LsqEngine::kLiteral && p.NB > literal_max_bands) {
    return tsr::Status::refused("the literal engine takes series of at most " + std::to_string(literal_max_bands) +
                                " steps, not " + std::to_string(p.NB) +
                                "; the fast engine takes any length and gives the same products");
  }
  if (int64_t{p.NL} * p.NS == 0) return tsr::Status::ok();
  const int workers = workers_for(p, exec);
  const unsigned __int128 matrix =
      static_cast<unsigned __int128>(tsr::PixelRunner::capacity_for(settings)) * tsr::kMatrixColumns * sizeof(double);
  const unsigned __int128 need =
      matrix + static_cast<unsigned __int128>(tsr::PixelRunner::memory_bytes(settings, exec.engine)) * workers;
  const uint64_t have = env.available_memory_bytes();
  if (need <= have) return tsr::Status::ok();
  constexpr unsigned __int128 kMiB = 1024 * 1024;
  const uint64_t need_mib = need / kMiB > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(need / kMiB);
  return tsr::Status::refused("series of " + std::to_string(p.NB) + " steps need " + std::to_string(need_mib) +
                              " MiB of working storage for " + std::to_string(workers) +
                              (workers == 1 ? " worker thread" : " worker threads") + "; this machine has " +
                              std::to_string(have / (1024 * 1024)) + " MiB available");
}

// Every pixel of the cube, each into its place of every product plane.
tsr::Status reconstruct_cube(const tsr::RunParameters& p, const tsr::PixelSettings& settings,
                             const tsr::Execution& exec, const Cube& cube, const Products& out, const Options& o) {
  const int64_t pixels = int64_t{p.NL} * p.NS;
  if (pixels == 0) return tsr::Status::ok();
  auto x = std::make_unique<tsr::FunctionMatrix>(tsr::PixelRunner::capacity_for(settings));
  tsr::build_function_matrix(p.NB, p.NPOINT, p.NFUNC, tsr::harmonic_frequencies, *x);
  const tsr::PixelRunOptions options{settings, x.get(), exec.engine};
  tsr::PixelPool pool(options, workers_for(p, exec));
  // Pixel k is element k of every plane.
  const tsr::PixelPool::Placement place = [&](int64_t k, tsr::PixelSource& source, tsr::PixelOutputs& outputs) {
    source.series = cube.data + k;
    if (p.MASK == 1) source.mask_bytes = cube.mask + k;
    source.stride = pixels;
    outputs.series_stride = pixels;
    outputs.param_stride = pixels;
    const auto at = [k](auto* plane) { return plane != nullptr ? plane + k : nullptr; };
    outputs.stored_fitted = at(out.fitted);
    if (p.INTP == 1) outputs.stored_preliminary = at(out.preliminary);
    outputs.stored_params = at(out.params);
    outputs.stored_order = at(out.order);
    outputs.stored_criterion = at(out.criterion);
    outputs.minimum = at(out.minimum);
    outputs.maximum = at(out.maximum);
  };
  tsr::WorkerPool::StopCheck stop;
  if (o.interrupted) stop = o.interrupted;
  if (pool.run(pixels, place, stop)) return tsr::Status::ok();
  TSR_RETURN_IF_ERROR(pool.refusal());
  return tsr::Status::interrupted(SIGINT);
}

}  // namespace

int32_t Settings::parameter_count() const { return tsr::parameter_count(nfunc); }

Status read_control_file(const std::string& path, Settings& settings, CubeSize& size) {
  std::string directory = path, name = tsr::kControlFile;
  {
    const std::unique_ptr<tsr::Env> probe = tsr::new_posix_env();
    tsr::OpenResult opened = probe->open(path, tsr::OpenMode::kReadOnly);
    if (opened.file == nullptr || !opened.file->is_directory()) {
      const size_t slash = path.rfind('/');
      directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
      name = slash == std::string::npos ? path : path.substr(slash + 1);
    }
  }
  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env({directory, {}});
  tsr::RunParameters p;
  const tsr::Status loaded = tsr::load_run_parameters(*env, name, p);
  if (!loaded.is_ok()) return to_public(loaded, kProgram);
  settings = tsr::library_settings(p);
  size = {p.NB, p.NL, p.NS};
  return {};
}

Status check_settings(const Settings& settings, int32_t nb) {
  tsr::RunParameters p;
  return to_public(to_run_parameters(settings, {nb, 0, 0}, tsr::kMaxBands, p), "");
}

Status check_reconstruct_settings(const Settings& settings, int32_t nb) {
  tsr::RunParameters p;
  return to_public(to_run_parameters(settings, {nb, 0, 0}, in_memory_max_bands(nb), p), "");
}

Status reconstruct(const Settings& settings, const Cube& cube, const Products& products, const Options& options) {
  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env();
  return tsr::reconstruct_with_env(*env, settings, cube, products, options, tsr::kMaxBands);
}

uint64_t worker_storage_bytes(int32_t nb) {
  tsr::PixelSettings settings;
  settings.nb = nb;
  return tsr::PixelRunner::memory_bytes(settings, tsr::LsqEngine::kFast);
}

Status run_job(const std::string& directory, const JobOptions& options) {
  tsr::PosixEnvOptions posix;
  posix.directory = directory;
  if (options.interrupted) posix.pending_interrupt = [&options] { return options.interrupted() ? SIGINT : 0; };
  JobEnv env(tsr::new_posix_env(std::move(posix)), options);
  return to_public(tsr::run_job(env), kProgram);
}

void write_error_line(const Status& status) {
  if (status.ok()) return;
  tsr::new_posix_env()->write_error(status.line);
}

uint64_t available_memory_bytes() { return tsr::new_posix_env()->available_memory_bytes(); }

}  // namespace tsrecon

namespace tsr {

tsrecon::Status reconstruct_with_env(Env& env, const tsrecon::Settings& settings, const tsrecon::Cube& cube,
                                     const tsrecon::Products& products, const tsrecon::Options& options,
                                     int32_t literal_max_bands) {
  using tsrecon::to_public;
  RunParameters p;
  if (const Status s = tsrecon::check_call(settings, cube, options, p); !s.is_ok()) return to_public(s, "");
  // Threads and engine left to the environment are refused as the executable
  // refuses them.
  Execution exec;
  if (const Status s = tsrecon::execution_for(env, options, exec); !s.is_ok()) {
    return to_public(s, tsrecon::kProgram);
  }
  const PixelSettings pixel = tsrecon::pixel_settings_of(settings, p);
  if (const Status s = tsrecon::check_storage(env, p, pixel, exec, literal_max_bands); !s.is_ok()) {
    return to_public(s, "");
  }
  try {
    return to_public(tsrecon::reconstruct_cube(p, pixel, exec, cube, products, options), "");
  } catch (const std::bad_alloc&) {
    // The storage fits what the machine said was available, and yet the
    // system gave less; nothing of the products was written.
    return to_public(Status::refused("the working storage for series of " + std::to_string(p.NB) +
                                     " steps could not be allocated"),
                     "");
  }
}

tsrecon::Settings library_settings(const RunParameters& p) {
  tsrecon::Settings settings;
#define TSR_TO_SETTING(type, NAME, name, GROUP, value) settings.name = p.NAME;
  TSRECON_CONTROL_MEMBERS(TSR_TO_SETTING, TSRECON_SKIP_MEMBER)
#undef TSR_TO_SETTING
  settings.excluded_bands.assign(p.excluded_bands, p.excluded_bands + p.excluded_count);
  return settings;
}

}  // namespace tsr
