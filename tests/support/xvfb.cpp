#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace testsupport {
namespace {

long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Waits up to `timeout_ms` for the child to end; true when it was reaped.
bool reap_within(pid_t pid, long timeout_ms) {
  const long deadline = now_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (now_ms() >= deadline) return false;
    timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

XvfbServer::XvfbServer(const XvfbOptions& options) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  const int read_fd = fds[0];
  const int write_fd = fds[1];
  // In the child the write end becomes fd 3, without close-on-exec.
  constexpr int kChildFd = 3;

  std::vector<std::string> args = {
      "Xvfb", "-displayfd", std::to_string(kChildFd), "-screen", "0",
      std::to_string(options.width) + "x" + std::to_string(options.height) + "x" +
          std::to_string(options.depth),
      "-nolisten", "tcp", "-noreset"};
  if (options.randr) {
    args.push_back("+extension");
    args.push_back("RANDR");
  }
  if (!options.shm) {
    args.push_back("-extension");
    args.push_back("MIT-SHM");
  }
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    close(read_fd);
    close(write_fd);
    return;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here on. The server goes when the
    // thread that started it goes, so a test that crashes or is killed
    // leaves no server behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    if (write_fd == kChildFd) {
      fcntl(kChildFd, F_SETFD, 0);
    } else {
      dup2(write_fd, kChildFd);  // the copy has no close-on-exec
    }
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  pid_ = pid;
  close(write_fd);

  // The server writes "N\n" once it accepts connections; EOF means it died.
  std::string text;
  const long deadline = now_ms() + options.start_timeout_ms;
  while (text.find('\n') == std::string::npos) {
    const long left = deadline - now_ms();
    if (left <= 0) {
      error_ = "Xvfb did not report a display in time";
      break;
    }
    pollfd pfd{read_fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[32];
    ssize_t n = read(read_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = "Xvfb exited before reporting a display (is it installed?)";
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(read_fd);
  if (text.find('\n') == std::string::npos) {
    stop(SIGKILL);
    return;
  }
  display_ = ":" + text.substr(0, text.find('\n'));
  ok_ = true;
}

XvfbServer::~XvfbServer() { stop(SIGTERM); }

// A killed server cannot remove its socket and lock file; the next server
// on that number would, but until then they are left in /tmp.
void XvfbServer::kill_now() {
  stop(SIGKILL);
  if (display_.size() < 2) return;
  const std::string number = display_.substr(1);
  std::remove(("/tmp/.X11-unix/X" + number).c_str());
  std::remove(("/tmp/.X" + number + "-lock").c_str());
}

void XvfbServer::stop(int first_signal) {
  if (pid_ <= 0) return;
  kill(pid_, first_signal);
  if (!reap_within(pid_, 5000)) {
    kill(pid_, SIGKILL);
    reap_within(pid_, 5000);
  }
  pid_ = -1;
}

}  // namespace testsupport
