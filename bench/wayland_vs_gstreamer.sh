#!/usr/bin/env bash
# Records the same headless Wayland screen (mutter, 1280x720, no GPU) with
# slotrec, through the desktop portal, and with a GStreamer pipeline reading
# mutter's screen cast directly (pipewiresrc ! videorate ! videoconvert !
# x264enc ! avimux) at the same x264 settings: lossless, ultrafast, I420, a
# key frame every 100 frames. Two scenes: an idle desktop, and full motion
# (a fullscreen window showing a new picture 30 times a second). For each:
# frames recorded, achieved rate, CPU per frame of the recorder alone and
# with the compositor's share (mutter copies every picture into PipeWire's
# buffers), peak memory; then the ratios against the goals (idle at most
# 0.5x and motion at most 1.0x the pipeline's CPU per frame, peak memory at
# most the pipeline's). One measurement, one process at a time.
#
#   bench/wayland_vs_gstreamer.sh [build-dir]   (as root; BENCH_SECONDS=20, BENCH_FPS=30)
#
# The session runs as nobody (mutter refuses root), like tests/wayland.
set -euo pipefail

build=$(realpath "${1:-build}")
seconds=${BENCH_SECONDS:-20}
fps=${BENCH_FPS:-30}
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "wayland_vs_gstreamer: run as root (the session runs as nobody)" >&2
  exit 2
fi
for tool in mutter pipewire wireplumber gst-launch-1.0 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "wayland_vs_gstreamer: $tool missing (scripts/install-deps)" >&2; exit 2; }
done

scratch=$(mktemp -d /tmp/slotrec-wlbench-XXXXXX)
trap '[ -n "${BENCH_KEEP:-}" ] || rm -rf "$scratch"' EXIT
mkdir -p "$scratch"/{bin/portals,rt,home,work}
cp "$build/slotrec" "$build/tests/wayland/portal_stand_in" "$build/tests/wayland/wayland_driver" \
  "$here/tests/wayland/wayland_session.sh" "$scratch/bin/"
cp "$here/tests/wayland/portals/slotrectest.portal" "$scratch/bin/portals/"
chown -R 65534:65534 "$scratch"
chmod 755 "$scratch"
chmod 700 "$scratch/rt"

