# make run   install what is missing, build, and run the archiver on a sample
# make test  install what is missing, build both builds, run all their tests and
#            check that both builds write the same archives
# make bench build the 64-bit build and run the benchmark
# make fuzz  build the libFuzzer harnesses (clang-14) in build/fuzz and run each
#            for FUZZ_SECONDS (scripts/fuzz)
# make sanitize  build build/sanitize with AddressSanitizer and
#            UndefinedBehaviorSanitizer and run all its tests
# make windows  install MinGW-w64, Wine and libdivsufsort for Windows, and
#            build zendal.exe for x86-64 and 32-bit x86 (build/windows-*)
# make test-windows  build both Windows builds and test them under Wine

BUILD64 := build/x86-64
BUILD32 := build/x86-32
BUILDW64 := build/windows-x86-64
BUILDW32 := build/windows-x86-32
SANITIZE := build/sanitize
# Extra arguments for the sanitizer build's ctest, e.g. -E <slow test>.
SANITIZE_CTEST :=
FUZZ_SECONDS := 60
JOBS    := $(shell nproc 2>/dev/null || echo 4)
# How the 32-bit build's programs run: auto (natively where the kernel runs
# them, else under qemu-i386), native or qemu.
RUN32   := auto

.PHONY: all deps deps-fuzz deps-windows build64 build32 windows windows64 windows32 run test test-windows bench fuzz sanitize clean

all: build64

deps:
	@scripts/install-deps

deps-fuzz:
	@scripts/install-deps fuzz

build64: deps
	cmake -S . -B $(BUILD64) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD64) -j $(JOBS)

build32: deps
	cmake -S . -B $(BUILD32) -DCMAKE_BUILD_TYPE=Release -DZENDAL_32BIT=ON -DZENDAL_RUN_32BIT=$(RUN32) >/dev/null
	cmake --build $(BUILD32) -j $(JOBS)

deps-windows:
	@scripts/install-deps-windows

# The Windows builds: cross compiled, statically linked; their test programs
# are listed at build time under Wine, in the build's own prefix.
windows64: deps-windows
	scripts/wine-run wineboot -i >/dev/null 2>&1 || true
	cmake -S . -B $(BUILDW64) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
	cmake --build $(BUILDW64) -j $(JOBS)

# Only the program: its test program is built by scripts/test-windows where
# 32-bit programs run under Wine here (their listing runs at build time).
windows32: deps-windows
	cmake -S . -B $(BUILDW32) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
	cmake --build $(BUILDW32) -j $(JOBS) --target zendal

windows: windows64 windows32

test-windows: windows build64
	scripts/test-windows

run: build64
	scripts/run-sample $(BUILD64)

# Each build's tests run in parallel through CTest; the 32-bit build's run
# under qemu-i386 where this kernel runs no 32-bit programs.
test: build64 build32
	cd $(BUILD64) && ctest -j $(JOBS) --output-on-failure
	@if [ -s $(BUILD32)/emulator ]; then \
	    echo "32-bit build: run under $$(cat $(BUILD32)/emulator)$(if $(filter qemu,$(RUN32)), (RUN32=qemu), as this kernel runs no 32-bit programs)"; \
	else echo "32-bit build: run natively"; fi
	cd $(BUILD32) && ctest -j $(JOBS) --output-on-failure
	scripts/check-builds

fuzz: deps-fuzz
	scripts/fuzz $(FUZZ_SECONDS)

# -O1 halves the build time under the sanitizers and loses them nothing.
sanitize: deps
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 \
	    -DZENDAL_SANITIZE=ON >/dev/null
	cmake --build $(SANITIZE) -j $(JOBS) --target zendal_tests
	cd $(SANITIZE) && ctest -j $(JOBS) --output-on-failure $(SANITIZE_CTEST)

bench: build64
	$(BUILD64)/zendal_bench $(CASE)

clean:
	rm -rf build
