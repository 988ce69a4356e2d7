// What a person does at a Wayland desktop, for the tests:
//
//   wayland_driver window RRGGBB WIDTH HEIGHT SECONDS
//       shows a WIDTH × HEIGHT window of one colour (a native Wayland
//       client: wl_shm and xdg-shell) for SECONDS, then closes it;
//   wayland_driver motion SECONDS
//       a fullscreen window showing a new picture 30 times a second (eight
//       pictures drawn once, in turn: every frame differs from the last);
//   wayland_driver pointer SECONDS DX DY [DX DY ...]
//       moves mutter's virtual pointer (org.gnome.Mutter.RemoteDesktop) by
//       each DX, DY in turn, SECONDS apart, holding the session for SECONDS
//       more after the last move;
//   wayland_driver cast SECONDS
//       records mutter's primary monitor (org.gnome.Mutter.ScreenCast, the
//       cursor painted in), prints the PipeWire node's id and holds the cast
//       for SECONDS: what a benchmark's other recorder reads.
//
// Both run until they are done and exit 0, or say why not and exit 1.
#include <fcntl.h>
#include <gio/gio.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xdg-shell-client-protocol.h"

namespace {

struct Window {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wm_base = nullptr;
  bool configured = false;
};

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t) {
  auto* w = static_cast<Window*>(data);
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    w->compositor = static_cast<wl_compositor*>(
        wl_registry_bind(registry, name, &wl_compositor_interface, 4));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    w->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    w->wm_base = static_cast<xdg_wm_base*>(
        wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
  }
}
void on_global_remove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistry = {on_global, on_global_remove};

void on_ping(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener kWmBase = {on_ping};

void on_surface_configure(void* data, xdg_surface* surface, uint32_t serial) {
  xdg_surface_ack_configure(surface, serial);
  static_cast<Window*>(data)->configured = true;
}
const xdg_surface_listener kSurface = {on_surface_configure};

void on_toplevel_configure(void*, xdg_toplevel*, int32_t, int32_t, wl_array*) {}
void on_toplevel_close(void*, xdg_toplevel*) {}
const xdg_toplevel_listener kToplevel = {on_toplevel_configure, on_toplevel_close, nullptr,
                                         nullptr};

struct Toplevel {
  wl_display* display = nullptr;
  Window w;
  wl_surface* surface = nullptr;
  int width = 0;   // as the compositor configured it (fullscreen), else 0
  int height = 0;
};

void on_fullscreen_configure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
  auto* t = static_cast<Toplevel*>(data);
  if (width > 0 && height > 0) {
    t->width = width;
    t->height = height;
  }
}
const xdg_toplevel_listener kFullscreen = {on_fullscreen_configure, on_toplevel_close, nullptr,
                                           nullptr};

// Connects and maps a toplevel; `fullscreen` asks for the whole monitor.
bool open_toplevel(Toplevel* t, bool fullscreen) {
  t->display = wl_display_connect(nullptr);
  if (t->display == nullptr) {
    std::fprintf(stderr, "wayland_driver: no Wayland display\n");
    return false;
  }
  wl_registry* registry = wl_display_get_registry(t->display);
  wl_registry_add_listener(registry, &kRegistry, &t->w);
  wl_display_roundtrip(t->display);
  if (t->w.compositor == nullptr || t->w.shm == nullptr || t->w.wm_base == nullptr) {
    std::fprintf(stderr, "wayland_driver: the compositor lacks wl_shm or xdg-shell\n");
    return false;
  }
  xdg_wm_base_add_listener(t->w.wm_base, &kWmBase, nullptr);
  t->surface = wl_compositor_create_surface(t->w.compositor);
  xdg_surface* xsurface = xdg_wm_base_get_xdg_surface(t->w.wm_base, t->surface);
  xdg_surface_add_listener(xsurface, &kSurface, &t->w);
  xdg_toplevel* toplevel = xdg_surface_get_toplevel(xsurface);
  xdg_toplevel_add_listener(toplevel, fullscreen ? &kFullscreen : &kToplevel, t);
  xdg_toplevel_set_title(toplevel, "slotrec test window");
  if (fullscreen) xdg_toplevel_set_fullscreen(toplevel, nullptr);
  wl_surface_commit(t->surface);
  while (!t->w.configured && wl_display_dispatch(t->display) != -1) {
  }
  return true;
}

