# Entry points; everything else is CMake.
#   make run     build the plug-in, the poller and the simulator, start polling the built-in simulator
#   make test    install what is missing, build everything and run every test
#   (make, make run and make test leave bin/vx42b-poll and bin/vx42b-sim, links to the built programs)
#   make asan    the tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   make tsan    the poller's threaded tests (MQTT, web server, page) under ThreadSanitizer
#   make arm     cross-build for arm-linux-gnueabihf and run the tests under qemu-arm
#   make bench   build and run the benchmarks
#   make mutants one-line mutation check of the plug-in's code (long; see docs/development.md)
#   make profile per steady round: instructions (callgrind), allocations, bytes; the poller's instructions and wake-ups
#   make soak    a long run against the simulator with faults (ROUNDS=10000)
#   make fuzz    build the libFuzzer targets; make fuzz-run runs each (FUZZ_SECONDS=60)
#   make format  format the C++ sources with clang-format-14 (.clang-format)
#   make format-check  list what make format would change, fail if anything
#   make package Debian packages for amd64 and armhf in dist/
JOBS ?= $(shell nproc)
BUILD ?= build
ARGS ?=
ROUNDS ?= 10000
FUZZ_SECONDS ?= 60

PROFILE_ROUNDS ?= 20

.PHONY: all deps deps-run links build programs run test asan tsan arm bench profile soak fuzz fuzz-run fuzz-corpus mutants format format-check package clean

all: build

deps:
	@scripts/install-deps.sh

# What make run needs: compilers and libraries, none of the test tools (browser, broker, lintian).
deps-run:
	@scripts/install-deps.sh --run

CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

BUILD_FROM_BIN = $(if $(filter /%,$(BUILD)),$(BUILD),../$(BUILD))
# One name for each program in every command of the docs, whatever the build directory.
links:
	@mkdir -p bin
	@ln -sfn $(BUILD_FROM_BIN)/tools/poll/vx42b-poll bin/vx42b-poll
	@ln -sfn $(BUILD_FROM_BIN)/tools/sim/vx42b-sim bin/vx42b-sim

build: deps
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)
	@$(MAKE) --no-print-directory links

# The plug-in, the poller and the simulator; no test program.
programs: deps-run
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target vx42b vx42b-poll vx42b-sim
	@$(MAKE) --no-print-directory links

run: programs
	bin/vx42b-poll $(ARGS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVX42B_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j $(JOBS)

TSAN_TESTS = poll_mqtt_test poll_http_test poll_http_edge_test poll_page_test poll_net_test poll_history_writer_test
tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX42B_TSAN=ON
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TESTS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build-tsan --output-on-failure -j $(JOBS) \
	  -R '^($(subst $(eval) ,|,$(TSAN_TESTS)))$$'

arm:
	@scripts/install-deps.sh --arm
	cmake -S . -B build-arm -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
	cmake --build build-arm -j $(JOBS)
	ctest --test-dir build-arm --output-on-failure -j $(JOBS) -LE host-only

bench:
	@scripts/install-deps.sh --bench
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVX42B_BENCH=ON -DVX42B_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	build-bench/bench/vx42b_bench

# FILES, OPS, SAMPLE, SEED, TIMEOUT narrow or pace the run; it goes on where it stopped.
mutants:
	@scripts/install-deps.sh --mutants
	scripts/mutants.py JOBS=$(JOBS) FILES="$(FILES)" OPS="$(OPS)" SAMPLE="$(SAMPLE)" SEED="$(SEED)" TIMEOUT="$(TIMEOUT)"

# The same Release build as the benchmarks; the poller's own cost follows.
profile:
	@scripts/install-deps.sh --bench --profile
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVX42B_BENCH=ON -DVX42B_TESTS=OFF
	cmake --build build-bench -j $(JOBS) --target vx42b-profile vx42b-poll
	build-bench/tools/profile/vx42b-profile --rounds $(PROFILE_ROUNDS)
	scripts/profile-poll.sh build-bench

soak: build
	$(BUILD)/tools/soak/vx42b-soak --rounds $(ROUNDS) --progress

fuzz:
	@scripts/install-deps.sh --fuzz
	CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX42B_FUZZ=ON -DVX42B_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS) --target fuzz_targets fuzz_make_corpus

fuzz-run: fuzz
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# Rewrites the seed corpora in fuzz/corpus from simulator traffic.
fuzz-corpus: fuzz
	build-fuzz/fuzz/fuzz_make_corpus fuzz/corpus > /dev/null

# Tracked C++ sources (the source folders outside a git checkout); build trees are left alone.
SOURCE_DIRS = ac dc rectifier power plugin records host tools tests bench fuzz
FORMAT_FILES = $(shell (git ls-files '*.h' '*.cpp' 2>/dev/null | grep .) || \
                 find $(SOURCE_DIRS) -name '*.h' -o -name '*.cpp' 2>/dev/null)
CLANG_FORMAT ?= clang-format-14

format:
	@scripts/install-deps.sh --format
	$(CLANG_FORMAT) -i $(FORMAT_FILES)

format-check:
	@scripts/install-deps.sh --format
	@echo "$(CLANG_FORMAT) --dry-run --Werror over $(words $(FORMAT_FILES)) files"
	@$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)

package:
	@scripts/install-deps.sh --arm
	cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DVX42B_TESTS=OFF
	cmake --build build-pkg -j $(JOBS)
	cd build-pkg && cpack -G DEB
	cmake -S . -B build-pkg-arm -DCMAKE_BUILD_TYPE=Release -DVX42B_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
	cmake --build build-pkg-arm -j $(JOBS)
	cd build-pkg-arm && cpack -G DEB
	rm -f dist/vx42b_*.deb
	mkdir -p dist
	cp build-pkg/vx42b_*.deb build-pkg-arm/vx42b_*.deb dist/
	for deb in dist/vx42b_*.deb; do tests/check_deb_depends.sh $$deb || exit 1; done
	lintian --pedantic --display-info --fail-on error,warning dist/vx42b_*.deb
	@ls -l dist/vx42b_*.deb

clean:
	rm -rf bin build build-asan build-tsan build-arm build-bench build-profile build-fuzz build-mutants
	rm -rf build-pkg build-pkg-arm dist
