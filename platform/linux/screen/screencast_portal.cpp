// The screen cast portal over GDBus. Every portal method that needs an
// answer from the desktop returns a request object at once and answers
// later with that object's Response signal, so each call subscribes to the
// signal of the request path it is about to get (made from our unique name
// and a token of our own) before it is made, and then runs a private main
// context until the answer comes.
#include "platform/linux/screen/screencast_portal.h"

#include "platform/linux/kernel/kernel_internal.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/linux/kernel/kernel_internal.h"

namespace portal {
namespace {

constexpr char kBusName[] = "org.freedesktop.portal.Desktop";
constexpr char kObjectPath[] = "/org/freedesktop/portal/desktop";
constexpr char kScreenCast[] = "org.freedesktop.portal.ScreenCast";
constexpr unsigned kMonitorSources = 1;
constexpr unsigned kPersistUntilRevoked = 2;
// Below this the portal has no cursor modes; restore tokens need 4.
constexpr unsigned kOldestVersion = 2;
constexpr unsigned kRestoreVersion = 4;
// Answers that need no user: the desktop is broken when they take longer.
constexpr int kAnswerMs = 30000;
// The first run's dialog: said to be waiting after this long.
constexpr int kDialogNoticeMs = 1000;
// How often a wait looks whether the user asked the program to stop.
constexpr int kStopCheckMs = 100;

struct Answer {
  bool arrived = false;
  std::uint32_t code = 2;
  GVariant* results = nullptr;  // a{sv}, owned
};

void on_response(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                 GVariant* parameters, gpointer data) {
  auto* answer = static_cast<Answer*>(data);
  if (answer->arrived) return;
  answer->arrived = true;
  g_variant_get(parameters, "(u@a{sv})", &answer->code, &answer->results);
}

gboolean on_timeout(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

// The portal's connection to us and our part of its request paths.
struct Caller {
  GDBusConnection* bus = nullptr;
  GMainContext* context = nullptr;
  std::string sender;  // our unique name, ':' dropped and '.' as '_'
  unsigned serial = 0;
};

std::string next_token(Caller* caller) {
  return "slotrec" + std::to_string(getpid()) + "_" + std::to_string(++caller->serial);
}

std::string error_text(GError* error) {
  std::string text = error != nullptr ? error->message : "unknown error";
  if (error != nullptr) g_error_free(error);
  return text;
}

// Calls `method` with `parameters` (floating; its options must start with
// the handle_token given) and waits for the request's Response. With
// `dialog` it may wait for the user as long as they take, saying once on
// standard error that it does; otherwise for kAnswerMs.
bool call_and_wait(Caller* caller, const char* method, GVariant* parameters,
                   const std::string& token, bool dialog, Answer* answer, std::string* reason) {
  const std::string path = std::string(kObjectPath) + "/request/" + caller->sender + "/" + token;
  const guint subscription = g_dbus_connection_signal_subscribe(
      caller->bus, kBusName, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
      G_DBUS_SIGNAL_FLAGS_NO_MATCH_RULE, on_response, answer, nullptr);
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(caller->bus, kBusName, kObjectPath, kScreenCast,
                                                method, parameters, G_VARIANT_TYPE("(o)"),
                                                G_DBUS_CALL_FLAGS_NONE, kAnswerMs, nullptr, &error);
  bool ok = reply != nullptr;
  if (!ok) *reason = std::string("the desktop portal refused ") + method + ": " + error_text(error);
  if (reply != nullptr) g_variant_unref(reply);

  bool noticed = false, notice_due = false, timed_out = false, stop_check_due = false;
  GSource* notice = nullptr;
  GSource* limit = nullptr;
  // A Ctrl-C (or any stop signal) ends the wait: the dialog may never be
  // answered, and the program's own handler only asks the run to stop.
  const unsigned stops_before = slotrec_stop_signals_taken();
  GSource* stop_check = g_timeout_source_new(kStopCheckMs);
  g_source_set_callback(stop_check, [](gpointer due) {
    *static_cast<bool*>(due) = true;
    return G_SOURCE_CONTINUE;
  }, &stop_check_due, nullptr);
  g_source_attach(stop_check, caller->context);
  bool stopped = false;
  if (ok && dialog) {
    notice = g_timeout_source_new(kDialogNoticeMs);
    g_source_set_callback(notice, on_timeout, &notice_due, nullptr);
    g_source_attach(notice, caller->context);
  } else if (ok) {
    limit = g_timeout_source_new(kAnswerMs);
    g_source_set_callback(limit, on_timeout, &timed_out, nullptr);
    g_source_attach(limit, caller->context);
  }
  while (ok && !answer->arrived && !timed_out && !stopped) {
    g_main_context_iteration(caller->context, TRUE);
    stopped = stop_check_due && slotrec_stop_signals_taken() != stops_before;
    stop_check_due = false;
    if (notice_due && !noticed) {
      noticed = true;
      std::fprintf(stderr,
                   "slotrec: waiting for a screen to be chosen in the desktop's sharing dialog\n");
    }
  }
  for (GSource* source : {notice, limit, stop_check}) {
    if (source == nullptr) continue;
    g_source_destroy(source);
    g_source_unref(source);
  }
  g_dbus_connection_signal_unsubscribe(caller->bus, subscription);
  if (ok && stopped) {
    *reason = std::string("stopped while waiting for the desktop portal's answer to ") + method;
    return false;
  }
  if (ok && timed_out) {
    *reason = std::string("the desktop portal did not answer ") + method;
    return false;
  }
  if (ok && answer->code != 0) {
    *reason = answer->code == 1 ? "the screen cast was refused or its dialog closed"
                                : std::string("the desktop portal could not ") + method;
    return false;
  }
  return ok;
}

// The portal's ScreenCast property `name` (a uint32), or 0 without one.
std::uint32_t read_property(Caller* caller, const char* name, std::string* error_out) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      caller->bus, kBusName, kObjectPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kScreenCast, name), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
      kAnswerMs, nullptr, &error);
  if (reply == nullptr) {
    if (error_out != nullptr) *error_out = error_text(error);
    else if (error != nullptr) g_error_free(error);
    return 0;
  }
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  std::uint32_t result = g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(value) : 0;
  g_variant_unref(value);
  g_variant_unref(reply);
  return result;
}

