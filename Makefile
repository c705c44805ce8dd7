# make run   install what is missing, build, and run the archiver on a sample
# make test  install what is missing, build both builds, run all their tests and
#            check that both builds write the same archives
# make bench build the 64-bit build and run the benchmark

BUILD64 := build/x86-64
BUILD32 := build/x86-32
JOBS    := $(shell nproc 2>/dev/null || echo 4)
# How the 32-bit build's programs run: auto (natively where the kernel runs
# them, else under qemu-i386), native or qemu.
RUN32   := auto

.PHONY: all deps build64 build32 run test bench clean

all: build64

deps:
	@scripts/install-deps

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

bench: build64
	$(BUILD64)/zendal_bench $(CASE)

clean:
	rm -rf build
