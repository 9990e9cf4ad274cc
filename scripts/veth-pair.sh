#!/usr/bin/env bash
# Inside a fresh network namespace: loopback up and the veth pair
# spw-host <-> spw-bridge, both up, without IPv6 (no router solicitations on
# the link). Used by the namespace demo and the pytest runners.
set -euo pipefail
ip link set lo up
ip link add spw-host type veth peer name spw-bridge
for link in spw-host spw-bridge; do
    sysctl -qw net.ipv6.conf.$link.disable_ipv6=1 2>/dev/null || true
    ip link set $link up
done
