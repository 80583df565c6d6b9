#include "runtime/env.h"

#include <fcntl.h>
#include <fenv.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "runtime/system.h"

namespace tsr {
namespace {

std::atomic<int> g_recorded_signal{0};

extern "C" void on_interrupt(int signal_number) {
  int expected = 0;
  g_recorded_signal.compare_exchange_strong(expected, signal_number);
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Transfer read_at(int64_t offset, void* buffer, size_t size) override {
    Transfer result;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (result.bytes < size) {
      const ssize_t n = ::pread(fd_, bytes + result.bytes, size - result.bytes,
                                static_cast<off_t>(offset + static_cast<int64_t>(result.bytes)));
      if (n < 0) {
        if (errno == EINTR) continue;
        result.error = errno;
        break;
      }
      if (n == 0) break;  // end of file
      result.bytes += static_cast<size_t>(n);
    }
    return result;
  }

  Transfer write_at(int64_t offset, const void* buffer, size_t size) override {
    Transfer result;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (result.bytes < size) {
      const ssize_t n = ::pwrite(fd_, bytes + result.bytes, size - result.bytes,
                                 static_cast<off_t>(offset + static_cast<int64_t>(result.bytes)));
      if (n < 0) {
        if (errno == EINTR) continue;
        result.error = errno;
        break;
      }
      if (n == 0) {  // a write that moves nothing and reports nothing cannot progress
        result.error = EIO;
        break;
      }
      result.bytes += static_cast<size_t>(n);
    }
    return result;
  }

  bool is_directory() override {
    struct stat st {};
    return fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode);
  }

  int64_t size() override {
    struct stat st {};
    return fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  }

  int close() override {
    if (fd_ < 0) return 0;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

std::string current_directory() {
  std::string buffer(4096, '\0');
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.c_str();
    if (errno != ERANGE) return {};  // no working directory to show
    buffer.resize(buffer.size() * 2);
  }
}

class PosixEnv final : public Env {
 public:
  explicit PosixEnv(PosixEnvOptions options) : options_(std::move(options)) {
    if (!options_.directory.empty()) {
      std::string dir = options_.directory;
      if (char* real = ::realpath(dir.c_str(), nullptr)) {
        dir = real;
        std::free(real);
      } else if (dir.front() != '/') {
        dir = current_directory() + "/" + dir;
      }
      while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
      directory_ = dir;
    }
  }

  ~PosixEnv() override {
    if (console_ != nullptr && console_ != stdout) std::fclose(console_);
    else if (console_ == stdout) std::fflush(stdout);
  }

  std::string working_directory() override {
    return options_.directory.empty() ? current_directory() : directory_;
  }

  OpenResult open(const std::string& name, OpenMode mode) override {
    const std::string path = (options_.directory.empty() || (!name.empty() && name.front() == '/'))
                                 ? name
                                 : directory_ + "/" + name;
    const int flags = mode == OpenMode::kReadWriteCreate ? (O_RDWR | O_CREAT | O_CLOEXEC) : (O_RDONLY | O_CLOEXEC);
    int fd;
    do {
      fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    OpenResult result;
    if (fd < 0) {
      result.error = errno;
    } else {
      result.file = std::make_unique<PosixFile>(fd);
    }
    return result;
  }

  std::optional<std::string> variable(const std::string& name) override {
    const char* v = std::getenv(name.c_str());
    if (v == nullptr) return std::nullopt;
    return std::string(v);
  }

  void write_console(std::string_view text) override {
    FILE* stream = console();
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
  }

  void write_error(std::string_view line) override {
    std::string full(line);
    full += '\n';
    const auto target = variable("FORT0");
    if (target && !target->empty()) {
      const int fd = ::open(target->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0) {
        write_all(fd, full);
        ::close(fd);
        return;
      }
    }
    write_all(2, full);
  }

  int pending_interrupt() override {
    return options_.pending_interrupt ? options_.pending_interrupt() : recorded_interrupt();
  }

  double now_seconds() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }

  int available_cores() override {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
  }

  uint64_t available_memory_bytes() override { return read_available_memory(); }

  uint64_t available_disk_bytes() override {
    struct statvfs fs {};
    const std::string dir = working_directory();
    if (dir.empty() || ::statvfs(dir.c_str(), &fs) != 0) return UINT64_MAX;
    return static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
  }

 private:
  // The console is opened on its first write: standard output, or the file
  // that FORT6 names.
  FILE* console() {
    if (console_ == nullptr) {
      console_ = stdout;
      const auto target = variable("FORT6");
      if (target && !target->empty()) {
        if (FILE* f = std::fopen(target->c_str(), "w")) console_ = f;
      }
    }
    return console_;
  }

  PosixEnvOptions options_;
  std::string directory_;
  FILE* console_ = nullptr;
};

}  // namespace

std::unique_ptr<Env> new_posix_env(PosixEnvOptions options) { return std::make_unique<PosixEnv>(std::move(options)); }

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

int recorded_interrupt() { return g_recorded_signal.load(std::memory_order_relaxed); }

}  // namespace tsr
