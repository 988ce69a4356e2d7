// The fake platform's state as a whole: resetting it and reading its
// counters.
#include "tests/fake/fake_internal.h"

namespace fake_internal {

std::mutex g_mutex;
State g_state;
std::condition_variable g_turn;

void RefuseLocked(std::string what) { g_state.counted.refused.push_back(std::move(what)); }

}  // namespace fake_internal

namespace fake {

using namespace fake_internal;

void Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state = State{};
  g_state.compressors = {FakeCompressor{}};
  g_state.leader = std::this_thread::get_id();
}

Counters ReadCounters() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Counters counters = g_state.counted;
  for (const auto& file : g_state.files) counters.avi_files.push_back(*file);
  return counters;
}

}  // namespace fake
