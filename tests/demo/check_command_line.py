#!/usr/bin/env python3
"""spweth-demo's command line, against the bridge emulator on a veth pair of
the test's own network namespace (run through tests/e2e/run_in_netns.sh):

- every wrong invocation of the table exits 2, prints nothing on standard
  output and one line on standard error, and sends no frame: the host side
  of the pair sends nothing while it runs, and the emulator counted no frame
  from the host at the end;
- failures at run time exit 1 with one line of the demo's on standard error;
  loopback with no bridge answering stops after its first lost packet;
- the interactive menu refuses out-of-range answers as the command line does.

    check_command_line.py DEMO EMULATOR
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_support import (HOST_LINK, Emulator, error_lines, frames_from_host,  # noqa: E402
                          frames_sent, outside_test_namespace, quiet_links, report, run)

IFACE = ["--iface", HOST_LINK]

# Each: the arguments, then whether --iface goes after them.
WRONG = [
    # numbers out of range or not numbers at all
    (["rmap", "read", "--address", "0x100000000"], True),
    (["rmap", "read", "--address", "abc"], True),
    (["rmap", "write", "--address", "abc", "--hex", "01"], True),
    (["rmap", "read", "--address", "0", "--key", "0x120"], True),
    (["rmap", "read", "--address", "0", "--extended", "256"], True),
    (["rmap", "read", "--address", "0", "--logical-address", "300"], True),
    (["rmap", "read", "--address", "0", "--initiator", "-1"], True),
    (["rmap", "read", "--address", "0", "--length", "-4"], True),
    (["rmap", "read", "--address", "0", "--length", "99999999999"], True),
    (["rmap", "read", "--address", "0", "--length", "99999999999999999999999"], True),
    (["rmap", "read", "--address", "0", "--timeout-ms", "0"], True),
    (["codes", "--kind", "time", "64"], True),
    (["codes", "--kind", "int", "--five-bit", "1", "32"], True),
    (["codes", "--kind", "cc01", "32"], True),
    (["codes", "--five-bit", "2", "1"], True),
    (["status", "--num", "abc"], False),
    (["status", "--timeout-ms", "1.5"], True),
    (["loopback", "--count", "-3"], True),
    (["loopback", "--count", "0"], True),
    (["loopback", "--credit-limit", "33"], True),
    (["loopback", "--timeout-ms", "0"], True),
    (["loopback", "--sizes", "2000000"], True),
    (["loopback", "--sizes", "1,,2"], True),
    (["loopback", "--min", "10", "--max", "5"], True),
    (["send", "--random", "-1"], True),
    (["send", "--random", "99999999999"], True),
    (["send", "--hex", "01", "--channel", "256"], True),
    (["recv", "--timeout-ms", "-5"], True),
    (["recv", "--timeout-ms", "abc"], True),
    (["recv", "--count", "0"], True),
    (["recv", "--count", "1e3"], True),
    (["monitor", "--interval-ms", "50"], True),
    # configuration values
    (["config", "speed", "abc"], True),
    (["config", "speed"], True),
    (["config", "speed", "42"], True),
    (["config", "switch", "9", "9"], True),
    (["config", "switch", "3", "4"], True),
    (["config", "status-freq", "256"], True),
    (["config", "data-filter", "1"], True),
    (["config", "bridge-mac", "00:01:02"], True),
    (["config", "bogus"], True),
    (["config"], True),
    # addresses, bytes, paths
    (["status", "--bridge", "00:01:02:03:04:05:06"], True),
    (["status", "--host", "zz:zz:zz:zz:zz:zz"], True),
    (["send", "--hex", "0g"], True),
    (["send", "--hex", "012"], True),
    (["rmap", "read", "--address", "0", "--target-path", "1,2,3,4,5,6,7,8,9,10,11,12,13"], True),
    (["rmap", "read", "--address", "0", "--reply-path", "256"], True),
    # what goes with what
    (["send", "--hex", "01", "--random", "4"], True),
    (["send", "--file", "/nonexistent/packet"], True),
    (["status", "--iface", HOST_LINK, "--num", "0"], False),
    (["codes"], True),
    (["codes", "--kind", "bogus", "1"], True),
    (["rmap"], True),
    (["rmap", "frob", "--address", "0"], True),
    (["rmap", "read"], True),
    (["rmap", "write", "--address", "0"], True),
    (["rmap", "read", "--address", "0", "--hex", "01"], True),
    (["rmap", "rmw", "--address", "0", "--hex", "0102", "--mask", "01"], True),
    # unknown options, stray arguments, no adapter, no command
    (["status", "--bogus"], True),
    (["status", "extra"], True),
    (["loopback", "--count"], True),
    (["status"], False),
    (["list", "--iface", HOST_LINK], False),
    (["info", "extra"], False),
    (["frobnicate"], False),
    ([], False),
]

RUNTIME = [
    # (arguments, the demo's line must contain)
    (["status", "--iface", "spw-nosuch"], "cannot open adapter spw-nosuch"),
    (["status", "--iface", HOST_LINK, "--timeout-ms", "300"], "no status record"),
    (["recv", "--iface", HOST_LINK, "--timeout-ms", "300"], "no packet"),
    (["rmap", "read", "--iface", HOST_LINK, "--address", "0", "--timeout-ms", "300"],
     "RMAP read failed"),
]


def check_wrong(demo):
    failures = []
    for args, with_iface in WRONG:
        full = args + (IFACE if with_iface else [])
        before = frames_sent()
        shown = run(demo, *full)
        sent = frames_sent() - before
        lines = shown.stderr.splitlines()
        if shown.returncode != 2 or len(lines) != 1 or shown.stdout or sent:
            failures.append(f"{full}: exit {shown.returncode}, {sent} frames sent, "
                            f"stdout {shown.stdout!r}, stderr {shown.stderr!r}")
        elif "usage: spweth-demo" not in lines[0]:
            failures.append(f"{full}: no usage line in {lines[0]!r}")
    return failures


def check_runtime(demo):
    """Without a bridge: each failure is one line of the demo's, exit 1."""
    failures = []
    for args, text in RUNTIME:
        shown = run(demo, *args)
        lines = error_lines(shown.stderr)
        if shown.returncode != 1 or len(lines) != 1 or text not in lines[0]:
            failures.append(f"{args}: exit {shown.returncode}, stderr {shown.stderr!r}")
    # loopback stops at its first lost packet instead of waiting out a hundred
    start = time.monotonic()
    shown = run(demo, "loopback", *IFACE, "--timeout-ms", "500", "--quiet")
    seconds = time.monotonic() - start
    lines = error_lines(shown.stderr)
    if (shown.returncode != 1 or seconds > 3 or len(lines) != 1
            or "no answer from the bridge" not in lines[0]):
        failures.append(f"loopback without a bridge: exit {shown.returncode} after {seconds:.1f} s,"
                        f" stderr {shown.stderr!r}")
    elif "Loopback summary: 100 packets, 0 intact" not in shown.stdout or "1 lost" not in shown.stdout:
        failures.append(f"loopback without a bridge: summary {shown.stdout!r}")
    return failures


