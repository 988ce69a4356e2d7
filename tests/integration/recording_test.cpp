// Records a known screen with the real program, stops it from outside, and
// reads every segment back with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/expected_output.h"
#include "tests/support/process.h"
#include "tests/support/run_judge.h"
#include "tests/support/text_shape.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"

namespace {

namespace fs = std::filesystem;

// An odd screen height: the compressor takes even sizes only, so the
// grabber settles on 642 x 480.
constexpr int kScreenWidth = 642;
constexpr int kScreenHeight = 481;
constexpr int kFrameWidth = 642;
constexpr int kFrameHeight = 480;

struct Rectangle {
  int x, y, width, height;
  std::uint32_t rgb;
};
const Rectangle kRectangles[] = {
    {40, 30, 120, 80, 0xff0000},
    {300, 200, 100, 100, 0x00ff00},
    {500, 350, 90, 90, 0x0000ff},
};

// A white 12 x 12 block with its hot spot at (3, 4).
testsupport::CursorPicture KnownCursor() {
  testsupport::CursorPicture cursor;
  cursor.rows.assign(12, std::string(12, '#'));
  cursor.xhot = 3;
  cursor.yhot = 4;
  cursor.foreground = 0xffffff;
  return cursor;
}
constexpr int kPointerX = 200;
constexpr int kPointerY = 150;

std::string ReadFile(const fs::path& path) { return testsupport::ReadWholeFile(path.string()); }

using testsupport::MetaFrame;

// The frame lines of a whole .meta file; every line must be a frame line
// ending in CR LF.
std::vector<MetaFrame> MetaFrames(const std::string& bytes) {
  int malformed = 0;
  std::vector<MetaFrame> frames = testsupport::ParseMetaFrames(bytes, &malformed);
  EXPECT_EQ(malformed, 0) << "malformed lines";
  return frames;
}

ChildResult RunTool(const std::string& program, const std::vector<std::string>& args) {
  ChildCommand spec;
  spec.program = program;
  spec.argv = {program};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.timeout_ms = 60000;
  return RunChild(spec);
}

std::string Probe(const fs::path& avi, const std::string& entries) {
  ChildResult r = RunTool("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                  "-show_entries", entries, "-of", "default=nw=1:nk=1",
                                  avi.string()});
  EXPECT_TRUE(r.exited && r.exit_status == 0) << r.err;
  return r.out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A scratch directory of the test's own, removed after the test whether it
// passed or failed.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override { scratch_ = MakeTempDirectory("slotrec-recording"); }
  void TearDown() override { RemoveTree(scratch_); }
  std::string scratch_;
};

class Recording : public ScratchTest, public ::testing::WithParamInterface<int> {
 protected:
  static void SetUpTestSuite() {
    testsupport::XvfbOptions options;
    options.width = kScreenWidth;
    options.height = kScreenHeight;
    server_ = new testsupport::XvfbServer(options);
    ASSERT_TRUE(server_->ok()) << server_->error();
    painter_ = new testsupport::X11Painter(server_->display());
    ASSERT_TRUE(painter_->ok());
    for (const Rectangle& r : kRectangles) painter_->fill(r.x, r.y, r.width, r.height, r.rgb);
    ASSERT_TRUE(painter_->set_cursor(KnownCursor()));
    painter_->warp_pointer(kPointerX, kPointerY);
    painter_->sync();
  }
  static void TearDownTestSuite() {
    delete painter_;
    delete server_;
  }

  // Records with `options` until `seconds` after the first segment was
  // prepared, then sends the signal under test. Returns the run's directory.
  fs::path Record(int signal_number, int seconds,
                  const std::vector<std::string>& options = {"fps=10", "slotsecs=1"}) {
    ChildCommand spec;
    spec.program = SLOTREC_BINARY;
    spec.argv = {"slotrec"};
    spec.argv.insert(spec.argv.end(), options.begin(), options.end());
    spec.working_directory = scratch_;
    spec.environment = {"DISPLAY=" + server_->display(),
                        "XDG_CONFIG_HOME=" + scratch_ + "/config"};
    spec.signal_when_stdout_has = "Trying prepare 000-00.avi";
    spec.signal_grace_ms = seconds * 1000;
    spec.signal_number = signal_number;
    spec.timeout_ms = 120000;
    result_ = RunChild(spec);
    EXPECT_TRUE(result_.signal_sent);
    EXPECT_TRUE(result_.exited) << "signal " << result_.term_signal << "\n" << result_.err;
    EXPECT_EQ(result_.exit_status, 0);
    EXPECT_EQ(expected_output::BeforeLog(result_.out), expected_output::Header("slotrec"));
    std::vector<fs::path> runs;
    for (const auto& entry : fs::directory_iterator(scratch_)) {
      if (testsupport::HasShape(entry.path().filename().string(), "9999-99-99-99-99-99-999")) {
        runs.push_back(entry.path());
      }
    }
    EXPECT_EQ(runs.size(), 1u);
    return runs.empty() ? fs::path() : runs[0];
  }

