"""Finding libspweth and declaring its C interface for ctypes.

The library is looked for, in this order: the path in the SPWETH_LIBRARY
environment variable; beside the installed package (the package folder itself,
then the library folder that `cmake --install` recorded in
_installed_library.py); the system loader (libspweth.so.3).

Once loaded, the library's messages go to the logger "spweth" (what it would
print on standard output at INFO, on standard error at WARNING) instead of the
process's standard streams.
"""

from __future__ import annotations

import atexit
import contextlib
import ctypes
import logging
import os
import pathlib
import threading
from collections.abc import Callable, Iterator
from typing import Any

from ._errors import Error

SONAME = "libspweth.so.3"

c_int = ctypes.c_int
c_uint = ctypes.c_uint
c_ubyte = ctypes.c_ubyte
c_intptr = ctypes.c_ssize_t  # intptr_t
c_void_p = ctypes.c_void_p
c_char_p = ctypes.c_char_p
bytes_p = ctypes.POINTER(c_ubyte)

MAC_SIZE = 6
STATE_RECORD_SIZE = 88
TIMED_OUT = -9  # SPWETH_TIMED_OUT
RMAP_BAD_REPLY = -10  # SPW_RMAP_BAD_REPLY
RMAP_INCREMENT = 0x1
RMAP_VERIFY = 0x2
RMAP_REPLY = 0x4
RMAP_KIND_WRITE, RMAP_KIND_READ, RMAP_KIND_RMW = 1, 2, 3
HANDLER_CCODE, HANDLER_ERROR, HANDLER_STATUS = 1, 2, 3


class PcapIf(ctypes.Structure):
    """libpcap's pcap_if_t: one entry of the adapter list."""


PcapIf._fields_ = [
    ("next", ctypes.POINTER(PcapIf)),
    ("name", c_char_p),
    ("description", c_char_p),
    ("addresses", c_void_p),
    ("flags", c_uint),
]


class RmapTargetRecord(ctypes.Structure):
    """spw_rmap_target of spweth_rmap.h (natural alignment)."""

    _fields_ = [
        ("target_address", c_ubyte * 12),
        ("target_address_length", c_int),
        ("target_logical_address", c_ubyte),
        ("key", c_ubyte),
        ("reply_address", c_ubyte * 12),
        ("reply_address_length", c_int),
        ("initiator_logical_address", c_ubyte),
    ]


class RmapRequest(ctypes.Structure):
    """spw_rmap_request of spweth_rmap.h (natural alignment)."""

    _fields_ = [
        ("kind", c_int),
        ("extended_address", c_ubyte),
        ("address", c_uint),
        ("data", c_void_p),
        ("mask", c_void_p),
        ("length", c_int),
        ("flags", c_int),
    ]


COUNTER_NAMES = ("frames_received", "packets_received", "packets_cut", "fragments_discarded",
                 "read_buffer_growths", "read_buffer_overflows", "rmap_replies_dropped")


class CountersRecord(ctypes.Structure):
    """spweth_socket_counters of spweth.h."""

    _fields_ = [(name, ctypes.c_ulonglong) for name in COUNTER_NAMES] + [
        ("reserved", ctypes.c_ulonglong * 9)]


# spweth_socket_handler: void (*)(struct pcap *, const unsigned char *data, int size, void *).
SOCKET_HANDLER = ctypes.CFUNCTYPE(None, c_void_p, c_void_p, c_int, c_void_p)

# event_handler: void (*)(unsigned char *data, int size, unsigned char *mac).
# The data pointer stays a plain integer so that the block can be freed.
EVENT_HANDLER = ctypes.CFUNCTYPE(None, c_void_p, c_int, c_void_p)

# spweth_console_handler: void (*)(int stream, const char *text, void *context).
CONSOLE_HANDLER = ctypes.CFUNCTYPE(None, c_int, c_char_p, c_void_p)
STDOUT_STREAM, STDERR_STREAM = 1, 2

# Null function pointers: "no handler".
NO_SOCKET_HANDLER: Any = ctypes.cast(0, SOCKET_HANDLER)
NO_CONSOLE_HANDLER: Any = ctypes.cast(0, CONSOLE_HANDLER)

logger = logging.getLogger("spweth")

