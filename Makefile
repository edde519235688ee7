# `make run` starts the window (the terminal mode without a display); `make test` builds and
# runs every test, as CI does.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
WIN_BUILD  ?= build-windows
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# The makes that CMake starts print every folder they enter and leave; the build's progress
# and the results say what a user needs.
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build run test test-main test-asan test-tsan test-windows fuzz bench \
	package clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Without a display the window cannot open: the terminal mode sends the window's initial URL
# through both stacks instead (RUN_URL; any URL works).
RUN_URL ?= https://example.com/
HAS_DISPLAY = $(or $(DISPLAY),$(WAYLAND_DISPLAY),$(QT_QPA_PLATFORM))

run: configure
ifneq ($(HAS_DISPLAY),)
	@cmake --build $(BUILD) -j $(JOBS) --target ostrel
	@$(BUILD)/bin/ostrel
else
	@cmake --build $(BUILD) -j $(JOBS) --target ostrel-cli
	@echo "make run: no display (DISPLAY or WAYLAND_DISPLAY), so the terminal mode: ostrel-cli $(RUN_URL)"
	@$(BUILD)/bin/ostrel-cli $(RUN_URL)
endif

test: test-main test-asan

test-main: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# Unit and integration tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON \
	  -DOSTREL_BUILD_APP=OFF -DOSTREL_BUILD_BENCH=OFF $(CMAKE_ARGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600 -L 'unit|integration'

# The tests that use threads, under ThreadSanitizer (CI runs it after `make test`):
# libwinhttp's two programs, several of whose tests drive one session from many threads; the
# WinHTTP engine (cancel from another thread); the asynchronous mode (callbacks on the
# library's threads, requests closed from another); the engine contract's request (its cancel
# hook); the client; the in-process registry, dispatcher and engine; the server pipeline; and
# the first binding of the WinHTTP library from several threads at once. Only these targets
# are built. A report stops the program, which then fails.
TSAN_TESTS ?= test_winhttp_api test_winhttp_transfer test_winhttp_engine test_winhttp_async \
	test_winhttp_async_core test_winhttp_async_contract test_engine test_client test_inproc test_server \
	test_winhttp_binding_threads
test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE_THREAD=ON \
	  -DOSTREL_BUILD_APP=OFF -DOSTREL_BUILD_BENCH=OFF $(CMAKE_ARGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)
	@set -e; for T in $(TSAN_TESTS); do \
	  echo "test-tsan: $$T"; \
	  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/bin/$$T --gtest_brief=1; \
	done

# The tool's Debian package: $(BUILD)/ostrel_<version>_<architecture>.deb.
package: build
	@cd $(BUILD) && cpack -G DEB

# The framework core built for Windows with mingw-w64 and its tests run under Wine, against
# Wine's own winhttp.dll (scripts/run-windows-tests keeps one wineserver for the run).
test-windows: deps
	@scripts/install-windows-deps
	@cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/Toolchain.MinGW.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null
	@cmake --build $(WIN_BUILD) -j $(JOBS)
	@scripts/run-windows-tests $(WIN_BUILD) -j $(JOBS) --timeout 300

# Every benchmark, then the summary of every target (also $(BUILD)/bench-summary.json).
# BENCH_ARGS reaches each program, e.g. make bench BENCH_ARGS="--rounds 80".
bench: configure
	@cmake --build $(BUILD) -j $(JOBS)
	@scripts/run-bench $(BUILD)

fuzz: deps
	@scripts/run-fuzz

clean:
	@rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(WIN_BUILD) build-fuzz
