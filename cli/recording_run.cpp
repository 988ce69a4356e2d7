// The recording run.
#include "cli/recording_run.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include "capture/screen_grabber.h"
#include "cli/option_table.h"
#include "cli/status_line.h"
#include "formats/run_account.h"
#include "formats/run_names.h"
#include "platform/platform.h"
#include "recording/recorder.h"

namespace {

constexpr std::size_t kDirectoryNameSize = 256;
constexpr int32_t kCapSeconds = 100 * 60 * 60;

// Names tried for the run's directory before giving up: the start time's
// millisecond and the ones after it.
constexpr int kDirectoryNameTries = 100;
constexpr char kWriteProbeName[] = ".slotrec-write-test";
constexpr DWORD kNoEvent = 0xFFFFFFFF;

// Set by the console control handler (its own thread), read by the frame
// loop before every tick; the event that came first is kept for the account.
std::atomic<bool> g_stop_requested{false};
std::atomic<DWORD> g_stop_event{kNoEvent};

// Whether the last run's threads all ended; main thread only.
bool g_threads_ended = true;

// Set by the run when it has torn down; waited for by the platform's
// handler of a request after which the process is ended (CatchStopRequests).
std::mutex g_run_end_lock;
std::condition_variable g_run_ended;
bool g_run_over = false;

void MarkRunOver() {
  std::lock_guard<std::mutex> lock(g_run_end_lock);
  g_run_over = true;
  g_run_ended.notify_all();
}

// Returns once the run has torn down, or after `milliseconds`. The
// platform's console handler thread.
void WaitForRunEnd(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(g_run_end_lock);
  g_run_ended.wait_for(lock, std::chrono::milliseconds(milliseconds), [] { return g_run_over; });
}

// The run directory's name: local date and time to the millisecond.
void FormatDirectoryName(char (&name)[kDirectoryNameSize], const SYSTEMTIME& time) {
  FormatRunName(name, sizeof name, time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
                time.wSecond, time.wMilliseconds);
}

// The local time one millisecond later, as the calendar carries it.
SYSTEMTIME NextMillisecond(const SYSTEMTIME& time) {
  using namespace std::chrono;
  sys_days day{year{time.wYear} / month{time.wMonth} / std::chrono::day{time.wDay}};
  sys_time<milliseconds> moment = day + hours{time.wHour} + minutes{time.wMinute} +
                                  seconds{time.wSecond} + milliseconds{time.wMilliseconds + 1};
  sys_days next_day = floor<days>(moment);
  year_month_day date{next_day};
  hh_mm_ss<milliseconds> clock{moment - next_day};
  SYSTEMTIME next = time;
  next.wYear = static_cast<WORD>(static_cast<int>(date.year()));
  next.wMonth = static_cast<WORD>(static_cast<unsigned>(date.month()));
  next.wDay = static_cast<WORD>(static_cast<unsigned>(date.day()));
  next.wDayOfWeek = static_cast<WORD>(weekday{next_day}.c_encoding());
  next.wHour = static_cast<WORD>(clock.hours().count());
  next.wMinute = static_cast<WORD>(clock.minutes().count());
  next.wSecond = static_cast<WORD>(clock.seconds().count());
  next.wMilliseconds = static_cast<WORD>(clock.subseconds().count());
  return next;
}

// The run's directory: named after the local start time, made in the
// working directory (or found there: an existing one is recorded into), and
// held by this run alone, so that two recorders started in the same
// millisecond never share one.
struct RunDirectory {
  char name[kDirectoryNameSize];
  bool created = false;
  HANDLE hold = nullptr;
};

// Makes (or finds) and holds the directory. When another recorder holds the
// one of this millisecond, the next millisecond's name is taken. Returns
// false, with the reason, when there is nowhere to record.
bool HoldRunDirectory(RunDirectory* directory, std::string* reason) {
  SYSTEMTIME time{};
  GetLocalTime(&time);
  for (int tried = 0; tried < kDirectoryNameTries; ++tried, time = NextMillisecond(time)) {
    FormatDirectoryName(directory->name, time);
    std::error_code error;
    bool created = std::filesystem::create_directory(directory->name, error);
    if (error) {
      // Only something else by that name makes the next name worth a try.
      if (std::filesystem::exists(directory->name)) continue;
      *reason = error.message();
      return false;
    }
    // A directory another recorder made a moment ago may be held by it.
    directory->hold = HoldDirectory(directory->name);
    if (directory->hold == nullptr) continue;
    directory->created = created;
    return true;
  }
  *reason = "every name for the next " + std::to_string(kDirectoryNameTries) + " ms is taken";
  return false;
}

// Whether files can be made in the working directory; `reason` says why not.
bool WorkingDirectoryWritable(std::string* reason) {
  std::FILE* probe = std::fopen(kWriteProbeName, "wb");
  if (probe == nullptr) {
    *reason = std::strerror(errno);
    return false;
  }
  std::fclose(probe);
  std::remove(kWriteProbeName);
  return true;
}

// Enters the held directory and makes sure the run can write there.
bool EnterRunDirectory(const RunDirectory& directory, std::string* reason) {
  std::error_code error;
  std::filesystem::current_path(directory.name, error);
  if (error) {
    *reason = error.message();
    return false;
  }
  return WorkingDirectoryWritable(reason);
}

// After a run that recorded nothing: back to where it started, the hold let
// go (on Windows it keeps the directory from being removed), and the
// directory it made removed again, only if it is still empty.
void LeaveRunDirectory(const std::filesystem::path& start, RunDirectory* directory) {
  std::error_code ignored;
  std::filesystem::current_path(start, ignored);
  ReleaseDirectoryHold(directory->hold);
  directory->hold = nullptr;
  if (directory->created && std::filesystem::is_empty(directory->name, ignored))
    std::filesystem::remove(directory->name, ignored);
}

RunStop StopReason() {
  if (!g_stop_requested.load()) return RunStop::kFrameCap;
  switch (g_stop_event.load()) {
    case CTRL_C_EVENT: return RunStop::kInterrupt;
    case CTRL_BREAK_EVENT: return RunStop::kBreak;
    case CTRL_CLOSE_EVENT: return RunStop::kConsoleClosed;
    case CTRL_LOGOFF_EVENT: return RunStop::kSessionEnded;
    default: return RunStop::kShutdown;
  }
}

// Says on standard error what the run recorded and lost and why it stopped.
// Returns the exit status the account calls for. In the run's directory.
int AccountForRun(const char* directory, Recorder* recorder) {
  RunAccount account;
  account.directory = directory;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(".", error)) {
    std::filesystem::path extension = entry.path().extension();
    if (extension != run_name::kAviExtension && extension != run_name::kMetaExtension) continue;
    if (extension == run_name::kAviExtension) ++account.segments;
    std::uintmax_t size = entry.file_size(error);
    if (!error) account.bytes += size;
  }
  account.frames = recorder->total_frames;
  account.losses = RecorderLossesSoFar(recorder);
  account.incomplete_files = IncompleteAviFiles();
  account.stop = StopReason();
  account.threads_ended = g_threads_ended;
  std::fputs(FormatRunAccount(account).c_str(), stderr);
  return RunAccountExitStatus(account);
}

