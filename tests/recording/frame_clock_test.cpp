// The frame clock on the virtual clock: sleeps, log lines, boundaries,
// timer wrap, long ticks, and what a faulting or failing write leaves.
#include <gtest/gtest.h>

#include "formats/run_account.h"
#include "recording/segments.h"
#include "tests/fake/fake_platform.h"
#include "tests/recording/recorder_harness.h"

namespace {

using FrameClock = RecorderHarness;

TEST_F(FrameClock, TicksSleepUntilTheNextFrameAndLogTheirFigures) {
  fake::SetCost(fake::Cost::StreamWrite, 10);
  Start(2, 20, 1000);
  Tick();
  Tick();
  std::vector<std::string> log = TakeLog();
  std::vector<std::string> expected{
      "Trying prepare 000-00.avi",
      " ShiftAVI! startTime= 0",
      "Trying prepare 000-02.avi",
      " CookStreams! 0 1000",
      // Frame written at 1000, done at 1010: 40 ms left of the 50 ms interval.
      " sleepMS = 40 sleep1= 40 sleep2= 1990",
      " sleepMS = 40 sleep1= 40 sleep2= 1940",
  };
  EXPECT_EQ(log, expected);
  EXPECT_EQ(recorder.frame_interval_ms, 50);
  EXPECT_EQ(recorder.current.frames, 2);
  EXPECT_EQ(recorder.total_frames, 2);
  EXPECT_EQ(recorder.current.sleep_ms, 80u);
  EXPECT_EQ(recorder.last_tick.load(), 1100u);
}

TEST_F(FrameClock, IntervalIsTruncatedAndVanishesAboveAThousandFramesASecond) {
  for (auto [fps, interval] : {std::pair{30, 33}, {7, 142}, {1000, 1}, {1001, 0}, {5965, 0}}) {
    Recorder r;
    ScreenGrabber g{};
    fake::Reset();
    ASSERT_NE(OpenGrabber(&g, 0, 0), nullptr);
    InitRecorder(&r, 2, &g, fps);
    EXPECT_EQ(r.frame_interval_ms, interval) << fps;
    FinishRecorder(&r);
    CloseGrabber(&g);
  }
  Start(2, 2000, 500);
  for (int i = 0; i < 5; ++i) RecorderTick(&recorder);
  EXPECT_TRUE(fake::ReadCounters().sleeps.empty());
  EXPECT_EQ(recorder.current.frames, 5);
  std::vector<std::string> sleeps = LinesStartingWith(TakeLog(), " sleepMS");
  ASSERT_EQ(sleeps.size(), 5u);
  EXPECT_EQ(sleeps[0], " sleepMS = 0 sleep1= 0 sleep2= 2000");
}

TEST_F(FrameClock, ReportsTheSleepingShareOfAnEndingSegment) {
  // One frame a second, each taking 250 ms: 750 ms asleep per frame, so
  // 1500 of the 2000 ms timeslot.
  fake::SetCost(fake::Cost::StreamWrite, 250);
  Start(2, 1, 0);
  TickUntilShifts(1);
  std::vector<std::string> ends = LinesStartingWith(TakeLog(), " curAvi");
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0], " curAvi: frameCount= 2 startTime= 0 sleep= 75");
}

TEST_F(FrameClock, ShiftsInTheFirstTickThatEndsAtTheTimeslotEnd) {
  Start(1, 10, 5000);
  TickUntilShifts(3);
  std::vector<std::string> log = Finish();
  // The tick never sleeps past the end of the timeslot, so every shift
  // falls exactly on a boundary and each segment got ten frames.
  EXPECT_EQ(LinesStartingWith(log, " ShiftAVI!"),
            (std::vector<std::string>{" ShiftAVI! startTime= 0", " ShiftAVI! startTime= 1000",
                                      " ShiftAVI! startTime= 2000", " ShiftAVI! startTime= 3000"}));
  EXPECT_EQ(LinesStartingWith(log, " curAvi"),
            (std::vector<std::string>{" curAvi: frameCount= 10 startTime= 0 sleep= 100",
                                      " curAvi: frameCount= 10 startTime= 1000 sleep= 100",
                                      " curAvi: frameCount= 10 startTime= 2000 sleep= 100"}));
  for (const char* name : {"000-00.meta", "000-01.meta", "000-02.meta"}) {
    EXPECT_EQ(FrameLines(name), 10) << name;
  }
}

