#!/usr/bin/env bash
# Configures and builds one build folder quietly: build.sh <folder> [cmake options...]
# The compiler's output is shown only when the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
jobs=$(nproc)
log="$dir.log"
mkdir -p "$dir"
if ! { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" && cmake --build "$dir" -j "$jobs"; } >"$log" 2>&1; then
  grep -E "error|Error|undefined reference" "$log" | head -60 || true
  echo "build of $dir failed; full output in $log" >&2
  exit 1
fi
