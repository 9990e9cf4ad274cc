"""The package against the bridge emulator over real libpcap."""

import gc
import json
import logging
import os
import random
import subprocess
import sys
import time

import pytest

import spweth
from conftest import BRIDGE_ADDRESS, HOST_LINK, needs


@needs("SpW_Recv_Packet_From_MAC_Timeout")
@pytest.mark.parametrize("crediting", [False, True], ids=["credits off", "credits on"])
def test_loopback_keeps_every_size_and_end_marker(socket, crediting):
    if crediting:
        spweth.set_read_buffer(skip_own_frames=True)
        spweth.set_crediting(True, timeout=3.0)
    rng = random.Random(15)
    for size in (1, 1495, 1496, 70_000):
        for eep in (False, True):
            data = rng.randbytes(size)
            socket.send(data, eep=eep)
            assert socket.recv(timeout=3.0) == spweth.Packet(data, eep), (size, eep)
    # An empty packet sends no frame: nothing comes back, and the next packet is intact.
    socket.send(b"", eep=True)
    with pytest.raises(spweth.Timeout):
        socket.recv(timeout=0.3)
    socket.send(bytearray(b"\x01\x02"))
    assert socket.recv(timeout=3.0) == spweth.Packet(b"\x01\x02", False)


@needs("SpW_Recv_Packet_From_MAC_Timeout")
def test_recv_times_out_and_handlers_see_control_codes_and_status(socket):
    codes, records = [], []
    socket.on_control_codes(lambda data, source: codes.append((data, source)))
    socket.on_status(lambda status, source: records.append(status))
    socket.send_time_code(37)
    start = time.monotonic()
    with pytest.raises(spweth.Timeout):
        socket.recv(timeout=0.35)
    assert 0.3 <= time.monotonic() - start < 2.0
    assert codes and codes[0][1] == BRIDGE_ADDRESS
    assert codes[0][0][0] & 0x3F == 37
    assert records and all(r.spw1.link_state == 5 for r in records)

    # What a handler raises comes out of the call that ran it.
    def fail(data, source):
        raise RuntimeError("handler failed")

    socket.on_control_codes(fail)
    socket.send_time_code(1)
    with pytest.raises(RuntimeError, match="handler failed"):
        socket.recv(timeout=0.3)

    def once(data, source):  # a handler that removes itself while it runs
        codes.append(data)
        socket.on_control_codes(None)

    socket.on_control_codes(once)
    del codes[:]
    socket.send_time_code(2)
    socket.send_time_code(3)
    with pytest.raises(spweth.Timeout):
        socket.recv(timeout=0.3)
    assert len(codes) == 1 and codes[0][0] & 0x3F == 2


@needs("SpW_Recv_Packet_From_MAC_Timeout")
def test_status_reports_what_the_bridge_counted_and_configured(socket):
    sizes = [100, 2000, 3]
    for i, size in enumerate(sizes):
        socket.send(bytes(size), eep=i == 1)
        socket.recv(timeout=3.0)
    socket.configure(speed=100, switch_mode=(1, 2), status_period=0.1)
    time.sleep(0.25)  # a status period for the counters and settings to show
    status = socket.status(timeout=2.0)
    assert (status.spw1.tx_bytes, status.spw1.tx_packets) == (sum(sizes), 3)
    assert (status.spw2.rx_bytes, status.spw2.rx_packets, status.spw2.rx_packets_eep) == (
        sum(sizes), 3, 1)
    assert status.spw2.rx_packets_eop == 2
    assert (status.spw1.link_state_name, status.spw2.link_state_name) == ("RUN", "RUN")
    assert (status.speed, status.speed_mbit) == (0x04, 100)
    assert (status.data_switch_mode, status.ccode_switch_mode) == (1, 2)
    later = socket.status(timeout=2.0)
    assert later.time > status.time
    assert "Speed: (4) 100" in str(later)


def test_status_timeout_and_bad_arguments(start_bridge):
    start_bridge("--status-ms", "0")
    with spweth.open(HOST_LINK, idle_wait=False) as socket:
        with pytest.raises(spweth.Timeout):
            socket.status(timeout=0.3)
        assert spweth.library().get_wait_receive_status() == 1  # the wait flag is set again
        for call, error in [
            (lambda: socket.send("text"), TypeError),
            (lambda: socket.send(b"x", channel=256), ValueError),
            (lambda: socket.send_time_code(64), ValueError),
            (lambda: socket.recv(timeout=-1), ValueError),
            (lambda: socket.configure(speed=123), ValueError),
            (lambda: socket.configure(switch_mode=(9, 0)), ValueError),
            (lambda: socket.set_bridge_address("00:01:02"), ValueError),
            (lambda: socket.rmap(key=256), ValueError),
            (lambda: socket.rmap(target_address=bytes(13)), ValueError),
            (lambda: socket.rmap(reply_address=b"\x00\x05"), ValueError),
            (lambda: socket.rmap().rmw(0, b"12345", b"12345"), ValueError),
            (lambda: socket.rmap().read(0, 4, timeout=None), TypeError),
        ]:
            with pytest.raises(error):
                call()
    with pytest.raises(spweth.Error, match="closed"):
        socket.send(b"x")


