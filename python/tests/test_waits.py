"""Threads, Ctrl-C and time-outs through the bridge emulator."""

import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import spweth
from conftest import HOST_LINK
from test_rmap import TARGET


def test_two_threads_receive_and_send_under_credit_flow_control(start_bridge):
    """The mode as the package sets it: 3 000 random packets, all back, in order."""
    start_bridge("--status-ms", "100")
    rng = random.Random(24)
    packets = [(rng.randbytes(rng.randint(1, 4000)), rng.random() < 0.2) for _ in range(3000)]
    got, failures = [], []
    with spweth.open(HOST_LINK) as socket:
        spweth.set_read_buffer(skip_own_frames=True)
        spweth.set_crediting(True, timeout=3.0)
        try:
            def receive():
                try:
                    for packet in socket.packets(timeout=5.0):
                        got.append(packet)
                        if len(got) == len(packets):
                            return
                except BaseException as error:  # noqa: B902 - reported by the test
                    failures.append(error)

            receiver = threading.Thread(target=receive)
            receiver.start()
            for data, eep in packets:
                socket.send(data, eep=eep)
            receiver.join(timeout=60)
        finally:
            spweth.set_crediting(False)
        assert not failures and not receiver.is_alive()
        assert [(p.data, p.eep) for p in got] == packets
        assert socket.counters.packets_cut == 0


CHILD = textwrap.dedent("""
    import sys, time, spweth
    socket = spweth.open("spw-host")
    target = socket.rmap()

    def credit_wait():  # credits that never reach the wait level
        spweth.set_read_buffer(skip_own_frames=True)
        spweth.set_crediting(True, limit=32, wait_level=255)
        try:
            socket.send(bytes(400_000))
        finally:
            spweth.set_crediting(False, limit=10, wait_level=15)

    waits = {
        "recv for 6 s": lambda: socket.recv(timeout=6),
        "recv for ever": lambda: socket.recv(),
        "status for ever": lambda: socket.status(None),
        "events for ever": lambda: list(socket.events(None)),
        "RMAP read for ever": lambda: target.read(0, 4, timeout=None),
        "credit wait": credit_wait,
    }
    for name, wait in waits.items():
        print("waiting", name, flush=True)
        try:
            wait()
            print("returned", name, flush=True)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
        socket.send(b"\\x01\\x02")  # the socket stays usable
        assert socket.recv(timeout=2.0).data == b"\\x01\\x02"
    print("usable", flush=True)
""")


def test_ctrl_c_ends_every_wait_within_100_ms(start_bridge):
    start_bridge("--status-ms", "0", *TARGET, "--rmap-drop-every", "1")
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
    delays = {}
    try:
        while True:
            line = child.stdout.readline().split()
            if line[:1] != ["waiting"]:
                break
            name = " ".join(line[1:])
            time.sleep(1.0)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            answer = child.stdout.readline().split()
            assert answer[:1] == ["interrupted"], (name, answer)
            delays[name] = float(answer[1]) - sent
        assert line == ["usable"]
        assert child.wait(timeout=10) == 0
    finally:
        child.kill()
        child.wait()
    assert len(delays) == 6
    assert max(delays.values()) < 0.1, delays


def test_time_outs_mean_the_same_everywhere(start_bridge):
    start_bridge("--status-ms", "0", *TARGET)
    with spweth.open(HOST_LINK) as socket:
        start = time.monotonic()
        with pytest.raises(spweth.Timeout):
            socket.recv(timeout=0)  # polls once
        with pytest.raises(spweth.Timeout):
            socket.status(timeout=0)
        assert time.monotonic() - start < 0.05
        socket.send(b"\x07")
        time.sleep(0.05)
        assert socket.recv(timeout=0).data == b"\x07"  # a packet already there
        start = time.monotonic()
        with pytest.raises(spweth.Timeout):
            socket.recv(timeout=0.25)
        assert 0.25 <= time.monotonic() - start < 0.4
        target = socket.rmap()
        target.write(0, b"\x01\x02\x03\x04", timeout=None)
        assert target.read(0, 4, timeout=None) == b"\x01\x02\x03\x04"


def test_a_handler_that_raises_loses_no_packet(socket):
    def fail(codes, source):
        raise RuntimeError("handler failed")

    socket.on_control_codes(fail)
    socket.send_code("time", 1)
    socket.send(b"kept")
    with pytest.raises(RuntimeError, match="handler failed"):
        socket.recv(timeout=2.0)
    socket.on_control_codes(None)
    assert socket.recv(timeout=2.0).data == b"kept"
    assert socket.counters.packets_cut == 0

