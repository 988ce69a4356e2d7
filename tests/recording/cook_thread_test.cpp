// The recorder's own cook thread on the virtual clock: its pauses, what its
// preparations do to the frame clock, the real start of every segment, and a
// preparation that fails across a boundary.
#include <gtest/gtest.h>

#include <mutex>

#include "recording/segments.h"
#include "tests/fake/fake_platform.h"
#include "tests/recording/recorder_harness.h"

namespace {

using CookThread = RecorderHarness;

// The cook thread's waits, as (when it began, how long at most).
std::vector<std::pair<DWORD, DWORD>> CookPauses() {
  std::vector<std::pair<DWORD, DWORD>> pauses;
  for (const fake::Wait& wait : fake::ReadCounters().waits) {
    if (!wait.leading) pauses.emplace_back(wait.at, wait.ms);
  }
  return pauses;
}

TEST_F(CookThread, PausesFourFifthsOfATimeslotAfterTheWorkOfEachCycle) {
  fake::SetCost(fake::Cost::FileOpen, 30);
  Start(2, 20, 0);
  while (fake::Now() < 5000) Tick();
  // Cycles at 30 (opens 000-02 until 60), 1660 (nothing to do), 3260 (opens
  // 000-04 after the boundary at 2000) and 4890 (000-06).
  EXPECT_EQ(CookPauses(), (std::vector<std::pair<DWORD, DWORD>>{
                              {60, 1600}, {1660, 1600}, {3290, 1600}, {4920, 1600}}));
  EXPECT_EQ(LinesStartingWith(Finish(), "Trying prepare"),
            (std::vector<std::string>{"Trying prepare 000-00.avi", "Trying prepare 000-02.avi",
                                      "Trying prepare 000-04.avi", "Trying prepare 000-06.avi"}));
}

TEST_F(CookThread, APreparationAfterTheShiftGivesTheFirstFrameOfTheSegmentItsTime) {
  // Every grab takes 50 ms; the cook thread gets the processor only at 1020,
  // in the middle of the first grab after the boundary at 1000.
  fake::SetCost(fake::Cost::BitBlt, 50);
  Start(1, 10, 0);
  fake::StarveFollowers(1020);
  TickUntilShifts(1);
  Tick();
  Tick();
  std::vector<std::string> log = Finish();
  EXPECT_NE(std::find(log.begin(), log.end(), " CookStreams! 0 1020"), log.end());
  // The frame line is written after the grab, with the clock reading the
  // preparation stored; the next frame is due an interval after it.
  std::vector<std::string> lines = SplitLines(ReadFile("000-01.meta"));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[2], "<frame time=\"1020\" x=\"0\" y=\"0\"/>\r");
  EXPECT_EQ(lines[3], "<frame time=\"1120\" x=\"0\" y=\"0\"/>\r");
}

TEST_F(CookThread, EveryShiftIsStampedWithTheRealStartOfItsSegment) {
  // Opening the first segment takes 30 ms before it is shifted in.
  fake::SetCost(fake::Cost::FileOpen, 30);
  Start(1, 10, 500);
  EXPECT_EQ(recorder.current.start_ms, 30u);
  while (fake::Now() < 1430) Tick();
  // A long frame across the boundary at 1500: the next segment starts late.
  fake::SetCost(fake::Cost::StreamWrite, 150);
  Tick();
  fake::SetCost(fake::Cost::StreamWrite, 0);
  TickUntilShifts(1);
  std::vector<std::string> log = Finish();
  EXPECT_EQ(LinesStartingWith(log, " ShiftAVI!"),
            (std::vector<std::string>{" ShiftAVI! startTime= 30", " ShiftAVI! startTime= 1080",
                                      " ShiftAVI! startTime= 2000"}));
  std::vector<std::string> ends = LinesStartingWith(log, " curAvi");
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0].rfind(" curAvi: frameCount= 10 startTime= 30 ", 0), 0u) << ends[0];
  EXPECT_EQ(ends[1].rfind(" curAvi: frameCount= 10 startTime= 1080 ", 0), 0u) << ends[1];
  // The files keep the names of their planned timeslots.
  EXPECT_EQ(FrameLines("000-01.meta"), 10);
}

TEST_F(CookThread, AFailedPreparationIsShiftedInAtTheBoundaryAndRetiredBeforeItsRetry) {
  Start(1, 10, 0);
  // The cycle at 1600 cannot open timeslot 2; the retry at 2400 opens 3.
  fake::FailAvi(fake::AviOp::FileOpen, AVIERR_FILEOPEN);
  while (fake::Now() < 2000) Tick();
  // The boundary shifted the failed preparation in: no segment, the
  // timeslot's end, the real start.
  EXPECT_EQ(recorder.current.slot_index, -1);
  EXPECT_EQ(recorder.current.compressed_stream, nullptr);
  EXPECT_EQ(recorder.current.start_ms, 2000u);
  EXPECT_EQ(recorder.current.end_tick, 3000u);

  // The next tick finds it unusable and shifts it on into retiring; the
  // segment it displaces there waits for the cook thread.
  Tick();
  {
    std::lock_guard<std::mutex> lock(recorder.hand_over_lock);
    EXPECT_EQ(recorder.retiring.start_ms, 2000u);
    EXPECT_FALSE(SlotHoldsSegment(recorder.retiring));
    ASSERT_EQ(recorder.retired_backlog.size(), 1u);
    EXPECT_EQ(recorder.retired_backlog[0].slot_index, 1);
  }
  EXPECT_FALSE(fake::ReadCounters().avi_files[1].complete);  // 000-01

  // The retry prepares timeslot 3 and finalises 000-01.
  while (fake::Now() < 2400) Tick();
  {
    std::lock_guard<std::mutex> lock(recorder.hand_over_lock);
    EXPECT_TRUE(recorder.retired_backlog.empty());
  }
  EXPECT_TRUE(fake::ReadCounters().avi_files[1].complete);
  std::string meta = ReadFile("000-01.meta");
  EXPECT_EQ(meta.substr(meta.size() - 13), "\r\n</frames>\r\n");
  Tick();
  EXPECT_EQ(recorder.current.slot_index, 3);

  std::vector<std::string> log = Finish();
  // Failed at 1600, shifted in at 2000, shifted on at 2100, retried at 2400.
  auto from = log.begin();
  for (const char* line :
       {"Trying prepare 000-02.avi", " AVIFileOpen failed! -2147205009",
        " CookStreams! -2147205009 1600", " Kernel Panic! ", " ShiftAVI! startTime= 2000",
        " curAvi: frameCount= 0 startTime= 2000 sleep= 10", " ShiftAVI! startTime= 2100",
        "Trying prepare 000-03.avi", " CookStreams! 0 2400"}) {
    from = std::find(from, log.end(), line);
    EXPECT_NE(from, log.end()) << "not in order: " << line;
  }
  EXPECT_EQ(RecorderLossesSoFar(&recorder).unprepared_segments, 1);
}

}  // namespace
