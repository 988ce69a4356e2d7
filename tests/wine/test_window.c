/* Puts something known on the Wine screen for the recording tests: a
 * borderless topmost window filled with one colour, whose cursor is a
 * 32 x 32 image with its hot spot at (5, 8) that paints an 8 x 8 white
 * square at the image's top-left corner and leaves the rest transparent.
 *
 *   test_window.exe X Y WIDTH HEIGHT RRGGBB [POINTER_X POINTER_Y]
 *
 * Screen coordinates as Windows counts them (negative left of or above the
 * primary monitor). With POINTER_X and POINTER_Y it also moves the pointer
 * there. Prints "ready" once the window is shown and runs until it is
 * ended. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CURSOR_SIZE 32
#define CURSOR_HOT_X 5
#define CURSOR_HOT_Y 8
#define CURSOR_SQUARE 8

static HCURSOR MakeCursor(void) {
  /* Monochrome masks, one bit per pixel, rows of 4 bytes: AND 1 / XOR 0 is
   * transparent, AND 0 / XOR 1 is white. */
  BYTE and_mask[CURSOR_SIZE * CURSOR_SIZE / 8];
  BYTE xor_mask[CURSOR_SIZE * CURSOR_SIZE / 8];
  memset(and_mask, 0xff, sizeof and_mask);
  memset(xor_mask, 0x00, sizeof xor_mask);
  for (int row = 0; row < CURSOR_SQUARE; ++row) {
    and_mask[row * 4] = 0x00; /* the first 8 pixels of the row */
    xor_mask[row * 4] = 0xff;
  }
  return CreateCursor(GetModuleHandleA(NULL), CURSOR_HOT_X, CURSOR_HOT_Y, CURSOR_SIZE,
                      CURSOR_SIZE, and_mask, xor_mask);
}

int main(int argc, char** argv) {
  if (argc != 6 && argc != 8) {
    fprintf(stderr, "usage: test_window X Y WIDTH HEIGHT RRGGBB [POINTER_X POINTER_Y]\n");
    return 2;
  }
  int x = atoi(argv[1]), y = atoi(argv[2]), width = atoi(argv[3]), height = atoi(argv[4]);
  unsigned long rgb = strtoul(argv[5], NULL, 16);

  WNDCLASSA window_class;
  memset(&window_class, 0, sizeof window_class);
  window_class.lpfnWndProc = DefWindowProcA;
  window_class.hInstance = GetModuleHandleA(NULL);
  window_class.hCursor = MakeCursor();
  window_class.hbrBackground =
      CreateSolidBrush(RGB((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff));
  window_class.lpszClassName = "slotrec_test_window";
  if (!RegisterClassA(&window_class)) return 1;

  HWND window = CreateWindowExA(WS_EX_TOPMOST, "slotrec_test_window", "slotrec test",
                                WS_POPUP | WS_VISIBLE, x, y, width, height, NULL, NULL,
                                window_class.hInstance, NULL);
  if (window == NULL) return 1;
  /* The cursor that other programs see is the foreground thread's. */
  SetForegroundWindow(window);
  UpdateWindow(window);
  if (argc == 8) SetCursorPos(atoi(argv[6]), atoi(argv[7]));
  printf("ready\n");
  fflush(stdout);

  MSG message;
  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