TEST_F(FrameClock, FrameLinesCarryThePreviousTickEndAndTheCursor) {
  fake::FakeCursor cursor;
  cursor.x = 30;
  cursor.y = 20;
  cursor.hotspot_x = 4;
  cursor.hotspot_y = 6;
  fake::SetCursor(cursor);
  fake::SetCost(fake::Cost::StreamWrite, 5);
  Start(1, 10, 1000);
  Tick();
  Tick();
  Finish();
  EXPECT_EQ(ReadFile("000-00.meta"),
            "<?xml version=\"1.0\"?>\r\n<frames>\r\n"
            "<frame time=\"1000\" x=\"26\" y=\"14\"/>\r\n"
            "<frame time=\"1100\" x=\"26\" y=\"14\"/>\r\n"
            "\r\n</frames>\r\n");
}

TEST_F(FrameClock, TheTimerWrapsWithoutDisturbingTheClock) {
  Start(1, 10, 0xFFFFF830u);  // 2000 ms before the wrap
  TickUntilShifts(4);
  std::vector<std::string> log = Finish();
  EXPECT_EQ(LinesStartingWith(log, " curAvi"),
            (std::vector<std::string>{" curAvi: frameCount= 10 startTime= 0 sleep= 100",
                                      " curAvi: frameCount= 10 startTime= 1000 sleep= 100",
                                      " curAvi: frameCount= 10 startTime= 2000 sleep= 100",
                                      " curAvi: frameCount= 10 startTime= 3000 sleep= 100"}));
  // Readings past 2^31 print as negative times.
  std::string first = ReadFile("000-00.meta");
  EXPECT_NE(first.find("<frame time=\"-2000\""), std::string::npos);
  std::string third = ReadFile("000-02.meta");
  EXPECT_NE(third.find("<frame time=\"0\""), std::string::npos);
}

TEST_F(FrameClock, ABoundaryMissedBySeveralTimeslotsShiftsUntilATimelySegment) {
  Start(1, 10, 0);
  Tick();
  fake::SetCost(fake::Cost::StreamWrite, 3500);  // one very long frame
  Tick();
  fake::SetCost(fake::Cost::StreamWrite, 0);
  std::vector<std::string> log = TakeLog();
  EXPECT_EQ(LinesStartingWith(log, " curAvi").back(),
            " curAvi: frameCount= 2 startTime= 0 sleep= 10");
  // The segment prepared for timeslot 1 is over as well: one frame, no
  // sleep, and the next shift follows at once.
  Tick();
  log = TakeLog();
  EXPECT_EQ(LinesStartingWith(log, " curAvi").back(),
            " curAvi: frameCount= 1 startTime= 3600 sleep= 0");
  std::string last_sleep = LinesStartingWith(log, " sleepMS").back();
  EXPECT_EQ(last_sleep.rfind(" sleepMS = -", 0), 0u) << last_sleep;
}

