// The grabber and the screen operations it uses, on a private Xvfb: a known
// picture lands at the right rows and columns of the bottom-up DIB, the
// cursor's position, hot spot and pixels, clipping at every edge, and the
// GDI objects' rules. Built once per server kind (SCREEN_DEPTH, SCREEN_SHM):
// MIT-SHM straight into the bitmap, the XGetImage fallback, 16- and 15-bit
// screens that take the converting path, and 8-bit PseudoColor screens
// whose pixels are colormap cells.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "tests/screen/screen_test_support.h"

#ifndef SCREEN_DEPTH
#define SCREEN_DEPTH 24
#endif
#ifndef SCREEN_SHM
#define SCREEN_SHM 1
#endif

namespace {

using screentest::Capture;
using screentest::ScreenModel;
using testsupport::CursorPicture;

constexpr int kWidth = 403;   // odd, so the rows carry padding
constexpr int kHeight = 301;

// Colours whose channels are 0 or 255 survive a 15- or 16-bit screen
// unchanged, and a PseudoColor colormap has a cell for each.
constexpr std::uint32_t kBlue = 0x0000ff, kRed = 0xff0000, kGreen = 0x00ff00,
                        kYellow = 0xffff00, kWhite = 0xffffff, kMagenta = 0xff00ff,
                        kCyan = 0x00ffff, kBlack = 0x000000;

const bool registered = [] {
  testsupport::XvfbOptions options;
  options.width = kWidth;
  options.height = kHeight;
  options.depth = SCREEN_DEPTH;
  options.shm = SCREEN_SHM != 0;
  screentest::install_xvfb(options);
  return true;
}();

const CursorPicture kArrow{{"##....",
                            "#.#...",
                            "#..#..",
                            "#...#.",
                            "#....#",
                            "######",
                            "  ##  ",
                            "  ##  "},
                           2, 3, kWhite, kBlack};

const CursorPicture kBar{{"###", "#.#", "#.#", "#.#", "###"}, 0, 4, kGreen, kRed};

class ScreenCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(screentest::xvfb(), nullptr);
    painter_ = std::make_unique<testsupport::X11Painter>(screentest::xvfb()->display());
    ASSERT_TRUE(painter_->ok());
    // A known picture: rectangles at the corners, a single pixel, thin bars.
    paint(0, 0, kWidth, kHeight, kBlue);
    paint(10, 20, 30, 40, kRed);
    paint(0, 0, 5, 6, kGreen);
    paint(kWidth - 7, kHeight - 3, 7, 3, kYellow);
    paint(200, 100, 1, 1, kWhite);
    paint(150, 150, 40, 2, kMagenta);
    paint(kWidth - 1, 50, 1, 60, kCyan);
    ASSERT_TRUE(painter_->set_cursor(kArrow));
    painter_->warp_pointer(kWidth / 2, kHeight - 5);
  }

  void paint(int x, int y, int w, int h, std::uint32_t colour) {
    screentest::paint(*painter_, model_, x, y, w, h, colour);
  }

  std::unique_ptr<testsupport::X11Painter> painter_;
  ScreenModel model_{kWidth, kHeight};
};

TEST_F(ScreenCapture, ScreenSizesWithoutMonitorsAreTheRootWindow) {
  HDC screen = GetDC(nullptr);
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(GetDeviceCaps(screen, HORZRES), kWidth);
  EXPECT_EQ(GetDeviceCaps(screen, VERTRES), kHeight);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), kWidth);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), kHeight);
  EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), kWidth);
  EXPECT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), kHeight);
  EXPECT_EQ(GetSystemMetrics(SM_XVIRTUALSCREEN), 0);
  EXPECT_EQ(GetSystemMetrics(SM_YVIRTUALSCREEN), 0);
  EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
}

