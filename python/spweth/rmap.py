"""RMAP transactions through a socket: read, write and read-modify-write, one
at a time or many in flight.

This module knows sockets only through the few methods it calls (the
`Transport` protocol below); the socket module builds on it.
"""

from __future__ import annotations

import collections
import ctypes
from collections.abc import Iterable, Sequence
from typing import Any, Literal, Protocol

from . import _args
from ._errors import Error, RmapError, Timeout
from ._library import (RMAP_BAD_REPLY, RMAP_INCREMENT, RMAP_KIND_READ, RMAP_KIND_RMW,
                       RMAP_KIND_WRITE, RMAP_REPLY, RMAP_VERIFY, TIMED_OUT, RmapRequest,
                       RmapTargetRecord, library)
from ._wait import interrupter

MAX_ADDRESS_BYTES = 12
MAX_DATA_LENGTH = (1 << 24) - 1  # the data length field holds 24 bits
MAX_RMW_LENGTH = 4
MAX_IN_FLIGHT = 128  # per socket, as the library allows
ByteOrder = Literal["big", "little"]


class Transport(Protocol):
    """What a target needs of its socket."""

    @property
    def adapter(self) -> Any: ...

    def _open_handle(self) -> int: ...

    def _raise_handler_errors(self) -> None: ...


def _failure(what: str, address: int, result: int, timeout: float | None) -> Error:
    """The exception for a transaction's non-zero result."""
    text = library().SpW_RMAP_Status_Text(result).decode(errors="replace")
    if 0 < result <= 255:
        return RmapError(result, text)
    where = f"RMAP {what} at 0x{address:08X}"
    if result == TIMED_OUT:
        return Timeout(f"{where}: no reply within {timeout} s", result)
    if result == RMAP_BAD_REPLY:
        return Error(f"{where}: {text}", result)
    return Error(f"{where} failed ({result}): {text}", result)


class Transaction:
    """An RMAP transaction in flight (from RmapTarget.begin_read, begin_write
    or begin_rmw). result() waits for its reply once; later calls give the
    same outcome again. A time-out ends the transaction: a reply that comes
    later is dropped and counted."""

    def __init__(self, target: RmapTarget, ticket: int, what: str, address: int,
                 length: int) -> None:
        self._target = target
        self._ticket = ticket
        self._what = what
        self._address = address
        self._length = length
        self._outcome: bytes | None | Error = None
        self._ended = False

    @property
    def done(self) -> bool:
        """True once result() has ended the transaction."""
        return self._ended

    def result(self, timeout: float | None = 1.0) -> bytes | None:
        """The data read (a read's data, a read-modify-write's old data) or None
        for a write; RmapError, Timeout or Error when it failed. timeout: seconds
        (None: wait for ever, 0: take a reply already there)."""
        if not self._ended:
            seconds = _args.timeout("timeout", timeout)
            socket = self._target.socket
            data = ctypes.create_string_buffer(max(self._length, 1))
            with interrupter.guard():
                result = library().SpW_RMAP_End(socket._open_handle(), self._ticket, data,
                                                self._length, _args.to_ms(seconds))
            self._ended = True
            if result == 0:
                self._outcome = data.raw[:self._length] if self._what != "write" else None
            else:
                self._outcome = _failure(self._what, self._address, result, timeout)
            socket._raise_handler_errors()
        if isinstance(self._outcome, Error):
            raise self._outcome
        return self._outcome