// A night's suspend: the timer counts on through it (as Windows' does), so
// the recorder meets an eight-hour gap between two ticks. It behaves as
// after any stall: the segments prepared before it each take at most the
// one frame a stale segment gets, no burst of shifts follows, and the
// timeslot after the wake-up is taken up, named after itself, its frame
// times showing the gap.
TEST_F(FrameClock, AnEightHourSleepIsAGapWithoutABurst) {
  constexpr long kNight = 8L * 3600L * 1000L;
  Start(2, 10, 0);
  TickUntilShifts(1);
  // Nothing runs while the machine sleeps: the clock jumps, and every
  // thread's wait is over at once.
  fake::SetNow(fake::Now() + static_cast<DWORD>(kNight));
  const int shifts_before = shifts;
  for (int i = 0; i < 40; ++i) Tick();
  Finish();
  EXPECT_LE(shifts - shifts_before, 4) << "a burst of shifts after the gap";
  EXPECT_LE(FrameLines("000-02.meta"), 1 + 20);
  // 480 minutes and 4 seconds: the first timeslot wholly after the gap.
  const std::string meta = ReadFile("480-04.meta");
  EXPECT_GT(FrameLines("480-04.meta"), 5);
  const std::size_t at = meta.find("<frame time=\"");
  ASSERT_NE(at, std::string::npos) << meta;
  const long first = std::stol(meta.substr(at + 13));
  EXPECT_GE(first, kNight);
  EXPECT_LT(first, kNight + 4000);
}

// A locked workstation: the screen copy fails for a while. The frame clock
// goes on and the frames are written (lines equal frames), counted apart,
// said once when it begins and once when it ends, with the local time; it
// is no loss of the run.
TEST_F(FrameClock, AnUnreadableScreenIsSaidCountedAndNoLoss) {
  fake::SetLocalTime(SYSTEMTIME{2026, 12, 3, 9, 22, 5, 7, 0});
  ::testing::internal::CaptureStderr();
  Start(2, 10, 0);
  for (int i = 0; i < 3; ++i) Tick();
  fake::FakeScreen locked;
  locked.copy_fails = true;
  fake::SetScreen(locked);
  for (int i = 0; i < 4; ++i) Tick();
  fake::SetScreen(fake::FakeScreen{});
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_EQ(SplitLines(::testing::internal::GetCapturedStderr()),
            (std::vector<std::string>{
                "slotrec: 2026-12-09 22:05:07: the screen cannot be read (the workstation locked, "
                "or another desktop or session in front); the frames go on with what it last "
                "showed",
                "slotrec: 2026-12-09 22:05:07: the screen can be read again, after 4 frames"}));
  EXPECT_EQ(recorder.total_frames, 10);
  RecorderLosses losses = RecorderLossesSoFar(&recorder);
  EXPECT_EQ(losses.unreadable_frames, 4);
  RunAccount account;
  account.losses = losses;
  EXPECT_EQ(RunAccountExitStatus(account), 0);
  Finish();
  EXPECT_EQ(FrameLines("000-00.meta"), 10);
}

TEST_F(FrameClock, AFaultInTheWriteIsReportedAndNotCounted) {
  fake::ThrowOnWrite(1);
  Start(1, 10, 0);
  Tick();
  Tick();
  Tick();
  std::vector<std::string> log = Finish();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Exception in AVIStreamWrite!"), 1);
  // The frame after the fault goes to the same position.
  EXPECT_EQ(fake::ReadCounters().avi_files[0].stream.positions, (std::vector<LONG>{0, 1}));
  EXPECT_EQ(FrameLines("000-00.meta"), 2);
  EXPECT_EQ(recorder.total_frames, 2);
}

TEST_F(FrameClock, AFailedWriteIsLoggedCountedAsLostAndTheNextFrameTakesItsPosition) {
  fake::FailAvi(fake::AviOp::Write, AVIERR_COMPRESSOR, 1);
  Start(1, 10, 0);
  Tick();
  Tick();
  Tick();
  EXPECT_EQ(RecorderLossesSoFar(&recorder).failed_writes, 1);
  EXPECT_EQ(RecorderLossesSoFar(&recorder).closed_segments, 0);
  std::vector<std::string> log = Finish();
  EXPECT_EQ(LinesStartingWith(log, " AVIStreamWrite failed!"),
            (std::vector<std::string>{" AVIStreamWrite failed! -2147205008"}));
  EXPECT_EQ(fake::ReadCounters().avi_files[0].stream.positions, (std::vector<LONG>{0, 1}));
  EXPECT_EQ(FrameLines("000-00.meta"), 2);
}

