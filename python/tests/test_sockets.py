"""Sockets of their own, events, packets with times, buffers, RMAP in flight,
asyncio and the pytest plugin, through the bridge emulator."""

import array
import asyncio
import datetime
import os
import subprocess
import sys
import textwrap

import pytest

import spweth
from conftest import BRIDGE_ADDRESS, HOST_LINK
from test_rmap import TARGET


def test_sockets_of_their_own_addresses_counters_and_times(start_bridge):
    start_bridge("--status-ms", "0")
    shown = subprocess.run(["ip", "-o", "link", "show", HOST_LINK], capture_output=True,
                           text=True, check=True).stdout.split()
    adapter_address = shown[shown.index("link/ether") + 1]
    with spweth.open(HOST_LINK, bridge=BRIDGE_ADDRESS, source="adapter") as ours, \
            spweth.open(HOST_LINK, bridge="02:00:00:00:00:99") as other:
        assert (ours.bridge_address, ours.source_address) == (BRIDGE_ADDRESS, adapter_address)
        assert other.bridge_address == "02:00:00:00:00:99"
        before = ours.counters
        sent = [bytes([n]) * (n * 700 + 1) for n in range(1, 6)]
        for data in sent:
            ours.send(data)
        now = datetime.datetime.now(datetime.timezone.utc)
        got = list(ours.packets(timeout=1.0))
        assert [p.data for p in got] == sent
        assert all(abs((p.time - now).total_seconds()) < 2 for p in got)
        assert [p.time_ns for p in got] == sorted(p.time_ns for p in got)
        after = ours.counters
        assert after.packets_received - before.packets_received == 5
        assert after.frames_received - before.frames_received >= 5
        assert after.packets_cut == 0
        with pytest.raises(spweth.Timeout):  # nothing came from its bridge
            other.recv(timeout=0.2)


def test_events_come_as_items_and_every_code_kind_is_sent(start_bridge):
    start_bridge("--status-ms", "100")
    with spweth.open(HOST_LINK) as socket:
        seen = []
        socket.on_status(lambda status, source: seen.append(source))
        socket.send(b"between")  # kept for recv while events() runs
        for kind, value in [("time", 5), ("int", 33), ("ack", 9), ("cc01", 4), ("cc11", 3),
                            ("raw", 0xE5)]:
            socket.send_code(kind, value)
        socket.send_code("int", [1, 2], five_bit=True)
        items, codes = [], []
        for event in socket.events(timeout=1.0):  # status records come every 100 ms
            items.append(event)
            if isinstance(event, spweth.ControlCode):
                codes.append((event.kind, event.value))
            if len(codes) == 8 and any(isinstance(e, spweth.Status) for e in items):
                break
        # cc01 codes (010vvvvv) read as interrupt codes; five-bit ones are 100iiiii.
        assert codes == [("time", 5), ("int", 33), ("ack", 9), ("int", 4), ("cc11", 3),
                         ("raw", 0xE5), ("ack", 1), ("ack", 2)]
        assert any(isinstance(e, spweth.Status) and e.spw1.running for e in items)
        assert seen and seen[0] == BRIDGE_ADDRESS  # handlers still run first
        assert socket.recv(timeout=1.0).data == b"between"


def test_recv_into_and_send_take_buffers_without_copies(socket):
    buffer = bytearray(4000)
    socket.send(memoryview(b"abcdef")[1:4])
    assert socket.recv_into(buffer, timeout=2.0) == (3, False)
    assert buffer[:3] == b"bcd"
    words = array.array("I", range(500))
    socket.send(words, eep=True)
    assert socket.recv_into(memoryview(buffer)[100:], timeout=2.0) == (2000, True)
    assert buffer[100:2100] == words.tobytes()
    socket.send(bytes(100))
    with pytest.raises(spweth.Error, match="did not fit"):
        socket.recv_into(bytearray(10), timeout=2.0)
    with pytest.raises(TypeError):
        socket.recv_into(b"read-only", timeout=0)


def test_rmap_in_flight_keeps_order_and_other_packets(start_bridge):
    start_bridge(*TARGET, "--rmap-latency-us", "200")
    with spweth.open(HOST_LINK) as socket:
        target = socket.rmap()
        blocks = [(0x100 * i, bytes([i]) * (i + 1)) for i in range(40)]
        target.write_many(blocks, window=16)
        socket.send(b"ordinary")
        assert target.read_many([(a, len(d)) for a, d in blocks], window=16) == [
            d for _, d in blocks]
        assert socket.recv(timeout=2.0).data == b"ordinary"
        pending = [target.begin_read(0x100 * i, 1) for i in range(5)]
        rmw = target.begin_rmw(0x100, b"\xF0", b"\xFF")
        assert [t.result(1.0) for t in pending] == [bytes([i]) for i in range(5)]
        assert rmw.result(1.0) == b"\x01" and rmw.done and rmw.result() == b"\x01"
        target.write32(0x2000, 0x01020304)
        assert target.read(0x2000, 4) == b"\x01\x02\x03\x04"  # big-endian on the wire
        assert target.read32(0x2000, byteorder="little") == 0x04030201
        with pytest.raises(spweth.RmapError):
            socket.rmap(key=0x21).read_many([(0, 4)] * 3)
        assert target.read32(0x2000) == 0x01020304  # nothing was left in flight


def test_asyncio_socket_and_rmap(start_bridge):
    start_bridge(*TARGET, "--status-ms", "100")

    async def main():
        async with spweth.aio.open(HOST_LINK) as socket:
            waiting = asyncio.create_task(socket.recv(timeout=2.0))
            await asyncio.sleep(0.05)  # the loop runs while the receive waits
            await socket.send(b"\x01\x02\x03")
            packet = await waiting
            target = socket.rmap()
            await target.write(0x10, b"\xAA\xBB\xCC\xDD")
            reads = await asyncio.gather(*(target.read(0x10, 4) for _ in range(8)))
            status = await socket.status(timeout=2.0)
            with pytest.raises(spweth.Timeout):
                await socket.recv(timeout=0.1)
            return packet, reads, status

    packet, reads, status = asyncio.run(main())
    assert packet.data == b"\x01\x02\x03"
    assert reads == [b"\xAA\xBB\xCC\xDD"] * 8
    assert status.spw1.running


def test_pytest_plugin_gives_scripts_an_emulator_of_their_own(tmp_path):
    script = tmp_path / "test_instrument.py"
    script.write_text(textwrap.dedent("""
        import pytest

        @pytest.mark.bridge_emulator(rmap_target="0xFE,0x20,4096", status_ms=100)
        def test_loopback_and_rmap(bridge_emulator):
            bridge_emulator.send(b"\\x05\\x06")
            assert bridge_emulator.recv(timeout=2.0).data == b"\\x05\\x06"
            target = bridge_emulator.rmap()
            target.write32(0x40, 0xCAFE0001)
            assert target.read32(0x40) == 0xCAFE0001
            assert bridge_emulator.status(timeout=2.0).spw1.running

        def test_outside_the_fixture_nothing_is_left():
            import subprocess
            assert subprocess.run(["ip", "link", "show", "spwt-host"],
                                  capture_output=True).returncode != 0
    """))
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "spweth.testing", "-q",
                          "-p", "no:cacheprovider", str(script)], capture_output=True, text=True,
                         cwd=tmp_path, env=os.environ, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "2 passed" in run.stdout
