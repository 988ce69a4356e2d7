// The fake's kernel services: the virtual clock and the threads that follow
// it, sleeps, events and waits, priorities, local time, the console handler,
// COM and global memory.
#include <chrono>
#include <cstring>

#include "tests/fake/fake_internal.h"

namespace fake_internal {

namespace {

DWORD RealMs() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Whether timer reading `a` lies after `b`, across the wrap.
bool Later(DWORD a, DWORD b) { return static_cast<int32_t>(a - b) > 0; }

// Holds a following thread's record and marks it gone when the thread ends,
// so that the leading thread stops waiting for it.
struct FollowerSlot {
  std::shared_ptr<Follower> record;
  ~FollowerSlot() {
    if (record == nullptr) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    record->turn = Follower::Turn::kGone;
    g_turn.notify_all();
  }
};
thread_local FollowerSlot t_follower;

bool IsLeaderLocked() { return std::this_thread::get_id() == g_state.leader; }

// The calling thread's record when it follows the virtual clock; null for
// the leading thread and on the real clock. g_mutex held.
Follower* FollowerLocked() {
  if (g_state.real_clock || IsLeaderLocked()) return nullptr;
  for (const auto& follower : g_state.followers) {
    if (follower == t_follower.record) return follower.get();
  }
  // First wait of this thread since the last Reset.
  t_follower.record = std::make_shared<Follower>();
  g_state.followers.push_back(t_follower.record);
  return t_follower.record.get();
}

bool SettledLocked() {
  for (const auto& follower : g_state.followers) {
    if (follower->turn == Follower::Turn::kRunning) return false;
  }
  return true;
}

// When a parked follower's wait ends: now when its event is raised, else at
// its due time; while followers starve, not before the starving ends.
DWORD WakeTimeLocked(const Follower& follower) {
  DWORD wake = follower.event != nullptr && follower.event->signaled ? g_state.now : follower.due;
  if (g_state.starving && Later(g_state.starve_until, wake)) wake = g_state.starve_until;
  return wake;
}

// The parked follower whose wait ends first, no later than `until`, or null.
Follower* NextDueLocked(DWORD until, DWORD* wake_at) {
  Follower* next = nullptr;
  DWORD next_wake = 0;
  for (const auto& follower : g_state.followers) {
    if (follower->turn != Follower::Turn::kParked) continue;
    DWORD wake = WakeTimeLocked(*follower);
    if (Later(wake, until)) continue;
    if (next == nullptr || Later(next_wake, wake) ||
        (next_wake == wake && follower->parked_order < next->parked_order)) {
      next = follower.get();
      next_wake = wake;
    }
  }
  *wake_at = next_wake;
  return next;
}

// Gives `follower` its turn at `wake` and waits until it parks again or ends.
void RunFollowerLocked(std::unique_lock<std::mutex>& lock, Follower* follower, DWORD wake) {
  if (Later(wake, g_state.now)) g_state.now = wake;
  follower->turn = Follower::Turn::kRunning;
  g_turn.notify_all();
  g_turn.wait(lock, [follower] { return follower->turn != Follower::Turn::kRunning; });
}

// The leading thread lets virtual time pass until `target` or until `event`
// is raised, running every follower whose wait ends meanwhile at its time.
// Returns whether the event ended it.
bool LeadUntilLocked(std::unique_lock<std::mutex>& lock, DWORD target, FakeEvent* event) {
  g_turn.wait(lock, SettledLocked);
  for (;;) {
    if (event != nullptr && TakeSignal(event)) return true;
    DWORD wake = 0;
    Follower* next = NextDueLocked(target, &wake);
    if (next == nullptr) break;
    RunFollowerLocked(lock, next, wake);
  }
  if (Later(target, g_state.now)) g_state.now = target;
  return false;
}

// A following thread parks until `due` or until `event` is raised; the
// leading thread gives it its turn then. Returns whether the event ended it.
bool FollowUntilLocked(std::unique_lock<std::mutex>& lock, Follower* follower, DWORD due,
                       FakeEvent* event) {
  if (event != nullptr && TakeSignal(event)) return true;
  follower->turn = Follower::Turn::kParked;
  follower->due = due;
  follower->event = event;
  follower->parked_order = ++g_state.parkings;
  g_turn.notify_all();
  g_turn.wait(lock, [follower] { return follower->turn == Follower::Turn::kRunning; });
  follower->event = nullptr;
  return event != nullptr && TakeSignal(event);
}

// Virtual time passes for the calling thread, leading or following.
bool SpendLocked(std::unique_lock<std::mutex>& lock, DWORD ms, FakeEvent* event) {
  DWORD due = g_state.now + ms;
  if (Follower* follower = FollowerLocked()) return FollowUntilLocked(lock, follower, due, event);
  return LeadUntilLocked(lock, due, event);
}

// The event behind a handle, or null. g_mutex held.
FakeEvent* FindEvent(HANDLE handle) {
  for (const auto& event : g_state.events) {
    if (event.get() == handle) return event.get();
  }
  return nullptr;
}

}  // namespace

DWORD NowLocked() { return g_state.real_clock ? RealMs() + g_state.real_offset : g_state.now; }

bool TakeSignal(FakeEvent* event) {
  if (!event->signaled) return false;
  if (!event->manual_reset) event->signaled = false;
  return true;
}

void PayCost(fake::Cost op) {
  std::unique_lock<std::mutex> lock(g_mutex);
  auto cost = g_state.costs.find(op);
  if (cost == g_state.costs.end() || cost->second == 0) return;
  DWORD ms = cost->second;
  if (g_state.real_clock) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  SpendLocked(lock, ms, nullptr);
}

}  // namespace fake_internal

