// Without an X display (DISPLAY unset) the screen calls fail plainly: no
// screen DC, no sizes, no cursor, no copy, and no logoff event, since no
// session was ever there. Memory DCs and bitmaps still work.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/platform.h"

namespace {

int g_events = 0;

BOOL count_event(DWORD) {
  ++g_events;
  return TRUE;
}

TEST(NoDisplay, ScreenCallsFailAndMemoryObjectsStillWork) {
  unsetenv("DISPLAY");
  ASSERT_TRUE(SetConsoleCtrlHandler(count_event, TRUE));
  EXPECT_EQ(GetDC(nullptr), nullptr);
  EXPECT_EQ(GetDC(GetDesktopWindow()), nullptr);
  EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), 0);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 0);
  CURSORINFO ci{};
  ci.cbSize = sizeof ci;
  EXPECT_FALSE(GetCursorInfo(&ci));
  EXPECT_EQ(ci.hCursor, nullptr);

  HDC memory = CreateCompatibleDC(nullptr);
  ASSERT_NE(memory, nullptr);
  HBITMAP bitmap = CreateCompatibleBitmap(memory, 5, 3);
  ASSERT_NE(bitmap, nullptr);
  EXPECT_NE(SelectObject(memory, bitmap), nullptr);
  EXPECT_FALSE(BitBlt(memory, 0, 0, 5, 3, nullptr, 0, 0, SRCCOPY));

  BITMAPINFOHEADER header{};
  header.biSize = 40;
  header.biWidth = 5;
  header.biHeight = 3;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  std::vector<std::uint8_t> bits(16 * 3, 0xee);
  EXPECT_EQ(GetDIBits(memory, bitmap, 0, 3, bits.data(), reinterpret_cast<BITMAPINFO*>(&header),
                      DIB_RGB_COLORS),
            3);
  EXPECT_EQ(bits, std::vector<std::uint8_t>(16 * 3, 0));  // a new bitmap is black
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_TRUE(DeleteDC(memory));
  EXPECT_EQ(g_events, 0);
  SetConsoleCtrlHandler(count_event, FALSE);
}

}  // namespace
