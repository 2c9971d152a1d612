#!/usr/bin/env bash
# Installs what is missing, builds, and runs one node on examples/single-node.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DTURV_BENCH=OFF
cd examples/single-node
exec ../../build/bin/turv_node -C . -f turv_sys_cfg.xml -a turv_app_cfg.xml "$@"
