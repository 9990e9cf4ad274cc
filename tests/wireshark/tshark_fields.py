"""Runs tshark with the dissector and gives the fields of each frame.

A missing tshark or a Lua error fails the test: scripts/install-deps.sh
installs tshark, and tshark carries on without a script that failed to load."""
import shutil
import subprocess
import sys


def run_tshark(script, capture, arguments, two_pass=True):
    tshark = shutil.which("tshark")
    if tshark is None:
        sys.exit("tshark is missing: run scripts/install-deps.sh")
    # -2: two passes; without, the dissector reads the capture ahead to pair RMAP
    # commands with their replies.
    passes = ["-2"] if two_pass else []
    command = [tshark, "-n", *passes, "-X", "lua_script:" + script, "-r", capture] + arguments
    result = subprocess.run(command, capture_output=True, text=True)
    # A script that fails to load leaves tshark running without it; one that
    # fails on a frame leaves "Lua Error" in that frame's expert info.
    if result.returncode != 0 or "Lua: Error" in result.stderr or "Lua Error" in result.stdout:
        sys.exit("tshark failed (%d):\n%s%s" % (result.returncode, result.stderr, result.stdout))
    return result.stdout


def frame_fields(script, capture, fields, display_filter=None, two_pass=True, options=()):
    """One dict a frame: field -> value as tshark prints it, several
    occurrences joined with ','; frame.number and the expert messages are
    always there. options: preferences, "name:value" for tshark -o."""
    names = ["frame.number", "_ws.expert.message"] + [f for f in fields if f != "_ws.expert.message"]
    arguments = ["-T", "fields", "-E", "separator=/t", "-E", "occurrence=a", "-E", "aggregator=,"]
    for name in names:
        arguments += ["-e", name]
    if display_filter:
        arguments += ["-Y", display_filter]
    for option in options:
        arguments += ["-o", option]
    rows = []
    for line in run_tshark(script, capture, arguments, two_pass).splitlines():
        rows.append(dict(zip(names, line.split("\t"))))
    return rows


def report(failures, frames):
    """Prints the failures; the test's exit status."""
    for failure in failures:
        print(failure)
    print("%d frames checked, %d failures" % (frames, len(failures)))
    return 1 if failures else 0
