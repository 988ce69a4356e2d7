// What the real program prints on standard output before its diagnostic
// log, byte for byte: the banner, the usage line with the program's name,
// the glossary with the empty line after it, and, after a valid command
// line with -verbose, the table dump. The command-line and integration
// tests compare a run's whole output up to the first log line with it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace expected_output {

// The recorder's first log line: what comes before it is the entry point's.
inline constexpr char kFirstLogLine[] = "Trying prepare 000-00.avi\n";

// Banner, usage line and glossary, for argv[0] = `program`.
inline std::string Header(const std::string& program) {
  return "Screen Recording\n"
         "Usage: " + program +
         " [fps=fps] [slotsecs=slotsecs] [withmouse=<on/off>] [-verbose] [-totalcapture] "
         "[debug=<on/off>]\n"
         "   fps=fps\t\t wanted FPS\n"
         "   slotsecs=slotsecs\t\t Seconds per timeslot\n"
         "   withmouse=<on/off>\t\t Record mouse  cursor\n"
         "   -verbose\t\t specifies verbose output\n"
         "   -totalcapture\t\t Capture All Monitors! Handle with care!\n"
         "\n";
}

// The table dump with the values of the six options, in table order.
inline std::string Dump(const std::vector<int>& values) {
  const char* rows[6][4] = {
      {"\"fps=\"", "\"fps\"", "arg_int", "\"\t\t wanted FPS\""},
      {"\"slotsecs=\"", "\"slotsecs\"", "arg_int", "\"\t\t Seconds per timeslot\""},
      {"\"withmouse=\"", "\"<on/off>\"", "arg_bool", "\"\t\t Record mouse  cursor\""},
      {"\"-verbose\"", "NULL", "arg_lit", "\"\t\t specifies verbose output\""},
      {"\"-totalcapture\"", "NULL", "arg_lit",
       "\"\t\t Capture All Monitors! Handle with care!\""},
      {"\"debug=\"", "\"<on/off>\"", "arg_bool", "NULL"},
  };
  std::string text;
  for (std::size_t i = 0; i < 6 && i < values.size(); ++i) {
    char line[300];
    std::snprintf(line, sizeof line, "%3zu: %-15s %-15s %10s = %-10d %s\n", i, rows[i][0],
                  rows[i][1], rows[i][2], values[i], rows[i][3]);
    text += line;
  }
  return text;
}

// What a recording printed before its first log line, or, when that line
// never came, the whole output behind a note that says so.
inline std::string BeforeLog(const std::string& out) {
  const std::size_t log_at = out.find(kFirstLogLine);
  return log_at == std::string::npos ? "(no log line in) " + out : out.substr(0, log_at);
}

}  // namespace expected_output
