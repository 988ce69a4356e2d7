// Video for Windows as the Linux video library gives it, declared as
// Windows declares it (MinGW-w64's vfw.h, mmsystem.h and guiddef.h): the
// compressor manager (compressor_manager.cpp, with the x264 compressor of
// x264_compressor.cpp installed) and the AVIFile library (avifile.cpp).
#pragma once

#include "platform/linux/common/win32_types.h"

using FOURCC = DWORD;

constexpr DWORD mmioFOURCC(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<BYTE>(a)) |
         (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) |
         (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}

SLOTREC_DECLARE_HANDLE(HIC);

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

// File modes of AVIFileOpen.
#define OF_READ 0x0
#define OF_WRITE 0x1
#define OF_SHARE_DENY_WRITE 0x20
#define OF_CREATE 0x1000

// Compressor manager.
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

// AVIFile.
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

// Compressor manager.
BOOL ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* lpicinfo);
HIC ICOpen(DWORD fccType, DWORD fccHandler, UINT wMode);
LRESULT ICGetInfo(HIC hic, ICINFO* picinfo, DWORD cb);
LRESULT ICSendMessage(HIC hic, UINT msg, DWORD_PTR dw1, DWORD_PTR dw2);
LRESULT ICClose(HIC hic);

// AVIFile.
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
