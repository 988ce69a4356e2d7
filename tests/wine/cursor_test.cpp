// The screen grabber's cursor, run under Wine on the real capture code.
//
// Wine hands out a cursor's image only to the process that made the cursor,
// so a recorder cannot show it another program's cursor. This program is
// both sides at once: it owns a window covering the whole desktop and a
// cursor of known shape and hot spot, moves the pointer with SetCursorPos,
// grabs with OpenGrabber/GrabFrame, and checks that the cursor's pixels lie
// where the pointer minus the hot spot says and that the grabber reports
// that very position. Then the same on the whole desktop, whose origin may
// lie left of the primary screen.
//
// Prints the desktop it found, one line per failed check, and a last line;
// exits 1 when any check failed.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "capture/screen_grabber.h"

namespace {

// The cursor: 32 x 32 with its hot spot at (5, 8). An 8 x 8 white square
// at the image's top-left corner and a 4 x 4 black one at columns 12 to 15
// of the top rows; the rest is transparent. A drawing that is shifted,
// mirrored or upside down misses one of them.
constexpr int kCursorSize = 32;
constexpr int kHotX = 5;
constexpr int kHotY = 8;
constexpr int kWhiteSide = 8;
constexpr int kBlackLeft = 12;
constexpr int kBlackSide = 4;

constexpr COLORREF kBackground = RGB(0x20, 0xa0, 0x40);
constexpr uint32_t kBackgroundRgb = 0x20a040;
constexpr uint32_t kWhiteRgb = 0xffffff;
constexpr uint32_t kBlackRgb = 0x000000;

int g_failures = 0;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::printf("FAILED: %s\n", what);
  ++g_failures;
}

HCURSOR MakeCursor() {
  // Monochrome masks, one bit per pixel, 4 bytes a row, the leftmost pixel
  // in the top bit: AND 1 / XOR 0 keeps the screen, AND 0 / XOR 1 is white,
  // AND 0 / XOR 0 is black.
  BYTE and_mask[kCursorSize * kCursorSize / 8];
  BYTE xor_mask[kCursorSize * kCursorSize / 8];
  std::memset(and_mask, 0xff, sizeof and_mask);
  std::memset(xor_mask, 0x00, sizeof xor_mask);
  for (int row = 0; row < kWhiteSide; ++row) {
    and_mask[row * 4] = 0x00;  // columns 0 to 7
    xor_mask[row * 4] = 0xff;
  }
  for (int row = 0; row < kBlackSide; ++row) {
    and_mask[row * 4 + 1] = 0xf0;  // columns 12 to 15 (the low half of byte 1)
  }
  return CreateCursor(GetModuleHandleA(nullptr), kHotX, kHotY, kCursorSize, kCursorSize,
                      and_mask, xor_mask);
}

HCURSOR g_cursor = nullptr;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_SETCURSOR) {
    SetCursor(g_cursor);
    return TRUE;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

void PumpMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

// A borderless topmost window over the whole desktop, in the foreground:
// the cursor GetCursorInfo reports is the foreground thread's.
HWND ShowCoveringWindow() {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.hCursor = g_cursor;
  window_class.hbrBackground = CreateSolidBrush(kBackground);
  window_class.lpszClassName = "slotrec_cursor_test";
  if (!RegisterClassA(&window_class)) return nullptr;
  HWND window = CreateWindowExA(
      WS_EX_TOPMOST, "slotrec_cursor_test", "slotrec cursor test", WS_POPUP | WS_VISIBLE,
      GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
      GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN), nullptr,
      nullptr, window_class.hInstance, nullptr);
  if (window == nullptr) return nullptr;
  SetForegroundWindow(window);
  UpdateWindow(window);
  PumpMessages();
  return window;
}

