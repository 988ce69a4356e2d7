// The desktop portal's screen cast (org.freedesktop.portal.ScreenCast on
// the session bus), which GNOME, KDE and the wlroots desktops all offer: a
// session is created, the monitors to record are chosen (by the user in
// the desktop's dialog, or without one from a restore token kept from an
// earlier run), and the portal hands over a PipeWire connection with one
// stream per monitor. pipewire_screen.cpp reads the streams.
//
// Main thread, before recording starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace portal {

// How the portal is asked to treat the cursor (its own numbers).
enum CursorMode : std::uint32_t {
  kCursorHidden = 1,
  kCursorEmbedded = 2,    // painted into the frames; no position given
  kCursorMetadata = 4,    // given beside the frames: image and position
};

// One monitor's stream as the portal describes it. The position is in the
// compositor's logical coordinates; a portal that gives none (one stream)
// leaves it at (0, 0).
struct Stream {
  std::uint32_t node_id = 0;
  int x = 0;
  int y = 0;
  int width = 0;   // 0 when the portal does not say
  int height = 0;
};

struct Request {
  bool several_monitors = false;  // -totalcapture: let the user pick them all
  bool cursor_painted = true;     // what withmouse asks where metadata is not offered
  std::string restore_token;      // from an earlier run, or empty
};

struct Session {
  std::string handle;               // the session's object path
  std::uint32_t cursor_mode = 0;    // as granted
  std::vector<Stream> streams;
  int pipewire_fd = -1;             // owned by the session until taken
  std::string restore_token;        // for the next run; empty when none was given
  void* bus = nullptr;              // the GDBusConnection
};

// Opens a screen cast: true with `session` filled, or false with the reason
// (no portal, one too old, the dialog refused or closed, no stream).
// While the portal waits for the user it says so once on standard error.
bool open_screencast(const Request& request, Session* session, std::string* reason);

// Closes the portal's session and the PipeWire descriptor if still held.
// Safe on a session never opened, and twice.
void close_screencast(Session* session);

}  // namespace portal
