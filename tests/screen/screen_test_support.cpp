#include "tests/screen/screen_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace screentest {
namespace {

std::unique_ptr<testsupport::XvfbServer> g_server;

class XvfbEnvironment : public ::testing::Environment {
 public:
  explicit XvfbEnvironment(testsupport::XvfbOptions options) : options_(std::move(options)) {}
  void SetUp() override {
    g_server = std::make_unique<testsupport::XvfbServer>(options_);
    ASSERT_TRUE(g_server->ok()) << g_server->error();
    setenv("DISPLAY", g_server->display().c_str(), 1);
  }
  void TearDown() override { g_server.reset(); }

 private:
  testsupport::XvfbOptions options_;
};

std::int32_t stride_of(int width) { return ((width * 24 + 31) / 32) * 4; }

}  // namespace

testsupport::XvfbServer* xvfb() { return g_server.get(); }

void install_xvfb(const testsupport::XvfbOptions& options) {
  ::testing::AddGlobalTestEnvironment(new XvfbEnvironment(options));
}

void ScreenModel::fill(int x, int y, int w, int h, std::uint32_t colour) {
  for (int row = std::max(y, 0); row < std::min(y + h, height); ++row) {
    for (int col = std::max(x, 0); col < std::min(x + w, width); ++col) {
      rgb[static_cast<std::size_t>(row) * width + col] = colour;
    }
  }
}

void ScreenModel::draw_cursor(const testsupport::CursorPicture& picture, int x, int y) {
  for (int row = 0; row < static_cast<int>(picture.rows.size()); ++row) {
    const std::string& line = picture.rows[static_cast<std::size_t>(row)];
    for (int col = 0; col < static_cast<int>(line.size()); ++col) {
      const int px = x + col, py = y + row;
      if (px < 0 || py < 0 || px >= width || py >= height) continue;
      const char c = line[static_cast<std::size_t>(col)];
      if (c == '#') rgb[static_cast<std::size_t>(py) * width + px] = picture.foreground;
      if (c == '.') rgb[static_cast<std::size_t>(py) * width + px] = picture.background;
    }
  }
}

void paint(testsupport::X11Painter& painter, ScreenModel& model, int x, int y, int w, int h,
           std::uint32_t colour) {
  painter.fill(x, y, w, h, colour);
  model.fill(x, y, w, h, colour);
}

std::uint32_t Capture::pixel(int x, int y) const {
  const BITMAPINFOHEADER& h = header();
  const std::size_t row = static_cast<std::size_t>(h.biHeight - 1 - y);
  const std::uint8_t* p = dib.data() + 40 + row * static_cast<std::size_t>(stride_of(h.biWidth)) +
                          static_cast<std::size_t>(x) * 3;
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

bool open_capture(Capture* capture, bool whole_desktop, bool with_cursor) {
  *capture = Capture{};
  capture->with_cursor = with_cursor;
  capture->window = whole_desktop ? GetDesktopWindow() : nullptr;
  capture->screen_dc = GetDC(capture->window);
  if (capture->screen_dc == nullptr) return false;
  if (whole_desktop) {
    capture->source_width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    capture->source_height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    capture->origin = POINT{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN)};
  } else {
    capture->source_width = GetDeviceCaps(capture->screen_dc, HORZRES);
    capture->source_height = GetDeviceCaps(capture->screen_dc, VERTRES);
  }
  capture->memory_dc = CreateCompatibleDC(capture->screen_dc);
  return capture->memory_dc != nullptr;
}

