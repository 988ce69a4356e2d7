// The Windows platform operations that slotrec uses, declared for Linux.
//
// The recording and capture code is written once, against the Win32 names:
// GDI and USER for the screen, global memory for the frame block, Video for
// Windows (compressor manager and AVIFile) for compression and files, the
// registry for the compressor's settings, and the kernel's timer, sleep,
// priorities and console control events. On Windows those come from the
// system headers; on Linux this header declares the same names with the same
// values and record layouts (taken from MinGW-w64's windef.h, wingdi.h,
// winuser.h, winbase.h, winreg.h, wincon.h and vfw.h), and platform/linux/
// implements them over X11, FFmpeg and a settings file. Unit tests link a
// scriptable fake of the same functions instead.
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
using FOURCC = DWORD;
using REGSAM = DWORD;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;

#define WINAPI
#define TRUE 1
#define FALSE 0

// Handles are distinct pointer types, as with STRICT on Windows.
#define SLOTREC_DECLARE_HANDLE(name) \
  struct name##__;                   \
  typedef struct name##__* name
SLOTREC_DECLARE_HANDLE(HWND);
SLOTREC_DECLARE_HANDLE(HDC);
SLOTREC_DECLARE_HANDLE(HBITMAP);
SLOTREC_DECLARE_HANDLE(HICON);
SLOTREC_DECLARE_HANDLE(HIC);
SLOTREC_DECLARE_HANDLE(HKEY);
#undef SLOTREC_DECLARE_HANDLE
typedef void* HANDLE;
typedef void* HGDIOBJ;
typedef HANDLE HGLOBAL;
typedef HICON HCURSOR;
typedef HKEY* PHKEY;

struct IAVIFile;
struct IAVIStream;
typedef IAVIFile* PAVIFILE;
typedef IAVIStream* PAVISTREAM;

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
typedef GUID CLSID;
typedef CLSID* LPCLSID;

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

constexpr DWORD mmioFOURCC(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<BYTE>(a)) |
         (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) |
         (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}

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

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

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

struct ICINFO {
  DWORD dwSize;
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwVersion;
  DWORD dwVersionICM;
  WCHAR szName[16];
  WCHAR szDescription[128];
  WCHAR szDriver[128];
};
static_assert(sizeof(ICINFO) == 568, "ICINFO must be 568 bytes");

struct AVISTREAMINFOA {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwCaps;
  WORD wPriority;
  WORD wLanguage;
  DWORD dwScale;
  DWORD dwRate;
  DWORD dwStart;
  DWORD dwLength;
  DWORD dwInitialFrames;
  DWORD dwSuggestedBufferSize;
  DWORD dwQuality;
  DWORD dwSampleSize;
  RECT rcFrame;
  DWORD dwEditCount;
  DWORD dwFormatChangeCount;
  char szName[64];
};

struct AVICOMPRESSOPTIONS {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwKeyFrameEvery;
  DWORD dwQuality;
  DWORD dwBytesPerSecond;
  DWORD dwFlags;
  LPVOID lpFormat;
  DWORD cbFormat;
  LPVOID lpParms;
  DWORD cbParms;
  DWORD dwInterleaveEvery;
};
typedef AVICOMPRESSOPTIONS* LPAVICOMPRESSOPTIONS;

// ---- constants ------------------------------------------------------------

// Kernel: priorities, console control events.
#define IDLE_PRIORITY_CLASS 0x40
#define NORMAL_PRIORITY_CLASS 0x20
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_NORMAL 0
#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

// Global memory.
#define GMEM_FIXED 0x0
#define GMEM_MOVEABLE 0x2
#define GMEM_ZEROINIT 0x40

// USER and GDI.
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
#define BI_RGB 0
#define CURSOR_SHOWING 0x00000001

// Registry.
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002
#define REG_NONE 0
#define REG_SZ 1
#define REG_DWORD 4
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_OUTOFMEMORY 14
#define ERROR_INVALID_PARAMETER 87
#define ERROR_MORE_DATA 234
#define ERROR_BADDB 1009
#define ERROR_CANTWRITE 1013

// Files.
#define OF_READ 0x0
#define OF_WRITE 0x1
#define OF_SHARE_DENY_WRITE 0x20
#define OF_CREATE 0x1000

// Video for Windows: compressor manager.
#define ICTYPE_VIDEO mmioFOURCC('v', 'i', 'd', 'c')
#define ICMODE_COMPRESS 1
#define ICMODE_QUERY 4
#define ICERR_OK 0
#define ICERR_UNSUPPORTED (-1)
#define ICERR_BADFORMAT (-2)
#define ICERR_MEMORY (-3)
#define ICERR_INTERNAL (-4)
#define ICERR_BADFLAGS (-5)
#define ICERR_BADPARAM (-6)
#define ICERR_BADSIZE (-7)
#define ICERR_BADHANDLE (-8)
#define ICERR_ERROR (-100)
#define DRV_USER 0x4000
#define ICM_USER (DRV_USER + 0x0000)
#define ICM_COMPRESS_GET_FORMAT (ICM_USER + 4)
#define ICM_COMPRESS_GET_SIZE (ICM_USER + 5)
#define ICM_COMPRESS_QUERY (ICM_USER + 6)

