# Corvane: `make run` to try it, `make test` to check it. See README.md.
SHELL := /bin/bash
.DEFAULT_GOAL := build
CMAKE_FLAGS ?=

.PHONY: deps build run test bench fuzz clean cross test-arm64

deps:
	@tools/install-packages.sh
	@tools/build-deps.sh
	@tools/install-node-deps.sh

build: deps
	@tools/build.sh normal
	@tools/stage.sh build/normal build/stage

run: build
	@tools/run.sh build/stage

test: deps
	@tools/test.sh

bench: build
	@tools/bench.sh

fuzz: deps
	@tools/fuzz.sh $${FUZZ_SECONDS:-300}

# The camera's 64-bit Arm Linux: cross-compiled into build/arm64 (staged in
# build/arm64-stage), tested here under qemu-user with native receivers.
cross:
	@tools/install-packages.sh
	@tools/install-cross.sh
	@tools/build-deps.sh --target aarch64
	@tools/build.sh arm64
	@tools/stage.sh build/arm64 build/arm64-stage

test-arm64: cross
	@tools/build-deps.sh
	@tools/test-arm64.sh

clean:
	rm -rf build
