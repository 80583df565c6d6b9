// The library interface (include/tsrecon/tsrecon.h) on top of the driver,
// the run parameters and the pixel runner.
#include "tsrecon/tsrecon.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

#include "control/driver.h"
#include "control/execution.h"
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

// The run parameters of `settings` for a cube of `size`, checked and
// derived; refusals name the member in lower case.
tsr::Status to_run_parameters(const Settings& s, const CubeSize& size, tsr::RunParameters& p) {
  p = tsr::RunParameters{};
  p.NB = size.nb;
  p.NL = size.nl;
  p.NS = size.ns;
#define TSR_FROM_SETTING(type, NAME, name, GROUP, value) p.NAME = s.name;
  TSRECON_CONTROL_MEMBERS(TSR_FROM_SETTING, TSRECON_SKIP_MEMBER)
#undef TSR_FROM_SETTING
  const int64_t listed = static_cast<int64_t>(s.excluded_bands.size());
  p.NDEF = static_cast<int32_t>(std::min<int64_t>(listed, INT32_MAX));
  if (const auto v = tsr::find_range_violation(p)) {
    const std::string member = v->member == "NDEF" ? "the number of excluded bands" : lower(v->member);
    return tsr::Status::refused(member + " = " + std::to_string(v->value) + " is outside the allowed range " +
                                std::to_string(v->low) + ".." + std::to_string(v->high));
  }
  for (int32_t band : s.excluded_bands) {
    if (band < 1 || band > p.NB) {
      return tsr::Status::refused("excluded band " + std::to_string(band) + " is outside the bands 1.." +
                                  std::to_string(p.NB));
    }
    p.excluded_bands[p.excluded_count++] = static_cast<int16_t>(band);
  }
  if (size.nl < 0 || size.ns < 0) {
    return tsr::Status::refused("the cube's lines and samples cannot be negative (" + std::to_string(size.nl) +
                                " x " + std::to_string(size.ns) + ")");
  }
  return tsr::derive_run_parameters(p);
}

// The engine and threads of a call: what the options say, and where they
// leave it open, what the executable would take from the environment.
tsr::Status execution_for(const Options& o, tsr::Execution& exec) {
  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env();
  if (o.engine == Engine::kDefault) {
    TSR_RETURN_IF_ERROR(tsr::engine_from_environment(*env, exec.engine));
  } else {
    exec.engine = o.engine == Engine::kLiteral ? tsr::LsqEngine::kLiteral : tsr::LsqEngine::kFast;
  }
  if (o.threads == 0) {
    TSR_RETURN_IF_ERROR(tsr::threads_from_environment(*env, exec.threads));
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
  TSR_RETURN_IF_ERROR(to_run_parameters(settings, cube.size, p));
  const int64_t pixels = int64_t{p.NL} * p.NS;
  if (pixels > 0 && cube.data == nullptr) return tsr::Status::refused("the cube has no data");
  if (pixels > 0 && p.MASK == 1 && cube.mask == nullptr) return tsr::Status::refused("mask = 1 needs a mask cube");
  TSR_RETURN_IF_ERROR(find_negative(cube));
  if (o.threads < 0) return tsr::Status::refused("threads must be positive, not " + std::to_string(o.threads));
  return tsr::Status::ok();
}

// Every pixel of the cube, each into its place of every product plane.
tsr::Status reconstruct_cube(const tsr::RunParameters& p, const tsr::Execution& exec, const Cube& cube,
                             const Products& out, const Options& o) {
  const int64_t pixels = int64_t{p.NL} * p.NS;
  if (pixels == 0) return tsr::Status::ok();
  auto x = std::make_unique<tsr::FunctionMatrix>();
  tsr::build_function_matrix(p.NB, p.NPOINT, p.NFUNC, tsr::harmonic_frequencies, *x);
  const tsr::PixelRunOptions options{tsr::pixel_settings(p), x.get(), exec.engine};
  tsr::PixelPool pool(options, static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(exec.threads, pixels))));
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
  if (!pool.run(pixels, place, stop)) return tsr::Status::interrupted(SIGINT);
  return tsr::Status::ok();
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
  return to_public(to_run_parameters(settings, {nb, 0, 0}, p), "");
}

Status reconstruct(const Settings& settings, const Cube& cube, const Products& products, const Options& options) {
  tsr::RunParameters p;
  if (const tsr::Status s = check_call(settings, cube, options, p); !s.is_ok()) return to_public(s, "");
  // Threads and engine left to the environment are refused as the executable
  // refuses them.
  tsr::Execution exec;
  if (const tsr::Status s = execution_for(options, exec); !s.is_ok()) return to_public(s, kProgram);
  return to_public(reconstruct_cube(p, exec, cube, products, options), "");
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

tsrecon::Settings library_settings(const RunParameters& p) {
  tsrecon::Settings settings;
#define TSR_TO_SETTING(type, NAME, name, GROUP, value) settings.name = p.NAME;
  TSRECON_CONTROL_MEMBERS(TSR_TO_SETTING, TSRECON_SKIP_MEMBER)
#undef TSR_TO_SETTING
  settings.excluded_bands.assign(p.excluded_bands, p.excluded_bands + p.excluded_count);
  return settings;
}

}  // namespace tsr
