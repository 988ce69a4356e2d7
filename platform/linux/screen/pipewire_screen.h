// The Wayland capture source: the desktop portal's screen cast
// (screencast_portal.h) read as PipeWire streams, one per monitor, in
// shared memory. The desktop is the monitors at the positions the portal
// gives, the first of them the primary (the portal knows no primary: it is
// the monitor the user chose first). A stream sends a picture only when
// something changed, with the parts that did (video damage); the last
// picture of every stream is kept, so an idle desktop costs no reading at
// all. The cursor comes beside the pictures (cursor metadata) where the
// desktop offers it; otherwise the desktop paints it in, or leaves it out
// when no cursor is wanted, and says nothing of where it is.
//
// The PipeWire thread writes the kept pictures, their changed rows, their
// sizes and the cursor under one named mutex (frame_lock); the main thread
// reads them under it. A stream that ends or fails, and PipeWire going
// away, lose the source (capture_source.h).
#pragma once

#include <string>

#include "platform/linux/screen/capture_source.h"

namespace pipewire_screen {

// Starts the screen cast as capture_wishes() asks (one monitor, or several
// for the whole desktop) and waits for every stream's first picture. True
// when they came; false with the reason otherwise, leaving nothing open.
// A restore token the portal gives is kept in the settings file for the
// next run (Software\slotrec). Main thread, once.
bool open_source(std::string* reason);

extern const screen::CaptureSource kPipeWireSource;

}  // namespace pipewire_screen
