// The X11 connection behind the screen operations: one Display for the
// process, opened on first use; MIT-SHM stores for the frame bitmaps; XFixes
// for the cursor image; RandR for the primary monitor; the default colormap
// for every visual whose pixels are not plain TrueColor; DAMAGE on the root
// window, so that a store kept up to date reads only the rows that changed.
//
// A store is kept up to date (pixel_store_update_root) from the moment it
// has been read whole from one place of the root window: every damage
// report marks the rows it touches stale in each such store, and the next
// update reads the stale rows and nothing else. The damage is taken from
// the server (and emptied there) before the rows are read, so whatever is
// drawn meanwhile is reported again and read by a later update. A store is
// read whole again after the screen's geometry or colormap changed, when it
// is read from another place, and once every kWholeReadMs whatever the
// damage says, so that a server that failed to report a change cannot keep
// it out of the recording for longer than that.
//
// Xlib ends the process on a lost connection and on any protocol error
// unless told otherwise. A recorder must outlive its display, so protocol
// errors on our connection are only counted (the call that caused one
// fails), and a lost connection marks the connection dead: every later call
// fails without touching Xlib, the loss is said once on standard error, and
// the program hears CTRL_LOGOFF_EVENT, as on Windows when the session ends.
//
// Xlib's exit handler for a lost connection may return instead of exiting,
// but it is called with the display's lock already released, and the Xlib
// call it interrupted releases it a second time on its way out. So the
// handler does not return into Xlib: it jumps back to the x_call() that
// made the call (Xlib holds no other lock at that point, and no C++ object
// lives in the frames in between), and the connection is never used again.
#include "platform/linux/screen/x11_screen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/linux/screen/pixel_convert.h"

namespace x11 {

struct PixelStoreImpl : screen::StoreImpl {
  XImage* shm_image = nullptr;  // describes the shared segment to XShmGetImage
  XShmSegmentInfo shm_info{};
  bool shm_attached = false;    // the server has attached the segment
  bool direct = false;          // the store's pixels are the segment itself
  std::uint8_t* heap = nullptr;  // the pixels otherwise (calloc)
  std::uint8_t* spare = nullptr;  // where XGetImage reads land first (calloc)

  // Kept up to date: the pixels are the root rectangle at (origin_x,
  // origin_y) as read, except for the rows marked stale. Only while
  // `tracked`, and only under the geometry and colormap it was read with.
  bool tracked = false;
  int width = 0;
  int origin_x = 0;
  int origin_y = 0;
  std::uint64_t geometry_serial = 0;
  std::uint64_t colormap_serial = 0;
  std::int64_t whole_read_ms = 0;  // when it was last read whole
  std::vector<std::uint8_t> stale_rows;  // one per row, 1: read it on the next update
  std::vector<std::uint8_t> changed_rows;  // one per row, 1: written since the owner last cleared it
};

namespace {

PixelStoreImpl* impl_of(const PixelStore* store) { return static_cast<PixelStoreImpl*>(store->impl); }

// The process's connection and what is known about its screen. Only the
// screen thread touches it (the Xlib handlers run on that thread too, inside
// its Xlib calls).
struct Connection {
  Display* dpy = nullptr;
  char display_name[128] = "";  // for what is said about it on standard error
  Window root = 0;
  Visual* visual = nullptr;
  int depth = 0;
  bool lost = false;
  bool logoff_delivered = false;

  // How the root window's pixels become true colours (plan_visual).
  bool readable = false;
  VisualPlan plan;
  Colormap colormap = 0;  // the default one
  std::vector<XColor> query;         // one per cell: the pixel asked about, the answer
  std::vector<pixel::Rgb16> cells;   // the colormap the lookup was made from
  bool cells_valid = false;
  bool refusal_said = false;

  bool shm = false;  // MIT-SHM present and not yet seen to fail
  bool xfixes = false;
  int xfixes_event_base = 0;
  bool randr = false;
  bool randr_monitors = false;  // RandR 1.5: XRRGetMonitors
  int randr_event_base = 0;

  ScreenGeometry geometry{};
  bool geometry_valid = false;
  bool geometry_dirty = true;
  std::uint64_t geometry_serial = 0;  // moves on with every change the server announces

  // DAMAGE on the root window (needs XFixes 2 for its regions).
  bool damage = false;
  int damage_event_base = 0;
  Damage damage_handle = 0;
  XserverRegion damage_parts = 0;  // where XDamageSubtract leaves what changed
  bool damage_reported = false;    // a DamageNotify came since the last subtract
  std::vector<PixelStoreImpl*> tracked_stores;
  std::uint64_t colormap_serial = 0;  // moves on whenever the colormap lookup is refilled
  std::uint64_t rows_read = 0;        // rows of pixels read from the server so far

