// A screen cast backend for the real xdg-desktop-portal, for the tests: it
// does what GNOME's backend does, less the dialog. It answers the portal's
// org.freedesktop.impl.portal.ScreenCast calls by recording mutter's
// monitors through org.gnome.Mutter.ScreenCast (GNOME's backend drives the
// same API), and hands back restore data, so a later run with the token the
// portal made from it starts without a "dialog".
//
// What the user does in the dialog is set by the environment:
//   SLOTREC_STAND_IN_ANSWER   grant (the default) or refuse
//   SLOTREC_STAND_IN_DIALOGS  a file that gets one line per dialog shown
// A dialog takes 1.5 s to answer, as a person would take longer still.
// SIGUSR1 is the user pressing "stop sharing" in the desktop's panel: every
// screen cast ends.
//
// Usage: portal_stand_in   (on the session bus, until the bus goes away)
#include <gio/gio.h>
#include <glib-unix.h>

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr char kBusName[] = "org.freedesktop.impl.portal.desktop.slotrectest";
constexpr char kObjectPath[] = "/org/freedesktop/portal/desktop";
constexpr char kRestoreVendor[] = "slotrec-test";
constexpr int kDialogMs = 1500;

const char kIntrospection[] = R"(
<node>
  <interface name="org.freedesktop.impl.portal.ScreenCast">
    <method name="CreateSession">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="SelectSources">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <property name="AvailableSourceTypes" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.impl.portal.Session">
    <method name="Close"/>
    <signal name="Closed"/>
    <property name="version" type="u" access="read"/>
  </interface>
</node>)";

struct CastSession {
  std::string path;
  bool several = false;
  std::uint32_t cursor_mode = 2;  // the portal's numbers
  bool restored = false;
  std::string mutter_session;      // its path
  std::vector<std::string> mutter_streams;
  guint registration = 0;
};

GDBusConnection* g_bus = nullptr;
GDBusNodeInfo* g_node = nullptr;
std::map<std::string, CastSession> g_sessions;

GVariant* call_mutter(const char* path, const char* interface, const char* method,
                      GVariant* parameters, const char* reply_type, GError** error) {
  return g_dbus_connection_call_sync(g_bus, "org.gnome.Mutter.ScreenCast", path, interface,
                                     method, parameters,
                                     reply_type ? G_VARIANT_TYPE(reply_type) : nullptr,
                                     G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, error);
}

void reply(GDBusMethodInvocation* invocation, std::uint32_t response, GVariantBuilder* results) {
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(ua{sv})", response, results));
}

void empty_reply(GDBusMethodInvocation* invocation, std::uint32_t response) {
  GVariantBuilder results;
  g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
  reply(invocation, response, &results);
}

