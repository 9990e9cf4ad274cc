#!/usr/bin/env bash
# Runs the gateway's end-to-end tests with pytest inside a network namespace
# of their own, holding only loopback and the veth pair spw-host <-> spw-bridge.
# Usage: run.sh PYTHON3 BRIDGE_EMULATOR GATEWAY [test files and pytest arguments]
# Exits 77 (skipped) where namespaces are not permitted.
set -euo pipefail
. "$(dirname "$0")/../../scripts/pytest-in-namespace.sh"
enter_test_namespace "$0" "$@"
python=$1
SPWETH_BRIDGE_EMU=$(realpath "$2") SPWETH_GATEWAY=$(realpath "$3")
export SPWETH_BRIDGE_EMU SPWETH_GATEWAY
shift 3
cd "$(dirname "$0")"
(($#)) || set -- .  # the files named, or every test here
run_pytest "$python" "$@"
