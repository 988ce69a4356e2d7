// Once OpenGrabber has settled the frame size, GrabFrame must not allocate
// frame-sized memory: the bitmap, its shared segment, the DIB block and the
// cursor image are reused from frame to frame. malloc is wrapped to count
// every block of 1 KB or more asked for while grabbing (Xlib's small reply
// records don't count).
// Built once per kind of screen (SCREEN_DEPTH, SCREEN_CLASS): 24-bit
// TrueColor read straight into the bitmap, 16-bit pixels looked up, and
// 8-bit PseudoColor and 24-bit DirectColor, whose colormap is read again on
// every grab. That read is one reply, which Xlib allocates (twice, about 8
// bytes a cell: 2 KB for 256 cells) and frees at once; for those screens
// only blocks of 4 KB or more count. Not built under the sanitizers, which
// own malloc themselves.
#include <gtest/gtest.h>

#include <cstddef>

#include "platform/platform.h"
#include "tests/screen/screen_test_support.h"

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* block, std::size_t size);

#ifndef SCREEN_DEPTH
#define SCREEN_DEPTH 24
#endif
#ifndef SCREEN_CLASS
#define SCREEN_CLASS -1
#endif

namespace {

bool g_counting = false;
int g_large_blocks = 0;
constexpr bool kColormapEveryGrab = SCREEN_CLASS == 1 || SCREEN_CLASS == 3 || SCREEN_CLASS == 5;
constexpr std::size_t kLarge = kColormapEveryGrab ? 4096 : 1024;

void note(std::size_t bytes) {
  if (g_counting && bytes >= kLarge) ++g_large_blocks;
}

}  // namespace

extern "C" void* malloc(std::size_t size) {
  note(size);
  return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
  note(count * size);
  return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, std::size_t size) {
  note(size);
  return __libc_realloc(block, size);
}

namespace {

const bool registered = [] {
  testsupport::XvfbOptions options;
  options.width = 640;
  options.height = 480;
  options.depth = SCREEN_DEPTH;
  if (SCREEN_CLASS >= 0) options.extra_args = {"-cc", std::to_string(SCREEN_CLASS)};
  screentest::install_xvfb(options);
  return true;
}();

TEST(GrabAllocation, SteadyGrabsAllocateNoFrameSizedMemory) {
  testsupport::X11Painter painter(screentest::xvfb()->display());
  ASSERT_TRUE(painter.ok());
  painter.fill(0, 0, 640, 480, 0x204060);
  // A 32 × 32 cursor: fetching its image costs 8 KB, so a grab that fetched
  // it every time would be counted.
  testsupport::CursorPicture big;
  for (int row = 0; row < 32; ++row) big.rows.emplace_back(32, row % 2 ? '#' : '.');
  ASSERT_TRUE(painter.set_cursor(big));

  screentest::Capture capture;
  ASSERT_TRUE(screentest::open_capture(&capture, false, true));  // settles the size
  ScreenGrabber& grabber = capture.grabber;
  const BITMAPINFOHEADER* const dib = grabber.dib;
  const HBITMAP bitmap = grabber.bitmap;

  g_large_blocks = 0;
  g_counting = true;
  for (int frame = 0; frame < 20; ++frame) {
    painter.warp_pointer(10 * frame, 5 * frame);  // moving is not changing
    GrabFrame(&grabber);
  }
  g_counting = false;
  EXPECT_EQ(grabber.cursor_x, 190);
  EXPECT_EQ(g_large_blocks, 0);
  EXPECT_EQ(grabber.dib, dib);
  EXPECT_EQ(grabber.bitmap, bitmap);

  // A new cursor is fetched once, and only once: the server's reply and
  // the image Xlib makes of it, never five times that.
  big.rows[0] = std::string(32, '#');
  ASSERT_TRUE(painter.set_cursor(big));
  g_large_blocks = 0;
  g_counting = true;
  for (int frame = 0; frame < 5; ++frame) GrabFrame(&grabber);
  g_counting = false;
  EXPECT_GE(g_large_blocks, 1);
  EXPECT_LE(g_large_blocks, 3);
  screentest::close_capture(&capture);
}

}  // namespace
