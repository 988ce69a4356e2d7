// The fake platform: see fake_platform.h.
#include "tests/fake/fake_platform.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

struct ScriptedFailure {
  int skip;
  HRESULT code;
};

struct FakeBitmap {
  int width = 0;
  int height = 0;
  bool icon_part = false;  // a mask or colour bitmap from GetIconInfo
  unsigned frame = 0;      // counts the copies into it
};

struct FakeDC {
  bool memory = false;
  FakeBitmap* selected = nullptr;
};

struct GlobalBlock {
  std::vector<unsigned char> bytes;
};

struct FakeEvent {
  bool manual_reset = false;
  bool signaled = false;
};

struct State {
  // clock
  DWORD now = 0;
  bool real_clock = false;
  DWORD real_offset = 0;
  std::function<void(DWORD, DWORD)> sleep_hook;
  std::map<fake::Cost, DWORD> costs;
  std::vector<DWORD> sleeps;

  // AVIFile
  std::map<fake::AviOp, std::deque<ScriptedFailure>> failures;
  bool open_gives_no_file = false;
  std::deque<int> write_throws;
  std::vector<std::unique_ptr<fake::FakeAviFileInfo>> files;
  int avi_inits = 0;
  int avi_exits = 0;
  int avi_handles = 0;

  // compressor manager
  std::vector<fake::FakeCompressor> compressors;
  fake::CompressorCalls ic_calls;
  int ic_handles = 0;

  // registry
  std::map<std::string, LONG> key_failures;
  std::map<std::string, LONG> value_failures;
  std::map<std::string, std::map<std::string, DWORD>> registry;
  std::vector<std::string> registry_writes;
  int open_keys = 0;

  // screen
  fake::FakeScreen screen;
  fake::FakeCursor cursor;
  fake::ScreenCalls screen_calls;
  int live_screen_objects = 0;
  int live_global_blocks = 0;

  // kernel
  SYSTEMTIME local_time{2026, 12, 2, 8, 9, 5, 7, 42};
  DWORD priority_class = 0;
  std::vector<int> thread_priorities;
  int co_initialize = 0;
  PHANDLER_ROUTINE ctrl_handler = nullptr;
  std::vector<std::unique_ptr<FakeEvent>> events;  // never shrinks: handles stay unique
};

std::mutex g_mutex;
State g_state;
std::condition_variable g_event_raised;  // SetEvent on the real clock

// Handles given out by the fake point at these records.
struct FakeHandleKey {
  std::string path;
};

struct StreamHandle {
  fake::FakeAviFileInfo* file;
  bool compressed;
};

struct FileHandle {
  fake::FakeAviFileInfo* file;
};

struct CompressorHandle {
  size_t index;
};

HWND const kDesktopWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));
FakeDC g_screen_dc_record;
HCURSOR const kCursorHandle = reinterpret_cast<HCURSOR>(static_cast<uintptr_t>(0x20020));

DWORD real_ms() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

DWORD now_locked() {
  return g_state.real_clock ? real_ms() + g_state.real_offset : g_state.now;
}

// Charges what a call costs: virtual milliseconds on the virtual clock, a
// real pause on the real one. Called without the lock held.
void pay_cost(fake::Cost op) {
  DWORD ms = 0;
  bool real = false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_state.costs.find(op);
    if (it == g_state.costs.end()) return;
    ms = it->second;
    real = g_state.real_clock;
    if (!real) g_state.now += ms;
  }
  if (real) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Pops a scripted failure for `op` when its turn has come.
HRESULT scripted_result_locked(fake::AviOp op) {
  auto& queue = g_state.failures[op];
  if (queue.empty()) return 0;
  if (queue.front().skip > 0) {
    --queue.front().skip;
    return 0;
  }
  HRESULT code = queue.front().code;
  queue.pop_front();
  return code;
}

void release_file_ref_locked(fake::FakeAviFileInfo* file) {
  if (--file->refs == 0) file->complete = true;
}

