#!/usr/bin/env bash
# The whole suite in three stages, each building only what it runs:
#   normal      everything built, every test run
#   asan+ubsan  (clang, the fuzzers in the same tree) the unit, platform and
#               black-box tests but the long and browser ones, and a short
#               run of every fuzzer
#   tsan        the tests labelled concurrency
# Every stage runs; each prints its time, the last line totals the tests, and
# the exit status says whether all passed. CTEST_JOBS (default 2) runs tests
# side by side.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
t0=$(date +%s)
say() { printf '[test %4ds] %s\n' $(( $(date +%s) - t0 )) "$*"; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tools/tsan/suppressions.txt}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tools/lsan-suppressions.txt}
jobs=${CTEST_JOBS:-2}

passed=0 failed=0 failed_stages=() times=()
run_stage() { # name flavour build-label ctest-args...
  local name=$1 flavour=$2 label=$3; shift 3
  local start=$(date +%s) only=()
  [[ -n "$label" ]] && only=(--label "$label")
  say "$name: building"
  if ! tools/build.sh "$flavour" "${only[@]}" > "build/$flavour.build.log" 2>&1; then
    tail -n 40 "build/$flavour.build.log"
    say "$name: BUILD FAILED (build/$flavour.build.log)"
    failed=$((failed + 1)) failed_stages+=("$name (build)") times+=("$name $(( $(date +%s) - start )) s")
    return
  fi
  local built=$(date +%s)
  say "$name: built in $(( built - start )) s, testing"
  local log="build/$flavour.ctest.log"
  ctest --test-dir "build/$flavour" --output-on-failure -j "$jobs" "$@" > "$log" 2>&1
  grep -E '^ *[0-9]+/[0-9]+ Test' "$log" | sed -E 's/^ *//'
  local summary total fail
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  if [[ -z "$summary" ]]; then
    tail -n 20 "$log"
    say "$name: no test ran"
    failed=$((failed + 1)) failed_stages+=("$name (no tests)")
  else
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<< "$summary")
    fail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<< "$summary")
    passed=$((passed + total - fail)) failed=$((failed + fail))
    if ((fail > 0)); then
      failed_stages+=("$name")
      # What failed and why, without the noise around it; the whole is in $log.
      grep -E -A6 '(: Failure$|^\[  FAILED  \]|^(FAIL|ERROR): |^AssertionError|Error: |^not ok|ERROR: (Address|Thread|Leak)Sanitizer|runtime error:|==[0-9]+==ERROR)' "$log" |
        head -n 120
      say "$name: full output in $log"
    fi
  fi
  times+=("$name $(( $(date +%s) - start )) s (build $(( built - start )) s, tests $(( $(date +%s) - built )) s)")
  say "$name: done in $(( $(date +%s) - start )) s"
}

mkdir -p build
run_stage "normal" normal ""
tools/stage.sh build/normal build/stage > /dev/null 2>&1 || true
run_stage "asan+ubsan" asan 'unit|integration|fuzz' -L 'unit|integration|fuzz' -LE 'long|browser'
run_stage "tsan" tsan concurrency -L concurrency -LE long

say "done in $(( $(date +%s) - t0 )) s"
printf '  %s\n' "${times[@]}"
if ((${#failed_stages[@]})); then
  say "failed: ${failed_stages[*]}"
fi
echo "total: $passed passed, $failed failed"
((${#failed_stages[@]} == 0))
