#include "runtime/errors.h"

#include <fcntl.h>
#include <fenv.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "runtime/console.h"

namespace tsr {
namespace {

struct CatalogueEntry {
  int number;
  std::string_view text;
};

constexpr CatalogueEntry kCatalogue[] = {
    {kErrPermissionDenied, "permission to access file denied, unit %d, file %s"},
    {kErrNamelistSyntax, "syntax error in NAMELIST input, unit %d, file %s"},
    {kErrTooManyValues, "too many values for NAMELIST variable, unit %d, file %s"},
    {kErrInvalidReference, "invalid reference to variable in NAMELIST input, unit %d, file %s"},
    {kErrEndOfFile, "end-of-file during read, unit %d, file %s"},
    {kErrRecordOutOfRange, "record number outside range, unit %d, file %s"},
    {kErrFileNotFound, "file not found, unit %d, file %s"},
    {kErrNonExistentRecord, "attempt to access non-existent record, unit %d, file %s"},
    {kErrWrite, "error during write, unit %d, file %s"},
    {kErrRead, "error during read, unit %d, file %s"},
    {kErrInconsistentOpen, "inconsistent OPEN/CLOSE parameters, unit %d, file %s"},
    {kErrWriteReadOnly, "write to READONLY file, unit %d, file %s"},
    {kErrListSyntax, "list-directed I/O syntax error, unit %d, file %s"},
    {kErrInputConversion, "input conversion error, unit %d, file %s"},
    {kErrInterrupt, "program aborting due to %s event"},
};

std::atomic<int> g_pending_signal{0};

// The registry is touched only by the main thread (files are opened and closed
// there), but a mutex keeps it sound should a worker ever end the run.
std::mutex g_registry_mutex;
std::vector<Closable*>& registry() {
  static std::vector<Closable*> files;
  return files;
}

bool g_stderr_redirected = false;

void redirect_stderr_once() {
  if (g_stderr_redirected) return;
  g_stderr_redirected = true;
  const char* target = std::getenv("FORT0");
  if (target == nullptr || *target == '\0') return;
  int fd = ::open(target, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) return;  // keep the real standard error
  ::dup2(fd, 2);
  ::close(fd);
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

[[noreturn]] void end_process(int status) {
  close_all_files();
  flush_console();
  ::_exit(status);
}

extern "C" void on_interrupt(int signal_number) {
  int expected = 0;
  g_pending_signal.compare_exchange_strong(expected, signal_number);
}

}  // namespace

std::string_view message_text(int number) {
  for (const auto& entry : kCatalogue) {
    if (entry.number == number) return entry.text;
  }
  return {};
}

std::string format_error_line(ErrorCode code, int unit, std::string_view file) {
  const int number = static_cast<int>(code & 0xFFFFu);
  std::string line = ((code >> 30) == 3u) ? "forrtl: severe" : "forrtl: error";
  line += " (" + std::to_string(number) + "): ";
  std::string_view text = message_text(number);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 'd') {
      line += std::to_string(unit);
      ++i;
    } else if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's') {
      line += file;
      ++i;
    } else {
      line += text[i];
    }
  }
  return line;
}

void write_error_line(std::string_view line) {
  redirect_stderr_once();
  std::string full(line);
  full += '\n';
  write_all(2, full);
}

void raise_runtime_error(ErrorCode code, int unit, std::string_view file) {
  flush_console();
  write_error_line(format_error_line(code, unit, file));
  if ((code >> 30) == 3u) end_process(static_cast<int>(code & 0xFFu));
  // A class-2 line carries no effect of its own; only the interrupt writes one,
  // and it ends the process itself.
  end_process(static_cast<int>(code & 0xFFu));
}

void stop_run() { end_process(0); }

void fail_run(std::string_view message) {
  flush_console();
  write_error_line(message);
  end_process(1);
}

void start_runtime() {
  // Round to nearest, every floating-point exception masked: IEEE default
  // results (infinities, NaNs, denormals) are carried on without traps.
  fesetround(FE_TONEAREST);
  fedisableexcept(FE_ALL_EXCEPT);
  feclearexcept(FE_ALL_EXCEPT);

  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaction(sig, &action, nullptr);
}

bool interrupt_pending() { return g_pending_signal.load(std::memory_order_relaxed) != 0; }

std::string_view interrupt_event_name(int signal_number) {
  switch (signal_number) {
    case SIGINT: return "control-C";
    case SIGQUIT: return "control-BREAK";
    case SIGHUP: return "menu-CLOSE";
    default: return "unknown";
  }
}

void honour_interrupt() {
  const int sig = g_pending_signal.load();
  flush_console();
  write_error_line(format_error_line(kClassError | kErrInterrupt, 0, interrupt_event_name(sig)));
  end_process(128 + sig);
}

void register_open_file(Closable* file) {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  registry().push_back(file);
}

void unregister_open_file(Closable* file) {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  auto& files = registry();
  files.erase(std::remove(files.begin(), files.end(), file), files.end());
}

void close_all_files() {
  std::vector<Closable*> files;
  {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    files = registry();
  }
  // Each close unregisters its file; work on a copy.
  for (Closable* f : files) f->close();
}

}  // namespace tsr
