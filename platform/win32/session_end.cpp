#include "platform/win32/session_end.h"

namespace {

constexpr char kWindowClass[] = "slotrec_session_end";

// Written once by WatchSessionEnd before the watcher thread starts; read on
// that thread.
PHANDLER_ROUTINE g_handler = nullptr;

LRESULT CALLBACK SessionWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;  // the recording does not stand in the way
    case WM_ENDSESSION:
      // wparam false: the end was called off. Otherwise this is the last
      // moment to tear down; the handler returns once that is done.
      if (wparam != FALSE && g_handler != nullptr) {
        g_handler((lparam & ENDSESSION_LOGOFF) != 0 ? CTRL_LOGOFF_EVENT : CTRL_SHUTDOWN_EVENT);
      }
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

struct WatcherStart {
  HANDLE ready;     // set once the window exists, or failed to
  bool made;
};

// The watcher thread: makes the window, reports, then serves it for the
// rest of the process.
DWORD WINAPI WatchSessionThread(void* parameter) {
  auto* start = static_cast<WatcherStart*>(parameter);
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = SessionWindowProc;
  window_class.hInstance = instance;
  window_class.lpszClassName = kWindowClass;
  // Top-level and never shown: message-only windows get no session
  // messages.
  HWND window = nullptr;
  if (RegisterClassA(&window_class) != 0) {
    window = CreateWindowExA(0, kWindowClass, "slotrec", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             instance, nullptr);
  }
  start->made = window != nullptr;
  SetEvent(start->ready);  // `start` belongs to the caller from here on
  if (window == nullptr) return 1;

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return 0;
}

}  // namespace

bool WatchSessionEnd(PHANDLER_ROUTINE handler) {
  g_handler = handler;
  WatcherStart start{CreateEventA(nullptr, TRUE, FALSE, nullptr), false};
  if (start.ready == nullptr) return false;
  HANDLE thread = CreateThread(nullptr, 0, WatchSessionThread, &start, 0, nullptr);
  if (thread != nullptr) {
    WaitForSingleObject(start.ready, INFINITE);
    CloseHandle(thread);
  }
  CloseHandle(start.ready);
  return thread != nullptr && start.made;
}
