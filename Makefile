# Corvane: `make run` to try it, `make test` to check it. See README.md.
SHELL := /bin/bash
.DEFAULT_GOAL := build
CMAKE_FLAGS ?=

.PHONY: deps build run test bench fuzz clean

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

clean:
	rm -rf build
