// The end of a Windows session (log-off, shut-down) as a console control
// event.
//
// A process that loads user32 or gdi32, as this program does for screen
// capture, counts as a GUI application: when the session ends Windows sends
// it no CTRL_LOGOFF_EVENT or CTRL_SHUTDOWN_EVENT, but WM_QUERYENDSESSION and
// WM_ENDSESSION, and those only to top-level windows. Without a window the
// program would be ended unwarned.
#pragma once

#include <windows.h>

// Gives the process a hidden top-level window, served by a thread of its
// own, that passes the end of the session on to `handler`: with
// CTRL_LOGOFF_EVENT or CTRL_SHUTDOWN_EVENT, on that thread, while Windows
// waits for WM_ENDSESSION to be answered (it ends the process soon after).
// Returns false when the window cannot be made. Call once; main thread.
bool WatchSessionEnd(PHANDLER_ROUTINE handler);
