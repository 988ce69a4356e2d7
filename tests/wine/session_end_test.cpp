// Waits for the end of the Wine session (wineboot --end-session) through
// WatchSessionEnd and reports what reached the handler:
//   "ready" once watching, then "event N" when the handler is called and
//   "handled" when it returns after a teardown of half a second.
// Exits 1 when the watcher cannot start or nothing comes within 30 seconds.
#include <windows.h>

#include <cstdio>

#include "platform/win32/session_end.h"

namespace {

BOOL WINAPI OnSessionEnd(DWORD event) {
  std::printf("event %lu\n", static_cast<unsigned long>(event));
  std::fflush(stdout);
  Sleep(500);  // a teardown that takes a while; Windows waits for it
  std::printf("handled\n");
  std::fflush(stdout);
  return TRUE;
}

}  // namespace

int main() {
  if (!WatchSessionEnd(OnSessionEnd)) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  Sleep(30000);
  return 1;
}
