#!/usr/bin/env bash
# Runs the Python package's tests with pytest inside a network namespace of
# their own, holding only loopback and the veth pair spw-host <-> spw-bridge.
# Usage: run.sh PYTHON3 LIBRARY BRIDGE_EMULATOR DEMO BUILD_DIR [pytest arguments]
# Exits 77 (skipped) where namespaces are not permitted; pytest finding no
# test fails.
set -euo pipefail
if [[ "${SPWETH_TEST_NETNS:-}" != 1 ]]; then
    if ! unshare -n true 2>/dev/null; then
        echo "unshare -n is not permitted: test skipped"
        exit 77
    fi
    exec unshare -n env SPWETH_TEST_NETNS=1 bash "$0" "$@"
fi
python=$1
SPWETH_LIBRARY=$(realpath "$2") SPWETH_BRIDGE_EMU=$(realpath "$3")
SPWETH_DEMO=$(realpath "$4") SPWETH_BUILD_DIR=$(realpath "$5")
export SPWETH_LIBRARY SPWETH_BRIDGE_EMU SPWETH_DEMO SPWETH_BUILD_DIR
shift 5

bash "$(dirname "$0")/../../scripts/veth-pair.sh"

cd "$(dirname "$0")/.."
export PYTHONPATH=$PWD PYTHONDONTWRITEBYTECODE=1
status=0
"$python" -m pytest -p no:cacheprovider -q -rs tests "$@" || status=$?
if ((status == 5)); then
    echo "pytest collected no tests: failed"
    exit 1
fi
exit "$status"
