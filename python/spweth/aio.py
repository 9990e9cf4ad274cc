"""spweth for asyncio: sockets whose waits are coroutines.

    async with spweth.aio.open("eth1") as socket:
        await socket.send(b"\\x01\\x02")
        packet = await socket.recv(timeout=1.0)
        data = await socket.rmap(key=0x20).read(0x1000, 4)

Receives and status queries wait on the capture's selectable descriptor
(loop.add_reader): no thread runs for them. Once a frame has come, the C
receive is given up to WAKE_SLICE seconds for the rest of the packet, which
is the longest it holds the loop. Sends run on the loop (a send under credit
flow control holds it while it waits for credits; bound that with
set_crediting(timeout=...) or the send's timeout). An RMAP transaction's
command is sent on the loop and its reply awaited in the loop's default
executor (the library's reply wait cannot be resumed in pieces), a
cancelled wait ends at once.
"""

from __future__ import annotations

import asyncio
from collections.abc import Sequence
from types import TracebackType
from typing import Any

from . import _args
from ._errors import Timeout
from ._library import library
from ._records import Packet
from .rmap import ByteOrder, RmapTarget, Transaction
from .socket import Buffer, Socket
from .socket import open as open_socket
from .status import Status

WAKE_SLICE = 0.02  # seconds a C receive may take once a frame has come


class AsyncSocket:
    """A Socket for asyncio; `socket` is the Socket underneath, for the calls
    that do not wait (addresses, counters, handlers, configure)."""

    def __init__(self, socket: Socket) -> None:
        self.socket = socket
        self._waiters: list[asyncio.Future[None]] = []
        self._loop: asyncio.AbstractEventLoop | None = None

    async def __aenter__(self) -> AsyncSocket:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        trace: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        """Closes the socket."""
        if self._loop is not None and self._waiters:
            self._loop.remove_reader(self.socket.fileno())
        for waiter in self._waiters:
            if not waiter.done():
                waiter.cancel()
        self.socket.close()

    def _wake(self) -> None:
        waiters, self._waiters = self._waiters, []
        if self._loop is not None:
            self._loop.remove_reader(self.socket.fileno())
        for waiter in waiters:
            if not waiter.done():
                waiter.set_result(None)

    async def _readable(self, seconds: float | None) -> None:
        """Returns when a frame has come or `seconds` have passed."""
        loop = asyncio.get_running_loop()
        self._loop = loop
        waiter: asyncio.Future[None] = loop.create_future()
        if not self._waiters:
            loop.add_reader(self.socket.fileno(), self._wake)
        self._waiters.append(waiter)
        try:
            await asyncio.wait_for(asyncio.shield(waiter), seconds)
        except asyncio.TimeoutError:
            pass
        finally:
            if waiter in self._waiters:
                self._waiters.remove(waiter)
                if not self._waiters:
                    loop.remove_reader(self.socket.fileno())

    async def _wait(self, attempt: Any, seconds: float | None, what: str) -> Any:
        loop = asyncio.get_running_loop()
        deadline = None if seconds is None else loop.time() + seconds
        try:
            return attempt(0)  # what the read buffer and the capture hold already
        except Timeout:
            pass
        while True:
            left = None if deadline is None else deadline - loop.time()
            if left is not None and left <= 0:
                raise Timeout(f"no {what} within {seconds} s")
            await self._readable(left)
            try:
                return attempt(WAKE_SLICE if left is None else min(WAKE_SLICE, max(left, 0.0)))
            except Timeout:
                continue

    async def recv(self, timeout: float | None = None) -> Packet:
        """The next packet; Timeout when none is complete within `timeout`
        seconds (None: wait for ever)."""
        seconds = _args.timeout("timeout", timeout)
        packet: Packet = await self._wait(self.socket.recv, seconds, "packet")
        return packet

    async def recv_into(self, buffer: bytearray | memoryview | Any,
                        timeout: float | None = None) -> tuple[int, bool]:
        """As Socket.recv_into: (length, eep)."""
        seconds = _args.timeout("timeout", timeout)
        result: tuple[int, bool] = await self._wait(
            lambda t: self.socket.recv_into(buffer, t), seconds, "packet")
        return result

    async def status(self, timeout: float | None = None) -> Status:
        """The bridge's next status record."""
        seconds = _args.timeout("timeout", timeout)
        status: Status = await self._wait(self.socket.status, seconds, "status record")
        return status

    async def send(self, data: Buffer, *, eep: bool = False, channel: int | None = None,
                   timeout: float | None = None) -> None:
        """As Socket.send."""
        self.socket.send(data, eep=eep, channel=channel, timeout=timeout)

    async def send_code(self, kind: str, value: int | Sequence[int], *,
                        five_bit: bool = False) -> None:
        """As Socket.send_code."""
        self.socket.send_code(kind, value, five_bit=five_bit)

    def rmap(self, logical_address: int = 0xFE, key: int = 0x20, target_address: bytes = b"",
             reply_address: bytes = b"", initiator_logical_address: int = 0xFE) -> AsyncRmapTarget:
        """An RMAP target reached through this socket."""
        return AsyncRmapTarget(self.socket.rmap(logical_address, key, target_address,
                                                reply_address, initiator_logical_address))