void session_call(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                  const gchar* method, GVariant*, GDBusMethodInvocation* invocation, gpointer) {
  auto it = g_sessions.find(path);
  if (std::strcmp(method, "Close") == 0 && it != g_sessions.end()) {
    if (!it->second.mutter_session.empty()) {
      GVariant* done = call_mutter(it->second.mutter_session.c_str(),
                                   "org.gnome.Mutter.ScreenCast.Session", "Stop", nullptr,
                                   nullptr, nullptr);
      if (done != nullptr) g_variant_unref(done);
    }
    g_dbus_connection_unregister_object(g_bus, it->second.registration);
    g_sessions.erase(it);
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* session_property(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                           const gchar*, GError**, gpointer) {
  return g_variant_new_uint32(1);
}

const GDBusInterfaceVTable kSessionVTable = {session_call, session_property, nullptr, {}};

struct StartRequest {
  GDBusMethodInvocation* invocation;
  std::string session;
};

// Records the session's monitors in mutter and answers Start with their
// PipeWire nodes, positions and sizes.
void finish_start(GDBusMethodInvocation* invocation, CastSession& cast) {
  GError* error = nullptr;
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
  GVariant* created = call_mutter("/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast",
                                  "CreateSession", g_variant_new("(a{sv})", &properties), "(o)",
                                  &error);
  if (created == nullptr) {
    std::fprintf(stderr, "portal_stand_in: mutter: %s\n", error->message);
    empty_reply(invocation, 2);
    return;
  }
  const gchar* session_path = nullptr;
  g_variant_get(created, "(&o)", &session_path);
  cast.mutter_session = session_path;
  g_variant_unref(created);
  const std::uint32_t mutter_cursor = cast.cursor_mode == 4 ? 2 : cast.cursor_mode == 2 ? 1 : 0;
  const int wanted = cast.several ? 8 : 1;
  for (int i = 0; i < wanted; ++i) {
    GVariantBuilder record;
    g_variant_builder_init(&record, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&record, "{sv}", "cursor-mode", g_variant_new_uint32(mutter_cursor));
    const std::string connector = cast.several ? "Meta-" + std::to_string(i) : "";
    GVariant* stream = call_mutter(cast.mutter_session.c_str(),
                                   "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                                   g_variant_new("(sa{sv})", connector.c_str(), &record), "(o)",
                                   nullptr);
    if (stream == nullptr) break;
    const gchar* stream_path = nullptr;
    g_variant_get(stream, "(&o)", &stream_path);
    cast.mutter_streams.push_back(stream_path);
    g_variant_unref(stream);
  }
  // Each stream's node comes in its PipeWireStreamAdded signal after Start.
  std::map<std::string, std::uint32_t> nodes;
  std::vector<guint> subscriptions;
  for (const std::string& stream : cast.mutter_streams) {
    subscriptions.push_back(g_dbus_connection_signal_subscribe(
        g_bus, nullptr, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded",
        stream.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
           GVariant* parameters, gpointer data) {
          guint32 node = 0;
          g_variant_get(parameters, "(u)", &node);
          (*static_cast<std::map<std::string, std::uint32_t>*>(data))[path] = node;
        },
        &nodes, nullptr));
  }
  GVariant* started = call_mutter(cast.mutter_session.c_str(),
                                  "org.gnome.Mutter.ScreenCast.Session", "Start", nullptr,
                                  nullptr, &error);
  if (started == nullptr) {
    std::fprintf(stderr, "portal_stand_in: mutter Start: %s\n", error->message);
    empty_reply(invocation, 2);
    return;
  }
  g_variant_unref(started);
  const gint64 give_up = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
  while (nodes.size() < cast.mutter_streams.size() && g_get_monotonic_time() < give_up) {
    g_main_context_iteration(nullptr, TRUE);
  }
  for (guint s : subscriptions) g_dbus_connection_signal_unsubscribe(g_bus, s);

  GVariantBuilder streams;
  g_variant_builder_init(&streams, G_VARIANT_TYPE("a(ua{sv})"));
  for (const std::string& stream : cast.mutter_streams) {
    GVariantBuilder info;
    g_variant_builder_init(&info, G_VARIANT_TYPE_VARDICT);
    GVariant* parameters = g_dbus_connection_call_sync(
        g_bus, "org.gnome.Mutter.ScreenCast", stream.c_str(), "org.freedesktop.DBus.Properties",
        "Get", g_variant_new("(ss)", "org.gnome.Mutter.ScreenCast.Stream", "Parameters"),
        G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
    if (parameters != nullptr) {
      GVariant* value = nullptr;
      g_variant_get(parameters, "(v)", &value);
      gint32 a = 0, b = 0;
      if (g_variant_lookup(value, "position", "(ii)", &a, &b)) {
        g_variant_builder_add(&info, "{sv}", "position", g_variant_new("(ii)", a, b));
      }
      if (g_variant_lookup(value, "size", "(ii)", &a, &b)) {
        g_variant_builder_add(&info, "{sv}", "size", g_variant_new("(ii)", a, b));
      }
      g_variant_unref(value);
      g_variant_unref(parameters);
    }
    g_variant_builder_add(&info, "{sv}", "source_type", g_variant_new_uint32(1));
    g_variant_builder_add(&streams, "(ua{sv})", nodes[stream], &info);
  }
  GVariantBuilder results;
  g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&results, "{sv}", "streams", g_variant_builder_end(&streams));
  g_variant_builder_add(&results, "{sv}", "persist_mode", g_variant_new_uint32(2));
  g_variant_builder_add(&results, "{sv}", "restore_data",
                        g_variant_new("(suv)", kRestoreVendor, 1u,
                                      g_variant_new_boolean(cast.several)));
  reply(invocation, 0, &results);
}

gboolean stop_sharing(gpointer) {
  for (auto& [path, cast] : g_sessions) {
    if (cast.mutter_session.empty()) continue;
    GVariant* done = call_mutter(cast.mutter_session.c_str(), "org.gnome.Mutter.ScreenCast.Session",
                                 "Stop", nullptr, nullptr, nullptr);
    if (done != nullptr) g_variant_unref(done);
    cast.mutter_session.clear();
  }
  return G_SOURCE_CONTINUE;
}

void note_dialog() {
  const char* file = std::getenv("SLOTREC_STAND_IN_DIALOGS");
  if (file == nullptr) return;
  if (FILE* f = std::fopen(file, "a")) {
    std::fputs("dialog\n", f);
    std::fclose(f);
  }
}

gboolean answer_dialog(gpointer data) {
  auto* request = static_cast<StartRequest*>(data);
  const char* answer = std::getenv("SLOTREC_STAND_IN_ANSWER");
  auto it = g_sessions.find(request->session);
  if (it == g_sessions.end() || (answer != nullptr && std::strcmp(answer, "refuse") == 0)) {
    empty_reply(request->invocation, 1);
  } else {
    finish_start(request->invocation, it->second);
  }
  delete request;
  return G_SOURCE_REMOVE;
}

void screencast_call(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                     const gchar* method, GVariant* parameters,
                     GDBusMethodInvocation* invocation, gpointer) {
  const gchar* handle = nullptr;
  const gchar* session = nullptr;
  const gchar* app_id = nullptr;
  if (std::strcmp(method, "CreateSession") == 0) {
    GVariant* options = nullptr;
    g_variant_get(parameters, "(&o&o&s@a{sv})", &handle, &session, &app_id, &options);
    g_variant_unref(options);
    CastSession cast;
    cast.path = session;
    GError* error = nullptr;
    cast.registration = g_dbus_connection_register_object(
        g_bus, session, g_node->interfaces[1], &kSessionVTable, nullptr, nullptr, &error);
    g_sessions[session] = cast;
    empty_reply(invocation, 0);
    return;
  }
  if (std::strcmp(method, "SelectSources") == 0) {
    GVariant* options = nullptr;
    g_variant_get(parameters, "(&o&o&s@a{sv})", &handle, &session, &app_id, &options);
    auto it = g_sessions.find(session);
    if (it != g_sessions.end()) {
      gboolean several = FALSE;
      guint32 mode = 0;
      if (g_variant_lookup(options, "multiple", "b", &several)) it->second.several = several;
      if (g_variant_lookup(options, "cursor_mode", "u", &mode)) it->second.cursor_mode = mode;
      GVariant* restore = g_variant_lookup_value(options, "restore_data", G_VARIANT_TYPE("(suv)"));
      if (restore != nullptr) {
        const gchar* vendor = nullptr;
        guint32 version = 0;
        GVariant* data = nullptr;
        g_variant_get(restore, "(&suv)", &vendor, &version, &data);
        it->second.restored = std::strcmp(vendor, kRestoreVendor) == 0 &&
                              g_variant_is_of_type(data, G_VARIANT_TYPE_BOOLEAN) &&
                              g_variant_get_boolean(data) == it->second.several;
        g_variant_unref(data);
        g_variant_unref(restore);
      }
    }
    g_variant_unref(options);
    empty_reply(invocation, it != g_sessions.end() ? 0 : 2);
    return;
  }
  if (std::strcmp(method, "Start") == 0) {
    const gchar* parent = nullptr;
    GVariant* options = nullptr;
    g_variant_get(parameters, "(&o&o&s&s@a{sv})", &handle, &session, &app_id, &parent, &options);
    g_variant_unref(options);
    auto it = g_sessions.find(session);
    if (it == g_sessions.end()) {
      empty_reply(invocation, 2);
      return;
    }
    if (it->second.restored) {
      finish_start(invocation, it->second);
      return;
    }
    note_dialog();
    g_timeout_add(kDialogMs, answer_dialog, new StartRequest{invocation, session});
    return;
  }
  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                        "no method %s", method);
}

