#!/usr/bin/env bash
# The Windows program under Wine, on a private Xvfb, in a fresh temporary
# prefix with the stand-in compressor driver installed.
#
#   tests/wine/run_wine_tests.sh SLOTREC_EXE PIECES_DIR [OTHER_SLOTREC_EXE...]
#
# SLOTREC_EXE is run (a 64-bit program: Wine here runs no other); the
# others' embedded manifests are checked too. PIECES_DIR holds what
# tests/wine/CMakeLists.txt builds (testvidc.dll, guard_test.exe,
# session_end_test.exe, test_window.exe, ctrl_c.exe, manifest_dump.exe). Prints one line per check
# and exits non-zero when any failed.
#
# What the program writes to standard output is compared byte for byte:
# Windows' C runtime writes every line end of a console program's output as
# CR LF, so the expected texts are the program's texts with CR LF endings.
set -uo pipefail

slotrec_exe=$(realpath "$1")
pieces=$(realpath "$2")
shift 2
other_exes=()
for exe in "$@"; do other_exes+=("$(realpath "$exe")"); done
manifest_source=$(realpath "$(dirname "$0")/../../platform/win32/slotrec.manifest")

work=$(mktemp -d /tmp/slotrec-wine.XXXXXX)
export WINEPREFIX=$work/prefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko prompts
unset TESTVIDC_FAULT_AT

# The screen has an odd width and height, which the driver refuses: the
# program must settle on 644 x 482.
screen_width=645
screen_height=483
frame_width=644
frame_height=482

failures=0
xvfb_pid=""
helper_pids=()

