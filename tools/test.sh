#!/usr/bin/env bash
# The whole suite in three stages, each building only what it runs:
#   normal      everything built, every test run
#   asan+ubsan  (clang, the fuzzers in the same tree) the unit, platform and
#               black-box tests but the long and browser ones, and a short
#               run of every fuzzer
#   tsan        the tests labelled concurrency
# Every stage runs; each prints its times, the last line totals the tests, and
# the exit status says whether all passed. CTEST_JOBS (default 2) runs tests
# side by side. Build logs and test outputs stay in build/<flavour>.*.log.
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
declare -A build_pid build_start build_time

# Builds run niced in the background, so the next stage's build overlaps
# this stage's tests (which mostly wait on paced streams); never two builds at once.
start_build() { # flavour build-label
  local flavour=$1 only=()
  [[ -n "$2" ]] && only=(--label "$2")
  build_start[$flavour]=$(date +%s)
  nice -n 19 tools/build.sh "$flavour" "${only[@]}" > "build/$flavour.build.log" 2>&1 &
  build_pid[$flavour]=$!
}

finish_build() { # flavour: waits for its build; false when it failed
  local flavour=$1 status=0
  wait "${build_pid[$flavour]}" || status=$?
  build_time[$flavour]=$(( $(date +%s) - ${build_start[$flavour]} ))
  return $status
}

run_tests() { # name flavour ctest-args...
  local name=$1 flavour=$2; shift 2
  local start=$(date +%s) log="build/$flavour.ctest.log"
  say "$name: built in ${build_time[$flavour]} s, testing"
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
  times+=("$name: build ${build_time[$flavour]} s, tests $(( $(date +%s) - start )) s")
}

build_failed() { # name flavour
  tail -n 40 "build/$2.build.log"
  say "$1: BUILD FAILED (build/$2.build.log)"
  failed=$((failed + 1)) failed_stages+=("$1 (build)") times+=("$1: build failed after ${build_time[$2]} s")
}

mkdir -p build
say "normal: building"
start_build normal ""
finish_build normal || build_failed normal normal
asan_label='unit|integration|fuzz'
say "asan+ubsan: building beside the normal tests"
start_build asan "$asan_label"
if [[ ${#failed_stages[@]} -eq 0 ]]; then
  tools/stage.sh build/normal build/stage > /dev/null 2>&1 || true
  run_tests "normal" normal
fi
if finish_build asan; then
  say "tsan: building beside the asan+ubsan tests"
  start_build tsan concurrency
  run_tests "asan+ubsan" asan -L "$asan_label" -LE 'long|browser'
else
  build_failed "asan+ubsan" asan
  say "tsan: building"
  start_build tsan concurrency
fi
if finish_build tsan; then
  run_tests "tsan" tsan -L concurrency -LE long
else
  build_failed "tsan" tsan
fi

say "done in $(( $(date +%s) - t0 )) s"
printf '  %s\n' "${times[@]}"
if ((${#failed_stages[@]})); then
  say "failed: ${failed_stages[*]}"
fi
echo "total: $passed passed, $failed failed"
((${#failed_stages[@]} == 0))
