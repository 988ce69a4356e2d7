#include "tests/recording/recorder_harness.h"

#include <fstream>
#include <iostream>
#include <sstream>

#include "recording/segments.h"

namespace {

// The harness captures standard output, where GoogleTest also reports
// failures; this repeats every failure on standard error so none is lost.
class FailuresToStderr : public ::testing::EmptyTestEventListener {
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (result.failed()) {
      std::fprintf(stderr, "%s:%d: Failure\n%s\n", result.file_name() ? result.file_name() : "?",
                   result.line_number(), result.summary());
    }
  }
};

const bool kFailureEchoInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FailuresToStderr);
  return true;
}();

}  // namespace

void RecorderHarness::SetUp() {
  fake::Reset();
  old_directory_ = std::filesystem::current_path();
  scratch_ = std::filesystem::temp_directory_path() /
             ("slotrec-recorder-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(scratch_);
  std::filesystem::create_directories(scratch_);
  std::filesystem::current_path(scratch_);
  fake::FakeScreen screen;
  screen.primary_width = screen.virtual_width = 64;
  screen.primary_height = screen.virtual_height = 48;
  fake::SetScreen(screen);
}

void RecorderHarness::TearDown() {
  if (started_ && !finished_) Finish();
  CloseGrabber(&grabber);
  std::filesystem::current_path(old_directory_);
  std::filesystem::remove_all(scratch_);
}

void RecorderHarness::Start(int32_t slotsecs, int32_t fps, DWORD start) {
  ASSERT_NE(OpenGrabber(&grabber, 1, 0), nullptr);
  fake::SetNow(start);
  ::testing::internal::CaptureStdout();
  capturing_ = true;
  started_ = true;
  InitRecorder(&recorder, slotsecs, &grabber, fps);
  // The cook thread starts right after the first segment is current.
  next_cook = fake::Now();
  fake::SetSleepHook([this](DWORD, DWORD to) { RunDueCookCycles(to); });
  RunDueCookCycles(fake::Now());
}

void RecorderHarness::RunDueCookCycles(DWORD until) {
  while (cook_running && static_cast<int32_t>(next_cook - until) <= 0) {
    // A cycle that fell due while the main thread was busy (not asleep)
    // runs now, as a cook thread at idle priority would.
    if (static_cast<int32_t>(next_cook - fake::Now()) > 0) fake::SetNow(next_cook);
    CookCycle(&recorder);
    next_cook = fake::Now() + CookSleepMs(recorder.slot_ms);
  }
}

void RecorderHarness::Tick() {
  DWORD before = fake::Now();
  // Every shift stamps the new current segment with its real start, and no
  // two shifts fall on the same millisecond here.
  uint32_t previous_start = recorder.current.start_ms;
  RecorderTick(&recorder);
  if (recorder.current.start_ms != previous_start) ++shifts;
  if (fake::Now() == before) fake::SetNow(before + 1);
  RunDueCookCycles(fake::Now());
}

void RecorderHarness::TickUntilShifts(int wanted) {
  int target = shifts + wanted;
  for (int guard = 0; shifts < target && guard < 100000; ++guard) Tick();
  ASSERT_GE(shifts, target);
}

std::vector<std::string> RecorderHarness::TakeLog() {
  if (capturing_) {
    std::cout.flush();
    log_so_far_ += ::testing::internal::GetCapturedStdout();
    ::testing::internal::CaptureStdout();
  }
  return SplitLines(log_so_far_);
}

std::vector<std::string> RecorderHarness::Finish() {
  finished_ = true;
  FinishRecorder(&recorder);
  fake::SetSleepHook(nullptr);
  std::cout.flush();
  if (capturing_) {
    log_so_far_ += ::testing::internal::GetCapturedStdout();
    capturing_ = false;
  }
  return SplitLines(log_so_far_);
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

int FrameLines(const std::string& meta_name) {
  std::string text = ReadFile(meta_name);
  int count = 0;
  for (size_t at = text.find("<frame "); at != std::string::npos; at = text.find("<frame ", at + 1)) {
    ++count;
  }
  return count;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& log,
                                           const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& line : log) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  }
  return out;
}