pass() { echo "ok    $*"; }
fail() {
  echo "FAIL  $*"
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

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

start_display() {
  local display_file=$work/display
  Xvfb -displayfd 3 -screen 0 "${screen_width}x${screen_height}x24" -nolisten tcp \
    3>"$display_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  local i
  for i in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  [ -s "$display_file" ] || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(head -n1 "$display_file")"
}

# A new prefix with the driver registered where Video for Windows looks for
# compressors, and the program at a fixed Windows path, so that its argv[0]
# (and with it the usage line) is known.
make_prefix() {
  wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
  wineserver -p  # stays up for the whole run
  cp "$pieces/testvidc.dll" "$WINEPREFIX/drive_c/windows/system32/testvidc.dll"
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32' \
    /v vidc.tvfw /t REG_SZ /d testvidc.dll /f >/dev/null 2>&1
  # A program that crashes ends; no dialog waits for a click.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1
  mkdir -p "$WINEPREFIX/drive_c/slotrec"
  cp "$slotrec_exe" "$WINEPREFIX/drive_c/slotrec/slotrec.exe"
}
program='C:\slotrec\slotrec.exe'

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

# Runs the program to its end in a new empty directory. Sets run_dir,
# run_status.
run_to_end() {
  run_dir=$(mktemp -d "$work/run.XXXX")
  (cd "$run_dir" && exec timeout -s KILL 60 wine "$program" "$@" >stdout 2>stderr)
  run_status=$?
}

# Starts a recording in a new empty directory, waits until the log shows
# SHIFTS shifts, then stops it the way a user on a terminal does: SIGINT to
# the process, which Wine delivers as Ctrl-C. Sets run_dir, run_status
# (999 when the program had to be killed).
record_and_interrupt() {
  local shifts=$1
  shift
  run_dir=$(mktemp -d "$work/run.XXXX")
  (cd "$run_dir" && exec wine "$program" "$@" >stdout 2>stderr) &
  local pid=$! i
  for i in $(seq 600); do
    kill -0 "$pid" 2>/dev/null || break
    [ "$(grep -c ' ShiftAVI! startTime= ' "$run_dir/stdout")" -ge "$shifts" ] && break
    sleep 0.1
  done
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
# other way round, ffprobe reads the AVI at the negotiated size, and its
# frames are as many as the .meta frame lines. Prints the problems found.
check_segments() {
  local dir=$1 meta avi frames lines size problems=0
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
    [ "$size" = "${frame_width}x${frame_height}" ] ||
      { echo "  ${avi##*/}: frame size '$size'"; problems=1; }
  done
  return "$problems"
}

# Every line of a run's standard output ends in CR LF.
output_is_crlf() {
  [ "$(wc -l <"$1")" -eq "$(grep -c $'\r$' "$1")" ] && [ "$(tail -c 1 "$1" | od -An -c)" = "  \n" ]
}

registry_dword() {  # registry_dword NAME -> the value as 0x...
  wine reg query 'HKCU\Software\GNU\x264' /v "$1" 2>/dev/null |
    tr -d '\r' | awk -v name="$1" '$1 == name && $2 == "REG_DWORD" { print $3 }'
}

# -------------------------------------------------------------- tests --

test_guard_program() {
  local out
  out=$(timeout -s KILL 120 wine "$pieces/guard_test.exe" 2>&1 | tr -d '\r')
  local status=$?
  [ "$out" = "guard: all checks passed" ] || echo "$out" | sed 's/^/  /'
  check "guard: faults and C++ exceptions in the body, nested, repeated, threads" \
    [ "$status" -eq 0 ]
}

# The manifest the loader reads is ours, and ours asks for physical pixels
# and the caller's rights.
test_manifest() {
  local source_ok=0 exe
  grep -q '<dpiAware[^>]*>true</dpiAware>' "$manifest_source" &&
    grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$manifest_source" &&
    source_ok=1
  for exe in "$slotrec_exe" "${other_exes[@]}"; do
    check "manifest: ${exe#"$PWD"/} carries it (dpiAware true, asInvoker, no uiAccess)" \
      bash -c '[ "$1" -eq 1 ] && cmp -s "$2" <(wine "$3" "$(winepath -w "$4")")' \
      _ "$source_ok" "$manifest_source" "$pieces/manifest_dump.exe" "$exe"
  done
}

# A bad command line: banner, usage, glossary, then the command line and the
# mark under the offending part; exit status 1; no directory.
#   expect_scan_error OFFSET CARETS MESSAGE ARGUMENT...
# OFFSET counts from the first character after the program name's blank.
expect_scan_error() {
  local offset=$1 carets=$2 message=$3
  shift 3
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
  local what="scan error: $* -> $message"
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

# A recording with a window and the pointer on the screen, stopped by
# SIGINT (Ctrl-C): the banner, segments ffprobe reads, pixels where they
# belong, the registry settings.
test_recording() {
  local window_out=$work/window.out
  wine "$pieces/test_window.exe" 40 30 200 100 20a040 >"$window_out" 2>/dev/null &
  helper_pids+=($!)
  local i
  for i in $(seq 100); do
    grep -q ready "$window_out" 2>/dev/null && break
    sleep 0.1
  done
  xdotool mousemove 100 70

  record_and_interrupt 4 fps=10 slotsecs=1 -verbose
  local out=$run_dir/stdout dir
  dir=$(recording_dir)

  check "recording: Ctrl-C (SIGINT) ends the run with status 0" [ "$run_status" -eq 0 ]
  { header; dump 10 1 1 1 0 0; printf 'Trying prepare 000-00.avi\n ShiftAVI! startTime= '; } |
    crlf >"$run_dir/expected_start"
  check "recording: banner, usage, glossary and table dump, then the first segment's log" \
    cmp -s "$run_dir/expected_start" <(head -c "$(wc -c <"$run_dir/expected_start")" "$out")
  check "recording: every output line ends in CR LF" output_is_crlf "$out"
  check "recording: one directory named after the local start time" \
    bash -c '[[ "$(basename "$1")" =~ ^[0-9]{4}(-[0-9]{2}){5}-[0-9]{3}$ ]]' _ "$dir"
  [ -n "$dir" ] || return

  check "recording: several segments, the first one 000-00" \
    bash -c '[ -f "$1/000-00.avi" ] && [ "$(ls "$1"/*.avi | wc -l)" -ge 3 ]' _ "$dir"
  check "recording: every segment finalised, ffprobe reads it at ${frame_width}x${frame_height}, frames = .meta lines" \
    check_segments "$dir"

  # The window lies at (40, 30)-(239, 129). Rows count from the top, so a
  # frame stored upside down or with red and blue swapped shows here.
  local avi=$dir/000-00.avi
  check "recording: the window's pixels where the window is" \
    bash -c '[ "$(pixel "$1" 0 40 30)" = 20a040 ] && [ "$(pixel "$1" 0 239 129)" = 20a040 ]' \
    _ "$avi"
  check "recording: the screen's own pixels around it" \
    bash -c '[ "$(pixel "$1" 0 39 29)" != 20a040 ] && [ "$(pixel "$1" 0 240 130)" != 20a040 ]' \
    _ "$avi"

  # The pointer is at (100, 70); the window's cursor has its hot spot at
  # (5, 8). Wine answers the cursor query of a process that does not own
  # the cursor without the image; then the position stays as it was (0, 0
  # from the start) and nothing is drawn. Where the image is there, it is
  # drawn at (95, 62).
  local meta=$dir/000-00.meta
  local positions
  positions=$(grep -o 'x="[-0-9]*" y="[-0-9]*"' "$meta" | sort -u | tr '\n' ' ')
  case $positions in
    'x="0" y="0" ')
      check "recording: no cursor image: position kept, nothing drawn" \
        [ "$(pixel "$avi" 0 95 62)" = 20a040 ] ;;
    'x="95" y="62" ')
      check "recording: the cursor drawn at its position" \
        [ "$(pixel "$avi" 0 95 62)" = ffffff ] ;;
    *) fail "recording: cursor positions $positions" ;;
  esac

  check "registry: encoding_type = 3 under HKCU\\Software\\GNU\\x264" \
    [ "$(registry_dword encoding_type)" = 0x3 ]
  check "registry: log_level = 0" [ "$(registry_dword log_level)" = 0x0 ]
}

