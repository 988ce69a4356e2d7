// Child processes for tests: fork and exec with pipes, a poll loop that
// collects both outputs, and the optional signal and time limit.
#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Closes a descriptor once, on every way out.
struct Fd {
  int fd = -1;
  Fd() = default;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

bool MakePipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end.fd = fds[0];
  write_end.fd = fds[1];
  return true;
}

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The caller's environment with the requested changes applied.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    bool replaced = false;
    for (const std::string& change : changes) replaced |= NameOf(change) == NameOf(*e);
    if (!replaced) result.emplace_back(*e);
  }
  for (const std::string& change : changes) {
    if (change.find('=') != std::string::npos) result.push_back(change);
  }
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void ExecChild(const char* program, char* const* argv, char* const* envp,
                            const char* directory, int out_fd, int err_fd, int status_fd,
                            const ChildCommand& command) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int signo : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE, SIGXFSZ}) {
    sigaction(signo, &defaults, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (int signo : command.ignored_signals) sigaction(signo, &ignore, nullptr);
  int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 ||
      (directory[0] != '\0' && chdir(directory) != 0)) {
    int error = errno;
    (void)!write(status_fd, &error, sizeof error);
    _exit(127);
  }
  for (int fd : command.closed_descriptors) close(fd);
  if (command.file_size_limit >= 0) {
    rlimit limit{static_cast<rlim_t>(command.file_size_limit), static_cast<rlim_t>(command.file_size_limit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (std::strchr(program, '/') != nullptr) {
    execve(program, argv, envp);
  } else {
    execvpe(program, argv, envp);
  }
  int error = errno;
  (void)!write(status_fd, &error, sizeof error);
  _exit(127);
}

// Appends everything that is ready on the (non-blocking) fd to text; closes
// fd at end of file.
void Drain(Fd& fd, std::string& text) {
  char buffer[4096];
  while (fd.fd >= 0) {
    ssize_t n = read(fd.fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      fd.reset();
    } else if (errno != EINTR) {
      return;  // EAGAIN: nothing more for now
    }
  }
}

void Record(int status, ChildResult& result) {
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signaled = true;
    result.term_signal = WTERMSIG(status);
  }
}

}  // namespace

ChildResult RunChild(const ChildCommand& command) {
  ChildResult result;
  std::string program = command.program;
  // A relative path must still name the program after the child changes
  // directory.
  if (program.find('/') != std::string::npos) {
    std::error_code ignored;
    program = std::filesystem::absolute(program, ignored).string();
  }
  std::vector<std::string> argv_texts = command.argv;
  if (argv_texts.empty()) argv_texts.push_back(command.program);
  std::vector<std::string> env_texts = ChildEnvironment(command.environment);
  std::vector<char*> argv = Pointers(argv_texts);
  std::vector<char*> envp = Pointers(env_texts);

  Fd out_read, out_write, err_read, err_write, status_read, status_write;
  if (!MakePipe(out_read, out_write) || !MakePipe(err_read, err_write) ||
      !MakePipe(status_read, status_write)) {
    result.start_error = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    result.start_error = std::string("fork: ") + std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    ExecChild(program.c_str(), argv.data(), envp.data(), command.working_directory.c_str(),
              out_write.fd, err_write.fd, status_write.fd, command);
  }
  out_write.reset();
  err_write.reset();
  status_write.reset();
  fcntl(out_read.fd, F_SETFL, O_NONBLOCK);
  fcntl(err_read.fd, F_SETFL, O_NONBLOCK);

  // The status pipe closes at exec; an errno arrives through it if exec failed.
  int exec_error = 0;
  ssize_t got;
  do {
    got = read(status_read.fd, &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof exec_error)) {
    int status = 0;
    waitpid(pid, &status, 0);
    result.start_error = std::string("exec ") + program + ": " + std::strerror(exec_error);
    return result;
  }
  result.started = true;
  std::thread watcher;
  if (command.while_running) watcher = std::thread(command.while_running, pid);

  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(command.timeout_ms);
  bool signal_pending = false;
  Clock::time_point signal_at{};
  bool reaped = false;
  int status = 0;
  while (!reaped) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    if (signal_pending && now >= signal_at) {
      kill(pid, command.signal_number);  // a zombie not yet reaped ignores it harmlessly
      result.signal_sent = true;
      signal_pending = false;
    }
    // Wake often enough to see the child end after it closed its outputs,
    // and to send the signal on time.
    Clock::time_point wake = std::min(deadline, now + std::chrono::milliseconds(50));
    if (signal_pending) wake = std::min(wake, signal_at);
    int wait_ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count());

    pollfd fds[2];
    nfds_t nfds = 0;
    if (out_read.fd >= 0) fds[nfds++] = {out_read.fd, POLLIN, 0};
    if (err_read.fd >= 0) fds[nfds++] = {err_read.fd, POLLIN, 0};
    if (nfds > 0) {
      if (poll(fds, nfds, wait_ms) > 0) {
        Drain(out_read, result.out);
        Drain(err_read, result.err);
      }
    } else {
      usleep(static_cast<useconds_t>(std::min(wait_ms, 5)) * 1000u);  // waiting for the exit only
    }
    if (!command.signal_when_stdout_has.empty() && !result.signal_sent && !signal_pending &&
        result.out.find(command.signal_when_stdout_has) != std::string::npos) {
      signal_pending = true;
      signal_at = Clock::now() + std::chrono::milliseconds(command.signal_grace_ms);
    }
    if (waitpid(pid, &status, WNOHANG) == pid) reaped = true;
  }
  if (!reaped) waitpid(pid, &status, 0);
  if (watcher.joinable()) watcher.join();
  // Whatever the child wrote last may still be in the pipes.
  Drain(out_read, result.out);
  Drain(err_read, result.err);
  Record(status, result);
  return result;
}

std::string MakeTempDirectory(const std::string& prefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) return std::string();
  return pattern;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}
