// A small X client for tests that need a known screen: solid rectangles of
// known colours on the root window, a cursor with a known image and hot
// spot, and the pointer at a known place. It has its own connection, apart
// from whatever the code under test opens.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _XDisplay;

namespace testsupport {

// A two-colour cursor drawn as text rows: '#' foreground, '.' background,
// anything else transparent. All rows are as long as the first.
struct CursorPicture {
  std::vector<std::string> rows;
  int xhot = 0;
  int yhot = 0;
  std::uint32_t foreground = 0xffffff;  // 0xRRGGBB
  std::uint32_t background = 0x000000;
};

class X11Painter {
 public:
  explicit X11Painter(const std::string& display);
  ~X11Painter();
  X11Painter(const X11Painter&) = delete;
  X11Painter& operator=(const X11Painter&) = delete;

  bool ok() const { return display_ != nullptr; }
  int root_width() const;
  int root_height() const;

  // Fills a rectangle of the root window (root coordinates) with 0xRRGGBB.
  void fill(int x, int y, int width, int height, std::uint32_t rgb);
  // Makes `picture` the cursor shown over the root window.
  bool set_cursor(const CursorPicture& picture);
  // Moves the pointer to (x, y) of the root window.
  void warp_pointer(int x, int y);
  // Waits until the server has carried out everything asked so far.
  void sync();

 private:
  unsigned long pixel_for(std::uint32_t rgb);

  _XDisplay* display_ = nullptr;
  unsigned long cursor_ = 0;
};

}  // namespace testsupport
