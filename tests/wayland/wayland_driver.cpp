// What a person does at a Wayland desktop, for the tests:
//
//   wayland_driver window RRGGBB WIDTH HEIGHT SECONDS
//       shows a WIDTH × HEIGHT window of one colour (a native Wayland
//       client: wl_shm and xdg-shell) for SECONDS, then closes it;
//   wayland_driver pointer SECONDS DX DY [DX DY ...]
//       moves mutter's virtual pointer (org.gnome.Mutter.RemoteDesktop) by
//       each DX, DY in turn, SECONDS apart, holding the session for SECONDS
//       more after the last move.
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

int show_window(std::uint32_t rgb, int width, int height, double seconds) {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "wayland_driver: no Wayland display\n");
    return 1;
  }
  Window w;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistry, &w);
  wl_display_roundtrip(display);
  if (w.compositor == nullptr || w.shm == nullptr || w.wm_base == nullptr) {
    std::fprintf(stderr, "wayland_driver: the compositor lacks wl_shm or xdg-shell\n");
    return 1;
  }
  xdg_wm_base_add_listener(w.wm_base, &kWmBase, nullptr);
  wl_surface* surface = wl_compositor_create_surface(w.compositor);
  xdg_surface* xsurface = xdg_wm_base_get_xdg_surface(w.wm_base, surface);
  xdg_surface_add_listener(xsurface, &kSurface, &w);
  xdg_toplevel* toplevel = xdg_surface_get_toplevel(xsurface);
  xdg_toplevel_add_listener(toplevel, &kToplevel, nullptr);
  xdg_toplevel_set_title(toplevel, "slotrec test colour");
  wl_surface_commit(surface);
  while (!w.configured && wl_display_dispatch(display) != -1) {
  }

  const int stride = width * 4;
  const std::size_t bytes = static_cast<std::size_t>(stride) * height;
  int fd = memfd_create("slotrec-colour", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) return 1;
  auto* pixels = static_cast<std::uint32_t*>(
      mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  for (std::size_t i = 0; i < bytes / 4; ++i) pixels[i] = 0xff000000u | rgb;
  wl_shm_pool* pool = wl_shm_create_pool(w.shm, fd, static_cast<int32_t>(bytes));
  wl_buffer* buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_surface_attach(surface, buffer, 0, 0);
  wl_surface_damage(surface, 0, 0, width, height);
  wl_surface_commit(surface);
  wl_display_flush(display);

  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
  while (g_get_monotonic_time() < end) {
    wl_display_dispatch_pending(display);
    wl_display_flush(display);
    usleep(20000);
    wl_display_roundtrip(display);
  }
  wl_display_disconnect(display);
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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "window") == 0) {
    return show_window(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 16)),
                       std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]));
  }
  if (argc >= 3 && std::strcmp(argv[1], "pointer") == 0) {
    return move_pointer(std::atof(argv[2]), argc - 3, argv + 3);
  }
  std::fprintf(stderr,
               "usage: wayland_driver window RRGGBB WIDTH HEIGHT SECONDS\n"
               "       wayland_driver pointer SECONDS DX DY [DX DY ...]\n");
  return 2;
}
