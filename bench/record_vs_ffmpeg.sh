#!/usr/bin/env bash
# Records the same 1920x1080 Xvfb screens with slotrec and with ffmpeg's
# x11grab + libx264 at the same encoder settings (lossless, ultrafast, I420,
# a key frame every 100 frames, no B-frames, 2-second segments), one
# process at a time, and prints side by side:
#
#   - two scenes: "static", an idle desktop (a clock ticking every second,
#     eyes, a logo), and "motion", a new desktop-like picture over the whole
#     screen 30 times a second (motion/motion_screen.c);
#   - for each scene at 20 and 30 fps: CPU per recorded frame, the X
#     server's share over its idle baseline included, the rate achieved
#     (ffmpeg with -vsync passthrough, so its count is what it captured),
#     slotrec's frames lost at segment boundaries (a gap of more than 1.5
#     frame intervals between two segments), and the peak resident memory
#     of each process;
#   - the highest rate each can record a scene at, both at idle priority
#     (slotrec puts itself there; ffmpeg runs under nice 19 and SCHED_IDLE);
#   - with --long, the resident memory after 1 and after 10 minutes of a
#     30 fps recording of the motion scene (about 22 minutes more);
#   - whether every slotrec segment decodes to as many frames as its .meta
#     lists;
#   - the ratios slotrec/ffmpeg and whether each goal is met.
#
#   bench/record_vs_ffmpeg.sh [--long] path/to/slotrec [seconds]
#
# seconds is the length of each recording (30 by default, BENCH_SECONDS
# also sets it). Every figure is one measurement: run it on a quiet machine
# and compare runs of the same machine only.
set -euo pipefail

long=0
if [ "${1:-}" = --long ]; then
  long=1
  shift
