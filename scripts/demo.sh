#!/usr/bin/env bash
# The main job: install what is missing, build, then in a network namespace of
# its own (a veth pair, nothing else) run the bridge emulator on one end and
# the demo's loopback test and a status print on the other.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
exec unshare -n bash scripts/demo-in-namespace.sh build "$@"