  CursorImage cursor;
  bool cursor_valid = false;
  bool cursor_dirty = true;

  unsigned long errors = 0;  // protocol errors seen on our connection
  jmp_buf* landing = nullptr;  // where a lost connection returns to
};

Connection g;
XErrorHandler g_previous_error_handler = nullptr;
XIOErrorHandler g_previous_io_error_handler = nullptr;

constexpr std::int64_t kMaxStoreBytes = std::int64_t{1} << 30;
// A store kept up to date is read whole at least this often.
constexpr std::int64_t kWholeReadMs = 2000;

int on_error(Display* dpy, XErrorEvent* event) {
  if (dpy == g.dpy) {
    ++g.errors;
    return 0;
  }
  return g_previous_error_handler != nullptr ? g_previous_error_handler(dpy, event) : 0;
}

int on_io_error(Display* dpy) {
  if (dpy == g.dpy) {
    g.lost = true;
    return 0;
  }
  return g_previous_io_error_handler != nullptr ? g_previous_io_error_handler(dpy) : 0;
}

// Called by Xlib after on_io_error for our display, in place of exit().
void on_io_error_exit(Display*, void*) {
  g.lost = true;
  if (g.landing != nullptr) longjmp(*g.landing, 1);
}

// Brackets every stretch of Xlib calls (see x_call). Writing to a socket
// whose server has died raises SIGPIPE, which would end the process, so the
// signal is blocked meanwhile and any SIGPIPE it raised is taken off again.
// On the way out, once the connection has been found lost, it says so on
// standard error and delivers CTRL_LOGOFF_EVENT, both once.
class CallScope {
 public:
  CallScope() {
    sigemptyset(&pipe_only_);
    sigaddset(&pipe_only_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only_, &saved_);
    pipe_was_pending_ = sigpipe_pending();
  }
  ~CallScope() {
    if (!pipe_was_pending_ && sigpipe_pending()) {
      timespec no_wait{};
      sigtimedwait(&pipe_only_, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    if (g.lost && !g.logoff_delivered) {
      g.logoff_delivered = true;
      char what[192];
      std::snprintf(what, sizeof what, "lost the connection to the X display %s", g.display_name);
      screen::report_source_lost(what);
    }
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  bool sigpipe_pending() const {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
  }
  sigset_t pipe_only_;
  sigset_t saved_;
  bool pipe_was_pending_ = false;
};

// Runs `body`, a stretch of Xlib calls, and gives its result; false at once
// when the connection is already lost, and false when it is lost meanwhile
// (the exit handler jumps back here). `body` must keep no object with a
// destructor alive across an Xlib call.
template <typename Body>
bool x_call(Body&& body) {
  CallScope scope;
  if (g.lost) return false;
  struct RestoreLanding {
    jmp_buf* outer;
    ~RestoreLanding() { g.landing = outer; }
  } restore{g.landing};
  jmp_buf landing;
  if (setjmp(landing) != 0) return false;
  g.landing = &landing;
  return body() && !g.lost;
}

int bits_per_pixel_for_depth(Display* dpy, int depth) {
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(dpy, &count);
  int bpp = 0;
  for (int i = 0; formats != nullptr && i < count; ++i) {
    if (formats[i].depth == depth) bpp = formats[i].bits_per_pixel;
  }
  if (formats != nullptr) XFree(formats);
  return bpp;
}

bool read_geometry() {
  Window root_return = 0;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  if (!XGetGeometry(g.dpy, g.root, &root_return, &x, &y, &width, &height, &border, &depth) ||
      g.lost) {
    return false;
  }
  ScreenGeometry geometry{static_cast<int>(width), static_cast<int>(height), 0, 0,
                          static_cast<int>(width), static_cast<int>(height)};
  if (g.randr_monitors) {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(g.dpy, g.root, True, &count);
    for (int i = 0; monitors != nullptr && i < count; ++i) {
      if (monitors[i].primary && monitors[i].width > 0 && monitors[i].height > 0) {
        geometry.primary_x = monitors[i].x;
        geometry.primary_y = monitors[i].y;
        geometry.primary_width = monitors[i].width;
        geometry.primary_height = monitors[i].height;
        break;
      }
    }
    if (monitors != nullptr) XRRFreeMonitors(monitors);
  }
  if (g.lost) return false;
  g.geometry = geometry;
  g.geometry_valid = true;
  g.geometry_dirty = false;
  return true;
}

// Reads the cells of the default colormap that the lookup needs with one
// XQueryColors round trip and, when any differs from the last reading,
// refills the lookup. Xlib allocates the reply (about 8 bytes a cell, twice)
// and frees it at once; nothing else is allocated. False on a protocol
// error or a lost connection (the lookup then stays as it was).
bool read_colormap() {
  const int count = static_cast<int>(g.query.size());
  const unsigned long errors_before = g.errors;
  // An error answers the request in place of the reply, so it has been
  // counted by the time XQueryColors returns.
  XQueryColors(g.dpy, g.colormap, g.query.data(), count);
  if (g.lost || g.errors != errors_before) return false;

  bool changed = !g.cells_valid;
  for (int i = 0; i < count; ++i) {
    const XColor& in = g.query[static_cast<std::size_t>(i)];
    pixel::Rgb16& cell = g.cells[static_cast<std::size_t>(i)];
    if (cell.red != in.red || cell.green != in.green || cell.blue != in.blue) {
      cell = pixel::Rgb16{in.red, in.green, in.blue};
      changed = true;
    }
  }
  if (changed) {
    pixel::lookup_set_colormap(&g.plan.lookup, g.cells.data(), count);
    ++g.colormap_serial;
  }
  g.cells_valid = true;
  return true;
}

// Takes the events we asked for off the queue without waiting: cursor
// changes (XFixes) and screen changes (RandR, the root's ConfigureNotify).
void pump_events() {
  while (!g.lost && XPending(g.dpy) > 0) {
    XEvent event;
    XNextEvent(g.dpy, &event);
    if (g.xfixes && event.type == g.xfixes_event_base + XFixesCursorNotify) {
      g.cursor_dirty = true;
    } else if (g.damage && event.type == g.damage_event_base + XDamageNotify) {
      g.damage_reported = true;
    } else if (g.randr && (event.type == g.randr_event_base + RRScreenChangeNotify ||
                           event.type == g.randr_event_base + RRNotify)) {
      XRRUpdateConfiguration(&event);
      g.geometry_dirty = true;
      ++g.geometry_serial;
    } else if (event.type == ConfigureNotify) {
      // The root's own: sent for a new size, and the only word the server
      // gives when monitors are set or deleted.
      g.geometry_dirty = true;
      ++g.geometry_serial;
    }
  }
}

bool open_connection() {
  static const bool threads_ready = XInitThreads() != 0;
  (void)threads_ready;
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) return false;

  static bool handlers_installed = false;
  if (!handlers_installed) {
    g_previous_error_handler = XSetErrorHandler(on_error);
    g_previous_io_error_handler = XSetIOErrorHandler(on_io_error);
    handlers_installed = true;
  }
  g.dpy = dpy;
  std::snprintf(g.display_name, sizeof g.display_name, "%s", DisplayString(dpy));
  XSetIOErrorExitHandler(dpy, on_io_error_exit, nullptr);

  const int screen = DefaultScreen(dpy);
  g.root = RootWindow(dpy, screen);
  g.visual = DefaultVisual(dpy, screen);
  g.depth = DefaultDepth(dpy, screen);
  g.colormap = DefaultColormap(dpy, screen);
  VisualFacts facts;
  facts.visual_class = g.visual->c_class;
  facts.depth = g.depth;
  facts.bits_per_pixel = bits_per_pixel_for_depth(dpy, g.depth);
  facts.msb_first = ImageByteOrder(dpy) == MSBFirst;
  facts.red_mask = g.visual->red_mask;
  facts.green_mask = g.visual->green_mask;
  facts.blue_mask = g.visual->blue_mask;
  facts.colormap_entries = g.visual->map_entries;
  g.readable = plan_visual(facts, &g.plan);
  if (g.readable && g.plan.colormap_needed) {
    const int cells = g.plan.lookup.colormap_entries;
    g.query.assign(static_cast<std::size_t>(cells), XColor{});
    for (int i = 0; i < cells; ++i) {
      g.query[static_cast<std::size_t>(i)].pixel = pixel::lookup_query_pixel(g.plan.lookup, i);
    }
    g.cells.assign(static_cast<std::size_t>(cells), pixel::Rgb16{0, 0, 0});
    if (!read_colormap() && !g.lost) {
      g.readable = false;
      std::snprintf(g.plan.reason, sizeof g.plan.reason,
                    "the default colormap of its depth %d visual cannot be read", g.depth);
    }
  }

  g.shm = XShmQueryExtension(dpy) == True;

  int error_base = 0;
  int xfixes_major = 0;
  if (XFixesQueryExtension(dpy, &g.xfixes_event_base, &error_base)) {
    int major = 5, minor = 0;
    if (XFixesQueryVersion(dpy, &major, &minor) && major >= 1) {
      g.xfixes = true;
      xfixes_major = major;
      XFixesSelectCursorInput(dpy, g.root, XFixesDisplayCursorNotifyMask);
    }
  }
  if (xfixes_major >= 2 && XDamageQueryExtension(dpy, &g.damage_event_base, &error_base)) {
    int major = 1, minor = 1;
    if (XDamageQueryVersion(dpy, &major, &minor) && major >= 1) {
      const unsigned long errors_before = g.errors;
      g.damage_handle = XDamageCreate(dpy, g.root, XDamageReportNonEmpty);
      g.damage_parts = XFixesCreateRegion(dpy, nullptr, 0);
      XSync(dpy, False);
      g.damage = !g.lost && g.errors == errors_before;
    }
  }
  if (XRRQueryExtension(dpy, &g.randr_event_base, &error_base)) {
    int major = 0, minor = 0;
    if (XRRQueryVersion(dpy, &major, &minor)) {
      g.randr = true;
      g.randr_monitors = major > 1 || (major == 1 && minor >= 5);
      XRRSelectInput(dpy, g.root,
                     RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
  }
  XSelectInput(dpy, g.root, StructureNotifyMask);
  XSync(dpy, False);
  return !g.lost && read_geometry();
}

bool ready() {
  if (g.lost) return false;
  if (g.dpy == nullptr && !open_connection()) return false;
  return !g.lost;
}

// Takes back a store's shared segment and its image, without a word to the
// server (the caller detaches first while there is a connection).
void release_segment(PixelStoreImpl* impl) {
  XShmSegmentInfo& info = impl->shm_info;
  shmdt(info.shmaddr);
  shmctl(info.shmid, IPC_RMID, nullptr);  // if the attach never got that far
  impl->shm_image->data = nullptr;
  XDestroyImage(impl->shm_image);
  impl->shm_image = nullptr;
  impl->shm_attached = false;
  impl->direct = false;
  info = XShmSegmentInfo{};
}

// Makes the shared segment for a store and has the server attach it. From
// the moment the segment exists the store owns it (impl->shm_image), so a
// connection lost half-way leaves nothing behind; shm_attached says whether
// the server has it. After a refused attach MIT-SHM is not tried again (the
// server cannot reach our memory, e.g. over TCP).
void attach_shared_segment(PixelStoreImpl* impl, int width, int height) {
  // The image keeps a pointer to the segment's record: it must be the one in
  // the store, which lives as long as the image.
  XShmSegmentInfo& info = impl->shm_info;
  info = XShmSegmentInfo{};
  XImage* image = XShmCreateImage(g.dpy, g.visual, static_cast<unsigned>(g.depth), ZPixmap,
                                  nullptr, &info, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height));
  if (image == nullptr) return;
  const std::size_t bytes =
      static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(height);
  info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (info.shmid < 0) {
    XDestroyImage(image);
    info = XShmSegmentInfo{};
    return;
  }
  void* address = shmat(info.shmid, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(info.shmid, IPC_RMID, nullptr);
    XDestroyImage(image);
    info = XShmSegmentInfo{};
    return;
  }
  info.shmaddr = static_cast<char*>(address);
  info.readOnly = False;
  image->data = info.shmaddr;
  impl->shm_image = image;

  const unsigned long errors_before = g.errors;
  XShmAttach(g.dpy, &info);
  XSync(g.dpy, False);
  // Marked for removal at once: the segment goes away with its last user,
  // even if this process dies without cleaning up.
  shmctl(info.shmid, IPC_RMID, nullptr);
  if (g.errors != errors_before) {
    g.shm = false;
    release_segment(impl);
    return;
  }
  impl->shm_attached = true;
  impl->direct = g.plan.bgrx_as_is && image->bits_per_pixel == 32 &&
                 image->bytes_per_line == width * 4;
}

// Turns w × h of the server's pixels, as `image` describes them, into BGRX
// rows: copied when they already are, else looked up. False when the image
// is not in the format the screen was planned for.
bool convert_rows(const XImage* image, const std::uint8_t* src, std::uint8_t* dst,
                  std::ptrdiff_t dst_stride, int w, int h) {
  const pixel::PackedLayout& layout = g.plan.lookup.layout;
  if (image->bits_per_pixel != layout.bytes_per_pixel * 8 ||
      (layout.bytes_per_pixel > 1 && (image->byte_order == MSBFirst) != layout.msb_first)) {
    return false;
  }
  if (g.plan.bgrx_as_is) {
    for (int row = 0; row < h; ++row) {
      std::memcpy(dst + row * dst_stride, src + row * image->bytes_per_line,
                  static_cast<std::size_t>(w) * 4u);
    }
    return true;
  }
  return pixel::lookup_to_bgrx(g.plan.lookup, src, image->bytes_per_line, dst, dst_stride, w, h);
}

// Full-width rows y .. y+h into a shared store: one XShmGetImage into the
// segment at row y, converted afterwards when the segment is only staging.
bool read_rows_shared(PixelStore* store, int y, int h, int root_x, int root_y) {
  PixelStoreImpl* impl = impl_of(store);
  XImage* image = impl->shm_image;
  char* const base = impl->shm_info.shmaddr;
  const int full_height = image->height;
  image->data = base + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line;
  image->height = h;
  const bool ok = XShmGetImage(g.dpy, g.root, image, root_x, root_y, AllPlanes) && !g.lost;
  image->data = base;
  image->height = full_height;
  if (!ok) return false;
  if (impl->direct) return true;
  const std::uint8_t* src = reinterpret_cast<const std::uint8_t*>(base) +
                            static_cast<std::ptrdiff_t>(y) * image->bytes_per_line;
  return convert_rows(image, src, store->pixels + y * store->stride, store->stride,
                      store->width, h);
}

// One band of rows through XGetImage, copied (or converted) from the memory
// Xlib allocated for the reply to (x, y) of a BGRX block.
bool read_band(std::uint8_t* block, std::ptrdiff_t stride, int x, int y, int w, int h, int root_x,
               int root_y) {
  XImage* image = XGetImage(g.dpy, g.root, root_x, root_y, static_cast<unsigned>(w),
                            static_cast<unsigned>(h), AllPlanes, ZPixmap);
  if (image == nullptr || g.lost) {
    if (image != nullptr) XDestroyImage(image);
    return false;
  }
  const bool ok = convert_rows(image, reinterpret_cast<const std::uint8_t*>(image->data),
                               block + y * stride + x * 4, stride, w, h);
  XDestroyImage(image);
  return ok;
}

// Any rectangle without a shared segment. The server's reply is read in
// bands of about kBandBytes (one reply for a whole screen would be a fresh
// multi-megabyte allocation each time, paid for in page faults), into the
// spare block, so that a failure half-way leaves the store's pixels alone.
// A read of the whole store then swaps the two blocks; a smaller one copies
// its rectangle across.
bool read_rect_copied(PixelStore* store, int x, int y, int w, int h, int root_x, int root_y) {
  constexpr int kBandBytes = 256 * 1024;
  PixelStoreImpl* impl = impl_of(store);
  const std::size_t bytes = static_cast<std::size_t>(store->stride) * store->height;
  if (impl->spare == nullptr) {
    impl->spare = static_cast<std::uint8_t*>(std::calloc(bytes, 1));
    if (impl->spare == nullptr) return false;
  }
  const int band = std::max(1, kBandBytes / (w * 4));
  for (int row = 0; row < h; row += band) {
    if (!read_band(impl->spare, store->stride, x, y + row, w, std::min(band, h - row), root_x,
                   root_y + row)) {
      return false;
    }
  }
  if (!impl->direct && x == 0 && y == 0 && w == store->width && h == store->height) {
    std::swap(impl->heap, impl->spare);
    store->pixels = impl->heap;
    return true;
  }
  for (int row = y; row < y + h; ++row) {
    std::memcpy(store->pixels + row * store->stride + x * 4,
                impl->spare + row * store->stride + x * 4, static_cast<std::size_t>(w) * 4u);
  }
  return true;
}

std::int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

void untrack(PixelStoreImpl* impl) {
  if (!impl->tracked) return;
  impl->tracked = false;
  auto& stores = g.tracked_stores;
  stores.erase(std::remove(stores.begin(), stores.end(), impl), stores.end());
}

void untrack_all() {
  for (PixelStoreImpl* impl : g.tracked_stores) impl->tracked = false;
  g.tracked_stores.clear();
}

// Takes what changed since the last call from the server (emptying its
// record, so that later drawing is reported anew) and marks those rows
// stale in every store kept up to date. A failure leaves no store kept up
// to date: each is read whole next time.
bool collect_damage() {
  if (!g.damage_reported) return true;
  g.damage_reported = false;
  const unsigned long errors_before = g.errors;
  XDamageSubtract(g.dpy, g.damage_handle, None, g.damage_parts);
  int count = 0;
  XRectangle* parts = XFixesFetchRegion(g.dpy, g.damage_parts, &count);
  if (g.lost || g.errors != errors_before || (parts == nullptr && count > 0)) {
    if (parts != nullptr) XFree(parts);
    untrack_all();
    return false;
  }
  for (PixelStoreImpl* impl : g.tracked_stores) {
    const int width = impl->width;
    const int height = static_cast<int>(impl->stale_rows.size());
    for (int i = 0; i < count; ++i) {
      const XRectangle& r = parts[i];
      const int x0 = r.x - impl->origin_x;
      const int y0 = std::max(0, r.y - impl->origin_y);
      const int y1 = std::min(height, r.y + static_cast<int>(r.height) - impl->origin_y);
      if (x0 >= width || x0 + static_cast<int>(r.width) <= 0) continue;
      for (int y = y0; y < y1; ++y) impl->stale_rows[static_cast<std::size_t>(y)] = 1;
    }
  }
  if (parts != nullptr) XFree(parts);
  return true;
}

// Rows y .. y+h of the store, full width, from the root at (root_x, root_y + y).
bool read_rows(PixelStore* store, int y, int h, int root_x, int root_y) {
  PixelStoreImpl* impl = impl_of(store);
  const bool ok = impl->shm_image != nullptr
                      ? read_rows_shared(store, y, h, root_x, root_y + y)
                      : read_rect_copied(store, 0, y, store->width, h, root_x, root_y + y);
  // Even a failed read may have written some of them.
  std::fill(impl->changed_rows.begin() + y, impl->changed_rows.begin() + y + h, 1);
  if (ok) g.rows_read += static_cast<std::uint64_t>(h);
  return ok;
}

// The whole store from the root at (root_x, root_y); from then on it is
// kept up to date from there.
bool read_whole(PixelStore* store, int root_x, int root_y) {
  PixelStoreImpl* impl = impl_of(store);
  untrack(impl);
  // Taken first, so that what is drawn while the rows are read is reported
  // again (and only what is kept up to date needs it).
  if (g.damage && !collect_damage()) return read_rows(store, 0, store->height, root_x, root_y);
  if (!read_rows(store, 0, store->height, root_x, root_y)) return false;
  if (!g.damage) return true;
  impl->tracked = true;
  impl->origin_x = root_x;
  impl->origin_y = root_y;
  impl->geometry_serial = g.geometry_serial;
  impl->colormap_serial = g.colormap_serial;
  impl->whole_read_ms = monotonic_ms();
  std::fill(impl->stale_rows.begin(), impl->stale_rows.end(), 0);
  g.tracked_stores.push_back(impl);
  return true;
}

// The stale rows of a store kept up to date, in bands: rows closer than
// kBandGap are read together (one request instead of two, for a few rows
// more). Rows that could not be read stay stale.
bool read_stale_rows(PixelStore* store, int root_x, int root_y) {
  constexpr int kBandGap = 16;
  std::vector<std::uint8_t>& stale = impl_of(store)->stale_rows;
  const int height = store->height;
  int y = 0;
  while (y < height) {
    while (y < height && stale[static_cast<std::size_t>(y)] == 0) ++y;
    if (y == height) break;
    int end = y + 1;
    for (int gap = 0; end < height && gap < kBandGap; ++end) {
      gap = stale[static_cast<std::size_t>(end)] != 0 ? 0 : gap + 1;
    }
    while (end > y && stale[static_cast<std::size_t>(end - 1)] == 0) --end;
    if (!read_rows(store, y, end - y, root_x, root_y)) return false;
    std::fill(stale.begin() + y, stale.begin() + end, 0);
    y = end;
  }
  return true;
}

}  // namespace

bool screen_ready() {
  return x_call([] { return ready(); });
}

bool screen_lost() { return g.lost; }

bool screen_readable() {
  return x_call([] {
    if (!ready()) return false;
    if (!g.readable && !g.refusal_said) {
      g.refusal_said = true;
      std::fprintf(stderr, "slotrec: cannot capture the X display %s: %s\n", g.display_name,
                   g.plan.reason);
    }
    return g.readable;
  });
}

bool plan_visual(const VisualFacts& facts, VisualPlan* plan) {
  *plan = VisualPlan{};
  static const char* const kClassNames[] = {"StaticGray",  "GrayScale", "StaticColor",
                                            "PseudoColor", "TrueColor", "DirectColor"};
  if (facts.visual_class < StaticGray || facts.visual_class > DirectColor) {
    std::snprintf(plan->reason, sizeof plan->reason, "depth %d visual of unknown class %d",
                  facts.depth, facts.visual_class);
    return false;
  }
  const char* const name = kClassNames[facts.visual_class];
  const int bpp = facts.bits_per_pixel;
  if (bpp <= 0 || bpp % 8 != 0 || bpp > 32) {
    std::snprintf(plan->reason, sizeof plan->reason, "depth %d %s visual with %d bits per pixel",
                  facts.depth, name, bpp);
    return false;
  }
  const bool decomposed = facts.visual_class == TrueColor || facts.visual_class == DirectColor;
  const pixel::PackedLayout layout{bpp / 8, facts.msb_first,
                                   static_cast<std::uint32_t>(facts.red_mask),
                                   static_cast<std::uint32_t>(facts.green_mask),
                                   static_cast<std::uint32_t>(facts.blue_mask)};
  const bool masks_fit = (facts.red_mask | facts.green_mask | facts.blue_mask) <= 0xffffffffUL;
  if (!masks_fit ||
      !pixel::lookup_init(&plan->lookup, layout, !decomposed, facts.colormap_entries)) {
    if (decomposed) {
      std::snprintf(plan->reason, sizeof plan->reason,
                    "depth %d %s visual with %d bits per pixel and channel masks %#lx %#lx %#lx",
                    facts.depth, name, bpp, facts.red_mask, facts.green_mask, facts.blue_mask);
    } else {
      std::snprintf(plan->reason, sizeof plan->reason,
                    "depth %d %s visual with %d bits per pixel and %d colormap entries",
                    facts.depth, name, bpp, facts.colormap_entries);
    }
    return false;
  }
  plan->bgrx_as_is = facts.visual_class == TrueColor && pixel::layout_is_bgrx(layout);
  // Even a TrueColor ramp is the server's to define (Xvfb's 5-bit red 7 is
  // 0x39, where scaling would give 0x3a): read once, it is exact. Only
  // 8-bit channels are taken as they are.
  plan->colormap_needed = !plan->bgrx_as_is;
  plan->colormap_changes = facts.visual_class == GrayScale ||
                           facts.visual_class == PseudoColor ||
                           facts.visual_class == DirectColor;
  return true;
}

bool screen_geometry(ScreenGeometry* out, bool refresh) {
  return x_call([&] {
    if (!ready()) return false;
    pump_events();
    if ((refresh || g.geometry_dirty || !g.geometry_valid) && !read_geometry()) return false;
    *out = g.geometry;
    return true;
  });
}

bool pixel_store_create(PixelStore* store, int width, int height) {
  *store = PixelStore{};
  if (width <= 0 || height <= 0) return false;
  const std::int64_t bytes = std::int64_t{width} * height * 4;
  if (bytes > kMaxStoreBytes) return false;
  auto* impl = new (std::nothrow) PixelStoreImpl;
  if (impl == nullptr) return false;
  x_call([&] {
    if (ready() && g.shm && g.readable) attach_shared_segment(impl, width, height);
    return true;
  });
  if (impl->shm_image != nullptr && !impl->shm_attached) release_segment(impl);  // lost meanwhile
  if (!impl->direct) {
    impl->heap = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(bytes), 1));
    if (impl->heap == nullptr) {
      store->impl = impl;
      pixel_store_destroy(store);
      return false;
    }
  }
  impl->width = width;
  impl->stale_rows.assign(static_cast<std::size_t>(height), 0);
  impl->changed_rows.assign(static_cast<std::size_t>(height), 1);
  store->pixels = impl->direct ? reinterpret_cast<std::uint8_t*>(impl->shm_info.shmaddr)
                               : impl->heap;
  store->stride = static_cast<std::ptrdiff_t>(width) * 4;
  store->width = width;
  store->height = height;
  store->impl = impl;
  return true;
}

void pixel_store_destroy(PixelStore* store) {
  PixelStoreImpl* impl = impl_of(store);
  if (impl != nullptr) {
    untrack(impl);
    if (impl->shm_image != nullptr) {
      if (impl->shm_attached && g.dpy != nullptr) {
        x_call([&] {
          XShmDetach(g.dpy, &impl->shm_info);
          XFlush(g.dpy);
          return true;
        });
      }
      release_segment(impl);
    }
    std::free(impl->heap);
    std::free(impl->spare);
    delete impl;
  }
  *store = PixelStore{};
}

bool pixel_store_read_root(PixelStore* store, int x, int y, int w, int h, int root_x,
                           int root_y) {
  if (store->impl == nullptr || w <= 0 || h <= 0 || x < 0 || y < 0 ||
      x > store->width - w || y > store->height - h) {
    return false;
  }
  PixelStoreImpl* impl = impl_of(store);
  const bool ok = x_call([&] {
    if (!ready() || !g.readable) return false;
    if (g.plan.colormap_changes && !read_colormap()) return false;
    if (x == 0 && y == 0 && w == store->width && h == store->height) {
      pump_events();
      return read_whole(store, root_x, root_y);
    }
    untrack(impl);
    const bool read = impl->shm_image != nullptr && x == 0 && w == store->width
                          ? read_rows_shared(store, y, h, root_x, root_y)
                          : read_rect_copied(store, x, y, w, h, root_x, root_y);
    std::fill(impl->changed_rows.begin() + y, impl->changed_rows.begin() + y + h, 1);
    if (read) g.rows_read += static_cast<std::uint64_t>(h);
    return read;
  });
  if (impl->shm_image != nullptr) {
    // A read cut short by a lost connection leaves the image pointing at
    // the rows it was reading.
    impl->shm_image->data = impl->shm_info.shmaddr;
    impl->shm_image->height = store->height;
  }
  return ok;
}

bool pixel_store_update_root(PixelStore* store, int root_x, int root_y) {
  if (store->impl == nullptr) return false;
  PixelStoreImpl* impl = impl_of(store);
  const bool ok = x_call([&] {
    if (!ready() || !g.readable) return false;
    if (g.plan.colormap_changes && !read_colormap()) return false;
    pump_events();
    const bool current = impl->tracked && impl->origin_x == root_x && impl->origin_y == root_y &&
                         impl->geometry_serial == g.geometry_serial &&
                         impl->colormap_serial == g.colormap_serial &&
                         monotonic_ms() - impl->whole_read_ms < kWholeReadMs;
    if (!current) return read_whole(store, root_x, root_y);
    if (!collect_damage()) return read_whole(store, root_x, root_y);
    return read_stale_rows(store, root_x, root_y);
  });
  if (impl->shm_image != nullptr) {
    impl->shm_image->data = impl->shm_info.shmaddr;
    impl->shm_image->height = store->height;
  }
  return ok;
}

void pixel_store_mark_stale(PixelStore* store, int y, int h) {
  if (store->impl == nullptr) return;
  std::vector<std::uint8_t>& stale = impl_of(store)->stale_rows;
  const int y0 = std::max(0, y);
  const int y1 = std::min(static_cast<int>(stale.size()), y + h);
  if (y0 < y1) std::fill(stale.begin() + y0, stale.begin() + y1, 1);
}

std::uint8_t* pixel_store_changed_rows(PixelStore* store) {
  return store->impl != nullptr ? impl_of(store)->changed_rows.data() : nullptr;
}

std::uint64_t screen_rows_read() { return g.rows_read; }

bool cursor_query(int* root_x, int* root_y, const CursorImage** image) {
  *image = nullptr;
  const bool ok = x_call([&] {
    if (!ready()) return false;
    pump_events();
    if (!g.xfixes) return false;
    if (g.cursor_dirty || !g.cursor_valid) {
      // Cleared first: a change reported while we fetch only costs a refetch.
      g.cursor_dirty = false;
      g.cursor_valid = false;
      XFixesCursorImage* fetched = XFixesGetCursorImage(g.dpy);
      if (fetched == nullptr) {
        g.cursor_dirty = true;
        return false;
      }
      CursorImage& cursor = g.cursor;
      cursor.width = fetched->width;
      cursor.height = fetched->height;
      cursor.xhot = fetched->xhot;
      cursor.yhot = fetched->yhot;
      const std::size_t count = static_cast<std::size_t>(cursor.width) * cursor.height;
      cursor.argb.resize(count);
      for (std::size_t i = 0; i < count; ++i) {
        cursor.argb[i] = static_cast<std::uint32_t>(fetched->pixels[i]);
      }
      XFree(fetched);
      g.cursor_valid = count > 0;
      if (!g.cursor_valid) g.cursor_dirty = true;
    }
    if (!g.cursor_valid) return false;
    Window root_return = 0, child = 0;
    int x = 0, y = 0, window_x = 0, window_y = 0;
    unsigned mask = 0;
    if (!XQueryPointer(g.dpy, g.root, &root_return, &child, &x, &y, &window_x, &window_y,
                       &mask)) {
      return false;
    }
    *root_x = x;
    *root_y = y;
    *image = &g.cursor;
    return true;
  });
  if (!ok) *image = nullptr;
  return ok;
}

namespace {

jmp_buf* g_probe_landing = nullptr;

void on_probe_io_error_exit(Display*, void*) {
  if (g_probe_landing != nullptr) longjmp(*g_probe_landing, 1);
}

}  // namespace

ServerKind probe_server() {
  static const bool threads_ready = XInitThreads() != 0;
  (void)threads_ready;
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) return ServerKind::kNone;
  // A server that goes away meanwhile must not end the process: the lost
  // connection is left as it is (Xlib frees nothing once it is broken).
  jmp_buf landing;
  if (setjmp(landing) != 0) {
    g_probe_landing = nullptr;
    return ServerKind::kNone;
  }
  g_probe_landing = &landing;
  XSetIOErrorExitHandler(dpy, on_probe_io_error_exit, nullptr);
  int opcode = 0, event_base = 0, error_base = 0;
  const bool xwayland = XQueryExtension(dpy, "XWAYLAND", &opcode, &event_base, &error_base) == True;
  XCloseDisplay(dpy);
  g_probe_landing = nullptr;
  return xwayland ? ServerKind::kXWayland : ServerKind::kXServer;
}

const screen::CaptureSource kX11Source = {
    "X11",
    screen_readable,
    screen_geometry,
    pixel_store_create,
    pixel_store_destroy,
    pixel_store_read_root,
    pixel_store_update_root,
    pixel_store_mark_stale,
    pixel_store_changed_rows,
    cursor_query,
    screen_lost,
};

}  // namespace x11
