# Entry points; everything else is CMake.
#   make run     build and start the poller on the built-in simulator
#   make test    install what is missing, build and run every test
#   make asan    the tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   make arm     cross-build for arm-linux-gnueabihf and run the tests under qemu-arm
#   make bench   build and run the benchmarks
#   make profile per steady round: instructions (callgrind), allocations, bytes
JOBS ?= $(shell nproc)
BUILD ?= build
ARGS ?=

PROFILE_ROUNDS ?= 20

.PHONY: all deps build run test asan arm bench profile fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/tools/poll/vx42b-poll $(ARGS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVX42B_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j $(JOBS)

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

# The same Release build as the benchmarks; the poller's own cost follows.
profile:
	@scripts/install-deps.sh --bench --profile
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVX42B_BENCH=ON -DVX42B_TESTS=OFF
	cmake --build build-bench -j $(JOBS) --target vx42b-profile vx42b-poll
	build-bench/tools/profile/vx42b-profile --rounds $(PROFILE_ROUNDS)
	scripts/profile-poll.sh build-bench

fuzz:
	@scripts/install-deps.sh --fuzz
	CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DVX42B_FUZZ=ON -DVX42B_TESTS=OFF -DVX42B_TOOLS=OFF
	cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf build build-asan build-arm build-bench build-fuzz
