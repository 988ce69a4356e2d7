// The recording run on the fake platform: what it does when it cannot
// record, the directory it records into, stopping from outside, and the
// frame cap.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "cli/recording_run.h"
#include "recording/segments.h"
#include "tests/fake/fake_platform.h"
#include "tests/recording/recorder_harness.h"

namespace {

namespace fs = std::filesystem;

const char* const kRunDirectory = "2026-12-08-09-05-07-042";  // the fake's local time

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    ResetStopRequest();
    old_ = fs::current_path();
    ASSERT_FALSE(scratch_.path().empty());
    fs::current_path(scratch_.path());
  }
  void TearDown() override { fs::current_path(old_); }

  // Runs RunRecording on a thread of its own, delivers `event` after a
  // moment of recording, and returns the run's result.
  int RecordThenDeliver(DWORD event) {
    fake::UseRealClock(5000);
    int result = -1;
    std::thread run([&] { result = RunRecording(20, 1, 1, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    fake::DeliverConsoleEvent(event);
    handles_when_handler_returned_ = fake::ReadCounters().open_avi_handles;
    run.join();
    return result;
  }

  fs::path old_;
  ScratchDirectory scratch_{"slotrec-run-"};
  int handles_when_handler_returned_ = -1;
};

TEST_F(Run, WithoutACompressorItSaysSoAndLeavesNothingBehind) {
  fake::SetCompressors({});
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RunRecording(20, 2, 1, 0), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ERROR: no video compressor with \"x264vfw\" in its description is installed\n");
  EXPECT_EQ(fs::current_path(), scratch_.path());
  EXPECT_TRUE(fs::is_empty(scratch_.path()));
  EXPECT_TRUE(fake::ReadCounters().avi_files.empty());
}

TEST_F(Run, WithoutAScreenItSaysSoAndLeavesNothingBehind) {
  fake::FakeScreen screen;
  screen.dc_fails = true;
  fake::SetScreen(screen);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RunRecording(20, 2, 1, 0), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "ERROR: cannot open the screen for capture\n");
  EXPECT_TRUE(fs::is_empty(scratch_.path()));
  EXPECT_EQ(fake::ReadCounters().live_screen_objects, 0);
}

TEST_F(Run, AnExistingDirectoryOfTheSameNameIsRecordedIntoAndKept) {
  fs::create_directory(kRunDirectory);
  std::FILE* earlier = std::fopen((fs::path(kRunDirectory) / "earlier.txt").c_str(), "w");
  std::fclose(earlier);
  fake::SetCompressors({});  // a failed run must not remove what it did not make
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RunRecording(20, 2, 1, 0), 1);
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fs::exists(fs::path(kRunDirectory) / "earlier.txt"));

  fake::Reset();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RecordThenDeliver(CTRL_C_EVENT), 0);
  ::testing::internal::GetCapturedStdout();
  // The run stays in its directory.
  EXPECT_EQ(fs::current_path(), scratch_.path() / kRunDirectory);
  EXPECT_TRUE(fs::exists(scratch_.path() / kRunDirectory / "000-00.meta"));
  EXPECT_TRUE(fs::exists(scratch_.path() / kRunDirectory / "earlier.txt"));
  fake::Counters counted = fake::ReadCounters();
  EXPECT_EQ(counted.priority_class, 0u);  // the entry point's business, not the run's
  EXPECT_EQ(counted.thread_priorities.front(), THREAD_PRIORITY_IDLE);
}

TEST_F(Run, InterruptEndsTheRunWithEverySegmentFinalised) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RecordThenDeliver(CTRL_C_EVENT), 0);
  ::testing::internal::GetCapturedStdout();
  fake::Counters counted = fake::ReadCounters();
  EXPECT_EQ(counted.open_avi_handles, 0);
  EXPECT_EQ(counted.avi_exits, counted.avi_inits);
  for (const fake::FakeAviFileInfo& file : counted.avi_files) EXPECT_TRUE(file.complete) << file.name;
}

TEST_F(Run, ACloseEventHandlerReturnsOnlyAfterTheTeardown) {
  // Windows ends the process as soon as such a handler returns.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RecordThenDeliver(CTRL_CLOSE_EVENT), 0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(handles_when_handler_returned_, 0);
  // A second event during or after teardown changes nothing.
  EXPECT_TRUE(fake::DeliverConsoleEvent(CTRL_C_EVENT));
  EXPECT_TRUE(StopRequested());
}

class FrameCapLoop : public RecorderHarness {
 protected:
  void SetUp() override {
    RecorderHarness::SetUp();
    ResetStopRequest();
  }
};

TEST_F(FrameCapLoop, TheCapIsTestedBeforeTheFirstTick) {
  Start(2, 20, 0);
  RunFrameLoop(&recorder, 0);
  EXPECT_EQ(recorder.total_frames, 0);
  EXPECT_TRUE(fake::ReadCounters().sleeps.empty());
  EXPECT_EQ(FrameCap(20), 7200000);
  EXPECT_EQ(FrameCap(5965), 2147400000);
}

TEST_F(FrameCapLoop, OneFrameASecondRunsOneHundredHoursToTheCap) {
  Start(3600, 1, 0xFFF00000u);  // the timer wraps along the way
  RunFrameLoop(&recorder, FrameCap(1));
  EXPECT_EQ(recorder.total_frames, 360000);
  Finish();
  int frames = 0;
  int segments = 0;
  for (const fake::FakeAviFileInfo& file : fake::ReadCounters().avi_files) {
    EXPECT_TRUE(file.complete) << file.name;
    std::string meta = file.name.substr(0, file.name.size() - 4) + ".meta";
    int lines = FrameLines(meta);
    EXPECT_EQ(lines, static_cast<int>(file.stream.positions.size())) << meta;
    frames += lines;
    if (lines > 0) ++segments;
  }
  EXPECT_EQ(frames, 360000);
  EXPECT_EQ(segments, 100);
  // Hour 99 starts at 5940 minutes.
  EXPECT_TRUE(fs::exists("5940-00.avi") || fs::exists("5940-00.meta"));
}

}  // namespace