# Runs inside the session, as nobody. Leaves, per scene and recorder,
# SCENE-WHO.result: frames, user+system seconds, peak KiB, mutter's seconds.
cat >"$scratch/bin/scenes.sh" <<'EOF'
set -u
cd "$W"
ticks=$(getconf CLK_TCK)
cpu_of() { awk -v t="$ticks" '{print ($14 + $15) / t}' "/proc/$1/stat"; }
mutter_pid=$(pgrep -x mutter | head -n1)
# One token first, so the measured runs start without the stand-in's dialog.
mkdir -p warm && (cd warm && timeout -s INT 4 "$B/slotrec" fps=1 >/dev/null 2>&1)
for scene in idle motion; do
  if [ "$scene" = motion ]; then
    "$B/wayland_driver" motion $((2 * SECONDS_EACH + 30)) & scene_pid=$!
    sleep 2
  fi
  # slotrec
  mkdir -p "$scene-slotrec"
  m0=$(cpu_of "$mutter_pid")
  (cd "$scene-slotrec" && exec /usr/bin/time -f "%U %S %M" -o ../"$scene-slotrec.time" \
     "$B/slotrec" fps="$FPS" >/dev/null 2>"../$scene-slotrec.err") & timer=$!
  sleep 1
  rec=$(pgrep -P "$timer" -x slotrec)
  sleep "$SECONDS_EACH"
  [ -n "${BENCH_SMAPS:-}" ] && cat /proc/$rec/smaps > "$scene-slotrec.smaps"
  m1=$(cpu_of "$mutter_pid")
  kill -INT "$rec"; wait "$timer"
  frames=$(cat "$scene"-slotrec/*/*.meta | grep -c '<frame ' || true)
  echo "$frames $(cat "$scene-slotrec.time") $(echo "$m1 - $m0" | bc -l)" >"$scene-slotrec.result"
  # GStreamer on mutter's own cast of the same monitor
  "$B/wayland_driver" cast $((SECONDS_EACH + 20)) >"$scene.node" & cast=$!
  for _ in $(seq 100); do [ -s "$scene.node" ] && break; sleep 0.1; done
  m0=$(cpu_of "$mutter_pid")
  /usr/bin/time -f "%U %S %M" -o "$scene-gst.time" gst-launch-1.0 -q -e \
    pipewiresrc path="$(cat "$scene.node")" keepalive-time=$((1000 / FPS)) do-timestamp=true \
    ! videorate ! "video/x-raw,framerate=$FPS/1" ! videoconvert ! video/x-raw,format=I420 \
    ! x264enc speed-preset=ultrafast pass=quant quantizer=0 key-int-max=100 \
    ! avimux ! filesink location="$scene-gst.avi" >/dev/null 2>"$scene-gst.err" & timer=$!
  sleep 1
  gst=$(pgrep -P "$timer" -f gst-launch)
  sleep "$SECONDS_EACH"
  [ -n "${BENCH_SMAPS:-}" ] && cat /proc/$gst/smaps > "$scene-gst.smaps"
  m1=$(cpu_of "$mutter_pid")
  kill -INT "$gst"; wait "$timer"
  kill "$cast" 2>/dev/null; wait "$cast" 2>/dev/null
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
             -of csv=p=0 "$scene-gst.avi" 2>/dev/null || echo 0)
  echo "$frames $(cat "$scene-gst.time") $(echo "$m1 - $m0" | bc -l)" >"$scene-gst.result"
  if [ "$scene" = motion ]; then kill "$scene_pid" 2>/dev/null; wait "$scene_pid" 2>/dev/null; fi
done
exit 0
EOF

echo "wayland_vs_gstreamer: two scenes of ${seconds} s at ${fps} fps on headless mutter 1280x720 ..." >&2
env -u XDG_CONFIG_HOME HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/rt" \
  BENCH_SMAPS="${BENCH_SMAPS:-}" W="$scratch/work" B="$scratch/bin" FPS="$fps" SECONDS_EACH="$seconds" \
  SLOTREC_STAND_IN="$scratch/bin/portal_stand_in" SLOTREC_SESSION_LOG="$scratch/session.log" \
  setpriv --reuid=65534 --regid=65534 --clear-groups \
  dbus-run-session -- "$scratch/bin/wayland_session.sh" bash "$scratch/bin/scenes.sh" 2>/dev/null

# frames user sys peak_kib mutter_s -> per-frame figures
row() {
  awk -v scene="$1" -v who="$2" -v secs="$seconds" '{
    frames = $1; cpu = $2 + $3; peak = $4 / 1024; comp = $5;
    if (frames > 0) { own = 1000 * cpu / frames; all = 1000 * (cpu + comp) / frames } else { own = 0; all = 0 }
    printf "| %s | %s | %d | %.1f | %.2f | %.2f | %.0f |\n", scene, who, frames, frames / secs, own, all, peak
  }' "$scratch/work/$1-$2.result"
}
echo "| scene | recorder | frames | fps | CPU ms/frame | with mutter | peak MiB |"
echo "| --- | --- | --- | --- | --- | --- | --- |"
for scene in idle motion; do
  row "$scene" slotrec
  row "$scene" gst
done
echo
for scene in idle motion; do
  goal=$([ "$scene" = idle ] && echo 0.5 || echo 1.0)
  paste "$scratch/work/$scene-slotrec.result" "$scratch/work/$scene-gst.result" | awk -v scene="$scene" -v goal="$goal" '{
    s = ($1 > 0) ? ($2 + $3) / $1 : 0; g = ($6 > 0) ? ($7 + $8) / $6 : 0;
    ratio = (g > 0) ? s / g : 0; mem = ($9 > 0) ? $4 / $9 : 0;
    printf "%s: CPU per frame %.2fx the pipeline'\''s (goal <= %s: %s), peak memory %.2fx (goal <= 1: %s)\n",
      scene, ratio, goal, (ratio <= goal) ? "met" : "missed", mem, (mem <= 1) ? "met" : "missed"
  }'
done
