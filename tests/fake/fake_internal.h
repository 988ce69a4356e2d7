// The fake platform's shared state, for its own files only. Everything in
// g_state is guarded by g_mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fake/fake_platform.h"

namespace fake_internal {

struct ScriptedFailure {
  int skip;
  HRESULT code;
};

struct FakeEvent {
  bool manual_reset = false;
  bool signaled = false;
};

// A thread other than the leading one, once it has waited on the virtual
// clock. It runs only while its state is kRunning; the leading thread sets
// that when the thread's wait ends and waits until it is parked again (or
// gone).
struct Follower {
  enum class Turn { kRunning, kParked, kGone };
  Turn turn = Turn::kRunning;
  DWORD due = 0;                // parked: when its wait ends
  FakeEvent* event = nullptr;   // parked in a wait for this event, or null
  uint64_t parked_order = 0;    // ties go to the one that parked first
};

struct State {
  // clock and threads
  DWORD now = 0;
  bool real_clock = false;
  DWORD real_offset = 0;
  std::map<fake::Cost, DWORD> costs;
  std::thread::id leader;
  std::vector<std::shared_ptr<Follower>> followers;
  uint64_t parkings = 0;
  bool starving = false;
  DWORD starve_until = 0;

  // AVIFile
  std::map<fake::AviOp, std::deque<ScriptedFailure>> failures;
  bool open_gives_no_file = false;
  std::deque<int> write_throws;
  std::vector<std::unique_ptr<fake::FakeAviFileInfo>> files;

  // compressor manager
  std::vector<fake::FakeCompressor> compressors;

  // registry
  std::map<std::string, LONG> key_failures;
  std::map<std::string, LONG> value_failures;
  std::map<std::string, std::map<std::string, DWORD>> registry;

  // screen
  fake::FakeScreen screen;
  fake::FakeCursor cursor;

  // kernel
  SYSTEMTIME local_time{2026, 12, 2, 8, 9, 5, 7, 42};
  PHANDLER_ROUTINE ctrl_handler = nullptr;
  std::vector<std::unique_ptr<FakeEvent>> events;  // never shrinks: handles stay unique

  // What ReadCounters gives.
  fake::Counters counted;
};

extern std::mutex g_mutex;
extern State g_state;
// Turns passing between the leading thread and its followers, and events
// raised on the real clock.
extern std::condition_variable g_turn;

// The clock's reading. g_mutex held.
DWORD NowLocked();
// Notes a call refused for a wrong argument. g_mutex held.
void RefuseLocked(std::string what);
// Charges what a call costs: virtual milliseconds on the virtual clock (other
// threads may run meanwhile), a real pause on the real one. g_mutex not held.
void PayCost(fake::Cost op);
// Takes the event's signal if it is raised. g_mutex held.
bool TakeSignal(FakeEvent* event);

}  // namespace fake_internal