TEST_F(ScreenCapture, KnownPictureLandsBottomUpAtItsRowsAndColumns) {
  for (bool whole_desktop : {false, true}) {
    SCOPED_TRACE(whole_desktop ? "whole desktop" : "primary screen");
    Capture capture;
    ASSERT_TRUE(screentest::open_capture(&capture, whole_desktop, false));
    // The compressor takes even sizes only: the first size it accepts is a
    // column and a row short, and that frame is in the DIB.
    EXPECT_EQ(capture.header().biWidth, kWidth - 1);
    EXPECT_EQ(capture.header().biHeight, kHeight - 1);
    EXPECT_EQ(screentest::compare_frame(capture, model_, 0, 0), "");

    screentest::grab(&capture, kWidth, kHeight);
    EXPECT_TRUE(capture.holds_frame);
    EXPECT_EQ(capture.header().biWidth, kWidth);
    EXPECT_EQ(capture.header().biHeight, kHeight);
    EXPECT_EQ(screentest::compare_frame(capture, model_, 0, 0), "");
    // Spot checks straight on the bytes: the bottom row comes first.
    const std::uint8_t* bottom_row = capture.dib.data() + 40;
    EXPECT_EQ(bottom_row[3 * (kWidth - 1) + 2], 0xff);  // yellow's red
    EXPECT_EQ(bottom_row[3 * (kWidth - 1) + 0], 0x00);  // yellow's blue
    const std::size_t top_row = 40 + std::size_t{kHeight - 1} * ((kWidth * 3 + 3) / 4 * 4);
    EXPECT_EQ(capture.dib[top_row + 1], 0xff);  // green at (0, 0)

    // Trimmed columns are those on the right and trimmed rows those at the
    // bottom; each size gets its own bitmap and a block that fits it.
    for (auto [w, h] : {std::pair{kWidth - 1, kHeight}, std::pair{kWidth - 3, kHeight - 8},
                        std::pair{kWidth - 2, kHeight - 1}}) {
      screentest::grab(&capture, w, h);
      EXPECT_EQ(capture.header().biWidth, w);
      EXPECT_EQ(capture.header().biHeight, h);
      EXPECT_EQ(capture.header().biSizeImage, static_cast<DWORD>(DibStride(w) * h));
      EXPECT_EQ(capture.grabber.dib_bytes, static_cast<int32_t>(40 + DibStride(w) * h));
      EXPECT_EQ(screentest::compare_frame(capture, model_, 0, 0), "") << w << "x" << h;
    }
    screentest::close_capture(&capture);
  }
}

TEST_F(ScreenCapture, RepeatedGrabsFollowTheScreen) {
  Capture capture;
  ASSERT_TRUE(screentest::open_capture(&capture, false, false));
  screentest::grab(&capture);
  ASSERT_EQ(screentest::compare_frame(capture, model_, 0, 0), "");
  paint(60, 70, 80, 90, kYellow);
  paint(kWidth - 40, kHeight - 40, 40, 40, kCyan);
  screentest::grab(&capture);
  EXPECT_EQ(screentest::compare_frame(capture, model_, 0, 0), "");
  screentest::close_capture(&capture);
}

TEST_F(ScreenCapture, CursorPositionIsHotSpotCorrectedAndDrawnOnlyWhenAsked) {
  painter_->warp_pointer(100, 120);
  for (bool with_cursor : {false, true}) {
    SCOPED_TRACE(with_cursor ? "with cursor" : "without cursor");
    Capture capture;
    ASSERT_TRUE(screentest::open_capture(&capture, false, with_cursor));
    screentest::grab(&capture);
    EXPECT_EQ(capture.grabber.cursor_x, 98);
    EXPECT_EQ(capture.grabber.cursor_y, 117);
    ScreenModel expected = model_;
    if (with_cursor) expected.draw_cursor(kArrow, 98, 117);
    EXPECT_EQ(screentest::compare_frame(capture, expected, 0, 0), "");
    screentest::close_capture(&capture);
  }
}

TEST_F(ScreenCapture, CursorIsClippedAtEveryEdge) {
  Capture capture;
  ASSERT_TRUE(screentest::open_capture(&capture, false, true));
  struct Case {
    int x, y;
  };
  for (Case place : {Case{0, 0}, Case{1, 2}, Case{kWidth - 1, kHeight - 1}, Case{kWidth - 3, 40},
                     Case{50, kHeight - 2}}) {
    SCOPED_TRACE(std::to_string(place.x) + "," + std::to_string(place.y));
    painter_->warp_pointer(place.x, place.y);
    screentest::grab(&capture);
    EXPECT_EQ(capture.grabber.cursor_x, place.x - kArrow.xhot);
    EXPECT_EQ(capture.grabber.cursor_y, place.y - kArrow.yhot);
    ScreenModel expected = model_;
    expected.draw_cursor(kArrow, place.x - kArrow.xhot, place.y - kArrow.yhot);
    EXPECT_EQ(screentest::compare_frame(capture, expected, 0, 0), "");
  }
  // Far outside the bitmap there is nothing to draw, and nothing breaks.
  CURSORINFO ci{};
  ci.cbSize = sizeof ci;
  ASSERT_TRUE(GetCursorInfo(&ci));
  for (int far : {-100000, -7, kWidth, 100000}) {
    EXPECT_TRUE(DrawIcon(capture.grabber.memory_dc, far, far, ci.hCursor));
  }
  screentest::close_capture(&capture);
}