// A shared-memory buffer of `count` pictures of width × height, one after
// the other, and their wl_buffers.
std::uint32_t* make_buffers(Toplevel* t, int width, int height, int count, wl_buffer** buffers) {
  const int stride = width * 4;
  const std::size_t one = static_cast<std::size_t>(stride) * height;
  int fd = memfd_create("slotrec-window", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(one * count)) != 0) return nullptr;
  auto* pixels = static_cast<std::uint32_t*>(
      mmap(nullptr, one * count, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  wl_shm_pool* pool = wl_shm_create_pool(t->w.shm, fd, static_cast<int32_t>(one * count));
  for (int i = 0; i < count; ++i) {
    buffers[i] = wl_shm_pool_create_buffer(pool, static_cast<int32_t>(one * i), width, height,
                                           stride, WL_SHM_FORMAT_XRGB8888);
  }
  return pixels;
}

void show(Toplevel* t, wl_buffer* buffer, int width, int height) {
  wl_surface_attach(t->surface, buffer, 0, 0);
  wl_surface_damage(t->surface, 0, 0, width, height);
  wl_surface_commit(t->surface);
  wl_display_flush(t->display);
}

int show_motion(double seconds) {
  Toplevel t;
  if (!open_toplevel(&t, true)) return 1;
  wl_display_roundtrip(t.display);
  const int width = t.width > 0 ? t.width : 1280;
  const int height = t.height > 0 ? t.height : 720;
  constexpr int kPictures = 8;
  wl_buffer* buffers[kPictures];
  std::uint32_t* pixels = make_buffers(&t, width, height, kPictures, buffers);
  if (pixels == nullptr) return 1;
  // Busy pictures: a gradient that moves, and a pattern no two share.
  std::uint32_t seed = 12345;
  for (int i = 0; i < kPictures; ++i) {
    std::uint32_t* p = pixels + static_cast<std::size_t>(i) * width * height;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        seed = seed * 1664525u + 1013904223u;
        const std::uint32_t r = static_cast<std::uint32_t>((x + i * 37) & 0xff);
        const std::uint32_t g = static_cast<std::uint32_t>((y + i * 53) & 0xff);
        const std::uint32_t b = (seed >> 24) & 0xff;
        p[static_cast<std::size_t>(y) * width + x] = 0xff000000u | (r << 16) | (g << 8) | b;
      }
    }
  }
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
  for (int frame = 0; g_get_monotonic_time() < end; ++frame) {
    show(&t, buffers[frame % kPictures], width, height);
    wl_display_dispatch_pending(t.display);
    g_usleep(G_USEC_PER_SEC / 30);
    wl_display_roundtrip(t.display);
  }
  wl_display_disconnect(t.display);
  return 0;
}

int show_window(std::uint32_t rgb, int width, int height, double seconds) {
  Toplevel t;
  if (!open_toplevel(&t, false)) return 1;
  wl_buffer* buffer = nullptr;
  std::uint32_t* pixels = make_buffers(&t, width, height, 1, &buffer);
  if (pixels == nullptr) return 1;
  for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i) pixels[i] = 0xff000000u | rgb;
  show(&t, buffer, width, height);
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
  while (g_get_monotonic_time() < end) {
    wl_display_dispatch_pending(t.display);
    wl_display_flush(t.display);
    usleep(20000);
    wl_display_roundtrip(t.display);
  }
  wl_display_disconnect(t.display);
  return 0;
}

