#include "capture/screen_grabber.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "capture/compressor_lookup.h"

namespace {

constexpr int32_t kMaxTrim = 8;  // columns and rows the negotiation may trim
constexpr DWORD kDibHeaderBytes = sizeof(BITMAPINFOHEADER);

// Opens the capture source and reads its size and top-left corner.
bool OpenSource(ScreenGrabber* g, int32_t whole_desktop) {
  if (whole_desktop) {
    g->source_window = GetDesktopWindow();
    g->screen_dc = GetDC(g->source_window);
    g->width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    g->height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    // The whole desktop starts left of or above the primary screen when a
    // monitor stands there; the copy starts at the desktop's own corner.
    g->source_x = GetSystemMetrics(SM_XVIRTUALSCREEN);
    g->source_y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  } else {
    g->source_window = nullptr;
    g->screen_dc = GetDC(nullptr);
    g->width = GetDeviceCaps(g->screen_dc, HORZRES);
    g->height = GetDeviceCaps(g->screen_dc, VERTRES);
    g->source_x = 0;
    g->source_y = 0;
  }
  if (g->screen_dc == nullptr) return false;
  // Every trial size must be positive and the largest block must fit the
  // signed 32-bit byte count.
  int64_t largest = DibStride(g->width) * g->height + kDibHeaderBytes;
  return g->width > kMaxTrim && g->height > kMaxTrim &&
         largest <= std::numeric_limits<int32_t>::max();
}

// Size negotiation: rows are trimmed before columns; the first size the
// compressor accepts wins, else the last trial stays.
void NegotiateFrameSize(ScreenGrabber* g) {
  const int32_t full_width = g->width;
  const int32_t full_height = g->height;
  HIC compressor = ICOpen(g->codec_info->fccType, g->codec_info->fccHandler, ICMODE_QUERY);
  for (int32_t columns = 0; columns <= kMaxTrim; ++columns) {
    for (int32_t rows = 0; rows <= kMaxTrim; ++rows) {
      g->width = full_width - columns;
      g->height = full_height - rows;
      GrabFrame(g);
      if (g->bitmap != nullptr && g->dib != nullptr &&
          ICSendMessage(compressor, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(g->dib),
                        0) == ICERR_OK) {
        if (compressor != nullptr) ICClose(compressor);
        return;
      }
    }
  }
  if (compressor != nullptr) ICClose(compressor);
}

void DeleteFrameBitmap(ScreenGrabber* g) {
  // GDI refuses to delete a bitmap that is selected into a device context.
  SelectObject(g->memory_dc, g->original_bitmap);
  DeleteObject(g->bitmap);
  g->bitmap = nullptr;
}

// Queries the cursor and copies the frame; when the cursor query works,
// notes the cursor image's position and paints it if asked. Notes whether
// the screen could be copied.
void CopyScreenWithCursor(ScreenGrabber* g) {
  CURSORINFO cursor{};
  cursor.cbSize = sizeof cursor;
  ICONINFO icon{};
  bool have_cursor = GetCursorInfo(&cursor) && cursor.hCursor != nullptr &&
                     GetIconInfo(cursor.hCursor, &icon);

  g->copy_failed = BitBlt(g->memory_dc, 0, 0, g->width, g->height, g->screen_dc, g->source_x,
                          g->source_y, SRCCOPY)
                       ? 0
                       : 1;

  // Without a cursor the frame keeps the last known position and nothing is
  // drawn or deleted.
  if (!have_cursor) return;
  g->cursor_x = cursor.ptScreenPos.x - static_cast<LONG>(icon.xHotspot);
  g->cursor_y = cursor.ptScreenPos.y - static_cast<LONG>(icon.yHotspot);
  if (g->with_cursor) {
    DrawIcon(g->memory_dc, g->cursor_x - g->source_x, g->cursor_y - g->source_y, cursor.hCursor);
  }
  if (icon.hbmMask != nullptr) DeleteObject(icon.hbmMask);
  if (icon.hbmColor != nullptr) DeleteObject(icon.hbmColor);
}

void FillDibHeader(BITMAPINFOHEADER* h, const BITMAP& bm, int32_t block_bytes) {
  std::memset(h, 0, sizeof *h);
  h->biSize = kDibHeaderBytes;
  h->biWidth = bm.bmWidth;
  h->biHeight = bm.bmHeight;
  h->biPlanes = 1;
  h->biBitCount = 24;
  h->biCompression = BI_RGB;
  h->biSizeImage = static_cast<DWORD>(block_bytes) - kDibHeaderBytes;
}

// Replaces the block when the frame needs a different byte count. Returns
// true when it did. On allocation failure the grabber is left without a
// block (dib null), so nothing is written through it.
bool EnsureDibBlock(ScreenGrabber* g, int32_t needed_bytes) {
  if (needed_bytes == g->dib_bytes) return false;
  if (g->dib_memory != nullptr) GlobalFree(g->dib_memory);
  g->dib = nullptr;
  g->dib_bytes = 0;
  g->dib_memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, static_cast<SIZE_T>(needed_bytes));
  if (g->dib_memory == nullptr) return false;
  g->dib = static_cast<BITMAPINFOHEADER*>(GlobalLock(g->dib_memory));
  if (g->dib == nullptr) {
    GlobalFree(g->dib_memory);
    g->dib_memory = nullptr;
    return false;
  }
  g->dib_bytes = needed_bytes;
  return true;
}

}  // namespace

