// Shared pieces of the screen tests: a private Xvfb for the whole test
// program, a model of what the test painted, and the program's own grabber
// (OpenGrabber, GrabFrame, CloseGrabber) on the real screen layer, with the
// real compressor settling the frame size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/screen_grabber.h"
#include "platform/platform.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"

namespace screentest {

// Starts the server before the first test and sets DISPLAY to it, and
// XDG_CONFIG_HOME to a scratch directory (opening a grabber writes the
// compressor's settings); stops the server and removes the directory after
// the last test. Register once per program with install_xvfb().
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

// The grabber's DIB (the 40-byte header, then the bottom-up 24-bit rows),
// read where it lies: data() is the grabber's own block, so what a test
// hands on from it is what GetDIBits wrote there. Converts to a vector to
// keep a frame. Empty while the grabber holds no block.
class DibView {
 public:
  explicit DibView(const ScreenGrabber* grabber) : grabber_(grabber) {}
  std::uint8_t* data() const;
  std::size_t size() const;
  std::uint8_t operator[](std::size_t i) const { return data()[i]; }
  operator std::vector<std::uint8_t>() const;
  friend bool operator==(const DibView& dib, const std::vector<std::uint8_t>& bytes);

 private:
  const ScreenGrabber* grabber_;
};

// One grabber opened on the private server; closed by close_capture, or at
// the latest when the Capture goes.
struct Capture {
  ScreenGrabber grabber{};
  DibView dib{&grabber};
  // After a grab: the server was there to read and the grabber holds its
  // frame (GrabFrame itself reports nothing).
  bool holds_frame = false;

  Capture() = default;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  ~Capture();

  const BITMAPINFOHEADER& header() const { return *grabber.dib; }
  // 0xRRGGBB of column x, row y counted from the top of the frame.
  std::uint32_t pixel(int x, int y) const;
};

// OpenGrabber: the source, the compressor, the frame size it accepts and a
// first frame. True when the grabber opened.
bool open_capture(Capture* capture, bool whole_desktop, bool with_cursor);
// GrabFrame at the settled size, or at width x height (as the size
// negotiation tries one).
void grab(Capture* capture);
void grab(Capture* capture, int width, int height);
// CloseGrabber, which may run again; a test that released one of the
// grabber's objects itself sets its field to null first.
void close_capture(Capture* capture);

// Runs `xrandr --display <display> <args>`; true when it exited with 0.
bool run_xrandr(const std::string& display, const std::string& args);

// Names the first pixel (from the top-left) where the frame differs from
// `model` offset by (dx, dy), or "" when the frame matches everywhere and the
// row padding is zero.
std::string compare_frame(const Capture& capture, const ScreenModel& model, int dx, int dy);

}  // namespace screentest
