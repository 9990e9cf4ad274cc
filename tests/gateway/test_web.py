"""The gateway's web view end to end, without a browser: /api/status and
/api/events parsed as a client would, events of clients coming and going,
error frames from the bridge, and who may look."""

import os
import socket
import struct
import subprocess
import time

import pytest

from conftest import HOST_LINK, PORT
from ssdtp2_client import Client, packet_frame
from web_client import HTTP, EventStream, get, get_json

STATUS_PERIOD_S = 0.1  # the emulator's --status-ms in conftest
GATEWAY_COUNTERS = {"packets_to_bridge", "bytes_to_bridge", "packets_from_bridge",
                    "bytes_from_bridge", "time_codes_to_bridge", "time_codes_from_bridge",
                    "connections", "refused_connections", "closed_bad_input",
                    "disconnected_slow", "send_failures", "empty_from_client", "empty_from_bridge",
                    "oversized_from_bridge", "dropped_no_client", "dropped_queued",
                    "refused_web_requests"}
CHANNEL_FIELDS = {"tx_bytes", "rx_bytes", "tx_packets", "rx_packets", "rx_packets_eep",
                  "rx_packets_eop", "tx_bytes_per_sec", "rx_bytes_per_sec", "link_state",
                  "link_state_name"}


@pytest.fixture
def web(start_gateway):
    return start_gateway("--http", HTTP)


def test_status_and_its_event_stream_follow_the_bridge(web):
    deadline = time.monotonic() + 5
    while (status := get_json("/api/status"))["spw1"] is None:
        assert time.monotonic() < deadline, status
        time.sleep(0.05)
    assert set(status["spw1"]) == CHANNEL_FIELDS == set(status["spw2"])
    assert status["spw1"]["link_state_name"] == "RUN" and status["spw1"]["link_state"] == 5
    assert (status["speed_code"], status["speed_mbit"], status["switch_state"]) == (0x80, 400, 0x33)
    assert (status["data_mode"], status["ccode_mode"]) == (3, 3)
    assert set(status["gateway"]) == GATEWAY_COUNTERS
    assert status["counters"]["frames_received"] > 0

    stream = EventStream()
    assert stream.status_line.endswith("200 OK") and "text/event-stream" in stream.headers
    # The replay first: the gateway's own events and the latest status.
    replay = []
    for item_id, item in stream.items(timeout=2):
        replay.append(item)
        if item["type"] == "status":
            break
    assert any(i["type"] == "event" and i["text"].startswith("serving adapter") for i in replay)
    # Then a new status frame within two status periods.
    start = time.monotonic()
    _, fresh = stream.wait_for(lambda i: i["type"] == "status", timeout=5)
    assert time.monotonic() - start <= 2 * STATUS_PERIOD_S
    assert fresh["time_ms"] > replay[-1]["time_ms"]

    # Traffic through the gateway shows in the counters, clients in the events.
    before = fresh["spw1"]["tx_bytes"]
    client = Client(PORT)
    client.send(packet_frame(bytes(1000)))
    assert client.packet() == (bytes(1000), False)
    client.close()
    _, connected = stream.wait_for(lambda i: i["type"] == "event" and "connected" in i["text"])
    assert connected["text"].startswith("client 127.0.0.1:")
    stream.wait_for(lambda i: i["type"] == "event" and i["text"].endswith(" left"))
    _, later = stream.wait_for(lambda i: i["type"] == "status" and
                               i["spw1"]["tx_bytes"] >= before + 1000)
    assert later["gateway"]["packets_to_bridge"] == 1
    assert later["gateway"]["bytes_from_bridge"] == 1000

    # A reconnecting reader says the last id it saw and gets only what followed.
    last_id, _ = stream.wait_for(lambda i: i["type"] == "status")
    stream.close()
    again = EventStream(last_event_id=last_id)
    next_id, item = next(again.items())
    assert next_id > last_id and item["type"] == "status"
    again.close()

    history = get_json("/api/history")
    assert history["columns"][0] == "at_ms" and len(history["samples"]) >= 5
    assert max(s[1] for s in history["samples"]) > 0  # SpW1's Tx rate during the packet


def control_code_frame(number, source, code=0x01):
    """A control-code frame (type 6) to the emulator, as a host that numbers its frames."""
    head = bytes.fromhex("000102030405") + source + b"\x06\xab"
    return (head + bytes([6, number]) + struct.pack("<H", 1) + b"\x00" + bytes([code])).ljust(60,
                                                                                              b"\0")


def test_an_error_frame_is_listed_as_the_library_prints_it(web):
    stream = EventStream()
    list(stream.items(timeout=0.3))  # the replay
    # Two control-code frames whose numbers jump: the bridge answers with error type 5.
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    raw.bind((HOST_LINK, 0))
    source = raw.getsockname()[4]  # the adapter's own address
    raw.send(control_code_frame(10, source))
    raw.send(control_code_frame(20, source))
    raw.close()
    _, error = stream.wait_for(lambda i: i["type"] == "error")
    assert error["error_type"] == 5
    assert error["text"] == "Number of Ccode frame bigger at 2 or more"
    assert error["data"].split()[:2] == ["0b", "14"]  # expected 11, received 20
    stream.close()
    later = EventStream()  # a new reader finds it among the last errors and events
    assert any(i["type"] == "error" for _, i in later.items(timeout=0.5))
    later.close()


def test_who_may_look_and_what_it_may_do(start_gateway):
    gateway = start_gateway("--http", HTTP, "--allow", "127.0.0.1/32")
    status, body = get("/api/status", source="127.0.0.2")
    assert status == 403 and b"--allow" in body
    gateway.wait_log("web view: refused 127.0.0.2")
    status, page = get("/")
    assert status == 200 and b"<canvas id=\"rates\"" in page
    for path in ("/monitor.js", "/monitor.css", "/chart.js"):
        assert get(path)[0] == 200, path
    assert get_json("/api/status")["gateway"]["refused_web_requests"] == 1
    # Read-only: nothing but GET is served.
    connection = socket.create_connection(("127.0.0.1", 8080))
    connection.sendall(b"POST /api/status HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
    assert connection.recv(100).split(b" ")[1] in (b"404", b"405")
    connection.close()


def test_the_web_view_listens_by_the_same_rules():
    run = lambda *args: subprocess.run([os.environ["SPWETH_GATEWAY"], "--iface", HOST_LINK, *args],
                                       capture_output=True, text=True, timeout=10)
    result = run("--http", "0.0.0.0:8080")
    assert result.returncode == 2 and "needs at least one --allow" in result.stderr
    result = run("--http", "127.0.0.1:10030")
    assert result.returncode == 2 and "is the --listen address" in result.stderr
    result = run("--http", "8080")
    assert result.returncode == 2 and "--http: not ADDR:PORT" in result.stderr
