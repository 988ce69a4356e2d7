// A scriptable fake of the platform operations, linked into unit tests in
// place of the real platform library.
//
// It answers every Win32 name in platform/platform.h: a virtual millisecond
// clock (Sleep advances it and can run scheduled work "during" the sleep),
// an in-memory AVIFile library whose calls can be made to fail with chosen
// codes, a compressor manager with a scripted list of compressors, an
// in-memory registry with failures per key or value, and a screen of a
// chosen size with a scripted cursor. Every call is counted, so tests can
// check what was opened, released and in what order.
//
// All state sits behind one mutex, so threaded tests may use it too; the
// clock can then follow real time instead of virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Restores the initial state: virtual clock at 0, one compressor (handler
// "x264", description "x264vfw - H.264/MPEG-4 AVC codec") accepting every
// format, a 640x480 screen, no scripted failures, empty counters.
void Reset();

// ---- clock ----------------------------------------------------------------

void SetNow(DWORD ms);
DWORD Now();
// Called by Sleep before the clock moves from `from` to `to` (modulo 2^32);
// the hook may run work at times in between by calling SetNow.
void SetSleepHook(std::function<void(DWORD from, DWORD to)> hook);
// Real time: timeGetTime is the real monotonic milliseconds plus `offset`,
// and Sleep really sleeps. For threaded tests.
void UseRealClock(DWORD offset);
// Milliseconds that each call of an operation costs: the virtual clock
// advances by them, or the real clock really passes (for example a slow
// AVIStreamWrite, or a slow file open on the cook thread).
enum class Cost { StreamWrite, BitBlt, FileOpen, FileRelease };
void SetCost(Cost op, DWORD ms);
std::vector<DWORD> Sleeps();  // every Sleep argument, in order

// ---- AVIFile ----------------------------------------------------------------

enum class AviOp { FileOpen, CreateStream, MakeCompressed, SetFormat, Write };
// The call of `op` after `skip` successful ones returns `code` (once).
void FailAvi(AviOp op, HRESULT code, int skip = 0);
// The next AVIFileOpenA returns 0 but gives no file.
void FileOpenGivesNoFile();
// The write after `skip` successful ones throws a C++ exception.
void ThrowOnWrite(int skip = 0);

struct FakeStreamInfo {
  AVISTREAMINFOA info{};
  AVICOMPRESSOPTIONS options{};
  BITMAPINFOHEADER format{};
  bool format_set = false;
  std::vector<LONG> positions;  // of successful writes, in order
  std::vector<LONG> lengths;
};

struct FakeAviFileInfo {
  std::string name;
  int refs = 0;            // handles not yet released (file and streams)
  bool complete = false;   // the last handle went: the file is finished
  bool has_raw = false;
  bool has_compressed = false;
  FakeStreamInfo stream;
};
std::vector<FakeAviFileInfo> AviFiles();  // in the order they were opened
int AviInits();
int AviExits();
int OpenAviHandles();  // handles of files and streams still held

// ---- compressor manager ----------------------------------------------------

struct FakeCompressor {
  DWORD fcc_type = ICTYPE_VIDEO;
  DWORD fcc_handler = mmioFOURCC('x', '2', '6', '4');
  std::u16string description = u"x264vfw - H.264/MPEG-4 AVC codec";
  // Opens that succeed before every further ICOpen fails; -1: no limit.
  int opens_allowed = -1;
  // Answer to ICM_COMPRESS_QUERY; null accepts everything.
  std::function<LRESULT(const BITMAPINFOHEADER&)> query;
};
void SetCompressors(std::vector<FakeCompressor> compressors);
struct CompressorCalls {
  int info = 0;
  std::vector<DWORD> opened;     // handler codes, in order
  std::vector<DWORD> described;  // handler codes whose ICGetInfo was asked
  int closed = 0;
  std::vector<std::pair<LONG, LONG>> queries;  // sizes asked, in order
};
CompressorCalls CompressorCallLog();
int OpenCompressorHandles();

// ---- registry ---------------------------------------------------------------

// Key paths are written "HKEY_CURRENT_USER\\Software\\GNU\\x264".
void FailKeyCreate(const std::string& path, LONG code);
void FailValueSet(const std::string& value_name, LONG code);
void SetRegistryDword(const std::string& key_path, const std::string& name, DWORD value);
bool RegistryDword(const std::string& key_path, const std::string& name, DWORD* value);
bool RegistryKeyExists(const std::string& key_path);
std::vector<std::string> RegistryWrites();  // "path\\name", in order
int OpenRegistryKeys();

// ---- screen -------------------------------------------------------------------

struct FakeScreen {
  int primary_width = 640;
  int primary_height = 480;
  int virtual_x = 0;  // top-left of the whole desktop in screen coordinates
  int virtual_y = 0;
  int virtual_width = 640;
  int virtual_height = 480;
  bool dc_fails = false;  // GetDC gives no device context
};
void SetScreen(const FakeScreen& screen);

struct FakeCursor {
  bool query_fails = false;
  int x = 0;  // hot spot position, screen coordinates
  int y = 0;
  DWORD hotspot_x = 0;
  DWORD hotspot_y = 0;
  bool has_mask = true;   // GetIconInfo gives a mask bitmap
  bool has_color = true;  // and a colour bitmap
};
void SetCursor(const FakeCursor& cursor);

struct ScreenCalls {
  int get_dc = 0;
  int release_dc = 0;
  int create_dc = 0;
  int delete_dc = 0;
  int create_bitmap = 0;
  int bitmaps_deleted = 0;  // frame bitmaps
  int icon_bitmaps_deleted = 0;
  int bitblt = 0;
  std::vector<std::pair<int, int>> bitblt_sources;  // source origins
  std::vector<std::pair<int, int>> draw_icon_at;
  int get_dibits = 0;
  int global_alloc = 0;
  int global_free = 0;
  int get_cursor_info = 0;
};
ScreenCalls ScreenCallLog();
int LiveScreenObjects();  // DCs, bitmaps and icon bitmaps not yet released
int LiveGlobalBlocks();

// ---- kernel -------------------------------------------------------------------

void SetLocalTime(const SYSTEMTIME& time);
DWORD PriorityClass();                 // last class set (0 when never set)
std::vector<int> ThreadPriorities();   // every level set, in order
int CoInitializeCalls();
// Delivers a console control event to the installed handler.
BOOL DeliverConsoleEvent(DWORD event);

}  // namespace fake