using namespace fake_internal;

namespace fake {

void SetNow(DWORD ms) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.now = ms;
}

DWORD Now() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return NowLocked();
}

void UseRealClock(DWORD offset) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.real_clock = true;
  g_state.real_offset = offset - RealMs();
}

void SetCost(Cost op, DWORD ms) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.costs[op] = ms;
}

void PassTime(DWORD ms) {
  std::unique_lock<std::mutex> lock(g_mutex);
  SpendLocked(lock, ms, nullptr);
}

void AwaitFollowers(int count) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_turn.wait(lock, [count] {
    return static_cast<int>(g_state.followers.size()) >= count && SettledLocked();
  });
}

void StarveFollowers(DWORD until) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.starving = true;
  g_state.starve_until = until;
}

void SetLocalTime(const SYSTEMTIME& time) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.local_time = time;
}

BOOL DeliverConsoleEvent(DWORD event) {
  PHANDLER_ROUTINE handler;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    handler = g_state.ctrl_handler;
  }
  return handler != nullptr ? handler(event) : FALSE;
}

}  // namespace fake

// ---- processes and threads ----------------------------------------------------

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

BOOL SetPriorityClass(HANDLE, DWORD dwPriorityClass) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.counted.priority_class = dwPriorityClass;
  return TRUE;
}

BOOL SetThreadPriority(HANDLE, int nPriority) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.counted.thread_priorities.push_back(nPriority);
  return TRUE;
}

// ---- time -----------------------------------------------------------------------

DWORD timeGetTime() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return NowLocked();
}

void Sleep(DWORD dwMilliseconds) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_state.counted.sleeps.push_back(dwMilliseconds);
  if (g_state.real_clock) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    return;
  }
  SpendLocked(lock, dwMilliseconds, nullptr);
}

void GetLocalTime(SYSTEMTIME* lpSystemTime) {
  std::lock_guard<std::mutex> lock(g_mutex);
  *lpSystemTime = g_state.local_time;
}