int64_t DibStride(int64_t width) { return ((width * 24 + 31) / 32) * 4; }

ScreenGrabber* OpenGrabber(ScreenGrabber* grabber, int32_t with_cursor, int32_t whole_desktop) {
  std::memset(grabber, 0, sizeof *grabber);
  grabber->with_cursor = with_cursor;
  grabber->codec_info = new ICINFO{};
  if (FindCompressor(grabber->codec_info) == nullptr) {
    grabber->failure = kGrabberNoCompressor;
    CloseGrabber(grabber);
    return nullptr;
  }
  if (!OpenSource(grabber, whole_desktop) ||
      (grabber->memory_dc = CreateCompatibleDC(grabber->screen_dc)) == nullptr) {
    grabber->failure = kGrabberNoScreen;
    CloseGrabber(grabber);
    return nullptr;
  }
  NegotiateFrameSize(grabber);
  if (grabber->bitmap == nullptr || grabber->dib == nullptr) {
    grabber->failure = kGrabberNoScreen;
    CloseGrabber(grabber);
    return nullptr;
  }
  return grabber;
}

void GrabFrame(ScreenGrabber* g) {
  if (g->bitmap != nullptr && (g->bitmap_width != g->width || g->bitmap_height != g->height)) {
    DeleteFrameBitmap(g);
  }
  bool bitmap_created = false;
  if (g->bitmap == nullptr) {
    g->bitmap = CreateCompatibleBitmap(g->screen_dc, g->width, g->height);
    if (g->bitmap == nullptr) return;
    g->bitmap_width = g->width;
    g->bitmap_height = g->height;
    HGDIOBJ previous = SelectObject(g->memory_dc, g->bitmap);
    if (g->original_bitmap == nullptr) g->original_bitmap = previous;
    bitmap_created = true;
  }

  CopyScreenWithCursor(g);

  BITMAP bm{};
  GetObjectA(g->bitmap, sizeof bm, &bm);
  int64_t needed = DibStride(bm.bmWidth) * bm.bmHeight + kDibHeaderBytes;
  if (bm.bmWidth <= 0 || bm.bmHeight <= 0 || needed > std::numeric_limits<int32_t>::max()) {
    return;
  }
  bool block_replaced = EnsureDibBlock(g, static_cast<int32_t>(needed));
  if (g->dib == nullptr) return;
  if (block_replaced || bitmap_created) FillDibHeader(g->dib, bm, g->dib_bytes);

  GetDIBits(g->memory_dc, g->bitmap, 0, static_cast<UINT>(bm.bmHeight),
            reinterpret_cast<BYTE*>(g->dib) + kDibHeaderBytes, reinterpret_cast<BITMAPINFO*>(g->dib),
            DIB_RGB_COLORS);
  g->dib->biClrUsed = 0;
}

void CloseGrabber(ScreenGrabber* g) {
  if (g->bitmap != nullptr) DeleteFrameBitmap(g);
  if (g->memory_dc != nullptr) DeleteDC(g->memory_dc);
  g->memory_dc = nullptr;
  if (g->screen_dc != nullptr) ReleaseDC(g->source_window, g->screen_dc);
  g->screen_dc = nullptr;
  if (g->dib_memory != nullptr) GlobalFree(g->dib_memory);
  g->dib_memory = nullptr;
  g->dib = nullptr;
  g->dib_bytes = 0;
  delete g->codec_info;
  g->codec_info = nullptr;
}
