#!/usr/bin/env bash
# A headless Wayland session for the tests: PipeWire, WirePlumber, mutter
# with virtual monitors and no GPU, the real xdg-desktop-portal with the
# tests' stand-in screen cast backend. Runs "$@" in it, then ends it all.
# Run it as an unprivileged user (mutter refuses root) under
# dbus-run-session, with XDG_RUNTIME_DIR and HOME private and writable.
#
#   SLOTREC_MONITORS    the virtual monitors, "1280x720" unless given
#   SLOTREC_STAND_IN    the stand-in backend's binary
#   SLOTREC_SESSION_LOG where the session's programs write what they say
set -uo pipefail
: "${SLOTREC_MONITORS:=1280x720}"
log=${SLOTREC_SESSION_LOG:-/dev/null}
here=$(cd "$(dirname "$0")" && pwd)

pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT

wait_for() {  # a file to appear, up to 10 s
  for _ in $(seq 100); do [ -e "$1" ] && return 0; sleep 0.1; done
  echo "wayland_session: $1 did not appear" >&2
  return 1
}
wait_for_name() {  # a bus name to be owned, up to 10 s
  for _ in $(seq 100); do
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true && return 0
    sleep 0.1
  done
  echo "wayland_session: nobody took $1" >&2
  return 1
}

unset DISPLAY WAYLAND_DISPLAY
export XDG_CURRENT_DESKTOP=slotrectest
export XDG_DESKTOP_PORTAL_DIR=$here/portals
export GSETTINGS_BACKEND=memory

pipewire >>"$log" 2>&1 &
pids+=($!)
wait_for "$XDG_RUNTIME_DIR/pipewire-0" || exit 1
wireplumber >>"$log" 2>&1 &
pids+=($!)
monitors=()
for m in $SLOTREC_MONITORS; do monitors+=(--virtual-monitor "$m"); done
mutter --headless --wayland --no-x11 "${monitors[@]}" >>"$log" 2>&1 &
pids+=($!)
wait_for "$XDG_RUNTIME_DIR/wayland-0" || exit 1
wait_for_name org.gnome.Mutter.ScreenCast || exit 1
"$SLOTREC_STAND_IN" >>"$log" 2>&1 &
pids+=($!)
wait_for_name org.freedesktop.impl.portal.desktop.slotrectest || exit 1
/usr/libexec/xdg-desktop-portal -r >>"$log" 2>&1 &
pids+=($!)
wait_for_name org.freedesktop.portal.Desktop || exit 1

export WAYLAND_DISPLAY=wayland-0
"$@"