# The driver faults inside two compress calls. Each fault is reported, the
# frame is dropped without a .meta line, and recording goes on; the run ends
# with status 3, as it lost two frames. Also the whole desktop as the source.
test_fault_in_write() {
  TESTVIDC_FAULT_AT=3,14 record_and_interrupt 4 fps=10 slotsecs=1 -totalcapture
  local out=$run_dir/stdout dir
  dir=$(recording_dir)
  check "fault: the run goes on and ends with status 3 (frames lost)" [ "$run_status" -eq 3 ]
  check "fault: the account names the two frames not written" \
    grep -q ' 2 frames not written, ' "$run_dir/stderr"
  check "fault: \"Exception in AVIStreamWrite!\" once per fault" \
    [ "$(grep -c -x $'Exception in AVIStreamWrite!\r' "$out")" -eq 2 ]
  [ -n "$dir" ] || { fail "fault: no recording directory"; return; }
  check "fault: every segment finalised, frames = .meta lines" check_segments "$dir"
  # Every write is one compress call, so the calls are the frame lines plus
  # the two faults: more than 12 lines means calls after the 14th.
  check "fault: frames recorded after the second fault" \
    [ "$(cat "$dir"/*.meta | grep -c '^<frame ')" -gt 12 ]
}

# Ctrl-C pressed on the console the program shares with another program.
test_console_ctrl_c() {
  run_dir=$(mktemp -d "$work/run.XXXX")
  (cd "$run_dir" &&
    exec timeout -s KILL 60 wine "$pieces/ctrl_c.exe" 2500 "$program" fps=10 slotsecs=1 \
      >stdout 2>stderr)
  run_status=$?
  local dir
  dir=$(recording_dir)
  check "console Ctrl-C: the run ends with status 0" [ "$run_status" -eq 0 ]
  [ -n "$dir" ] || { fail "console Ctrl-C: no recording directory"; return; }
  check "console Ctrl-C: every segment finalised, frames = .meta lines" check_segments "$dir"
}

# The end of the session (wineboot --end-session sends WM_QUERYENDSESSION
# and WM_ENDSESSION, as Windows does at shut-down) reaches the handler as
# CTRL_SHUTDOWN_EVENT, and the process lives until the handler returns.
# Ends every program of the prefix: the last test.
test_session_end() {
  local out=$work/session_end.out
  timeout -s KILL 60 wine "$pieces/session_end_test.exe" >"$out" 2>/dev/null &
  local pid=$! i
  for i in $(seq 100); do
    grep -q ready "$out" 2>/dev/null && break
    sleep 0.1
  done
  timeout -s KILL 60 wine wineboot --end-session >/dev/null 2>&1
  wait "$pid"
  check "session end: the watcher calls the handler with CTRL_SHUTDOWN_EVENT and waits for it" \
    [ "$(tr -d '\r' <"$out")" = "$(printf 'ready\nevent 6\nhandled')" ]
}

# A recording when the session ends (shut-down): the program tears down
# with every segment finalised before Windows ends it.
test_recording_session_end() {
  run_dir=$(mktemp -d "$work/run.XXXX")
  (cd "$run_dir" && exec timeout -s KILL 90 wine "$program" fps=10 slotsecs=1 >stdout 2>stderr) &
  local pid=$! i dir
  for i in $(seq 600); do
    [ "$(grep -c ' ShiftAVI! startTime= ' "$run_dir/stdout" 2>/dev/null)" -ge 3 ] && break
    sleep 0.1
  done
  timeout -s KILL 60 wine wineboot --end-session >/dev/null 2>&1
  wait "$pid"
  run_status=$?
  dir=$(recording_dir)
  check "session end while recording: the program ends by itself" [ "$run_status" -ne 137 ]
  [ -n "$dir" ] || { fail "session end while recording: no recording directory"; return; }
  check "session end while recording: every segment finalised, frames = .meta lines" \
    check_segments "$dir"
}

# ---------------------------------------------------------------- main --

export -f pixel
start_display
make_prefix

test_guard_program
test_manifest
test_scan_errors
test_recording
test_fault_in_write
test_console_ctrl_c
test_session_end
test_recording_session_end

if [ "$failures" -ne 0 ]; then
  echo "wine tests: $failures failed"
  exit 1
fi
echo "wine tests: all passed"
