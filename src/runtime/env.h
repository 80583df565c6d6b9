// The one seam between the program and the operating system.
//
// An Env is built once by an entry point (the executable, a companion tool,
// an embedding) and handed by reference to everything that needs the
// outside world: files and directories (relative names are taken in the
// working directory), the console and error streams, environment variables,
// interrupts, the clock, the machine's cores, memory and disk. Tests hand in
// a fake (tests/support/fake_env.h) that keeps files in memory and can
// inject failures; an EnvWrapper changes a few calls of another Env.
//
// Calls report a failure by its errno (0 for success); what a failure means
// for the program is decided above the Env.
//
// The rules of the program's own files (FORT_CONVERT, open-or-create, the
// read-only fallback, error numbers) are not here but in files.h, on top of
// these primitives, so that they hold for every Env alike.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsr {

// Outcome of a positioned transfer: the bytes actually moved and, when the
// transfer stopped early because of a failure, its errno (0 otherwise; a read
// that stops early with error 0 reached the end of the file).
struct Transfer {
  size_t bytes = 0;
  int error = 0;
};

// An open file. Closed when destroyed. Transfers may run on any one thread at
// a time (the program moves all data on the thread that runs the job, also
// while its worker threads reconstruct pixels).
class File {
 public:
  virtual ~File() = default;
  // Reads up to `size` bytes at `offset`, stopping early only at the end of
  // the file or on a failure; interrupted calls are resumed.
  virtual Transfer read_at(int64_t offset, void* buffer, size_t size) = 0;
  // Writes `size` bytes at `offset`, continuing after short writes until
  // everything is written or a call fails.
  virtual Transfer write_at(int64_t offset, const void* buffer, size_t size) = 0;
  // True when the name opened is a directory.
  virtual bool is_directory() = 0;
  // The file's size in bytes, or -1 when it cannot be told.
  virtual int64_t size() = 0;
  // Closes the file now; returns 0, or the errno of a failed close (the last
  // chance to see a failed write on some file systems). Closing twice does
  // nothing the second time.
  virtual int close() = 0;
};

enum class OpenMode {
  kReadWriteCreate,  // read and write; created empty when missing; never truncated
  kReadOnly,         // read only; never created
  kWriteTruncate,    // write only; created when missing, emptied when present
};

struct OpenResult {
  std::unique_ptr<File> file;  // null when the open failed
  int error = 0;               // errno of a failed open
};

// What a name of the file system stands for.
enum class FileType { kRegular, kDirectory, kOther };

struct FileInfo {
  FileType type = FileType::kOther;
  int64_t size = 0;  // bytes of a regular file
};

class Env {
 public:
  virtual ~Env() = default;

  // The working directory as messages show it: an absolute path without a
  // trailing separator (empty when it cannot be told).
  virtual std::string working_directory() = 0;
  // Opens `name`, relative to the working directory unless absolute.
  virtual OpenResult open(const std::string& name, OpenMode mode) = 0;

  // What `name` is, following symbolic links: 0 with `info` filled, or the
  // errno (ENOENT when nothing has that name).
  virtual int file_info(const std::string& name, FileInfo* info) = 0;
  // Creates the directory `name`, whose parent must exist; EEXIST when the
  // name is taken.
  virtual int create_directory(const std::string& name) = 0;
  // Gives the file `from` the name `to`, replacing a file of that name.
  virtual int rename_file(const std::string& from, const std::string& to) = 0;
  // Removes the name `name` of a file or a symbolic link; EISDIR for a
  // directory.
  virtual int remove_file(const std::string& name) = 0;
  // Removes the empty directory `name`.
  virtual int remove_directory(const std::string& name) = 0;
  // The names in the directory `name`, without "." and "..", in no
  // particular order.
  virtual int list_directory(const std::string& name, std::vector<std::string>* names) = 0;

  // The value of an environment variable, or nothing when it is unset.
  virtual std::optional<std::string> variable(const std::string& name) = 0;