// Picks the cursor mode: metadata where offered (slotrec paints the cursor
// itself, and knows where it is), else embedded or hidden as asked.
std::uint32_t cursor_mode_for(std::uint32_t offered, bool painted) {
  if ((offered & kCursorMetadata) != 0) return kCursorMetadata;
  if (painted && (offered & kCursorEmbedded) != 0) return kCursorEmbedded;
  if ((offered & kCursorHidden) != 0) return kCursorHidden;
  return (offered & kCursorEmbedded) != 0 ? std::uint32_t{kCursorEmbedded} : 0u;
}

bool read_streams(GVariant* results, Session* session, std::string* reason) {
  GVariant* streams = g_variant_lookup_value(results, "streams", G_VARIANT_TYPE("a(ua{sv})"));
  if (streams == nullptr) {
    *reason = "the desktop portal started a screen cast without streams";
    return false;
  }
  GVariantIter iter;
  g_variant_iter_init(&iter, streams);
  guint32 node = 0;
  GVariant* properties = nullptr;
  while (g_variant_iter_next(&iter, "(u@a{sv})", &node, &properties)) {
    Stream stream;
    stream.node_id = node;
    gint32 a = 0, b = 0;
    if (g_variant_lookup(properties, "position", "(ii)", &a, &b)) {
      stream.x = a;
      stream.y = b;
    }
    if (g_variant_lookup(properties, "size", "(ii)", &a, &b)) {
      stream.width = a;
      stream.height = b;
    }
    session->streams.push_back(stream);
    g_variant_unref(properties);
  }
  g_variant_unref(streams);
  const gchar* token = nullptr;
  if (g_variant_lookup(results, "restore_token", "&s", &token)) session->restore_token = token;
  if (session->streams.empty()) {
    *reason = "no monitor was chosen for the screen cast";
    return false;
  }
  return true;
}

bool open_remote(Caller* caller, Session* session, std::string* reason) {
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  GUnixFDList* fds = nullptr;
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      caller->bus, kBusName, kObjectPath, kScreenCast, "OpenPipeWireRemote",
      g_variant_new("(oa{sv})", session->handle.c_str(), &options), G_VARIANT_TYPE("(h)"),
      G_DBUS_CALL_FLAGS_NONE, kAnswerMs, nullptr, &fds, nullptr, &error);
  if (reply == nullptr) {
    *reason = "the desktop portal gave no PipeWire connection: " + error_text(error);
    return false;
  }
  gint32 index = -1;
  g_variant_get(reply, "(h)", &index);
  g_variant_unref(reply);
  session->pipewire_fd = fds != nullptr ? g_unix_fd_list_get(fds, index, &error) : -1;
  if (fds != nullptr) g_object_unref(fds);
  if (session->pipewire_fd < 0) {
    *reason = "the desktop portal gave no PipeWire connection: " + error_text(error);
    return false;
  }
  return true;
}

