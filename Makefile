# make run   install what is missing, build, and run the archiver on a sample
# make test  install what is missing, build both builds, run all their tests and
#            check that both builds write the same archives
# make bench build the 64-bit build and run the benchmark
# make fuzz  build the libFuzzer harnesses (clang-14) in build/fuzz and run each
#            for FUZZ_SECONDS (scripts/fuzz)
# make sanitize  build build/sanitize with AddressSanitizer and
#            UndefinedBehaviorSanitizer and run all its tests

BUILD64 := build/x86-64
BUILD32 := build/x86-32
SANITIZE := build/sanitize
# Extra arguments for the sanitizer build's ctest, e.g. -E <slow test>.
SANITIZE_CTEST :=
FUZZ_SECONDS := 60
JOBS    := $(shell nproc 2>/dev/null || echo 4)
# How the 32-bit build's programs run: auto (natively where the kernel runs
# them, else under qemu-i386), native or qemu.
RUN32   := auto

.PHONY: all deps deps-fuzz build64 build32 run test bench fuzz sanitize clean

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