TEST_F(FrameClock, AFileThatTakesNoMoreClosesItsSegmentUntilTheTimeslotEnds) {
  fake::FailAvi(fake::AviOp::Write, AVIERR_FILEWRITE, 3);
  ::testing::internal::CaptureStderr();
  Start(1, 10, 0);
  for (int i = 0; i < 5; ++i) Tick();
  // The segment is finalised by the next cook cycle with the frames its file
  // holds; current keeps the timeslot, without a stream.
  EXPECT_EQ(recorder.current.slot_index, 0);
  EXPECT_EQ(recorder.current.compressed_stream, nullptr);
  fake::PassTime(800 - fake::Now());  // to the next cook cycle
  EXPECT_TRUE(fake::ReadCounters().avi_files[0].complete);
  std::string meta = ReadFile("000-00.meta");
  EXPECT_EQ(FrameLines("000-00.meta"), 3);
  EXPECT_EQ(meta.substr(meta.size() - 13), "\r\n</frames>\r\n");
  // The next timeslot records as usual.
  TickUntilShifts(2);
  EXPECT_GT(FrameLines("000-01.meta"), 5);
  EXPECT_EQ(SplitLines(::testing::internal::GetCapturedStderr()),
            (std::vector<std::string>{"slotrec: 000-00.avi: a frame could not be written (code "
                                      "-2147205010); the segment is closed and the rest of its "
                                      "timeslot is not recorded"}));
  RecorderLosses losses = RecorderLossesSoFar(&recorder);
  EXPECT_EQ(losses.failed_writes, 1);
  EXPECT_EQ(losses.closed_segments, 1);
  EXPECT_GE(losses.no_segment_ms, 500u);
  Finish();
  EXPECT_EQ(fake::ReadCounters().avi_files[0].stream.positions.size(), 3u);
}

TEST_F(FrameClock, WithoutASegmentTheTickWaitsForTheNextFrameOrTheCookNeverSpinning) {
  Start(1, 10, 0);
  // The cook thread gets no processor time until 3037: after timeslot 1, no
  // segment is prepared for a while.
  fake::StarveFollowers(3037);
  while (fake::Now() < 3000) Tick();
  EXPECT_EQ(recorder.current.slot_index, -1);
  std::vector<std::string> log = TakeLog();
  // At most one tick, and so one shift, per frame interval.
  EXPECT_LE(LinesStartingWith(log, " ShiftAVI!").size(), 22u);
  EXPECT_LE(LinesStartingWith(log, " sleepMS").size(), 31u);
  // A segment installed while the tick waits is shifted in at once.
  Tick();
  EXPECT_EQ(recorder.current.slot_index, 4);
  EXPECT_EQ(fake::Now(), 3037u);
  EXPECT_GE(RecorderLossesSoFar(&recorder).no_segment_ms, 900u);  // timeslot 2
}

TEST_F(FrameClock, WithoutACompressedStreamTheTickOnlySleepsAndShifts) {
  fake::FailAvi(fake::AviOp::FileOpen, AVIERR_FILEOPEN);  // timeslot 0 fails
  Start(1, 10, 0);
  std::vector<std::string> log = TakeLog();
  EXPECT_EQ(log[1], " AVIFileOpen failed! -2147205009");
  EXPECT_EQ(recorder.current.slot_index, -1);
  int grabs = fake::ReadCounters().screen_calls.bitblt;
  // The empty slot counts as ended: the next tick shifts the segment the
  // cook thread prepared for timeslot 1 in at once, without a frame.
  Tick();
  EXPECT_EQ(fake::ReadCounters().screen_calls.bitblt, grabs);
  EXPECT_EQ(recorder.current.slot_index, 1);
  EXPECT_EQ(recorder.total_frames, 0);
}

}  // namespace
