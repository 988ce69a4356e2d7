// A private X server for tests: Xvfb on a display number it picks itself
// (-displayfd), stopped again by the destructor.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

struct XvfbOptions {
  int width = 1366;
  int height = 768;
  int depth = 24;
  bool shm = true;                      // false: -extension MIT-SHM
  bool randr = true;                    // +extension RANDR
  std::vector<std::string> extra_args;  // appended to the command line
  int start_timeout_ms = 30000;
};

// Starts `Xvfb -displayfd <fd> -screen 0 WxHxD -nolisten tcp -noreset
// [+extension RANDR] [-extension MIT-SHM] ...` and waits until it has told
// its display number, which it does once it accepts clients. -noreset keeps
// the server's state (monitors, cursor) when its last client leaves. The
// server is also ended when the thread that made the XvfbServer exits (or
// the process dies), so make it on a thread that outlives its use.
class XvfbServer {
 public:
  explicit XvfbServer(const XvfbOptions& options = {});
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool ok() const { return ok_; }                            // the server answered
  const std::string& display() const { return display_; }    // ":N"
  const std::string& error() const { return error_; }        // why it did not start
  pid_t pid() const { return pid_; }

  // Ends the server at once with SIGKILL and reaps it: the display dies
  // under its clients, as when an X session crashes.
  void kill_now();

 private:
  void stop(int first_signal);

  pid_t pid_ = -1;
  bool ok_ = false;
  std::string display_;
  std::string error_;
};

}  // namespace testsupport
