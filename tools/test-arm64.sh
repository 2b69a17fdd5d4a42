#!/usr/bin/env bash
# Runs the tests of the 64-bit Arm build (build/arm64, made by `make cross`)
# on this machine under qemu-user. No binfmt_misc registration is needed:
# CTest puts the emulator in front of every test program, and the test
# harness in front of the program and of the build's helper programs
# (CORVANE_EMULATOR). FFmpeg's receiver and ffprobe, dbus-daemon and the
# scripts stay native. The last line totals the tests.
#
#   tools/test-arm64.sh [extra ctest arguments, e.g. -R publish]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/arm64
t0=$(date +%s)
say() { printf '[test-arm64 %4ds] %s\n' $(( $(date +%s) - t0 )) "$*"; }

[[ -f "$build/CTestTestfile.cmake" ]] || { say "no $build: run \`make cross\` first"; exit 1; }
[[ -x .deps/ffmpeg-native/bin/ffmpeg ]] || { say "no native ffmpeg: run \`make deps\` first"; exit 1; }
emulator=$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' "$build/CMakeCache.txt")
[[ -z "$emulator" ]] && emulator=$(sed -n 's/^CORVANE_QEMU_AARCH64:[A-Z]*=//p' "$build/CMakeCache.txt")
[[ -x "${emulator%% *}" ]] || { say "no qemu-aarch64 (run tools/install-cross.sh)"; exit 1; }

# Proof that the binaries are the target's and run only through the emulator.
say "program built for: $(readelf -h "$build/corvane" | sed -n 's/^ *Machine: *//p')"
say "emulator: $emulator"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
jobs=${CTEST_JOBS:-2}
log=build/arm64.ctest.log
say "testing (unit, integration, concurrency; $jobs at a time)"
ctest --test-dir "$build" --output-on-failure -j "$jobs" \
  -L 'unit|integration|concurrency' -LE 'long|browser|fuzz' "$@" 2>&1 | tee "$log" |
  grep -E '^\s*[0-9]+/[0-9]+ Test|tests passed|Total Test time|\*\*\*|Failed|Error' || true

summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
if [[ -z "$summary" ]]; then
  say "no test ran"
  echo "arm64: 0 passed, 1 failed"
  exit 1
fi
total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<< "$summary")
fail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<< "$summary")
say "done in $(( $(date +%s) - t0 )) s"
echo "arm64: $((total - fail)) passed, $fail failed"
((fail == 0))