async def _settle(transaction: Transaction, timeout: float | None) -> Any:
    """The transaction's result, waited for in the default executor."""
    loop = asyncio.get_running_loop()
    future = loop.run_in_executor(None, transaction.result, timeout)
    try:
        return await asyncio.shield(future)
    except asyncio.CancelledError:
        # End the reply wait now: the wait flag ends every wait of the library.
        lib = library()
        lib.set_wait_receive_active(0)
        try:
            await asyncio.wait([future])
        finally:
            lib.set_wait_receive_active(1)
        raise


class AsyncRmapTarget:
    """RmapTarget for asyncio: the same calls, awaited."""

    def __init__(self, target: RmapTarget) -> None:
        self.target = target

    async def read(self, address: int, length: int, *, increment: bool = True,
                   timeout: float | None = 1.0, extended_address: int = 0) -> bytes:
        """`length` bytes read from `address`."""
        _args.timeout("timeout", timeout)
        data: bytes = await _settle(self.target.begin_read(
            address, length, increment=increment, extended_address=extended_address), timeout)
        return data

    async def write(self, address: int, data: bytes, *, verify: bool = False,
                    reply: bool = True, increment: bool = True, timeout: float | None = 1.0,
                    extended_address: int = 0) -> None:
        """Writes `data` at `address`."""
        _args.timeout("timeout", timeout)
        await _settle(self.target.begin_write(address, data, verify=verify, reply=reply,
                                              increment=increment,
                                              extended_address=extended_address), timeout)

    async def rmw(self, address: int, data: bytes, mask: bytes, *,
                  timeout: float | None = 1.0, extended_address: int = 0) -> bytes:
        """Read-modify-write of up to 4 bytes; the old bytes."""
        _args.timeout("timeout", timeout)
        old: bytes = await _settle(self.target.begin_rmw(
            address, data, mask, extended_address=extended_address), timeout)
        return old

    async def read32(self, address: int, *, byteorder: ByteOrder = "big",
                     timeout: float | None = 1.0) -> int:
        """The 32-bit word at `address` (byteorder as for RmapTarget.read32)."""
        if byteorder not in ("big", "little"):
            raise ValueError(f"byteorder must be 'big' or 'little', not {byteorder!r}")
        return int.from_bytes(await self.read(address, 4, timeout=timeout), byteorder)


class _Opening:
    """What spweth.aio.open returns: `async with` it, or await it."""

    def __init__(self, adapter: str | int, options: dict[str, Any]) -> None:
        self._adapter = adapter
        self._options = options
        self._socket: AsyncSocket | None = None

    def __await__(self) -> Any:
        return self.__aenter__().__await__()

    async def __aenter__(self) -> AsyncSocket:
        self._socket = AsyncSocket(open_socket(self._adapter, **self._options))
        return self._socket

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        trace: TracebackType | None) -> None:
        if self._socket is not None:
            self._socket.close()


def open(adapter: str | int, **options: Any) -> _Opening:  # noqa: A001
    """Opens a socket for asyncio; the options are spweth.open's."""
    return _Opening(adapter, options)
