// slotrec-check: is a recording whole? Checks every segment pair of each
// run directory named on the command line and the run as a whole, and
// prints a table (or JSON with --json); with --html also writes a report a
// browser shows (a time line, pictures of the screen, the cursor). Exit status: 0 every run whole,
// 1 problems found, 2 a path that is no run directory or a command-line
// error.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/check/check_texts.h"
#include "tools/check/html_report.h"
#include "tools/check/repair.h"
#include "tools/check/report.h"
#include "tools/check/run_check.h"
#include "tools/common/avi_reader.h"

namespace {

int UsageError(const char* what, const char* argument) {
  std::fprintf(stderr, "%s: %s%s%s\n%s", check_text::kProgram, what, argument != nullptr ? ": " : "",
               argument != nullptr ? argument : "", check_text::kUsage);
  return 2;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; nullptr
// when it is missing.
const char* OptionValue(int argc, char** argv, int* i, const char* name) {
  const std::size_t n = std::strlen(name);
  const char* arg = argv[*i];
  if (arg[n] == '=') return arg + n + 1;
  return *i + 1 < argc ? argv[++*i] : nullptr;
}

bool IsOption(const char* arg, const char* name) {
  const std::size_t n = std::strlen(name);
  return std::strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
}

// "X,Y", each a whole number of pixels (negative left of or above the
// primary monitor).
bool ParseOrigin(const char* text, check::HtmlOptions* options) {
  char* end = nullptr;
  long x = std::strtol(text, &end, 10);
  if (end == text || *end != ',') return false;
  const char* second = end + 1;
  long y = std::strtol(second, &end, 10);
  if (end == second || *end != '\0' || x < -1000000 || x > 1000000 || y < -1000000 || y > 1000000) return false;
  options->origin_x = static_cast<std::int32_t>(x);
  options->origin_y = static_cast<std::int32_t>(y);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  check::CheckOptions options;
  bool json = false;
  bool repair = false;
  std::string html;  // the report to write; empty: none
  check::HtmlOptions html_options;
  std::vector<std::string> directories;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options_end || arg[0] != '-' || arg[1] == '\0') {
      directories.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      options_end = true;
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(check_text::kUsage, stdout);
      return 0;
    } else if (std::strcmp(arg, "--json") == 0) {
      json = true;
    } else if (IsOption(arg, "--html")) {
      const char* value = OptionValue(argc, argv, &i, "--html");
      if (value == nullptr || value[0] == '\0') return UsageError("--html needs the name of the report to write", nullptr);
      html = value;
    } else if (IsOption(arg, "--origin")) {
      const char* value = OptionValue(argc, argv, &i, "--origin");
      if (value == nullptr) return UsageError("--origin needs X,Y", nullptr);
      if (!ParseOrigin(value, &html_options)) return UsageError("--origin takes X,Y in pixels", value);
    } else if (std::strcmp(arg, "--repair") == 0) {
      repair = true;
    } else if (std::strcmp(arg, "--no-decode") == 0) {
      options.decode = false;
    } else if (std::strcmp(arg, "--slotsecs") == 0 || std::strncmp(arg, "--slotsecs=", 11) == 0) {
      const char* value = arg[10] == '=' ? arg + 11 : (i + 1 < argc ? argv[++i] : nullptr);
      if (value == nullptr) return UsageError("--slotsecs needs a number of seconds", nullptr);
      char* end = nullptr;
      long seconds = std::strtol(value, &end, 10);
      if (end == value || *end != '\0' || seconds < 1 || seconds > 2147483)
        return UsageError("--slotsecs takes whole seconds from 1 to 2147483", value);
      options.slot_ms = static_cast<std::int64_t>(seconds) * 1000;
    } else {
      return UsageError("unknown option", arg);
    }
  }
  if (directories.empty()) return UsageError("no run directory given", nullptr);
  if (!html.empty() && directories.size() != 1) return UsageError("--html reports on one run directory", nullptr);
  options.keep_frames = !html.empty();

  runfiles::QuietLibav();
  std::vector<check::RunCheck> runs;
  check::RunCheck last;  // the run --html reports on, when not kept in `runs`
  int status = 0;
  for (std::size_t i = 0; i < directories.size(); ++i) {
    // With --json standard output carries the document alone.
    if (repair && !json && i > 0) std::fputc('\n', stdout);
    if (repair) check::RepairRun(directories[i], json ? stderr : stdout);
    check::RunCheck run = check::CheckRun(directories[i], options);
    status = std::max(status, run.status());
    if (json) {
      runs.push_back(std::move(run));
    } else {
      if (!repair && i > 0) std::fputc('\n', stdout);
      check::PrintTable(stdout, run);
      std::fflush(stdout);
      if (!html.empty()) last = std::move(run);
    }
  }
  if (json) check::PrintJson(stdout, runs, status);
  if (!html.empty()) {
    const check::RunCheck& run = json ? runs.front() : last;
    std::string error;
    if (!run.run_directory) {
      // Nothing to show: the status already says why.
    } else if (!check::WriteHtmlReport(html, run, html_options, &error)) {
      std::fprintf(stderr, "%s: %s: %s\n", check_text::kProgram, html.c_str(), error.c_str());
      status = 2;
    }
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: %s\n", check_text::kProgram, check_text::kCannotWrite);
    return 2;
  }
  return status;
}