// Tears the run down exactly once, on every way out of the frame loop (an
// escaping exception included): the recorder, with every segment finalised,
// before the grabber. A cook thread that could not be ended still borrows
// the grabber's compressor record, so the grabber is then left to the end
// of the process.
class RunTeardown {
 public:
  RunTeardown(Recorder* recorder, ScreenGrabber* grabber) : recorder_(recorder), grabber_(grabber) {}
  RunTeardown(const RunTeardown&) = delete;
  RunTeardown& operator=(const RunTeardown&) = delete;
  ~RunTeardown() { Run(); }
  void Run() {
    if (done_) return;
    done_ = true;
    g_threads_ended = StopRecorder(recorder_);
    if (g_threads_ended) CloseGrabber(grabber_);
  }

 private:
  Recorder* recorder_;
  ScreenGrabber* grabber_;
  bool done_ = false;
};

}  // namespace

int32_t FrameCap(int32_t fps) { return fps * kCapSeconds; }

void RunFrameLoop(Recorder* recorder, int32_t cap, StatusLine* status) {
  // Only a stop request or the cap ends the loop. The tick always returns 0,
  // whatever became of its frame: a frame it could not write is counted as
  // lost, and recording goes on.
  while (!g_stop_requested.load() && recorder->total_frames < cap) {
    RecorderTick(recorder);
    if (status != nullptr) status->frames.store(recorder->total_frames, std::memory_order_relaxed);
  }
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  DWORD none = kNoEvent;
  g_stop_event.compare_exchange_strong(none, event);
  g_stop_requested = true;
  return TRUE;
}

bool StopRequested() { return g_stop_requested.load(); }

bool RecordingThreadsEnded() { return g_threads_ended; }

void ResetStopRequest() {
  g_stop_requested = false;
  g_stop_event = kNoEvent;
  std::lock_guard<std::mutex> lock(g_run_end_lock);
  g_run_over = false;
}

int RunRecording(int32_t fps, int32_t slotsecs, int32_t withmouse, int32_t totalcapture) {
  // A stop from outside ends the frame loop; the teardown below still runs,
  // and the process is held for it where the system would end it at once.
  CatchStopRequests(OnConsoleControl, WaitForRunEnd);

  // 1. Record only with processor time nothing else wants.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);

  // 2, 3. The run's directory, named after the local start time, held and
  // entered: everything the run writes lands there.
  std::error_code ignored;
  const std::filesystem::path start = std::filesystem::current_path(ignored);
  RunDirectory directory;
  std::string reason;
  if (!HoldRunDirectory(&directory, &reason) || !EnterRunDirectory(directory, &reason)) {
    std::printf(cli_text::kNoDirectory, directory.name, reason.c_str());
    LeaveRunDirectory(start, &directory);
    MarkRunOver();
    return 1;
  }

  // 4. The grabber chooses the compressor and settles the frame size.
  ScreenGrabber grabber{};
  DescribeScreenCapture(withmouse != 0, totalcapture != 0);
  if (OpenGrabber(&grabber, withmouse, totalcapture) == nullptr) {
    std::printf("%s", grabber.failure == kGrabberNoCompressor ? cli_text::kNoCompressor
                                                               : cli_text::kNoScreen);
    LeaveRunDirectory(start, &directory);
    MarkRunOver();
    return 1;
  }

  // 5. The first segment is current and the cook thread runs.
  Recorder recorder;
  StartRecorder(&recorder, slotsecs, &grabber, fps);
  int status;
  {
    RunTeardown teardown(&recorder, &grabber);
    // 6. Frames until the cap, or until stopped from outside; a person at
    // the terminal sees how it goes.
    StatusLine status_line;
    if (StatusLineWanted()) StartStatusLine(&status_line, &recorder);
    RunFrameLoop(&recorder, FrameCap(fps), &status_line);
    StopStatusLine(&status_line);
    // 7. Teardown: every segment finalised.
    teardown.Run();
    status = AccountForRun(directory.name, &recorder);
  }
  ReleaseDirectoryHold(directory.hold);
  MarkRunOver();
  return status;
}
