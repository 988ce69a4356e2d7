#include "tests/support/x11_painter.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace testsupport {

X11Painter::X11Painter(const std::string& display) {
  display_ = XOpenDisplay(display.c_str());
}

X11Painter::~X11Painter() {
  if (display_ == nullptr) return;
  if (cursor_ != 0) XFreeCursor(display_, cursor_);
  XCloseDisplay(display_);
}

int X11Painter::root_width() const {
  return display_ != nullptr ? DisplayWidth(display_, DefaultScreen(display_)) : 0;
}

int X11Painter::root_height() const {
  return display_ != nullptr ? DisplayHeight(display_, DefaultScreen(display_)) : 0;
}

unsigned long X11Painter::pixel_for(std::uint32_t rgb) {
  XColor color{};
  color.red = static_cast<unsigned short>(((rgb >> 16) & 0xff) * 0x101);
  color.green = static_cast<unsigned short>(((rgb >> 8) & 0xff) * 0x101);
  color.blue = static_cast<unsigned short>((rgb & 0xff) * 0x101);
  color.flags = DoRed | DoGreen | DoBlue;
  XAllocColor(display_, DefaultColormap(display_, DefaultScreen(display_)), &color);
  return color.pixel;
}

void X11Painter::fill(int x, int y, int width, int height, std::uint32_t rgb) {
  if (display_ == nullptr) return;
  const int screen = DefaultScreen(display_);
  GC gc = XCreateGC(display_, RootWindow(display_, screen), 0, nullptr);
  XSetForeground(display_, gc, pixel_for(rgb));
  XFillRectangle(display_, RootWindow(display_, screen), gc, x, y,
                 static_cast<unsigned>(width), static_cast<unsigned>(height));
  XFreeGC(display_, gc);
  XSync(display_, False);
}

bool X11Painter::set_cursor(const CursorPicture& picture) {
  if (display_ == nullptr || picture.rows.empty()) return false;
  const int width = static_cast<int>(picture.rows[0].size());
  const int height = static_cast<int>(picture.rows.size());
  const int row_bytes = (width + 7) / 8;
  std::vector<char> source(static_cast<std::size_t>(row_bytes * height), 0);
  std::vector<char> mask(source.size(), 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const char c = picture.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
      const std::size_t byte = static_cast<std::size_t>(y * row_bytes + x / 8);
      const char bit = static_cast<char>(1 << (x % 8));  // XBM: least significant bit first
      if (c == '#' || c == '.') mask[byte] = static_cast<char>(mask[byte] | bit);
      if (c == '#') source[byte] = static_cast<char>(source[byte] | bit);
    }
  }
  const Window root = DefaultRootWindow(display_);
  Pixmap source_map = XCreateBitmapFromData(display_, root, source.data(),
                                            static_cast<unsigned>(width), static_cast<unsigned>(height));
  Pixmap mask_map = XCreateBitmapFromData(display_, root, mask.data(),
                                          static_cast<unsigned>(width), static_cast<unsigned>(height));
  auto to_xcolor = [](std::uint32_t rgb) {
    XColor color{};
    color.red = static_cast<unsigned short>(((rgb >> 16) & 0xff) * 0x101);
    color.green = static_cast<unsigned short>(((rgb >> 8) & 0xff) * 0x101);
    color.blue = static_cast<unsigned short>((rgb & 0xff) * 0x101);
    color.flags = DoRed | DoGreen | DoBlue;
    return color;
  };
  XColor foreground = to_xcolor(picture.foreground);
  XColor background = to_xcolor(picture.background);
  Cursor cursor = XCreatePixmapCursor(display_, source_map, mask_map, &foreground, &background,
                                      static_cast<unsigned>(picture.xhot),
                                      static_cast<unsigned>(picture.yhot));
  XFreePixmap(display_, source_map);
  XFreePixmap(display_, mask_map);
  XDefineCursor(display_, root, cursor);
  if (cursor_ != 0) XFreeCursor(display_, cursor_);
  cursor_ = cursor;
  XSync(display_, False);
  return cursor != 0;
}

void X11Painter::warp_pointer(int x, int y) {
  if (display_ == nullptr) return;
  XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
  XSync(display_, False);
}

void X11Painter::sync() {
  if (display_ != nullptr) XSync(display_, False);
}

}  // namespace testsupport