@needs("set_console_handler")
def test_library_messages_go_to_the_spweth_logger(start_bridge, caplog, capfd):
    caplog.set_level(logging.INFO, logger="spweth")
    gc.collect()  # the C callback lives with the library, not with a caller's reference
    with spweth.open(HOST_LINK) as socket:  # no bridge behind it: no credits ever come
        spweth.set_read_buffer(skip_own_frames=True)
        # Whatever credits earlier tests left, the frames of this packet use them
        # up, and the wait for more cannot end.
        spweth.set_crediting(True, limit=32, wait_level=255, timeout=0.2)
        try:
            with pytest.raises(spweth.Error):
                socket.send(bytes(400_000))
        finally:
            spweth.set_crediting(False, limit=10, wait_level=15)
    logged = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "spweth"]
    assert any(level == logging.INFO and text.startswith("Listening on ")
               for level, text in logged), logged
    assert (logging.WARNING,
            "Error sending packet: no credits from the bridge within 200 ms") in logged
    spweth.library().flush_stdout()
    printed = capfd.readouterr()
    assert printed.out == "" and "Error sending" not in printed.err


def test_open_names_the_adapter_and_the_missing_capability(start_bridge):
    start_bridge()
    with pytest.raises(spweth.Error, match="no adapter named 'spw-none'"):
        spweth.open("spw-none")
    dropped = subprocess.run(
        ["setpriv", "--inh-caps=-net_raw", "--bounding-set=-net_raw", sys.executable, "-c",
         f"import spweth; spweth.open({HOST_LINK!r})"],
        capture_output=True, text=True, env=os.environ)
    assert dropped.returncode != 0
    assert "spweth.Error: cannot open adapter spw-host: capturing needs CAP_NET_RAW" in (
        dropped.stderr)


def run_cli(*args):
    command = [sys.executable, "-m", "spweth", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=120)


def run_demo(*args):
    return subprocess.run([os.environ["SPWETH_DEMO"], *args], capture_output=True, text=True,
                          timeout=120)


@needs("SpW_Recv_Packet_From_MAC_Timeout")
def test_command_line_prints_what_the_demo_prints(start_bridge):
    start_bridge("--status-ms", "100")
    assert run_cli("list").stdout == run_demo("list").stdout
    ours, demo = run_cli("status", "--iface", HOST_LINK), run_demo("status", "--iface", HOST_LINK)
    assert ours.returncode == demo.returncode == 0

    def without_clock(text):  # the records differ in time and in the demo's own counters
        return [line for line in text.splitlines() if not line.startswith(("Time:", "Tx", "Rx"))]

    assert without_clock(ours.stdout) == without_clock(demo.stdout)
    job = ["loopback", "--iface", HOST_LINK, "--count", "40", "--min", "0", "--max", "5000",
           "--seed", "3"]
    ours, demo = run_cli(*job), run_demo(*job)
    assert ours.returncode == demo.returncode == 0, ours.stdout + ours.stderr

    def summary(text):
        line = text.splitlines()[-1]
        return line[:line.index(" bytes,")], line[line.index(" MB/s,"):]

    assert summary(ours.stdout) == summary(demo.stdout)
    assert "Loopback summary: 40 packets, 40 intact" in ours.stdout


def json_lines(shown):
    assert shown.returncode == 0, shown.stderr
    return [json.loads(line) for line in shown.stdout.splitlines()]


def shape(record):
    """The field names of a record, nested records included."""
    return {key: shape(value) if isinstance(value, dict) else None for key, value in record.items()}


def test_json_output_has_the_demo_s_fields(start_bridge):
    start_bridge("--status-ms", "100")
    assert json_lines(run_cli("list", "--json")) == json_lines(run_demo("list", "--json"))
    (ours,) = json_lines(run_cli("status", "--iface", HOST_LINK, "--json"))
    (demo,) = json_lines(run_demo("status", "--iface", HOST_LINK, "--json"))
    assert shape(ours) == shape(demo)
    for stable in ("record", "bridge", "speed_code", "speed_mbit", "switch_state"):
        assert ours[stable] == demo[stable], stable
    assert ours["spw1"]["link_state_name"] == demo["spw1"]["link_state_name"] == "RUN"
    job = ["loopback", "--iface", HOST_LINK, "--count", "20", "--max", "3000", "--seed", "4",
           "--json"]
    (ours,), (demo,) = json_lines(run_cli(*job)), json_lines(run_demo(*job))
    assert shape(ours) == shape(demo)
    for key in ("packets", "sent", "intact", "bytes", "errors", "lost", "credit_flow_control"):
        assert ours[key] == demo[key], key


def test_link_monitor_draws_both_links(start_bridge, tmp_path):
    start_bridge("--status-ms", "100")
    load = subprocess.Popen([os.environ["SPWETH_DEMO"], "loopback", "--iface", HOST_LINK,
                             "--count", "3000", "--min", "1000", "--max", "3000", "--quiet"],
                            stdout=subprocess.DEVNULL)
    plot = tmp_path / "links.png"
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "link_monitor.py")
    try:
        shown = subprocess.run([sys.executable, example, "--iface", HOST_LINK, "--seconds", "1.5",
                                "--out", str(plot)], capture_output=True, text=True, timeout=60)
    finally:
        load.kill()
        load.wait()
    assert shown.returncode == 0, shown.stderr
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "status records" in shown.stdout
