// slotrec-join RUNDIR OUT: the segments of a run in one Matroska (or MP4)
// file, copied without re-encoding, every frame at its capture time.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/kernel/kernel_api.h"
#include "tools/common/avi_reader.h"
#include "tools/common/text_format.h"
#include "tools/join/join_texts.h"
#include "tools/join/run_join.h"

namespace {

int UsageError(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n%s", join_text::kProgram, what.c_str(), join_text::kUsage);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Started with standard error closed, the file being written would take
  // its descriptor, and the progress and warning lines would go into it.
  PrepareProcess(kProcessStandardStreams);
  join::JoinOptions options;
  std::vector<std::string> paths;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options_end || arg[0] != '-' || arg[1] == '\0') {
      paths.push_back(arg);
      continue;
    }
    if (std::strcmp(arg, "--") == 0) {
      options_end = true;
      continue;
    }
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(join_text::kUsage, stdout);
      return 0;
    }
    const char* name = nullptr;
    std::optional<std::int64_t>* target = nullptr;
    if (std::strncmp(arg, "--from", 6) == 0 && (arg[6] == '\0' || arg[6] == '=')) {
      name = "--from";
      target = &options.from_ms;
    } else if (std::strncmp(arg, "--to", 4) == 0 && (arg[4] == '\0' || arg[4] == '=')) {
      name = "--to";
      target = &options.to_ms;
    } else {
      return UsageError(std::string("unknown option: ") + arg);
    }
    const char* value = std::strchr(arg, '=') != nullptr ? std::strchr(arg, '=') + 1
                                                        : (i + 1 < argc ? argv[++i] : "");
    *target = runfiles::ParseClock(value);
    if (!*target) {
      char text[512];
      std::snprintf(text, sizeof text, join_text::kBadTime, name, value);
      return UsageError(text);
    }
  }
  if (paths.size() != 2) return UsageError(paths.size() < 2 ? "RUNDIR and OUT are needed" : "too many arguments");
  if (options.from_ms && options.to_ms && *options.to_ms <= *options.from_ms) {
    char text[512];
    std::snprintf(text, sizeof text, join_text::kToBeforeFrom, runfiles::FormatClock(*options.to_ms).c_str(),
                  runfiles::FormatClock(*options.from_ms).c_str());
    return UsageError(text);
  }
  options.run_directory = paths[0];
  options.out = paths[1];
  runfiles::QuietLibav();
  return join::JoinRun(options);
}
