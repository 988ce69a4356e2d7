#!/usr/bin/env bash
# The Windows programs under Wine, on a private Xvfb with two monitors, in a
# fresh 64-bit prefix with the stand-in compressor driver installed for
# both architectures.
#
#   tests/wine/run_wine_tests.sh ARCH SLOTREC_EXE PIECES_DIR [ARCH SLOTREC_EXE PIECES_DIR]...
#
# ARCH is i686 or x86_64; the architectures are tested in the order given,
# every one with the same checks. PIECES_DIR holds what
# tests/wine/CMakeLists.txt builds for that architecture (testvidc.dll,
# guard_test.exe, cursor_test.exe, session_end_test.exe, test_window.exe,
# ctrl_c.exe, manifest_dump.exe, avifile_read.exe).
#
# A run killed mid-recording is repaired with the Linux slotrec-check that
# SLOTREC_CHECK names (default: build/slotrec-check); without one those
# checks are listed as skipped.
#
# Every program runs under its own architecture's loader, started directly
# (not through start.exe), so the process a test signals is the program
# itself. Each compressor is registered in its own architecture's registry
# view. Where there is no 32-bit Wine, every i686 check is listed as skipped,
# with the reason. Prints one line per check and architecture, then a count;
# exits non-zero when any check failed.
#
# What the program writes to standard output is compared byte for byte:
# Windows' C runtime writes every line end of a console program's output as
# CR LF, so the expected texts are the program's texts with CR LF endings.
#
# Debian's loaders are used unless WINE32_LOADER / WINE64_LOADER name others.
set -uo pipefail

if [ $# -eq 0 ] || [ $(($# % 3)) -ne 0 ]; then
  echo "usage: $0 ARCH SLOTREC_EXE PIECES_DIR [ARCH SLOTREC_EXE PIECES_DIR]..." >&2
  exit 2
fi
manifest_source=$(realpath "$(dirname "$0")/../../platform/win32/slotrec.manifest")
wine32=${WINE32_LOADER:-/usr/lib/wine/wine}
wine64=${WINE64_LOADER:-/usr/lib/wine/wine64}
slotrec_check=${SLOTREC_CHECK:-$(dirname "$0")/../../build/slotrec-check}

work=$(mktemp -d /tmp/slotrec-wine.XXXXXX)
export WINEPREFIX=$work/prefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko prompts
unset WINELOADER TESTVIDC_FAULT_AT

# Two monitors side by side in one X screen: on the left a small one, on
# the right the primary one, which Wine puts at (0, 0). The whole desktop
# then starts left of the primary monitor, at (-left_width, 0).
#
# The primary monitor has an odd width and height, which the driver
# refuses: the program must settle on 644 x 482. The whole desktop is
# 968 x 483 and settles on 968 x 482.
left_width=323
left_height=241
primary_width=645
primary_height=483
frame_size=644x482
desktop_x=-$left_width
desktop_size=968x482

passed=0
failed=0
skipped=0
xvfb_pid=""
helper_pids=()

# The architecture under test and what belongs to it; set by use_arch.
arch=""
wine=""          # its loader
view=""          # its registry view, as reg.exe's option
pieces=""
slotrec_exe=""
program=""       # the program's Windows path: argv[0], and so the usage line
skip_reason=""   # non-empty: the architecture cannot run here

pass() {
  if [ -n "$skip_reason" ]; then skip "$*"; return; fi
  printf 'ok    %-7s %s\n' "$arch" "$*"
  passed=$((passed + 1))
}
fail() {
  if [ -n "$skip_reason" ]; then skip "$*"; return; fi
  printf 'FAIL  %-7s %s\n' "$arch" "$*"
  failed=$((failed + 1))
}
skip() {
  printf 'skip  %-7s %s (%s)\n' "$arch" "$*" "${skip_reason%%:*}"
  skipped=$((skipped + 1))
}
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if [ -n "$skip_reason" ]; then skip "$what"; return; fi
  if "$@"; then pass "$what"; else fail "$what"; fi
}
skipping() { [ -n "$skip_reason" ]; }

