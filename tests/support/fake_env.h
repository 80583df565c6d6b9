// An Env for tests: files and directories in memory, captured console and
// error streams, a settable environment, a manual clock, and failures on
// demand (refused opens, read-only files, full disks, failing or cut-short
// reads, failing closes and file-system calls, interrupts).
//
// Names are taken relative to the working directory; a name under it given
// in full ("/job/a") is the same name. A directory exists when it was made
// (make_directory, create_directory) or when a name below it exists. Open
// files hold on to their bytes like the system's do: a file removed or
// renamed while open keeps them.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "runtime/env.h"
#include "runtime/status.h"

namespace tsr {
// Statuses in test failures read as their lines.
inline void PrintTo(const Status& s, std::ostream* os) { *os << (s.is_ok() ? std::string("ok") : s.message()); }
}  // namespace tsr

namespace tsr::testing {

class FakeEnv final : public Env {
 public:
  // The calls of the file system that can be made to fail.
  enum class Call { kFileInfo, kCreateDirectory, kRename, kRemove, kList, kClose };

  // `directory` is the working directory messages show.
  explicit FakeEnv(std::string directory = "/job") : directory_(std::move(directory)) {}

  // Files: name (relative to the working directory) to bytes.
  void put(const std::string& name, std::string bytes);
  bool exists(const std::string& name) const;
  std::string contents(const std::string& name) const;
  // A directory of that name.
  void make_directory(const std::string& name);
  // The names of the files (not directories) below the working directory, sorted.
  std::vector<std::string> files() const;

  // Failures. Opening `name` for writing fails with `err` (EACCES: the file
  // opens read-only instead; ENOENT: as in a missing directory).
  void refuse_writing(const std::string& name, int err = EACCES) { faults_of(name).refuse_write = err; }
  // Every open of `name` fails with `err`.
  void refuse_opening(const std::string& name, int err) { faults_of(name).refuse_open = err; }
  // Writes into `name` stop with `err` once the file would pass `limit` bytes
  // (the bytes below the limit are written): a full disk, a size limit.
  void limit_size(const std::string& name, size_t limit, int err = ENOSPC) {
    auto& s = faults_of(name);
    s.size_limit = limit;
    s.size_error = err;
  }
  // Reads of `name` deliver at most the bytes before `offset`, then fail
  // with `err` (a failing disk).
  void fail_reads_from(const std::string& name, size_t offset, int err = EIO) {
    auto& s = faults_of(name);
    s.read_fail_offset = offset;
    s.read_error = err;
  }
  // `call` on `name` fails with `err` (for a rename, `name` is the old name;
  // for kClose, closing a file opened under `name`).
  void fail_call(Call call, const std::string& name, int err) { faults_of(name).calls[call] = err; }

  // Environment variables.
  void set(const std::string& name, std::string value) { variables_[name] = std::move(value); }
  void unset(const std::string& name) { variables_.erase(name); }

  // What was written to the console and to the error stream.
  const std::string& console() const { return console_; }
  const std::string& errors() const { return errors_; }

  // An interrupt by `signal` that arrives once the console holds `text`
  // (at once when `text` is empty).
  void interrupt_when_console_holds(std::string text, int signal = 2) {
    interrupt_text_ = std::move(text);
    interrupt_signal_ = signal;
  }

  void set_cores(int n) { cores_ = n; }
  void set_memory(uint64_t bytes) { memory_ = bytes; }
  void set_disk(uint64_t bytes) { disk_ = bytes; }
  void advance_clock(double seconds) { clock_ += seconds; }

  // Env.
  std::string working_directory() override { return directory_; }
  OpenResult open(const std::string& name, OpenMode mode) override;
  int file_info(const std::string& name, FileInfo* info) override;
  int create_directory(const std::string& name) override;
  int rename_file(const std::string& from, const std::string& to) override;
  int remove_file(const std::string& name) override;
  int remove_directory(const std::string& name) override;
  int list_directory(const std::string& name, std::vector<std::string>* names) override;
  std::optional<std::string> variable(const std::string& name) override;
  void write_console(std::string_view text) override { console_.append(text); }
  void write_error(std::string_view line) override {
    errors_.append(line);
    errors_ += '\n';
  }
  int pending_interrupt() override;
  double now_seconds() override { return clock_; }
  int available_cores() override { return cores_; }
  uint64_t available_memory_bytes() override { return memory_; }
  uint64_t available_disk_bytes() override { return disk_; }

  // A file's or a directory's content; shared with the files open on it.
  struct Node {
    std::string bytes;
    bool directory = false;
  };

 private:
  struct Faults {
    int refuse_write = 0;
    int refuse_open = 0;
    size_t size_limit = SIZE_MAX;
    int size_error = ENOSPC;
    size_t read_fail_offset = SIZE_MAX;
    int read_error = EIO;
    std::map<Call, int> calls;
  };

  std::string key(const std::string& name) const;
  Faults& faults_of(const std::string& name) { return faults_[key(name)]; }
  // The errno `call` on key `k` is made to fail with, or 0.
  int injected(Call call, const std::string& k) const;
  // True when key `k` names a directory (made, implied by a name below it,
  // or the working directory itself).
  bool is_directory(const std::string& k) const;
  bool has_children(const std::string& k) const;

  std::string directory_;
  std::map<std::string, std::shared_ptr<Node>> nodes_;
  std::map<std::string, Faults> faults_;  // failures, also for files not yet created
  std::map<std::string, std::string> variables_;
  std::string console_, errors_;
  std::optional<std::string> interrupt_text_;
  int interrupt_signal_ = 0;
  int cores_ = 1;
  uint64_t memory_ = UINT64_MAX;
  uint64_t disk_ = UINT64_MAX;
  double clock_ = 0.0;
};

}  // namespace tsr::testing