void fill_description(ICINFO* info, const fake::FakeCompressor& c) {
  std::memset(info, 0, sizeof *info);
  info->dwSize = sizeof *info;
  info->fccType = c.fcc_type;
  info->fccHandler = c.fcc_handler;
  size_t n = std::min<size_t>(c.description.size(), 127);
  for (size_t i = 0; i < n; ++i) info->szDescription[i] = c.description[i];
}

}  // namespace

namespace fake {

void Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state = State{};
  g_state.compressors = {FakeCompressor{}};
}

void SetNow(DWORD ms) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.now = ms;
}

DWORD Now() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return now_locked();
}

void SetSleepHook(std::function<void(DWORD, DWORD)> hook) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.sleep_hook = std::move(hook);
}

void UseRealClock(DWORD offset) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.real_clock = true;
  g_state.real_offset = offset - real_ms();
}

void SetCost(Cost op, DWORD ms) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.costs[op] = ms;
}

std::vector<DWORD> Sleeps() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.sleeps;
}

void FailAvi(AviOp op, HRESULT code, int skip) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.failures[op].push_back({skip, code});
}

void FileOpenGivesNoFile() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.open_gives_no_file = true;
}

void ThrowOnWrite(int skip) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.write_throws.push_back(skip);
}

std::vector<FakeAviFileInfo> AviFiles() {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<FakeAviFileInfo> out;
  for (const auto& f : g_state.files) out.push_back(*f);
  return out;
}

int AviInits() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.avi_inits;
}

int AviExits() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.avi_exits;
}

int OpenAviHandles() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.avi_handles;
}

void SetCompressors(std::vector<FakeCompressor> compressors) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.compressors = std::move(compressors);
}

CompressorCalls CompressorCallLog() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.ic_calls;
}

int OpenCompressorHandles() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.ic_handles;
}

void FailKeyCreate(const std::string& path, LONG code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.key_failures[path] = code;
}

void FailValueSet(const std::string& value_name, LONG code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.value_failures[value_name] = code;
}

void SetRegistryDword(const std::string& key_path, const std::string& name, DWORD value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.registry[key_path][name] = value;
}

bool RegistryDword(const std::string& key_path, const std::string& name, DWORD* value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto key = g_state.registry.find(key_path);
  if (key == g_state.registry.end()) return false;
  auto v = key->second.find(name);
  if (v == key->second.end()) return false;
  *value = v->second;
  return true;
}

bool RegistryKeyExists(const std::string& key_path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.registry.count(key_path) != 0;
}

std::vector<std::string> RegistryWrites() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.registry_writes;
}

int OpenRegistryKeys() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.open_keys;
}

void SetScreen(const FakeScreen& screen) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.screen = screen;
}

void SetCursor(const FakeCursor& cursor) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.cursor = cursor;
}

ScreenCalls ScreenCallLog() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.screen_calls;
}

int LiveScreenObjects() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.live_screen_objects;
}

int LiveGlobalBlocks() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.live_global_blocks;
}

void SetLocalTime(const SYSTEMTIME& time) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.local_time = time;
}

DWORD PriorityClass() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.priority_class;
}

std::vector<int> ThreadPriorities() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.thread_priorities;
}

int CoInitializeCalls() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.co_initialize;
}

BOOL DeliverConsoleEvent(DWORD event) {
  PHANDLER_ROUTINE handler;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    handler = g_state.ctrl_handler;
  }
  return handler != nullptr ? handler(event) : FALSE;
}

}  // namespace fake

// ---- kernel -----------------------------------------------------------------

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

BOOL SetPriorityClass(HANDLE, DWORD dwPriorityClass) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.priority_class = dwPriorityClass;
  return TRUE;
}

BOOL SetThreadPriority(HANDLE, int nPriority) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.thread_priorities.push_back(nPriority);
  return TRUE;
}

DWORD timeGetTime() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return now_locked();
}

