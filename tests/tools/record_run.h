// One run recorded by the real program on a private display, for the tests
// of the companion tools: in a directory of its own, stopped by a signal a
// while after a given line of its log.
#pragma once

#include <string>

#include "tests/support/process.h"

namespace tooltest {

struct RecordRequest {
  std::string display;     // the X display to record
  std::string parent;      // the directory the run's directory goes into (made)
  std::string config;      // XDG_CONFIG_HOME for the settings file
  std::string stop_after;  // a log text; then grace_ms, then signal_number
  int grace_ms = 0;
  int signal_number = 0;
  long long file_size_limit = -1;  // RLIMIT_FSIZE; negative: none
  // Rectangles of changing colours all over the screen for the first four
  // seconds, so that every frame is large.
  bool busy = false;
};

// The run's directory (the parent when none was made); `result` gets how the
// program ended, when asked for.
std::string RecordRun(const RecordRequest& request, ChildResult* result = nullptr);

}  // namespace tooltest
