# Thin targets over CMake. `make test` is the whole test suite: the normal
# build, the same tests under AddressSanitizer + UndefinedBehaviorSanitizer,
# the threaded tests under ThreadSanitizer, and the Windows programs under
# Wine.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# The normal build: its directory and type (`make install` builds there too).
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
# A warning stops every build made through make (the scripts it runs see
# SLOTREC_WARNINGS_AS_ERRORS); WARNINGS_AS_ERRORS=OFF lets a packager's new
# compiler warn without failing. A plain CMake build leaves it off.
WARNINGS_AS_ERRORS ?= ON
export SLOTREC_WARNINGS_AS_ERRORS = $(WARNINGS_AS_ERRORS)
WERROR_FLAG = -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WARNINGS_AS_ERRORS)
# make install PREFIX=/usr DESTDIR=/tmp/stage
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all build deps test test-release test-asan test-tsan test-windows fuzz demo run \
        bench windows clean install

all: build

deps:
	@scripts/install-deps

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(WERROR_FLAG) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The three programs, their manual pages and the README, nothing else.
install:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(WERROR_FLAG) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD_DIR) -j $(JOBS) --target slotrec slotrec-check slotrec-join
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

test: deps
	$(MAKE) test-release
	$(MAKE) test-asan
	$(MAKE) test-tsan
	$(MAKE) test-windows

test-release: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSLOTREC_BENCH=OFF \
	  -DSLOTREC_SANITIZE=address,undefined $(WERROR_FLAG) $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE packaging

test-tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSLOTREC_BENCH=OFF \
	  -DSLOTREC_SANITIZE=thread $(WERROR_FLAG) $(CMAKE_FLAGS) >/dev/null
	cmake --build build-tsan -j $(JOBS) --target threaded_tests
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --output-on-failure -L threads -j $(JOBS)

# Both Windows programs built and put through the same checks under Wine,
# the 32-bit one first (listed as skipped where there is no 32-bit Wine).
test-windows:
	JOBS=$(JOBS) scripts/test-windows

# libFuzzer over the command-line scanner, bounded to FUZZ_SECONDS.
FUZZ_SECONDS ?= 30
fuzz:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSLOTREC_FUZZ=ON -DSLOTREC_BENCH=OFF $(WERROR_FLAG) >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzz_arg_scan
	mkdir -p build-fuzz/corpus
	build-fuzz/tests/fuzz/fuzz_arg_scan -max_total_time=$(FUZZ_SECONDS) \
	  -print_final_stats=1 -artifact_prefix=build-fuzz/ build-fuzz/corpus tests/fuzz/seeds

# Records ten seconds (on $$DISPLAY, or on a private virtual display when
# there is none) and says where the files are. Installs only what building
# and recording on Linux need.
demo:
	@scripts/install-deps recording
	$(MAKE) build
	scripts/demo build/slotrec

# Records the user's own X display until Ctrl-C, into recordings/.
run: build
	mkdir -p recordings
	cd recordings && ../build/slotrec $(ARGS)

bench: build
	scripts/bench build

windows:
	scripts/build-windows

clean:
	rm -rf build build-asan build-tsan build-fuzz build-win32 build-win64
