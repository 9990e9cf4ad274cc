#!/usr/bin/env bash
# Runs inside a fresh network namespace: veth pair spw-host <-> spw-bridge,
# the emulator on spw-bridge, the demo on spw-host. Extra arguments go to the
# loopback test. SPWETH_CAPTURE=FILE records the host side with tcpdump, for
# Wireshark (tools/wireshark/).
set -euo pipefail
build=${1:-build}
shift || true
ip link set lo up
ip link add spw-host type veth peer name spw-bridge
for link in spw-host spw-bridge; do
    sysctl -qw net.ipv6.conf.$link.disable_ipv6=1 2>/dev/null || true
    ip link set $link up
done

recorder=
if [[ -n ${SPWETH_CAPTURE:-} ]]; then
    recorder_log=$(mktemp)
    tcpdump -i spw-host --immediate-mode -B 65536 -U -Z root -w "$SPWETH_CAPTURE" 2>"$recorder_log" &
    recorder=$!
    for _ in $(seq 50); do grep -q listening "$recorder_log" && break; sleep 0.1; done
fi
"$build/tools/bridge-emu/spweth-bridge-emu" --iface spw-bridge --status-ms 200 &
emulator=$!
trap 'kill $emulator $recorder 2>/dev/null; wait $emulator 2>/dev/null || true' EXIT
sleep 0.5

demo="$build/tools/demo/spweth-demo"
"$demo" info
"$demo" loopback --iface spw-host --count 500 --min 1 --max 70000 --seed 7 "$@"
"$demo" codes --iface spw-host --kind time 1 2 3
"$demo" config --iface spw-host speed 100
"$demo" status --iface spw-host
if [[ -n $recorder ]]; then
    sleep 0.2
    kill -INT $recorder
    wait $recorder || true
    grep -h "captured\|dropped" "$recorder_log" || true
    rm -f "$recorder_log"
fi
