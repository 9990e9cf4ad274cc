#!/usr/bin/env bash
# Runs inside a fresh network namespace: veth pair spw-host <-> spw-bridge,
# the emulator on spw-bridge, the demo on spw-host. Extra arguments go to the
# loopback test in place of its defaults. Then the emulator again with an RMAP
# target (which would take the loopback test's random packets that happen to
# look like RMAP commands),
# for an RMAP write and a read back. SPWETH_CAPTURE=FILE records the host side
# with tcpdump, for Wireshark (tools/wireshark/).
set -euo pipefail
build=${1:-build}
shift || true
bash "$(dirname "$0")/veth-pair.sh"

recorder=
stop_recorder() {
    [[ -n "$recorder" ]] || return 0
    sleep 0.2
    kill -INT "$recorder"
    wait "$recorder" || true
    grep -h "captured\|dropped" "$recorder_log" || true
    rm -f "$recorder_log"
    recorder=
}
if [[ -n ${SPWETH_CAPTURE:-} ]]; then
    recorder_log=$(mktemp)
    tcpdump -i spw-host --immediate-mode -B 65536 -U -Z root -w "$SPWETH_CAPTURE" 2>"$recorder_log" &
    recorder=$!
    for _ in $(seq 50); do grep -q listening "$recorder_log" && break; sleep 0.1; done
fi
emulator=
stop_emulator() {
    [[ -n "$emulator" ]] || return 0
    kill "$emulator" 2>/dev/null
    wait "$emulator" 2>/dev/null || true
    emulator=
}
start_emulator() {
    "$build/tools/bridge-emu/spweth-bridge-emu" --iface spw-bridge "$@" &
    emulator=$!
    sleep 0.5
}
trap 'stop_emulator; stop_recorder' EXIT
start_emulator --status-ms 200

demo="$build/tools/demo/spweth-demo"
"$demo" info
# The loopback test's own options, or these when none are given (the demo
# refuses an option given twice, and --sizes with --min or --max).
if (($#)); then loopback=("$@"); else loopback=(--count 500 --min 1 --max 70000 --seed 7); fi
"$demo" loopback --iface spw-host "${loopback[@]}"
"$demo" codes --iface spw-host --kind time 1 2 3
"$demo" config --iface spw-host speed 100
"$demo" status --iface spw-host
stop_emulator

start_emulator --status-ms 0 --rmap-target 0xFE,0x20,65536
rmap=("$demo" rmap --iface spw-host --logical-address 0xFE --key 0x20 --reply-path 1,2,3,4,5)
"${rmap[@]}" write --address 0x1000 --hex "01 23 45 67 89 AB CD EF"
"${rmap[@]}" read --address 0x1000 --length 8
stop_recorder
