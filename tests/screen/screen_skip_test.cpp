// A bitmap kept up to date by the screen layer reads only what the server
// reports changed and takes the cursor off again itself; these tests hold it
// to what a full grab gives. After each thing that happens on a real X
// server (a rectangle painted on the root, a window mapped and drawn by
// another client, the window gone again, the pointer moved, the cursor's
// shape changed, nothing at all) the kept capture's DIB must equal, byte for
// byte, that of a capture made afresh, which reads the whole screen; and
// through the compressor, a lossless file of the kept captures must decode
// to exactly the conversion of those fresh captures.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/screen/x11_screen.h"
#include "platform/linux/video/yuv_convert.h"
#include "platform/platform.h"
#include "tests/screen/screen_test_support.h"
#include "tests/video/video_test_support.h"

#ifndef SCREEN_SHM
#define SCREEN_SHM 1
#endif

namespace {

using screentest::Capture;
using testsupport::CursorPicture;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

const bool registered = [] {
  testsupport::XvfbOptions options;
  options.width = kWidth;
  options.height = kHeight;
  options.depth = 24;
  options.shm = SCREEN_SHM != 0;
  screentest::install_xvfb(options);
  return true;
}();

const CursorPicture kArrow{{"##....", "#.#...", "#..#..", "#...#.", "#....#", "######"}, 1, 1, 0xffffff, 0};
const CursorPicture kBlock{{"########", "#......#", "#......#", "########"}, 4, 2, 0xff0000, 0x00ff00};

// Another client's window: mapped, drawn in, unmapped.
class OtherClient {
 public:
  explicit OtherClient(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {}
  ~OtherClient() {
    if (dpy_ != nullptr) XCloseDisplay(dpy_);
  }
  bool ok() const { return dpy_ != nullptr; }
  void show_window(int x, int y, int w, int h) {
    const int screen = DefaultScreen(dpy_);
    window_ = XCreateSimpleWindow(dpy_, RootWindow(dpy_, screen), x, y, static_cast<unsigned>(w),
                                  static_cast<unsigned>(h), 0, 0, 0x336699);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    XChangeWindowAttributes(dpy_, window_, CWOverrideRedirect, &attributes);
    XMapRaised(dpy_, window_);
    GC gc = XCreateGC(dpy_, window_, 0, nullptr);
    XSetForeground(dpy_, gc, 0xffcc00);
    XFillRectangle(dpy_, window_, gc, 5, 7, static_cast<unsigned>(w / 2), static_cast<unsigned>(h / 3));
    XSetForeground(dpy_, gc, 0x00ff80);
    XDrawLine(dpy_, window_, gc, 0, h - 1, w - 1, 0);
    XFreeGC(dpy_, gc);
    XSync(dpy_, False);
  }
  void hide_window() {
    XDestroyWindow(dpy_, window_);
    XSync(dpy_, False);
  }

 private:
  Display* dpy_;
  Window window_ = 0;
};

// The screen as a capture made afresh sees it: the whole screen read.
std::vector<std::uint8_t> full_grab() {
  Capture fresh;
  EXPECT_TRUE(screentest::open_capture(&fresh, false, true));
  screentest::grab(&fresh);
  EXPECT_TRUE(fresh.holds_frame);
  std::vector<std::uint8_t> dib = fresh.dib;
  screentest::close_capture(&fresh);
  return dib;
}

class Skipping : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(screentest::xvfb(), nullptr);
    painter_ = std::make_unique<testsupport::X11Painter>(screentest::xvfb()->display());
    ASSERT_TRUE(painter_->ok());
    painter_->fill(0, 0, kWidth, kHeight, 0x204060);
    painter_->fill(30, 30, 100, 60, 0xc0c0c0);
    ASSERT_TRUE(painter_->set_cursor(kArrow));
    painter_->warp_pointer(200, 150);
    painter_->sync();
    ASSERT_TRUE(screentest::open_capture(&kept_, false, true));
    screentest::grab(&kept_);
    ASSERT_TRUE(kept_.holds_frame);
  }
  void TearDown() override { screentest::close_capture(&kept_); }