# name: (result type, argument types). A name missing from the library found
# is left out; using it raises Error naming it.
_DECLARATIONS = {
    # settings and addresses
    "set_wait_receive_active": (c_int, [c_int]),
    "get_wait_receive_status": (c_int, []),
    "set_send_crediting": (c_int, [c_int]),
    "set_send_credit_limit": (c_int, [c_int]),
    "set_send_credit_wait": (c_int, [c_int]),
    "set_recv_skip_out_frames": (c_int, [c_int]),
    "set_recv_buffer_size": (None, [c_int]),
    "set_recv_buffer_limit": (c_int, [c_int]),
    "set_thread_safe_mode": (c_int, [c_int]),
    "get_current_source_mac_address": (bytes_p, []),
    "set_source_mac_address": (c_int, [c_char_p, c_int]),
    "get_current_dest_mac_address": (bytes_p, []),
    "set_dest_mac_address": (c_int, [c_char_p, c_int]),
    # adapters and sockets
    "Create_List_Devices": (c_intptr, []),
    "SpW_Socket_Init": (c_intptr, [c_int]),
    "SpW_Socket_Close": (c_int, [c_void_p]),
    "SpW_Socket_Init_By_Name": (c_intptr, [c_char_p]),
    "SpW_Socket_Set_Bridge_Address": (c_int, [c_void_p, c_char_p]),
    "SpW_Socket_Set_Source_Address": (c_int, [c_void_p, c_char_p]),
    "SpW_Socket_Use_Adapter_Address": (c_int, [c_void_p]),
    "SpW_Socket_Get_Bridge_Address": (c_int, [c_void_p, c_void_p]),
    "SpW_Socket_Get_Source_Address": (c_int, [c_void_p, c_void_p]),
    "SpW_Socket_Get_Counters": (c_int, [c_void_p, ctypes.POINTER(CountersRecord), c_int]),
    "SpW_Socket_Set_Handler": (c_int, [c_void_p, c_int, SOCKET_HANDLER, c_void_p]),
    "SpW_Socket_Get_Last_Time": (c_int, [c_void_p, ctypes.POINTER(ctypes.c_longlong)]),
    "pcap_get_selectable_fd": (c_int, [c_void_p]),
    # packets and control codes
    "SpW_Send_Packet": (c_int, [c_void_p, c_char_p, c_int, c_int]),
    "SpW_Send_Packet_From_Channel": (c_int, [c_void_p, c_char_p, c_int, c_int, c_int]),
    "SpW_Send_Packet_Timeout": (c_int, [c_void_p, c_void_p, c_int, c_int, c_int]),
    "SpW_Send_Time_Code": (c_int, [c_void_p, c_int]),
    "SpW_Send_Time_Codes": (c_int, [c_void_p, c_char_p, c_int]),
    "SpW_Send_INT_Codes": (c_int, [c_void_p, c_char_p, c_int, c_int]),
    "SpW_Send_ACK_Codes": (c_int, [c_void_p, c_char_p, c_int, c_int]),
    "SpW_Send_CC01_Codes": (c_int, [c_void_p, c_char_p, c_int]),
    "SpW_Send_CC11_Codes": (c_int, [c_void_p, c_char_p, c_int]),
    "SpW_Send_CCodes": (c_int, [c_void_p, c_char_p, c_int]),
    "SpW_Recv_Packet_From_MAC_Timeout": (
        c_int, [c_void_p, c_void_p, c_int, c_char_p, bytes_p, c_int]),
    # waiting
    "set_recv_idle_wait": (c_int, [c_int]),
    "set_send_credit_timeout": (c_int, [c_int]),
    # handlers
    "register_ccode_event_handler": (c_int, [EVENT_HANDLER]),
    "register_err_frame_event_handler": (c_int, [EVENT_HANDLER]),
    "register_status_event_handler": (c_int, [EVENT_HANDLER]),
    "disable_handler_ccode": (None, []),
    "disable_handler_err_frame": (None, []),
    "disable_handler_status": (None, []),
    # bridge configuration and state
    "SpW_Eth_Set_MAC_Source": (c_int, [c_void_p, c_char_p]),
    "SpW_Eth_Set_MAC_Dest": (c_int, [c_void_p, c_char_p]),
    "SpW_Eth_Set_SpW_Speed": (c_int, [c_void_p, c_uint]),
    "SpW_Eth_Set_Filtr": (c_int, [c_void_p, c_ubyte]),
    "SpW_Eth_Set_Switch_Mode": (c_int, [c_void_p, c_ubyte, c_ubyte]),
    "SpW_Eth_Set_Status_Freq": (c_int, [c_void_p, c_ubyte]),
    "SpW_Eth_Set_Receive_Timer": (c_int, [c_void_p, c_ubyte]),
    "SpW_Eth_Set_Data_Filtr": (c_int, [c_void_p, c_ubyte, c_ubyte]),
    "SpW_Eth_Reset": (c_int, [c_void_p]),
    "SpW_Eth_Set_Hardware_Reset": (c_int, [c_void_p]),
    "SpW_Eth_Set_Auto_MAC_Source": (c_int, [c_void_p]),
    "SpW_Eth_Set_Auto_MAC_Dest": (c_int, [c_void_p]),
    "SpW_Eth_Get_State_From_MAC_Timeout": (c_int, [c_void_p, c_void_p, c_char_p, c_int]),
    # console printers
    "print_error_type": (None, [c_int]),
    "debug_dump": (None, [c_char_p, c_char_p, c_uint]),
    "print_spw_eth_state": (None, [c_void_p]),
    "set_console_handler": (None, [CONSOLE_HANDLER, c_void_p]),
    # RMAP
    "SpW_RMAP_Write": (
        c_int, [c_void_p, ctypes.POINTER(RmapTargetRecord), c_ubyte, c_uint, c_char_p, c_int,
                c_int, c_int]),
    "SpW_RMAP_Read": (
        c_int, [c_void_p, ctypes.POINTER(RmapTargetRecord), c_ubyte, c_uint, c_void_p, c_int,
                c_int, c_int]),
    "SpW_RMAP_Read_Modify_Write": (
        c_int, [c_void_p, ctypes.POINTER(RmapTargetRecord), c_ubyte, c_uint, c_char_p, c_char_p,
                c_int, c_void_p, c_int]),
    "SpW_RMAP_Begin": (
        c_int, [c_void_p, ctypes.POINTER(RmapTargetRecord), ctypes.POINTER(RmapRequest)]),
    "SpW_RMAP_End": (c_int, [c_void_p, c_int, c_void_p, c_int, c_int]),
    "SpW_RMAP_Status_Text": (c_char_p, [c_int]),
}


