// The Win32 base types of the Linux platform layer: what every library of
// it (kernel/, video/, screen/) and the portable code share.
//
// The recording and capture code is written once, against the Win32 names.
// On Windows those come from the system headers; on Linux each library of
// platform/linux/ declares the operations it implements, with the names,
// values and record layouts of MinGW-w64's headers:
//
//   kernel/kernel_api.h     processes, threads, time, console control
//                           events, events and waits, global memory
//   screen/gdi_api.h        GDI and USER
//   video/vfw_api.h         Video for Windows: compressor manager, AVIFile
//   video/registry_api.h    the registry (the settings store)
//
// and this header the types and records they have in common (taken from
// MinGW-w64's windef.h, winnt.h, wingdi.h and winerror.h). platform/platform.h
// gives portable code all of them. Unit tests link a scriptable fake of the
// same functions instead.
//
// Only what slotrec calls is declared. Widths follow Windows: LONG and DWORD
// are 32 bits everywhere, WCHAR is UTF-16, handles are pointers.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- basic types ----------------------------------------------------------

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using WINBOOL = int;
using CHAR = char;
using WCHAR = char16_t;
using HRESULT = LONG;
using LRESULT = std::intptr_t;
using LONG_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define S_OK 0

// Handles are distinct pointer types, as with STRICT on Windows; each
// library declares its own with this.
#define SLOTREC_DECLARE_HANDLE(name) \
  struct name##__;                   \
  typedef struct name##__* name
typedef void* HANDLE;

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// ---- records --------------------------------------------------------------

struct POINT {
  LONG x;
  LONG y;
};

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

// The header of a DIB: the frame format that GetDIBits writes and the
// compressor reads.
struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
typedef BITMAPINFOHEADER* LPBITMAPINFOHEADER;
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER must be 40 bytes");

#define BI_RGB 0
