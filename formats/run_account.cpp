#include "formats/run_account.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "formats/printf_scan.h"

namespace {

constexpr char kLineFormat[] =
    "slotrec: %s: %d segments, %d frames, %.1f MiB; %d frames not written, %d segments not "
    "prepared, %lu not completed, %.1f s without a segment, %d frames while the screen could "
    "not be read; %s\n";

// By RunStop.
constexpr const char* kStopTexts[] = {
    "stopped at the frame cap",
    "stopped by an interrupt (Ctrl-C, SIGINT)",
    "stopped by a break (Ctrl-Break, SIGQUIT)",
    "stopped as the console closed (SIGHUP)",
    "stopped as the session ended or the display was lost",
    "stopped by a shut-down (SIGTERM)",
};
constexpr int kStopCount = sizeof kStopTexts / sizeof kStopTexts[0];

constexpr double kMebibyte = 1024.0 * 1024.0;

}  // namespace

std::string FormatRunAccount(const RunAccount& a) {
  const char* stop = kStopTexts[static_cast<int>(a.stop)];
  const double mib = static_cast<double>(a.bytes) / kMebibyte;
  const double no_segment_s = a.losses.no_segment_ms / 1000.0;
  const auto incomplete = static_cast<unsigned long>(a.incomplete_files);
  // Room for the directory and the rest at its longest: the texts, nine
  // figures of at most 20 digits and the longest reason.
  std::string line(a.directory.size() + 512, '\0');
  int size = std::snprintf(line.data(), line.size(), kLineFormat, a.directory.c_str(), a.segments,
                           a.frames, mib, a.losses.failed_writes, a.losses.unprepared_segments,
                           incomplete, no_segment_s, a.losses.unreadable_frames, stop);
  line.resize(size > 0 ? std::min(static_cast<std::size_t>(size), line.size() - 1) : 0);
  return line;
}

std::optional<RunAccount> ParseRunAccount(std::string_view line) {
  std::vector<ScannedField> f;
  if (!ScanPrintfText(line, kLineFormat, &f)) return std::nullopt;
  RunAccount a;
  a.directory = std::string(f[0].text);
  a.segments = static_cast<std::int32_t>(f[1].integer);
  a.frames = static_cast<std::int32_t>(f[2].integer);
  a.bytes = static_cast<std::uint64_t>(std::llround(f[3].real * kMebibyte));
  a.losses.failed_writes = static_cast<std::int32_t>(f[4].integer);
  a.losses.unprepared_segments = static_cast<std::int32_t>(f[5].integer);
  a.incomplete_files = static_cast<std::uint32_t>(f[6].integer);
  a.losses.no_segment_ms = static_cast<std::uint32_t>(std::llround(f[7].real * 1000.0));
  a.losses.unreadable_frames = static_cast<std::int32_t>(f[8].integer);
  int stop = 0;
  while (stop < kStopCount && f[9].text != kStopTexts[stop]) ++stop;
  if (stop == kStopCount) return std::nullopt;
  a.stop = static_cast<RunStop>(stop);
  return a;
}

std::optional<RunAccount> FindRunAccount(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) return std::nullopt;
    if (std::optional<RunAccount> account = ParseRunAccount(text.substr(at, end + 1 - at)))
      return account;
    at = end + 1;
  }
  return std::nullopt;
}

int RunAccountExitStatus(const RunAccount& a) {
  const RecorderLosses& l = a.losses;
  bool lost = l.failed_writes > 0 || l.unprepared_segments > 0 || l.closed_segments > 0 ||
              a.incomplete_files > 0 || !a.threads_ended;
  return lost ? kExitLostRecording : 0;
}
