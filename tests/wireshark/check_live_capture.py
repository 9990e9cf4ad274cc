#!/usr/bin/env python3
"""The dissector on real traffic: in a network namespace of its own (a veth
pair, nothing else), tcpdump records the host side while the demo loops
packets through the bridge emulator, sends control codes, a configuration
frame and reads a status record. tshark must then show every packet,
reassembled, in both directions, with no frame-number jump.

    check_live_capture.py BUILD_DIR SPWETH_LUA

Exits 77 (skipped) where network namespaces are not permitted."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tshark_fields import frame_fields  # noqa: E402

SIZES = [1, 40, 41, 1495, 1496, 5000, 70000]
COUNT = 9  # the sizes, then the first two again
HOST = "00:00:00:00:00:00"  # the library's source address until one is set
BRIDGE = "00:01:02:03:04:05"

# Runs in the namespace: $1 build folder, $2 capture file.
SESSION = r"""
set -euo pipefail
build=$1 capture=$2
ip link set lo up
ip link add spw-host type veth peer name spw-bridge
for link in spw-host spw-bridge; do
    sysctl -qw net.ipv6.conf.$link.disable_ipv6=1 2>/dev/null || true
    ip link set $link up
done
tcpdump -i spw-host -U -Z root -w "$capture" 2>"$capture.log" &
recorder=$!
"$build/tools/bridge-emu/spweth-bridge-emu" --iface spw-bridge --status-ms 100 >/dev/null &
emulator=$!
trap 'kill $emulator $recorder 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q listening "$capture.log" && break; sleep 0.1; done
sleep 0.3
demo="$build/tools/demo/spweth-demo"
"$demo" loopback --iface spw-host --count {count} --sizes {sizes} --quiet
"$demo" codes --iface spw-host --kind time 1 2 3
"$demo" config --iface spw-host speed 100
sleep 0.3
"$demo" status --iface spw-host >/dev/null
sleep 0.2
kill -INT $recorder
wait $recorder || true
"""

FIELDS = ["eth.src", "spweth.type", "spweth.number.expected", "spweth.packet.length",
          "spweth.packet.eep", "spweth.ccode", "spweth.conf.marker", "spweth.conf.edit0.speed",
          "spweth.conf.speed", "spweth.status.speed", "spweth.status.spw1.link_state",
          "spweth.status.spw2.link_state", "spweth.error.type", "spweth.error.credits",
          "_ws.expert.message"]


def main():
    build, script = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
        print("unshare -n is not permitted: test skipped")
        return 77
    with tempfile.TemporaryDirectory() as folder:
        capture = os.path.join(folder, "live.pcap")
        session = SESSION.replace("{count}", str(COUNT)).replace("{sizes}", ",".join(map(str, SIZES)))
        subprocess.run(["unshare", "-n", "bash", "-c", session, "session", build, capture],
                       check=True, timeout=120)
        rows = frame_fields(script, capture, FIELDS)

    failures = []
    expected_sizes = [SIZES[i % len(SIZES)] for i in range(COUNT)]
    for source, name in ((HOST, "host"), (BRIDGE, "bridge")):
        sizes = [int(r["spweth.packet.length"]) for r in rows
                 if r["eth.src"] == source and r["spweth.packet.length"]]
        if sizes != expected_sizes:
            failures.append("packets from the %s: %s, expected %s" % (name, sizes, expected_sizes))
    for r in rows:
        if r["spweth.number.expected"] or "unfinished" in r["_ws.expert.message"]:
            failures.append("frame %s: %s" % (r["frame.number"], r["_ws.expert.message"]))

    codes = [r for r in rows if r["spweth.ccode"] == "0x01,0x02,0x03"]
    if sorted(r["eth.src"] for r in codes) != sorted([HOST, BRIDGE]):
        failures.append("control codes 1 2 3 not seen going out and coming back")
    config = [r for r in rows if r["spweth.conf.marker"] == "GE_SPW"]
    if [(r["spweth.conf.edit0.speed"], r["spweth.conf.speed"]) for r in config] != [("1", "0x04")]:
        failures.append("configuration frames: %s" % config)
    statuses = [r for r in rows if r["spweth.type"] == "8"]
    if not statuses or statuses[-1]["spweth.status.speed"] != "0x04" or \
            statuses[-1]["spweth.status.spw1.link_state"] != "5" or \
            statuses[-1]["spweth.status.spw2.link_state"] != "5":
        failures.append("last status frame: %s" % (statuses[-1:] or "none"))
    if not any(r["spweth.error.type"] == "0" and r["spweth.error.credits"] for r in rows):
        failures.append("no credit report")

    for failure in failures:
        print(failure)
    print("%d frames captured, %d failures" % (len(rows), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
