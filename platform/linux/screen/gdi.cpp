// GDI and USER screen operations over the session's capture source (X11 or
// a Wayland desktop's screen cast, capture_source.h): device contexts,
// compatible bitmaps, BitBlt from the screen, the cursor, DrawIcon and
// GetDIBits.
//
// Handles are pointers to the records below. Every live record is listed in
// one table, so a stale or foreign handle is refused (FALSE, 0 or null)
// instead of being followed, and nothing is released twice.
//
// Screen coordinates put the primary monitor's top-left at (0, 0), as on
// Windows; screen::Geometry maps them to the desktop's coordinates. All of
// these are called from the thread that records (the main thread).
//
// A bitmap that BitBlt fills whole from the screen, frame after frame, is
// kept up to date by the source: only the rows it reports changed are read
// again. The cursor that DrawIcon blends in is taken off
// again by the next BitBlt (the pixels it covered are kept), so the bitmap
// then holds what a full copy would give, and the cursor is drawn once.
// GetDIBits notes which rows of its output changed since it last wrote the
// same place (frame_changes.h), for the compressor that reads the DIB next.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "platform/linux/common/frame_changes.h"
#include "platform/linux/screen/gdi_api.h"
#include "platform/linux/screen/pixel_convert.h"
#include "platform/linux/screen/capture_source.h"

namespace {

enum class Kind { kScreenDc, kMemoryDc, kBitmap, kCursor };

// The session's source. Every handle that leads to a call below was made
// after GetDC found one, so only GetDC and GetSystemMetrics meet a null.
const screen::CaptureSource* src() { return screen::active_source(); }

struct GdiObject {
  Kind kind;
};

struct MemoryBitmap;

struct DeviceContext : GdiObject {
  HWND window = nullptr;              // the window GetDC was given (screen DCs)
  MemoryBitmap* selected = nullptr;   // memory DCs; null: the stock bitmap
};

// The cursor DrawIcon blended in, and the pixels it covered.
struct CursorOverlay {
  bool drawn = false;
  int x = 0;  // the covered rectangle, clipped to the bitmap
  int y = 0;
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> under;  // its BGRX rows before the blend; capacity kept
};

// Where GetDIBits last wrote the whole bitmap, in which layout, and the
// serial of its note (frame_changes.h).
struct DibPlace {
  const void* bits = nullptr;
  int bits_per_pixel = 0;
  bool bottom_up = false;
  std::uint64_t serial = 0;
};

struct MemoryBitmap : GdiObject {
  screen::PixelStore store;
  DeviceContext* selected_in = nullptr;
  bool stock = false;
  CursorOverlay cursor;
  DibPlace last_dib;
  std::vector<std::uint8_t> dib_rows;  // changed rows in the DIB's memory order; capacity kept
};

// Rows y .. y+h of the bitmap were drawn on.
void mark_changed(screen::PixelStore& store, int y, int h) {
  std::uint8_t* changed = src()->store_changed_rows(&store);
  if (changed != nullptr && h > 0) std::memset(changed + y, 1, static_cast<std::size_t>(h));
}

// The cursor handle GetCursorInfo gives out: one record for the process,
// whose image follows the cursor on the screen.
struct CursorRecord : GdiObject {
  const screen::CursorImage* image = nullptr;
};

// The desktop window is never looked into; its address is its handle.
struct DesktopWindow {
  int unused;
} g_desktop_window{};

std::unordered_set<const GdiObject*>& live_objects() {
  static auto* objects = new std::unordered_set<const GdiObject*>();
  return *objects;
}

// The 1 × 1 bitmap every memory DC starts with, as SelectObject returns it.
MemoryBitmap* stock_bitmap() {
  static MemoryBitmap* stock = [] {
    auto* bitmap = new MemoryBitmap{};
    bitmap->kind = Kind::kBitmap;
    bitmap->stock = true;
    live_objects().insert(bitmap);
    return bitmap;
  }();
  return stock;
}

CursorRecord* cursor_record() {
  static CursorRecord* cursor = [] {
    auto* record = new CursorRecord{};
    record->kind = Kind::kCursor;
    live_objects().insert(record);
    return record;
  }();
  return cursor;
}

template <typename T>
T* find(const void* handle, Kind kind) {
  if (handle == nullptr) return nullptr;
  auto* object = static_cast<const GdiObject*>(handle);
  if (live_objects().count(object) == 0 || object->kind != kind) return nullptr;
  return static_cast<T*>(const_cast<GdiObject*>(object));
}

DeviceContext* find_dc(HDC hdc) {
  if (auto* dc = find<DeviceContext>(hdc, Kind::kScreenDc)) return dc;
  return find<DeviceContext>(hdc, Kind::kMemoryDc);
}

// The bitmap a memory DC draws on, or null for a screen DC or the stock one.
MemoryBitmap* drawing_bitmap(HDC hdc) {
  DeviceContext* dc = find<DeviceContext>(hdc, Kind::kMemoryDc);
  return dc != nullptr ? dc->selected : nullptr;
}

void deselect(MemoryBitmap* bitmap) {
  if (bitmap->selected_in != nullptr) {
    bitmap->selected_in->selected = nullptr;
    bitmap->selected_in = nullptr;
  }
}

// Puts back the pixels the last DrawIcon covered.
void take_off_cursor(MemoryBitmap* bitmap) {
  CursorOverlay& o = bitmap->cursor;
  if (!o.drawn) return;
  o.drawn = false;
  screen::PixelStore& store = bitmap->store;
  const std::size_t row_bytes = static_cast<std::size_t>(o.width) * 4u;
  for (int row = 0; row < o.height; ++row) {
    std::memcpy(store.pixels + (o.y + row) * store.stride + o.x * 4, o.under.data() + row * row_bytes, row_bytes);
  }
  mark_changed(store, o.y, o.height);
}

// Sets the rectangle [x0, x1) × [y0, y1) of the store to black.
void fill_black(screen::PixelStore& store, int x0, int y0, int x1, int y1) {
  if (x0 >= x1 || y0 >= y1) return;
  mark_changed(store, y0, y1 - y0);
  for (int y = y0; y < y1; ++y) {
    std::memset(store.pixels + y * store.stride + x0 * 4, 0, static_cast<std::size_t>(x1 - x0) * 4u);
  }
}

// One axis of a copy: [start, start + extent) clipped to [0, limit), and
// the offset of the clipped start from the unclipped one.
struct Span {
  int begin;
  int end;
};

Span clip(std::int64_t start, std::int64_t extent, std::int64_t limit) {
  std::int64_t begin = std::max<std::int64_t>(start, 0);
  std::int64_t end = std::min<std::int64_t>(start + extent, limit);
  if (end < begin) end = begin;
  return {static_cast<int>(begin), static_cast<int>(end)};
}

}  // namespace

