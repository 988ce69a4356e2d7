#!/usr/bin/env bash
# Records a moving Xvfb screen for a long time and watches the recorder as it
# goes: every 10 seconds its resident memory, open descriptors and threads.
# At the end it stops the recorder as a user would (SIGINT) and judges every
# pair of the run: each .meta whole (header, CR LF frame lines, footer), no
# empty file, and ffprobe decoding exactly as many frames from each AVI as
# its .meta lists. Not part of `make test`.
#
#   bench/soak.sh path/to/slotrec [minutes] [fps]     (10 minutes, 30 fps;
#   SOAK_SECONDS, when set, takes the place of the minutes)
set -euo pipefail

binary=$(realpath "${1:?path to slotrec}")
minutes=${2:-10}
fps=${3:-30}
source "$(dirname "$0")/bench_lib.sh"
bench_workdir soak

bench_xvfb 1280x720
ico -faces -sleep 0.03 -geometry 400x400+80+120 >/dev/null 2>&1 &
helpers+=($!)
xclock -update 1 -geometry 200x200+700+100 >/dev/null 2>&1 &
helpers+=($!)
(
  x=100
  while true; do
    xdotool mousemove "$x" $((300 + x % 200)) 2>/dev/null || true
    x=$(((x + 17) % 1100 + 50))
    sleep 0.05
  done
) &
helpers+=($!)
sleep 1

mkdir "$work/runs"
(cd "$work/runs" && exec "$binary" "fps=$fps" >"$work/log" 2>"$work/err") &
recorder=$!

field() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$recorder/status"; }
printf '%8s %10s %10s %6s %8s\n' seconds rss_kib peak_kib fds threads
samples="$work/samples"
: >"$samples"
end=$((SECONDS + ${SOAK_SECONDS:-$((minutes * 60))}))
while [ "$SECONDS" -lt "$end" ]; do
  sleep 10
  kill -0 "$recorder" 2>/dev/null || { echo "soak: the recorder ended early" >&2; break; }
  fds=$(find "/proc/$recorder/fd" -mindepth 1 -maxdepth 1 | wc -l)
  line=$(printf '%8d %10s %10s %6s %8s' "$SECONDS" "$(field VmRSS)" "$(field VmHWM)" "$fds" \
    "$(field Threads)")
  echo "$line"
  echo "$line" >>"$samples"
done

kill -INT "$recorder" 2>/dev/null || true
status=0
wait "$recorder" || status=$?

run=$(find "$work/runs" -mindepth 1 -maxdepth 1 -type d | head -n1)
pairs=0
frames=0
problems=0
problem() {
  echo "soak: $*" >&2
  problems=$((problems + 1))
}
for avi in "$run"/*.avi; do
  stem=${avi%.avi}
  meta="$stem.meta"
  pairs=$((pairs + 1))
  [ -f "$meta" ] || { problem "$(basename "$avi") has no .meta"; continue; }
  [ -s "$avi" ] || problem "$(basename "$avi") is empty"
  lines=$(grep -c '^<frame time="-\?[0-9]*" x="-\?[0-9]*" y="-\?[0-9]*"/>'$'\r''$' "$meta" || true)
  [ "$(head -c 33 "$meta")" = $'<?xml version="1.0"?>\r\n<frames>\r' ] ||
    problem "$(basename "$meta") has no header"
  [ "$(tail -c 13 "$meta" | od -An -c | tr -d ' \n')" = '\r\n</frames>\r\n' ] ||
    problem "$(basename "$meta") has no footer"
  decoded=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of default=nw=1:nk=1 "$avi" 2>/dev/null || echo unreadable)
  [ "$decoded" = N/A ] && decoded=0
  [ "$decoded" = "$lines" ] || problem "$(basename "$avi"): $decoded frames decoded, $lines in the .meta"
  frames=$((frames + lines))
done
for meta in "$run"/*.meta; do
  [ -f "${meta%.meta}.avi" ] || problem "$(basename "$meta") has no .avi"
done

echo
awk 'NR == 1 { r0 = $2; f0 = $4; t0 = $5 }
     { if ($3 > peak) peak = $3; if ($4 > fmax) fmax = $4; if (fmin == "" || $4 < fmin) fmin = $4;
       if ($5 > tmax) tmax = $5; rl = $2; fl = $4; tl = $5 }
     END { printf "memory: RSS %d KiB at the first sample, %d KiB at the last, peak %d KiB\n", r0, rl, peak;
           printf "descriptors: %d to %d (first %d, last %d); threads: first %d, last %d, most %d\n",
                  fmin, fmax, f0, fl, t0, tl, tmax }' "$samples"
echo "run: $pairs pairs, $frames frames, $(du -sh "$run" | cut -f1); exit status $status; $problems problems"
tail -n 1 "$work/err"
[ "$status" -eq 0 ] && [ "$problems" -eq 0 ]
