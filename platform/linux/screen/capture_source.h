// What the GDI and USER operations (gdi.cpp) need from whatever shows them
// the desktop: its geometry, pixels read into the frame bitmaps with the
// rows changed since the last read, the cursor, and word of a changed
// geometry or of the source gone. Each source is one file behind this one
// record of operations: x11_screen.cpp (an X server: Xorg, Xvfb) and
// pipewire_screen.cpp (a Wayland desktop, through the desktop portal's
// screen cast and a PipeWire stream). source_choice.cpp picks the one for
// the session on the first screen call.
//
// Coordinates. The desktop's own coordinates put its top-left corner at
// (0, 0); on X11 they are the root window's. Screen coordinates, as the
// Win32 calls use them, put the primary monitor's top-left at (0, 0):
// desktop (x, y) is screen (x − primary_x, y − primary_y).
//
// Threads: every operation is called from the thread that makes the screen
// calls (the main thread). A source may run threads of its own behind them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace screen {

// The desktop and its primary monitor, in desktop coordinates.
struct Geometry {
  int desktop_width;
  int desktop_height;
  int primary_x;  // the primary monitor, or the whole desktop
  int primary_y;
  int primary_width;
  int primary_height;
};

// A source's own record of a pixel store; each source derives its own.
struct StoreImpl {
  virtual ~StoreImpl() = default;
};

// Pixels of a compatible bitmap: 32-bit BGRX, top-down, `stride` bytes per
// row, in memory the source chose (on X11 a shared segment the server
// writes straight into, where it can).
struct PixelStore {
  std::uint8_t* pixels = nullptr;
  std::ptrdiff_t stride = 0;
  int width = 0;
  int height = 0;
  StoreImpl* impl = nullptr;
};

// A store in ordinary memory, for sources whose pixels do not land in
// memory of their own (the screen cast, no screen at all); a source may
// derive its record from it.
struct MemoryStore : StoreImpl {
  std::vector<std::uint8_t> pixels;
  std::vector<std::uint8_t> changed_rows;  // all 1 when made
  std::vector<std::uint8_t> stale_rows;    // all 0 when made
};

// Gives `impl` (new, owned by the store from now on) black width × height
// pixels and fills in `store`. False, with `impl` deleted and `store` empty,
// for an absurd size or no memory.
bool make_memory_store(MemoryStore* impl, PixelStore* store, int width, int height);

// The cursor image: premultiplied ARGB (alpha in the top byte), row-major.
struct CursorImage {
  int width = 0;
  int height = 0;
  int xhot = 0;
  int yhot = 0;
  std::vector<std::uint32_t> argb;
};

// The operations of one source. Every one of them fails (false, null)
// once the source is lost.
struct CaptureSource {
  const char* name;  // "X11", "PipeWire": for the tests and the benchmarks

  // True while the source can give pixels in true colours. For one that
  // cannot, the first call that finds so says why on standard error.
  bool (*readable)();

  // The desktop's geometry. With `refresh` it is read again; otherwise the
  // one last read is given, read again only after the source announced a
  // change. False when there is no source.
  bool (*geometry)(Geometry* out, bool refresh);

  // A black width × height store (false when out of memory or absurd;
  // `store` is left empty then), and its release (safe on an empty store
  // and after the source is lost).
  bool (*store_create)(PixelStore* store, int width, int height);
  void (*store_destroy)(PixelStore* store);

  // Copies the w × h rectangle of the desktop at (desktop_x, desktop_y)
  // into the store at (x, y); both lie wholly inside their owners. On
  // failure the store keeps its previous pixels.
  bool (*store_read)(PixelStore* store, int x, int y, int w, int h, int desktop_x,
                     int desktop_y);

  // Brings the whole store up to date with the desktop rectangle of its size
  // at (desktop_x, desktop_y), reading again only what changed since the
  // last such update from the same place (the source knows what changed).
  bool (*store_update)(PixelStore* store, int desktop_x, int desktop_y);

  // Rows y .. y+h of the store no longer hold what the desktop showed (the
  // caller drew on them): the next update reads them again.
  void (*store_mark_stale)(PixelStore* store, int y, int h);

  // One flag per row of the store: 1 where the pixels may have been written
  // since the owner last cleared it. All 1 in a new store.
  std::uint8_t* (*store_changed_rows)(PixelStore* store);

  // The pointer's position in desktop coordinates and the cursor's image.
  // False when the source cannot say where the pointer is, or the cursor is
  // hidden; `*image` is null then.
  bool (*cursor)(int* desktop_x, int* desktop_y, const CursorImage** image);

  // True once the source has been lost (said once on standard error, and the
  // program's console control handler sent CTRL_LOGOFF_EVENT once).
  bool (*lost)();
};

// The session's source, chosen on the first call. When there is none (the
// reason said once on standard error) it is one whose every operation
// fails. Main thread.
const CaptureSource* active_source();

// What the program asked the source for before the grabber opens it: the
// cursor painted in, the whole desktop rather than the primary monitor.
struct CaptureWishes {
  bool with_cursor = true;
  bool whole_desktop = false;
};
const CaptureWishes& capture_wishes();

// Says once on standard error that the source is gone ("slotrec: " and
// `what`) and sends the program's console control handler CTRL_LOGOFF_EVENT,
// as Windows does when the session ends. Any thread; only the first call
// of the process has an effect.
void report_source_lost(const char* what);

}  // namespace screen