  // Console (unit 6): standard output, or the file named by FORT6. Each text
  // is visible once the call returns.
  virtual void write_console(std::string_view text) = 0;
  // One line (a line feed is appended) to standard error, or appended to the
  // file named by FORT0.
  virtual void write_error(std::string_view line) = 0;

  // The signal of an interrupt that has arrived, or 0. Called on the thread
  // that runs the job, between pixels and while it waits for them.
  virtual int pending_interrupt() = 0;

  // Seconds on a monotonic clock.
  virtual double now_seconds() = 0;
  // Processors this process may run on (at least 1).
  virtual int available_cores() = 0;
  // Memory a new allocation can get (UINT64_MAX when the machine does not say).
  virtual uint64_t available_memory_bytes() = 0;
  // Bytes this process may still write on the file system of the working
  // directory (UINT64_MAX when the system does not say).
  virtual uint64_t available_disk_bytes() = 0;
};

// An Env that hands every call to another (its target, which must outlive
// it): derive from it and override the calls that differ.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  std::string working_directory() override { return target_->working_directory(); }
  OpenResult open(const std::string& name, OpenMode mode) override { return target_->open(name, mode); }
  int file_info(const std::string& name, FileInfo* info) override { return target_->file_info(name, info); }
  int create_directory(const std::string& name) override { return target_->create_directory(name); }
  int rename_file(const std::string& from, const std::string& to) override { return target_->rename_file(from, to); }
  int remove_file(const std::string& name) override { return target_->remove_file(name); }
  int remove_directory(const std::string& name) override { return target_->remove_directory(name); }
  int list_directory(const std::string& name, std::vector<std::string>* names) override {
    return target_->list_directory(name, names);
  }
  std::optional<std::string> variable(const std::string& name) override { return target_->variable(name); }
  void write_console(std::string_view text) override { target_->write_console(text); }
  void write_error(std::string_view line) override { target_->write_error(line); }
  int pending_interrupt() override { return target_->pending_interrupt(); }
  double now_seconds() override { return target_->now_seconds(); }
  int available_cores() override { return target_->available_cores(); }
  uint64_t available_memory_bytes() override { return target_->available_memory_bytes(); }
  uint64_t available_disk_bytes() override { return target_->available_disk_bytes(); }

 private:
  Env* target_;
};

// Helpers on top of any Env.
//
// Creates the directory `name` and every missing directory above it; 0 when
// it exists (as a directory) afterwards.
int create_directories(Env& env, const std::string& name);
// Removes `name` and, when it is a directory, everything below it (symbolic
// links are removed, never followed); 0 when nothing of that name is left.
int remove_tree(Env& env, const std::string& name);
// Writes `bytes` as the whole content of the file `name`, created when
// missing and emptied when present; 0, or the errno of the failed open,
// write or close.
int write_new_file(Env& env, const std::string& name, std::string_view bytes);
// The text of an errno, e.g. "No such file or directory".
std::string error_text(int err);

// Where the operating system's Env works and how it learns of interrupts.
struct PosixEnvOptions {
  // Working directory; empty: the process's current directory (read at each
  // open, as a relative name would be resolved).
  std::string directory;
  // Interrupt source; empty: the signals that start_runtime's handlers record.
  std::function<int()> pending_interrupt;
};

// The operating system. The console and error streams follow FORT6 and FORT0
// of the environment; FORT6's file is opened (truncated) on the first
// console write.
std::unique_ptr<Env> new_posix_env(PosixEnvOptions options = {});

// Settings a process makes once before a run: the floating-point environment
// (round to nearest, no traps) and handlers for SIGINT, SIGQUIT, SIGHUP and
// SIGTERM that record the signal for the Env to report.
void start_runtime();

// The signal recorded by start_runtime's handlers, or 0. Safe from any thread.
int recorded_interrupt();

}  // namespace tsr