class RmapTarget:
    """A target: its logical address and key, and the SpaceWire addresses of the
    command's path and of the reply's path. Time-outs are seconds for the whole
    transaction (None: wait for ever, 0: poll)."""

    def __init__(self, socket: Transport, *, logical_address: int = 0xFE, key: int = 0x20,
                 target_address: bytes = b"", reply_address: bytes = b"",
                 initiator_logical_address: int = 0xFE) -> None:
        self.socket = socket
        record = RmapTargetRecord()
        record.target_logical_address = _args.integer("logical_address", logical_address, 0, 255)
        record.key = _args.integer("key", key, 0, 255)
        record.initiator_logical_address = _args.integer(
            "initiator_logical_address", initiator_logical_address, 0, 255)
        for field, value in (("target_address", target_address),
                             ("reply_address", reply_address)):
            path = _args.byte_string(field, value, MAX_ADDRESS_BYTES)
            if field == "reply_address" and path[:1] == b"\x00":
                # Leading zeros of the reply-address field are padding to the target.
                raise ValueError("reply_address cannot start with 0x00: the target would "
                                 "take the zeros for padding")
            ctypes.memmove(getattr(record, field), path, len(path))
            setattr(record, field + "_length", len(path))
        self._record = record

    def __repr__(self) -> str:
        r = self._record
        return (f"<spweth.RmapTarget logical address 0x{r.target_logical_address:02X} "
                f"key 0x{r.key:02X} on {self.socket.adapter.name}>")

    # ------------------------------------------------------------ one at a time

    def read(self, address: int, length: int, *, increment: bool = True,
             timeout: float | None = 1.0, extended_address: int = 0) -> bytes:
        """`length` bytes read from `address`."""
        length = _args.integer("length", length, 0, MAX_DATA_LENGTH)
        flags = RMAP_INCREMENT if increment else 0
        data = ctypes.create_string_buffer(max(length, 1))
        self._transact("read", lambda lib, handle, ext, addr, ms: lib.SpW_RMAP_Read(
            handle, self._record, ext, addr, data, length, flags, ms),
            address, extended_address, timeout)
        return data.raw[:length]

    def write(self, address: int, data: bytes, *, verify: bool = False, reply: bool = True,
              increment: bool = True, timeout: float | None = 1.0,
              extended_address: int = 0) -> None:
        """Writes `data` at `address`; without reply, returns once the command is sent."""
        data = _args.byte_string("data", data, MAX_DATA_LENGTH)
        flags = _write_flags(verify, reply, increment)
        self._transact("write", lambda lib, handle, ext, addr, ms: lib.SpW_RMAP_Write(
            handle, self._record, ext, addr, data, len(data), flags, ms),
            address, extended_address, timeout)

    def rmw(self, address: int, data: bytes, mask: bytes, *, timeout: float | None = 1.0,
            extended_address: int = 0) -> bytes:
        """Read-modify-write of up to 4 bytes: the target writes (data & mask) |
        (old & ~mask); returns the old bytes."""
        data, mask = _rmw_arguments(data, mask)
        old = ctypes.create_string_buffer(MAX_RMW_LENGTH)
        self._transact("read-modify-write",
                       lambda lib, handle, ext, addr, ms: lib.SpW_RMAP_Read_Modify_Write(
                           handle, self._record, ext, addr, data, mask, len(data), old, ms),
                       address, extended_address, timeout)
        return old.raw[:len(data)]

    def read32(self, address: int, *, byteorder: ByteOrder = "big",
               timeout: float | None = 1.0, extended_address: int = 0) -> int:
        """The 32-bit word at `address`. RMAP carries bytes in address order;
        byteorder says how the target stores its words ("big", the usual
        SpaceWire order, or "little")."""
        _check_byteorder(byteorder)
        return int.from_bytes(self.read(address, 4, timeout=timeout,
                                        extended_address=extended_address), byteorder)

    def write32(self, address: int, value: int, *, byteorder: ByteOrder = "big",
                verify: bool = False, timeout: float | None = 1.0,
                extended_address: int = 0) -> None:
        """Writes the 32-bit word `value` at `address` (byteorder as for read32)."""
        _check_byteorder(byteorder)
        word = _args.integer("value", value, 0, 0xFFFFFFFF).to_bytes(4, byteorder)
        self.write(address, word, verify=verify, timeout=timeout,
                   extended_address=extended_address)

    def _transact(self, what: str, call: Any, address: int, extended_address: int,
                  timeout: float | None) -> None:
        address = _args.integer("address", address, 0, 0xFFFFFFFF)
        extended_address = _args.integer("extended_address", extended_address, 0, 255)
        seconds = _args.timeout("timeout", timeout)
        lib = library()
        handle = self.socket._open_handle()
        with interrupter.guard():
            result = call(lib, handle, extended_address, address, _args.to_ms(seconds))
        self.socket._raise_handler_errors()
        if result != 0:
            raise _failure(what, address, result, timeout)

    # ------------------------------------------------------------ in flight

    def _begin(self, what: str, kind: int, address: int, extended_address: int, length: int,
               data: bytes | None = None, mask: bytes | None = None,
               flags: int = 0) -> Transaction:
        address = _args.integer("address", address, 0, 0xFFFFFFFF)
        request = RmapRequest()
        request.kind = kind
        request.extended_address = _args.integer("extended_address", extended_address, 0, 255)
        request.address = address
        keep = (ctypes.create_string_buffer(data, len(data)) if data else None,
                ctypes.create_string_buffer(mask, len(mask)) if mask else None)
        request.data = ctypes.cast(keep[0], ctypes.c_void_p) if keep[0] is not None else None
        request.mask = ctypes.cast(keep[1], ctypes.c_void_p) if keep[1] is not None else None
        request.length = length
        request.flags = flags
        with interrupter.guard():
            ticket = library().SpW_RMAP_Begin(self.socket._open_handle(), self._record,
                                              ctypes.byref(request))
        self.socket._raise_handler_errors()
        if ticket < 0:
            if ticket == -1:
                raise Error(f"RMAP {what} at 0x{address:08X} was refused: a bad argument or "
                            f"{MAX_IN_FLIGHT} transactions already in flight on the socket", -1)
            raise _failure(what, address, ticket, None)
        return Transaction(self, ticket, what, address, length if kind != RMAP_KIND_WRITE else 0)

    def begin_read(self, address: int, length: int, *, increment: bool = True,
                   extended_address: int = 0) -> Transaction:
        """Sends a read command and returns at once; Transaction.result() gives the data."""
        length = _args.integer("length", length, 0, MAX_DATA_LENGTH)
        return self._begin("read", RMAP_KIND_READ, address, extended_address, length,
                           flags=RMAP_INCREMENT if increment else 0)

    def begin_write(self, address: int, data: bytes, *, verify: bool = False,
                    reply: bool = True, increment: bool = True,
                    extended_address: int = 0) -> Transaction:
        """Sends a write command and returns at once; Transaction.result() waits
        for its reply (None)."""
        data = _args.byte_string("data", data, MAX_DATA_LENGTH)
        return self._begin("write", RMAP_KIND_WRITE, address, extended_address, len(data),
                           data=data, flags=_write_flags(verify, reply, increment))

    def begin_rmw(self, address: int, data: bytes, mask: bytes, *,
                  extended_address: int = 0) -> Transaction:
        """Sends a read-modify-write command; Transaction.result() gives the old bytes."""
        data, mask = _rmw_arguments(data, mask)
        return self._begin("read-modify-write", RMAP_KIND_RMW, address, extended_address,
                           len(data), data=data, mask=mask)

    def read_many(self, requests: Iterable[tuple[int, int]], *, window: int = 16,
                  increment: bool = True, timeout: float | None = 1.0,
                  extended_address: int = 0) -> list[bytes]:
        """Reads every (address, length) with up to `window` transactions in
        flight; the data in the order asked. timeout applies to each reply.
        The first failure is raised once the transactions in flight have ended."""
        checked = [(address, _args.integer("length", length, 0, MAX_DATA_LENGTH))
                   for address, length in requests]
        results = self._many(
            (lambda a=address, n=length: self.begin_read(
                a, n, increment=increment, extended_address=extended_address))
            for address, length in checked)
        return [r if r is not None else b"" for r in results(window, timeout)]

    def write_many(self, requests: Iterable[tuple[int, bytes]], *, window: int = 16,
                   verify: bool = False, reply: bool = True, increment: bool = True,
                   timeout: float | None = 1.0, extended_address: int = 0) -> None:
        """Writes every (address, data) with up to `window` transactions in flight."""
        checked = [(address, _args.byte_string("data", data, MAX_DATA_LENGTH))
                   for address, data in requests]
        results = self._many(
            (lambda a=address, d=data: self.begin_write(
                a, d, verify=verify, reply=reply, increment=increment,
                extended_address=extended_address))
            for address, data in checked)
        results(window, timeout)

    def _many(self, starts: Iterable[Any]) -> Any:
        def run(window: int, timeout: float | None) -> list[bytes | None]:
            window = _args.integer("window", window, 1, MAX_IN_FLIGHT)
            _args.timeout("timeout", timeout)
            done: list[bytes | None] = []
            flying: collections.deque[Transaction] = collections.deque()
            failure: BaseException | None = None
            pending = iter(starts)
            try:
                for start in pending:
                    if len(flying) == window:
                        done.append(flying.popleft().result(timeout))
                    flying.append(start())
                while flying:
                    done.append(flying.popleft().result(timeout))
            except BaseException as error:
                failure = error
            # End what is still in flight before raising: no ticket is left behind.
            while flying:
                try:
                    flying.popleft().result(0)
                except Error:
                    pass
            if failure is not None:
                raise failure
            return done

        return run


def _write_flags(verify: bool, reply: bool, increment: bool) -> int:
    return ((RMAP_VERIFY if verify else 0) | (RMAP_REPLY if reply else 0)
            | (RMAP_INCREMENT if increment else 0))


def _rmw_arguments(data: Sequence[int] | bytes, mask: Sequence[int] | bytes) -> tuple[bytes,
                                                                                       bytes]:
    checked = _args.byte_string("data", data, MAX_RMW_LENGTH)
    checked_mask = _args.byte_string("mask", mask, MAX_RMW_LENGTH)
    if len(checked_mask) != len(checked):
        raise ValueError(f"data and mask must be as long ({len(checked)} and "
                         f"{len(checked_mask)} bytes)")
    return checked, checked_mask


def _check_byteorder(byteorder: str) -> None:
    if byteorder not in ("big", "little"):
        raise ValueError(f"byteorder must be 'big' or 'little', not {byteorder!r}")