// Video for Windows: AVIFile.
#define streamtypeVIDEO mmioFOURCC('v', 'i', 'd', 's')
#define AVICOMPRESSF_INTERLEAVE 0x00000001
#define AVICOMPRESSF_DATARATE 0x00000002
#define AVICOMPRESSF_KEYFRAMES 0x00000004
#define AVICOMPRESSF_VALID 0x00000008
#define AVIIF_KEYFRAME 0x00000010
#define AVIERR_OK 0
#define MAKE_AVIERR(error) ((HRESULT)(0x80040000u | (0x4000u + (error))))
#define AVIERR_UNSUPPORTED MAKE_AVIERR(101)
#define AVIERR_BADFORMAT MAKE_AVIERR(102)
#define AVIERR_MEMORY MAKE_AVIERR(103)
#define AVIERR_INTERNAL MAKE_AVIERR(104)
#define AVIERR_BADFLAGS MAKE_AVIERR(105)
#define AVIERR_BADPARAM MAKE_AVIERR(106)
#define AVIERR_BADSIZE MAKE_AVIERR(107)
#define AVIERR_BADHANDLE MAKE_AVIERR(108)
#define AVIERR_FILEREAD MAKE_AVIERR(109)
#define AVIERR_FILEWRITE MAKE_AVIERR(110)
#define AVIERR_FILEOPEN MAKE_AVIERR(111)
#define AVIERR_COMPRESSOR MAKE_AVIERR(112)
#define AVIERR_NOCOMPRESSOR MAKE_AVIERR(113)
#define AVIERR_READONLY MAKE_AVIERR(114)
#define AVIERR_NODATA MAKE_AVIERR(115)
#define AVIERR_BUFFERTOOSMALL MAKE_AVIERR(116)
#define AVIERR_CANTCOMPRESS MAKE_AVIERR(117)
#define AVIERR_USERABORT MAKE_AVIERR(198)
#define AVIERR_ERROR MAKE_AVIERR(199)

#define S_OK 0

// ---- operations -----------------------------------------------------------

typedef BOOL (*PHANDLER_ROUTINE)(DWORD dwCtrlType);

// Kernel: processes, threads, time, console.
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
BOOL SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass);
BOOL SetThreadPriority(HANDLE hThread, int nPriority);
DWORD timeGetTime();
void Sleep(DWORD dwMilliseconds);
void GetLocalTime(SYSTEMTIME* lpSystemTime);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
HRESULT CoInitialize(LPVOID pvReserved);
void CoUninitialize();

// Kernel: events (unnamed) and the waits on them.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                    BOOL bInitialState, LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);

// slotrec's own: passes the end of the user's session on to `handler` as
// CTRL_LOGOFF_EVENT or CTRL_SHUTDOWN_EVENT. Windows needs a hidden window
// for that (platform/win32/session_end.h); on Linux the end of a session
// already arrives as SIGHUP or SIGTERM, that is as console control events.
bool WatchSessionEnd(PHANDLER_ROUTINE handler);

// Global memory.
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
LPVOID GlobalLock(HGLOBAL hMem);
BOOL GlobalUnlock(HGLOBAL hMem);
HGLOBAL GlobalFree(HGLOBAL hMem);

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

// Registry.
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                     DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                     PHKEY phkResult, LPDWORD lpdwDisposition);
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                   REGSAM samDesired, PHKEY phkResult);
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                    DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG RegCloseKey(HKEY hKey);

// Video for Windows: compressor manager.
BOOL ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* lpicinfo);
HIC ICOpen(DWORD fccType, DWORD fccHandler, UINT wMode);
LRESULT ICGetInfo(HIC hic, ICINFO* picinfo, DWORD cb);
LRESULT ICSendMessage(HIC hic, UINT msg, DWORD_PTR dw1, DWORD_PTR dw2);
LRESULT ICClose(HIC hic);

// Video for Windows: AVIFile.
void AVIFileInit();
void AVIFileExit();
HRESULT AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode,
                     LPCLSID lpHandler);
HRESULT AVIFileCreateStreamA(PAVIFILE pfile, PAVISTREAM* ppavi,
                             AVISTREAMINFOA* psi);
HRESULT AVIMakeCompressedStream(PAVISTREAM* ppsCompressed,
                                PAVISTREAM ppsSource,
                                AVICOMPRESSOPTIONS* lpOptions,
                                CLSID* pclsidHandler);
HRESULT AVIStreamSetFormat(PAVISTREAM pavi, LONG lPos, LPVOID lpFormat,
                           LONG cbFormat);
HRESULT AVIStreamWrite(PAVISTREAM pavi, LONG lStart, LONG lSamples,
                       LPVOID lpBuffer, LONG cbBuffer, DWORD dwFlags,
                       LONG* plSampWritten, LONG* plBytesWritten);
ULONG AVIStreamRelease(PAVISTREAM pavi);
ULONG AVIFileRelease(PAVIFILE pfile);
