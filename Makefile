# Entry points; everything else is CMake.
#   make run     build and start the poller on the built-in simulator
#   make test    install what is missing, build and run every test
#   make asan    the tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   make arm     cross-build for arm-linux-gnueabihf and run the tests under qemu-arm
#   make bench   build and run the benchmarks
#   make package Debian packages for amd64 and armhf in dist/
JOBS ?= $(shell nproc)
BUILD ?= build
ARGS ?=

.PHONY: all deps build run test asan arm bench fuzz package clean

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

fuzz:
	@scripts/install-deps.sh --fuzz
	CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DVX42B_FUZZ=ON -DVX42B_TESTS=OFF -DVX42B_TOOLS=OFF
	cmake --build build-fuzz -j $(JOBS)

package:
	@scripts/install-deps.sh --arm
	cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DVX42B_TESTS=OFF
	cmake --build build-pkg -j $(JOBS)
	cd build-pkg && cpack -G DEB
	cmake -S . -B build-pkg-arm -DCMAKE_BUILD_TYPE=Release -DVX42B_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
	cmake --build build-pkg-arm -j $(JOBS)
	cd build-pkg-arm && cpack -G DEB
	mkdir -p dist
	cp build-pkg/vx42b_*.deb build-pkg-arm/vx42b_*.deb dist/
	lintian --fail-on error dist/vx42b_*.deb
	@ls -l dist/vx42b_*.deb

clean:
	rm -rf build build-asan build-arm build-bench build-fuzz build-pkg build-pkg-arm dist
