#include "recording/diagnostic_log.h"

#include <iostream>
#include <mutex>

namespace {
std::mutex g_log_lock;  // one line at a time from either thread
}

void EmitLogLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_log_lock);
  std::cout << line << std::endl;
}
