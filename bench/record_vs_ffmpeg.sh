#!/usr/bin/env bash
# Records one Xvfb screen (1920x1080, moving content) with slotrec and with
# ffmpeg's x11grab + libx264 at the same encoder settings (lossless,
# ultrafast, I420, a key frame every 100 frames, no B-frames, 2-second
# segments), at 20 and 30 fps, and prints per run: CPU time per recorded
# frame (the X server's share included, over its idle baseline), achieved
# frame rate, frames lost at segment boundaries, peak memory; then the
# ratios slotrec/ffmpeg.
#
#   bench/record_vs_ffmpeg.sh path/to/slotrec [seconds]   (30 by default)
#
# Run it on a quiet machine: every figure is a single measurement.
set -euo pipefail

binary=$(realpath "${1:?path to slotrec}")
seconds=${2:-30}
work=$(mktemp -d /tmp/slotrec-bench.XXXXXX)
helpers=()
cleanup() {
  for pid in "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

clk_tck=$(getconf CLK_TCK)
# CPU seconds (user + system) a process has used so far.
cpu_seconds() { awk -v t="$clk_tck" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"; }
peak_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp >"$work/display" 2>/dev/null &
xvfb=$!
helpers+=("$xvfb")
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
ico -faces -sleep 0.02 -geometry 600x600+100+200 >/dev/null 2>&1 &
helpers+=($!)
xclock -update 1 -geometry 300x300+1000+100 >/dev/null 2>&1 &
helpers+=($!)
(
  x=100
  while true; do
    xdotool mousemove "$x" $((400 + x % 300)) 2>/dev/null || true
    x=$(((x + 23) % 1700 + 100))
    sleep 0.05
  done
) &
helpers+=($!)
sleep 2

# The X server's CPU while the content moves and nobody records.
base_before=$(cpu_seconds "$xvfb")
sleep "$seconds"
xvfb_idle_rate=$(awk -v a="$base_before" -v b="$(cpu_seconds "$xvfb")" -v s="$seconds" \
  'BEGIN { printf "%.5f", (b - a) / s }')

# record <name> <fps> <command...>: runs the recorder for $seconds in its own
# directory and leaves "cpu xvfb_cpu peak_kib wall" in $work/<name>.stats.
record() {
  local name=$1 fps=$2
  shift 2
  mkdir -p "$work/$name"
  local x_before start pid
  x_before=$(cpu_seconds "$xvfb")
  start=$(date +%s.%N)
  (cd "$work/$name" && exec env XDG_CONFIG_HOME="$work/config" "$@") >"$work/$name.log" 2>&1 &
  pid=$!
  sleep "$seconds"
  local cpu peak x_after wall
  cpu=$(cpu_seconds "$pid")
  peak=$(peak_kib "$pid")
  x_after=$(cpu_seconds "$xvfb")
  wall=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.3f", e - s }')
  kill -INT "$pid"
  wait "$pid" || true
  echo "$cpu $(awk -v a="$x_before" -v b="$x_after" -v r="$xvfb_idle_rate" -v w="$wall" \
    'BEGIN { d = b - a - r * w; if (d < 0) d = 0; printf "%.3f", d }') $peak $wall" \
    >"$work/$name.stats"
}

# slotrec's figures from its .meta files: frames, achieved rate, frames lost
# at segment boundaries (a gap of more than 1.5 frame intervals).
slotrec_frames() {
  local dir fps=$2
  dir=$(find "$work/$1" -mindepth 1 -maxdepth 1 -type d | head -n1)
  for meta in $(ls "$dir"/*.meta | sort); do
    echo "segment"
    grep -o 'time="-\?[0-9]*"' "$meta" | tr -dc '0-9\n-' | sed '/^$/d'
  done | awk -v fps="$fps" '
    function wrap(t) { return t < 0 ? t + 4294967296 : t }
    /segment/ { boundary = 1; next }
    {
      t = wrap($1); n++
      if (n == 1) first = t
      if (boundary && n > 1) {
        gap = (t - last) * fps / 1000
        if (gap > 1.5) lost += int(gap + 0.5) - 1
      }
      boundary = 0; last = t
    }
    END { printf "%d %.2f %d\n", n, (n - 1) * 1000 / (last - first), lost }'
}

ffmpeg_frames() {
  local total=0
  for f in "$work/$1"/*.avi; do
    n=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
      -of default=nw=1:nk=1 "$f")
    [ "$n" = "N/A" ] && n=0
    total=$((total + n))
  done
  echo "$total"
}

printf '%-22s %8s %12s %12s %10s %10s %10s\n' run frames "cpu ms/frm" "X ms/frm" fps lost "peak MiB"
declare -A cpu_per_frame x_per_frame rate peak lost_frames
for fps in 20 30; do
  record "slotrec$fps" "$fps" "$binary" "fps=$fps" slotsecs=2
  record "ffmpeg$fps" "$fps" ffmpeg -loglevel error -f x11grab -draw_mouse 1 -framerate "$fps" \
    -video_size 1920x1080 -i "$DISPLAY" -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p \
    -g 100 -bf 0 -x264-params rc-lookahead=0:sync-lookahead=0:sliced-threads=1 \
    -f segment -segment_time 2 -reset_timestamps 1 seg%03d.avi
  for tool in slotrec ffmpeg; do
    name="$tool$fps"
    read -r cpu xcpu kib wall <"$work/$name.stats"
    if [ "$tool" = slotrec ]; then
      read -r frames achieved lost <<<"$(slotrec_frames "$name" "$fps")"
    else
      frames=$(ffmpeg_frames "$name")
      achieved=$(awk -v n="$frames" -v w="$wall" 'BEGIN { printf "%.2f", n / w }')
      lost=0
    fi
    cpu_per_frame[$name]=$(awk -v c="$cpu" -v n="$frames" 'BEGIN { printf "%.2f", 1000 * c / n }')
    x_per_frame[$name]=$(awk -v c="$xcpu" -v n="$frames" 'BEGIN { printf "%.2f", 1000 * c / n }')
    rate[$name]=$achieved
    peak[$name]=$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')
    lost_frames[$name]=$lost
    printf '%-22s %8d %12s %12s %10s %10s %10s\n' "$name" "$frames" "${cpu_per_frame[$name]}" \
      "${x_per_frame[$name]}" "$achieved" "$lost" "${peak[$name]}"
  done
done

echo
echo "ratios slotrec/ffmpeg (CPU per frame includes the X server's share):"
for fps in 20 30; do
  awk -v fps="$fps" -v sc="${cpu_per_frame[slotrec$fps]}" -v sx="${x_per_frame[slotrec$fps]}" \
    -v fc="${cpu_per_frame[ffmpeg$fps]}" -v fx="${x_per_frame[ffmpeg$fps]}" \
    -v sr="${rate[slotrec$fps]}" -v fr="${rate[ffmpeg$fps]}" \
    -v sp="${peak[slotrec$fps]}" -v fp="${peak[ffmpeg$fps]}" 'BEGIN {
      printf "%d fps: cpu/frame %.2f, achieved rate %.3f (slotrec %.1f%% of wanted), peak memory %.2f\n",
        fps, (sc + sx) / (fc + fx), sr / fr, 100 * sr / fps, sp / fp }'
done
