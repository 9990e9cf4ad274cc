#!/usr/bin/env python3
"""Loopback throughput of python -m spweth against spweth-demo, side by side
in one run: the bridge emulator echoes on PEER, both programs run the same
loopback jobs on HOST, their rounds interleaved. Prints a Markdown section
for bench/results.md. Run by bench/run.sh inside its network namespace.

    python_loopback.py DEMO EMULATOR LIBRARY HOST PEER [ROUNDS]
"""
import json
import os
import statistics
import subprocess
import sys
import time

PACKAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")

# (label, loopback options): fixed sizes, then the loopback's default mix
JOBS = [
    ("64 B", ["--sizes", "64", "--count", "4000"]),
    ("1495 B", ["--sizes", "1495", "--count", "4000"]),
    ("64 KiB", ["--sizes", "65536", "--count", "300"]),
    ("1 B .. 4 KiB, random (the default)", ["--count", "3000", "--seed", "7"]),
]


def loopback(command, host, options, env=None):
    """One run's summary record (--json)."""
    shown = subprocess.run([*command, "loopback", "--iface", host, *options, "--quiet",
                            "--json"], capture_output=True, text=True, timeout=300, env=env)
    records = [json.loads(line) for line in shown.stdout.splitlines()]
    summary = records[-1] if records else {}
    if shown.returncode != 0 or summary.get("record") != "loopback" or summary["lost"] \
            or summary["errors"]:
        raise SystemExit(f"{command[0]} loopback {options} failed: {shown.stdout}{shown.stderr}")
    return summary


def main():
    demo, emulator, library, host, peer = sys.argv[1:6]
    rounds = int(sys.argv[6]) if len(sys.argv) > 6 else 5
    env = dict(os.environ, SPWETH_LIBRARY=library, PYTHONPATH=PACKAGE_DIR,
               PYTHONDONTWRITEBYTECODE="1")
    python = ["/usr/bin/python3", "-m", "spweth"]
    load_before = "%.2f %.2f %.2f" % os.getloadavg()
    bridge = subprocess.Popen([emulator, "--iface", peer], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    try:
        if "serving" not in bridge.stdout.readline():
            raise SystemExit("the bridge emulator did not start")
        rows = []
        for label, options in JOBS:
            rates = {"demo": [], "python": []}
            for _ in range(rounds):  # interleaved: the machine's load falls on both alike
                rates["demo"].append(loopback([demo], host, options)["mb_per_s"])
                rates["python"].append(loopback(python, host, options, env)["mb_per_s"])
            demo_rate = statistics.median(rates["demo"])
            python_rate = statistics.median(rates["python"])
            rows.append(f"| {label} | {demo_rate:.2f} | {python_rate:.2f} | "
                        f"{python_rate / demo_rate:.2f} |")
    finally:
        bridge.terminate()
        bridge.wait(timeout=10)
    print("### Python package against spweth-demo: loopback through spweth-bridge-emu")
    print()
    print("`python3 -m spweth loopback` and `spweth-demo loopback` with the same options over the")
    print(f"same veth pair, {rounds} rounds of each, interleaved; the median of each program's own")
    print("`mb_per_s` (--json), credit flow control on. The demo counts the whole loop, making the")
    print("packets included; the Python package counts only its sends and receives (making the")
    print("packets takes Python longer than moving them). Both, and the emulator, wait in the")
    print("kernel between frames (their defaults), so wake-ups bound the short packets. Measured")
    print("by `bash bench/run.sh` (this table alone: `bash bench/run.sh --python`) on")
    print(f"{time.strftime('%Y-%m-%d')}, load average before: {load_before}, after: "
          f"{'%.2f %.2f %.2f' % os.getloadavg()}.")
    print()
    print("| packets | demo MB/s | python MB/s | python/demo |")
    print("|---|---:|---:|---:|")
    for row in rows:
        print(row)


if __name__ == "__main__":
    main()
