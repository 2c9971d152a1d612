#!/usr/bin/env bash
# Configures and builds one build folder: build.sh <folder> [cmake options...]
# Every option the scripts rely on is stated each time (CMake would otherwise
# keep a value from an earlier configure of the same folder); options given
# after the folder override them. Progress is shown as one line per tenth of
# the build; the compiler's output is shown only when the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
jobs=$(nproc)
log="$dir.log"
mkdir -p "$dir"
defaults=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTURV_BENCH=ON -DTURV_SANITIZE=OFF -DTURV_TSAN=OFF -DTURV_FUZZ=OFF)
echo "building $dir ($jobs jobs; full output in $log)"
: >"$log"
if ! cmake -S . -B "$dir" "${defaults[@]}" "$@" >>"$log" 2>&1; then
  grep -E "Error|error" "$log" | head -60 || true
  echo "configuring $dir failed; full output in $log" >&2
  exit 1
fi
set +e
cmake --build "$dir" -j "$jobs" 2>&1 | tee -a "$log" | awk -v d="$dir" '
  match($0, /^\[ *[0-9]+%\]/) {
    p = substr($0, RSTART + 1, RLENGTH - 3) + 0
    if (p >= next_p) { printf "%s: %3d%%\n", d, p; fflush(); next_p = (int(p / 10) + 1) * 10 }
  }'
rc=${PIPESTATUS[0]}
set -e
if ((rc != 0)); then
  grep -E "error|Error|undefined reference" "$log" | head -60 || true
  echo "build of $dir failed; full output in $log" >&2
  exit 1
fi
echo "$dir: built"
