// The X server dies under a recording: the process lives on, the screen
// calls fail and the grabber's frame and cursor position stay as they were,
// the loss is said once on standard error, and the program hears
// CTRL_LOGOFF_EVENT once, as on Windows when the session ends (on the
// thread that runs console handlers, so the test waits for it).
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "tests/screen/screen_test_support.h"

namespace {

using screentest::Capture;

#ifndef SCREEN_SHM
#define SCREEN_SHM 1
#endif

const bool registered = [] {
  testsupport::XvfbOptions options;
  options.width = 160;
  options.height = 120;
  options.shm = SCREEN_SHM != 0;
  screentest::install_xvfb(options);
  return true;
}();

std::atomic<int> g_logoff_events{0};
std::atomic<int> g_other_events{0};

BOOL on_console_event(DWORD event) {
  if (event == CTRL_LOGOFF_EVENT) {
    g_logoff_events.fetch_add(1);
  } else {
    g_other_events.fetch_add(1);
  }
  return TRUE;
}

// Sends standard error to a file while it lives, and gives what was written.
class StderrCapture {
 public:
  StderrCapture() : path_(testing::TempDir() + "lost_connection_stderr.txt") {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    std::FILE* file = std::fopen(path_.c_str(), "w");
    if (file != nullptr) {
      dup2(fileno(file), STDERR_FILENO);
      std::fclose(file);
    }
  }
  ~StderrCapture() {
    restore();
    std::remove(path_.c_str());
  }
  std::string text() {
    restore();
    std::ifstream in(path_);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

// Waits up to ten seconds for the first logoff event.
int wait_for_logoff() {
  for (int waited = 0; waited < 1000 && g_logoff_events.load() == 0; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return g_logoff_events.load();
}

TEST(LostConnection, CallsFailTheFrameStaysAndTheLogoffArrivesOnce) {
  ASSERT_NE(screentest::xvfb(), nullptr);
  ASSERT_TRUE(SetConsoleCtrlHandler(on_console_event, TRUE));
  std::vector<std::uint8_t> frame_before;
  {
    testsupport::X11Painter painter(screentest::xvfb()->display());
    ASSERT_TRUE(painter.ok());
    painter.fill(0, 0, 160, 120, 0x336699);
    painter.fill(20, 30, 40, 50, 0xff0000);
  }
  Capture capture;
  ASSERT_TRUE(screentest::open_capture(&capture, false, true));
  ScreenGrabber& grabber = capture.grabber;
  GrabFrame(&grabber);
  ASSERT_EQ(capture.pixel(25, 35), 0xff0000u);
  frame_before = capture.dib;
  const int cursor_x = grabber.cursor_x;
  const int cursor_y = grabber.cursor_y;

  // A bitmap released first thing after the kill: detaching its shared
  // segment writes to the dead socket.
  HBITMAP spare_before = CreateCompatibleBitmap(grabber.screen_dc, 16, 16);
  ASSERT_NE(spare_before, nullptr);

  StderrCapture said;
  screentest::xvfb()->kill_now();
  EXPECT_TRUE(DeleteObject(spare_before));

  // The grabber's next frames: every call that needs the server fails, the
  // bitmap still holds the last picture, the cursor position is kept.
  for (int frame = 0; frame < 3; ++frame) {
    GrabFrame(&grabber);
    EXPECT_TRUE(capture.dib == frame_before);
    EXPECT_EQ(grabber.cursor_x, cursor_x);
    EXPECT_EQ(grabber.cursor_y, cursor_y);
  }
  EXPECT_FALSE(BitBlt(grabber.memory_dc, 0, 0, grabber.width, grabber.height, grabber.screen_dc, 0,
                      0, SRCCOPY));
  EXPECT_EQ(wait_for_logoff(), 1);
  EXPECT_EQ(g_other_events.load(), 0);

  CURSORINFO ci{};
  ci.cbSize = sizeof ci;
  ci.hCursor = reinterpret_cast<HCURSOR>(&ci);
  EXPECT_FALSE(GetCursorInfo(&ci));
  EXPECT_EQ(ci.hCursor, nullptr);
  EXPECT_EQ(GetDC(nullptr), nullptr);
  EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), 0);
  EXPECT_EQ(GetDeviceCaps(grabber.screen_dc, HORZRES), 0);

  // Bitmaps still come and go (in plain memory now), and the grabber's
  // objects are released as usual; CloseGrabber frees the rest.
  HBITMAP spare = CreateCompatibleBitmap(grabber.screen_dc, 8, 8);
  EXPECT_NE(spare, nullptr);
  EXPECT_TRUE(DeleteObject(spare));
  EXPECT_TRUE(DeleteObject(grabber.bitmap));
  grabber.bitmap = nullptr;
  EXPECT_TRUE(DeleteDC(grabber.memory_dc));
  grabber.memory_dc = nullptr;
  EXPECT_EQ(ReleaseDC(nullptr, grabber.screen_dc), 1);
  grabber.screen_dc = nullptr;
  screentest::close_capture(&capture);
  EXPECT_EQ(g_logoff_events.load(), 1);
  EXPECT_EQ(said.text(),
            "slotrec: lost the connection to the X display " + screentest::xvfb()->display() + "\n");
  SetConsoleCtrlHandler(on_console_event, FALSE);
}

}  // namespace
