// Segment rotation on the virtual clock: preparing, shifting, finalising,
// failures of each step, late cook cycles, and the names and bytes of the
// segment files.
#include <gtest/gtest.h>

#include <filesystem>

#include "recording/segments.h"
#include "tests/fake/fake_platform.h"
#include "tests/recording/recorder_harness.h"

namespace {

using Rotation = RecorderHarness;

const std::string kEmptyMeta = "<?xml version=\"1.0\"?>\r\n<frames>\r\n\r\n</frames>\r\n";

TEST(SegmentNames, ComeFromTheMinutesAndSecondsOfTheStart) {
  char name[32];
  auto named = [&](uint32_t start_ms, const char* format) {
    FormatSegmentName(name, sizeof name, start_ms, format);
    return std::string(name);
  };
  EXPECT_EQ(named(0, "%03d-%02d.avi"), "000-00.avi");
  EXPECT_EQ(named(58999, "%03d-%02d.meta"), "000-58.meta");
  EXPECT_EQ(named(60000, "%03d-%02d.avi"), "001-00.avi");  // timeslot 30 of 2 s
  EXPECT_EQ(named(60000000, "%03d-%02d.avi"), "1000-00.avi");
  EXPECT_EQ(named(0xFFFFFFFFu, "%03d-%02d.avi"), "71582-47.avi");
}

TEST(CookSleep, IsFourFifthsOfTheTimeslotRoundedDown) {
  EXPECT_EQ(CookSleepMs(1000), 800u);
  EXPECT_EQ(CookSleepMs(2000), 1600u);
  EXPECT_EQ(CookSleepMs(3000), 2400u);
  for (int32_t slot_ms : {1001, 1999, 7000, 2147483000}) {
    EXPECT_EQ(CookSleepMs(slot_ms), static_cast<uint32_t>(4LL * slot_ms / 5)) << slot_ms;
  }
}

TEST_F(Rotation, TheFirstSegmentIsTimeslotZeroAndTheCookPreparesTheNext) {
  Start(2, 20, 7000);
  EXPECT_EQ(recorder.current.slot_index, 0);
  EXPECT_EQ(recorder.current.end_tick, 9000u);
  EXPECT_EQ(recorder.pending.slot_index, 1);
  EXPECT_EQ(recorder.pending.start_ms, 2000u);
  EXPECT_EQ(recorder.pending.end_tick, 11000u);
  // Both .meta files exist with their header; streams are set up as the
  // recorder describes them.
  EXPECT_EQ(ReadFile("000-00.meta"), "<?xml version=\"1.0\"?>\r\n<frames>\r\n");
  EXPECT_EQ(ReadFile("000-02.meta").size(), 33u);
  fake::FakeAviFileInfo first = fake::ReadCounters().avi_files[0];
  EXPECT_EQ(first.name, "000-00.avi");
  EXPECT_EQ(first.stream.info.fccType, streamtypeVIDEO);
  EXPECT_EQ(first.stream.info.dwScale, 1u);
  EXPECT_EQ(first.stream.info.dwRate, 20u);
  EXPECT_EQ(first.stream.info.dwSuggestedBufferSize, 64u * 3 * 48);
  EXPECT_EQ(first.stream.info.rcFrame.right, 64);
  EXPECT_EQ(first.stream.info.rcFrame.bottom, 48);
  EXPECT_EQ(first.stream.options.fccHandler, mmioFOURCC('x', '2', '6', '4'));
  EXPECT_EQ(first.stream.options.dwKeyFrameEvery, 100u);
  EXPECT_EQ(first.stream.options.dwFlags, static_cast<DWORD>(AVICOMPRESSF_KEYFRAMES));
  EXPECT_EQ(first.stream.format.biBitCount, 24);
  EXPECT_EQ(first.stream.format.biSizeImage, 64u * 3 * 48);
}

TEST_F(Rotation, ACycleWithNothingToDoOnlyLogs) {
  Start(2, 20, 7000, Cook::kByHand);
  CookCycle(&recorder);  // prepares 000-02
  fake::SetNow(7500);
  CookCycle(&recorder);
  std::vector<std::string> log = TakeLog();
  EXPECT_EQ(log.back(), " CookStreams! 0 7000");  // last_tick untouched
  EXPECT_EQ(LinesStartingWith(log, "Trying prepare").size(), 2u);
}

struct PrepareFailure {
  const char* name;
  void (*script)();
  std::string code;                // the failing call's result
  std::vector<std::string> lines;  // logged by the failing cycle
};

std::ostream& operator<<(std::ostream& out, const PrepareFailure& c) { return out << c.name; }

class FailedPrepare : public RecorderHarness,
                      public ::testing::WithParamInterface<PrepareFailure> {};

TEST_P(FailedPrepare, IsLoggedRemovesWhatItMadeAndIsRetriedNextCycle) {
  const PrepareFailure& c = GetParam();
  Start(1, 10, 0, Cook::kByHand);
  c.script();
  size_t logged = TakeLog().size();
  ::testing::internal::CaptureStderr();
  CookCycle(&recorder);
  std::vector<std::string> log = TakeLog();
  EXPECT_EQ(std::vector<std::string>(log.begin() + logged, log.end()), c.lines);
  // Nothing of the attempt is left: no handle, no file of its own.
  EXPECT_EQ(recorder.pending.slot_index, -1);
  EXPECT_EQ(recorder.pending.start_ms, 1000u);
  EXPECT_FALSE(SlotHoldsSegment(recorder.pending));
  EXPECT_EQ(fake::ReadCounters().open_avi_handles, 3);  // the current segment's
  EXPECT_FALSE(std::filesystem::exists("000-01.avi"));
  EXPECT_TRUE(!std::filesystem::is_regular_file("000-01.meta"));

  // The retry succeeds and the run of failures ends; both are said once on
  // standard error.
  std::filesystem::remove("000-01.meta");
  fake::SetNow(800);
  CookCycle(&recorder);
  EXPECT_EQ(recorder.pending.slot_index, 1);
  EXPECT_EQ(fake::ReadCounters().open_avi_handles, 6);
  EXPECT_EQ(TakeLog().back(), " CookStreams! 0 800");
  EXPECT_EQ(SplitLines(::testing::internal::GetCapturedStderr()),
            (std::vector<std::string>{
                "slotrec: 000-01.avi could not be prepared (code " + c.code +
                    "); trying again every 800 ms",
                "slotrec: segments are prepared again, from 000-01.avi on"}));
  EXPECT_EQ(RecorderLossesSoFar(&recorder).unprepared_segments, 1);
  Finish();
  EXPECT_EQ(fake::ReadCounters().open_avi_handles, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FailedPrepare,
    ::testing::Values(
        PrepareFailure{"open fails", [] { fake::FailAvi(fake::AviOp::FileOpen, AVIERR_FILEOPEN); },
                       "-2147205009",
                       {"Trying prepare 000-01.avi", " AVIFileOpen failed! -2147205009",
                        " CookStreams! -2147205009 0", " Kernel Panic! "}},
        PrepareFailure{"meta cannot be created",
                       [] { std::filesystem::create_directory("000-01.meta"); },
                       "-2147205009",
                       {"Trying prepare 000-01.avi", " MetaFileOpen failed! -2147205009",
                        " CookStreams! -2147205009 0"}},
        PrepareFailure{"stream fails",
                       [] { fake::FailAvi(fake::AviOp::CreateStream, AVIERR_MEMORY); },
                       "-2147205017",
                       {"Trying prepare 000-01.avi", " AVIFileCreateStream failed! -2147205017",
                        " CookStreams! -2147205017 0"}},
        PrepareFailure{"compressor fails",
                       [] { fake::FailAvi(fake::AviOp::MakeCompressed, AVIERR_NOCOMPRESSOR); },
                       "-2147205007",
                       {"Trying prepare 000-01.avi", " AVIMakeCompressedStream failed! -2147205007",
                        " CookStreams! -2147205007 0"}},
        PrepareFailure{"format refused",
                       [] { fake::FailAvi(fake::AviOp::SetFormat, AVIERR_BADFORMAT); },
                       "-2147205018",
                       {"Trying prepare 000-01.avi", " AVIStreamSetFormat failed! -2147205018",
                        " CookStreams! -2147205018 0"}}));

TEST_F(Rotation, AnOpenThatGivesNoFileFailsWithResultZeroAndKernelPanic) {
  Start(1, 10, 0, Cook::kByHand);
  fake::FileOpenGivesNoFile();
  size_t logged = TakeLog().size();
  CookCycle(&recorder);
  std::vector<std::string> log = TakeLog();
  EXPECT_EQ(std::vector<std::string>(log.begin() + logged, log.end()),
            (std::vector<std::string>{"Trying prepare 000-01.avi", " AVIFileOpen failed! 0",
                                      " CookStreams! 0 0", " Kernel Panic! "}));
}

TEST_F(Rotation, ALateCookThreadSkipsTimeslotsAndTheTickShiftsUntilItCatchesUp) {
  Start(1, 10, 0);
  // The cook thread gets no processor time through timeslots 1 and 2.
  fake::StarveFollowers(2500);
  while (fake::Now() < 2400) Tick();
  EXPECT_EQ(recorder.current.slot_index, -1);
  Tick();
  EXPECT_EQ(recorder.current.slot_index, 3);  // the timeslot after the one in progress
  TickUntilShifts(1);
  std::vector<std::string> log = Finish();
  std::vector<std::string> prepared = LinesStartingWith(log, "Trying prepare");
  EXPECT_EQ(prepared, (std::vector<std::string>{"Trying prepare 000-00.avi",
                                                "Trying prepare 000-01.avi",
                                                "Trying prepare 000-03.avi",
                                                "Trying prepare 000-04.avi"}));
  // The segment shifted in early took frames from the shift to its own end.
  EXPECT_GT(FrameLines("000-03.meta"), 10);
}

TEST_F(Rotation, ASegmentShiftedInEarlyIsNeverPreparedAgain) {
  fake::FailAvi(fake::AviOp::FileOpen, AVIERR_FILEOPEN);  // timeslot 0 gets no segment
  Start(1, 10, 0);
  // The empty slot ends at once: timeslot 1's segment takes frames from
  // 100 ms on, and the next cook cycle (800 ms, still timeslot 0) must not
  // prepare timeslot 1 again over it.
  while (fake::Now() < 1500) Tick();
  EXPECT_EQ(recorder.current.slot_index, 1);
  EXPECT_EQ(recorder.pending.slot_index, 2);
  TickUntilShifts(1);
  std::vector<std::string> log = Finish();
  EXPECT_EQ(LinesStartingWith(log, "Trying prepare"),
            (std::vector<std::string>{"Trying prepare 000-00.avi", "Trying prepare 000-01.avi",
                                      "Trying prepare 000-02.avi"}));
  EXPECT_EQ(FrameLines("000-01.meta"), 19);
  EXPECT_EQ(static_cast<int>(fake::ReadCounters().avi_files[0].stream.positions.size()), 19);
}

TEST_F(Rotation, ShiftsBeforeTheCookCycleKeepEveryRetiredSegment) {
  Start(1, 10, 0);
  Tick();
  ShiftAVI(&recorder);  // 000-00 retires, 000-01 current
  Tick();
  ShiftAVI(&recorder);  // 000-01 retires while 000-00 still waits
  EXPECT_EQ(recorder.retired_backlog.size(), 1u);
  fake::PassTime(800 - fake::Now());  // to the next cook cycle
  EXPECT_TRUE(recorder.retired_backlog.empty());
  std::vector<fake::FakeAviFileInfo> files = fake::ReadCounters().avi_files;
  EXPECT_TRUE(files[0].complete);
  EXPECT_TRUE(files[1].complete);
  EXPECT_EQ(FrameLines("000-00.meta"), 1);
  EXPECT_EQ(FrameLines("000-01.meta"), 1);
  EXPECT_EQ(ReadFile("000-01.meta").substr(ReadFile("000-01.meta").size() - 13), "\r\n</frames>\r\n");
}

TEST_F(Rotation, StoppingFinalisesRetiringCurrentAndPendingSegments) {
  Start(1, 10, 0);
  for (int i = 0; i < 5; ++i) Tick();
  ShiftAVI(&recorder);  // 000-00 waits in retiring, 000-01 current
  Tick();
  std::vector<std::string> log = Finish();
  fake::Counters counted = fake::ReadCounters();
  EXPECT_EQ(counted.open_avi_handles, 0);
  for (const fake::FakeAviFileInfo& file : counted.avi_files) {
    EXPECT_TRUE(file.complete) << file.name;
    std::string meta = file.name.substr(0, file.name.size() - 4) + ".meta";
    EXPECT_EQ(FrameLines(meta), static_cast<int>(file.stream.positions.size())) << meta;
    std::string bytes = ReadFile(meta);
    EXPECT_EQ(bytes.substr(bytes.size() - 13), "\r\n</frames>\r\n") << meta;
  }
  EXPECT_EQ(counted.avi_files.size(), 2u);
  // The cook thread's and the main thread's use of the library both ended.
  EXPECT_EQ(counted.avi_exits, 2);
  EXPECT_EQ(counted.avi_inits, 2);
}

TEST_F(Rotation, AFinalisedSegmentWithoutFramesIs46Bytes) {
  Start(2, 20, 0);
  Finish();
  EXPECT_EQ(ReadFile("000-02.meta"), kEmptyMeta);
  EXPECT_EQ(kEmptyMeta.size(), 46u);
}

}  // namespace
