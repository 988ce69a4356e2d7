// Kernel services on Linux: the millisecond timer and sleep, process and
// thread priorities, local time, console control events (signals), events
// and waits, COM set-up, global memory blocks and the hold on a directory.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/linux/common/handle_table.h"
#include "platform/linux/kernel/kernel_api.h"
#include "platform/linux/kernel/kernel_internal.h"
#include "platform/platform.h"  // HoldDirectory

namespace {

// Pseudo-handles, as GetCurrentProcess and GetCurrentThread return on
// Windows; only these are understood by the priority operations.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

// The multimedia timer's clock. Windows' timer counts on while the machine
// sleeps; CLOCK_MONOTONIC does not, so after a night's suspend the frame
// times would show no pause and the timeslots would not move on.
// CLOCK_BOOTTIME counts the suspended time too.
std::uint64_t boot_ms() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

// Console control events are delivered as on Windows: the handler routine
// runs on a thread of its own (so it may wait, for a clean shut-down say),
// never inside a signal handler. Signals and other sources post the event
// through a pipe to that thread.
//
// g_ctrl_handler: written by SetConsoleCtrlHandler (main thread), read by
// the dispatcher thread. g_event_pipe: created once, then only read.
std::atomic<PHANDLER_ROUTINE> g_ctrl_handler{nullptr};
int g_event_pipe[2] = {-1, -1};
std::once_flag g_dispatcher_started;

DWORD control_event_for(int signo) {
  switch (signo) {
    case SIGINT:
      return CTRL_C_EVENT;
    case SIGQUIT:
      return CTRL_BREAK_EVENT;
    case SIGHUP:
      return CTRL_CLOSE_EVENT;
    default:
      return CTRL_SHUTDOWN_EVENT;  // SIGTERM: what a shutdown sends
  }
}

const int kControlSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

// Queues an event; `signo` is the signal it came from, 0 for none. Safe in a
// signal handler: one write of two bytes to a pipe is atomic.
void post_control_event(DWORD event, int signo) {
  unsigned char message[2] = {static_cast<unsigned char>(event), static_cast<unsigned char>(signo)};
  ssize_t written = write(g_event_pipe[1], message, sizeof message);
  (void)written;
}

// Stop signals taken so far (lock-free, so the signal handler may count).
std::atomic<unsigned> g_stop_signals{0};

void on_control_signal(int signo) {
  int saved_errno = errno;
  g_stop_signals.fetch_add(1, std::memory_order_relaxed);
  post_control_event(control_event_for(signo), signo);
  errno = saved_errno;
}

void dispatch_control_events() {
  unsigned char message[2];
  for (;;) {
    ssize_t got = read(g_event_pipe[0], message, sizeof message);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof message)) return;
    PHANDLER_ROUTINE handler = g_ctrl_handler.load();
    BOOL handled = handler != nullptr ? handler(message[0]) : FALSE;
    if (!handled && message[1] != 0) {
      // Unhandled: the signal takes its default course, as if no handler
      // had ever been installed.
      signal(message[1], SIG_DFL);
      kill(getpid(), message[1]);
    }
  }
}

// Whether SIGHUP was ignored when the process started (nohup): the console
// handler then does not take it. Read at the first SetConsoleCtrlHandler,
// before this library changes any disposition (the recorder changes none
// before it). Written once under g_hangup_checked, then only read.
bool g_hangup_ignored_at_start = false;
std::once_flag g_hangup_checked;

void note_hangup_disposition() {
  std::call_once(g_hangup_checked, [] {
    struct sigaction hangup{};
    g_hangup_ignored_at_start = sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler == SIG_IGN;
  });
}

constexpr int kMmapThresholdBytes = 256 * 1024;

void start_dispatcher() {
  std::call_once(g_dispatcher_started, [] {
    if (pipe2(g_event_pipe, O_CLOEXEC) != 0) return;
    std::thread(dispatch_control_events).detach();
  });
}

// An event: a flag that SetEvent raises and a wait lowers again (auto-reset)
// or leaves raised (manual reset).
struct Event {
  std::mutex mutex;
  std::condition_variable raised;
  bool manual_reset = false;
  bool signaled = false;  // under mutex
};

HandleTable<Event>& events() { return process_handle_table<Event>(); }

std::shared_ptr<Event> find_event(HANDLE handle) { return events().find(handle_token(handle)); }

