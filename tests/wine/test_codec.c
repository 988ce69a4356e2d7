/* A stand-in for x264vfw, for the Wine tests only: a Video for Windows
 * compressor driver whose description contains "x264vfw". It accepts 24-bit
 * BI_RGB bottom-up frames of even width and height and "compresses" them by
 * copying them unchanged, so what it writes is uncompressed RGB that ffmpeg
 * reads as rawvideo.
 *
 * TESTVIDC_FAULT_AT (environment) lists compress calls, counted from 1
 * across the process, separated by commas, in which the driver writes
 * through a bad pointer: an access violation inside AVIStreamWrite. */
#include <windows.h>
#include <mmsystem.h>
#include <vfw.h>

#include <stdlib.h>
#include <string.h>

#define TESTVIDC_HANDLER mmioFOURCC('t', 'v', 'f', 'w')
#define MAX_FAULTS 16

static LONG compress_calls;
static LONG fault_at[MAX_FAULTS];
static int fault_count;

/* Where the fault writes; not a constant, so the compiler keeps the store. */
static volatile ULONG_PTR bad_address = 16;

static void ReadFaultList(void) {
  char list[256];
  DWORD n = GetEnvironmentVariableA("TESTVIDC_FAULT_AT", list, sizeof list);
  if (n == 0 || n >= sizeof list) return;
  char* p = list;
  while (*p != '\0' && fault_count < MAX_FAULTS) {
    char* end;
    long at = strtol(p, &end, 10);
    if (end == p) break;
    fault_at[fault_count++] = at;
    p = *end == ',' ? end + 1 : end;
  }
}

/* The driver stays loaded once loaded, so the call count spans every
 * compressor instance of the process. */
static void PinSelf(void) {
  HMODULE self;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     (LPCSTR)&PinSelf, &self);
}

static BOOL FaultDue(LONG call) {
  for (int i = 0; i < fault_count; ++i)
    if (fault_at[i] == call) return TRUE;
  return FALSE;
}

static DWORD Stride(LONG width) { return (DWORD)(((width * 24 + 31) / 32) * 4); }

static BOOL Acceptable(const BITMAPINFOHEADER* in) {
  return in != NULL && in->biSize >= sizeof(BITMAPINFOHEADER) && in->biCompression == BI_RGB &&
         in->biBitCount == 24 && in->biPlanes == 1 && in->biWidth > 0 && in->biHeight > 0 &&
         in->biWidth % 2 == 0 && in->biHeight % 2 == 0;
}

static LRESULT CompressQuery(const BITMAPINFO* in, const BITMAPINFO* out) {
  if (!Acceptable(in ? &in->bmiHeader : NULL)) return ICERR_BADFORMAT;
  if (out != NULL && (!Acceptable(&out->bmiHeader) ||
                      out->bmiHeader.biWidth != in->bmiHeader.biWidth ||
                      out->bmiHeader.biHeight != in->bmiHeader.biHeight))
    return ICERR_BADFORMAT;
  return ICERR_OK;
}

static LRESULT CompressGetFormat(const BITMAPINFO* in, BITMAPINFO* out) {
  if (!Acceptable(in ? &in->bmiHeader : NULL)) return ICERR_BADFORMAT;
  if (out == NULL) return sizeof(BITMAPINFOHEADER);
  memset(out, 0, sizeof(BITMAPINFOHEADER));
  out->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  out->bmiHeader.biWidth = in->bmiHeader.biWidth;
  out->bmiHeader.biHeight = in->bmiHeader.biHeight;
  out->bmiHeader.biPlanes = 1;
  out->bmiHeader.biBitCount = 24;
  out->bmiHeader.biCompression = BI_RGB;
  out->bmiHeader.biSizeImage = Stride(in->bmiHeader.biWidth) * (DWORD)in->bmiHeader.biHeight;
  return ICERR_OK;
}

static LRESULT Compress(const ICCOMPRESS* c) {
  LONG call = InterlockedIncrement(&compress_calls);
  if (!Acceptable(c->lpbiInput)) return ICERR_BADFORMAT;
  if (FaultDue(call)) *(volatile int*)bad_address = 1;
  DWORD bytes = Stride(c->lpbiInput->biWidth) * (DWORD)c->lpbiInput->biHeight;
  memcpy(c->lpOutput, c->lpInput, bytes);
  c->lpbiOutput->biSizeImage = bytes;
  if (c->lpdwFlags != NULL) *c->lpdwFlags = AVIIF_KEYFRAME;
  if (c->lpckid != NULL) *c->lpckid = 0;
  return ICERR_OK;
}

static LRESULT GetInfo(ICINFO* info, DWORD bytes) {
  if (info == NULL) return sizeof(ICINFO);
  if (bytes < sizeof(ICINFO)) return 0;
  memset(info, 0, sizeof(ICINFO));
  info->dwSize = sizeof(ICINFO);
  info->fccType = ICTYPE_VIDEO;
  info->fccHandler = TESTVIDC_HANDLER;
  info->dwFlags = 0;
  info->dwVersion = 1;
  info->dwVersionICM = ICVERSION;
  lstrcpyW(info->szName, L"x264vfw");
  lstrcpyW(info->szDescription, L"x264vfw stand-in: uncompressed 24-bit frames (tests)");
  return sizeof(ICINFO);
}

LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM p1, LPARAM p2) {
  switch (message) {
    case DRV_LOAD:
      PinSelf();
      ReadFaultList();
      return 1;
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
      return 1;
    case DRV_OPEN: {
      ICOPEN* open = (ICOPEN*)p2;
      if (open != NULL && open->fccType != ICTYPE_VIDEO) return 0;
      if (open != NULL) open->dwError = ICERR_OK;
      return 1; /* any non-zero instance id; the driver keeps no per-instance state */
    }
    case DRV_CLOSE:
      return 1;
    case DRV_QUERYCONFIGURE:
      return 0;
    case ICM_GETINFO:
      return GetInfo((ICINFO*)p1, (DWORD)p2);
    case ICM_GETDEFAULTQUALITY:
      if (p1 != 0) *(DWORD*)p1 = 10000;
      return ICERR_OK;
    case ICM_GETSTATE:
      return 0;
    case ICM_SETSTATE:
      return 0;
    case ICM_COMPRESS_QUERY:
      return CompressQuery((const BITMAPINFO*)p1, (const BITMAPINFO*)p2);
    case ICM_COMPRESS_GET_FORMAT:
      return CompressGetFormat((const BITMAPINFO*)p1, (BITMAPINFO*)p2);
    case ICM_COMPRESS_GET_SIZE: {
      const BITMAPINFO* in = (const BITMAPINFO*)p1;
      if (!Acceptable(in ? &in->bmiHeader : NULL)) return 0;
      return (LRESULT)(Stride(in->bmiHeader.biWidth) * (DWORD)in->bmiHeader.biHeight);
    }
    case ICM_COMPRESS_BEGIN:
      return CompressQuery((const BITMAPINFO*)p1, (const BITMAPINFO*)p2);
    case ICM_COMPRESS:
      return Compress((const ICCOMPRESS*)p1);
    case ICM_COMPRESS_END:
    case ICM_COMPRESS_FRAMES_INFO:
      return ICERR_OK;
    default:
      if (message < DRV_USER) return DefDriverProc(id, driver, message, p1, p2);
      return ICERR_UNSUPPORTED;
  }
}
