// Which capture source records this session, chosen once, on the first
// screen call:
//   - X11 when $DISPLAY names an X server that is not XWayland (Xorg,
//     Xvfb), also inside a Wayland session;
//   - the Wayland desktop's screen cast when $WAYLAND_DISPLAY is set and
//     $DISPLAY is unset or names XWayland (which shows only X11 windows);
//   - X11 for XWayland outside a Wayland session's environment, where it
//     is all there is;
//   - none otherwise, with the reason on standard error.
#include <atomic>
#include <cstdint>
#include <new>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/linux/kernel/kernel_internal.h"
#include "platform/linux/screen/capture_source.h"
#include "platform/linux/screen/pipewire_screen.h"
#include "platform/linux/screen/x11_screen.h"
#include "platform/platform.h"

namespace screen {
namespace {

CaptureWishes g_wishes;

// The source of a session with no screen: it reads nothing, but its stores
// are memory as any other, so memory DCs and bitmaps still work.
bool no_readable() { return false; }
bool no_geometry(Geometry*, bool) { return false; }
bool no_store_create(PixelStore* store, int width, int height) {
  auto* impl = new (std::nothrow) MemoryStore;
  return impl != nullptr && make_memory_store(impl, store, width, height);
}
void no_store_destroy(PixelStore* store) {
  delete store->impl;
  *store = PixelStore{};
}
bool no_store_read(PixelStore*, int, int, int, int, int, int) { return false; }
bool no_store_update(PixelStore*, int, int) { return false; }
void no_store_mark_stale(PixelStore*, int, int) {}
std::uint8_t* no_store_changed_rows(PixelStore* store) {
  auto* impl = static_cast<MemoryStore*>(store->impl);  // the only kind it makes
  return impl != nullptr ? impl->changed_rows.data() : nullptr;
}
bool no_cursor(int*, int*, const CursorImage** image) {
  *image = nullptr;
  return false;
}
bool no_lost() { return false; }

const CaptureSource kNoSource = {
    "none",          no_readable,         no_geometry,         no_store_create,
    no_store_destroy, no_store_read,      no_store_update,     no_store_mark_stale,
    no_store_changed_rows, no_cursor,     no_lost,
};

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

const CaptureSource* choose() {
  const x11::ServerKind server = set("DISPLAY") ? x11::probe_server() : x11::ServerKind::kNone;
  if (server == x11::ServerKind::kXServer) return &x11::kX11Source;
  if (set("WAYLAND_DISPLAY")) {
    std::string reason;
    if (pipewire_screen::open_source(&reason)) return &pipewire_screen::kPipeWireSource;
    std::fprintf(stderr, "slotrec: cannot record the Wayland desktop: %s\n", reason.c_str());
    return &kNoSource;
  }
  if (server == x11::ServerKind::kXWayland) return &x11::kX11Source;
  if (set("DISPLAY")) {
    std::fprintf(stderr, "slotrec: no screen to record: no X server answers at DISPLAY=%s\n",
                 std::getenv("DISPLAY"));
  } else {
    std::fprintf(stderr,
                 "slotrec: no screen to record: neither DISPLAY nor WAYLAND_DISPLAY is set\n");
  }
  return &kNoSource;
}

}  // namespace

bool make_memory_store(MemoryStore* impl, PixelStore* store, int width, int height) {
  *store = PixelStore{};
  if (width <= 0 || height <= 0 || std::int64_t{width} * height * 4 > (std::int64_t{1} << 30)) {
    delete impl;
    return false;
  }
  try {
    impl->pixels.assign(static_cast<std::size_t>(width) * height * 4u, 0);
    impl->changed_rows.assign(static_cast<std::size_t>(height), 1);
    impl->stale_rows.assign(static_cast<std::size_t>(height), 0);
  } catch (const std::bad_alloc&) {
    delete impl;
    return false;
  }
  *store = PixelStore{impl->pixels.data(), std::ptrdiff_t{width} * 4, width, height, impl};
  return true;
}

const CaptureSource* active_source() {
  static const CaptureSource* const chosen = choose();
  return chosen;
}

const CaptureWishes& capture_wishes() { return g_wishes; }

void report_source_lost(const char* what) {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  std::fprintf(stderr, "slotrec: %s\n", what);
  slotrec_deliver_console_event(CTRL_LOGOFF_EVENT);
}

}  // namespace screen

void DescribeScreenCapture(BOOL with_cursor, BOOL whole_desktop) {
  screen::g_wishes.with_cursor = with_cursor != FALSE;
  screen::g_wishes.whole_desktop = whole_desktop != FALSE;
}