// ---- console and session ----------------------------------------------------------

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (Add) {
    g_state.ctrl_handler = HandlerRoutine;
  } else if (g_state.ctrl_handler == HandlerRoutine) {
    g_state.ctrl_handler = nullptr;
  }
  return TRUE;
}

bool WatchSessionEnd(PHANDLER_ROUTINE) { return true; }

// Directories are held by the process alone in unit tests.
HANDLE HoldDirectory(LPCSTR) { return reinterpret_cast<HANDLE>(1); }

// The fake's files are real, but no test here judges the disk.
void FlushToDisk(LPCSTR) {}
void ReleaseDirectoryHold(HANDLE) {}

// ---- events -----------------------------------------------------------------------

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto event = std::make_unique<FakeEvent>();
  event->manual_reset = bManualReset != FALSE;
  event->signaled = bInitialState != FALSE;
  g_state.events.push_back(std::move(event));
  return g_state.events.back().get();
}

// When the leading thread raises an event that a follower waits for, the
// follower runs at once and the leading thread goes on once it waits again
// (or has ended), as a processor would run the woken thread while the one
// that raised the event goes on to wait for its answer.
BOOL SetEvent(HANDLE hEvent) {
  std::unique_lock<std::mutex> lock(g_mutex);
  FakeEvent* event = FindEvent(hEvent);
  if (event == nullptr) return FALSE;
  event->signaled = true;
  g_turn.notify_all();
  if (g_state.real_clock || !IsLeaderLocked()) return TRUE;
  for (const auto& follower : g_state.followers) {
    if (follower->turn == Follower::Turn::kParked && follower->event == event) {
      RunFollowerLocked(lock, follower.get(), g_state.now);
      break;
    }
  }
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  std::lock_guard<std::mutex> lock(g_mutex);
  FakeEvent* event = FindEvent(hEvent);
  if (event == nullptr) return FALSE;
  event->signaled = false;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  std::unique_lock<std::mutex> lock(g_mutex);
  FakeEvent* event = FindEvent(hHandle);
  if (event == nullptr) return WAIT_FAILED;
  g_state.counted.waits.push_back({NowLocked(), dwMilliseconds, IsLeaderLocked()});
  if (g_state.real_clock) {
    bool raised = g_turn.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                                  [event] { return event->signaled; });
    return raised && TakeSignal(event) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
  // An endless wait still ends on the virtual clock, in about 24 days.
  DWORD ms = dwMilliseconds == INFINITE ? 0x7FFFFFFFu : dwMilliseconds;
  return SpendLocked(lock, ms, event) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE hObject) {
  std::lock_guard<std::mutex> lock(g_mutex);
  FakeEvent* event = FindEvent(hObject);
  if (event == nullptr) return FALSE;
  event->signaled = false;  // the record stays, so no later event reuses its address
  return TRUE;
}

// ---- COM ----------------------------------------------------------------------------

HRESULT CoInitialize(LPVOID) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.co_initialize_calls;
  return S_OK;
}

void CoUninitialize() {}

// ---- global memory -------------------------------------------------------------------

namespace {

struct GlobalBlock {
  std::vector<unsigned char> bytes;
};

}  // namespace

HGLOBAL GlobalAlloc(UINT, SIZE_T dwBytes) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.screen_calls.global_alloc;
  ++g_state.counted.live_global_blocks;
  auto* block = new GlobalBlock;
  block->bytes.assign(dwBytes, 0);
  return block;
}

LPVOID GlobalLock(HGLOBAL hMem) {
  if (hMem == nullptr) return nullptr;
  return static_cast<GlobalBlock*>(hMem)->bytes.data();
}

BOOL GlobalUnlock(HGLOBAL) { return FALSE; }

HGLOBAL GlobalFree(HGLOBAL hMem) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hMem == nullptr) return nullptr;
  ++g_state.counted.screen_calls.global_free;
  --g_state.counted.live_global_blocks;
  delete static_cast<GlobalBlock*>(hMem);
  return nullptr;
}