// RRGGBB of the frame's pixel at column x, row y counted from the top, read
// from the bottom-up 24-bit DIB; 0xff000000 when (x, y) is outside it.
uint32_t FramePixel(const ScreenGrabber& g, int x, int y) {
  const BITMAPINFOHEADER* h = g.dib;
  if (x < 0 || y < 0 || x >= h->biWidth || y >= h->biHeight) return 0xff000000u;
  const BYTE* rows = reinterpret_cast<const BYTE*>(h) + h->biSize;
  const BYTE* p = rows + DibStride(h->biWidth) * (h->biHeight - 1 - y) + 3 * x;
  return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// Moves the pointer to (x, y) in screen coordinates, lets the window set
// its cursor, and grabs one frame.
bool MoveAndGrab(ScreenGrabber* g, int x, int y) {
  SetCursorPos(x, y);
  PumpMessages();
  SetCursor(g_cursor);
  POINT now{};
  GetCursorPos(&now);
  GrabFrame(g);
  return now.x == x && now.y == y;
}

// Checks one grab: the reported image position and, when `drawn`, the
// cursor's pixels at that position less the source's corner, else the
// window's own colour there. Parts outside the frame are not looked at.
void CheckGrab(const ScreenGrabber& g, const char* what, int pointer_x, int pointer_y,
               bool drawn) {
  char text[200];
  const int image_x = pointer_x - kHotX;
  const int image_y = pointer_y - kHotY;
  std::snprintf(text, sizeof text, "%s: position (%d, %d) reported as (%d, %d), expected (%d, %d)",
                what, pointer_x, pointer_y, g.cursor_x, g.cursor_y, image_x, image_y);
  Check(g.cursor_x == image_x && g.cursor_y == image_y, text);

  const int left = image_x - g.source_x;
  const int top = image_y - g.source_y;
  struct Probe {
    int dx, dy;
    uint32_t cursor_colour;
  };
  const Probe probes[] = {
      {0, 0, kWhiteRgb},                                   // the white square's corners
      {kWhiteSide - 1, 0, kWhiteRgb},
      {0, kWhiteSide - 1, kWhiteRgb},
      {kWhiteSide - 1, kWhiteSide - 1, kWhiteRgb},
      {kWhiteSide, kWhiteSide - 1, kBackgroundRgb},        // just right of it
      {kWhiteSide - 1, kWhiteSide, kBackgroundRgb},        // just below it
      {kBlackLeft, 0, kBlackRgb},                          // the black square
      {kBlackLeft + kBlackSide - 1, kBlackSide - 1, kBlackRgb},
      {kBlackLeft, kBlackSide, kBackgroundRgb},            // below the black square
      {kBlackLeft - 1, 0, kBackgroundRgb},                 // between the two
      {kHotX, kHotY, kBackgroundRgb},                      // the hot spot itself is clear
      {kCursorSize - 1, kCursorSize - 1, kBackgroundRgb},  // the transparent rest
  };
  for (const Probe& probe : probes) {
    uint32_t got = FramePixel(g, left + probe.dx, top + probe.dy);
    if (got == 0xff000000u) continue;
    uint32_t want = drawn ? probe.cursor_colour : kBackgroundRgb;
    std::snprintf(text, sizeof text, "%s: pixel (%d, %d) of the frame is %06x, expected %06x", what,
                  left + probe.dx, top + probe.dy, static_cast<unsigned>(got),
                  static_cast<unsigned>(want));
    Check(got == want, text);
  }
}

void PrimaryScreen() {
  ScreenGrabber g;
  if (OpenGrabber(&g, 1, 0) == nullptr) {
    Check(false, "primary screen: OpenGrabber failed (is the test compressor installed?)");
    return;
  }
  Check(MoveAndGrab(&g, 100, 200), "primary screen: SetCursorPos moved the pointer to (100, 200)");
  CheckGrab(g, "primary screen", 100, 200, true);

  // Moved on: drawn at the new place, gone from the old one.
  Check(MoveAndGrab(&g, 300, 150), "primary screen: SetCursorPos moved the pointer to (300, 150)");
  CheckGrab(g, "primary screen after a move", 300, 150, true);
  char text[120];
  uint32_t old_place = FramePixel(g, 100 - kHotX, 200 - kHotY);
  std::snprintf(text, sizeof text, "primary screen after a move: the old place shows %06x",
                static_cast<unsigned>(old_place));
  Check(old_place == kBackgroundRgb, text);

  // The hot spot near the top-left corner: the image starts above and left
  // of the screen, its position is negative, and what is on screen is drawn.
  Check(MoveAndGrab(&g, 2, 3), "primary screen: SetCursorPos moved the pointer to (2, 3)");
  CheckGrab(g, "primary screen, image partly off screen", 2, 3, true);
  CloseGrabber(&g);

  ScreenGrabber without;
  if (OpenGrabber(&without, 0, 0) == nullptr) {
    Check(false, "without cursor: OpenGrabber failed");
    return;
  }
  Check(MoveAndGrab(&without, 200, 120), "without cursor: SetCursorPos moved the pointer");
  CheckGrab(without, "without cursor (position reported, nothing drawn)", 200, 120, false);
  CloseGrabber(&without);
}

void WholeDesktop() {
  const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  std::printf("desktop: %d monitors, the whole desktop at (%d, %d) %d x %d, the primary %d x %d\n",
              GetSystemMetrics(SM_CMONITORS), left, top, width, height,
              GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));

  ScreenGrabber g;
  if (OpenGrabber(&g, 1, 1) == nullptr) {
    Check(false, "whole desktop: OpenGrabber failed");
    return;
  }
  Check(g.source_x == left && g.source_y == top,
        "whole desktop: the frame starts at the desktop's corner");
  Check(g.width >= width - 8 && g.height >= height - 8,
        "whole desktop: the frame is the size of the whole desktop");
  // On the primary screen, and (where there is one) on a monitor left of it
  // in negative screen coordinates.
  Check(MoveAndGrab(&g, 400, 300), "whole desktop: SetCursorPos moved the pointer to (400, 300)");
  CheckGrab(g, "whole desktop, primary screen", 400, 300, true);
  if (left < 0) {
    Check(MoveAndGrab(&g, left + 23, top + 20),
          "whole desktop: SetCursorPos moved the pointer onto the left monitor");
    CheckGrab(g, "whole desktop, left monitor", left + 23, top + 20, true);
  }
  CloseGrabber(&g);
}

}  // namespace

int main() {
  g_cursor = MakeCursor();
  if (g_cursor == nullptr || ShowCoveringWindow() == nullptr) {
    std::printf("cursor: cannot make the window and its cursor\n");
    return 1;
  }
  PrimaryScreen();
  WholeDesktop();
  std::printf("%s\n", g_failures == 0 ? "cursor: all checks passed" : "cursor: checks failed");
  return g_failures == 0 ? 0 : 1;
}
