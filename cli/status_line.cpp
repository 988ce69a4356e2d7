#include "cli/status_line.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "formats/run_names.h"
#include "platform/platform.h"
#include "recording/recorder.h"

#ifdef _WIN32
#include <io.h>
#define slotrec_isatty _isatty
#define slotrec_fileno _fileno
#else
#include <unistd.h>
#define slotrec_isatty isatty
#define slotrec_fileno fileno
#endif

namespace {

constexpr auto kEvery = std::chrono::seconds(1);
constexpr double kMebibyte = 1024.0 * 1024.0;

struct DirectoryFigures {
  int segments = 0;
  std::uintmax_t bytes = 0;
  std::uintmax_t free = 0;
  bool free_known = false;
};

// The run's files so far, and the room left for them.
DirectoryFigures ReadDirectory() {
  DirectoryFigures figures;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(".", error)) {
    const std::filesystem::path extension = entry.path().extension();
    if (extension != run_name::kAviExtension && extension != run_name::kMetaExtension) continue;
    if (extension == run_name::kAviExtension) ++figures.segments;
    const std::uintmax_t size = entry.file_size(error);
    if (!error) figures.bytes += size;
  }
  const std::filesystem::space_info space = std::filesystem::space(".", error);
  if (!error) {
    figures.free = space.available;
    figures.free_known = true;
  }
  return figures;
}

std::string FormatStatus(std::int32_t frames, double seconds, const DirectoryFigures& d, std::int32_t lost) {
  const long whole = static_cast<long>(seconds);
  const double fps = seconds > 0 ? frames / seconds : 0.0;
  char free[32] = "?";
  if (d.free_known) std::snprintf(free, sizeof free, "%6.1fGiB", static_cast<double>(d.free) / (kMebibyte * 1024.0));
  char line[160];
  std::snprintf(line, sizeof line,
                "frame=%6d fps=%5.1f time=%02ld:%02ld:%02ld segments=%5d size=%8.1fMiB lost=%d free=%s",
                frames, fps, whole / 3600, whole / 60 % 60, whole % 60, d.segments,
                static_cast<double>(d.bytes) / kMebibyte, lost, free);
  return line;
}

void ShowStatus(StatusLine* status, std::chrono::steady_clock::time_point start) {
  std::unique_lock<std::mutex> lock(status->lock);
  std::size_t longest = 0;
  while (!status->stop_asked.wait_for(lock, kEvery, [status] { return status->stopping; })) {
    lock.unlock();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const RecorderLosses losses = RecorderLossesSoFar(const_cast<Recorder*>(status->recorder));
    std::string line = FormatStatus(status->frames.load(std::memory_order_relaxed), seconds,
                                    ReadDirectory(), losses.failed_writes);
    // Blanks over what a longer line before left.
    if (line.size() < longest) line.append(longest - line.size(), ' ');
    longest = line.size();
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    lock.lock();
    status->shown = true;
  }
}

}  // namespace

bool StatusLineWanted() {
  return slotrec_isatty(slotrec_fileno(stderr)) != 0 && slotrec_isatty(slotrec_fileno(stdout)) == 0;
}

void StartStatusLine(StatusLine* status, const Recorder* recorder) {
  status->recorder = recorder;
  const auto start = std::chrono::steady_clock::now();
  status->thread = std::thread([status, start] {
    // As idle as the recorder: the line must never be in the way.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
    ShowStatus(status, start);
  });
}

StatusLine::~StatusLine() { StopStatusLine(this); }

void StopStatusLine(StatusLine* status) {
  if (!status->thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(status->lock);
    status->stopping = true;
  }
  status->stop_asked.notify_all();
  status->thread.join();
  if (status->shown) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
}
