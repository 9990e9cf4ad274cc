"""The package's records: adapters, packets, counters and events."""

from __future__ import annotations

import dataclasses
import datetime
from typing import Literal, Union

from .status import Status

CodeKind = Literal["time", "int", "ack", "cc01", "cc11", "raw"]


@dataclasses.dataclass(frozen=True)
class Adapter:
    """One of the host's adapters, as the library numbers them."""

    number: int  # its place in the library's adapter list
    name: str  # "eth1"
    description: str


@dataclasses.dataclass(frozen=True)
class Packet:
    """A received packet: its bytes, whether it ended with an error end of
    packet (EEP), and its arrival time.

    time_ns is the capture time of its last frame in nanoseconds since the
    epoch (the adapter's time stamp, from SpW_Socket_Get_Last_Time; 0 where
    unknown); `time` gives it as a datetime in UTC, `timestamp` as float
    seconds since the epoch. Two packets compare equal when their bytes and
    end markers are; the time does not count.
    """

    data: bytes
    eep: bool = False
    time_ns: int = dataclasses.field(default=0, compare=False)  # equal packets: same bytes

    @property
    def time(self) -> datetime.datetime | None:
        """The arrival time as an aware datetime in UTC (microseconds), or None."""
        if not self.time_ns:
            return None
        seconds, nanoseconds = divmod(self.time_ns, 1_000_000_000)
        return (datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
                + datetime.timedelta(microseconds=nanoseconds // 1000))

    @property
    def timestamp(self) -> float:
        """The arrival time in seconds since the epoch (0.0 where unknown)."""
        return self.time_ns / 1e9


@dataclasses.dataclass(frozen=True)
class Counters:
    """What happened on a socket since it was opened (SpW_Socket_Get_Counters)."""

    frames_received: int  # bridge frames taken from the adapter
    packets_received: int  # packets returned by the packet receives
    packets_cut: int  # of those or abandoned: frames were lost
    fragments_discarded: int  # middle and end fragments with no start
    read_buffer_growths: int  # doublings of the read buffer
    read_buffer_overflows: int  # set-aside frames lost past the limit
    rmap_replies_dropped: int  # RMAP replies that matched no transaction


@dataclasses.dataclass(frozen=True)
class ControlCode:
    """One control code of a control-code frame.

    kind is read from the code byte's top bits: "time" (00vvvvvv, value 0..63),
    "int" (01vvvvvv; the cc01 codes 010vvvvv read as "int" too), "ack"
    (10vvvvvv), "cc11" (110vvvvv, value 0..31) and "raw" (111vvvvv: value is
    the whole byte). byte is the code byte as it came.
    """

    kind: CodeKind
    value: int
    byte: int = 0

    @classmethod
    def from_byte(cls, byte: int) -> ControlCode:
        top = byte >> 6
        if top == 0:
            return cls("time", byte & 0x3F, byte)
        if top == 1:
            return cls("int", byte & 0x3F, byte)
        if top == 2:
            return cls("ack", byte & 0x3F, byte)
        if byte & 0x20 == 0:
            return cls("cc11", byte & 0x1F, byte)
        return cls("raw", byte, byte)


@dataclasses.dataclass(frozen=True)
class ErrorFrame:
    """An error frame of the bridge: kind is its error type (0: credit
    information, data[0] then the bridge's credits), data the bytes after it."""

    kind: int
    data: bytes

    @classmethod
    def from_bytes(cls, record: bytes) -> ErrorFrame:
        return cls(record[0] if record else -1, bytes(record[1:]))

    @property
    def credits(self) -> int | None:
        """The credits of a credit-information frame, else None."""
        return self.data[0] if self.kind == 0 and self.data else None


Event = Union[ControlCode, ErrorFrame, Status]