// ---- USER -------------------------------------------------------------------

HWND GetDesktopWindow() { return reinterpret_cast<HWND>(&g_desktop_window); }

// A DC on the whole screen, for no window or the desktop window. Null when
// there is no X display (or it was lost), and when the screen's visual
// cannot be read as true colours: a recording of wrong colours is worse
// than none (the screen layer says why on standard error).
HDC GetDC(HWND hWnd) {
  if (hWnd != nullptr && hWnd != GetDesktopWindow()) return nullptr;
  screen::Geometry geometry{};
  if (!src()->geometry(&geometry, true) || !src()->readable()) return nullptr;
  auto* dc = new (std::nothrow) DeviceContext{};
  if (dc == nullptr) return nullptr;
  dc->kind = Kind::kScreenDc;
  dc->window = hWnd;
  live_objects().insert(dc);
  return reinterpret_cast<HDC>(dc);
}

int ReleaseDC(HWND hWnd, HDC hDC) {
  DeviceContext* dc = find<DeviceContext>(hDC, Kind::kScreenDc);
  if (dc == nullptr || dc->window != hWnd) return 0;
  live_objects().erase(dc);
  delete dc;
  return 1;
}

int GetSystemMetrics(int nIndex) {
  screen::Geometry geometry{};
  if (!src()->geometry(&geometry, true)) return 0;
  switch (nIndex) {
    case SM_CXSCREEN:
      return geometry.primary_width;
    case SM_CYSCREEN:
      return geometry.primary_height;
    case SM_XVIRTUALSCREEN:
      return -geometry.primary_x;
    case SM_YVIRTUALSCREEN:
      return -geometry.primary_y;
    case SM_CXVIRTUALSCREEN:
      return geometry.desktop_width;
    case SM_CYVIRTUALSCREEN:
      return geometry.desktop_height;
    default:
      return 0;
  }
}

