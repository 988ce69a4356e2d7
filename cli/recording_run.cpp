// The recording run.
#include "cli/recording_run.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "capture/screen_grabber.h"
#include "cli/option_table.h"
#include "platform/platform.h"
#include "recording/recorder.h"

namespace {

// Name of the run's directory: local date and time to the millisecond.
constexpr char kDirectoryNameFormat[] = "%04d-%02d-%02d-%02d-%02d-%02d-%03d";
constexpr std::size_t kDirectoryNameSize = 256;
constexpr int32_t kCapSeconds = 100 * 60 * 60;
// Windows ends a process about five seconds after a close, log-off or
// shut-down event; the handler waits a little less for the teardown.
constexpr auto kCloseEventWait = std::chrono::milliseconds(4500);

// Set by the console control handler (its own thread), read by the frame
// loop before every tick.
std::atomic<bool> g_stop_requested{false};

// Set by the run when it has torn down; waited for by a handler of a close,
// log-off or shut-down event.
std::mutex g_run_end_lock;
std::condition_variable g_run_ended;
bool g_run_over = false;

void MarkRunOver() {
  std::lock_guard<std::mutex> lock(g_run_end_lock);
  g_run_over = true;
  g_run_ended.notify_all();
}

void FormatDirectoryName(char (&name)[kDirectoryNameSize]) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  std::snprintf(name, sizeof name, kDirectoryNameFormat, now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

// Neither result matters to the recording: a directory that already exists
// is recorded into, and if it cannot be entered the run records where it
// started. Returns whether this run created the directory.
bool EnterDirectory(const char* name) {
  std::error_code ignored;
  bool created = std::filesystem::create_directory(name, ignored);
  std::filesystem::current_path(name, ignored);
  return created;
}

// After a run that recorded nothing: back to where it started, and the
// directory it created is removed again (only if it is still empty).
void LeaveEmptyDirectory(const std::filesystem::path& start, const char* name, bool created) {
  std::error_code ignored;
  std::filesystem::current_path(start, ignored);
  if (created && std::filesystem::is_empty(name, ignored)) std::filesystem::remove(name, ignored);
}

}  // namespace

int32_t FrameCap(int32_t fps) { return fps * kCapSeconds; }

void RunFrameLoop(Recorder* recorder, int32_t cap) {
  while (!g_stop_requested.load() && recorder->total_frames < cap) {
    if (RecorderTick(recorder) != 0) break;
  }
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  g_stop_requested = true;
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    std::unique_lock<std::mutex> lock(g_run_end_lock);
    g_run_ended.wait_for(lock, kCloseEventWait, [] { return g_run_over; });
  }
  return TRUE;
}

bool StopRequested() { return g_stop_requested.load(); }

void ResetStopRequest() {
  g_stop_requested = false;
  std::lock_guard<std::mutex> lock(g_run_end_lock);
  g_run_over = false;
}

int RunRecording(int32_t fps, int32_t slotsecs, int32_t withmouse, int32_t totalcapture) {
  // A stop from outside ends the frame loop; the teardown below still runs.
  // (A program started with Ctrl-C ignored takes it again first.)
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  WatchSessionEnd(OnConsoleControl);

  // 1. Record only with processor time nothing else wants.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);

  // 2. The output directory's name, from the local start time.
  char directory[kDirectoryNameSize];
  FormatDirectoryName(directory);

  // 3. Everything the run writes lands in that directory.
  std::error_code ignored;
  const std::filesystem::path start = std::filesystem::current_path(ignored);
  const bool created = EnterDirectory(directory);

  // 4. The grabber chooses the compressor and settles the frame size.
  ScreenGrabber grabber{};
  if (OpenGrabber(&grabber, withmouse, totalcapture) == nullptr) {
    std::printf("%s", grabber.failure == kGrabberNoCompressor ? cli_text::kNoCompressor
                                                               : cli_text::kNoScreen);
    LeaveEmptyDirectory(start, directory, created);
    MarkRunOver();
    return 1;
  }

  // 5. The first segment is current and the cook thread runs.
  Recorder recorder;
  StartRecorder(&recorder, slotsecs, &grabber, fps);

  // 6. Frames until the cap, or until stopped from outside.
  RunFrameLoop(&recorder, FrameCap(fps));

  // 7. Teardown: the recorder (every segment finalised) before the grabber.
  StopRecorder(&recorder);
  CloseGrabber(&grabber);
  MarkRunOver();
  return 0;
}
