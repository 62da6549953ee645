# One entry point for building, testing and running the driver.
#   make build     install missing Debian packages, configure and build into build/
#   make test      build, then run the whole test suite
#   make sanitize  the suite under ASan+UBSan (build-asan/), and the threaded suites under TSan (build-tsan/)
#   make demo      build only what the demo runs (the module, zarnhost, zarncam), then run the reference
#                  host against the built-in camera simulator
#   make package   build, then the Debian package (build/*.deb) and, when make windows has built
#                  both DLLs, the Windows .zip (build/*-windows.zip)
#   make bench     build the benchmarks into build/ and run them (about two minutes): the parser and
#                  live-stream benchmarks, then many_bench (MANY_CHANNELS channel counts, a
#                  MANY_SECONDS window each, beside a floor receiver and curl; the table also goes to
#                  build/many-bench.txt)
#   make windows   build ZarnHDIPCapture.dll and zarnhost.exe for 32-bit (build-win32/) and 64-bit
#                  (build-win64/) Windows with MinGW-w64, check the slot layout and the DLLs' export
#                  and import tables
#   make windows-test  the Windows suites and zarnhost.exe (64-bit) under Wine, against a native
#                  camera simulator
#   make windows-test32  the Windows suites and zarnhost.exe built for 32-bit, run under the
#                  32-bit Wine through qemu-i386 (installed by install-deps.sh windows32; WIN32_SUITES
#                  picks CTest labels; not part of CI)

CMAKE_FLAGS ?=
JOBS ?= 2
# Suites that run threads: they also run under ThreadSanitizer.
THREADED_SUITES ?= thread|platform|channel|driver|ptz|preset|properties|e2e|host|camsim|http
# Minimum time per micro-benchmark (seconds); the live-stream benchmark always runs one 3 s window.
BENCH_MIN_TIME ?= 0.5
BENCH_FLAGS ?=
# The many-camera run: channel counts (comma-separated) and the measured window of each (seconds).
MANY_CHANNELS ?= 1,16,64
MANY_SECONDS ?= 10

.PHONY: all deps build test sanitize sanitize-address sanitize-thread demo package bench deps-windows windows windows-test deps-windows32 windows-test32 clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

sanitize: sanitize-address sanitize-thread

sanitize-address: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZARN_SANITIZE=address -DZARN_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

sanitize-thread: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZARN_SANITIZE=thread -DZARN_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L '$(THREADED_SUITES)'

# Only the three targets the demo runs, not the suites: a first run is quick.
demo: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target ZarnHDIPCapture zarnhost zarncam
	./build/tools/host/zarnhost demo

package: build
	cd build && cpack -G DEB
	cmake -DSOURCE_DIR=. -DOUTPUT_DIR=build -P cmake/windows-zip.cmake

bench: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target parser_bench stream_bench many_bench
	./build/bench/parser_bench --benchmark_min_time=$(BENCH_MIN_TIME) $(BENCH_FLAGS)
	./build/bench/stream_bench $(BENCH_FLAGS)
	./build/bench/many_bench --channels $(MANY_CHANNELS) --seconds $(MANY_SECONDS) --report build/many-bench.txt

deps-windows:
	./scripts/install-deps.sh windows

windows: deps-windows
	cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DZARN_BUILD_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build-win32 -j $(JOBS) --target ZarnHDIPCapture slot_check zarnhost
	cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DZARN_BUILD_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build-win64 -j $(JOBS) --target ZarnHDIPCapture zarnhost
	./scripts/check-dll.sh i686 build-win32/ZarnHDIPCapture.dll
	./scripts/check-dll.sh x86_64 build-win64/ZarnHDIPCapture.dll

# The native simulator comes from the Linux build (build/); only zarncam is built there.
windows-test: windows deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target zarncam
	cmake --build build-win64 -j $(JOBS)
	./scripts/wine-suite.sh build-win64 build/tools/camsim/zarncam

# The 32-bit suites: all are built, WIN32_SUITES (a CTest label expression; all by default) run.
# Everything under qemu-i386 is CPU-heavy, so it runs at a lower priority.
WIN32_SUITES ?= .
deps-windows32:
	./scripts/install-deps.sh windows32

windows-test32: deps-windows32 windows deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target zarncam
	cmake --build build-win32 -j $(JOBS)
	nice -n 10 ./scripts/wine-suite.sh --arch 32 build-win32 build/tools/camsim/zarncam -L '$(WIN32_SUITES)'

clean:
	rm -rf build build-asan build-tsan build-win32 build-win64 build-fuzz demo-out

# Reliability: fuzz targets (fuzz/, clang + libFuzzer + ASan + UBSan, build-fuzz/), one after the
# other at the lowest priority; see docs/reliability.md.
#   make fuzz      every target for FUZZ_SECONDS (default 60) each; non-zero on any finding
#   make fuzz-ci   every target for 20 s each; non-zero on any finding
FUZZ_SECONDS ?= 60
.PHONY: fuzz fuzz-ci
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) ./scripts/fuzz.sh

fuzz-ci:
	FUZZ_SECONDS=20 JOBS=$(JOBS) ./scripts/fuzz.sh

# Reliability: the soak run (bench/soak.cpp, not part of CI): one host process, 16 channels through
# the loaded module against chaos cameras for SOAK_MINUTES (default 10); the report goes to
# build/soak-report.txt as well. Non-zero on a decode failure, a channel that does not recover, an
# unexplained signal loss, or growth of memory, descriptors or threads.
SOAK_MINUTES ?= 10
.PHONY: soak
soak: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target soak
	SOAK_MINUTES=$(SOAK_MINUTES) nice -n 19 ./build/bench/soak --report build/soak-report.txt