// The pointer's position and the cursor. Fails (FALSE, hCursor null, the
// position untouched) when there is no display, the pointer is on another
// screen, or the server gives no cursor image.
BOOL GetCursorInfo(PCURSORINFO pci) {
  if (pci == nullptr || pci->cbSize != sizeof(CURSORINFO)) return FALSE;
  pci->flags = 0;
  pci->hCursor = nullptr;
  int root_x = 0, root_y = 0;
  const screen::CursorImage* image = nullptr;
  screen::Geometry geometry{};
  if (!src()->cursor(&root_x, &root_y, &image) || !src()->geometry(&geometry, false)) {
    return FALSE;
  }
  CursorRecord* cursor = cursor_record();
  cursor->image = image;
  pci->flags = CURSOR_SHOWING;
  pci->hCursor = reinterpret_cast<HCURSOR>(cursor);
  pci->ptScreenPos.x = root_x - geometry.primary_x;
  pci->ptScreenPos.y = root_y - geometry.primary_y;
  return TRUE;
}

// The hot spot of a cursor from GetCursorInfo. No mask or colour bitmaps are
// made (both null): the image stays with the cursor, and a grab has nothing
// to allocate or delete.
BOOL GetIconInfo(HICON hIcon, PICONINFO piconinfo) {
  CursorRecord* cursor = find<CursorRecord>(hIcon, Kind::kCursor);
  if (cursor == nullptr || cursor->image == nullptr || piconinfo == nullptr) return FALSE;
  piconinfo->fIcon = FALSE;
  piconinfo->xHotspot = static_cast<DWORD>(cursor->image->xhot);
  piconinfo->yHotspot = static_cast<DWORD>(cursor->image->yhot);
  piconinfo->hbmMask = nullptr;
  piconinfo->hbmColor = nullptr;
  return TRUE;
}

// Blends the cursor image with its top-left corner at (X, Y) of the bitmap
// selected into a memory DC, clipped at the bitmap's edges.
BOOL DrawIcon(HDC hDC, int X, int Y, HICON hIcon) {
  MemoryBitmap* bitmap = drawing_bitmap(hDC);
  CursorRecord* cursor = find<CursorRecord>(hIcon, Kind::kCursor);
  if (bitmap == nullptr || cursor == nullptr || cursor->image == nullptr) return FALSE;
  const screen::CursorImage& image = *cursor->image;
  screen::PixelStore& store = bitmap->store;
  CursorOverlay& overlay = bitmap->cursor;
  if (overlay.drawn) {
    // A second cursor on the same copy: the first stays as drawn, and the
    // screen's own rows under it are read again by the next BitBlt.
    src()->store_mark_stale(&store, overlay.y, overlay.height);
    overlay.drawn = false;
  }
  const Span columns = clip(X, image.width, store.width);
  const Span rows = clip(Y, image.height, store.height);
  if (columns.begin < columns.end && rows.begin < rows.end) {
    const int width = columns.end - columns.begin;
    const int height = rows.end - rows.begin;
    std::uint8_t* at = store.pixels + rows.begin * store.stride + columns.begin * 4;
    const std::size_t row_bytes = static_cast<std::size_t>(width) * 4u;
    overlay.under.resize(row_bytes * static_cast<std::size_t>(height));
    for (int row = 0; row < height; ++row) {
      std::memcpy(overlay.under.data() + row * row_bytes, at + row * store.stride, row_bytes);
    }
    overlay.x = columns.begin;
    overlay.y = rows.begin;
    overlay.width = width;
    overlay.height = height;
    overlay.drawn = true;
    const std::uint32_t* src = image.argb.data() +
                               static_cast<std::ptrdiff_t>(rows.begin - Y) * image.width +
                               (columns.begin - X);
    pixel::blend_premultiplied_argb(src, image.width, at, store.stride, width, height);
    mark_changed(store, overlay.y, height);
  }
  return TRUE;
}

// ---- GDI --------------------------------------------------------------------

