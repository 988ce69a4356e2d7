// The recording run.
#include "cli/recording_run.h"

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"

namespace {

// Name of the run's directory: local date and time to the millisecond.
constexpr char kDirectoryNameFormat[] = "%04d-%02d-%02d-%02d-%02d-%02d-%03d";
constexpr std::size_t kDirectoryNameSize = 256;

void FormatDirectoryName(char (&name)[kDirectoryNameSize]) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  std::snprintf(name, sizeof name, kDirectoryNameFormat, now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

// Neither result is examined: a directory that already exists is recorded
// into, and if it cannot be entered the run records where it started.
void EnterDirectory(const char* name) {
  std::error_code ignored;
  std::filesystem::create_directory(name, ignored);
  std::filesystem::current_path(name, ignored);
}

}  // namespace

int RunRecording(int32_t fps, int32_t slotsecs, int32_t withmouse, int32_t totalcapture) {
  // 1. Record only with processor time nothing else wants.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);

  // 2. The output directory's name, from the local start time.
  char directory[kDirectoryNameSize];
  FormatDirectoryName(directory);

  // 3. Everything the run writes lands in that directory.
  EnterDirectory(directory);

  (void)fps;
  (void)slotsecs;
  (void)withmouse;
  (void)totalcapture;
  return 0;
}
