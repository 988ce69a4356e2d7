// AVIFile handles crossing threads as the recorder passes them: segments
// prepared and finalised on a cook thread while the main thread writes, and
// a release racing a write.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/video/video_test_support.h"

namespace {

// Three segments rotate as in a recording: while the main thread writes the
// current one, the cook thread prepares the next and finalises the last.
TEST(AviFileThreadsTest, SegmentsPreparedAndFinalisedOnAnotherThread) {
  PrivateSettings settings;
  ScratchDir dir;
  AVIFileInit();
  BITMAPINFOHEADER h = dib_header(160, 120, 24);
  constexpr int kSegments = 3;
  constexpr int kFrames = 12;
  std::vector<std::string> paths;
  for (int i = 0; i < kSegments; ++i) paths.push_back(dir.file("seg" + std::to_string(i) + ".avi"));

  Segment current = open_segment(paths[0], h, 20);
  for (int seg = 0; seg < kSegments; ++seg) {
    Segment next;
    std::thread cook([&] {
      AVIFileInit();
      if (seg + 1 < kSegments) next = open_segment(paths[seg + 1], h, 20);
    });
    for (int f = 0; f < kFrames; ++f) {
      std::vector<std::uint8_t> dib = colour_bars(h, f);
      EXPECT_EQ(AVIStreamWrite(current.compressed, f, 1, dib.data(), static_cast<LONG>(dib.size()), 0, nullptr,
                               nullptr),
                AVIERR_OK);
    }
    cook.join();
    Segment retiring = current;
    current = next;
    std::thread finaliser([&] { release_segment(retiring); });
    finaliser.join();
  }
  AVIFileExit();
  for (const std::string& path : paths) EXPECT_EQ(probe_stream(path).frames, kFrames) << path;
}

// A release racing writes on another thread: each write either lands in the
// file or is refused, and the file holds exactly the ones that landed.
TEST(AviFileThreadsTest, ReleaseRacingWritesLosesNothingItAccepted) {
  PrivateSettings settings;
  ScratchDir dir;
  BITMAPINFOHEADER h = dib_header(64, 48, 24);
  std::string path = dir.file("race.avi");
  Segment s = open_segment(path, h, 20);
  std::atomic<int> accepted{0};
  std::atomic<bool> started{false};
  std::thread writer([&] {
    std::vector<std::uint8_t> dib = colour_bars(h, 0);
    for (LONG pos = 0; pos < 400; ++pos) {
      HRESULT r = AVIStreamWrite(s.compressed, pos, 1, dib.data(), static_cast<LONG>(dib.size()), 0, nullptr, nullptr);
      if (r == AVIERR_OK) ++accepted;
      else EXPECT_EQ(r, AVIERR_BADHANDLE);
      started = true;
    }
  });
  while (!started) std::this_thread::yield();
  AVIStreamRelease(s.compressed);
  AVIStreamRelease(s.raw);
  AVIFileRelease(s.file);
  writer.join();
  EXPECT_GT(accepted.load(), 0);
  EXPECT_EQ(probe_stream(path).frames, accepted.load());
}

}  // namespace
