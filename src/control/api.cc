// The library interface (include/tsrecon/tsrecon.h) on top of the driver,
// the run parameters and the pixel reconstruction.
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
#include "io/conversions.h"
#include "lsq/function_matrix.h"
#include "pixel/reconstruct.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "runtime/workers.h"

namespace tsrecon {
namespace {

Status to_public(const tsr::Status& s) {
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
  out.line = s.line();
  out.exit_status = s.exit_status();
  return out;
}

// An Env that sends the console elsewhere and takes interrupts from a
// callback; everything else is the operating system's.
class JobEnv final : public tsr::Env {
 public:
  JobEnv(const std::string& directory, const JobOptions& options) : options_(options) {
    tsr::PosixEnvOptions posix;
    posix.directory = directory;
    if (options.interrupted) posix.pending_interrupt = [this] { return options_.interrupted() ? SIGINT : 0; };
    base_ = tsr::new_posix_env(std::move(posix));
  }
  std::string working_directory() override { return base_->working_directory(); }
  tsr::OpenResult open(const std::string& name, tsr::OpenMode mode) override { return base_->open(name, mode); }
  std::optional<std::string> variable(const std::string& name) override { return base_->variable(name); }
  void write_console(std::string_view text) override {
    if (options_.console) {
      options_.console(text);
    } else {
      base_->write_console(text);
    }
  }
  void write_error(std::string_view line) override { base_->write_error(line); }
  int pending_interrupt() override {
    // Once an interrupt is seen it stays pending, as a signal does.
    if (seen_ == 0) seen_ = base_->pending_interrupt();
    return seen_;
  }
  double now_seconds() override { return base_->now_seconds(); }
  int available_cores() override { return base_->available_cores(); }
  uint64_t available_memory_bytes() override { return base_->available_memory_bytes(); }
  uint64_t available_disk_bytes() override { return base_->available_disk_bytes(); }

 private:
  const JobOptions& options_;
  std::unique_ptr<tsr::Env> base_;
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
  if (o.threads < 0) return tsr::Status::refused("threads must be positive, not " + std::to_string(o.threads));
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

struct Worker {
  tsr::PixelInput input;
  tsr::PixelResult result;
  tsr::PixelWorkspace workspace;
};

tsr::Status reconstruct_cube(const Settings& settings, const Cube& cube, const Products& out, const Options& o) {
  tsr::RunParameters p;
  TSR_RETURN_IF_ERROR(to_run_parameters(settings, cube.size, p));
  const int64_t pixels = int64_t{p.NL} * p.NS;
  if (pixels > 0 && cube.data == nullptr) return tsr::Status::refused("the cube has no data");
  if (pixels > 0 && p.MASK == 1 && cube.mask == nullptr) return tsr::Status::refused("mask = 1 needs a mask cube");
  TSR_RETURN_IF_ERROR(find_negative(cube));
  tsr::Execution exec;
  TSR_RETURN_IF_ERROR(execution_for(o, exec));
  if (pixels == 0) return tsr::Status::ok();

  auto x = std::make_unique<tsr::FunctionMatrix>();
  tsr::build_function_matrix(p.NB, p.NPOINT, p.NFUNC, tsr::harmonic_frequencies, *x);
  const int threads = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(exec.threads, pixels)));
  std::vector<std::unique_ptr<Worker>> workers;
  for (int i = 0; i < threads; ++i) {
    workers.push_back(std::make_unique<Worker>());
    workers.back()->workspace.engine = exec.engine;
  }
  tsr::WorkerPool pool(threads);
  const tsr::PixelSettings pixel = tsr::pixel_settings(p);
  const size_t nb = static_cast<size_t>(p.NB);
  const tsr::WorkerPool::Work work = [&](int index, int64_t k) {
    Worker& w = *workers[static_cast<size_t>(index)];
    for (size_t b = 0; b < nb; ++b) {
      w.input.series[b] = cube.data[static_cast<int64_t>(b) * pixels + k];
      w.input.weights[b] = p.MASK == 1 ? static_cast<int16_t>(cube.mask[static_cast<int64_t>(b) * pixels + k]) : 1;
    }
    tsr::reconstruct_pixel(pixel, *x, w.input, w.result, w.workspace);
    const tsr::PixelResult& r = w.result;
    for (size_t b = 0; b < nb; ++b) {
      const int64_t at = static_cast<int64_t>(b) * pixels + k;
      if (out.fitted != nullptr) out.fitted[at] = tsr::scaled_series_value(r.fitted[b]);
      if (out.preliminary != nullptr && p.INTP == 1) out.preliminary[at] = tsr::scaled_series_value(r.preliminary[b]);
    }
    if (out.params != nullptr) {
      for (int32_t j = 0; j < p.NP; ++j) out.params[int64_t{j} * pixels + k] = tsr::real4_value(r.params[j]);
    }
    // The maps narrow the order and the extremes to 16 bits as the driver does.
    if (out.order != nullptr) out.order[k] = static_cast<int8_t>(tsr::order_byte(static_cast<int16_t>(r.order)));
    if (out.criterion != nullptr) out.criterion[k] = tsr::aic_value(r.criterion);
    if (out.minimum != nullptr) out.minimum[k] = static_cast<int16_t>(r.minimum);
    if (out.maximum != nullptr) out.maximum[k] = static_cast<int16_t>(r.maximum);
  };
  tsr::WorkerPool::StopCheck stop;
  if (o.interrupted) stop = o.interrupted;
  if (!pool.run(pixels, work, stop)) return tsr::Status::interrupted(SIGINT);
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
  if (!loaded.is_ok()) return to_public(loaded);
  settings = tsr::library_settings(p);
  size = {p.NB, p.NL, p.NS};
  return {};
}

Status check_settings(const Settings& settings, int32_t nb) {
  tsr::RunParameters p;
  return to_public(to_run_parameters(settings, {nb, 0, 0}, p));
}

Status reconstruct(const Settings& settings, const Cube& cube, const Products& products, const Options& options) {
  return to_public(reconstruct_cube(settings, cube, products, options));
}

Status run_job(const std::string& directory, const JobOptions& options) {
  JobEnv env(directory, options);
  return to_public(tsr::run_job(env));
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
