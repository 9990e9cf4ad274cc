#!/usr/bin/env bash
# Runs the gateway's end-to-end tests with pytest inside a network namespace
# of their own, holding only loopback and the veth pair spw-host <-> spw-bridge.
# Usage: run.sh PYTHON3 BRIDGE_EMULATOR GATEWAY [test files and pytest arguments]
# Exits 77 (skipped) where namespaces are not permitted.
set -euo pipefail
if [[ "${SPWETH_TEST_NETNS:-}" != 1 ]]; then
    if ! unshare -n true 2>/dev/null; then
        echo "unshare -n is not permitted: test skipped"
        exit 77
    fi
    exec unshare -n env SPWETH_TEST_NETNS=1 bash "$0" "$@"
fi
python=$1
SPWETH_BRIDGE_EMU=$(realpath "$2") SPWETH_GATEWAY=$(realpath "$3")
export SPWETH_BRIDGE_EMU SPWETH_GATEWAY
shift 3
here=$(dirname "$0")
bash "$here/../../scripts/veth-pair.sh"
cd "$here"
export PYTHONDONTWRITEBYTECODE=1
status=0
(($#)) || set -- .  # the files named, or every test here
"$python" -m pytest -p no:cacheprovider -q -rs "$@" || status=$?
if ((status == 5)); then
    echo "pytest collected no tests: failed"
    exit 1
fi
exit "$status"