TEST_F(ScreenCapture, ANewCursorIsNoticedBetweenGrabs) {
  Capture capture;
  ASSERT_TRUE(screentest::open_capture(&capture, false, true));
  painter_->warp_pointer(300, 200);
  screentest::grab(&capture);
  EXPECT_EQ(capture.grabber.cursor_x, 298);
  EXPECT_EQ(capture.grabber.cursor_y, 197);

  ASSERT_TRUE(painter_->set_cursor(kBar));
  screentest::grab(&capture);
  EXPECT_EQ(capture.grabber.cursor_x, 300);
  EXPECT_EQ(capture.grabber.cursor_y, 196);
  ScreenModel expected = model_;
  expected.draw_cursor(kBar, 300, 196);
  EXPECT_EQ(screentest::compare_frame(capture, expected, 0, 0), "");

  ASSERT_TRUE(painter_->set_cursor(kArrow));
  screentest::grab(&capture);
  EXPECT_EQ(capture.grabber.cursor_x, 298);
  screentest::close_capture(&capture);
}

// 0xRRGGBB of (x, y) in a top-down 32-bit DIB of the given width.
std::uint32_t top_down_pixel(const std::vector<std::uint8_t>& bits, int width, int x, int y) {
  const std::uint8_t* p = bits.data() + (static_cast<std::size_t>(y) * width + x) * 4;
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

struct Dib32 {
  BITMAPINFOHEADER header{};
  std::vector<std::uint8_t> bits;
};

Dib32 read_top_down(HDC dc, HBITMAP bitmap, int width, int height) {
  Dib32 dib;
  dib.header.biSize = 40;
  dib.header.biWidth = width;
  dib.header.biHeight = -height;
  dib.header.biPlanes = 1;
  dib.header.biBitCount = 32;
  dib.header.biCompression = BI_RGB;
  dib.bits.assign(static_cast<std::size_t>(width) * height * 4, 0xee);
  EXPECT_EQ(GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), dib.bits.data(),
                      reinterpret_cast<BITMAPINFO*>(&dib.header), DIB_RGB_COLORS),
            height);
  return dib;
}

TEST_F(ScreenCapture, BlitsPartlyOffTheScreenGiveBlackAndKeepTheRest) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  constexpr int w = 50, h = 40;
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  ASSERT_NE(bitmap, nullptr);
  SelectObject(memory, bitmap);

  // Source hanging over the top-left, then over the bottom-right corner.
  struct Case {
    int sx, sy;
  };
  for (Case c : {Case{-10, -5}, Case{kWidth - 20, kHeight - 15}}) {
    ASSERT_TRUE(BitBlt(memory, 0, 0, w, h, screen, 100, 100, SRCCOPY));  // all screen first
    ASSERT_TRUE(BitBlt(memory, 0, 0, w, h, screen, c.sx, c.sy, SRCCOPY));
    Dib32 dib = read_top_down(memory, bitmap, w, h);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const int rx = c.sx + x, ry = c.sy + y;
        const bool on_screen = rx >= 0 && ry >= 0 && rx < kWidth && ry < kHeight;
        ASSERT_EQ(top_down_pixel(dib.bits, w, x, y), on_screen ? model_.at(rx, ry) : kBlack)
            << "at " << x << "," << y << " from " << c.sx << "," << c.sy;
        ASSERT_EQ(dib.bits[(static_cast<std::size_t>(y) * w + x) * 4 + 3], 0);
      }
    }
  }

  // A destination rectangle inside the bitmap, and one hanging off its
  // top-left: only the covered pixels change.
  ASSERT_TRUE(BitBlt(memory, 0, 0, w, h, screen, -1000, -1000, SRCCOPY));  // all black
  ASSERT_TRUE(BitBlt(memory, 5, 7, 20, 10, screen, 10, 20, SRCCOPY));      // red rectangle
  ASSERT_TRUE(BitBlt(memory, -3, -2, 6, 5, screen, 0, 0, SRCCOPY));        // green corner
  Dib32 dib = read_top_down(memory, bitmap, w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint32_t want = kBlack;
      if (x >= 5 && x < 25 && y >= 7 && y < 17) want = model_.at(10 + x - 5, 20 + y - 7);
      if (x < 3 && y < 3) want = model_.at(x + 3, y + 2);
      ASSERT_EQ(top_down_pixel(dib.bits, w, x, y), want) << "at " << x << "," << y;
    }
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

