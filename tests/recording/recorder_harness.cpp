#include "tests/recording/recorder_harness.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

// Scratch directories are named after the process that made them, so that a
// test process that crashed (and so never removed its own) has them removed by
// the next one.
ScratchDirectory::ScratchDirectory(const std::string& prefix) {
  std::filesystem::path temp = std::filesystem::temp_directory_path();
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(temp, error)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    pid_t owner = static_cast<pid_t>(std::strtol(name.c_str() + prefix.size(), nullptr, 10));
    if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) {
      std::filesystem::remove_all(entry.path(), error);
    }
  }
  std::string pattern =
      (temp / (prefix + std::to_string(getpid()) + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void RecorderHarness::SetUp() {
  fake::Reset();
  old_directory_ = std::filesystem::current_path();
  scratch_ = std::make_unique<ScratchDirectory>("slotrec-recorder-");
  ASSERT_FALSE(scratch_->path().empty());
  std::filesystem::current_path(scratch_->path());
  fake::FakeScreen screen;
  screen.primary_width = screen.virtual_width = 64;
  screen.primary_height = screen.virtual_height = 48;
  fake::SetScreen(screen);
}

void RecorderHarness::TearDown() {
  if (started_ && !finished_) Finish();
  CloseGrabber(&grabber);
  EXPECT_EQ(fake::ReadCounters().refused, std::vector<std::string>{});
  std::filesystem::current_path(old_directory_);
  scratch_.reset();
}

void RecorderHarness::Start(int32_t slotsecs, int32_t fps, DWORD start, Cook cook) {
  ASSERT_NE(OpenGrabber(&grabber, 1, 0), nullptr);
  fake::SetNow(start);
  ::testing::internal::CaptureStdout();
  capturing_ = true;
  started_ = true;
  if (cook == Cook::kByHand) {
    InitRecorder(&recorder, slotsecs, &grabber, fps);
    return;
  }
  StartRecorder(&recorder, slotsecs, &grabber, fps);
  cook_thread_ = true;
  fake::AwaitFollowers(1);
}

void RecorderHarness::Tick() {
  DWORD before = fake::Now();
  // Every shift stamps the new current segment with its real start, and no
  // two shifts fall on the same millisecond here.
  uint32_t previous_start = recorder.current.start_ms;
  RecorderTick(&recorder);
  if (recorder.current.start_ms != previous_start) ++shifts;
  if (fake::Now() == before) fake::PassTime(1);
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
  if (cook_thread_) {
    EXPECT_TRUE(StopRecorder(&recorder));
  } else {
    FinishRecorder(&recorder);
  }
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