bool run_session(Caller* caller, const Request& request, Session* session, std::string* reason) {
  std::string error;
  const std::uint32_t version = read_property(caller, "version", &error);
  if (version == 0) {
    *reason = "no desktop portal offers a screen cast on the session bus (" + error + ")";
    return false;
  }
  if (version < kOldestVersion) {
    *reason = "the desktop portal's screen cast is version " + std::to_string(version) +
              ", older than the version " + std::to_string(kOldestVersion) + " slotrec needs";
    return false;
  }
  const std::uint32_t cursor_modes = read_property(caller, "AvailableCursorModes", nullptr);
  const std::uint32_t source_types = read_property(caller, "AvailableSourceTypes", nullptr);
  if ((source_types & kMonitorSources) == 0) {
    *reason = "the desktop portal does not cast monitors";
    return false;
  }

  Answer created;
  std::string token = next_token(caller);
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_variant_builder_add(&options, "{sv}", "session_handle_token",
                        g_variant_new_string(next_token(caller).c_str()));
  bool ok = call_and_wait(caller, "CreateSession", g_variant_new("(a{sv})", &options), token,
                          false, &created, reason);
  const gchar* handle = nullptr;
  if (ok && !g_variant_lookup(created.results, "session_handle", "&s", &handle)) {
    *reason = "the desktop portal created a screen cast without a session";
    ok = false;
  }
  if (ok) session->handle = handle;
  if (created.results != nullptr) g_variant_unref(created.results);
  if (!ok) return false;

  Answer selected;
  token = next_token(caller);
  session->cursor_mode = cursor_mode_for(cursor_modes, request.cursor_painted);
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kMonitorSources));
  g_variant_builder_add(&options, "{sv}", "multiple",
                        g_variant_new_boolean(request.several_monitors));
  if (session->cursor_mode != 0) {
    g_variant_builder_add(&options, "{sv}", "cursor_mode",
                          g_variant_new_uint32(session->cursor_mode));
  }
  if (version >= kRestoreVersion) {
    g_variant_builder_add(&options, "{sv}", "persist_mode",
                          g_variant_new_uint32(kPersistUntilRevoked));
    if (!request.restore_token.empty()) {
      g_variant_builder_add(&options, "{sv}", "restore_token",
                            g_variant_new_string(request.restore_token.c_str()));
    }
  }
  ok = call_and_wait(caller, "SelectSources",
                     g_variant_new("(oa{sv})", session->handle.c_str(), &options), token, false,
                     &selected, reason);
  if (selected.results != nullptr) g_variant_unref(selected.results);
  if (!ok) return false;

  Answer started;
  token = next_token(caller);
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  ok = call_and_wait(caller, "Start",
                     g_variant_new("(osa{sv})", session->handle.c_str(), "", &options), token,
                     true, &started, reason);
  ok = ok && read_streams(started.results, session, reason);
  if (started.results != nullptr) g_variant_unref(started.results);
  return ok && open_remote(caller, session, reason);
}

}  // namespace

bool open_screencast(const Request& request, Session* session, std::string* reason) {
  *session = Session{};
  GError* error = nullptr;
  // A connection of our own: its signals are dispatched in the context
  // pushed below, which nothing else runs.
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  GDBusConnection* bus = nullptr;
  if (address != nullptr) {
    bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
  }
  if (bus == nullptr) {
    *reason = "no session bus to reach the desktop portal: " + error_text(error);
    return false;
  }
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  session->bus = bus;

  Caller caller;
  caller.bus = bus;
  caller.context = g_main_context_new();
  g_main_context_push_thread_default(caller.context);
  std::string sender = g_dbus_connection_get_unique_name(bus) + 1;  // without the ':'
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  caller.sender = sender;
  const bool ok = run_session(&caller, request, session, reason);
  g_main_context_pop_thread_default(caller.context);
  // Whatever the signals left for the context is of no more use.
  while (g_main_context_iteration(caller.context, FALSE)) {
  }
  g_main_context_unref(caller.context);
  if (!ok) close_screencast(session);
  return ok;
}

void close_screencast(Session* session) {
  auto* bus = static_cast<GDBusConnection*>(session->bus);
  if (bus != nullptr && !session->handle.empty()) {
    GVariant* reply = g_dbus_connection_call_sync(bus, kBusName, session->handle.c_str(),
                                                  "org.freedesktop.portal.Session", "Close",
                                                  nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                  kAnswerMs, nullptr, nullptr);
    if (reply != nullptr) g_variant_unref(reply);
  }
  if (bus != nullptr) {
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
  }
  if (session->pipewire_fd >= 0) close(session->pipewire_fd);
  session->pipewire_fd = -1;
  session->handle.clear();
  session->bus = nullptr;
}

}  // namespace portal
