# Corvane: `make run` to try it, `make test` to check it. See README.md.
SHELL := /bin/bash
.DEFAULT_GOAL := build
CMAKE_FLAGS ?=

.PHONY: deps test-deps build run test bench fuzz clean cross test-arm64

# What building and running need: deps/packages.txt, FFmpeg and CivetWeb.
deps:
	@tools/install-packages.sh deps/packages.txt
	@tools/build-deps.sh

# What testing needs on top: deps/packages-test.txt and the browser tests' Node packages.
test-deps: deps
	@tools/install-packages.sh deps/packages.txt deps/packages-test.txt
	@tools/install-node-deps.sh

build: deps
	@tools/build.sh normal --program
	@tools/stage.sh build/normal build/stage

run: build
	@tools/run.sh build/stage

test: test-deps
	@tools/test.sh

bench: test-deps
	@tools/build.sh normal
	@tools/stage.sh build/normal build/stage
	@tools/bench.sh

fuzz: test-deps
	@tools/fuzz.sh $${FUZZ_SECONDS:-300}

# The camera's 64-bit Arm Linux: cross-compiled into build/arm64 (staged in
# build/arm64-stage), tested here under qemu-user with native receivers.
cross:
	@tools/install-packages.sh deps/packages.txt deps/packages-test.txt
	@tools/install-cross.sh
	@tools/build-deps.sh --target aarch64
	@tools/build.sh arm64
	@tools/stage.sh build/arm64 build/arm64-stage

test-arm64: cross
	@tools/build-deps.sh
	@tools/install-node-deps.sh
	@tools/test-arm64.sh

clean:
	rm -rf build
