# What the whole-run benchmark scripts share; source it, don't run it.
#
#   bench_workdir NAME     a new scratch directory in $work, removed on exit
#                          with every process in $helpers killed first
#   bench_xvfb WxH         a private Xvfb of that size: exports DISPLAY and
#                          XDG_CONFIG_HOME (in $work), sets $xvfb, and adds
#                          it to $helpers

helpers=()

bench_cleanup() {
  for pid in "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}

bench_workdir() {
  work=$(mktemp -d "/tmp/slotrec-$1.XXXXXX")
  trap bench_cleanup EXIT
}

bench_xvfb() {
  rm -f "$work/display"
  Xvfb -displayfd 1 -screen 0 "$1x24" -nolisten tcp >"$work/display" 2>/dev/null &
  xvfb=$!
  helpers+=("$xvfb")
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$work/display")"
  export XDG_CONFIG_HOME="$work/config"
}