cleanup() {
  local pid
  for pid in "${helper_pids[@]}"; do kill "$pid" 2>/dev/null; done
  wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# ---------------------------------------------------------------- set-up --

# One X screen as wide as both monitors, the monitors declared with RandR
# (Xinerama reports them to Wine). -noreset: the server would forget them
# when its last client leaves.
start_display() {
  local display_file=$work/display
  Xvfb -displayfd 3 -noreset -nolisten tcp \
    -screen 0 "$((left_width + primary_width))x${primary_height}x24" \
    3>"$display_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  local i
  for i in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  [ -s "$display_file" ] || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(head -n1 "$display_file")"
  xrandr --setmonitor primary \
    "$primary_width/170x$primary_height/128+$left_width+0" screen >/dev/null &&
    xrandr --setmonitor left "$left_width/85x$left_height/64+0+0" none >/dev/null ||
    { echo "cannot declare the monitors" >&2; exit 1; }
}

# A new 64-bit prefix (with the 32-bit side where there is a 32-bit Wine).
# Wine takes the monitors from Xinerama, not from RandR's outputs (one
# here); a program that crashes ends, no dialog waits for a click.
make_prefix() {
  "$wine64" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
  "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v UseXRandR /t REG_SZ /d N /f \
    >/dev/null 2>&1
  "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1
  wineserver -k
  wineserver -w
  wineserver -p  # stays up for the whole run
}

# Makes ARCH the architecture under test: its loader, registry view and
# system directory; its driver registered in its own view and its program
# at a fixed Windows path, so that argv[0] (and with it the usage line) is
# known.
use_arch() {
  arch=$1
  slotrec_exe=$(realpath "$2")
  pieces=$(realpath "$3")
  program="C:\\slotrec\\$arch\\slotrec.exe"
  skip_reason=""
  local system_dir
  case $arch in
    i686)
      wine=$wine32 view=/reg:32 system_dir=syswow64
      if [ ! -x "$wine" ]; then
        skip_reason="no 32-bit Wine: $wine is missing; scripts/install-deps installs wine32:i386"
      fi ;;
    x86_64) wine=$wine64 view=/reg:64 system_dir=system32 ;;
    *) echo "unknown architecture $arch" >&2; exit 2 ;;
  esac
  if skipping; then
    echo "$arch: every check skipped, $skip_reason"
    return
  fi
  cp "$pieces/testvidc.dll" "$WINEPREFIX/drive_c/windows/$system_dir/testvidc.dll"
  "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32' \
    /v vidc.tvfw /t REG_SZ /d testvidc.dll /f "$view" >/dev/null 2>&1 ||
    echo "  cannot register the $arch driver" >&2
  mkdir -p "$WINEPREFIX/drive_c/slotrec/$arch"
  cp "$slotrec_exe" "$WINEPREFIX/drive_c/slotrec/$arch/slotrec.exe"
}

# ----------------------------------------------------------- the texts --

# Copies standard input with every LF turned into CR LF.
crlf() { sed -z 's/\n/\r\n/g'; }

header() {
  printf 'Screen Recording\n'
  printf 'Usage: %s %s\n' "$program" \
    '[fps=fps] [slotsecs=slotsecs] [withmouse=<on/off>] [-verbose] [-totalcapture] [debug=<on/off>]'
  printf '   fps=fps\t\t wanted FPS\n'
  printf '   slotsecs=slotsecs\t\t Seconds per timeslot\n'
  printf '   withmouse=<on/off>\t\t Record mouse  cursor\n'
  printf '   -verbose\t\t specifies verbose output\n'
  printf '   -totalcapture\t\t Capture All Monitors! Handle with care!\n'
  printf '\n'
}

