#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite three ways:
# a normal build, an AddressSanitizer+UndefinedBehaviorSanitizer build, and
# the concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
status=0

run_suite() {
  local dir=$1 label=$2
  local log="$dir.ctest.log"
  if (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 300) >"$log" 2>&1; then
    echo "$label: $(grep -E 'tests passed' "$log" | tail -1)"
  else
    grep -E -B2 -A40 "\*\*\*Failed|\*\*\*Exception|\*\*\*Timeout|Failed  |Subprocess aborted" "$log" | head -300 || true
    echo "$label: $(grep -E 'tests passed' "$log" | tail -1)"
    status=1
  fi
}

bash scripts/build.sh build
run_suite build normal
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allow_user_segv_handler=1:handle_segv=0:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
bash scripts/build.sh build-asan -DTURV_SANITIZE=ON -DTURV_BENCH=OFF
run_suite build-asan asan+ubsan
unset ASAN_OPTIONS
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
bash scripts/build.sh build-tsan -DTURV_TSAN=ON -DTURV_BENCH=OFF
run_suite build-tsan tsan
exit $status