TEST_F(ScreenCapture, GdiObjectsFollowTheirOwnershipRules) {
  HDC screen = GetDC(GetDesktopWindow());
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(GetDC(reinterpret_cast<HWND>(&model_)), nullptr);  // not a window we know
  HDC first = CreateCompatibleDC(screen);
  HDC second = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 7, 5);
  ASSERT_NE(bitmap, nullptr);
  EXPECT_EQ(CreateCompatibleBitmap(screen, 0, 5), nullptr);
  EXPECT_EQ(CreateCompatibleBitmap(screen, 100000, 100000), nullptr);

  BITMAP bm{};
  ASSERT_EQ(GetObjectA(bitmap, sizeof bm, &bm), static_cast<int>(sizeof(BITMAP)));
  EXPECT_EQ(bm.bmType, 0);
  EXPECT_EQ(bm.bmWidth, 7);
  EXPECT_EQ(bm.bmHeight, 5);
  EXPECT_EQ(bm.bmWidthBytes, 28);
  EXPECT_EQ(bm.bmPlanes, 1);
  EXPECT_EQ(bm.bmBitsPixel, 32);
  EXPECT_EQ(bm.bmBits, nullptr);

  // Selecting hands back the previous bitmap: the stock one first.
  HGDIOBJ stock = SelectObject(first, bitmap);
  ASSERT_NE(stock, nullptr);
  EXPECT_EQ(SelectObject(first, bitmap), bitmap);
  EXPECT_EQ(SelectObject(second, bitmap), nullptr);  // already in `first`
  EXPECT_EQ(SelectObject(first, stock), bitmap);
  EXPECT_NE(SelectObject(second, bitmap), nullptr);  // free again
  EXPECT_FALSE(BitBlt(first, 0, 0, 7, 5, screen, 0, 0, SRCCOPY));  // nothing to draw on
  EXPECT_TRUE(BitBlt(second, 0, 0, 7, 5, screen, 0, 0, SRCCOPY));
  EXPECT_FALSE(BitBlt(second, 0, 0, 7, 5, screen, 0, 0, 0x00EE0086));  // only SRCCOPY
  EXPECT_FALSE(BitBlt(second, 0, 0, 7, 5, first, 0, 0, SRCCOPY));      // only from the screen

  // Deleting a selected bitmap takes it out of its DC; a second delete, or
  // any use of the stale handle, is refused.
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_FALSE(DeleteObject(bitmap));
  EXPECT_EQ(GetObjectA(bitmap, sizeof bm, &bm), 0);
  EXPECT_FALSE(BitBlt(second, 0, 0, 7, 5, screen, 0, 0, SRCCOPY));
  EXPECT_EQ(SelectObject(second, bitmap), nullptr);

  EXPECT_FALSE(DeleteDC(screen));       // screen DCs go back with ReleaseDC
  EXPECT_EQ(ReleaseDC(nullptr, first), 0);  // memory DCs with DeleteDC
  EXPECT_EQ(ReleaseDC(nullptr, screen), 0);  // obtained for the desktop window
  EXPECT_TRUE(DeleteDC(first));
  EXPECT_FALSE(DeleteDC(first));
  EXPECT_TRUE(DeleteDC(second));
  EXPECT_EQ(ReleaseDC(GetDesktopWindow(), screen), 1);
  EXPECT_EQ(ReleaseDC(GetDesktopWindow(), screen), 0);
}

