"""RMAP transactions through a socket: read, write and read-modify-write."""

import ctypes

from . import _args
from ._errors import Error, RmapError, Timeout
from ._library import (RMAP_BAD_REPLY, RMAP_INCREMENT, RMAP_REPLY, RMAP_VERIFY, TIMED_OUT,
                       RmapTargetRecord, library)
from .socket import _raise_handler_error

MAX_ADDRESS_BYTES = 12
MAX_DATA_LENGTH = (1 << 24) - 1  # the data length field holds 24 bits
MAX_RMW_LENGTH = 4


class RmapTarget:
    """A target: its logical address and key, and the SpaceWire addresses of the
    command's path and of the reply's path."""

    def __init__(self, socket, *, logical_address=0xFE, key=0x20, target_address=b"",
                 reply_address=b"", initiator_logical_address=0xFE):
        self.socket = socket
        record = RmapTargetRecord()
        record.target_logical_address = _args.integer("logical_address", logical_address, 0, 255)
        record.key = _args.integer("key", key, 0, 255)
        record.initiator_logical_address = _args.integer(
            "initiator_logical_address", initiator_logical_address, 0, 255)
        for field, name, value in (("target_address", "target_address", target_address),
                                   ("reply_address", "reply_address", reply_address)):
            path = _args.byte_string(name, value, MAX_ADDRESS_BYTES)
            if field == "reply_address" and path[:1] == b"\x00":
                # Leading zeros of the reply-address field are padding to the target.
                raise ValueError("reply_address cannot start with 0x00: the target would "
                                 "take the zeros for padding")
            ctypes.memmove(getattr(record, field), path, len(path))
            setattr(record, field + "_length", len(path))
        self._record = record

    def __repr__(self):
        r = self._record
        return (f"<spweth.RmapTarget logical address 0x{r.target_logical_address:02X} "
                f"key 0x{r.key:02X} on {self.socket.adapter.name}>")

    def read(self, address, length, *, increment=True, timeout=1.0, extended_address=0):
        """`length` bytes read from `address`."""
        length = _args.integer("length", length, 0, MAX_DATA_LENGTH)
        flags = RMAP_INCREMENT if increment else 0
        data = ctypes.create_string_buffer(max(length, 1))
        self._transact("read", lambda lib, handle, ext, addr, ms: lib.SpW_RMAP_Read(
            handle, self._record, ext, addr, data, length, flags, ms),
            address, extended_address, timeout)
        return data.raw[:length]

    def write(self, address, data, *, verify=False, reply=True, increment=True, timeout=1.0,
              extended_address=0):
        """Writes `data` at `address`; without reply, returns once the command is sent."""
        data = _args.byte_string("data", data, MAX_DATA_LENGTH)
        flags = ((RMAP_VERIFY if verify else 0) | (RMAP_REPLY if reply else 0)
                 | (RMAP_INCREMENT if increment else 0))
        self._transact("write", lambda lib, handle, ext, addr, ms: lib.SpW_RMAP_Write(
            handle, self._record, ext, addr, data, len(data), flags, ms),
            address, extended_address, timeout)

    def rmw(self, address, data, mask, *, timeout=1.0, extended_address=0):
        """Read-modify-write of up to 4 bytes: the target writes (data & mask) |
        (old & ~mask); returns the old bytes."""
        data = _args.byte_string("data", data, MAX_RMW_LENGTH)
        mask = _args.byte_string("mask", mask, MAX_RMW_LENGTH)
        if len(mask) != len(data):
            raise ValueError(f"data and mask must be as long ({len(data)} and {len(mask)} bytes)")
        old = ctypes.create_string_buffer(MAX_RMW_LENGTH)
        self._transact("read-modify-write",
                       lambda lib, handle, ext, addr, ms: lib.SpW_RMAP_Read_Modify_Write(
                           handle, self._record, ext, addr, data, mask, len(data), old, ms),
                       address, extended_address, timeout)
        return old.raw[:len(data)]

    def _transact(self, what, call, address, extended_address, timeout):
        address = _args.integer("address", address, 0, 0xFFFFFFFF)
        extended_address = _args.integer("extended_address", extended_address, 0, 255)
        timeout_ms = _args.milliseconds("timeout", timeout, optional=False)
        lib = library()
        result = call(lib, self.socket._open_handle(), extended_address, address, timeout_ms)
        _raise_handler_error()
        if result == 0:
            return
        text = lib.SpW_RMAP_Status_Text(result).decode(errors="replace")
        if 0 < result <= 255:
            raise RmapError(result, text)
        where = f"RMAP {what} at 0x{address:08X}"
        if result == TIMED_OUT:
            raise Timeout(f"{where}: no reply within {timeout} s", result)
        if result == RMAP_BAD_REPLY:
            raise Error(f"{where}: {text}", result)
        raise Error(f"{where} failed ({result}): {text}", result)
