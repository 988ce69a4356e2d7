// A scriptable fake of the platform operations, linked into unit tests in
// place of the real platform library. Tests include this header alone.
//
// It answers every Win32 name in platform/platform.h: a virtual millisecond
// clock (Sleep, waits and the cost of slow calls advance it), an in-memory
// AVIFile library whose calls can be made to fail with chosen codes, a
// compressor manager with a scripted list of compressors, an in-memory
// registry with failures per key or value, and a screen of a chosen size with
// a scripted cursor. Every call is counted, so tests can check what was
// opened, released and in what order (ReadCounters). A call with an argument
// that the program must never pass is refused, as the system would, and
// noted in the counters.
//
// Threads on the virtual clock. The thread that called Reset leads the
// clock: time passes only in its sleeps, waits and costs. Any other thread
// that waits on the virtual clock (Sleep, WaitForSingleObject, a costly call)
// follows it: it runs only while the leading thread lets time pass, at the
// moment its wait ends, one thread at a time, until it waits again. So the
// recorder's own cook thread runs on virtual time, deterministically.
//
// The implementation is split as the real platform layer is: kernel services
// and the virtual clock (fake_kernel.cpp), the screen (fake_screen.cpp), Video
// for Windows (fake_video.cpp) and the registry (fake_registry.cpp), with the
// shared state in fake_state.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Restores the initial state: virtual clock at 0, one compressor (handler
// "x264", description "x264vfw - H.264/MPEG-4 AVC codec") accepting every
// format, a 640x480 screen, no scripted failures, empty counters. The calling
// thread leads the virtual clock from now on.
void Reset();

// ---- clock and threads ------------------------------------------------------

void SetNow(DWORD ms);
DWORD Now();
// Real time: timeGetTime is the real monotonic milliseconds plus `offset`,
// and Sleep, waits and costs really pass. For tests of real concurrency.
void UseRealClock(DWORD offset);
// Milliseconds that each call of an operation costs: the virtual clock
// advances by them, or the real clock really passes (for example a slow
// AVIStreamWrite, or a slow file open on the cook thread).
enum class Cost { StreamWrite, BitBlt, FileOpen, FileRelease };
void SetCost(Cost op, DWORD ms);
// The leading thread lets `ms` of virtual time pass, as if busy; following
// threads whose waits end meanwhile run.
void PassTime(DWORD ms);
// Blocks the leading thread until `count` following threads have come to
// wait on the virtual clock. A test that starts a thread calls this before
// it lets time pass, so the new thread's first steps happen at the start.
void AwaitFollowers(int count);
// Following threads get no processor time before virtual time `until`, as a
// thread at idle priority on a busy machine: a wait that ends earlier ends at
// `until`. Only an event that the leading thread raises wakes them sooner.
void StarveFollowers(DWORD until);

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

// ---- registry ---------------------------------------------------------------

// Key paths are written "HKEY_CURRENT_USER\\Software\\GNU\\x264".
void FailKeyCreate(const std::string& path, LONG code);
void FailValueSet(const std::string& value_name, LONG code);
void SetRegistryDword(const std::string& key_path, const std::string& name, DWORD value);
bool RegistryDword(const std::string& key_path, const std::string& name, DWORD* value);
bool RegistryKeyExists(const std::string& key_path);

// ---- screen -------------------------------------------------------------------

struct FakeScreen {
  int primary_width = 640;
  int primary_height = 480;
  int virtual_x = 0;  // top-left of the whole desktop in screen coordinates
  int virtual_y = 0;
  int virtual_width = 640;
  int virtual_height = 480;
  bool dc_fails = false;  // GetDC gives no device context
  bool copy_fails = false;  // BitBlt fails (a locked workstation), the bitmap kept
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

// ---- kernel -------------------------------------------------------------------

void SetLocalTime(const SYSTEMTIME& time);
// Delivers a console control event to the installed handler.
BOOL DeliverConsoleEvent(DWORD event);

// One WaitForSingleObject: when it began, the longest it could last, and
// whether the leading thread waited.
struct Wait {
  DWORD at = 0;
  DWORD ms = 0;
  bool leading = false;
};

// ---- counters -------------------------------------------------------------------

// Everything the fake has counted, read at one moment.
struct Counters {
  // clock and kernel
  std::vector<DWORD> sleeps;  // every Sleep argument, in order
  std::vector<Wait> waits;    // every WaitForSingleObject, in order
  DWORD priority_class = 0;   // last class set (0 when never set)
  std::vector<int> thread_priorities;  // every level set, in order
  int co_initialize_calls = 0;
  // AVIFile
  std::vector<FakeAviFileInfo> avi_files;  // in the order they were opened
  int avi_inits = 0;
  int avi_exits = 0;
  int open_avi_handles = 0;  // handles of files and streams still held
  // compressor manager
  CompressorCalls compressor_calls;
  int open_compressor_handles = 0;
  // registry
  std::vector<std::string> registry_writes;  // "path\\name", in order
  int open_registry_keys = 0;
  // screen and global memory
  ScreenCalls screen_calls;
  int live_screen_objects = 0;  // DCs, bitmaps and icon bitmaps not yet released
  int live_global_blocks = 0;
  // Calls refused for an argument the program must never pass, each as
  // "ICOpen: mode 1", in order.
  std::vector<std::string> refused;
};
Counters ReadCounters();

}  // namespace fake
