"""A client of the gateway's web view for the tests: GET with a chosen source
address, and a reader of the event stream (/api/events)."""

import http.client
import json
import socket
import time

HTTP_PORT = 8080
HTTP = f"127.0.0.1:{HTTP_PORT}"


def get(path, source="127.0.0.1", timeout=5.0):
    """(status, body bytes) of GET path."""
    connection = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=timeout,
                                            source_address=(source, 0))
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def get_json(path):
    status, body = get(path)
    assert status == 200, (status, body)
    return json.loads(body)


class EventStream:
    """Reads /api/events: each item is (id, parsed JSON object)."""

    def __init__(self, last_event_id=None, timeout=5.0):
        self.sock = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=timeout)
        extra = f"Last-Event-ID: {last_event_id}\r\n" if last_event_id is not None else ""
        self.sock.sendall(f"GET /api/events HTTP/1.1\r\nHost: {HTTP}\r\n{extra}\r\n".encode())
        self.buffer = b""
        head = self._until(b"\r\n\r\n", time.monotonic() + timeout)
        self.status_line = head.split(b"\r\n")[0].decode()
        self.headers = head.decode().lower()
        self.chunk_left = 0

    def _fill(self, deadline):
        self.sock.settimeout(max(0.01, deadline - time.monotonic()))
        data = self.sock.recv(65536)
        if not data:
            raise EOFError("the gateway closed the event stream")
        self.buffer += data

    def _until(self, mark, deadline):
        while mark not in self.buffer:
            self._fill(deadline)
        head, self.buffer = self.buffer.split(mark, 1)
        return head

    def _body(self, deadline):
        """The next bytes of the chunked body."""
        if self.chunk_left == 0:
            size = int(self._until(b"\r\n", deadline), 16)
            if size == 0:
                raise EOFError("the event stream ended")
            self.chunk_left = size
        while not self.buffer:
            self._fill(deadline)
        take = self.buffer[:self.chunk_left]
        self.buffer = self.buffer[len(take):]
        self.chunk_left -= len(take)
        if self.chunk_left == 0:
            self._until(b"\r\n", deadline)
        return take

    def items(self, timeout=5.0):
        """Yields (id, object) until `timeout` passes; comments are skipped."""
        deadline = time.monotonic() + timeout
        text = b""
        while time.monotonic() < deadline:
            while b"\n\n" not in text:
                try:
                    text += self._body(deadline)
                except (socket.timeout, TimeoutError):
                    return
            event, text = text.split(b"\n\n", 1)
            fields = dict(line.split(": ", 1) for line in event.decode().splitlines()
                          if not line.startswith(":"))
            if "data" in fields:
                yield int(fields["id"]), json.loads(fields["data"])

    def wait_for(self, predicate, timeout=5.0):
        for item_id, item in self.items(timeout):
            if predicate(item):
                return item_id, item
        raise AssertionError("no such item in the event stream")

    def close(self):
        self.sock.close()
