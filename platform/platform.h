// The one header through which portable code reaches the platform.
//
// On Windows the operations are the system's own. On Linux each library of
// platform/linux/ declares the ones it implements, with the same names,
// values and layouts, over the base types of common/win32_types.h (the test
// fake implements them all, and is linked instead).
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
#include <objbase.h>
#include <vfw.h>

#include "platform/win32/session_end.h"
#else
#include "platform/linux/kernel/kernel_api.h"
#include "platform/linux/screen/gdi_api.h"
#include "platform/linux/video/registry_api.h"
#include "platform/linux/video/vfw_api.h"
#endif

// slotrec's own services beside the system's operations; each platform
// implements them, and so does the test fake.

// AVI files that this process released but could not complete on disk, each
// named on standard error when it happened. Windows' own AVIFile library
// reports no such failure, so there it is always 0. Any thread.
DWORD IncompleteAviFiles();

// Holds `directory` for this process until ReleaseDirectoryHold, so that no
// other process can hold it meanwhile. Returns null when another process
// holds it already, or when it cannot be opened. Any thread.
HANDLE HoldDirectory(LPCSTR directory);
void ReleaseDirectoryHold(HANDLE hold);

// What the screen is about to be opened for: the cursor painted into the
// frames, the whole desktop rather than the primary screen. Windows reads
// its screen as it is and ignores this; a Wayland desktop is asked for
// these when the screen is first opened (the monitors to share, the
// cursor). Main thread, before the grabber opens.
void DescribeScreenCapture(BOOL with_cursor, BOOL whole_desktop);

// Has the file or directory at `path` reach the disk: what a power cut can
// no longer take. Waits for the disk, so it is for the segment thread and
// the run's end, never for the frame path. Says nothing of a failure (the
// file is still there, only not yet safe). Any thread.
void FlushToDisk(LPCSTR path);

// Written once for every platform and the test fake, over the console
// control operations (platform/stop_requests.cpp):

// Requests from outside to stop the program: Ctrl-C, Ctrl-Break, the
// console closing, log-off and shut-down (on Linux SIGINT, SIGQUIT, SIGHUP
// and SIGTERM). From this call on each is passed to `on_stop`, on the
// thread the platform runs console handlers on: Ctrl-C even when the
// program was started with it ignored, and on Windows the end of the
// session too. Windows ends the process as soon as the handler of a close,
// log-off or shut-down returns, so after those the handler then gives
// `wait_for_teardown` the time it may still take (4500 ms, a little less
// than the five seconds Windows allows); that returns once the run has torn
// down, or when the time is over. Main thread.
void CatchStopRequests(PHANDLER_ROUTINE on_stop, void (*wait_for_teardown)(DWORD milliseconds));
