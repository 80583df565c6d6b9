#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tsr::testing {
namespace {

double now_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(125);
    for (const auto& name : options.unset_env) unsetenv(name.c_str());
    for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
    if (options.file_size_limit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit lim{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  ProcessResult result;
  const double start = now_seconds();
  bool interrupted = false;
  bool out_open = true;
  bool err_open = true;
  char buf[65536];
  while (out_open || err_open) {
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    poll(fds, 2, 20);
    if (out_open && (fds[0].revents & (POLLIN | POLLHUP))) {
      ssize_t n = read(out_pipe[0], buf, sizeof buf);
      if (n > 0) result.out.append(buf, static_cast<size_t>(n));
      else out_open = false;
    }
    if (err_open && (fds[1].revents & (POLLIN | POLLHUP))) {
      ssize_t n = read(err_pipe[0], buf, sizeof buf);
      if (n > 0) result.err.append(buf, static_cast<size_t>(n));
      else err_open = false;
    }
    if (!interrupted && (options.interrupt_after >= 0 || !options.interrupt_when_output_contains.empty())) {
      bool time_ok = options.interrupt_after < 0 || now_seconds() - start >= options.interrupt_after;
      bool text_ok = options.interrupt_when_output_contains.empty() ||
                     result.out.find(options.interrupt_when_output_contains) != std::string::npos;
      if (time_ok && text_ok) {
        kill(pid, options.interrupt_signal);
        interrupted = true;
      }
    }
  }
  close(out_pipe[0]);
  close(err_pipe[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  return result;
}

std::string tsrecon_path() {
  const char* bin = std::getenv("TSRECON_BIN");
  if (bin != nullptr && *bin != '\0') return bin;
  return std::filesystem::absolute("build/tsrecon").string();
}

std::string tool_path(const std::string& name) {
  return (std::filesystem::path(tsrecon_path()).parent_path() / name).string();
}

ProcessResult generate_job(const std::string& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {tool_path("tsrecon-gen"), "--dir", dir};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, {});
}

ScratchDir::ScratchDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "tsrecon-test-XXXXXX").string();
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Make everything removable again (tests take write permission away).
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    chmod(it->path().c_str(), 0755);
  }
  chmod(path_.c_str(), 0755);
  std::filesystem::remove_all(path_, ec);
}

void ScratchDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream f(file(name), std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + file(name));
}

std::string ScratchDir::read(const std::string& name) const {
  std::ifstream f(file(name), std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool ScratchDir::exists(const std::string& name) const {
  struct stat st{};
  return ::stat(file(name).c_str(), &st) == 0;
}

}  // namespace tsr::testing
