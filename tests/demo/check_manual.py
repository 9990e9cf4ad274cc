#!/usr/bin/env python3
"""The manual pages match the programs: every option that spweth-demo's
commands and spweth-bridge-emu list in --help is in their page, with the exit
codes; no page has roff warnings.

    check_manual.py DEMO EMULATOR MAN_DIR
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_support import report  # noqa: E402

COMMANDS = ["list", "send", "recv", "codes", "config", "status", "loopback", "rmap", "monitor"]


def options_of(help_text):
    return set(re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*)", help_text))


def in_page(page, option):
    return option.replace("-", r"\-") in page


def main():
    demo, emulator, man_dir = sys.argv[1:4]
    failures = []
    demo_page = open(os.path.join(man_dir, "spweth-demo.1")).read()
    for command in COMMANDS:
        shown = subprocess.run([demo, command, "--help"], capture_output=True, text=True)
        if shown.returncode != 0:
            failures.append(f"spweth-demo {command} --help: exit {shown.returncode}")
        for option in sorted(options_of(shown.stdout) - {"--help"}):
            if not in_page(demo_page, option):
                failures.append(f"spweth-demo(1) lacks {command} {option}")
        if not re.search(r"^\.B " + re.escape(command) + r"\b", demo_page, re.M):
            failures.append(f"spweth-demo(1) has no entry for {command}")
    emulator_page = open(os.path.join(man_dir, "spweth-bridge-emu.1")).read()
    shown = subprocess.run([emulator, "--help"], capture_output=True, text=True)
    for option in sorted(options_of(shown.stdout + shown.stderr) - {"--help"}):
        if not in_page(emulator_page, option):
            failures.append(f"spweth-bridge-emu(1) lacks {option}")
    for name, page in (("spweth-demo", demo_page), ("spweth-bridge-emu", emulator_page)):
        if ".SH EXIT STATUS" not in page:
            failures.append(f"{name}(1) has no EXIT STATUS")
    for page in ("spweth-demo.1", "spweth-bridge-emu.1", "spweth.3", "spweth_rmap.3"):
        rendered = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z",
                                   os.path.join(man_dir, page)], capture_output=True, text=True,
                                  env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
        if rendered.returncode != 0 or rendered.stderr.strip():
            failures.append(f"{page}: {rendered.stderr.strip() or rendered.returncode}")
    return report(failures)


if __name__ == "__main__":
    sys.exit(main())
