// The screen grabber: copies the capture source (the primary screen, or the
// whole desktop) into a 24-bit bottom-up DIB held in one memory block,
// paints the cursor into it when asked, and notes where the cursor image
// lies on the screen. Opening it chooses the compressor and settles the frame
// size with it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Why OpenGrabber gave up.
enum GrabberFailure : int32_t {
  kGrabberOpened = 0,
  kGrabberNoCompressor = 1,  // no installed compressor describes itself as x264vfw
  kGrabberNoScreen = 2,      // the screen cannot be opened, or is too small or too large
};

struct ScreenGrabber {
  HDC screen_dc;       // the capture source; owned
  HDC memory_dc;       // compatible with screen_dc; the frame is built here; owned
  HBITMAP bitmap;      // selected into memory_dc; null until the first grab; owned
  int32_t bitmap_width;
  int32_t bitmap_height;
  HGLOBAL dib_memory;  // the block holding the DIB; null until the first grab; owned
  int32_t dib_bytes;   // 40 + image bytes; 0 while there is no block
  int32_t width;       // frame size: what the next grab captures
  int32_t height;
  int32_t with_cursor;  // non-zero: paint the cursor into every frame
  ICINFO* codec_info;   // the chosen compressor; owned
  BITMAPINFOHEADER* dib;  // locked address of dib_memory: header, then pixel rows
  int32_t cursor_x;  // left and top of the cursor image at the last grab,
  int32_t cursor_y;  // in screen coordinates (may be negative)

  HWND source_window;       // the window screen_dc belongs to (null: the screen)
  int32_t source_x;         // top-left of the source in screen coordinates
  int32_t source_y;
  HGDIOBJ original_bitmap;  // memory_dc's own bitmap, selected back before deleting ours
  GrabberFailure failure;
  // Non-zero when the last grab could not copy the screen (BitBlt failed: a
  // locked workstation, the secure desktop, a disconnected session); the
  // frame then holds what the screen last showed.
  int32_t copy_failed;
};

// Opens the grabber: has FindCompressor choose the compressor, opens the
// source (the whole desktop when `whole_desktop` is non-zero, else the
// primary screen) and settles the frame size: the first of (W, H), (W, H-1),
// ..., (W, H-8), (W-1, H), ..., (W-8, H-8) that the compressor accepts, or
// (W-8, H-8) when it accepts none. Leaves the last trial's frame in the DIB.
// Returns `grabber`, or null with `failure` set and everything released.
// Main thread.
ScreenGrabber* OpenGrabber(ScreenGrabber* grabber, int32_t with_cursor, int32_t whole_desktop);

// Captures one width x height frame into the DIB and updates cursor_x,
// cursor_y and copy_failed. Allocates nothing once the size is settled.
// Main thread.
void GrabFrame(ScreenGrabber* grabber);

// Releases everything the grabber holds; safe to call twice. Main thread.
void CloseGrabber(ScreenGrabber* grabber);

// Bytes of one row of a 24-bit DIB: width x 3 raised to a multiple of 4.
int64_t DibStride(int64_t width);