# The menu's answers that are out of range: each does nothing. Then one good
# time code, which is the one frame the menu may send.
MENU_WRONG = [
    ("d", "9"),                 # data mode 9
    ("d", "3", "4"),            # control-code mode 4 does not exist
    ("d", "abc"),
    ("8", "64"),                # time code 64
    ("8", "-1"),
    ("9", "1", "0", "64"),      # interrupt code 64
    ("9", "1", "1", "32"),      # five-bit interrupt code 32
    ("9", "3"),                 # neither INT nor ACK
    ("c", "abc"),               # link rate
    ("6", "0g"),                # packet bytes
    ("6", "01", "3"),           # end marker 3
    ("k", "0"),                 # no packets
    ("k", "2", "10", "5"),      # largest below smallest
    ("h", "2", "33", "256"),    # crediting, credit limit, wait level: each refused
]
MENU_REFUSALS = len(MENU_WRONG) + 2


def check_menu(demo):
    """The menu refuses what the command line refuses: nothing goes out."""
    listed = run(demo, "list").stdout.splitlines()
    number = next(line.split(".")[0] for line in listed if line.split(" ")[1] == HOST_LINK)
    answers = ["2", number]
    for action in MENU_WRONG:
        answers += action
    answers += ["8", "5", "0"]
    before = frames_sent()
    shown = subprocess.run([demo, "menu"], input="\n".join(answers) + "\n", capture_output=True,
                           text=True, timeout=60)
    sent = frames_sent() - before
    refused = shown.stdout.count("nothing done") + shown.stdout.count("nothing sent")
    failures = []
    if shown.returncode != 0 or sent != 1 or refused != MENU_REFUSALS:
        failures.append(f"menu: exit {shown.returncode}, {sent} frames sent (1 expected), "
                        f"{refused} of {MENU_REFUSALS} answers refused:\n{shown.stdout[-3000:]}")
    return failures


def main():
    demo, emulator = sys.argv[1], sys.argv[2]
    if outside_test_namespace():
        return 77
    quiet_links()
    failures = check_runtime(demo) + check_menu(demo)
    bridge = Emulator(emulator, "--status-ms", "0", "--rmap-target", "0xFE,0x20,4096")
    try:
        failures += check_wrong(demo)
    finally:
        counters = bridge.stop()
    if frames_from_host(counters):
        failures.append(f"the emulator counted frames from the host: {frames_from_host(counters)}")
    return report(failures, f"{len(WRONG)} wrong invocations, "
                  f"{len(RUNTIME) + 1} failures at run time, ")


if __name__ == "__main__":
    sys.exit(main())