# The table dump for the values of the six options.
dump() {
  printf '%3d: %-15s %-15s %10s = %-10d %s\n' \
    0 '"fps="' '"fps"' arg_int "$1" $'"\t\t wanted FPS"' \
    1 '"slotsecs="' '"slotsecs"' arg_int "$2" $'"\t\t Seconds per timeslot"' \
    2 '"withmouse="' '"<on/off>"' arg_bool "$3" $'"\t\t Record mouse  cursor"' \
    3 '"-verbose"' NULL arg_lit "$4" $'"\t\t specifies verbose output"' \
    4 '"-totalcapture"' NULL arg_lit "$5" $'"\t\t Capture All Monitors! Handle with care!"' \
    5 '"debug="' '"<on/off>"' arg_bool "$6" NULL
}

# ------------------------------------------------------------ helpers --

# A new empty directory for a run. (A skipped run leaves empty outputs
# there, so that the checks' arguments can still be formed.)
new_run_dir() {
  run_dir=$(mktemp -d "$work/run.XXXX")
  run_status=0
  if skipping; then : >"$run_dir/stdout"; : >"$run_dir/stderr"; fi
}

# Runs the program to its end in a new empty directory. Sets run_dir,
# run_status.
run_to_end() {
  new_run_dir
  skipping && return
  (cd "$run_dir" && exec timeout -s KILL 60 "$wine" "$program" "$@" >stdout 2>stderr)
  run_status=$?
}

# Starts a recording in a new empty directory, waits until the log shows
# SHIFTS shifts, then stops it the way a user on a terminal does: SIGINT to
# the process, which Wine delivers as Ctrl-C. The loader is exec'd in place
# of the subshell and Wine runs the program in the loader's process, so the
# signal goes to the recorder itself; signalled_recorder says whether that
# process was running the program when signalled. Sets run_dir, run_status
# (999 when the program had to be killed), signalled_recorder.
record_and_interrupt() {
  local shifts=$1
  shift
  new_run_dir
  signalled_recorder=0
  skipping && return
  (cd "$run_dir" && exec "$wine" "$program" "$@" >stdout 2>stderr) &
  local pid=$! i
  for i in $(seq 600); do
    kill -0 "$pid" 2>/dev/null || break
    [ "$(grep -c ' ShiftAVI! startTime= ' "$run_dir/stdout")" -ge "$shifts" ] && break
    sleep 0.1
  done
  if [ "$(readlink "/proc/$pid/exe")" = "$(realpath "$wine")" ] &&
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF "$program"; then
    signalled_recorder=1
  fi
  kill -INT "$pid" 2>/dev/null
  for i in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    run_status=999
  else
    wait "$pid"
    run_status=$?
  fi
}

# Shows a test window (see test_window.c) and waits until it is up.
#   show_window X Y WIDTH HEIGHT RRGGBB [POINTER_X POINTER_Y]
show_window() {
  skipping && return
  local out
  out=$(mktemp "$work/window.XXXX")
  "$wine" "$pieces/test_window.exe" "$@" >"$out" 2>/dev/null &
  helper_pids+=($!)
  local i
  for i in $(seq 100); do
    grep -q ready "$out" 2>/dev/null && break
    sleep 0.1
  done
}