struct GlobalBlock {
  SIZE_T bytes;
  unsigned locks;
  alignas(std::max_align_t) unsigned char data[1];
};

}  // namespace

// What each item is for:
// - Descriptors 0, 1 and 2 are open. A program started with one closed
//   (`slotrec <&- >&-`) would otherwise get it back from its next open()
//   or pipe(), and then write its log into a file or read its own output as
//   console events. Each closed one gets /dev/null, as daemons do.
// - On Windows a write to a pipe whose reader has gone, or beyond a file
//   size limit, fails with an error; on Linux SIGPIPE and SIGXFSZ would end
//   the process, losing the segments being recorded (`slotrec | head`, a
//   closed ssh session, `ulimit -f`). Writes fail instead.
// - Memory stays flat over a recording of hours. glibc raises its mmap
//   threshold each time a large block that had a mapping of its own is freed
//   (up to 32 MiB); from then on the encoders' frame buffers come from the
//   heap, and each segment's encoder leaves its freed buffers there, so the
//   resident size creeps up segment after segment. A fixed threshold keeps
//   every large buffer in a mapping of its own, given back whole when freed.
//   libx264 asks for transparent huge pages for each of its large buffers;
//   a buffer touched only in part (the lossless bitstream buffer of about
//   11 MB at 1920 x 1080, of which a frame uses a few hundred KB) then holds
//   whole 2 MB pages. Without them a recording's peak resident size is
//   about 8 MB smaller, for about 3 % more encoder CPU on frames in motion.
void PrepareProcess(unsigned needs) {
  if ((needs & kProcessStandardStreams) != 0) {
    for (int fd = 0; fd <= 2; ++fd) {
      if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
        int null_fd = open("/dev/null", O_RDWR);  // takes the lowest free number: fd
        if (null_fd > 2) close(null_fd);
      }
    }
  }
  if ((needs & kProcessWriteErrors) != 0) {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
  }
  if ((needs & kProcessFlatMemory) != 0) {
    mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
  }
}

HANDLE GetCurrentProcess() { return kCurrentProcess; }

HANDLE GetCurrentThread() { return kCurrentThread; }

// The idle priority class becomes the weakest nice value. On Linux it applies
// to the calling thread and every thread it starts afterwards, which at
// start-up is the whole process.
BOOL SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
  if (hProcess != kCurrentProcess) return FALSE;
  int nice_value = dwPriorityClass == IDLE_PRIORITY_CLASS ? 19 : 0;
  return setpriority(PRIO_PROCESS, 0, nice_value) == 0 ? TRUE : FALSE;
}

// THREAD_PRIORITY_IDLE becomes SCHED_IDLE: the thread runs only when the
// processor has nothing else to do. Other levels restore SCHED_OTHER.
BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
  if (hThread != kCurrentThread) return FALSE;
  sched_param param{};
  param.sched_priority = 0;
  int policy = nPriority == THREAD_PRIORITY_IDLE ? SCHED_IDLE : SCHED_OTHER;
  return pthread_setschedparam(pthread_self(), policy, &param) == 0 ? TRUE : FALSE;
}

// Milliseconds since boot, wrapping at 2^32 like the multimedia timer.
DWORD timeGetTime() { return static_cast<DWORD>(boot_ms()); }

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  timespec left{};
  left.tv_sec = static_cast<time_t>(dwMilliseconds / 1000);
  left.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
  // A signal must not cut the sleep short: the frame clock relies on it.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void GetLocalTime(SYSTEMTIME* lpSystemTime) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  lpSystemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
  lpSystemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  lpSystemTime->wDay = static_cast<WORD>(local.tm_mday);
  lpSystemTime->wHour = static_cast<WORD>(local.tm_hour);
  lpSystemTime->wMinute = static_cast<WORD>(local.tm_min);
  lpSystemTime->wSecond = static_cast<WORD>(local.tm_sec);
  lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000L);
}