void Sleep(DWORD dwMilliseconds) {
  std::function<void(DWORD, DWORD)> hook;
  DWORD from;
  bool real;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.sleeps.push_back(dwMilliseconds);
    real = g_state.real_clock;
    hook = g_state.sleep_hook;
    from = g_state.now;
  }
  if (real) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    return;
  }
  if (hook) hook(from, from + dwMilliseconds);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.now = from + dwMilliseconds;
}

void GetLocalTime(SYSTEMTIME* lpSystemTime) {
  std::lock_guard<std::mutex> lock(g_mutex);
  *lpSystemTime = g_state.local_time;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (Add) {
    g_state.ctrl_handler = HandlerRoutine;
  } else if (g_state.ctrl_handler == HandlerRoutine) {
    g_state.ctrl_handler = nullptr;
  }
  return TRUE;
}

bool WatchSessionEnd(PHANDLER_ROUTINE) { return true; }

namespace {

// The event behind a handle, or null. Called with g_mutex held.
FakeEvent* find_event(HANDLE handle) {
  for (const auto& event : g_state.events)
    if (event.get() == handle) return event.get();
  return nullptr;
}

// Takes the event's signal if it is raised. Called with g_mutex held.
bool take_signal(FakeEvent* event) {
  if (!event->signaled) return false;
  if (!event->manual_reset) event->signaled = false;
  return true;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto event = std::make_unique<FakeEvent>();
  event->manual_reset = bManualReset != FALSE;
  event->signaled = bInitialState != FALSE;
  g_state.events.push_back(std::move(event));
  return g_state.events.back().get();
}

BOOL SetEvent(HANDLE hEvent) {
  std::lock_guard<std::mutex> lock(g_mutex);
  FakeEvent* event = find_event(hEvent);
  if (event == nullptr) return FALSE;
  event->signaled = true;
  g_event_raised.notify_all();
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  std::lock_guard<std::mutex> lock(g_mutex);
  FakeEvent* event = find_event(hEvent);
  if (event == nullptr) return FALSE;
  event->signaled = false;
  return TRUE;
}

// On the virtual clock the wait passes one millisecond at a time, running
// the sleep hook for each, so work scheduled "during" the wait (a cook
// cycle that sets the event) ends it at the right moment.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  std::unique_lock<std::mutex> lock(g_mutex);
  FakeEvent* event = find_event(hHandle);
  if (event == nullptr) return WAIT_FAILED;
  if (g_state.real_clock) {
    bool raised = g_event_raised.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                                          [event] { return event->signaled; });
    return raised && take_signal(event) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
  for (DWORD waited = 0; !take_signal(event); ++waited) {
    if (waited >= dwMilliseconds) return WAIT_TIMEOUT;
    std::function<void(DWORD, DWORD)> hook = g_state.sleep_hook;
    DWORD from = g_state.now;
    lock.unlock();
    if (hook) hook(from, from + 1);
    lock.lock();
    // The hook's work may have taken the clock further.
    if (static_cast<int32_t>(g_state.now - (from + 1)) < 0) g_state.now = from + 1;
  }
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE hObject) {
  std::lock_guard<std::mutex> lock(g_mutex);
  FakeEvent* event = find_event(hObject);
  if (event == nullptr) return FALSE;
  event->signaled = false;  // the record stays, so no later event reuses its address
  return TRUE;
}

DWORD IncompleteAviFiles() { return 0; }

// Directories are held by the process alone in unit tests.
HANDLE HoldDirectory(LPCSTR) { return reinterpret_cast<HANDLE>(1); }
void ReleaseDirectoryHold(HANDLE) {}

HRESULT CoInitialize(LPVOID) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.co_initialize;
  return S_OK;
}

void CoUninitialize() {}

// ---- global memory -----------------------------------------------------------