  // The events, each followed by check(name, rows the kept grab may read).
  template <typename Check>
  void play(Check check) {
    OtherClient other(screentest::xvfb()->display());
    ASSERT_TRUE(other.ok());
    check("nothing", 0);
    painter_->fill(60, 100, 40, 12, 0xff00ff);
    painter_->sync();
    check("a rectangle painted", kHeight / 2);
    other.show_window(150, 40, 120, 90);
    check("a window mapped and drawn", kHeight / 2);
    check("nothing after the window", 0);
    painter_->warp_pointer(20, 20);
    painter_->sync();
    check("the pointer moved", 0);
    ASSERT_TRUE(painter_->set_cursor(kBlock));
    painter_->sync();
    check("the cursor's shape changed", 0);
    painter_->warp_pointer(kWidth - 3, kHeight - 2);  // half off the screen
    painter_->sync();
    check("the cursor at the corner", 0);
    other.hide_window();
    check("the window gone", kHeight / 2);
    check("nothing at the end", 0);
  }

  std::unique_ptr<testsupport::X11Painter> painter_;
  Capture kept_;
};

TEST_F(Skipping, KeptCaptureEqualsAFullGrabAfterEveryChange) {
  play([&](const char* what, int most_rows) {
    const std::vector<std::uint8_t> before = kept_.dib;
    const std::uint64_t rows_before = x11::screen_rows_read();
    screentest::grab(&kept_);
    const std::uint64_t rows = x11::screen_rows_read() - rows_before;
    ASSERT_TRUE(kept_.holds_frame) << what;
    EXPECT_TRUE(kept_.dib == full_grab()) << what;
    // What was left alone was not read; what changed was read, not all.
    EXPECT_LE(rows, static_cast<std::uint64_t>(most_rows)) << what;
    if (most_rows == 0) {
      if (std::string(what).rfind("nothing", 0) == 0) {
        EXPECT_TRUE(kept_.dib == before) << what;
      }
    } else {
      EXPECT_GT(rows, 0u) << what;
    }
  });
}

// The reference conversion of a DIB, as raw yuv420p.
std::vector<std::uint8_t> reference_yuv(const std::vector<std::uint8_t>& dib) {
  const auto& h = *reinterpret_cast<const BITMAPINFOHEADER*>(dib.data());
  const std::ptrdiff_t stride = ((h.biWidth * 24 + 31) / 32) * 4;
  std::vector<std::uint8_t> yuv(static_cast<std::size_t>(h.biWidth) * h.biHeight * 3 / 2);
  const int w = h.biWidth, rows = h.biHeight;
  const yuv::Target target{yuv.data(), yuv.data() + w * rows, yuv.data() + w * rows + (w / 2) * (rows / 2), w, w / 2};
  yuv::bgr_to_i420(dib.data() + 40 + stride * (rows - 1), -stride, 3, w, rows, target, nullptr,
                   yuv::Impl::kReference);
  return yuv;
}

TEST_F(Skipping, LosslessFileOfKeptCapturesDecodesToFullGrabs) {
  PrivateSettings settings;
  ScratchDir dir;
  set_x264_dword("encoding_type", 3);
  AVIFileInit();
  const BITMAPINFOHEADER h = kept_.header();
  const std::string path = dir.file("kept.avi");
  Segment s = open_segment(path, h, 20);
  std::vector<std::vector<std::uint8_t>> expected;
  LONG position = 0;
  play([&](const char* what, int) {
    screentest::grab(&kept_);
    ASSERT_EQ(AVIStreamWrite(s.compressed, position++, 1, kept_.dib.data() + 40, static_cast<LONG>(h.biSizeImage), 0,
                             nullptr, nullptr),
              AVIERR_OK)
        << what;
    expected.push_back(reference_yuv(full_grab()));
  });
  release_segment(s);
  AVIFileExit();

  const int count = static_cast<int>(expected.size());
  ASSERT_EQ(probe_stream(path).frames, count);
  const std::vector<std::uint8_t> decoded = decode_raw(path, "yuv420p", 0, count);
  const std::size_t picture = expected[0].size();
  ASSERT_EQ(decoded.size(), picture * expected.size());
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(std::equal(expected[static_cast<std::size_t>(i)].begin(), expected[static_cast<std::size_t>(i)].end(),
                           decoded.begin() + static_cast<std::ptrdiff_t>(picture) * i))
        << "frame " << i;
  }
}

}  // namespace
