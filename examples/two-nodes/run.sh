#!/usr/bin/env bash
# Starts both nodes of the two-node example (the master first), each from
# its own folder, and stops both together on Ctrl-C or when either ends.
# Usage: examples/two-nodes/run.sh [path to turv_node]
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
node="${1:-$here/../../build/bin/turv_node}"
[ -x "$node" ] || { echo "turv_node not found at $node (build first: bash scripts/build.sh)" >&2; exit 1; }
pids=()
stop() { kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; }
trap stop EXIT INT TERM
for n in master node1; do
    (cd "$here/$n" && exec "$node" -C . -f turv_sys_cfg.xml -a turv_app_cfg.xml) &
    pids+=($!)
done
wait -n
