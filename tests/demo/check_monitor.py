#!/usr/bin/env python3
"""spweth-demo monitor in a terminal (tmux, in the namespace of
tests/e2e/run_in_netns.sh): the view shows both links in RUN, its rates move
when a loopback test runs beside it, and Ctrl-C ends it with exit 0.

    check_monitor.py DEMO EMULATOR
"""
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_support import (HOST_LINK, Emulator, outside_test_namespace,  # noqa: E402
                          quiet_links)

ROW = re.compile(r"^(SpW[12])\s+(\w+) \((\d)\)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)")


class Pane:
    def __init__(self, folder, command):
        self.tmux = ["tmux", "-S", os.path.join(folder, "tmux.socket")]
        subprocess.run(self.tmux + ["new-session", "-d", "-s", "monitor", "-x", "132", "-y", "30",
                                    command], check=True)

    def text(self):
        return subprocess.run(self.tmux + ["capture-pane", "-p", "-t", "monitor"],
                              capture_output=True, text=True, check=True).stdout

    def keys(self, *keys):
        subprocess.run(self.tmux + ["send-keys", "-t", "monitor", *keys], check=True)

    def close(self):
        subprocess.run(self.tmux + ["kill-server"], capture_output=True)


def ports(text):
    """{link: (state, tx bytes, tx B/s, rx bytes, rx B/s)} of the view on screen."""
    found = {}
    for line in text.splitlines():
        match = ROW.match(line)
        if match:
            found[match.group(1)] = (match.group(2), *map(int, match.group(4, 5, 6, 7)))
    return found


def wait_for(pane, condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        text = pane.text()
        if condition(text):
            return text
        time.sleep(0.1)
    raise AssertionError(f"{what}; the pane shows:\n{pane.text()}")


def main():
    demo, emulator = sys.argv[1], sys.argv[2]
    if outside_test_namespace():
        return 77
    quiet_links()
    bridge = Emulator(emulator, "--status-ms", "100")
    load = None
    with tempfile.TemporaryDirectory() as folder:
        pane = Pane(folder, f"{demo} monitor --iface {HOST_LINK} --interval-ms 200; "
                            "echo monitor-exit=$?; sleep 60")
        try:
            quiet = wait_for(pane, lambda t: set(ports(t)) == {"SpW1", "SpW2"}, 10,
                             "the view shows no row for each link")
            shown = ports(quiet)
            assert all(shown[link][0] == "RUN" for link in shown), quiet
            assert "socket: frames" in quiet, quiet
            load = subprocess.Popen([demo, "loopback", "--iface", HOST_LINK, "--count", "100000",
                                     "--min", "1000", "--max", "3000", "--quiet"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

            def moving(text):
                now = ports(text)
                return (len(now) == 2 and now["SpW1"][2] > 0 and now["SpW2"][4] > 0
                        and now["SpW1"][1] > shown["SpW1"][1])
            busy = wait_for(pane, moving, 10, "the rates did not move under traffic")
            load.terminate()
            load.wait(timeout=10)
            load = None
            print(busy)
            pane.keys("C-c")
            wait_for(pane, lambda t: "monitor-exit=0" in t, 5, "Ctrl-C did not end it with 0")
        finally:
            if load:
                load.kill()
            pane.close()
            bridge.stop()
    print("monitor: both links shown, rates moved under traffic, Ctrl-C ended it")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as failure:
        print("FAIL", failure)
        sys.exit(1)
