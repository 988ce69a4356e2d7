// Runs a scan over a list of entries and keeps its results as strings.
#pragma once

#include <string>
#include <vector>

#include "options/argtable.h"

struct ScanOutcome {
  int result;
  std::string copy;
  std::string message;
  std::string mark;
};

// Entries include the program name. The buffers are guarded: a scan that
// wrote past arg_text_size bytes would change the guard bytes.
inline ScanOutcome ScanWith(const std::vector<std::string>& entries, const arg_spec* table,
                            int count, bool with_copy = true) {
  std::vector<const char*> argv;
  for (const std::string& e : entries) argv.push_back(e.c_str());
  constexpr char kGuard = '\x7f';
  std::string copy(arg_text_size + 8, kGuard);
  std::string message(arg_text_size + 8, kGuard);
  std::string mark(arg_text_size + 8, kGuard);
  ScanOutcome outcome;
  outcome.result = arg_scan_command_line(static_cast<int>(argv.size()), argv.data(), table,
                                         count, with_copy ? copy.data() : nullptr,
                                         message.data(), mark.data());
  for (std::string* buffer : {&copy, &message, &mark}) {
    if (buffer->substr(arg_text_size) != std::string(8, kGuard)) outcome.result = -1;
  }
  outcome.copy = copy.c_str();
  outcome.message = message.c_str();
  outcome.mark = mark.c_str();
  return outcome;
}