TEST_F(ScreenCapture, GetDIBitsConvertsLinesOrRefusesWithoutWriting) {
  Capture capture;
  ASSERT_TRUE(screentest::open_capture(&capture, false, false));
  screentest::grab(&capture, 9, 70);  // rows 0..69 of columns 0..8: green, blue, red
  ASSERT_EQ(capture.header().biHeight, 70);
  const std::vector<std::uint8_t> full = capture.dib;
  const int stride = 28;  // 9 pixels × 3 = 27, padded

  // A band of lines: bottom-up line numbers count from the bottom row.
  std::vector<std::uint8_t> header(full.begin(), full.begin() + 40);
  std::vector<std::uint8_t> band(static_cast<std::size_t>(stride) * 5, 0xee);
  EXPECT_EQ(GetDIBits(capture.grabber.memory_dc, capture.grabber.bitmap, 10, 5, band.data(),
                      reinterpret_cast<BITMAPINFO*>(header.data()), DIB_RGB_COLORS),
            5);
  EXPECT_TRUE(std::equal(band.begin(), band.end(), full.begin() + 40 + 10 * stride));
  // Lines past the top are not there to write.
  EXPECT_EQ(GetDIBits(capture.grabber.memory_dc, capture.grabber.bitmap, 68, 10, band.data(),
                      reinterpret_cast<BITMAPINFO*>(header.data()), DIB_RGB_COLORS),
            2);
  EXPECT_EQ(GetDIBits(capture.grabber.memory_dc, capture.grabber.bitmap, 70, 1, band.data(),
                      reinterpret_cast<BITMAPINFO*>(header.data()), DIB_RGB_COLORS),
            0);

  // Top-down, 24 bits: the same rows in the opposite order.
  auto* h = reinterpret_cast<BITMAPINFOHEADER*>(header.data());
  h->biHeight = -70;
  std::vector<std::uint8_t> top_down(static_cast<std::size_t>(stride) * 70, 0xee);
  EXPECT_EQ(GetDIBits(capture.grabber.memory_dc, capture.grabber.bitmap, 0, 70, top_down.data(),
                      reinterpret_cast<BITMAPINFO*>(header.data()), DIB_RGB_COLORS),
            70);
  for (int row = 0; row < 70; ++row) {
    ASSERT_EQ(std::memcmp(top_down.data() + row * stride,
                          full.data() + 40 + (69 - row) * stride, stride),
              0)
        << "row " << row;
  }

  // Formats it does not write leave the buffer alone.
  std::vector<std::uint8_t> untouched(static_cast<std::size_t>(stride) * 70, 0xee);
  auto refuse = [&](auto change) {
    std::vector<std::uint8_t> bad(full.begin(), full.begin() + 40);
    change(*reinterpret_cast<BITMAPINFOHEADER*>(bad.data()));
    std::vector<std::uint8_t> out = untouched;
    EXPECT_EQ(GetDIBits(capture.grabber.memory_dc, capture.grabber.bitmap, 0, 70, out.data(),
                        reinterpret_cast<BITMAPINFO*>(bad.data()), DIB_RGB_COLORS),
              0);
    EXPECT_EQ(out, untouched);
  };
  refuse([](BITMAPINFOHEADER& b) { b.biWidth = 10; });
  refuse([](BITMAPINFOHEADER& b) { b.biHeight = 71; });
  refuse([](BITMAPINFOHEADER& b) { b.biBitCount = 16; });
  refuse([](BITMAPINFOHEADER& b) { b.biCompression = 3; });
  refuse([](BITMAPINFOHEADER& b) { b.biSize = 12; });
  refuse([](BITMAPINFOHEADER& b) { b.biPlanes = 2; });

  // No buffer: the header is filled in for the bitmap.
  BITMAPINFOHEADER query{};
  query.biSize = 40;
  query.biBitCount = 24;
  EXPECT_EQ(GetDIBits(capture.grabber.memory_dc, capture.grabber.bitmap, 0, 70, nullptr,
                      reinterpret_cast<BITMAPINFO*>(&query), DIB_RGB_COLORS),
            70);
  EXPECT_EQ(query.biWidth, 9);
  EXPECT_EQ(query.biHeight, 70);
  EXPECT_EQ(query.biSizeImage, static_cast<DWORD>(stride * 70));
  screentest::close_capture(&capture);
}

}  // namespace