GVariant* screencast_property(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                              const gchar* name, GError**, gpointer) {
  if (std::strcmp(name, "AvailableSourceTypes") == 0) return g_variant_new_uint32(1);
  if (std::strcmp(name, "AvailableCursorModes") == 0) {
    const char* modes = std::getenv("SLOTREC_STAND_IN_CURSOR_MODES");
    return g_variant_new_uint32(modes != nullptr ? static_cast<guint32>(std::atoi(modes)) : 7u);
  }
  return g_variant_new_uint32(4);
}

const GDBusInterfaceVTable kScreenCastVTable = {screencast_call, screencast_property, nullptr, {}};

}  // namespace

int main() {
  GError* error = nullptr;
  g_bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (g_bus == nullptr) {
    std::fprintf(stderr, "portal_stand_in: %s\n", error->message);
    return 1;
  }
  g_node = g_dbus_node_info_new_for_xml(kIntrospection, &error);
  g_dbus_connection_register_object(g_bus, kObjectPath, g_node->interfaces[0], &kScreenCastVTable,
                                    nullptr, nullptr, &error);
  GVariant* owned = g_dbus_connection_call_sync(
      g_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", kBusName, 4u), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  if (owned == nullptr) {
    std::fprintf(stderr, "portal_stand_in: %s\n", error->message);
    return 1;
  }
  g_variant_unref(owned);
  g_unix_signal_add(SIGUSR1, stop_sharing, nullptr);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  return 0;
}
