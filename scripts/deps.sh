#!/usr/bin/env bash
# Installs the build and test dependencies that are missing (Debian, as root).
set -euo pipefail
need=()
# omniORB (omniorb, omniidl, libomniorb4-dev) is a CORBA peer for the
# interoperability tests only.
for p in build-essential cmake binutils-dev zlib1g-dev libgtest-dev omniorb omniidl libomniorb4-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  echo "installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
