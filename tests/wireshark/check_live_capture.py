#!/usr/bin/env python3
"""The dissector on real traffic: scripts/demo-in-namespace.sh runs the demo
against the bridge emulator in a network namespace of its own while tcpdump
records the host side (SPWETH_CAPTURE). tshark must then show every packet of
the loopback test, reassembled, in both directions, with no frame-number
jump; the control codes going out and coming back; the configuration frame;
status records; credit reports; and, once the emulator has an RMAP target,
the demo's RMAP commands, each linked with its reply and its CRCs correct.

    check_live_capture.py BUILD_DIR SPWETH_LUA

Exits 77 (skipped) where network namespaces are not permitted."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tshark_fields import frame_fields, report  # noqa: E402

SIZES = [1, 40, 41, 1495, 1496, 5000, 70000]
COUNT = 9  # the sizes, then the first two again
HOST = "00:00:00:00:00:00"  # the library's source address until one is set
BRIDGE = "00:01:02:03:04:05"
DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts/demo-in-namespace.sh")

FIELDS = ["eth.src", "spweth.type", "spweth.number.expected", "spweth.packet.length", "spweth.ccode",
          "spweth.conf.marker", "spweth.conf.edit0.speed", "spweth.conf.speed", "spweth.status.speed",
          "spweth.status.spw1.link_state", "spweth.status.spw2.link_state", "spweth.error.type",
          "spweth.error.credits", "spwrmap.instruction.packet_type", "spwrmap.instruction.reply",
          "spwrmap.reply_in", "spwrmap.header_crc_ok", "spwrmap.data_crc_ok"]


def record(build, capture):
    environment = dict(os.environ, SPWETH_CAPTURE=capture)
    arguments = ["--count", str(COUNT), "--sizes", ",".join(map(str, SIZES)), "--quiet"]
    subprocess.run(["unshare", "-n", "bash", DEMO, build] + arguments, env=environment,
                   check=True, timeout=120, stdout=subprocess.DEVNULL)


def check(rows, expect_rmap):
    failures = []
    expected_sizes = [SIZES[i % len(SIZES)] for i in range(COUNT)]
    for source, name in ((HOST, "host"), (BRIDGE, "bridge")):
        sizes = [int(r["spweth.packet.length"]) for r in rows
                 if r["eth.src"] == source and r["spweth.packet.length"] and not is_rmap(r)]
        if sizes != expected_sizes:
            failures.append("packets from the %s: %s, expected %s" % (name, sizes, expected_sizes))
    for r in rows:
        if r["spweth.number.expected"] or "unfinished" in r["_ws.expert.message"]:
            failures.append("frame %s: %s" % (r["frame.number"], r["_ws.expert.message"]))

    codes = [r["eth.src"] for r in rows if r["spweth.ccode"] == "0x01,0x02,0x03"]
    if sorted(codes) != sorted([HOST, BRIDGE]):
        failures.append("control codes 1 2 3 from %s, expected from the host and back" % codes)
    config = [(r["spweth.conf.edit0.speed"], r["spweth.conf.speed"]) for r in rows if r["spweth.conf.marker"]]
    if config != [("1", "0x04")]:
        failures.append("configuration frames: %s" % config)
    statuses = [r for r in rows if r["spweth.type"] == "8"]
    last = statuses[-1] if statuses else {}
    if [last.get(k) for k in ("spweth.status.speed", "spweth.status.spw1.link_state",
                              "spweth.status.spw2.link_state")] != ["0x04", "5", "5"]:
        failures.append("last status frame: %s" % last)
    if not any(r["spweth.error.type"] == "0" and r["spweth.error.credits"] for r in rows):
        failures.append("no credit report")

    commands = [r for r in rows if is_rmap(r) and r["spwrmap.instruction.packet_type"] == "1"]
    for r in commands:
        if r["spwrmap.data_crc_ok"] == "0":
            failures.append("frame %s: RMAP data CRC wrong" % r["frame.number"])
        if r["spwrmap.instruction.reply"] == "1" and not r["spwrmap.reply_in"]:
            failures.append("frame %s: RMAP command without its reply" % r["frame.number"])
    if expect_rmap and len(commands) < 2:
        failures.append("%d RMAP commands, expected the demo's write and read" % len(commands))
    return failures


def is_rmap(row):
    """An RMAP packet; a loopback packet that only starts like one fails the header CRC."""
    return row["spwrmap.header_crc_ok"] == "1"


def emulator_has_rmap_target(build):
    emulator = os.path.join(build, "tools/bridge-emu/spweth-bridge-emu")
    shown = subprocess.run([emulator, "--help"], capture_output=True, text=True)
    return "--rmap-target" in shown.stdout + shown.stderr


def main():
    build, script = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
        print("unshare -n is not permitted: test skipped")
        return 77
    with tempfile.TemporaryDirectory() as folder:
        capture = os.path.join(folder, "demo.pcap")
        record(build, capture)
        rows = frame_fields(script, capture, FIELDS)
    return report(check(rows, emulator_has_rmap_target(build)), len(rows))


if __name__ == "__main__":
    sys.exit(main())
