# make run   install what is missing, build, and run the archiver on a sample
# make test  install what is missing, build both builds, run all their tests and
#            check that both builds write the same archives
# make bench build the 64-bit build and run the benchmark

BUILD64 := build/x86-64
BUILD32 := build/x86-32
JOBS    := $(shell nproc 2>/dev/null || echo 4)

.PHONY: all deps build64 build32 run test bench clean

all: build64

deps:
	@scripts/install-deps

build64: deps
	cmake -S . -B $(BUILD64) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD64) -j $(JOBS)

build32: deps
	cmake -S . -B $(BUILD32) -DCMAKE_BUILD_TYPE=Release -DZENDAL_32BIT=ON >/dev/null
	cmake --build $(BUILD32) -j $(JOBS)

run: build64
	scripts/run-sample $(BUILD64)

test: build64 build32
	$(BUILD64)/zendal_tests
	$(BUILD32)/zendal_tests
	scripts/check-builds

bench: build64
	$(BUILD64)/zendal_bench $(CASE)

clean:
	rm -rf build
