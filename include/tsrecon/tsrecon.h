// tsrecon as a library: the reconstruction of in-memory cubes and the run of
// a job directory, with their outcome returned as a value.
//
// Everything here gives the same bytes as the tsrecon executable on the same
// inputs, whatever the number of threads. Nothing here ends the process,
// installs signal handlers or changes the working directory.
//
// Threads: every function may be called from any thread; calls that share no
// buffers may run concurrently. Each call blocks its caller until done and
// uses worker threads of its own (see Options::threads), joined before it
// returns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The list of the control file's members (installed beside this header).
#include "domain/settings_members.h"

namespace tsrecon {

// How a call ended.
struct Status {
  enum class Code {
    kOk,
    kRunTimeError,  // a file or the control file failed: number, unit, file
    kRefused,       // bad settings or data, too little memory, unwritten maps
    kInterrupted,   // stopped between pixels; number is the signal (2 for an
                    // interrupt callback that said stop)
  };
  Code code = Code::kOk;
  int number = 0;     // run-time error number, signal, or 1 for a refusal
  int unit = 0;       // unit of a run-time error (15 cntl.dat, 21 data.bsq, ...)
  std::string file;   // file of a run-time error, as its message shows it
  std::string line;   // the line the executable writes on standard error; empty when ok
  int exit_status = 0;  // the executable's exit status for this outcome

  bool ok() const { return code == Code::kOk; }
};

// The members of the control file's groups that shape the reconstruction,
// in lower case, with the program's defaults, as domain/settings_members.h
// lists them (nfunc, tcld, npoint, ...).
// Members the program accepts without effect (NDAT, ISPOT, SELECT) are left
// out; NDEF is the number of excluded bands.
struct Settings {
#define TSRECON_SETTING(type, NAME, name, GROUP, value) type name = value;
  TSRECON_CONTROL_MEMBERS(TSRECON_SETTING, TSRECON_SKIP_MEMBER)
#undef TSRECON_SETTING
  std::vector<int32_t> excluded_bands;  // band numbers 1..nb left out (at most nb)

  // Parameters per pixel: constant, trend, amplitude and phase per harmonic.
  int32_t parameter_count() const;
};

// The cube's dimensions: bands (time steps), lines and samples. A control
// file and run_job take 3..200 bands (the executable's files and control
// file are made for these); reconstruct takes any number from 3, memory
// permitting.
struct CubeSize {
  int32_t nb = 0;
  int32_t nl = 0;
  int32_t ns = 0;
};

// Reads a control file with the program's own reader and rules (nothing is
// echoed, nothing is created): `path` is the file itself or a directory that
// holds cntl.dat. A syntax fault is the program's run-time error on unit 15
// (17, 18, 19, 24, 59, 64); a missing file is error 29; values out of range
// are refused as the program refuses them.
Status read_control_file(const std::string& path, Settings& settings, CubeSize& size);

// The program's checks of settings for a cube of `nb` bands: the same ranges
// as the control file's (nb 3..200), with messages naming the member in
// lower case ("nfunc = 7 is outside the allowed range 0..6"); excluded bands
// must lie in 1..nb and number at most nb.
Status check_settings(const Settings& settings, int32_t nb);

// The checks reconstruct makes of settings for series of `nb` steps: those
// of check_settings, with their messages, except that nb may be any number
// from 3 (beyond 200 the excluded bands too lie in 1..nb and number at most
// nb). What reconstruct checks besides (the engine, the memory, the data)
// is not checked here.
Status check_reconstruct_settings(const Settings& settings, int32_t nb);

// An in-memory cube, laid out as data.bsq: band-sequential, value of band b,
// line l, sample s (all from 0) at data[(b * nl + l) * ns + s]. Owned by the
// caller; only read.
struct Cube {
  const int16_t* data = nullptr;  // nb * nl * ns values 0..32767
  const uint8_t* mask = nullptr;  // the same layout; required when settings.mask == 1
  CubeSize size;
};

// Buffers for the products, owned by the caller, each in the layout and
// element type of its file (native byte order): planes of nl * ns values.
// A null buffer is not written.
struct Products {
  int16_t* fitted = nullptr;       // nb planes, as f.bsq
  float* params = nullptr;         // parameter_count() planes, as p.bsq
  int16_t* preliminary = nullptr;  // nb planes, as i.bsq; written only when intp == 1
  int8_t* order = nullptr;         // 1 plane, as order.dat
  float* criterion = nullptr;      // 1 plane, as aic.dat
  int16_t* minimum = nullptr;      // 1 plane, as min.dat
  int16_t* maximum = nullptr;      // 1 plane, as max.dat
};

enum class Engine {
  kDefault,  // TSRECON_ENGINE of the environment, else fast
  kFast,     // the fast engine of the final fit
  kLiteral,  // the slow reference engine (same bytes); series of at most 200 steps
};

struct Options {
  // Worker threads; 0: as the executable chooses (TSRECON_THREADS, else
  // OMP_NUM_THREADS, else every core). At most 256.
  int threads = 0;
  Engine engine = Engine::kDefault;
  // Asked on the calling thread between pixels; returning true stops the
  // work (Status kInterrupted with number 2). Empty: never stops.
  std::function<bool()> interrupted;
};

// Reconstructs every pixel of `cube` with `settings` into `products`.
// Series of up to 200 steps give the executable's bytes; longer ones (any
// length from 3) run on the fast engine with storage sized for the series
// and give the products of the literal algorithm with storage that large.
// Requires: the buffers hold the sizes stated above and do not overlap the
// cube. Refuses (before any work) settings that check_reconstruct_settings
// refuses, a missing data or mask buffer, a negative value (naming its band,
// line and sample, from 1), the literal engine for more than 200 steps, and
// working storage (the function matrix and worker_storage_bytes(nb) per
// worker thread) beyond available_memory_bytes(). Besides the caller's
// buffers nothing is allocated per pixel or per line: memory stays within
// that working storage for any cube. After an interrupt the products are
// incomplete.
Status reconstruct(const Settings& settings, const Cube& cube, const Products& products,
                   const Options& options = {});

struct JobOptions {
  // Receives the console text of the run; empty: standard output, or the
  // file named by FORT6, as the executable writes it.
  std::function<void(std::string_view)> console;
  // Asked on the calling thread between pixels; true stops the run
  // (kInterrupted, number 2). Empty: never stops.
  std::function<bool()> interrupted;
};

// What the executable does when started in `directory` (empty: the
// process's current directory, as the executable runs): reads cntl.dat,
// data.bsq (mask.bsq), writes the products there and the console as it does.
// The error line is not written but returned (Status::line).
Status run_job(const std::string& directory, const JobOptions& options = {});

// Writes the status's line as the executable does: to standard error, or
// appended to the file named by FORT0. Nothing for an ok status.
void write_error_line(const Status& status);

// Bytes a new allocation can get without pushing the machine into the
// out-of-memory killer (available memory and free swap, within the control
// group's limit), as the executable reads it before allocating its line
// buffers; UINT64_MAX when the machine does not say. For callers that
// allocate the products and want to refuse sizes up front.
uint64_t available_memory_bytes();

// Bytes of working storage reconstruct takes per worker thread for series
// of `nb` steps with the fast engine (about 0.7 MB up to 200 steps and 2.9
// MB at 1000; it grows linearly with nb), besides the function matrix of
// 400 bytes per step that the workers share; UINT64_MAX when the count does
// not fit 64 bits.
uint64_t worker_storage_bytes(int32_t nb);

}  // namespace tsrecon