# The one directory a run made; empty when it made none or several.
recording_dir() {
  local made=("$run_dir"/*/)
  if [ ${#made[@]} -eq 1 ] && [ -d "${made[0]}" ]; then echo "${made[0]%/}"; fi
}

frame_lines() { grep -c '^<frame ' "$1"; }

# Frames in an AVI file as ffprobe counts them by decoding; nothing when
# ffprobe cannot read the file. (A segment that ended before its first
# frame has a stream without frames, which ffprobe counts as N/A.)
avi_frames() {
  local count
  count=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of csv=p=0 "$1") || return
  [ "$count" = N/A ] && count=0
  echo "$count"
}

avi_size() {
  ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$1"
}

# RRGGBB of the pixel at column X, row Y (counted from the top) of frame N.
pixel() {
  ffmpeg -v error -i "$1" -vf "select=eq(n\\,$2),crop=1:1:$3:$4" -frames:v 1 \
    -f rawvideo -pix_fmt rgb24 - | od -An -tx1 | tr -d ' \n'
}

# Whether the pixels of frame 0 at the given places are as given.
#   pixels_are AVI X Y RRGGBB [X Y RRGGBB]...  (!RRGGBB: anything else)
pixels_are() {
  local avi=$1 got
  shift
  while [ $# -ge 3 ]; do
    got=$(pixel "$avi" 0 "$1" "$2")
    case $3 in
      !*) [ "$got" != "${3#!}" ] || { echo "  ($1, $2) is $got"; return 1; } ;;
      *) [ "$got" = "$3" ] || { echo "  ($1, $2) is $got, not $3"; return 1; } ;;
    esac
    shift 3
  done
}

# A finalised .meta file: the header, frame lines, an empty line and the
# closing tag, every line ended by CR LF.
meta_is_finalised() {
  local file=$1 lines crlf_lines
  [ "$(head -c 33 "$file")" = "$(printf '<?xml version="1.0"?>\r\n<frames>\r')" ] || return 1
  [ "$(tail -c 13 "$file" | od -An -c | tr -s ' ')" = " \r \n < / f r a m e s > \r \n" ] ||
    return 1
  lines=$(wc -l <"$file")
  crlf_lines=$(grep -c $'\r$' "$file")
  [ "$lines" -eq "$crlf_lines" ] || return 1
  [ "$(grep -c -E $'^<frame time="-?[0-9]+" x="-?[0-9]+" y="-?[0-9]+"/>\r$' "$file")" \
    -eq $((lines - 4)) ]
}

# Every segment of a recording: a finalised .meta beside every .avi and the
# other way round, ffprobe reads the AVI at SIZE, and its frames are as many
# as the .meta frame lines. Prints the problems found.
#   check_segments DIR SIZE
check_segments() {
  local dir=$1 want_size=$2 meta avi frames lines size problems=0
  [ -d "$dir" ] || { echo "  no recording directory"; return 1; }
  for avi in "$dir"/*.avi; do
    [ -f "${avi%.avi}.meta" ] || { echo "  ${avi##*/} has no .meta"; problems=1; }
  done
  for meta in "$dir"/*.meta; do
    avi=${meta%.meta}.avi
    [ -f "$avi" ] || { echo "  ${meta##*/} has no .avi"; problems=1; continue; }
    meta_is_finalised "$meta" || { echo "  ${meta##*/} is not finalised"; problems=1; }
    lines=$(frame_lines "$meta")
    frames=$(avi_frames "$avi")
    [ "$frames" = "$lines" ] ||
      { echo "  ${avi##*/}: $frames frames, $lines frame lines"; problems=1; }
    size=$(avi_size "$avi")
    [ "$size" = "$want_size" ] || { echo "  ${avi##*/}: frame size '$size'"; problems=1; }
  done
  return "$problems"
}

# Every line of a run's standard output ends in CR LF.
output_is_crlf() {
  [ "$(wc -l <"$1")" -eq "$(grep -c $'\r$' "$1")" ] && [ "$(tail -c 1 "$1" | od -An -c)" = "  \n" ]
}

# A value under HKCU\Software\GNU\x264 as this architecture's programs see
# it, as 0x...
registry_dword() {
  "$wine" reg query 'HKCU\Software\GNU\x264' /v "$1" "$view" 2>/dev/null |
    tr -d '\r' | awk -v name="$1" '$1 == name && $2 == "REG_DWORD" { print $3 }'
}

# Runs one of the pieces that print their own verdict as their last line.
# Prints the rest of what it said, indented, when the verdict is not WANT.
#   piece_says WANT PROGRAM [ARGUMENT]...
piece_says() {
  local want=$1 out status
  shift
  out=$(timeout -s KILL 120 "$wine" "$pieces/$1" "${@:2}" 2>&1 | tr -d '\r')
  status=$?
  [ "$status" -eq 0 ] && [ "$(tail -n1 <<<"$out")" = "$want" ] && return
  sed 's/^/  /' <<<"$out"
  return 1
}

