// Requests from outside to stop the program, as Windows makes them, and
// what it expects of a program that takes them. One file for every
// platform: it is written over the console control operations, which
// Windows, the Linux kernel layer and the test fake each provide.
//
// What Windows asks for:
// - A program started with Ctrl-C ignored (by `start /b`, or by a parent
//   that ignored it) inherits the ignore, and a handler alone does not undo
//   it; it must be cleared first.
// - A program that loads user32 or gdi32 hears of the end of the session
//   only through a window (platform/win32/session_end.h).
// - About five seconds after a close, log-off or shut-down event Windows
//   ends the process, and it does so at once when the handler returns. The
//   handler therefore holds the process until the run has torn down, for a
//   little less than those five seconds.
// On Linux the clearing and the session watcher do nothing (signals carry
// every request), and the hold is the same.
#include <atomic>

#include "platform/platform.h"

namespace {

constexpr DWORD kTeardownWaitMs = 4500;

// Written by CatchStopRequests (main thread) before the handler is
// installed; read by the handler on the platform's console handler thread.
std::atomic<PHANDLER_ROUTINE> g_on_stop{nullptr};
std::atomic<void (*)(DWORD milliseconds)> g_wait_for_teardown{nullptr};

bool EndsTheProcess(DWORD event) {
  return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

BOOL WINAPI OnStopRequest(DWORD event) {
  BOOL handled = g_on_stop.load()(event);
  if (EndsTheProcess(event)) g_wait_for_teardown.load()(kTeardownWaitMs);
  return handled;
}

}  // namespace

void CatchStopRequests(PHANDLER_ROUTINE on_stop, void (*wait_for_teardown)(DWORD milliseconds)) {
  g_on_stop = on_stop;
  g_wait_for_teardown = wait_for_teardown;
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnStopRequest, TRUE);
  WatchSessionEnd(OnStopRequest);
}
