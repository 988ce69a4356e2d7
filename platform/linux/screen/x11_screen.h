// The X11 capture source: the one connection of the process, the screen's
// geometry (root window and RandR primary monitor), pixel stores that the
// server fills (a MIT-SHM segment where it can), and the cursor (XFixes).
// kX11Source gives these to gdi.cpp as a capture source (capture_source.h);
// the desktop's coordinates are the root window's.
//
// Everything here is called from one thread, the one that makes the screen
// calls (the main thread). After the connection is lost every operation that
// needs the server fails, the loss has been said once on standard error
// ("slotrec: lost the connection to the X display :1") and the program's
// console control handler has been sent CTRL_LOGOFF_EVENT once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/linux/screen/capture_source.h"
#include "platform/linux/screen/pixel_convert.h"

namespace x11 {

// What $DISPLAY names, as the choice of a source needs to know it.
enum class ServerKind {
  kNone,      // no $DISPLAY, or no server answers there
  kXWayland,  // the X server of a Wayland session (its XWAYLAND extension)
  kXServer,   // any other X server: Xorg, Xvfb
};

// Asks the server $DISPLAY names what it is, on a connection of its own
// that is closed again. Main thread, before the source is used.
ServerKind probe_server();

// The X11 capture source over the functions below.
extern const screen::CaptureSource kX11Source;

// Opens the connection from $DISPLAY on first use. True while there is a
// live connection; false when there is no display or the connection was lost
// (never reopened then).
bool screen_ready();

// True once the connection has been lost.
bool screen_lost();

// True while there is a live connection whose screen's pixels can be read
// as true colours. For a visual that cannot be (see plan_visual) it is
// false, and the first call that finds so says why on standard error, once
// for the process:
//   slotrec: cannot capture the X display :1: depth 4 StaticGray visual with 4 bits per pixel
bool screen_readable();

// What decides how a visual's pixels are read.
struct VisualFacts {
  int visual_class = 0;  // as X numbers them: StaticGray 0 .. DirectColor 5
  int depth = 0;
  int bits_per_pixel = 0;  // of the depth's pixmap format
  bool msb_first = false;  // the server's image byte order
  unsigned long red_mask = 0;
  unsigned long green_mask = 0;
  unsigned long blue_mask = 0;
  int colormap_entries = 0;
};

// How the screen layer reads such a visual.
struct VisualPlan {
  pixel::PixelLookup lookup;  // every pixel value's colour (set up, colormap not yet read)
  bool bgrx_as_is = false;     // TrueColor pixels already BGRX: copied, not looked up
  bool colormap_needed = false;   // read at the start: all but BGRX TrueColor
  bool colormap_changes = false;  // GrayScale, PseudoColor, DirectColor: read every grab
  char reason[160] = "";          // why not, when plan_visual gives false
};

// Plans the reading of a visual: true, or false with the reason (depth,
// class and what is in the way) for one that cannot be read as true
// colours: pixels that are not whole bytes or wider than 32 bits, a
// colormap beyond pixel::kMaxColormapEntries cells, masks that are not
// three separate runs of bits, a class X does not define. Any thread.
bool plan_visual(const VisualFacts& facts, VisualPlan* plan);

// Root window coordinates of the screen; the primary monitor is RandR's,
// or the whole root window.
using ScreenGeometry = screen::Geometry;

// The screen's geometry. With `refresh` it is read from the server again
// (root size and monitors, which allocates); otherwise the cached one is
// given, re-read only when the server has announced a change. False when
// there is no connection.
bool screen_geometry(ScreenGeometry* out, bool refresh);

// Pixels of a compatible bitmap. When the server's pixels are TrueColor
// BGRX and MIT-SHM works, `pixels` is the shared segment itself and the
// server writes straight into it; otherwise the segment (or Xlib's reply) is
// only where the server's pixels land before they are looked up.
using PixelStore = screen::PixelStore;

// Makes a black width × height store (a shared segment when the server
// allows it, else ordinary memory). Works without a connection too (the
// store is then plain memory). False when out of memory or the size is
// absurd; `store` is left empty then.
bool pixel_store_create(PixelStore* store, int width, int height);

// Releases what pixel_store_create made. Safe on an empty store and after
// the connection is lost.
void pixel_store_destroy(PixelStore* store);

// Copies the w × h rectangle of the root window at (root_x, root_y) into the
// store at (x, y), in true colours. Both rectangles must lie wholly inside
// their owners (the caller clips). Where the colormap can change (GrayScale,
// PseudoColor, DirectColor) it is read again first, in one more round trip.
// On failure (protocol error, lost connection, a screen that cannot be read)
// returns false and the store keeps its previous pixels. A full-width copy
// into a shared store is one XShmGetImage and allocates nothing. A copy of
// the whole store is kept up to date from then on (pixel_store_update_root).
bool pixel_store_read_root(PixelStore* store, int x, int y, int w, int h,
                           int root_x, int root_y);

// Brings the whole store up to date with the root rectangle of its size at
// (root_x, root_y), which must lie wholly inside the root window. After the
// first such read from that place, only the rows the server has reported
// damaged since (and those marked stale) are read again, in full-width
// bands; the store is read whole again after a change of geometry or
// colormap, when it was last read from elsewhere, and at least every two
// seconds. On failure returns false; rows that could not be read keep their
// previous pixels and are read on the next update.
bool pixel_store_update_root(PixelStore* store, int root_x, int root_y);

// Rows y .. y+h of the store no longer hold what the screen showed (the
// caller drew on them): the next update reads them again.
void pixel_store_mark_stale(PixelStore* store, int y, int h);

// One flag per row of the store (height of them): 1 where the pixels may
// have been written since the owner last cleared the flag. Every read from
// the server sets the flags of the rows it wrote; the owner sets those it
// draws on itself, and clears them when it has used them. All 1 in a new
// store.
std::uint8_t* pixel_store_changed_rows(PixelStore* store);

// Rows of pixels read from the server so far, over every store: what the
// tests watch to see that an update of an unchanged screen reads nothing.
std::uint64_t screen_rows_read();

// The cursor image as XFixes gives it: premultiplied ARGB, row-major.
using CursorImage = screen::CursorImage;

// The pointer's position in root coordinates and the cursor's image. The
// image is fetched again only after XFixes has reported a cursor change, so
// a steady cursor costs one round trip and no allocation. False when the
// query fails or the server gives no image; `*image` is null then.
bool cursor_query(int* root_x, int* root_y, const CursorImage** image);

}  // namespace x11
