#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite three ways:
# a normal build, an AddressSanitizer+UndefinedBehaviorSanitizer build, and
# the concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
status=0
passed=0
failed=0

# A test that hangs is stopped by ctest after its own time-out (180 s, set
# per test; 300 s for any test without one). The whole suite is bounded too,
# so that nothing left behind by a test (a child holding ctest's output pipe)
# can keep the run from ending: after suite_limit seconds the suite's process
# group is stopped and the suite counts as failed.
suite_limit=${TURV_SUITE_TIMEOUT:-900}

run_suite() {
  local dir=$1 label=$2
  local log="$dir/ctest.log"
  local rc=0
  (cd "$dir" && timeout -k 30 "$suite_limit" ctest -j "$jobs" --output-on-failure --timeout 300) >"$log" 2>&1 || rc=$?
  if ((rc != 0)); then
    grep -E -A40 "\*\*\*Failed|\*\*\*Exception|\*\*\*Timeout|Subprocess aborted|Not Run" "$log" | head -300 || true
    # What each failing test said: its assertion lines and sanitizer reports
    # (a test's own output may be too long for the lines above to reach them).
    grep -E -A12 ": Failure$|^watchdog:|ERROR: AddressSanitizer|WARNING: ThreadSanitizer|runtime error:" "$log" |
      grep -vE "^(YW_|finding |ensureKey)" | head -200 || true
    status=1
  fi
  if ((rc == 124 || rc == 137)); then
    echo "$label: suite stopped after ${suite_limit} s (a test or a process it started did not end); see $log"
    grep -E "^ *[0-9]+/[0-9]+ Test" "$log" | tail -5 || true
    failed=$((failed + 1))
    return
  fi
  local line total bad
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of" "$log" | tail -1 || true)
  if [[ -z $line ]]; then
    echo "$label: ctest did not finish (status $rc); see $log"
    tail -20 "$log"
    failed=$((failed + 1))
    status=1
    return
  fi
  grep -E "\(Timeout\)" "$log" | sed "s/^/$label: timed out: /" || true
  echo "$label: $line"
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

bash scripts/build.sh build
run_suite build normal

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allow_user_segv_handler=1:handle_segv=0:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
bash scripts/build.sh build-asan -DTURV_SANITIZE=ON -DTURV_BENCH=OFF
run_suite build-asan asan+ubsan
unset ASAN_OPTIONS UBSAN_OPTIONS

export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
bash scripts/build.sh build-tsan -DTURV_TSAN=ON -DTURV_BENCH=OFF
run_suite build-tsan tsan

echo "$passed passed, $failed failed"
exit $status
