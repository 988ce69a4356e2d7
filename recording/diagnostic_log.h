// The diagnostic log: one line per event on standard output, flushed.
#pragma once

#include <sstream>
#include <string>

// Writes one finished line (without its line end) and flushes. Both threads
// log; a line is written in one piece so lines never interleave. Any thread.
void EmitLogLine(const std::string& line);

// Builds a line by stream insertion and emits it:
//   LogLine(" ShiftAVI! startTime= ", start_ms);
template <typename... Parts>
void LogLine(const Parts&... parts) {
  std::ostringstream line;
  (line << ... << parts);
  EmitLogLine(line.str());
}
