"""spweth-gateway end to end: an SSDTP2 client of our own over loopback TCP,
the gateway on spw-host, the bridge emulator (SpW1 looped to SpW2, an RMAP
target) on spw-bridge."""

import os
import random
import re
import signal
import subprocess
import time

import pytest

import rmap_commands as rmap

from conftest import HOST_LINK, PORT
from ssdtp2_client import (EEP, EOP, PIECE, TIME_FROM_LINK, TIME_TO_LINK, Client, header,
                           packet_frame, time_code_frame)


# A gateway that polls for the bridge's next frame after each packet must
# behave as one that sleeps at once.
SPIN = pytest.mark.parametrize("gateway", [(), ("--spin-us", "100")], indirect=True,
                               ids=["sleeping", "spinning"])


# ----------------------------------------------------------------- RMAP

@SPIN
def test_rmap_write_and_read_back_through_the_gateway(gateway):
    client = Client(PORT)
    data = bytes(range(1, 33))
    client.send(packet_frame(rmap.write(1, 0x1000, data)))
    reply, eep = client.packet()
    assert not eep and reply[0] == 0x67 and reply[3] == 0, reply.hex()  # status 0
    assert int.from_bytes(reply[5:7], "big") == 1
    client.send(packet_frame(rmap.read(2, 0x1000, len(data))))
    reply, eep = client.packet()
    assert not eep and reply[3] == 0 and int.from_bytes(reply[5:7], "big") == 2
    assert reply[12:12 + len(data)] == data


# ----------------------------------------------------------------- packets and codes

@SPIN
@pytest.mark.parametrize("eep", [False, True], ids=["EOP", "EEP"])
def test_packets_of_every_boundary_length_come_back_whole(gateway, eep):
    client = Client(PORT)
    rng = random.Random(25)
    for length in (1, 1495, 1496, 1_000_000):
        data = rng.randbytes(length)
        client.send(packet_frame(data, eep))
        back, back_eep = client.packet(timeout=10)
        assert (len(back), back_eep) == (length, eep)
        assert back == data


@pytest.mark.parametrize("gateway", [("--spin-us", "10000")], indirect=True, ids=["spin-10ms"])
def test_a_spin_ends_as_soon_as_the_next_packet_is_there(gateway):
    # 100 packets sent at once: a spin that waited its whole 10 ms before
    # taking a packet already there would need a second for them.
    client = Client(PORT)
    packets = [bytes([n]) * (1 + 37 * n) for n in range(100)]
    started = time.monotonic()
    client.send(b"".join(packet_frame(p) for p in packets))
    for p in packets:
        assert client.packet(timeout=5) == (p, False)
    assert time.monotonic() - started < 0.5


def test_time_codes_go_both_ways_in_their_order(gateway):
    # A time code goes on the link at once, ahead of packets still queued.
    client = Client(PORT)
    client.send(time_code_frame(0x05) + packet_frame(b"\x01\x02") + time_code_frame(0x3F))
    seen = [client.frame() for _ in range(3)]
    assert (TIME_FROM_LINK, bytes([0x05, 0])) in seen and (TIME_FROM_LINK, bytes([0x3F, 0])) in seen
    assert (EOP, b"\x01\x02") in seen
    codes = [data[0] for flag, data in seen if flag == TIME_FROM_LINK]
    assert codes == [0x05, 0x3F]
    # Control flags travel as they are.
    client.send(time_code_frame(0xC7))
    assert client.frame() == (TIME_FROM_LINK, bytes([0xC7, 0]))


def test_a_client_that_splits_every_header_and_sends_pieces(gateway):
    client = Client(PORT)
    data = bytes(range(256)) * 12  # 3072 bytes in three pieces
    stream = (header(PIECE, 1000) + data[:1000] + header(PIECE, 0) + header(PIECE, 1000) +
              data[1000:2000] + header(EEP, 1072) + data[2000:])
    client.send_in_pieces(stream[:40], piece=1)       # every header byte a segment
    client.send_in_pieces(stream[40:], piece=5)
    assert client.packet() == (data, True)
    client.send_in_pieces(time_code_frame(0x11), piece=1)
    assert client.frame() == (TIME_FROM_LINK, bytes([0x11, 0]))


