"""spweth: SpaceWire traffic through a SpaceWire-Ethernet bridge, from Python.

A package over the C interface of libspweth (ctypes): bytes in and out,
exceptions instead of negative results, sockets as context managers.

    import spweth
    with spweth.open("eth1", bridge="00:01:02:03:04:05") as socket:
        socket.send(b"\\x01\\x02\\x03")
        packet = socket.recv(timeout=1.0)
        print(socket.status(timeout=2.0))

Time-outs mean the same everywhere: a number of seconds is the deadline,
None waits for ever, 0 polls once. Every wait ends with KeyboardInterrupt
within 100 ms of Ctrl-C, and the socket stays usable.

Threads: the package turns the library's thread-safe mode on when it loads
the library, so that every socket method may be called from several threads
(one receiving while others send, under credit flow control too);
set_thread_safe_mode(False) gives a single-threaded script the last few per
cent of speed.

Each socket may have its own bridge and source address, counters and
handlers; the settings (credit flow control, idle wait, read buffers) are
process-wide, as in C. spweth.aio has the same for asyncio, and
`pytest -p spweth.testing` gives a fixture with the bridge emulator.
"""

from ._errors import Error, RmapError, Timeout
from ._library import library
from ._records import Adapter, CodeKind, ControlCode, Counters, ErrorFrame, Event, Packet
from ._version import __version__
from ._wait import set_wait_slice, wait_slice
from .rmap import RmapTarget, Transaction
from .socket import (CODE_KINDS, Socket, adapters, open, set_crediting,  # noqa: A004
                     set_read_buffer, set_thread_safe_mode)
from .status import Channel, Status
from . import aio  # noqa: E402, I100 - after the names it uses

__all__ = [
    "Adapter", "CODE_KINDS", "aio", "Channel", "CodeKind", "ControlCode", "Counters", "Error",
    "ErrorFrame", "Event", "Packet", "RmapError", "RmapTarget", "Socket", "Status", "Timeout",
    "Transaction", "__version__", "adapters", "library", "library_path", "open",
    "set_crediting", "set_read_buffer", "set_thread_safe_mode", "set_wait_slice", "wait_slice",
]


def library_path() -> str:
    """The path (or name) of the libspweth that the package loaded."""
    return library().path
