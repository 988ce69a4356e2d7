#!/usr/bin/env bash
# What a packager does with slotrec: a Release build from the source tree in
# a new build directory, warnings not errors, without the tests; `make
# install PREFIX=/usr DESTDIR=...`; exactly the three programs, their manual
# pages and the README installed; `cmake --install` to another prefix; the
# manual pages read with `man -l`; a configure without GoogleTest and Google
# Benchmark.
#
#   packaging_test.sh SOURCE_DIR WORK_DIR
# Exit status 0 passed, 1 failed, 77 skipped (no man to read the pages with).
set -euo pipefail
source_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work"

fail() {
  echo "packaging_test: $*" >&2
  exit 1
}

# The build: Release, warnings allowed, no tests or benchmarks.
make -C "$source_dir" --no-print-directory install BUILD_DIR="$work/build" BUILD_TYPE=Release \
  WARNINGS_AS_ERRORS=OFF CMAKE_FLAGS="-DSLOTREC_TESTS=OFF -DSLOTREC_BENCH=OFF" \
  PREFIX=/usr DESTDIR="$work/stage" JOBS="${JOBS:-2}" >"$work/make.log" 2>&1 ||
  { cat "$work/make.log" >&2; fail "make install failed"; }
grep -Eq '^CMAKE_COMPILE_WARNING_AS_ERROR:[A-Z]+=OFF$' "$work/build/CMakeCache.txt" ||
  fail "the build treats warnings as errors"
grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$work/build/CMakeCache.txt" || fail "not a Release build"
[ ! -e "$work/build/tests" ] || fail "the tests were configured with SLOTREC_TESTS=OFF"

expected='usr/bin/slotrec
usr/bin/slotrec-check
usr/bin/slotrec-join
usr/share/doc/slotrec/README.md
usr/share/man/man1/slotrec-check.1
usr/share/man/man1/slotrec-join.1
usr/share/man/man1/slotrec.1'
installed=$(cd "$work/stage" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed" = "$expected" ] || fail "make install put in place:
$installed
instead of:
$expected"
cmp -s "$source_dir/README.md" "$work/stage/usr/share/doc/slotrec/README.md" || fail "README.md differs"

# cmake --install honours its own prefix and DESTDIR too.
DESTDIR="$work/stage2" cmake --install "$work/build" --prefix /opt/slotrec >/dev/null
for f in bin/slotrec bin/slotrec-check bin/slotrec-join share/man/man1/slotrec.1; do
  [ -f "$work/stage2/opt/slotrec/$f" ] || fail "cmake --install --prefix /opt/slotrec: no $f"
done

# The installed programs run.
bin=$work/stage/usr/bin
"$bin/slotrec-check" --help | grep -q '^Usage: slotrec-check' || fail "slotrec-check --help"
"$bin/slotrec-join" --help | grep -q '^Usage: slotrec-join' || fail "slotrec-join --help"
status=0
"$bin/slotrec" fps=0 >"$work/slotrec.out" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q '^Screen Recording$' "$work/slotrec.out" || fail "slotrec fps=0 (status $status)"

# Without GoogleTest and Google Benchmark the project still configures.
cmake -S "$source_dir" -B "$work/bare" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$work/bare.log" 2>&1 ||
  { cat "$work/bare.log" >&2; fail "configure without GoogleTest failed"; }
grep -q 'GoogleTest not found: the tests are left out' "$work/bare.log" || fail "no word of the tests left out"
grep -q 'Google Benchmark not found: the benchmarks are left out' "$work/bare.log" ||
  fail "no word of the benchmarks left out"

# The manual pages, as man shows them.
if ! command -v man >/dev/null; then
  echo "packaging_test: man is not installed (Debian: man-db); the manual pages were not read"
  exit 77
fi
man_dir=$work/stage/usr/share/man/man1
read_page() {
  local page=$1
  shift
  local warnings
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man_dir/$page" 2>&1 >/dev/null) ||
    fail "man -l $page failed"
  [ -z "$warnings" ] || fail "man -l $page warns: $warnings"
  local text
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$man_dir/$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION "$@"; do
    grep -q "^$section\$" <<<"$text" || fail "$page has no $section section"
  done
}
read_page slotrec.1 OPTIONS "FILES WRITTEN" "META FORMAT" "SETTINGS FILE" "EXIT STATUS" SIGNALS EXAMPLES
read_page slotrec-check.1 OPTIONS OUTPUT "EXIT STATUS" EXAMPLES
read_page slotrec-join.1 OPTIONS OUTPUT "EXIT STATUS" EXAMPLES
echo "packaging_test: passed"
