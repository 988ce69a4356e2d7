// The diagnostic log: one line per event on standard output, flushed; and
// the lines about losses on standard error.
#pragma once

#include <sstream>
#include <string>

// Writes one finished line (without its line end) and flushes. Both threads
// log; a line is written in one piece so lines never interleave. Any thread.
void EmitLogLine(const std::string& line);

// Writes a text that brings its own line end by formatted output, under the
// same lock, and flushes. Any thread.
void EmitLogText(const char* text);

// One line on standard error: "slotrec: ", the formatted text, a line end.
// For what the recorder says beyond its log: losses and their causes. Any
// thread.
void ReportProblem(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Builds a line by stream insertion and emits it:
//   LogLine(" ShiftAVI! startTime= ", start_ms);
template <typename... Parts>
void LogLine(const Parts&... parts) {
  std::ostringstream line;
  (line << ... << parts);
  EmitLogLine(line.str());
}
