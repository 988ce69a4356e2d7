// The fake's screen: USER (desktop window, screen metrics, cursor) and GDI
// (device contexts, bitmaps, copies, DIB conversion).
#include <cstring>

#include "tests/fake/fake_internal.h"

using namespace fake_internal;

namespace {

struct FakeBitmap {
  int width = 0;
  int height = 0;
  bool icon_part = false;  // a mask or colour bitmap from GetIconInfo
  unsigned frame = 0;      // counts the copies into it
};

struct FakeDC {
  bool memory = false;
  FakeBitmap* selected = nullptr;
};

HWND const kDesktopWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));
FakeDC g_screen_dc_record;
HCURSOR const kCursorHandle = reinterpret_cast<HCURSOR>(static_cast<uintptr_t>(0x20020));

}  // namespace

namespace fake {

void SetScreen(const FakeScreen& screen) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.screen = screen;
}

void SetCursor(const FakeCursor& cursor) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.cursor = cursor;
}

}  // namespace fake

// ---- USER ----------------------------------------------------------------------

HWND GetDesktopWindow() { return kDesktopWindow; }

HDC GetDC(HWND) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.screen_calls.get_dc;
  if (g_state.screen.dc_fails) return nullptr;
  ++g_state.counted.live_screen_objects;
  return reinterpret_cast<HDC>(&g_screen_dc_record);
}

int ReleaseDC(HWND, HDC hDC) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hDC == nullptr) return 0;
  ++g_state.counted.screen_calls.release_dc;
  --g_state.counted.live_screen_objects;
  return 1;
}

int GetSystemMetrics(int nIndex) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const fake::FakeScreen& s = g_state.screen;
  switch (nIndex) {
    case SM_CXSCREEN:
      return s.primary_width;
    case SM_CYSCREEN:
      return s.primary_height;
    case SM_XVIRTUALSCREEN:
      return s.virtual_x;
    case SM_YVIRTUALSCREEN:
      return s.virtual_y;
    case SM_CXVIRTUALSCREEN:
      return s.virtual_width;
    case SM_CYVIRTUALSCREEN:
      return s.virtual_height;
    default:
      return 0;
  }
}

BOOL GetCursorInfo(PCURSORINFO pci) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.screen_calls.get_cursor_info;
  if (g_state.cursor.query_fails || pci->cbSize != sizeof(CURSORINFO)) return FALSE;
  pci->flags = CURSOR_SHOWING;
  pci->hCursor = kCursorHandle;
  pci->ptScreenPos = {g_state.cursor.x, g_state.cursor.y};
  return TRUE;
}

BOOL GetIconInfo(HICON hIcon, PICONINFO piconinfo) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hIcon != kCursorHandle) return FALSE;
  piconinfo->fIcon = FALSE;
  piconinfo->xHotspot = g_state.cursor.hotspot_x;
  piconinfo->yHotspot = g_state.cursor.hotspot_y;
  auto make_part = [](bool present) -> HBITMAP {
    if (!present) return nullptr;
    auto* part = new FakeBitmap;
    part->icon_part = true;
    ++g_state.counted.live_screen_objects;
    return reinterpret_cast<HBITMAP>(part);
  };
  piconinfo->hbmMask = make_part(g_state.cursor.has_mask);
  piconinfo->hbmColor = make_part(g_state.cursor.has_color);
  return TRUE;
}

BOOL DrawIcon(HDC hDC, int X, int Y, HICON hIcon) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hDC == nullptr || hIcon != kCursorHandle) return FALSE;
  g_state.counted.screen_calls.draw_icon_at.emplace_back(X, Y);
  return TRUE;
}

// ---- GDI -----------------------------------------------------------------------

int GetDeviceCaps(HDC hdc, int index) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hdc == nullptr) return 0;
  if (index == HORZRES) return g_state.screen.primary_width;
  if (index == VERTRES) return g_state.screen.primary_height;
  return 0;
}

HDC CreateCompatibleDC(HDC) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.screen_calls.create_dc;
  ++g_state.counted.live_screen_objects;
  auto* dc = new FakeDC;
  dc->memory = true;
  return reinterpret_cast<HDC>(dc);
}

BOOL DeleteDC(HDC hdc) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hdc == nullptr) return FALSE;
  ++g_state.counted.screen_calls.delete_dc;
  --g_state.counted.live_screen_objects;
  delete reinterpret_cast<FakeDC*>(hdc);
  return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC, int cx, int cy) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.screen_calls.create_bitmap;
  ++g_state.counted.live_screen_objects;
  auto* bitmap = new FakeBitmap;
  bitmap->width = cx;
  bitmap->height = cy;
  return reinterpret_cast<HBITMAP>(bitmap);
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  if (hdc == nullptr) return nullptr;
  auto* dc = reinterpret_cast<FakeDC*>(hdc);
  FakeBitmap* old = dc->selected;
  dc->selected = static_cast<FakeBitmap*>(h);
  return old;
}

BOOL DeleteObject(HGDIOBJ ho) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (ho == nullptr) return FALSE;
  auto* bitmap = static_cast<FakeBitmap*>(ho);
  if (bitmap->icon_part) {
    ++g_state.counted.screen_calls.icon_bitmaps_deleted;
  } else {
    ++g_state.counted.screen_calls.bitmaps_deleted;
  }
  --g_state.counted.live_screen_objects;
  delete bitmap;
  return TRUE;
}

int GetObjectA(HANDLE h, int c, LPVOID pv) {
  if (h == nullptr || c < static_cast<int>(sizeof(BITMAP))) return 0;
  auto* bitmap = static_cast<FakeBitmap*>(h);
  BITMAP bm{};
  bm.bmWidth = bitmap->width;
  bm.bmHeight = bitmap->height;
  bm.bmWidthBytes = bitmap->width * 4;
  bm.bmPlanes = 1;
  bm.bmBitsPixel = 32;
  std::memcpy(pv, &bm, sizeof bm);
  return sizeof bm;
}

BOOL BitBlt(HDC hdc, int, int, int, int, HDC, int x1, int y1, DWORD) {
  PayCost(fake::Cost::BitBlt);
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.screen_calls.bitblt;
  g_state.counted.screen_calls.bitblt_sources.emplace_back(x1, y1);
  auto* dc = reinterpret_cast<FakeDC*>(hdc);
  if (dc == nullptr || dc->selected == nullptr || g_state.screen.copy_fails) return FALSE;
  ++dc->selected->frame;
  return TRUE;
}

// Writes a recognisable picture: every pixel byte is the number of copies
// made into the bitmap so far (low byte), so tests can tell frames apart.
int GetDIBits(HDC, HBITMAP hbm, UINT, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi, UINT) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.counted.screen_calls.get_dibits;
  if (hbm == nullptr || lpvBits == nullptr || lpbmi == nullptr) return 0;
  auto* bitmap = reinterpret_cast<FakeBitmap*>(hbm);
  const BITMAPINFOHEADER& h = lpbmi->bmiHeader;
  if (h.biBitCount != 24 || h.biWidth != bitmap->width) return 0;
  size_t stride = ((static_cast<size_t>(h.biWidth) * 24 + 31) / 32) * 4;
  std::memset(lpvBits, static_cast<int>(bitmap->frame & 0xff), stride * cLines);
  return static_cast<int>(cLines);
}

void DescribeScreenCapture(BOOL, BOOL) {}