HGLOBAL GlobalAlloc(UINT, SIZE_T dwBytes) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.screen_calls.global_alloc;
  ++g_state.live_global_blocks;
  auto* block = new GlobalBlock;
  block->bytes.assign(dwBytes, 0);
  return block;
}

LPVOID GlobalLock(HGLOBAL hMem) {
  if (hMem == nullptr) return nullptr;
  return static_cast<GlobalBlock*>(hMem)->bytes.data();
}

BOOL GlobalUnlock(HGLOBAL) { return FALSE; }

HGLOBAL GlobalFree(HGLOBAL hMem) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hMem == nullptr) return nullptr;
  ++g_state.screen_calls.global_free;
  --g_state.live_global_blocks;
  delete static_cast<GlobalBlock*>(hMem);
  return nullptr;
}

// ---- USER and GDI ------------------------------------------------------------

HWND GetDesktopWindow() { return kDesktopWindow; }

HDC GetDC(HWND) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.screen_calls.get_dc;
  if (g_state.screen.dc_fails) return nullptr;
  ++g_state.live_screen_objects;
  return reinterpret_cast<HDC>(&g_screen_dc_record);
}

int ReleaseDC(HWND, HDC hDC) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hDC == nullptr) return 0;
  ++g_state.screen_calls.release_dc;
  --g_state.live_screen_objects;
  return 1;
}

int GetSystemMetrics(int nIndex) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const fake::FakeScreen& s = g_state.screen;
  switch (nIndex) {
    case SM_CXSCREEN:
      return s.primary_width;
    case SM_CYSCREEN:
      return s.primary_height;
    case SM_XVIRTUALSCREEN:
      return s.virtual_x;
    case SM_YVIRTUALSCREEN:
      return s.virtual_y;
    case SM_CXVIRTUALSCREEN:
      return s.virtual_width;
    case SM_CYVIRTUALSCREEN:
      return s.virtual_height;
    default:
      return 0;
  }
}

int GetDeviceCaps(HDC hdc, int index) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hdc == nullptr) return 0;
  if (index == HORZRES) return g_state.screen.primary_width;
  if (index == VERTRES) return g_state.screen.primary_height;
  return 0;
}

HDC CreateCompatibleDC(HDC) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.screen_calls.create_dc;
  ++g_state.live_screen_objects;
  auto* dc = new FakeDC;
  dc->memory = true;
  return reinterpret_cast<HDC>(dc);
}

BOOL DeleteDC(HDC hdc) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hdc == nullptr) return FALSE;
  ++g_state.screen_calls.delete_dc;
  --g_state.live_screen_objects;
  delete reinterpret_cast<FakeDC*>(hdc);
  return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC, int cx, int cy) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.screen_calls.create_bitmap;
  ++g_state.live_screen_objects;
  auto* bitmap = new FakeBitmap;
  bitmap->width = cx;
  bitmap->height = cy;
  return reinterpret_cast<HBITMAP>(bitmap);
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  if (hdc == nullptr) return nullptr;
  auto* dc = reinterpret_cast<FakeDC*>(hdc);
  FakeBitmap* old = dc->selected;
  dc->selected = static_cast<FakeBitmap*>(h);
  return old;
}

BOOL DeleteObject(HGDIOBJ ho) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (ho == nullptr) return FALSE;
  auto* bitmap = static_cast<FakeBitmap*>(ho);
  if (bitmap->icon_part) {
    ++g_state.screen_calls.icon_bitmaps_deleted;
  } else {
    ++g_state.screen_calls.bitmaps_deleted;
  }
  --g_state.live_screen_objects;
  delete bitmap;
  return TRUE;
}

int GetObjectA(HANDLE h, int c, LPVOID pv) {
  if (h == nullptr || c < static_cast<int>(sizeof(BITMAP))) return 0;
  auto* bitmap = static_cast<FakeBitmap*>(h);
  BITMAP bm{};
  bm.bmWidth = bitmap->width;
  bm.bmHeight = bitmap->height;
  bm.bmWidthBytes = bitmap->width * 4;
  bm.bmPlanes = 1;
  bm.bmBitsPixel = 32;
  std::memcpy(pv, &bm, sizeof bm);
  return sizeof bm;
}

