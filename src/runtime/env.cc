#include "runtime/env.h"

#include <dirent.h>
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
#include <cstring>
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
    return transfer(size, [&](size_t done) {
      return ::pread(fd_, static_cast<unsigned char*>(buffer) + done, size - done,
                     static_cast<off_t>(offset + static_cast<int64_t>(done)));
    }, /*zero_is_end=*/true);
  }

  Transfer write_at(int64_t offset, const void* buffer, size_t size) override {
    return transfer(size, [&](size_t done) {
      return ::pwrite(fd_, static_cast<const unsigned char*>(buffer) + done, size - done,
                      static_cast<off_t>(offset + static_cast<int64_t>(done)));
    }, /*zero_is_end=*/false);
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
  // Moves `size` bytes with call(bytes done so far), resuming interrupted
  // and short calls. A call that moves nothing ends the transfer: at the end
  // of the file for a read; for a write, which cannot progress, as EIO.
  template <typename Call>
  static Transfer transfer(size_t size, Call&& call, bool zero_is_end) {
    Transfer result;
    while (result.bytes < size) {
      const ssize_t n = call(result.bytes);
      if (n < 0) {
        if (errno == EINTR) continue;
        result.error = errno;
        break;
      }
      if (n == 0) {
        if (!zero_is_end) result.error = EIO;
        break;
      }
      result.bytes += static_cast<size_t>(n);
    }
    return result;
  }

  int fd_;
};

// errno of a call that returned `r` (0 or -1).
int errno_of(int r) { return r == 0 ? 0 : errno; }

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
    const std::string path = path_of(name);
    int flags = O_RDONLY | O_CLOEXEC;
    if (mode == OpenMode::kReadWriteCreate) flags = O_RDWR | O_CREAT | O_CLOEXEC;
    if (mode == OpenMode::kWriteTruncate) flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
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

  int file_info(const std::string& name, FileInfo* info) override {
    struct stat st {};
    if (::stat(path_of(name).c_str(), &st) != 0) return errno;
    info->type = S_ISREG(st.st_mode) ? FileType::kRegular : S_ISDIR(st.st_mode) ? FileType::kDirectory : FileType::kOther;
    info->size = static_cast<int64_t>(st.st_size);
    return 0;
  }

  int create_directory(const std::string& name) override { return errno_of(::mkdir(path_of(name).c_str(), 0777)); }

  int rename_file(const std::string& from, const std::string& to) override {
    return errno_of(::rename(path_of(from).c_str(), path_of(to).c_str()));
  }

  int remove_file(const std::string& name) override { return errno_of(::unlink(path_of(name).c_str())); }

  int remove_directory(const std::string& name) override { return errno_of(::rmdir(path_of(name).c_str())); }

  int list_directory(const std::string& name, std::vector<std::string>* names) override {
    DIR* dir = ::opendir(path_of(name).c_str());
    if (dir == nullptr) return errno;
    names->clear();
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view n = entry->d_name;
      if (n != "." && n != "..") names->emplace_back(n);
    }
    const int err = errno;
    ::closedir(dir);
    return err;
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
  // A name as the system resolves it: in the Env's directory unless absolute.
  std::string path_of(const std::string& name) const {
    return (options_.directory.empty() || (!name.empty() && name.front() == '/')) ? name : directory_ + "/" + name;
  }

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

int create_directories(Env& env, const std::string& name) {
  FileInfo info;
  if (env.file_info(name, &info) == 0) return info.type == FileType::kDirectory ? 0 : EEXIST;
  // The parent first: the name up to its last separator (trailing ones aside).
  const size_t end = name.find_last_not_of('/');
  const size_t slash = end == std::string::npos ? std::string::npos : name.rfind('/', end);
  if (slash != std::string::npos && slash > 0) {
    if (const int err = create_directories(env, name.substr(0, slash)); err != 0) return err;
  }
  const int err = env.create_directory(name);
  // Made meanwhile by someone else: as good.
  if (err == EEXIST && env.file_info(name, &info) == 0 && info.type == FileType::kDirectory) return 0;
  return err;
}

int remove_tree(Env& env, const std::string& name) {
  int err = env.remove_file(name);
  if (err == 0 || err == ENOENT) return 0;
  if (err != EISDIR) return err;
  std::vector<std::string> names;
  if ((err = env.list_directory(name, &names)) != 0) return err;
  for (const std::string& n : names) {
    if ((err = remove_tree(env, name + "/" + n)) != 0) return err;
  }
  err = env.remove_directory(name);
  return err == ENOENT ? 0 : err;
}

int write_new_file(Env& env, const std::string& name, std::string_view bytes) {
  OpenResult opened = env.open(name, OpenMode::kWriteTruncate);
  if (opened.file == nullptr) return opened.error;
  const Transfer put = opened.file->write_at(0, bytes.data(), bytes.size());
  const int closed = opened.file->close();
  if (put.bytes < bytes.size()) return put.error != 0 ? put.error : EIO;
  return closed;
}

std::string error_text(int err) { return std::strerror(err); }

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