int GetDeviceCaps(HDC hdc, int index) {
  if (find_dc(hdc) == nullptr) return 0;
  constexpr int kBitsPixel = 12;
  constexpr int kPlanes = 14;
  switch (index) {
    case HORZRES:
    case VERTRES: {
      screen::Geometry geometry{};
      if (!src()->geometry(&geometry, true)) return 0;
      return index == HORZRES ? geometry.primary_width : geometry.primary_height;
    }
    case kBitsPixel:
      return 32;
    case kPlanes:
      return 1;
    default:
      return 0;
  }
}

HDC CreateCompatibleDC(HDC hdc) {
  if (hdc != nullptr && find_dc(hdc) == nullptr) return nullptr;
  auto* dc = new (std::nothrow) DeviceContext{};
  if (dc == nullptr) return nullptr;
  dc->kind = Kind::kMemoryDc;
  live_objects().insert(dc);
  return reinterpret_cast<HDC>(dc);
}

// Deletes a memory DC; a bitmap selected into it lives on, unselected.
// Screen DCs go back with ReleaseDC instead.
BOOL DeleteDC(HDC hdc) {
  DeviceContext* dc = find<DeviceContext>(hdc, Kind::kMemoryDc);
  if (dc == nullptr) return FALSE;
  if (dc->selected != nullptr) deselect(dc->selected);
  live_objects().erase(dc);
  delete dc;
  return TRUE;
}

// A black 32-bit bitmap. Null for a bad DC, an empty or absurd size, or no
// memory.
HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
  if (find_dc(hdc) == nullptr || cx <= 0 || cy <= 0) return nullptr;
  auto* bitmap = new (std::nothrow) MemoryBitmap{};
  if (bitmap == nullptr) return nullptr;
  bitmap->kind = Kind::kBitmap;
  if (!src()->store_create(&bitmap->store, cx, cy)) {
    delete bitmap;
    return nullptr;
  }
  live_objects().insert(bitmap);
  return reinterpret_cast<HBITMAP>(bitmap);
}

// Selects a bitmap into a memory DC and returns the one it replaces (the
// stock bitmap for a fresh DC). A bitmap can be in one DC at a time.
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  DeviceContext* dc = find<DeviceContext>(hdc, Kind::kMemoryDc);
  MemoryBitmap* bitmap = find<MemoryBitmap>(h, Kind::kBitmap);
  if (dc == nullptr || bitmap == nullptr) return nullptr;
  if (!bitmap->stock && bitmap->selected_in != nullptr && bitmap->selected_in != dc) return nullptr;
  MemoryBitmap* previous = dc->selected != nullptr ? dc->selected : stock_bitmap();
  if (previous != bitmap) {
    if (dc->selected != nullptr) deselect(dc->selected);
    if (!bitmap->stock) {
      dc->selected = bitmap;
      bitmap->selected_in = dc;
    }
  }
  return previous;
}

// Deletes a bitmap. One still selected into a DC is taken out of it first
// (the DC falls back to the stock bitmap), so neither a stale pointer nor a
// leak is left behind. Deleting the stock bitmap does nothing.
BOOL DeleteObject(HGDIOBJ ho) {
  MemoryBitmap* bitmap = find<MemoryBitmap>(ho, Kind::kBitmap);
  if (bitmap == nullptr) return FALSE;
  if (bitmap->stock) return TRUE;
  deselect(bitmap);
  live_objects().erase(bitmap);
  src()->store_destroy(&bitmap->store);
  delete bitmap;
  return TRUE;
}

// Describes a bitmap as a device-dependent one: 32 bits, one plane, no
// pointer to the bits. With pv null, returns the size it needs.
int GetObjectA(HANDLE h, int c, LPVOID pv) {
  MemoryBitmap* bitmap = find<MemoryBitmap>(h, Kind::kBitmap);
  if (bitmap == nullptr) return 0;
  if (pv == nullptr) return static_cast<int>(sizeof(BITMAP));
  if (c < static_cast<int>(sizeof(BITMAP))) return 0;
  BITMAP bm{};
  bm.bmType = 0;
  if (bitmap->stock) {
    bm.bmWidth = 1;
    bm.bmHeight = 1;
    bm.bmWidthBytes = 2;
    bm.bmBitsPixel = 1;
  } else {
    bm.bmWidth = bitmap->store.width;
    bm.bmHeight = bitmap->store.height;
    bm.bmWidthBytes = bitmap->store.width * 4;
    bm.bmBitsPixel = 32;
  }
  bm.bmPlanes = 1;
  bm.bmBits = nullptr;
  std::memcpy(pv, &bm, sizeof bm);
  return static_cast<int>(sizeof(BITMAP));
}