BOOL BitBlt(HDC hdc, int, int, int, int, HDC, int x1, int y1, DWORD) {
  pay_cost(fake::Cost::BitBlt);
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.screen_calls.bitblt;
  g_state.screen_calls.bitblt_sources.emplace_back(x1, y1);
  auto* dc = reinterpret_cast<FakeDC*>(hdc);
  if (dc == nullptr || dc->selected == nullptr) return FALSE;
  ++dc->selected->frame;
  return TRUE;
}

BOOL GetCursorInfo(PCURSORINFO pci) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.screen_calls.get_cursor_info;
  if (g_state.cursor.query_fails || pci->cbSize != sizeof(CURSORINFO)) return FALSE;
  pci->flags = CURSOR_SHOWING;
  pci->hCursor = kCursorHandle;
  pci->ptScreenPos = {g_state.cursor.x, g_state.cursor.y};
  return TRUE;
}

BOOL GetIconInfo(HICON hIcon, PICONINFO piconinfo) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hIcon != kCursorHandle) return FALSE;
  piconinfo->fIcon = FALSE;
  piconinfo->xHotspot = g_state.cursor.hotspot_x;
  piconinfo->yHotspot = g_state.cursor.hotspot_y;
  auto make_part = [](bool present) -> HBITMAP {
    if (!present) return nullptr;
    auto* part = new FakeBitmap;
    part->icon_part = true;
    ++g_state.live_screen_objects;
    return reinterpret_cast<HBITMAP>(part);
  };
  piconinfo->hbmMask = make_part(g_state.cursor.has_mask);
  piconinfo->hbmColor = make_part(g_state.cursor.has_color);
  return TRUE;
}

BOOL DrawIcon(HDC hDC, int X, int Y, HICON hIcon) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hDC == nullptr || hIcon != kCursorHandle) return FALSE;
  g_state.screen_calls.draw_icon_at.emplace_back(X, Y);
  return TRUE;
}

// Writes a recognisable picture: every pixel byte is the number of copies
// made into the bitmap so far (low byte), so tests can tell frames apart.
int GetDIBits(HDC, HBITMAP hbm, UINT, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi,
              UINT) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.screen_calls.get_dibits;
  if (hbm == nullptr || lpvBits == nullptr || lpbmi == nullptr) return 0;
  auto* bitmap = reinterpret_cast<FakeBitmap*>(hbm);
  const BITMAPINFOHEADER& h = lpbmi->bmiHeader;
  if (h.biBitCount != 24 || h.biWidth != bitmap->width) return 0;
  size_t stride = ((static_cast<size_t>(h.biWidth) * 24 + 31) / 32) * 4;
  std::memset(lpvBits, static_cast<int>(bitmap->frame & 0xff), stride * cLines);
  return static_cast<int>(cLines);
}

// ---- registry ------------------------------------------------------------------

