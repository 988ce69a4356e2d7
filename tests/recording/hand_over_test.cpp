// The hand-over between the main thread and the cook thread, with real
// threads on the fake platform and its real clock. Runs under
// ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "recording/segments.h"
#include "tests/fake/fake_platform.h"
#include "tests/recording/recorder_harness.h"
#include "tests/support/text_shape.h"

namespace {

using HandOver = RecorderHarness;

bool IsLogLine(const std::string& line) {
  for (const char* shape : {" sleepMS = # sleep1= # sleep2= #",
                            " curAvi: frameCount= # startTime= # sleep= ~",
                            " ShiftAVI! startTime= #", "Trying prepare #-99.avi",
                            " CookStreams! # #", " Kernel Panic! "}) {
    if (testsupport::HasShape(line, shape)) return true;
  }
  return false;
}

TEST_F(HandOver, ShiftsDuringSlowCookWorkLoseNothingAndFinaliseEverySegmentOnce) {
  // Preparing and completing a segment take long enough that shifts land
  // in the middle of them; the timer wraps during the run.
  fake::UseRealClock(0xFFFFF800u);
  fake::SetCost(fake::Cost::FileOpen, 120);
  fake::SetCost(fake::Cost::FileRelease, 120);
  ASSERT_NE(OpenGrabber(&grabber, 1, 0), nullptr);
  ::testing::internal::CaptureStdout();
  StartRecorder(&recorder, 1, &grabber, 40);

  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3500);
  int ticks = 0;
  while (std::chrono::steady_clock::now() < end) {
    RecorderTick(&recorder);
    // Now and then shift early, while the cook thread may be working.
    if (++ticks % 9 == 0) {
      bool prepared;
      {
        std::lock_guard<std::mutex> lock(recorder.hand_over_lock);
        prepared = recorder.pending.slot_index >= 0;
      }
      if (prepared) ShiftAVI(&recorder);
    }
  }
  StopRecorder(&recorder);
  std::string output = ::testing::internal::GetCapturedStdout();

  for (const std::string& line : SplitLines(output)) {
    EXPECT_TRUE(IsLogLine(line)) << "garbled line: " << line;
  }
  // Every preparation succeeded: a segment shifted out of pending while the
  // cook thread was still finalising is no failure.
  EXPECT_EQ(output.find(" Kernel Panic! "), std::string::npos);
  fake::Counters counted = fake::ReadCounters();
  EXPECT_EQ(counted.open_avi_handles, 0);
  const std::vector<fake::FakeAviFileInfo>& files = counted.avi_files;
  EXPECT_GE(files.size(), 4u);
  int frames = 0;
  for (const fake::FakeAviFileInfo& file : files) {
    EXPECT_TRUE(file.complete) << file.name;
    std::string meta = file.name.substr(0, file.name.size() - 4) + ".meta";
    std::string bytes = ReadFile(meta);
    size_t positions = file.stream.positions.size();
    EXPECT_EQ(FrameLines(meta), static_cast<int>(positions)) << meta;
    for (size_t i = 0; i < positions; ++i) EXPECT_EQ(file.stream.positions[i], static_cast<LONG>(i));
    EXPECT_EQ(bytes.find("</frames>"), bytes.size() - 11) << meta;  // exactly one footer, at the end
    frames += static_cast<int>(positions);
  }
  EXPECT_EQ(frames, recorder.total_frames);
  EXPECT_GT(frames, 40);
}

}  // namespace

// Runs last: the cook thread it leaves behind sleeps on past the test, so
// the recorder and grabber it uses are never freed.
TEST(StuckCookThread, AStopEndsWithinSecondsAndFinalisesEverySegmentNotInItsHands) {
  fake::Reset();
  fake::UseRealClock(0);
  std::filesystem::path old_directory = std::filesystem::current_path();
  ScratchDirectory scratch("slotrec-recorder-");
  std::filesystem::current_path(scratch.path());
  auto* grabber = new ScreenGrabber{};
  auto* recorder = new Recorder;
  ASSERT_NE(OpenGrabber(grabber, 1, 0), nullptr);
  ::testing::internal::CaptureStdout();
  StartRecorder(recorder, 1, grabber, 20);
  // Once timeslot 1 is prepared, every further file open hangs, as on a
  // dead network file system.
  auto prepared = [recorder] {
    std::lock_guard<std::mutex> lock(recorder->hand_over_lock);
    return recorder->pending.slot_index >= 0;
  };
  while (!prepared()) RecorderTick(recorder);
  fake::SetCost(fake::Cost::FileOpen, 600000);
  RecorderTick(recorder);
  ShiftAVI(recorder);  // 000-00 retires, 000-01 current; the next cycle hangs
  auto hang = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (std::chrono::steady_clock::now() < hang) RecorderTick(recorder);

  ::testing::internal::CaptureStderr();
  auto stop = std::chrono::steady_clock::now();
  EXPECT_FALSE(StopRecorder(recorder));
  EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(5));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(SplitLines(::testing::internal::GetCapturedStderr()),
            (std::vector<std::string>{"slotrec: the segment thread did not finish within 3 s; the "
                                      "segments in its hands are left unfinished"}));
  fake::Counters counted = fake::ReadCounters();
  EXPECT_EQ(counted.open_avi_handles, 0);
  for (const fake::FakeAviFileInfo& file : counted.avi_files) {
    EXPECT_TRUE(file.complete) << file.name;
    std::string meta = file.name.substr(0, file.name.size() - 4) + ".meta";
    EXPECT_EQ(FrameLines(meta), static_cast<int>(file.stream.positions.size())) << meta;
  }
  EXPECT_EQ(counted.avi_files.size(), 2u);
  // Out of the scratch directory before it goes; the thread left behind stays
  // in its ten-minute open until the process ends.
  std::filesystem::current_path(old_directory);
}
