// Monitors on the private Xvfb (xrandr --setmonitor): the primary monitor
// is the primary screen and the origin of screen coordinates, the whole
// desktop is the root window with a negative origin, and the grabber's
// frame starts at its source's top-left corner while the cursor keeps
// screen coordinates in both sources.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/screen/screen_test_support.h"

namespace {

using screentest::Capture;
using screentest::ScreenModel;
using testsupport::CursorPicture;

constexpr int kWidth = 800;
constexpr int kHeight = 600;
// The primary monitor sits inside the desktop, with one monitor to its left
// and one above it.
constexpr int kPrimaryX = 300, kPrimaryY = 200, kPrimaryW = 400, kPrimaryH = 300;

const bool registered = [] {
  testsupport::XvfbOptions options;
  options.width = kWidth;
  options.height = kHeight;
  screentest::install_xvfb(options);
  return true;
}();

const CursorPicture kBlock{{"####", "#..#", "####"}, 1, 2, 0xffffff, 0x000000};

class Monitors : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(screentest::xvfb(), nullptr);
    display_ = screentest::xvfb()->display();
    painter_ = std::make_unique<testsupport::X11Painter>(display_);
    ASSERT_TRUE(painter_->ok());
    paint(0, 0, kWidth, kHeight, 0x0000ff);
    paint(kPrimaryX, kPrimaryY, 10, 10, 0xff0000);  // the primary's top-left
    paint(kPrimaryX + kPrimaryW - 10, kPrimaryY + kPrimaryH - 10, 10, 10, 0x00ff00);
    paint(0, 250, 20, 20, 0xffff00);  // inside the left monitor
    paint(360, 0, 30, 5, 0xff00ff);   // inside the monitor above
    paint(kWidth - 4, kHeight - 4, 4, 4, 0x00ffff);
    ASSERT_TRUE(painter_->set_cursor(kBlock));
    ASSERT_TRUE(screentest::run_xrandr(display_, "--setmonitor left 300/80x300/80+0+250 none"));
    ASSERT_TRUE(screentest::run_xrandr(display_, "--setmonitor top 200/50x200/50+350+0 none"));
    ASSERT_TRUE(screentest::run_xrandr(
        display_, "--setmonitor '*primary' 400/100x300/80+" + std::to_string(kPrimaryX) + "+" +
                      std::to_string(kPrimaryY) + " none"));
  }

  void TearDown() override {
    for (const char* name : {"primary", "left", "top"}) {
      screentest::run_xrandr(display_, std::string("--delmonitor ") + name);
    }
  }

  void paint(int x, int y, int w, int h, std::uint32_t colour) {
    screentest::paint(*painter_, model_, x, y, w, h, colour);
  }

  std::string display_;
  std::unique_ptr<testsupport::X11Painter> painter_;
  ScreenModel model_{kWidth, kHeight};
};

TEST_F(Monitors, PrimaryScreenVersusWholeDesktopSizes) {
  HDC screen = GetDC(nullptr);
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(GetDeviceCaps(screen, HORZRES), kPrimaryW);
  EXPECT_EQ(GetDeviceCaps(screen, VERTRES), kPrimaryH);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), kPrimaryW);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), kPrimaryH);
  EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), kWidth);
  EXPECT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), kHeight);
  EXPECT_EQ(GetSystemMetrics(SM_XVIRTUALSCREEN), -kPrimaryX);
  EXPECT_EQ(GetSystemMetrics(SM_YVIRTUALSCREEN), -kPrimaryY);
  EXPECT_EQ(ReleaseDC(nullptr, screen), 1);

  // Without a primary monitor the root window is the primary screen.
  ASSERT_TRUE(screentest::run_xrandr(display_, "--delmonitor primary"));
  screen = GetDC(nullptr);
  EXPECT_EQ(GetDeviceCaps(screen, HORZRES), kWidth);
  EXPECT_EQ(GetDeviceCaps(screen, VERTRES), kHeight);
  EXPECT_EQ(GetSystemMetrics(SM_XVIRTUALSCREEN), 0);
  EXPECT_EQ(GetSystemMetrics(SM_YVIRTUALSCREEN), 0);
  EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
}

TEST_F(Monitors, EachSourceStartsAtItsOwnTopLeft) {
  Capture primary;
  ASSERT_TRUE(screentest::open_capture(&primary, false, false));
  EXPECT_EQ(primary.grabber.width, kPrimaryW);
  EXPECT_EQ(primary.grabber.height, kPrimaryH);
  screentest::grab(&primary);
  EXPECT_EQ(screentest::compare_frame(primary, model_, kPrimaryX, kPrimaryY), "");
  screentest::close_capture(&primary);

  Capture desktop;
  ASSERT_TRUE(screentest::open_capture(&desktop, true, false));
  EXPECT_EQ(desktop.grabber.width, kWidth);
  EXPECT_EQ(desktop.grabber.height, kHeight);
  screentest::grab(&desktop);
  EXPECT_EQ(screentest::compare_frame(desktop, model_, 0, 0), "");
  screentest::close_capture(&desktop);
}

TEST_F(Monitors, CursorKeepsScreenCoordinatesInBothSources) {
  struct Case {
    int root_x, root_y;
  };
  for (Case place : {Case{20, 260}, Case{kPrimaryX + 5, kPrimaryY + 1}, Case{370, 2}}) {
    SCOPED_TRACE(std::to_string(place.root_x) + "," + std::to_string(place.root_y));
    painter_->warp_pointer(place.root_x, place.root_y);
    const int screen_x = place.root_x - kPrimaryX - kBlock.xhot;
    const int screen_y = place.root_y - kPrimaryY - kBlock.yhot;
    for (bool whole_desktop : {false, true}) {
      Capture capture;
      ASSERT_TRUE(screentest::open_capture(&capture, whole_desktop, true));
      screentest::grab(&capture);
      EXPECT_EQ(capture.grabber.cursor_x, screen_x);
      EXPECT_EQ(capture.grabber.cursor_y, screen_y);
      // Drawn where it is on the screen, clipped to the source.
      ScreenModel expected = model_;
      expected.draw_cursor(kBlock, place.root_x - kBlock.xhot, place.root_y - kBlock.yhot);
      const int dx = whole_desktop ? 0 : kPrimaryX;
      const int dy = whole_desktop ? 0 : kPrimaryY;
      EXPECT_EQ(screentest::compare_frame(capture, expected, dx, dy), "")
          << (whole_desktop ? "whole desktop" : "primary");
      screentest::close_capture(&capture);
    }
  }
}

TEST_F(Monitors, AMovedPrimaryIsFollowed) {
  Capture capture;
  ASSERT_TRUE(screentest::open_capture(&capture, false, false));
  screentest::grab(&capture);
  ASSERT_EQ(screentest::compare_frame(capture, model_, kPrimaryX, kPrimaryY), "");

  ASSERT_TRUE(screentest::run_xrandr(display_, "--delmonitor primary"));
  ASSERT_TRUE(screentest::run_xrandr(display_, "--setmonitor '*primary' 400/50x300/30+10+20 none"));
  screentest::grab(&capture);
  EXPECT_EQ(screentest::compare_frame(capture, model_, 10, 20), "") << "the open DC";
  screentest::close_capture(&capture);

  ASSERT_TRUE(screentest::open_capture(&capture, false, false));
  screentest::grab(&capture);
  EXPECT_EQ(screentest::compare_frame(capture, model_, 10, 20), "") << "a new DC";
  screentest::close_capture(&capture);
}

}  // namespace