# ----------------------------------------------------------------- who may connect

def test_a_second_client_is_refused_while_one_is_served(gateway):
    first = Client(PORT)
    first.send(packet_frame(b"first"))
    assert first.packet() == (b"first", False)
    second = Client(PORT)
    assert second.closed_by_peer()
    gateway.wait_log("refused 127.0.0.1:")
    assert "a client is already served (127.0.0.1:" in gateway.text()
    first.send(packet_frame(b"still"))
    assert first.packet() == (b"still", False)
    first.close()
    gateway.wait_log("left")
    third = Client(PORT)  # served once the first has left
    third.send(packet_frame(b"third"))
    assert third.packet() == (b"third", False)


def test_a_client_outside_the_allowed_ranges_is_refused(start_gateway):
    gateway = start_gateway("--allow", "127.0.0.1/32")
    outsider = Client(PORT, source="127.0.0.2")
    assert outsider.closed_by_peer()
    gateway.wait_log("refused 127.0.0.2:")
    assert "not inside any --allow range" in gateway.text()
    insider = Client(PORT, source="127.0.0.1")
    insider.send(packet_frame(b"in"))
    assert insider.packet() == (b"in", False)


def test_listening_beyond_loopback_needs_an_allowed_range():
    result = subprocess.run([os.environ["SPWETH_GATEWAY"], "--iface", HOST_LINK,
                             "--listen", "0.0.0.0:10031"], capture_output=True, text=True,
                            timeout=10)
    assert result.returncode == 2
    assert "needs at least one --allow" in result.stderr
    result = subprocess.run([os.environ["SPWETH_GATEWAY"], "--iface", HOST_LINK,
                             "--allow", "10.0.0.0/33"], capture_output=True, text=True, timeout=10)
    assert result.returncode == 2 and "--allow" in result.stderr


def test_a_spin_beyond_its_range_is_refused():
    result = subprocess.run([os.environ["SPWETH_GATEWAY"], "--iface", HOST_LINK,
                             "--spin-us", "10001"], capture_output=True, text=True, timeout=10)
    assert result.returncode == 2 and "--spin-us" in result.stderr


# ----------------------------------------------------------------- bad input

BAD_INPUT = [
    (header(0x05, 1) + b"x", "unknown flag 0x05"),
    (header(TIME_FROM_LINK, 2) + b"\x01\x00", "unknown flag 0x31"),
    (header(EOP, 1, reserved=1) + b"x", "reserved byte 0x01, not 0"),
    (header(EOP, 4097), "frame of 4097 bytes, above --max-packet 4096"),
    (bytes([0, 0, 1]) + bytes(9), "frame size of 2^64 bytes or more"),
    (header(TIME_TO_LINK, 3) + b"\x01\x00\x00", "time-code frame of size 3, not 2"),
    (header(PIECE, 3000) + bytes(3000) + header(EOP, 1097),
     "pieces add up to 4097 bytes, above --max-packet 4096"),
]


def test_each_kind_of_bad_input_closes_only_its_connection(start_gateway):
    gateway = start_gateway("--max-packet", "4096")
    for stream, reason in BAD_INPUT:
        client = Client(PORT)
        client.send(packet_frame(b"before"))  # what came before the bad bytes goes through
        assert client.packet() == (b"before", False)
        client.send(stream)
        assert client.closed_by_peer(), reason
        gateway.wait_log("closed for bad input: " + reason)
    client = Client(PORT)
    client.send(packet_frame(bytes(4096)))
    assert client.packet() == (bytes(4096), False)
    assert f"closed_bad_input={len(BAD_INPUT)}" in stats(gateway)


# ----------------------------------------------------------------- flow and counters