// Copies cx × cy pixels of the screen, from screen coordinates (x1, y1) of
// the source DC, into the bitmap of a memory DC at (x, y). Only SRCCOPY from
// a screen DC. The part of the rectangle that falls outside the bitmap is
// dropped; the part whose source lies off the root window turns black. On a
// failed read (protocol error, lost connection) returns FALSE and the bitmap
// keeps its pixels, less the cursor DrawIcon put there (rows of a bitmap kept
// up to date may have been brought up to date). A copy that fills the whole
// bitmap from inside the root window keeps it up to date (see the top).
BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop) {
  MemoryBitmap* bitmap = drawing_bitmap(hdc);
  if (bitmap == nullptr || find<DeviceContext>(hdcSrc, Kind::kScreenDc) == nullptr ||
      rop != SRCCOPY || cx <= 0 || cy <= 0) {
    return FALSE;
  }
  screen::Geometry geometry{};
  if (!src()->geometry(&geometry, false)) return FALSE;
  screen::PixelStore& store = bitmap->store;
  take_off_cursor(bitmap);

  // The destination rectangle inside the bitmap, then its source in root
  // coordinates, then the part of that which the root window has.
  const Span dst_x = clip(x, cx, store.width);
  const Span dst_y = clip(y, cy, store.height);
  if (dst_x.begin >= dst_x.end || dst_y.begin >= dst_y.end) return TRUE;
  const std::int64_t root_x = std::int64_t{x1} + (dst_x.begin - x) + geometry.primary_x;
  const std::int64_t root_y = std::int64_t{y1} + (dst_y.begin - y) + geometry.primary_y;
  const Span src_x = clip(root_x, dst_x.end - dst_x.begin, geometry.desktop_width);
  const Span src_y = clip(root_y, dst_y.end - dst_y.begin, geometry.desktop_height);

  const bool whole = dst_x.begin == 0 && dst_x.end == store.width && dst_y.begin == 0 &&
                     dst_y.end == store.height && src_x.end - src_x.begin == store.width &&
                     src_y.end - src_y.begin == store.height;
  if (whole) return src()->store_update(&store, src_x.begin, src_y.begin) ? TRUE : FALSE;

  int inner_x0 = dst_x.begin, inner_x1 = dst_x.begin;
  int inner_y0 = dst_y.begin, inner_y1 = dst_y.begin;
  if (src_x.begin < src_x.end && src_y.begin < src_y.end) {
    inner_x0 = dst_x.begin + static_cast<int>(src_x.begin - root_x);
    inner_y0 = dst_y.begin + static_cast<int>(src_y.begin - root_y);
    inner_x1 = inner_x0 + (src_x.end - src_x.begin);
    inner_y1 = inner_y0 + (src_y.end - src_y.begin);
    if (!src()->store_read(&store, inner_x0, inner_y0, inner_x1 - inner_x0,
                                    inner_y1 - inner_y0, src_x.begin, src_y.begin)) {
      return FALSE;
    }
  }
  // Black around what the screen gave: above, below, left and right of it.
  if (inner_x0 == inner_x1) {
    fill_black(store, dst_x.begin, dst_y.begin, dst_x.end, dst_y.end);
  } else {
    fill_black(store, dst_x.begin, dst_y.begin, dst_x.end, inner_y0);
    fill_black(store, dst_x.begin, inner_y1, dst_x.end, dst_y.end);
    fill_black(store, dst_x.begin, inner_y0, inner_x0, inner_y1);
    fill_black(store, inner_x1, inner_y0, dst_x.end, inner_y1);
  }
  return TRUE;
}

