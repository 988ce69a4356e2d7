// GDI and USER as the Linux screen layer gives them, declared as Windows
// declares them (MinGW-w64's windef.h, wingdi.h and winuser.h): the screen
// and memory device contexts, compatible bitmaps, BitBlt, GetDIBits, the
// cursor and DrawIcon, the screen metrics. gdi.cpp implements them over
// x11_screen.h.
#pragma once

#include "platform/linux/common/win32_types.h"

SLOTREC_DECLARE_HANDLE(HWND);
SLOTREC_DECLARE_HANDLE(HDC);
SLOTREC_DECLARE_HANDLE(HBITMAP);
SLOTREC_DECLARE_HANDLE(HICON);
typedef void* HGDIOBJ;
typedef HICON HCURSOR;

struct RGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
};

struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};
typedef BITMAPINFO* LPBITMAPINFO;

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
};

struct CURSORINFO {
  DWORD cbSize;
  DWORD flags;
  HCURSOR hCursor;
  POINT ptScreenPos;
};
typedef CURSORINFO* PCURSORINFO;

struct ICONINFO {
  BOOL fIcon;
  DWORD xHotspot;
  DWORD yHotspot;
  HBITMAP hbmMask;
  HBITMAP hbmColor;
};
typedef ICONINFO* PICONINFO;

#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_XVIRTUALSCREEN 76
#define SM_YVIRTUALSCREEN 77
#define SM_CXVIRTUALSCREEN 78
#define SM_CYVIRTUALSCREEN 79
#define HORZRES 8
#define VERTRES 10
#define SRCCOPY (DWORD)0x00CC0020
#define DIB_RGB_COLORS 0
#define CURSOR_SHOWING 0x00000001

// USER: screen, windows, cursor.
HWND GetDesktopWindow();
HDC GetDC(HWND hWnd);
int ReleaseDC(HWND hWnd, HDC hDC);
int GetSystemMetrics(int nIndex);
BOOL GetCursorInfo(PCURSORINFO pci);
BOOL GetIconInfo(HICON hIcon, PICONINFO piconinfo);
BOOL DrawIcon(HDC hDC, int X, int Y, HICON hIcon);

// GDI.
int GetDeviceCaps(HDC hdc, int index);
HDC CreateCompatibleDC(HDC hdc);
BOOL DeleteDC(HDC hdc);
HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy);
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);
BOOL DeleteObject(HGDIOBJ ho);
int GetObjectA(HANDLE h, int c, LPVOID pv);
BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1,
            DWORD rop);
int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits,
              LPBITMAPINFO lpbmi, UINT usage);
