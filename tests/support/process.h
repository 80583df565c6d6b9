// Helpers for tests that run a real executable in a scratch directory.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tsr::testing {

struct ProcessResult {
  std::string out;     // everything written to standard output
  std::string err;     // everything written to standard error
  int status = -1;     // exit status (0..255), or -1 when killed by a signal
  int signal = 0;      // the signal that ended it, or 0
};

struct ProcessOptions {
  std::string cwd;                                         // working directory
  std::vector<std::pair<std::string, std::string>> env;    // added or replaced variables
  std::vector<std::string> unset_env;                      // removed variables
  long file_size_limit = -1;   // RLIMIT_FSIZE in bytes for the child (SIGXFSZ ignored); -1: none
  double interrupt_after = -1; // seconds after start to send SIGINT; -1: never
  int interrupt_signal = 2;
  // When non-empty, the interrupt is sent as soon as this text appears on standard output
  // (after interrupt_after seconds have passed, when that is set too).
  std::string interrupt_when_output_contains;
};

// Options that run a program in `dir` and change nothing else.
inline ProcessOptions in_directory(const std::string& dir) {
  ProcessOptions o;
  o.cwd = dir;
  return o;
}

// Runs `argv` (argv[0] is the program path) and waits for it to end.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options);

// Path of the built tsrecon executable (from TSRECON_BIN, or build/tsrecon).
std::string tsrecon_path();
// Path of a companion program built beside tsrecon.
std::string tool_path(const std::string& name);

// Writes a generated job (cntl.dat, data.bsq, mask.bsq with --mask 1) into
// `dir` with tsrecon-gen and its options `args`.
ProcessResult generate_job(const std::string& dir, const std::vector<std::string>& args);

// A fresh directory below the system's temporary directory, removed on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;   // whole file; empty when missing
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace tsr::testing
