#!/usr/bin/env bash
# slotrec-check --html on a ten-hour run: 18,000 pairs at the default
# timeslot of 2 s and 20 fps. The pairs are one real segment, recorded by
# slotrec from a 1280x720 Xvfb screen with windows and a moving pointer,
# linked under every segment name of ten hours, each beside a .meta with
# the segment's frame times moved on by its timeslot and the pointer moved
# across the screen. Reports the seconds and the peak memory of the check
# with --html (decoding every frame, as by default) and with --no-decode
# (the report alone, with the pictures it decodes), and the report's size.
# Not part of `make bench`.
#
#   bench/report_10h.sh path/to/build     (the build directory with slotrec
#                                          and slotrec-check; REPORT_PAIRS
#                                          for another number of pairs,
#                                          REPORT_KEEP=file.html keeps the
#                                          report)
set -euo pipefail

build=$(realpath "${1:?path to the build directory}")
pairs=${REPORT_PAIRS:-18000}
source "$(dirname "$0")/bench_lib.sh"
bench_workdir report

bench_xvfb 1280x720
xclock -update 1 -geometry 300x300+700+100 >/dev/null 2>&1 &
helpers+=($!)
xeyes -geometry 300x200+100+300 >/dev/null 2>&1 &
helpers+=($!)
sleep 1

# One segment of the real recorder: 000-00 of a run stopped in its third
# timeslot.
mkdir "$work/record"
(cd "$work/record" && exec "$build/slotrec" >"$work/log" 2>"$work/err") &
recorder=$!
for x in $(seq 100 40 900); do
  xdotool mousemove "$x" $((200 + x % 300)) 2>/dev/null || true
  sleep 0.1
done
sleep 2
kill -INT "$recorder"
wait "$recorder" || true
source_run=$(find "$work/record" -mindepth 1 -maxdepth 1 -type d | head -n1)
[ -s "$source_run/000-00.avi" ] || { echo "report_10h: the recorder left no 000-00.avi" >&2; exit 1; }

# The ten-hour run, named as the recorder names one.
run="$work/runs/$(basename "$source_run")"
mkdir -p "$run"
awk -v pairs="$pairs" -v run="$run" -v avi="$source_run/000-00.avi" '
  BEGIN { n = 0 }
  /<frame / {
    match($0, /time="[0-9]+"/); t[n] = substr($0, RSTART + 6, RLENGTH - 7)
    n++
  }
  END {
    for (i = 0; i < pairs; i++) {
      stem = sprintf("%03d-%02d", int(i * 2 / 60), (i * 2) % 60)
      system("ln \"" avi "\" \"" run "/" stem ".avi\"")
      file = run "/" stem ".meta"
      printf "<?xml version=\"1.0\"?>\r\n<frames>\r\n" > file
      for (k = 0; k < n; k++) {
        x = int((i * 37 + k * 3) % 1200); y = int((i * 23 + k) % 680)
        if (i % 600 < 20) { x = 640 + k; y = 360 }  # a stay in the middle now and then
        printf "<frame time=\"%.0f\" x=\"%d\" y=\"%d\"/>\r\n", (t[k] + i * 2000) % 4294967296, x, y > file
      }
      printf "\r\n</frames>\r\n" > file
      close(file)
    }
  }' "$source_run/000-00.meta"

frames=$(grep -c '<frame ' "$source_run/000-00.meta")
echo "run: $pairs pairs of $frames frames, $(du -sh --apparent-size "$run" | cut -f1) apparent (the AVI linked)"
measure() {
  local label=$1
  shift
  local start end status=0
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$work/peak" "$build/slotrec-check" "$@" "$run" >"$work/out" 2>"$work/check-err" ||
    status=$?
  end=$(date +%s.%N)
  printf '%-22s %8.1f s  peak %7d KiB  status %d  report %s\n' "$label" "$(echo "$end - $start" | bc)" \
    "$(tail -n1 "$work/peak")" "$status" "$(stat -c %s "$work/report.html" 2>/dev/null || echo -)"
  if [ -n "${REPORT_KEEP:-}" ] && [ -f "$work/report.html" ]; then cp "$work/report.html" "$REPORT_KEEP"; fi
  rm -f "$work/report.html"
}
measure "--html --no-decode" --no-decode --html "$work/report.html"
measure "--no-decode" --no-decode
measure "--html" --html "$work/report.html"
