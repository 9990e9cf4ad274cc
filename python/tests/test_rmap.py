"""RMAP through the bridge emulator's target (logical address 0xFE, key 0x20)."""

import json
import os
import subprocess
import time

import pytest

import spweth
from conftest import HOST_LINK, needs
from test_bridge import run_cli, run_demo

TARGET = ("--rmap-target", "0xFE,0x20,65536")


@pytest.fixture
def rmap_bridge(start_bridge):
    """start_bridge with the emulator's RMAP target, skipped where it has none."""
    usage = subprocess.run([os.environ["SPWETH_BRIDGE_EMU"], "--help"], capture_output=True,
                           text=True).stdout
    if "--rmap-target" not in usage:
        pytest.skip("the bridge emulator has no RMAP target yet")
    return lambda *options: start_bridge(*TARGET, *options)


@needs("SpW_RMAP_Read")
def test_write_read_and_read_modify_write(rmap_bridge):
    rmap_bridge()
    with spweth.open(HOST_LINK) as socket:
        target = socket.rmap()
        data = bytes(range(256)) * 40
        target.write(0x100, data)
        assert target.read(0x100, len(data)) == data
        target.write(0x10, b"\xAA\xBB", verify=True)
        assert target.rmw(0x10, b"\x0F\xF0", b"\xFF\x0F") == b"\xAA\xBB"
        assert target.read(0x10, 2) == b"\x0F\xB0"  # (data & mask) | (old & ~mask)
        target.write(0x20, b"\x5A", reply=False)
        assert target.read(0x20, 1) == b"\x5A"
        with pytest.raises(spweth.RmapError) as refused:
            socket.rmap(key=0x21).read(0, 4)
        assert refused.value.status == 3 and refused.value.text
        socket.send(b"\x01\x02")  # ordinary packets still loop back
        assert socket.recv(timeout=2.0).data == b"\x01\x02"


@needs("SpW_RMAP_Read")
def test_read_whose_reply_is_dropped_times_out(rmap_bridge):
    rmap_bridge("--rmap-drop-every", "1")
    with spweth.open(HOST_LINK) as socket:
        start = time.monotonic()
        with pytest.raises(spweth.Timeout):
            socket.rmap().read(0, 4, timeout=0.3)
        assert 0.25 <= time.monotonic() - start < 2.0


@needs("SpW_RMAP_Read")
def test_command_line_rmap_prints_what_the_demo_prints(rmap_bridge):
    rmap_bridge()
    iface = ("--iface", HOST_LINK, "--key", "0x20", "--address", "0x40")
    # Each job runs twice (ours, then the demo's): every job leaves the memory as it found it.
    for job in [("rmap", "write", *iface, "--hex", "01 02 03 04 05"),
                ("rmap", "read", *iface, "--length", "5"),
                # the key both default to is the emulator's 0x20
                ("rmap", "read", "--iface", HOST_LINK, "--address", "0x40", "--length", "5"),
                ("rmap", "rmw", *iface, "--hex", "01 ff", "--mask", "0f 00"),
                ("rmap", "read", "--iface", HOST_LINK, "--address", "0", "--key", "0x21")]:  # wrong key
        ours, demo = run_cli(*job), run_demo(*job)
        assert (ours.stdout, ours.returncode) == (demo.stdout, demo.returncode), job
    assert "RMAP read at 0x00:00000000: 3," in ours.stdout
    # --json: the demo's objects, field for field
    for job in [("rmap", "write", *iface, "--hex", "0a 0b", "--json"),
                ("rmap", "read", *iface, "--length", "2", "--json"),
                ("rmap", "rmw", *iface, "--hex", "01 02", "--mask", "00 00", "--json"),  # no change
                ("rmap", "read", "--iface", HOST_LINK, "--address", "0", "--key", "0x21", "--json")]:
        ours, demo = run_cli(*job), run_demo(*job)
        assert (json.loads(ours.stdout), ours.returncode) == (json.loads(demo.stdout),
                                                              demo.returncode), job
