#!/usr/bin/env python3
"""Polls the bridge's status records for a while and draws both links' byte
rates over time into a PNG (matplotlib, Agg backend).

    python3 link_monitor.py --iface eth1 --seconds 30 --out links.png
"""

import argparse
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import spweth  # noqa: E402


def poll(socket, seconds):
    """(bridge time in s, SpW1 status, SpW2 status) of every record within `seconds`."""
    samples = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            status = socket.status(timeout=max(0.05, end - time.monotonic()))
        except spweth.Timeout:
            break
        samples.append((status.time / 1000, status.spw1, status.spw2))
    return samples


def draw(samples, path, title):
    times = [t for t, _, _ in samples]
    figure, axes = plt.subplots(2, 1, sharex=True, figsize=(8, 6))
    for ax, index, name in ((axes[0], 1, "SpW1"), (axes[1], 2, "SpW2")):
        ax.plot(times, [s[index].tx_bytes_per_sec for s in samples], label="sent", marker=".")
        ax.plot(times, [s[index].rx_bytes_per_sec for s in samples], label="received", marker=".")
        ax.set_ylabel(f"{name} bytes/s")
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper left")
    axes[1].set_xlabel("bridge time (s)")
    figure.suptitle(title)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", required=True, help="the adapter the bridge is on")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--out", default="links.png")
    parser.add_argument("--bridge", help="the bridge's address, 00:01:02:03:04:05")
    args = parser.parse_args()
    with spweth.open(args.iface) as socket:
        if args.bridge:
            socket.set_bridge_address(args.bridge)
        samples = poll(socket, args.seconds)
    if not samples:
        print(f"No status record from the bridge within {args.seconds} s.", file=sys.stderr)
        return 1
    draw(samples, args.out, f"Link rates on {args.iface}")
    peak = max(max(s[1].tx_bytes_per_sec, s[2].rx_bytes_per_sec) for s in samples)
    print(f"{len(samples)} status records, peak {peak} bytes/s, plot in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
