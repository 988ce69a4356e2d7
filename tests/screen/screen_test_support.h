// Shared pieces of the screen tests: a private Xvfb for the whole test
// program, a model of what the test painted, and a capture that makes the
// Win32 calls in the order the grabber makes them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"

namespace screentest {

// Starts the server before the first test and sets DISPLAY to it; stops it
// after the last. Register once per program with install_xvfb().
testsupport::XvfbServer* xvfb();
void install_xvfb(const testsupport::XvfbOptions& options);

// What the root window should show: 0xRRGGBB per pixel, painted through the
// same calls as the screen (fill) so the two cannot drift apart.
struct ScreenModel {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> rgb;

  ScreenModel(int w, int h) : width(w), height(h), rgb(static_cast<std::size_t>(w) * h, 0) {}
  std::uint32_t at(int x, int y) const { return rgb[static_cast<std::size_t>(y) * width + x]; }
  void fill(int x, int y, int w, int h, std::uint32_t colour);
  // Lays an opaque-or-clear cursor picture over the model with its top-left
  // at (x, y), clipped.
  void draw_cursor(const testsupport::CursorPicture& picture, int x, int y);
};

// Paints on the screen and in the model alike.
void paint(testsupport::X11Painter& painter, ScreenModel& model, int x, int y, int w, int h,
           std::uint32_t colour);

// The grabber's call sequence over the Win32 names, with its DIB in a
// vector: header (40 bytes) then bottom-up 24-bit rows.
struct Capture {
  HWND window = nullptr;
  HDC screen_dc = nullptr;
  HDC memory_dc = nullptr;
  HBITMAP bitmap = nullptr;
  int bitmap_width = 0;
  int bitmap_height = 0;
  int source_width = 0;   // W and H of the source
  int source_height = 0;
  POINT origin{0, 0};     // source top-left in screen coordinates
  bool with_cursor = false;
  std::vector<std::uint8_t> dib;
  int cursor_x = 0;
  int cursor_y = 0;
  int lines = 0;           // what GetDIBits returned last
  bool blit_ok = false;    // what BitBlt returned last

  const BITMAPINFOHEADER& header() const {
    return *reinterpret_cast<const BITMAPINFOHEADER*>(dib.data());
  }
  // 0xRRGGBB of column x, row y counted from the top of the frame.
  std::uint32_t pixel(int x, int y) const;
};

bool open_capture(Capture* capture, bool whole_desktop, bool with_cursor);
void grab(Capture* capture, int width, int height);
void grab(Capture* capture);  // the whole source
void close_capture(Capture* capture);

// Runs `xrandr --display <display> <args>`; true when it exited with 0.
bool run_xrandr(const std::string& display, const std::string& args);

// Names the first pixel (from the top-left) where the frame differs from
// `model` offset by (dx, dy), or "" when the frame matches everywhere and the
// row padding is zero.
std::string compare_frame(const Capture& capture, const ScreenModel& model, int dx, int dy);

}  // namespace screentest