  static testsupport::XvfbServer* server_;
  static testsupport::X11Painter* painter_;
  ChildResult result_;
};

testsupport::XvfbServer* Recording::server_ = nullptr;
testsupport::X11Painter* Recording::painter_ = nullptr;

TEST_P(Recording, StoppedFromOutsideLeavesOnlyCompletePlayableSegments) {
  int signal_number = GetParam();
  fs::path run = Record(signal_number, signal_number == SIGINT ? 5 : 2);
  ASSERT_FALSE(run.empty());

  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(run)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  ASSERT_GE(names.size(), 4u);
  EXPECT_EQ(names[0], "000-00.avi");
  int total_frames = 0;
  bool empty_segments_seen = false;
  for (size_t i = 0; i < names.size(); i += 2) {
    std::string stem = names[i].substr(0, names[i].size() - 4);
    SCOPED_TRACE(stem);
    ASSERT_TRUE(testsupport::HasShape(stem, "999-99"));
    ASSERT_EQ(names[i], stem + ".avi");
    ASSERT_EQ(names[i + 1], stem + ".meta");

    std::string meta = ReadFile(run / (stem + ".meta"));
    EXPECT_EQ(meta.substr(0, 33), "<?xml version=\"1.0\"?>\r\n<frames>\r\n");
    ASSERT_GE(meta.size(), 46u);
    EXPECT_EQ(meta.substr(meta.size() - 13), "\r\n</frames>\r\n");
    EXPECT_EQ(std::count(meta.begin(), meta.end(), '\n'), std::count(meta.begin(), meta.end(), '\r'));
    std::vector<MetaFrame> frames = MetaFrames(meta);
    for (const MetaFrame& f : frames) {
      EXPECT_EQ(f.x, kPointerX - 3);
      EXPECT_EQ(f.y, kPointerY - 4);
    }

    std::vector<std::string> probe =
        Lines(Probe(run / (stem + ".avi"), "stream=codec_name,width,height,r_frame_rate,nb_read_frames"));
    ASSERT_EQ(probe.size(), 5u);
    EXPECT_EQ(probe[0], "h264");
    EXPECT_EQ(probe[1], std::to_string(kFrameWidth));
    EXPECT_EQ(probe[2], std::to_string(kFrameHeight));
    EXPECT_EQ(probe[3], "10/1");
    if (frames.empty()) {
      // Only the segments prepared for what was still to come end empty;
      // ffprobe reads them but has no frame to count.
      EXPECT_TRUE(probe[4] == "0" || probe[4] == "N/A") << probe[4];
      empty_segments_seen = true;
    } else {
      EXPECT_FALSE(empty_segments_seen) << "a segment with frames after an empty one";
      EXPECT_EQ(probe[4], std::to_string(frames.size()));
    }
    total_frames += static_cast<int>(frames.size());
  }
  EXPECT_GT(total_frames, 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, Recording, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGINT    ? "Sigint"
                                              : info.param == SIGTERM ? "Sigterm"
                                                                      : "Sighup");
                         });

using RecordedPicture = Recording;