# -------------------------------------------------------------- tests --

# The guard around compressor calls (RunGuarded: frame-based structured
# exception handling on i686, table-driven on x86_64).
test_guard_program() {
  check "guard: access violations, division by zero, illegal instruction, RaiseException, C++ exceptions; nested, repeated, on other threads" \
    piece_says "guard: all checks passed" guard_test.exe
}

# The manifest the loader reads is ours, and ours asks for physical pixels
# and the caller's rights.
test_manifest() {
  local source_ok=0
  grep -q '<dpiAware[^>]*>true</dpiAware>' "$manifest_source" &&
    grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$manifest_source" &&
    source_ok=1
  check "manifest: ${slotrec_exe#"$PWD"/} carries it (dpiAware true, asInvoker, no uiAccess)" \
    bash -c '[ "$1" -eq 1 ] && cmp -s "$2" <("$3" "$4" "$("$6" winepath -w "$5")")' \
    _ "$source_ok" "$manifest_source" "$wine" "$pieces/manifest_dump.exe" "$slotrec_exe" \
    "$wine64"
}

# The real screen grabber with a cursor of this process's own: drawn where
# the pointer minus the hot spot says, that position reported, on the
# primary monitor and on the whole desktop.
test_cursor() {
  check "cursor: drawn at the pointer less the hot spot, that position reported (primary, partly off screen, moved, not drawn when off, whole desktop, left monitor)" \
    piece_says "cursor: all checks passed" cursor_test.exe
}

