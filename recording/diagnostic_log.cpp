#include "recording/diagnostic_log.h"

#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <mutex>

namespace {
std::mutex g_log_lock;  // one line at a time from either thread
}

void EmitLogLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_log_lock);
  std::cout << line << std::endl;
}

void EmitLogText(const char* text) {
  std::lock_guard<std::mutex> lock(g_log_lock);
  std::printf("%s", text);
  std::fflush(stdout);
}

void ReportProblem(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  // One call, so that a line from either thread stays whole.
  std::fprintf(stderr, "slotrec: %s\n", line);
}
