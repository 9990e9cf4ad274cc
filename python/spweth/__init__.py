"""spweth: SpaceWire traffic through a SpaceWire-Ethernet bridge, from Python.

A package over the C interface of libspweth (ctypes): bytes in and out,
exceptions instead of negative results, sockets as context managers.

    import spweth
    with spweth.open("eth1") as socket:
        socket.send(b"\\x01\\x02\\x03")
        packet = socket.recv(timeout=1.0)
        print(socket.status(timeout=2.0))

The library's settings (addresses, credit flow control, handlers, idle wait)
are process-wide, as in C.
"""

from ._errors import Error, RmapError, Timeout
from ._library import library
from .rmap import RmapTarget
from .socket import (Adapter, Packet, Socket, adapters, open, set_crediting,  # noqa: A004
                     set_read_buffer)
from .status import Channel, Status

__all__ = [
    "Adapter", "Channel", "Error", "Packet", "RmapError", "RmapTarget", "Socket", "Status",
    "Timeout", "adapters", "library_path", "open", "set_crediting", "set_read_buffer",
]


def library_path():
    """The path (or name) of the libspweth that the package loaded."""
    return library().path