int move_pointer(double seconds, int argc, char** argv) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) return 1;
  const char* service = "org.gnome.Mutter.RemoteDesktop";
  GVariant* created = g_dbus_connection_call_sync(
      bus, service, "/org/gnome/Mutter/RemoteDesktop", service, "CreateSession", nullptr,
      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
  if (created == nullptr) {
    std::fprintf(stderr, "wayland_driver: %s\n", error->message);
    return 1;
  }
  const gchar* path = nullptr;
  g_variant_get(created, "(&o)", &path);
  const std::string session = path;
  g_variant_unref(created);
  const std::string interface = std::string(service) + ".Session";
  auto call = [&](const char* method, GVariant* parameters) {
    GVariant* r = g_dbus_connection_call_sync(bus, service, session.c_str(), interface.c_str(),
                                              method, parameters, nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    if (r == nullptr) {
      std::fprintf(stderr, "wayland_driver: %s: %s\n", method, error->message);
      std::exit(1);
    }
    g_variant_unref(r);
  };
  call("Start", nullptr);
  for (int i = 0; i + 1 < argc; i += 2) {
    g_usleep(static_cast<gulong>(seconds * G_USEC_PER_SEC));
    call("NotifyPointerMotionRelative",
         g_variant_new("(dd)", std::atof(argv[i]), std::atof(argv[i + 1])));
  }
  g_usleep(static_cast<gulong>(seconds * G_USEC_PER_SEC));
  call("Stop", nullptr);
  return 0;
}

void on_stream_added(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                     GVariant* parameters, gpointer data) {
  g_variant_get(parameters, "(u)", static_cast<guint32*>(data));
}

int hold_cast(double seconds) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) return 1;
  const char* service = "org.gnome.Mutter.ScreenCast";
  auto call = [&](const char* path, const char* interface, const char* method, GVariant* parameters,
                  const char* type) {
    GVariant* r = g_dbus_connection_call_sync(bus, service, path, interface, method, parameters,
                                              type ? G_VARIANT_TYPE(type) : nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    if (r == nullptr) {
      std::fprintf(stderr, "wayland_driver: %s: %s\n", method, error->message);
      std::exit(1);
    }
    return r;
  };
  GVariantBuilder none;
  g_variant_builder_init(&none, G_VARIANT_TYPE_VARDICT);
  GVariant* session = call("/org/gnome/Mutter/ScreenCast", service, "CreateSession",
                           g_variant_new("(a{sv})", &none), "(o)");
  const gchar* session_path = nullptr;
  g_variant_get(session, "(&o)", &session_path);
  GVariantBuilder record;
  g_variant_builder_init(&record, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&record, "{sv}", "cursor-mode", g_variant_new_uint32(1));
  const std::string session_interface = std::string(service) + ".Session";
  GVariant* stream = call(session_path, session_interface.c_str(), "RecordMonitor",
                          g_variant_new("(sa{sv})", "", &record), "(o)");
  const gchar* stream_path = nullptr;
  g_variant_get(stream, "(&o)", &stream_path);
  guint32 node = 0;
  g_dbus_connection_signal_subscribe(bus, nullptr, "org.gnome.Mutter.ScreenCast.Stream",
                                     "PipeWireStreamAdded", stream_path, nullptr,
                                     G_DBUS_SIGNAL_FLAGS_NONE, on_stream_added, &node, nullptr);
  g_variant_unref(call(session_path, session_interface.c_str(), "Start", nullptr, nullptr));
  const gint64 give_up = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
  while (node == 0 && g_get_monotonic_time() < give_up) g_main_context_iteration(nullptr, TRUE);
  if (node == 0) return 1;
  std::printf("%u\n", node);
  std::fflush(stdout);
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
  while (g_get_monotonic_time() < end) g_main_context_iteration(nullptr, FALSE), g_usleep(50000);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "window") == 0) {
    return show_window(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 16)),
                       std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]));
  }
  if (argc == 3 && std::strcmp(argv[1], "motion") == 0) return show_motion(std::atof(argv[2]));
  if (argc == 3 && std::strcmp(argv[1], "cast") == 0) return hold_cast(std::atof(argv[2]));
  if (argc >= 3 && std::strcmp(argv[1], "pointer") == 0) {
    return move_pointer(std::atof(argv[2]), argc - 3, argv + 3);
  }
  std::fprintf(stderr,
               "usage: wayland_driver window RRGGBB WIDTH HEIGHT SECONDS\n"
               "       wayland_driver motion SECONDS\n"
               "       wayland_driver pointer SECONDS DX DY [DX DY ...]\n"
               "       wayland_driver cast SECONDS\n");
  return 2;
}