void grab(Capture* capture, int width, int height) {
  if (capture->bitmap != nullptr &&
      (capture->bitmap_width != width || capture->bitmap_height != height)) {
    DeleteObject(capture->bitmap);
    capture->bitmap = nullptr;
  }
  if (capture->bitmap == nullptr) {
    capture->bitmap = CreateCompatibleBitmap(capture->screen_dc, width, height);
    capture->bitmap_width = width;
    capture->bitmap_height = height;
  }
  SelectObject(capture->memory_dc, capture->bitmap);

  CURSORINFO ci{};
  ci.cbSize = sizeof ci;
  const bool have_cursor = GetCursorInfo(&ci) != FALSE && ci.hCursor != nullptr;
  ICONINFO ii{};
  const bool have_icon = have_cursor && GetIconInfo(ci.hCursor, &ii) != FALSE;

  capture->blit_ok = BitBlt(capture->memory_dc, 0, 0, width, height, capture->screen_dc,
                            capture->origin.x, capture->origin.y, SRCCOPY) != FALSE;
  if (have_icon) {
    capture->cursor_x = ci.ptScreenPos.x - static_cast<LONG>(ii.xHotspot);
    capture->cursor_y = ci.ptScreenPos.y - static_cast<LONG>(ii.yHotspot);
    if (capture->with_cursor) {
      DrawIcon(capture->memory_dc, capture->cursor_x - capture->origin.x,
               capture->cursor_y - capture->origin.y, ci.hCursor);
    }
    if (ii.hbmMask != nullptr) DeleteObject(ii.hbmMask);
    if (ii.hbmColor != nullptr) DeleteObject(ii.hbmColor);
  }

  BITMAP bm{};
  GetObjectA(capture->bitmap, sizeof(BITMAP), &bm);
  const std::size_t bytes =
      40 + static_cast<std::size_t>(stride_of(bm.bmWidth)) * static_cast<std::size_t>(bm.bmHeight);
  if (capture->dib.size() != bytes) {
    capture->dib.assign(bytes, 0);
    auto* h = reinterpret_cast<BITMAPINFOHEADER*>(capture->dib.data());
    h->biSize = 40;
    h->biWidth = bm.bmWidth;
    h->biHeight = bm.bmHeight;
    h->biPlanes = 1;
    h->biBitCount = 24;
    h->biCompression = BI_RGB;
    h->biSizeImage = static_cast<DWORD>(bytes - 40);
  }
  capture->lines = GetDIBits(capture->memory_dc, capture->bitmap, 0, static_cast<UINT>(bm.bmHeight),
                             capture->dib.data() + 40,
                             reinterpret_cast<BITMAPINFO*>(capture->dib.data()), DIB_RGB_COLORS);
}

void grab(Capture* capture) { grab(capture, capture->source_width, capture->source_height); }

void close_capture(Capture* capture) {
  if (capture->bitmap != nullptr) DeleteObject(capture->bitmap);
  if (capture->memory_dc != nullptr) DeleteDC(capture->memory_dc);
  if (capture->screen_dc != nullptr) ReleaseDC(capture->window, capture->screen_dc);
  *capture = Capture{};
}

bool run_xrandr(const std::string& display, const std::string& args) {
  const std::string command = "xrandr --display " + display + " " + args + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::string compare_frame(const Capture& capture, const ScreenModel& model, int dx, int dy) {
  const BITMAPINFOHEADER& h = capture.header();
  const int stride = stride_of(h.biWidth);
  for (int y = 0; y < h.biHeight; ++y) {
    for (int x = 0; x < h.biWidth; ++x) {
      const std::uint32_t want = model.at(x + dx, y + dy);
      const std::uint32_t got = capture.pixel(x, y);
      if (want != got) {
        char text[128];
        std::snprintf(text, sizeof text, "pixel (%d, %d): want %06x, got %06x", x, y,
                      static_cast<unsigned>(want), static_cast<unsigned>(got));
        return text;
      }
    }
    const std::uint8_t* row =
        capture.dib.data() + 40 + static_cast<std::size_t>(h.biHeight - 1 - y) * stride;
    for (int pad = h.biWidth * 3; pad < stride; ++pad) {
      if (row[pad] != 0) return "row " + std::to_string(y) + ": padding not zero";
    }
  }
  return "";
}

}  // namespace screentest