# A bad command line: banner, usage, glossary, then the command line and the
# mark under the offending part; exit status 1; no directory.
#   expect_scan_error OFFSET CARETS MESSAGE ARGUMENT...
# OFFSET counts from the first character after the program name's blank.
expect_scan_error() {
  local offset=$1 carets=$2 message=$3
  shift 3
  local what="scan error: $* -> $message"
  if skipping; then skip "$what"; return; fi
  local copy="$program" argument
  for argument in "$@"; do
    case $argument in
      *' '*) copy+=" '$argument'" ;;
      *) copy+=" $argument" ;;
    esac
  done
  copy+=" "
  local blanks=$(( ${#program} + 1 + offset ))
  local mark
  mark=$(printf "%${blanks}s" '')$(printf '%*s' "$carets" '' | tr ' ' '^')
  run_to_end "$@"
  { header; printf 'ERROR: %s\n       %s %s\n' "$copy" "$mark" "$message"; } | crlf \
    >"$run_dir/expected"
  if ! cmp -s "$run_dir/expected" "$run_dir/stdout"; then
    fail "$what (standard output differs)"
    diff <(od -c "$run_dir/expected") <(od -c "$run_dir/stdout") | head -8 | sed 's/^/  /'
  elif [ "$run_status" -ne 1 ]; then
    fail "$what (exit status $run_status)"
  elif [ -n "$(ls "$run_dir" | grep -v -x -e stdout -e stderr -e expected)" ]; then
    fail "$what (made something in the working directory)"
  else
    pass "$what"
  fi
}

test_scan_errors() {
  expect_scan_error 4 1 'invalid fps=fps argument' fps=abc
  expect_scan_error 7 4 'repeat tag' fps=30 fps=40
  expect_scan_error 10 1 'invalid withmouse=<on/off> argument' withmouse=offf
  # An entry with a blank reaches the program as one argument (Wine joins
  # the arguments into a Windows command line and the C runtime splits it),
  # and comes back quoted in the copy.
  expect_scan_error 10 1 'invalid fps=fps argument' 'a b' fps=x
  expect_scan_error 4 1 'fps=fps argument out of range, allowed 1 to 5965' fps=0
  expect_scan_error 9 7 'slotsecs=slotsecs argument out of range, allowed 1 to 2147483' \
    slotsecs=2147484
}

# A recording of the primary monitor with a window on it and another on the
# left monitor, stopped by SIGINT (Ctrl-C): the banner, segments ffprobe
# reads, pixels where they belong, the registry settings this program wrote.
test_recording() {
  # The primary window lies at (40, 30)-(239, 129), the left one at
  # (-300, 20)-(-101, 119); the pointer rests on the primary one.
  show_window 40 30 200 100 20a040 100 70
  show_window $((desktop_x + 23)) 20 200 100 4060c0
  skipping || "$wine" reg delete 'HKCU\Software\GNU' /f "$view" >/dev/null 2>&1

  record_and_interrupt 4 fps=10 slotsecs=1 -verbose
  local out=$run_dir/stdout dir
  dir=$(recording_dir)

  check "recording: SIGINT goes to the recorder's own process" [ "$signalled_recorder" -eq 1 ]
  check "recording: Ctrl-C (SIGINT) ends the run with status 0" [ "$run_status" -eq 0 ]
  { header; dump 10 1 1 1 0 0; printf 'Trying prepare 000-00.avi\n ShiftAVI! startTime= '; } |
    crlf >"$run_dir/expected_start"
  check "recording: banner, usage, glossary and table dump, then the first segment's log" \
    cmp -s "$run_dir/expected_start" <(head -c "$(wc -c <"$run_dir/expected_start")" "$out")
  check "recording: every output line ends in CR LF" output_is_crlf "$out"
  check "recording: one directory named after the local start time" \
    bash -c '[[ "$(basename "$1")" =~ ^[0-9]{4}(-[0-9]{2}){5}-[0-9]{3}$ ]]' _ "$dir"
  check "recording: several segments, the first one 000-00" \
    bash -c '[ -f "$1/000-00.avi" ] && [ "$(ls "$1"/*.avi | wc -l)" -ge 3 ]' _ "$dir"
  check "recording: every segment finalised, ffprobe reads it at $frame_size (the primary monitor), frames = .meta lines" \
    check_segments "$dir" "$frame_size"

  # Rows count from the top, so a frame stored upside down or with red and
  # blue swapped shows here.
  local avi=$dir/000-00.avi
  check "recording: the window's pixels where the window is, the screen's own around it" \
    pixels_are "$avi" 40 30 20a040 239 129 20a040 39 29 '!20a040' 240 130 '!20a040'

  # Wine gives the cursor's image only to the process that made the cursor:
  # GetCursorInfo names the window's cursor, GetIconInfo refuses it here
  # (ERROR_INVALID_CURSOR_HANDLE). The program then keeps the last position
  # (0, 0 from the start) and draws nothing; test_cursor shows the drawing.
  local positions
  positions=$(grep -ho 'x="[-0-9]*" y="[-0-9]*"' "$dir"/*.meta 2>/dev/null | sort -u | tr '\n' ' ')
  check "recording: another process's cursor: position kept at (0, 0), nothing drawn (Wine)" \
    bash -c '[ "$1" = "x=\"0\" y=\"0\" " ] && pixels_are "$2" 95 62 20a040' _ "$positions" "$avi"

  check "registry: encoding_type = 3 under HKCU\\Software\\GNU\\x264" \
    [ "$(registry_dword encoding_type)" = 0x3 ]
  check "registry: log_level = 0" [ "$(registry_dword log_level)" = 0x0 ]
}

# The whole desktop as the source (-totalcapture), while the driver faults
# inside two compress calls. The frame spans both monitors from the
# desktop's corner; each fault is reported, the frame is dropped without a
# .meta line, and recording goes on; the run ends with status 3, as it lost
# two frames.
test_whole_desktop_with_faults() {
  TESTVIDC_FAULT_AT=3,14 record_and_interrupt 4 fps=10 slotsecs=1 -totalcapture
  local out=$run_dir/stdout dir
  dir=$(recording_dir)
  check "whole desktop: every segment finalised, ffprobe reads it at $desktop_size (both monitors), frames = .meta lines" \
    check_segments "$dir" "$desktop_size"
  # Frame column = screen column + left_width.
  local dx=$((-desktop_x))
  check "whole desktop: each window's pixels where it is on its monitor, the screen's own around them" \
    pixels_are "$dir/000-00.avi" \
    $((40 + dx)) 30 20a040 $((239 + dx)) 129 20a040 $((39 + dx)) 29 '!20a040' \
    $((240 + dx)) 130 '!20a040' \
    23 20 4060c0 222 119 4060c0 22 19 '!4060c0' 223 120 '!4060c0'
  check "fault: the run goes on and ends with status 3 (frames lost)" [ "$run_status" -eq 3 ]
  check "fault: the account names the two frames not written" \
    grep -q ' 2 frames not written, ' "$run_dir/stderr"
  check "fault: \"Exception in AVIStreamWrite!\" once per fault" \
    [ "$(grep -c -x $'Exception in AVIStreamWrite!\r' "$out")" -eq 2 ]
  # Every write is one compress call, so the calls are the frame lines plus
  # the two faults: more than 12 lines means calls after the 14th.
  check "fault: frames recorded after the second fault" \
    [ "$(cat "$dir"/*.meta 2>/dev/null | grep -c '^<frame ')" -gt 12 ]
}

# Ctrl-C pressed on the console the program shares with another program.
test_console_ctrl_c() {
  new_run_dir
  skipping ||
    (cd "$run_dir" &&
      exec timeout -s KILL 60 "$wine" "$pieces/ctrl_c.exe" 2500 "$program" fps=10 slotsecs=1 \
        >stdout 2>stderr)
  run_status=$?
  check "console Ctrl-C: the run ends with status 0" [ "$run_status" -eq 0 ]
  check "console Ctrl-C: every segment finalised, frames = .meta lines" \
    check_segments "$(recording_dir)" "$frame_size"
}

# The end of the session (wineboot --end-session sends WM_QUERYENDSESSION
# and WM_ENDSESSION, as Windows does at shut-down) reaches the handler as
# CTRL_SHUTDOWN_EVENT, and the process lives until the handler returns.
# Ends every program of the prefix: the last tests of an architecture.
test_session_end() {
  local out=$work/session_end.out
  : >"$out"
  if ! skipping; then
    timeout -s KILL 60 "$wine" "$pieces/session_end_test.exe" >"$out" 2>/dev/null &
    local pid=$! i
    for i in $(seq 100); do
      grep -q ready "$out" 2>/dev/null && break
      sleep 0.1
    done
    timeout -s KILL 60 "$wine64" wineboot --end-session >/dev/null 2>&1
    wait "$pid"
  fi
  check "session end: the watcher calls the handler with CTRL_SHUTDOWN_EVENT and waits for it" \
    [ "$(tr -d '\r' <"$out")" = "$(printf 'ready\nevent 6\nhandled')" ]
}

# A recording when the session ends (shut-down): the program tears down
# with every segment finalised before Windows ends it.
test_recording_session_end() {
  new_run_dir
  if ! skipping; then
    (cd "$run_dir" && exec timeout -s KILL 90 "$wine" "$program" fps=10 slotsecs=1 \
      >stdout 2>stderr) &
    local pid=$! i
    for i in $(seq 600); do
      [ "$(grep -c ' ShiftAVI! startTime= ' "$run_dir/stdout" 2>/dev/null)" -ge 3 ] && break
      sleep 0.1
    done
    timeout -s KILL 60 "$wine64" wineboot --end-session >/dev/null 2>&1
    wait "$pid"
    run_status=$?
  fi
  check "session end while recording: the program ends by itself" [ "$run_status" -ne 137 ]
  check "session end while recording: every segment finalised, frames = .meta lines" \
    check_segments "$(recording_dir)" "$frame_size"
}

# A recording killed with SIGKILL mid-run leaves its open segments as
# AVIFile left them: nothing in the space it keeps for the headers (written
# only when it closes the file), the frames after it, no index; the pair it
# had prepared has an AVI of 0 bytes. slotrec-check --repair makes the run
# whole: headers from a completed segment, index written, .meta closed; then
# ffprobe and Windows' own AVIFile read every frame the .meta lists, and a
# second repair changes nothing.
test_killed_and_repaired() {
  local what="killed run repaired by slotrec-check --repair"
  if ! skipping && [ ! -x "$slotrec_check" ]; then
    printf 'skip  %-7s %s (no slotrec-check at %s; set SLOTREC_CHECK)\n' "$arch" "$what" "$slotrec_check"
    skipped=$((skipped + 1))
    return
  fi
  new_run_dir
  local dir="" status=0 out="" sums=""
  if ! skipping; then
    (cd "$run_dir" && exec "$wine" "$program" fps=10 slotsecs=1 >stdout 2>stderr) &
    local pid=$! i
    for i in $(seq 600); do
      [ "$(grep -c ' ShiftAVI! startTime= ' "$run_dir/stdout")" -ge 3 ] && break
      sleep 0.1
    done
    sleep 0.5
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    dir=$(recording_dir)
    "$slotrec_check" "$dir" >"$run_dir/before" 2>&1
    status=$?
  fi
  check "killed: slotrec-check finds the run not whole" [ "$status" -eq 1 ]
  if ! skipping; then
    "$slotrec_check" --repair "$dir" >"$run_dir/repair" 2>&1
    status=$?
    out=$(cd "$dir" && timeout -s KILL 120 "$wine" "$pieces/avifile_read.exe" *.avi 2>&1 | tr -d '\r')
  fi
  check "killed: --repair rebuilds the unfinished AVI files from a completed one's headers, and the run is whole" \
    bash -c '[ "$1" -eq 0 ] && grep -q "headers taken from .*, sizes filled in$" "$2" &&
      grep -q "\.meta: .*footer written$" "$2" && grep -q ": whole$" "$2" ||
      { sed "s/^/  /" "$2"; false; }' _ "$status" "$run_dir/repair"
  check "killed: repaired, every segment finalised, ffprobe reads it at $frame_size, frames = .meta lines" \
    check_segments "$dir" "$frame_size"
  check "killed: repaired, AVIFile opens every segment and reads as many frames as its .meta lists" \
    bash -c 'dir=$1 out=$2
      [ "$(tail -n1 <<<"$out")" = "avifile: all files read" ] || { sed "s/^/  /" <<<"$out"; exit 1; }
      for meta in "$dir"/*.meta; do
        name=${meta##*/} lines=$(grep -c "^<frame " "$meta")
        grep -qx "${name%.meta}.avi: $lines frames, $lines read" <<<"$out" ||
          { echo "  ${name%.meta}.avi: not $lines frames"; sed "s/^/  /" <<<"$out"; exit 1; }
      done' _ "$dir" "$out"
  if ! skipping; then
    sums=$(cd "$dir" && md5sum *)
    "$slotrec_check" --repair "$dir" >"$run_dir/again" 2>&1
    status=$?
  fi
  check "killed: a second repair changes nothing" \
    bash -c '[ "$1" -eq 0 ] && grep -q ": nothing to repair$" "$3" && [ "$(cd "$2" && md5sum *)" = "$4" ]' \
    _ "$status" "$dir" "$run_dir/again" "$sums"
}

# ---------------------------------------------------------------- main --

export -f pixel pixels_are
if [ ! -x "$wine64" ]; then
  echo "no 64-bit Wine: $wine64 is missing (scripts/install-deps installs wine64)" >&2
  exit 1
fi
start_display
make_prefix

while [ $# -gt 0 ]; do
  use_arch "$1" "$2" "$3"
  shift 3
  test_guard_program
  test_manifest
  test_scan_errors
  test_cursor
  test_recording
  test_whole_desktop_with_faults
  test_console_ctrl_c
  test_killed_and_repaired
  test_session_end
  test_recording_session_end
done

echo "wine: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
