#!/usr/bin/env bash
# Runs a command inside a network namespace of its own that holds only the
# loopback adapter and one veth pair, veth0 <-> veth1, both up. The host's own
# adapters are out of reach. Exits 77 (test skipped) when namespaces are not
# permitted here.
set -euo pipefail
if ! unshare -n true 2>/dev/null; then
    echo "unshare -n is not permitted: test skipped"
    exit 77
fi
exec unshare -n bash -c '
    set -euo pipefail
    ip link add veth0 type veth peer name veth1
    ip link set veth0 up
    ip link set veth1 up
    SPWETH_TEST_NETNS=1 exec "$@"' netns "$@"