fi
binary=$(realpath "${1:?path to slotrec}")
seconds=${2:-${BENCH_SECONDS:-30}}
max_seconds=$(( seconds < 20 ? seconds : 20 ))
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/slotrec-bench.XXXXXX)
helpers=()
cleanup() {
  for pid in "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The motion painter: built beside slotrec by CMake, or here when it is not.
painter=$(dirname "$binary")/bench/motion/motion_screen
if [ ! -x "$painter" ]; then
  painter=$work/motion_screen
  cc -O2 -o "$painter" "$here/motion/motion_screen.c" -lX11
fi

clk_tck=$(getconf CLK_TCK)
# CPU seconds (user + system) a process has used so far.
cpu_seconds() { awk -v t="$clk_tck" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"; }
status_kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

xvfb=
scene_helpers=()
# start_scene <static|motion>: a fresh Xvfb showing the scene; sets DISPLAY
# and xvfb.
start_scene() {
  stop_scene
  Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp >"$work/display" 2>/dev/null &
  xvfb=$!
  helpers+=("$xvfb")
  scene_helpers=("$xvfb")
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$work/display")"
  if [ "$1" = static ]; then
    xclock -update 1 -geometry 300x300+1000+100 >/dev/null 2>&1 &
    scene_helpers+=($!)
    xeyes -geometry 300x200+100+100 >/dev/null 2>&1 &
    scene_helpers+=($!)
    xlogo -geometry 200x200+500+500 >/dev/null 2>&1 &
    scene_helpers+=($!)
    sleep 2
  else
    "$painter" 30 60 >"$work/painter.log" 2>&1 &
    scene_helpers+=($!)
    for _ in $(seq 600); do grep -q ready "$work/painter.log" 2>/dev/null && break; sleep 0.1; done
    sleep 1
  fi
  helpers+=("${scene_helpers[@]}")
}
stop_scene() {
  for pid in "${scene_helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${scene_helpers[@]}"; do wait "$pid" 2>/dev/null || true; done
  scene_helpers=()
  rm -f "$work/display"
}

# The X server's CPU per second while the scene runs and nobody records.
idle_rate() {
  local before
  before=$(cpu_seconds "$xvfb")
  sleep "$seconds"
  awk -v a="$before" -v b="$(cpu_seconds "$xvfb")" -v s="$seconds" 'BEGIN { printf "%.5f", (b - a) / s }'
}

# record <name> <length> <command...>: runs a recorder for <length> seconds
# in its own directory and leaves "cpu xvfb_cpu peak_kib wall" in
# $work/<name>.stats (the X server's CPU over its idle rate).
record() {
  local name=$1 length=$2
  shift 2
  rm -rf "${work:?}/$name"
  mkdir -p "$work/$name"
  local x_before start pid cpu peak x_after wall
  x_before=$(cpu_seconds "$xvfb")
  start=$(date +%s.%N)
  (cd "$work/$name" && exec env XDG_CONFIG_HOME="$work/config" "$@") >"$work/$name.log" 2>&1 </dev/null &
  pid=$!
  sleep "$length"
  cpu=$(cpu_seconds "$pid")
  peak=$(status_kib "$pid" VmHWM)
  x_after=$(cpu_seconds "$xvfb")
  wall=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.3f", e - s }')
  kill -INT "$pid"
  wait "$pid" || true
  echo "$cpu $(awk -v a="$x_before" -v b="$x_after" -v r="$x_idle" -v w="$wall" \
    'BEGIN { d = b - a - r * w; if (d < 0) d = 0; printf "%.3f", d }') $peak $wall" >"$work/$name.stats"
}

decoded_frames() {
  local n
  n=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of default=nw=1:nk=1 "$1" 2>/dev/null || echo 0)
  [ "$n" = "N/A" ] && n=0
  echo "${n:-0}"
}

# slotrec's frames (its .meta lines), the segments whose decoded frames
# differ from their .meta lines, and the frames lost at segment boundaries:
# "frames mismatched lost".
slotrec_frames() {
  local total=0 bad=0 meta avi lines decoded lost fps=$2
  for meta in "$work/$1"/*/*.meta; do
    [ -e "$meta" ] || continue
    avi=${meta%.meta}.avi
    lines=$(grep -c '<frame ' "$meta" || true)
    decoded=$(decoded_frames "$avi")
    [ "$lines" = "$decoded" ] || bad=$((bad + 1))
    total=$((total + lines))
  done
  lost=$(for meta in "$work/$1"/*/*.meta; do
    [ -e "$meta" ] || continue
    echo segment
    grep -o 'time="-\?[0-9]*"' "$meta" | tr -dc '0-9\n-' | sed '/^$/d'
  done | awk -v fps="$fps" '
    function wrap(t) { return t < 0 ? t + 4294967296 : t }
    /segment/ { boundary = 1; next }
    {
      t = wrap($1); n++
      if (boundary && n > 1) {
        gap = (t - last) * fps / 1000
        if (gap > 1.5) lost += int(gap + 0.5) - 1
      }
      boundary = 0; last = t
    }
    END { print lost + 0 }')
  echo "$total $bad $lost"
}

ffmpeg_frames() {
  local total=0 f
  for f in "$work/$1"/*.avi; do
    [ -e "$f" ] || continue
    total=$((total + $(decoded_frames "$f")))
  done
  echo "$total"
}

ffmpeg_command() {
  echo ffmpeg -loglevel error -f x11grab -draw_mouse 1 -framerate "$1" -video_size 1920x1080 \
    -i "$DISPLAY" -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p -g 100 -bf 0 \
    -x264-params rc-lookahead=0:sync-lookahead=0:sliced-threads=1 -vsync passthrough \
    -f segment -segment_time 2 -reset_timestamps 1 seg%03d.avi
}

declare -A per_frame own_ms x_ms rate peak mismatched lost_at_shifts
# measure <tool> <scene> <fps> [idle]: one recording; fills the tables.
measure() {
  local tool=$1 scene=$2 fps=$3 key="$1 $2 $3" length=$seconds frames bad=0 lost=0
  local -a command
  if [ "$tool" = slotrec ]; then
    command=("$binary" "fps=$fps" slotsecs=2)
  else
    read -r -a command <<<"$(ffmpeg_command "$fps")"
    [ "${4:-}" = idle ] && command=(nice -n 19 chrt --idle 0 "${command[@]}")
  fi
  [ "${4:-}" = idle ] && { key="$key max"; length=$max_seconds; }
  record run "$length" "${command[@]}"
  read -r cpu xcpu kib wall <"$work/run.stats"
  if [ "$tool" = slotrec ]; then
    read -r frames bad lost <<<"$(slotrec_frames run "$fps")"
  else
    frames=$(ffmpeg_frames run)
  fi
  [ "$frames" -gt 0 ] || frames=1
  own_ms[$key]=$(awk -v c="$cpu" -v n="$frames" 'BEGIN { printf "%.2f", 1000 * c / n }')
  x_ms[$key]=$(awk -v c="$xcpu" -v n="$frames" 'BEGIN { printf "%.2f", 1000 * c / n }')
  per_frame[$key]=$(awk -v a="${own_ms[$key]}" -v b="${x_ms[$key]}" 'BEGIN { printf "%.2f", a + b }')
  rate[$key]=$(awk -v n="$frames" -v w="$wall" 'BEGIN { printf "%.1f", n / w }')
  peak[$key]=$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')
  mismatched[$key]=$bad
  lost_at_shifts[$key]=$lost
}

# rss_over_time <tool>: a 30 fps recording of the current scene for ten
# minutes; "peak and current RSS (MiB) after 1 minute, after 10 minutes".
rss_over_time() {
  local -a command
  if [ "$1" = slotrec ]; then
    command=("$binary" fps=30 slotsecs=2)
  else
    read -r -a command <<<"$(ffmpeg_command 30)"
  fi
  rm -rf "${work:?}/long"
  mkdir -p "$work/long"
  (cd "$work/long" && exec env XDG_CONFIG_HOME="$work/config" "${command[@]}") >"$work/long.log" 2>&1 </dev/null &
  local pid=$! one ten
  sleep 60
  one="$(status_kib "$pid" VmHWM) $(status_kib "$pid" VmRSS)"
  sleep 540
  ten="$(status_kib "$pid" VmHWM) $(status_kib "$pid" VmRSS)"
  kill -INT "$pid"
  wait "$pid" || true
  echo "$one $ten" | awk '{ printf "%.1f %.1f %.1f %.1f", $1 / 1024, $2 / 1024, $3 / 1024, $4 / 1024 }'
  rm -rf "${work:?}/long"
}

for scene in static motion; do
  start_scene "$scene"
  x_idle=$(idle_rate)
  for fps in 20 30; do
    measure slotrec "$scene" "$fps"
    measure ffmpeg "$scene" "$fps"
  done
  measure slotrec "$scene" 1000 idle
  measure ffmpeg "$scene" 1000 idle
  if [ "$scene" = motion ] && [ "$long" = 1 ]; then
    long_slotrec=$(rss_over_time slotrec)
    long_ffmpeg=$(rss_over_time ffmpeg)
  fi
done
stop_scene

echo "Recordings of ${seconds} s (highest rate: ${max_seconds} s), 1920x1080, lossless ultrafast I420."
echo "CPU per frame in ms: the recorder's own + the X server's share over its idle baseline."
echo "rate: frames recorded per second (s: slotrec, f: ffmpeg); lost: slotrec's frames lost at segment boundaries."
echo
printf '| %-6s | %3s | %-21s | %-21s | %5s | %-13s | %4s | %-15s | %5s |\n' scene fps "slotrec ms (own + X)" \
  "ffmpeg ms (own + X)" ratio "rate s / f" lost "peak MiB s / f" ratio
printf '| %-6s | %3s | %-21s | %-21s | %5s | %-13s | %4s | %-15s | %5s |\n' ------ --- --------------------- \
  --------------------- ----- ------------- ---- --------------- -----
for scene in static motion; do
  for fps in 20 30; do
    s="slotrec $scene $fps" f="ffmpeg $scene $fps"
    printf '| %-6s | %3s | %-21s | %-21s | %5s | %-13s | %4s | %-15s | %5s |\n' "$scene" "$fps" \
      "${per_frame[$s]} (${own_ms[$s]} + ${x_ms[$s]})" "${per_frame[$f]} (${own_ms[$f]} + ${x_ms[$f]})" \
      "$(awk -v a="${per_frame[$s]}" -v b="${per_frame[$f]}" 'BEGIN { printf "%.2f", a / b }')" \
      "${rate[$s]} / ${rate[$f]}" "${lost_at_shifts[$s]}" "${peak[$s]} / ${peak[$f]}" \
      "$(awk -v a="${peak[$s]}" -v b="${peak[$f]}" 'BEGIN { printf "%.2f", a / b }')"
  done
done
echo
echo "Highest rate at idle priority (frames per second, asked for 1000):"
for scene in static motion; do
  echo "  $scene: slotrec ${rate[slotrec $scene 1000 max]}, ffmpeg ${rate[ffmpeg $scene 1000 max]}"
done
if [ "$long" = 1 ]; then
  echo
  echo "Resident memory of a 30 fps motion recording (MiB; peak / current):"
  read -r sp1 sc1 sp10 sc10 <<<"$long_slotrec"
  read -r fp1 fc1 fp10 fc10 <<<"$long_ffmpeg"
  echo "  slotrec: after 1 minute $sp1 / $sc1, after 10 minutes $sp10 / $sc10"
  echo "  ffmpeg:  after 1 minute $fp1 / $fc1, after 10 minutes $fp10 / $fc10"
fi
bad=0
for key in "${!mismatched[@]}"; do bad=$((bad + mismatched[$key])); done
echo
echo "slotrec segments whose decoded frames differ from their .meta lines: $bad"

goal() {  # goal <text> <met: 1 or 0>
  printf '  %-58s %s\n' "$1" "$([ "$2" = 1 ] && echo met || echo "NOT met")"
}
worst_ratio() {  # worst_ratio <scene>: the larger CPU ratio of 20 and 30 fps
  awk -v a="${per_frame[slotrec $1 20]}" -v b="${per_frame[ffmpeg $1 20]}" \
    -v c="${per_frame[slotrec $1 30]}" -v d="${per_frame[ffmpeg $1 30]}" \
    'BEGIN { x = a / b; y = c / d; printf "%.2f", ((x > y) ? x : y) }'
}
at_most() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? 1 : 0 }'; }
echo
echo "Goals:"
r=$(worst_ratio static)
goal "static desktop CPU per frame <= 0.5x ffmpeg's (worst $r)" "$(at_most "$r" 0.5)"
r=$(worst_ratio motion)
goal "full motion CPU per frame <= 0.8x ffmpeg's (worst $r)" "$(at_most "$r" 0.8)"
worst_peak=0
for scene in static motion; do
  for fps in 20 30; do
    worst_peak=$(awk -v w="$worst_peak" -v a="${peak[slotrec $scene $fps]}" -v b="${peak[ffmpeg $scene $fps]}" \
      'BEGIN { r = a / b; printf "%.2f", ((r > w) ? r : w) }')
  done
done
goal "peak RSS <= 0.75x ffmpeg's (worst $worst_peak)" "$(at_most "$worst_peak" 0.75)"
if [ "$long" = 1 ]; then
  growth=$(awk -v a="$sp1" -v b="$sp10" 'BEGIN { printf "%.3f", b / a }')
  goal "peak RSS after 10 min within 5% of after 1 min (x$growth)" "$(at_most "$growth" 1.05)"
fi
for scene in static motion; do
  s=${rate[slotrec $scene 1000 max]} f=${rate[ffmpeg $scene 1000 max]}
  goal "$scene: highest rate at idle priority >= ffmpeg's ($s vs $f)" "$(at_most "$f" "$s")"
done
goal "every segment decodes to its .meta lines" "$([ "$bad" = 0 ] && echo 1 || echo 0)"