// Notes for the compressor which rows of the DIB just written changed since
// the bitmap was last written whole to the same place (all of them after a
// write elsewhere, or of some lines only), and starts counting anew.
static void note_dib(MemoryBitmap* bitmap, const std::uint8_t* out, std::ptrdiff_t stride, UINT start, int lines,
              int bits_per_pixel, bool bottom_up) {
  screen::PixelStore& store = bitmap->store;
  const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(lines);
  if (start != 0 || lines != store.height) {
    bitmap->last_dib = DibPlace{};
    frames::note_written(out, bytes, lines, nullptr);
    return;
  }
  DibPlace place{out, bits_per_pixel, bottom_up, 0};
  const bool same_place = bitmap->last_dib.bits == place.bits &&
                          bitmap->last_dib.bits_per_pixel == place.bits_per_pixel &&
                          bitmap->last_dib.bottom_up == place.bottom_up;
  std::uint8_t* changed = src()->store_changed_rows(&store);
  std::vector<std::uint8_t>& rows = bitmap->dib_rows;
  rows.resize(static_cast<std::size_t>(lines));
  for (int i = 0; i < lines; ++i) {
    const int row = bottom_up ? lines - 1 - i : i;  // the bitmap row behind memory row i
    rows[static_cast<std::size_t>(i)] = same_place ? changed[row] : 1;
  }
  place.serial = frames::note_written(out, bytes, lines, rows.data(), same_place ? bitmap->last_dib.serial : 0);
  std::memset(changed, 0, static_cast<std::size_t>(store.height));
  bitmap->last_dib = place;
}

// Converts scan lines of a bitmap into the DIB format the header describes:
// BI_RGB, 24 or 32 bits, bottom-up (positive biHeight) or top-down
// (negative), as wide and as high as the bitmap. Scan line `start` is
// written first, at lpvBits; bottom-up scan lines count from the bottom row.
// Returns the number of lines written, 0 (writing nothing) on any mismatch.
// With lpvBits null it only fills in the header for the bitmap. The header
// is not written otherwise.
int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits,
              LPBITMAPINFO lpbmi, UINT usage) {
  MemoryBitmap* bitmap = find<MemoryBitmap>(hbm, Kind::kBitmap);
  if (find_dc(hdc) == nullptr || bitmap == nullptr || bitmap->stock || lpbmi == nullptr ||
      usage != DIB_RGB_COLORS || lpbmi->bmiHeader.biSize < sizeof(BITMAPINFOHEADER)) {
    return 0;
  }
  const screen::PixelStore& store = bitmap->store;
  BITMAPINFOHEADER& header = lpbmi->bmiHeader;
  if (lpvBits == nullptr) {
    const int bits = header.biBitCount == 24 ? 24 : 32;
    header.biWidth = store.width;
    header.biHeight = store.height;
    header.biPlanes = 1;
    header.biBitCount = static_cast<WORD>(bits);
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(pixel::dib_stride(store.width, bits)) *
                         static_cast<DWORD>(store.height);
    return store.height;
  }
  const int bits = header.biBitCount;
  const std::int64_t height = header.biHeight < 0 ? -std::int64_t{header.biHeight} : header.biHeight;
  if (header.biPlanes != 1 || header.biCompression != BI_RGB || (bits != 24 && bits != 32) ||
      header.biWidth != store.width || height != store.height) {
    return 0;
  }
  if (start >= static_cast<UINT>(store.height)) return 0;
  const int lines = static_cast<int>(std::min<UINT>(cLines, static_cast<UINT>(store.height) - start));
  if (lines == 0) return 0;

  const std::ptrdiff_t stride = pixel::dib_stride(store.width, bits);
  auto* out = static_cast<std::uint8_t*>(lpvBits);
  const std::uint8_t* src;
  std::uint8_t* dst;
  std::ptrdiff_t dst_stride;
  if (header.biHeight > 0) {
    // Bottom-up: the lines start .. start+lines-1 counted from the bottom are
    // the bitmap's rows height-1-start down to height-start-lines; walk
    // those rows downwards in the bitmap and upwards in the output.
    const int first_row = store.height - static_cast<int>(start) - lines;
    src = store.pixels + first_row * store.stride;
    dst = out + (lines - 1) * stride;
    dst_stride = -stride;
  } else {
    src = store.pixels + static_cast<std::ptrdiff_t>(start) * store.stride;
    dst = out;
    dst_stride = stride;
  }
  if (bits == 24) {
    pixel::bgrx_to_bgr24(src, store.stride, dst, dst_stride, store.width, lines);
  } else {
    pixel::bgrx_to_bgr32(src, store.stride, dst, dst_stride, store.width, lines);
  }
  note_dib(bitmap, out, stride, start, lines, bits, header.biHeight > 0);
  return lines;
}
