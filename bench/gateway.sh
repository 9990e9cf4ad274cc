#!/usr/bin/env bash
# spweth-gateway against the library called directly, side by side in one run:
# the 4-byte RMAP read's round trip and 64 KiB loopback throughput, through the
# bridge emulator on a veth pair, in a network namespace of its own (unshare
# -n: only its loopback and that pair). Writes bench/gateway-results.md.
#
#   bash bench/gateway.sh        (as root; about 20 s once built)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-bench
if [[ ${1:-} == --in-namespace ]]; then
    source "$root/bench/veth-pair.sh"
    veth_pair gateway.sh spwg-host spwg-peer
    "$build/tools/bridge-emu/spweth-bridge-emu" --iface spwg-peer --status-ms 100 \
        --rmap-target 0xFE,0x20,65536 --spin-us 200 >/dev/null &
    emulator=$!
    trap 'kill $emulator; wait $emulator || true' EXIT
    sleep 0.3
    "$build/bench/spweth_gateway_bench" --host spwg-host \
        --gateway "$build/tools/gateway/spweth-gateway" --markdown "$2"
    exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "gateway.sh: run as root (it makes a network namespace and a veth pair)" >&2
    exit 1
fi
bash scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPWETH_BUILD_BENCH=ON \
    -DSPWETH_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target spweth_gateway_bench spweth-gateway spweth-bridge-emu >/dev/null
out=$build/gateway-bench.md
unshare -n -- bash "$root/bench/gateway.sh" --in-namespace "$out"
{
    echo "# spweth-gateway against the library called directly"
    echo
    echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores."
    echo
    cat "$out"
} >bench/gateway-results.md
echo "wrote bench/gateway-results.md"