TEST_F(RecordedPicture, DecodedFramesShowTheScreenAndTheCursorWhereTheMetaSaysItIs) {
  fs::path run = Record(SIGINT, 2);
  ASSERT_FALSE(run.empty());
  std::vector<MetaFrame> frames = MetaFrames(ReadFile(run / "000-00.meta"));
  ASSERT_FALSE(frames.empty());
  ChildResult decoded = RunTool("ffmpeg", {"-v", "error", "-i", (run / "000-00.avi").string(),
                                       "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  ASSERT_TRUE(decoded.exited && decoded.exit_status == 0) << decoded.err;
  ASSERT_EQ(decoded.out.size(), static_cast<size_t>(kFrameWidth * kFrameHeight * 3));
  auto pixel = [&](int x, int y) {
    size_t at = (static_cast<size_t>(y) * kFrameWidth + x) * 3;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(decoded.out[at + i]); };
    return (static_cast<std::uint32_t>(byte(0)) << 16) | (byte(1) << 8) | byte(2);
  };
  auto near = [](std::uint32_t a, std::uint32_t b) {
    for (int shift : {0, 8, 16}) {
      if (std::abs(static_cast<int>((a >> shift) & 0xff) - static_cast<int>((b >> shift) & 0xff)) > 10) {
        return false;
      }
    }
    return true;
  };
  for (const Rectangle& r : kRectangles) {
    EXPECT_TRUE(near(pixel(r.x + r.width / 2, r.y + r.height / 2), r.rgb))
        << std::hex << pixel(r.x + r.width / 2, r.y + r.height / 2) << " for " << r.rgb;
  }
  // The cursor image (white 12 x 12) starts at the position of the frame's
  // .meta line; the black screen around it is untouched.
  int cx = frames[0].x, cy = frames[0].y;
  EXPECT_TRUE(near(pixel(cx + 6, cy + 6), 0xffffff)) << std::hex << pixel(cx + 6, cy + 6);
  EXPECT_TRUE(near(pixel(cx + 1, cy + 1), 0xffffff));
  EXPECT_TRUE(near(pixel(cx + 10, cy + 10), 0xffffff));
  EXPECT_TRUE(near(pixel(cx - 4, cy + 6), 0x000000));
  EXPECT_TRUE(near(pixel(cx + 16, cy + 6), 0x000000));
}

// The times between consecutive frame lines within each segment of a run.
std::vector<long> FrameIntervals(const fs::path& run, const testsupport::RunVerdict& verdict) {
  std::vector<long> apart;
  for (const testsupport::SegmentVerdict& segment : verdict.segments) {
    const std::vector<MetaFrame> frames = MetaFrames(ReadFile(run / (segment.stem + ".meta")));
    for (std::size_t i = 1; i < frames.size(); ++i) {
      apart.push_back(frames[i].time - frames[i - 1].time);
    }
  }
  return apart;
}

double Mean(const std::vector<long>& values) {
  double sum = 0;
  for (long v : values) sum += static_cast<double>(v);
  return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

using OtherRate = Recording;

// At 7 frames a second in 3-second timeslots: the segments are named after
// their start, 3 s apart (000-00, 000-03, ...), every pair is whole at the
// rate 7/1, and the .meta times are the frame interval, 1000 / 7 = 142 ms,
// apart: never less, and on average only the few milliseconds more that an
// idle-priority thread takes to wake. A machine too busy to give the
// recorder its time is recorded again, up to three times, before the
// average is held against it.
TEST_F(OtherRate, SevenFramesASecondInThreeSecondSegments) {
  constexpr long kIntervalMs = 142;
  constexpr double kMostOnAverageMs = 150;
  fs::path run;
  testsupport::RunVerdict verdict;
  std::vector<long> apart;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (attempt > 1) {
      TearDown();
      SetUp();
    }
    run = Record(SIGINT, 7, {"fps=7", "slotsecs=3"});
    ASSERT_FALSE(run.empty());
    verdict = testsupport::JudgeRun(run.string(), {"7/1"});
    apart = FrameIntervals(run, verdict);
    if (Mean(apart) < kMostOnAverageMs) break;
  }
  std::string problems;
  for (const std::string& problem : verdict.problems) problems += problem + "\n";
  EXPECT_TRUE(verdict.problems.empty()) << problems;

  ASSERT_GE(verdict.segments.size(), 3u);
  for (std::size_t i = 0; i < verdict.segments.size(); ++i) {
    const int start_s = static_cast<int>(i) * 3;
    char stem[16];
    std::snprintf(stem, sizeof stem, "%03d-%02d", start_s / 60, start_s % 60);
    EXPECT_EQ(verdict.segments[i].stem, stem);
  }
  EXPECT_GE(verdict.segments[0].meta_frames, 20);
  EXPECT_GE(verdict.segments[1].meta_frames, 20);

  ASSERT_GE(apart.size(), 30u);
  for (std::size_t i = 0; i < apart.size(); ++i) {
    EXPECT_GE(apart[i], kIntervalMs) << "interval " << i;
  }
  EXPECT_LT(Mean(apart), kMostOnAverageMs);
}

using LostDisplay = ScratchTest;

TEST_F(LostDisplay, EndsTheRunLikeTheEndOfTheSessionWithEverySegmentFinalised) {
  testsupport::XvfbOptions options;
  options.width = 320;
  options.height = 240;
  testsupport::XvfbServer server(options);
  ASSERT_TRUE(server.ok()) << server.error();
  const std::string& scratch = scratch_;
  ChildCommand command;
  command.program = SLOTREC_BINARY;
  command.argv = {"slotrec", "fps=10", "slotsecs=1"};
  command.working_directory = scratch;
  command.environment = {"DISPLAY=" + server.display(), "XDG_CONFIG_HOME=" + scratch + "/config"};
  command.timeout_ms = 60000;
  // The X server dies under the recorder after a few seconds.
  std::thread killer([&server] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    server.kill_now();
  });
  ChildResult result = RunChild(command);
  killer.join();
  EXPECT_TRUE(result.exited) << "signal " << result.term_signal << "\n" << result.err;
  // A normal end, said as such.
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_NE(result.err.find("; stopped as the session ended or the display was lost\n"),
            std::string::npos)
      << result.err;
  fs::path run;
  for (const auto& entry : fs::directory_iterator(scratch)) {
    if (testsupport::HasShape(entry.path().filename().string(), "9999-99-99-99-99-99-999")) {
      run = entry.path();
    }
  }
  ASSERT_FALSE(run.empty());
  int segments = 0;
  for (const auto& entry : fs::directory_iterator(run)) {
    if (entry.path().extension() != ".meta") continue;
    ++segments;
    std::string meta = ReadFile(entry.path());
    EXPECT_EQ(meta.substr(meta.size() - 13), "\r\n</frames>\r\n") << entry.path();
  }
  EXPECT_GE(segments, 2);
}

}  // namespace
