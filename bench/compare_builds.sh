#!/usr/bin/env bash
# Two builds of slotrec on the same screens, to see what a change costs the
# frame path: each records a 1920x1080 Xvfb at 30 fps for the given seconds,
# once the idle desktop scene (a ticking clock) and once full motion
# (motion/motion_screen), in the order A B B A so that a drifting machine
# weighs on both alike. Prints CPU per frame (the recorder's own and with the
# X server's share), frames, and peak memory, per build and scene.
#
#   bench/compare_builds.sh path/to/old/slotrec path/to/new/slotrec [seconds]
#
# BENCH_TERMINAL_B=1 gives build B a pseudo-terminal for its standard error
# (its standard output to a file), so that it keeps its status line: the
# same build as A and B then shows what the status line costs.
set -euo pipefail

old=$(realpath "${1:?old slotrec}")
new=$(realpath "${2:?new slotrec}")
seconds=${3:-${BENCH_SECONDS:-20}}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/bench_lib.sh"
bench_workdir compare

painter=$work/motion_screen
cc -O2 -o "$painter" "$here/motion/motion_screen.c" -lX11
clk_tck=$(getconf CLK_TCK)
cpu_seconds() { awk -v t="$clk_tck" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"; }

# record <label> <binary> <scene>: one recording; appends a result line.
record() {
  local label=$1 binary=$2 scene=$3
  bench_xvfb 1920x1080
  local scene_pid=
  if [ "$scene" = motion ]; then
    "$painter" 30 $((seconds + 30)) >/dev/null 2>&1 &
  else
    xclock -update 1 -geometry 300x300+100+100 >/dev/null 2>&1 &
  fi
  scene_pid=$!
  sleep 2
  local dir=$work/run-$label-$scene
  mkdir -p "$dir"
  local x0
  x0=$(cpu_seconds "$xvfb")
  local command="exec /usr/bin/time -f '%U %S %M' -o '$dir.time' '$binary' fps=30 >/dev/null"
  if [ "$label" = B ] && [ -n "${BENCH_TERMINAL_B:-}" ]; then
    (cd "$dir" && exec script -q -e -c "$command" /dev/null >/dev/null) &
  else
    (cd "$dir" && eval "$command" 2>/dev/null) &
  fi
  local timer=$!
  sleep 1
  local rec
  rec=$(pgrep -n -x slotrec)
  sleep "$seconds"
  local x1
  x1=$(cpu_seconds "$xvfb")
  kill -INT "$rec"
  wait "$timer" || true
  kill "$scene_pid" "$xvfb" 2>/dev/null || true
  wait "$scene_pid" "$xvfb" 2>/dev/null || true
  local frames
  frames=$(cat "$dir"/*/*.meta | grep -c '<frame ' || true)
  echo "$label $scene $frames $(cat "$dir.time") $(echo "$x1 - $x0" | bc -l)" >>"$work/results"
}

for scene in static motion; do
  for label in A B B A; do
    binary=$([ "$label" = A ] && echo "$old" || echo "$new")
    record "$label" "$binary" "$scene"
  done
done

echo "A: $old"
echo "B: $new"
echo "| scene | build | frames | CPU ms/frame | with X server | peak MiB |"
echo "| --- | --- | --- | --- | --- | --- |"
awk '{
  key = $2 " " $1; frames[key] += $3; cpu[key] += $4 + $5; x[key] += $7;
  if ($6 > peak[key]) peak[key] = $6
} END {
  n = split("static A,static B,motion A,motion B", keys, ",")
  for (i = 1; i <= n; i++) {
    k = keys[i]; split(k, p, " ")
    printf "| %s | %s | %d | %.2f | %.2f | %.0f |\n", p[1], p[2], frames[k],
      1000 * cpu[k] / frames[k], 1000 * (cpu[k] + x[k]) / frames[k], peak[k] / 1024
  }
}' "$work/results"
