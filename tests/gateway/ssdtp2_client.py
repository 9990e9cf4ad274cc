"""A small SSDTP2 client, written from the framing table of the gateway's
manual page: frames of a 12-byte header (flag, reserved 0, a 10-byte
big-endian size) and their data. It checks what the gateway promises about
what it sends: whole packets only, bytes 2 and 3 of the size 0, no frame of
size 0, time-code frames of 14 bytes."""

import socket
import time

EOP, EEP, PIECE, TIME_TO_LINK, TIME_FROM_LINK = 0x00, 0x01, 0x02, 0x30, 0x31
HEADER = 12


def header(flag, size, reserved=0):
    return bytes([flag, reserved]) + size.to_bytes(10, "big")


def packet_frame(data, eep=False):
    return header(EEP if eep else EOP, len(data)) + bytes(data)


def time_code_frame(code):
    return header(TIME_TO_LINK, 2) + bytes([code, 0])


class Client:
    def __init__(self, port, host="127.0.0.1", source=None, receive_buffer=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        if source:
            self.sock.bind((source, 0))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.connect((host, port))
        self.pending = b""

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def send_in_pieces(self, data, piece=1, pause=0.0005):
        """Sends every few bytes as a TCP segment of its own."""
        for at in range(0, len(data), piece):
            self.sock.sendall(data[at:at + piece])
            time.sleep(pause)

    def _fill(self, count, deadline):
        while len(self.pending) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"{len(self.pending)} of {count} bytes within the time")
            self.sock.settimeout(left)
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise ConnectionError("the gateway closed the connection")
            self.pending += chunk

    def _take(self, count):
        taken, self.pending = self.pending[:count], self.pending[count:]
        return taken

    def frame(self, timeout=5.0):
        """The next frame as (flag, data), checked against what the gateway promises."""
        deadline = time.monotonic() + timeout
        self._fill(HEADER, deadline)
        head = self._take(HEADER)
        flag, reserved = head[0], head[1]
        assert reserved == 0, head.hex()
        assert head[2] == 0 and head[3] == 0, head.hex()
        assert flag in (EOP, EEP, TIME_FROM_LINK), f"flag 0x{flag:02x}"
        size = int.from_bytes(head[2:12], "big")
        assert size > 0, "a frame of size 0"
        if flag == TIME_FROM_LINK:
            assert size == 2, size
        self._fill(size, deadline)
        return flag, self._take(size)

    def packet(self, timeout=5.0):
        """The next packet as (data, eep)."""
        flag, data = self.frame(timeout)
        assert flag in (EOP, EEP), f"flag 0x{flag:02x}, not a packet"
        return data, flag == EEP

    def closed_by_peer(self, timeout=3.0):
        """True when the gateway ends the connection (EOF or reset) within the time."""
        self.sock.settimeout(timeout)
        try:
            while True:
                if not self.sock.recv(1 << 16):
                    return True
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False
