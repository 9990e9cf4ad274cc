#!/usr/bin/env bash
# Runs the Python package's tests with pytest inside a network namespace of
# their own, holding only loopback and the veth pair spw-host <-> spw-bridge.
# Usage: run.sh PYTHON3 LIBRARY BRIDGE_EMULATOR DEMO BUILD_DIR [pytest arguments]
# Exits 77 (skipped) where namespaces are not permitted; pytest finding no
# test fails.
set -euo pipefail
. "$(dirname "$0")/../../scripts/pytest-in-namespace.sh"
enter_test_namespace "$0" "$@"
python=$1
SPWETH_LIBRARY=$(realpath "$2") SPWETH_BRIDGE_EMU=$(realpath "$3")
SPWETH_DEMO=$(realpath "$4") SPWETH_BUILD_DIR=$(realpath "$5")
export SPWETH_LIBRARY SPWETH_BRIDGE_EMU SPWETH_DEMO SPWETH_BUILD_DIR
shift 5
cd "$(dirname "$0")/.."
export PYTHONPATH=$PWD
run_pytest "$python" tests "$@"