namespace {

std::string key_path_of(HKEY key) {
  if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  return reinterpret_cast<FakeHandleKey*>(key)->path;
}

}  // namespace

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string path = key_path_of(hKey) + "\\" + lpSubKey;
  auto failure = g_state.key_failures.find(path);
  if (failure != g_state.key_failures.end()) return failure->second;
  bool existed = g_state.registry.count(path) != 0;
  g_state.registry[path];
  *phkResult = reinterpret_cast<HKEY>(new FakeHandleKey{path});
  ++g_state.open_keys;
  if (lpdwDisposition) *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string path = key_path_of(hKey) + "\\" + lpSubKey;
  if (g_state.registry.count(path) == 0) return ERROR_FILE_NOT_FOUND;
  *phkResult = reinterpret_cast<HKEY>(new FakeHandleKey{path});
  ++g_state.open_keys;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto failure = g_state.value_failures.find(lpValueName);
  if (failure != g_state.value_failures.end()) return failure->second;
  if (dwType != REG_DWORD || cbData != sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
  DWORD value;
  std::memcpy(&value, lpData, sizeof value);
  std::string path = key_path_of(hKey);
  g_state.registry[path][lpValueName] = value;
  g_state.registry_writes.push_back(path + "\\" + lpValueName);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto& key = g_state.registry[key_path_of(hKey)];
  auto v = key.find(lpValueName);
  if (v == key.end()) return ERROR_FILE_NOT_FOUND;
  if (lpType) *lpType = REG_DWORD;
  if (lpData && lpcbData && *lpcbData >= sizeof(DWORD)) {
    std::memcpy(lpData, &v->second, sizeof(DWORD));
  }
  if (lpcbData) *lpcbData = sizeof(DWORD);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hKey == nullptr || hKey == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  delete reinterpret_cast<FakeHandleKey*>(hKey);
  --g_state.open_keys;
  return ERROR_SUCCESS;
}

// ---- compressor manager ------------------------------------------------------------

BOOL ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* lpicinfo) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.ic_calls.info;
  size_t found = 0;
  for (const auto& c : g_state.compressors) {
    if (c.fcc_type != fccType) continue;
    if (found++ == fccHandler) {
      // ICInfo fills only the codes, as the compressor manager does.
      lpicinfo->dwSize = sizeof *lpicinfo;
      lpicinfo->fccType = c.fcc_type;
      lpicinfo->fccHandler = c.fcc_handler;
      return TRUE;
    }
  }
  return FALSE;
}

HIC ICOpen(DWORD fccType, DWORD fccHandler, UINT) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.ic_calls.opened.push_back(fccHandler);
  for (size_t i = 0; i < g_state.compressors.size(); ++i) {
    auto& c = g_state.compressors[i];
    if (c.fcc_type == fccType && c.fcc_handler == fccHandler) {
      if (c.opens_allowed == 0) return nullptr;
      if (c.opens_allowed > 0) --c.opens_allowed;
      ++g_state.ic_handles;
      return reinterpret_cast<HIC>(new CompressorHandle{i});
    }
  }
  return nullptr;
}

LRESULT ICGetInfo(HIC hic, ICINFO* picinfo, DWORD cb) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hic == nullptr || cb < sizeof(ICINFO)) return 0;
  const auto& c = g_state.compressors[reinterpret_cast<CompressorHandle*>(hic)->index];
  g_state.ic_calls.described.push_back(c.fcc_handler);
  fill_description(picinfo, c);
  return sizeof(ICINFO);
}

LRESULT ICSendMessage(HIC hic, UINT msg, DWORD_PTR dw1, DWORD_PTR) {
  std::function<LRESULT(const BITMAPINFOHEADER&)> query;
  BITMAPINFOHEADER format{};
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (msg != ICM_COMPRESS_QUERY) return ICERR_UNSUPPORTED;
    format = *reinterpret_cast<const BITMAPINFOHEADER*>(dw1);
    g_state.ic_calls.queries.emplace_back(format.biWidth, format.biHeight);
    if (hic == nullptr) return ICERR_BADHANDLE;
    query = g_state.compressors[reinterpret_cast<CompressorHandle*>(hic)->index].query;
  }
  return query ? query(format) : ICERR_OK;
}

LRESULT ICClose(HIC hic) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.ic_calls.closed;
  if (hic == nullptr) return ICERR_BADHANDLE;
  --g_state.ic_handles;
  delete reinterpret_cast<CompressorHandle*>(hic);
  return ICERR_OK;
}

// ---- AVIFile -------------------------------------------------------------------------

void AVIFileInit() {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.avi_inits;
}

void AVIFileExit() {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_state.avi_exits;
}

