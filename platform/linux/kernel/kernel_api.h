// The kernel services of the Linux platform layer, declared as Windows
// declares them (MinGW-w64's winbase.h, wincon.h, synchapi.h, mmsystem.h,
// objbase.h): processes and threads, the millisecond timer and sleep, local
// time, console control events, events and the waits on them, COM set-up
// and global memory. kernel.cpp implements them.
#pragma once

#include "platform/linux/common/win32_types.h"

typedef HANDLE HGLOBAL;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// Priorities, console control events, waits.
#define IDLE_PRIORITY_CLASS 0x40
#define NORMAL_PRIORITY_CLASS 0x20
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_NORMAL 0
#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

// Global memory.
#define GMEM_FIXED 0x0
#define GMEM_MOVEABLE 0x2
#define GMEM_ZEROINIT 0x40

typedef BOOL (*PHANDLER_ROUTINE)(DWORD dwCtrlType);

// slotrec's own: sets the process up as a Windows console program finds
// itself, for the items of `needs` (ProcessNeeds, or-ed together):
//   kProcessStandardStreams  descriptors 0, 1 and 2, where closed at start,
//                            are opened on /dev/null, so that no file the
//                            program opens takes their place
//   kProcessWriteErrors      a write to a pipe without a reader or beyond
//                            the file-size limit fails (EPIPE, EFBIG)
//                            instead of ending the process (SIGPIPE and
//                            SIGXFSZ are ignored)
//   kProcessFlatMemory       large allocations always get mappings of their
//                            own, and no transparent huge pages, so that the
//                            resident size does not creep up over hours
// Nothing else in the platform layer does any of this or depends on it: a
// program (or test) that does not ask keeps the process as it was started.
// Call it first in main, before any thread starts or any file is opened;
// main thread.
enum ProcessNeeds : unsigned {
  kProcessStandardStreams = 1u << 0,
  kProcessWriteErrors = 1u << 1,
  kProcessFlatMemory = 1u << 2,
};
void PrepareProcess(unsigned needs);

// Processes, threads, time, console.
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
BOOL SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass);
BOOL SetThreadPriority(HANDLE hThread, int nPriority);
DWORD timeGetTime();
void Sleep(DWORD dwMilliseconds);
void GetLocalTime(SYSTEMTIME* lpSystemTime);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
HRESULT CoInitialize(LPVOID pvReserved);
void CoUninitialize();

// Events (unnamed) and the waits on them.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                    BOOL bInitialState, LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);

// slotrec's own: passes the end of the user's session on to `handler` as
// CTRL_LOGOFF_EVENT or CTRL_SHUTDOWN_EVENT. Windows needs a hidden window
// for that (platform/win32/session_end.h); on Linux the end of a session
// already arrives as SIGHUP or SIGTERM, that is as console control events.
bool WatchSessionEnd(PHANDLER_ROUTINE handler);

// Global memory.
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
LPVOID GlobalLock(HGLOBAL hMem);
BOOL GlobalUnlock(HGLOBAL hMem);
HGLOBAL GlobalFree(HGLOBAL hMem);