class Library:
    """The loaded library: its declared functions as attributes, and libc's."""

    def __init__(self, cdll: ctypes.CDLL, path: str) -> None:
        self.path = path
        self._cdll = cdll
        for name, (restype, argtypes) in _DECLARATIONS.items():
            try:
                function = getattr(cdll, name)
            except AttributeError:
                continue
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)
        libc = ctypes.CDLL(None)
        self.free = libc.free
        self.free.argtypes = [c_void_p]
        self.free.restype = None
        self.fflush = libc.fflush
        self.fflush.argtypes = [c_void_p]
        self._console_sink: Callable[[int, str], None] | None = None
        # The library calls this for as long as it is loaded: the object stays
        # with the library, and the handler is removed before the interpreter goes.
        self._console_callback = CONSOLE_HANDLER(self._on_console)
        if self.has("set_console_handler"):
            self.set_console_handler(self._console_callback, None)
            atexit.register(self.set_console_handler, NO_CONSOLE_HANDLER, None)
        # Every socket method may be called from several threads: the package
        # turns the library's thread-safe mode on (spweth.set_thread_safe_mode).
        if self.has("set_thread_safe_mode"):
            self.set_thread_safe_mode(1)

    def _on_console(self, stream: int, text: bytes | None, _context: Any) -> None:
        # Runs inside a C call: nothing may be raised from here.
        try:
            message = (text or b"").decode(errors="replace")
            sink = self._console_sink
            if sink is not None:
                sink(stream, message)
                return
            message = message.strip()
            if message:
                logger.log(logging.WARNING if stream == STDERR_STREAM else logging.INFO, "%s",
                           message)
        except Exception:  # noqa: BLE001 (a broken sink must not take the C call down)
            pass

    @contextlib.contextmanager
    def console_to(self, sink: Callable[[int, str], None]) -> Iterator[None]:
        """While inside, the library's messages go to sink(stream, text) as they
        are (stream 1 or 2) instead of the logger: for the printers whose text
        is the caller's output."""
        outer, self._console_sink = self._console_sink, sink
        try:
            yield
        finally:
            self._console_sink = outer

    def has(self, name: str) -> bool:
        return name in self.__dict__

    def __getattr__(self, name: str) -> Any:
        # Only reached for a name the library lacks.
        if name in _DECLARATIONS:
            raise Error(f"the library {self.path} has no {name}: it is older than this package")
        raise AttributeError(name)

    def flush_stdout(self) -> None:
        """Writes out what the C calls have printed so far."""
        self.fflush(None)


def _candidates() -> list[tuple[str, str]]:
    """(description, path or soname) in the order they are tried."""
    here = pathlib.Path(__file__).resolve().parent
    places = [("beside the package", str(here / SONAME))]
    try:
        from . import _installed_library  # type: ignore[attr-defined]  # by cmake --install
        places.append(("where cmake installed it",
                       str((here / _installed_library.LIBRARY_DIR / SONAME).resolve())))
    except ImportError:
        pass
    places.append(("from the system loader", SONAME))
    return places


_loaded: Library | None = None
_load_lock = threading.Lock()


def library() -> Library:
    """The library, loaded on first use."""
    global _loaded
    with _load_lock:
        if _loaded is None:
            _loaded = _load()
        return _loaded


def _load() -> Library:
    override = os.environ.get("SPWETH_LIBRARY")
    if override:
        try:
            return Library(ctypes.CDLL(override), override)
        except OSError as error:
            raise Error(f"SPWETH_LIBRARY={override} cannot be loaded: {error}") from None
    tried = []
    for where, path in _candidates():
        if where != "from the system loader" and not os.path.exists(path):
            tried.append(f"{path} ({where}): not there")
            continue
        try:
            return Library(ctypes.CDLL(path), path)
        except OSError as error:
            tried.append(f"{path} ({where}): {error}")
    raise Error("libspweth was not found; set SPWETH_LIBRARY to its path. Tried:\n  "
                + "\n  ".join(tried))


def mac_bytes(pointer: Any) -> bytes:
    """The six bytes behind an address pointer of the library."""
    return ctypes.string_at(pointer, MAC_SIZE)
