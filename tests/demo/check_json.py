#!/usr/bin/env python3
"""spweth-demo --json against the bridge emulator (in the namespace of
tests/e2e/run_in_netns.sh): each command's lines parse with json, one object
per line, and say what the human output of the same job says.

    check_json.py DEMO EMULATOR
"""
import json
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_support import (HOST_LINK, Emulator, outside_test_namespace,  # noqa: E402
                          quiet_links, report, run)

IFACE = ["--iface", HOST_LINK]
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)
    return condition


def objects(shown, job):
    """The objects of a --json run; every line must be one."""
    expect(shown.returncode == 0, f"{job}: exit {shown.returncode}, {shown.stderr!r}")
    parsed = []
    for line in shown.stdout.splitlines():
        try:
            parsed.append(json.loads(line))
        except ValueError:
            failures.append(f"{job}: not a JSON line: {line!r}")
    return parsed


def dumped_bytes(text):
    """The bytes of the library's hex dump (debug_dump): the hex pairs of each row."""
    data = []
    for line in text.splitlines():
        match = re.match(r"^\[\+[0-9A-Fa-f]+\]: ((?:[0-9A-Fa-f]{2} )+)", line + " ")
        if match:
            data += [int(b, 16) for b in match.group(1).split()]
    return bytes(data)


def check_list(demo):
    human = run(demo, "list").stdout.splitlines()
    listed = objects(run(demo, "list", "--json"), "list")
    expect([f"{o['number']}. {o['name']} (" for o in listed] == [line[:line.index("(") + 1]
                                                                  for line in human],
           f"list: {listed} against {human}")
    expect(any(o["name"] == HOST_LINK and o["record"] == "adapter" for o in listed),
           f"list: no {HOST_LINK} in {listed}")


def check_status(demo):
    human = run(demo, "status", *IFACE).stdout
    (record,) = objects(run(demo, "status", *IFACE, "--json"), "status") or [None]
    if not expect(record is not None, "status: no object"):
        return
    expect(record["record"] == "status" and record["bridge"] == "00:01:02:03:04:05",
           f"status: {record}")
    for port in ("spw1", "spw2"):
        expect(record[port]["link_state"] == 5 and record[port]["link_state_name"] == "RUN",
               f"status: {port} {record[port]}")
        expect(record[port]["rx_packets_eop"] + record[port]["rx_packets_eep"]
               == record[port]["rx_packets"], f"status: {port} packet counts {record[port]}")
    expect(human.count('State: (5) "RUN"') == 2, f"status: human output {human!r}")
    speed = re.search(r"Speed: \((\d+)\)", human)
    expect(speed and int(speed.group(1)) == record["speed_code"] == 0x80
           and record["speed_mbit"] == 400, f"status: speed {record} against {human!r}")
    switch = re.search(r"Switch state: ([0-9A-F]+)", human)
    expect(switch and int(switch.group(1), 16) == record["switch_state"] == 0x33
           and record["data_mode"] == record["ccode_mode"] == 3, f"status: switch {record}")


def check_loopback(demo):
    job = ["loopback", *IFACE, "--count", "30", "--min", "0", "--max", "3000", "--seed", "5"]
    human = run(demo, *job).stdout.splitlines()[-1]
    records = objects(run(demo, *job, "--json"), "loopback")
    expect(len(records) == 1, f"loopback: {records}")
    if not records:
        return
    summary = records[0]
    expect(summary["record"] == "loopback" and summary["packets"] == summary["intact"] == 30
           and summary["errors"] == summary["lost"] == 0 and summary["credit_flow_control"],
           f"loopback: {summary}")
    expect(human.startswith(f"Loopback summary: 30 packets, 30 intact, {summary['bytes']} bytes,"),
           f"loopback: {human!r} against {summary}")


def check_rmap(demo):
    data = "0123456789abcdef"
    write = objects(run(demo, "rmap", "write", *IFACE, "--address", "0x100", "--hex", data,
                        "--json"), "rmap write")
    expect(write == [{"record": "rmap", "operation": "write", "extended": 0, "address": 256,
                      "status": 0, "status_text": write[0]["status_text"] if write else ""}],
           f"rmap write: {write}")
    # no --key: the default key is the emulator's
    job = ["rmap", "read", *IFACE, "--address", "0x100", "--length", "8"]
    human = run(demo, *job)
    (read,) = objects(run(demo, *job, "--json"), "rmap read") or [None]
    if expect(read is not None, "rmap read: no object"):
        expect(read["status"] == 0 and read["data"] == data, f"rmap read: {read}")
        expect(dumped_bytes(human.stdout) == bytes.fromhex(read["data"]),
               f"rmap read: dump {human.stdout!r} against {read}")
        expect(f"RMAP read at 0x00:00000100: 0, {read['status_text']}" in human.stdout,
               f"rmap read: {human.stdout!r}")
    wrong = run(demo, "rmap", "read", *IFACE, "--address", "0", "--key", "0x21", "--json")
    records = [json.loads(line) for line in wrong.stdout.splitlines()]
    expect(wrong.returncode == 1 and len(records) == 1 and records[0]["status"] == 3
           and records[0]["data"] == "", f"rmap with a wrong key: {wrong.stdout!r}")


def check_recv(demo):
    receiver = subprocess.Popen([demo, "recv", *IFACE, "--count", "2", "--timeout-ms", "5000",
                                 "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
    time.sleep(0.5)  # the receiver is listening before the packets come back
    run(demo, "send", *IFACE, "--hex", "01 02 03")
    run(demo, "send", *IFACE, "--hex", "a0 b1", "--eep")
    out, err = receiver.communicate(timeout=20)
    shown = subprocess.CompletedProcess(receiver.args, receiver.returncode, out, err)
    packets = objects(shown, "recv")
    expect([(p["record"], p["packet"], p["length"], p["end"], p["data"]) for p in packets]
           == [("packet", 1, 3, "EOP", "010203"), ("packet", 2, 2, "EEP", "a0b1")],
           f"recv: {packets}")


def main():
    demo, emulator = sys.argv[1], sys.argv[2]
    if outside_test_namespace():
        return 77
    quiet_links()
    bridge = Emulator(emulator, "--status-ms", "100", "--rmap-target", "0xFE")
    try:
        for check in (check_list, check_status, check_loopback, check_rmap, check_recv):
            check(demo)
    finally:
        bridge.stop()
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