HRESULT AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID) {
  pay_cost(fake::Cost::FileOpen);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (HRESULT code = scripted_result_locked(fake::AviOp::FileOpen)) return code;
  if (g_state.open_gives_no_file) {
    g_state.open_gives_no_file = false;
    return 0;
  }
  if (uMode != (OF_CREATE | OF_WRITE)) return AVIERR_BADFLAGS;
  auto file = std::make_unique<fake::FakeAviFileInfo>();
  file->name = szFile;
  file->refs = 1;
  *ppfile = reinterpret_cast<PAVIFILE>(new FileHandle{file.get()});
  g_state.files.push_back(std::move(file));
  ++g_state.avi_handles;
  return 0;
}

HRESULT AVIFileCreateStreamA(PAVIFILE pfile, PAVISTREAM* ppavi, AVISTREAMINFOA* psi) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (HRESULT code = scripted_result_locked(fake::AviOp::CreateStream)) return code;
  auto* handle = reinterpret_cast<FileHandle*>(pfile);
  handle->file->stream.info = *psi;
  handle->file->has_raw = true;
  ++handle->file->refs;
  *ppavi = reinterpret_cast<PAVISTREAM>(new StreamHandle{handle->file, false});
  ++g_state.avi_handles;
  return 0;
}

HRESULT AVIMakeCompressedStream(PAVISTREAM* ppsCompressed, PAVISTREAM ppsSource,
                                AVICOMPRESSOPTIONS* lpOptions, CLSID*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (HRESULT code = scripted_result_locked(fake::AviOp::MakeCompressed)) return code;
  auto* source = reinterpret_cast<StreamHandle*>(ppsSource);
  source->file->stream.options = *lpOptions;
  source->file->has_compressed = true;
  ++source->file->refs;
  *ppsCompressed = reinterpret_cast<PAVISTREAM>(new StreamHandle{source->file, true});
  ++g_state.avi_handles;
  return 0;
}

HRESULT AVIStreamSetFormat(PAVISTREAM pavi, LONG, LPVOID lpFormat, LONG cbFormat) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (HRESULT code = scripted_result_locked(fake::AviOp::SetFormat)) return code;
  auto* stream = reinterpret_cast<StreamHandle*>(pavi);
  if (cbFormat < static_cast<LONG>(sizeof(BITMAPINFOHEADER))) return AVIERR_BADSIZE;
  std::memcpy(&stream->file->stream.format, lpFormat, sizeof(BITMAPINFOHEADER));
  stream->file->stream.format_set = true;
  return 0;
}

HRESULT AVIStreamWrite(PAVISTREAM pavi, LONG lStart, LONG, LPVOID, LONG cbBuffer, DWORD,
                       LONG*, LONG*) {
  pay_cost(fake::Cost::StreamWrite);
  std::unique_lock<std::mutex> lock(g_mutex);
  if (!g_state.write_throws.empty()) {
    if (g_state.write_throws.front() == 0) {
      g_state.write_throws.pop_front();
      lock.unlock();
      throw std::runtime_error("compressor fault");
    }
    --g_state.write_throws.front();
  }
  if (HRESULT code = scripted_result_locked(fake::AviOp::Write)) return code;
  auto* stream = reinterpret_cast<StreamHandle*>(pavi);
  if (!stream->file->stream.format_set) return AVIERR_BADFORMAT;
  stream->file->stream.positions.push_back(lStart);
  stream->file->stream.lengths.push_back(cbBuffer);
  return 0;
}

ULONG AVIStreamRelease(PAVISTREAM pavi) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* stream = reinterpret_cast<StreamHandle*>(pavi);
  --g_state.avi_handles;
  release_file_ref_locked(stream->file);
  delete stream;
  return 0;
}

ULONG AVIFileRelease(PAVIFILE pfile) {
  pay_cost(fake::Cost::FileRelease);
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* handle = reinterpret_cast<FileHandle*>(pfile);
  --g_state.avi_handles;
  release_file_ref_locked(handle->file);
  delete handle;
  return 0;
}