def test_a_client_that_reads_too_slowly_is_disconnected(start_gateway):
    gateway = start_gateway("--max-packet", "262144", "--queue-bytes", "1048576")
    client = Client(PORT, receive_buffer=4096)
    chunk = packet_frame(bytes(262144))
    for _ in range(60):  # 15 MiB echoed back, none of it read
        try:
            client.send(chunk)
        except (BrokenPipeError, ConnectionResetError):
            break
    gateway.wait_log("reads too slowly", timeout=10)
    line = [l for l in gateway.text().splitlines() if "reads too slowly" in l][0]
    queued = int(re.search(r"(\d+) bytes queued, above --queue-bytes 1048576", line).group(1))
    assert queued > 1048576
    assert "disconnected_slow=1" in stats(gateway)
    again = Client(PORT)  # the next client is served, after what the bridge still held
    again.send(packet_frame(b"ok"))
    while (back := again.packet())[0] != b"ok":
        assert back == (bytes(262144), False)


@pytest.mark.parametrize("gateway", [(), ("--spin-us", "100")], indirect=True,
                         ids=["sleeping", "spinning"])
def test_a_client_that_pauses_gets_every_packet_whole_in_order_and_counted_once(gateway):
    # A small receive buffer and a pause in reading: the gateway's writes to
    # the client stop part way, in headers and in data, and the rest of each
    # frame waits in the queue behind it. Once the client reads again, every
    # packet arrives whole and in order, the time code whole (it goes on the
    # link ahead of queued packets, so anywhere among them), each counted once.
    client = Client(PORT, receive_buffer=4096)
    rng = random.Random(27)
    # About 7 MB: more than loopback's socket buffers hold.
    sizes = [1, 5, 11, 12, 13, 1495, 1496, 20_000, 150_000, 300_000, 300_000, 300_000]
    packets = [rng.randbytes(rng.choice(sizes)) for _ in range(60)]
    stream = b"".join(packet_frame(p, eep=(n % 7 == 3)) for n, p in enumerate(packets))
    client.send(stream + time_code_frame(0x2A))
    time.sleep(0.5)  # the echoes pile up in the gateway meanwhile
    frames = [client.frame(timeout=10) for _ in range(len(packets) + 1)]
    assert [data for flag, data in frames if flag == TIME_FROM_LINK] == [bytes([0x2A, 0])]
    back = [(data, flag == EEP) for flag, data in frames if flag != TIME_FROM_LINK]
    for n, p in enumerate(packets):
        assert (len(back[n][0]), back[n][1]) == (len(p), n % 7 == 3), n
        assert back[n][0] == p, n
    line = stats(gateway)
    assert f"packets_from_bridge={len(packets)} " in line + " ", line
    assert f"bytes_from_bridge={sum(map(len, packets))} " in line + " ", line
    assert "time_codes_from_bridge=1 " in line + " ", line


def stats(gateway):
    """The counters line that SIGUSR1 asks for."""
    count = gateway.text().count("counters:")
    gateway.process.send_signal(signal.SIGUSR1)
    deadline = time.monotonic() + 5
    while gateway.text().count("counters:") == count:
        assert time.monotonic() < deadline, gateway.text()
        time.sleep(0.01)
    return [l for l in gateway.text().splitlines() if "counters:" in l][-1]


def test_counters_on_sigusr1_and_a_clean_stop(gateway):
    client = Client(PORT)
    client.send(packet_frame(b"abcd") + time_code_frame(0x01))
    assert sorted(client.frame() for _ in range(2)) == [(EOP, b"abcd"),
                                                        (TIME_FROM_LINK, b"\x01\x00")]
    fields = ("packets_to_bridge=1", "bytes_to_bridge=4", "packets_from_bridge=1",
              "bytes_from_bridge=4", "time_codes_to_bridge=1", "time_codes_from_bridge=1",
              "connections=1", "refused_connections=0")
    # A send is counted when its call returns, which may come after the echo
    # has reached the client: ask again until the counters have caught up.
    deadline = time.monotonic() + 5
    line = stats(gateway)
    while any(field not in line for field in fields) and time.monotonic() < deadline:
        time.sleep(0.01)
        line = stats(gateway)
    for field in fields:
        assert field in line, line
    assert gateway.stop() == 0
    assert "stopping (SIGTERM)" in gateway.text()