// One handler at a time, for SIGINT (Ctrl-C), SIGQUIT (Ctrl-\ as Ctrl-Break),
// SIGHUP (the terminal closed) and SIGTERM (shut-down or `kill`). Removing
// the handler restores the default dispositions.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
  if (HandlerRoutine == nullptr) return FALSE;
  note_hangup_disposition();
  start_dispatcher();
  if (g_event_pipe[1] < 0) return FALSE;
  struct sigaction action{};
  sigemptyset(&action.sa_mask);
  for (int signo : kControlSignals) sigaddset(&action.sa_mask, signo);
  action.sa_flags = SA_RESTART;
  if (Add) {
    g_ctrl_handler.store(HandlerRoutine);
    action.sa_handler = on_control_signal;
  } else {
    if (g_ctrl_handler.load() != HandlerRoutine) return FALSE;
    g_ctrl_handler.store(nullptr);
    action.sa_handler = SIG_DFL;
  }
  for (int signo : kControlSignals) {
    if (signo == SIGHUP && g_hangup_ignored_at_start) continue;
    if (sigaction(signo, &action, nullptr) != 0) return FALSE;
  }
  return TRUE;
}

BOOL slotrec_deliver_console_event(DWORD event) {
  if (g_ctrl_handler.load() == nullptr) return FALSE;
  start_dispatcher();
  if (g_event_pipe[1] < 0) return FALSE;
  post_control_event(event, 0);
  return TRUE;
}

unsigned slotrec_stop_signals_taken() { return g_stop_signals.load(std::memory_order_relaxed); }

bool WatchSessionEnd(PHANDLER_ROUTINE) { return true; }

// An exclusive flock on the directory itself: released by the kernel when
// the process ends, however it ends. The handle is the descriptor plus one,
// so that descriptor 0 is not mistaken for null.
HANDLE HoldDirectory(LPCSTR directory) {
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1);
}

void FlushToDisk(LPCSTR path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  while (fsync(fd) != 0 && errno == EINTR) {
  }
  close(fd);
}

void ReleaseDirectoryHold(HANDLE hold) {
  if (hold != nullptr) close(static_cast<int>(reinterpret_cast<intptr_t>(hold) - 1));
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName != nullptr) return nullptr;  // named events are not needed here
  auto event = std::make_shared<Event>();
  event->manual_reset = bManualReset != FALSE;
  event->signaled = bInitialState != FALSE;
  return handle_from_token<HANDLE>(events().add(std::move(event)));
}

BOOL SetEvent(HANDLE hEvent) {
  std::shared_ptr<Event> event = find_event(hEvent);
  if (event == nullptr) return FALSE;
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signaled = true;
  }
  event->raised.notify_all();
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  std::shared_ptr<Event> event = find_event(hEvent);
  if (event == nullptr) return FALSE;
  std::lock_guard<std::mutex> lock(event->mutex);
  event->signaled = false;
  return TRUE;
}

// Events are the only objects waited on here.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  std::shared_ptr<Event> event = find_event(hHandle);
  if (event == nullptr) return WAIT_FAILED;
  std::unique_lock<std::mutex> lock(event->mutex);
  auto raised = [&] { return event->signaled; };
  if (dwMilliseconds == INFINITE) {
    event->raised.wait(lock, raised);
  } else if (!event->raised.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), raised)) {
    return WAIT_TIMEOUT;
  }
  if (!event->manual_reset) event->signaled = false;
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE hObject) { return events().take(handle_token(hObject)) ? TRUE : FALSE; }

// There is no COM on Linux; the AVIFile layer needs no per-thread set-up.
HRESULT CoInitialize(LPVOID) { return S_OK; }

void CoUninitialize() {}

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  SIZE_T total = offsetof(GlobalBlock, data) + (dwBytes == 0 ? 1 : dwBytes);
  void* raw = (uFlags & GMEM_ZEROINIT) ? std::calloc(1, total) : std::malloc(total);
  if (raw == nullptr) return nullptr;
  auto* block = static_cast<GlobalBlock*>(raw);
  block->bytes = dwBytes;
  block->locks = 0;
  return block;
}

LPVOID GlobalLock(HGLOBAL hMem) {
  if (hMem == nullptr) return nullptr;
  auto* block = static_cast<GlobalBlock*>(hMem);
  ++block->locks;
  return block->data;
}

BOOL GlobalUnlock(HGLOBAL hMem) {
  if (hMem == nullptr) return FALSE;
  auto* block = static_cast<GlobalBlock*>(hMem);
  if (block->locks > 0) --block->locks;
  return block->locks > 0 ? TRUE : FALSE;
}

// Frees the block whether or not it is locked, as Windows does; returns null
// on success.
HGLOBAL GlobalFree(HGLOBAL hMem) {
  std::free(hMem);
  return nullptr;
}
