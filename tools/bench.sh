#!/usr/bin/env bash
# Runs every benchmark of the normal build; each prints its own figures.
set -euo pipefail
cd "$(dirname "$0")/.."
export CORVANE_SOURCE_DIR=$PWD CORVANE_BINARY_DIR=$PWD/build/normal FFMPEG_BIN=$PWD/.deps/ffmpeg-native/bin
for bench in build/normal/bench/*_bench; do
  [[ -x "$bench" ]] || continue
  echo "== ${bench##*/}"
  # In a network namespace of its own, so its ports meet nothing else.
  tools/in-netns.sh "$bench"
done
# Benchmarks that drive the real program from outside.
for bench in bench/*_bench.py; do
  echo "== ${bench##*/}"
  tools/in-netns.sh /usr/bin/python3 "$bench"
done
