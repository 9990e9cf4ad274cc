"""Adapters, sockets, packets, control codes, configuration, status and events.

Every socket method may be called from several threads at once: the package
turns the library's thread-safe mode on when it loads the library (one
reader and one sender per socket at a time, in the order they came).
"""

from __future__ import annotations

import builtins
import collections
import ctypes
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Union

from . import _args
from ._errors import Error, Timeout
from ._library import (COUNTER_NAMES, HANDLER_CCODE, HANDLER_ERROR, HANDLER_STATUS,
                       NO_SOCKET_HANDLER, SOCKET_HANDLER, STATE_RECORD_SIZE, TIMED_OUT, CountersRecord, PcapIf,
                       c_ubyte, library)
from ._records import (Adapter, CodeKind, ControlCode, Counters, ErrorFrame, Event, Packet)
from ._wait import interrupter, sliced
from .rmap import RmapTarget
from .status import Status

DEFAULT_MAX_PACKET = 1 << 20
MAX_EVENTS = 4096  # events kept for events() before the oldest go
_CAP_NET_RAW = 13  # bit of the capability sets in /proc/self/status

# SpW_Socket_Init's results.
_OPEN_FAILURES = {
    -1: "listing the adapters failed",
    -2: "this host has no adapters",
    -3: "there is no adapter of that name or number",
    -4: "libpcap could not open it",
    -5: "the frame filter did not compile",
    -6: "the frame filter could not be set",
    -7: "non-blocking mode could not be set",
    -8: "all ten read buffers are taken by open sockets",
}

# Speeds the bridge can be set to, in Mbit/s.
SPEEDS_MBIT = (10, 50, 100, 200, 300, 400, 500)

# kind: (C call, highest value, takes the five-bit flag)
_CODE_SENDERS: dict[str, tuple[str, int, bool]] = {
    "time": ("SpW_Send_Time_Codes", 63, False),
    "int": ("SpW_Send_INT_Codes", 63, True),
    "ack": ("SpW_Send_ACK_Codes", 63, True),
    "cc01": ("SpW_Send_CC01_Codes", 31, False),
    "cc11": ("SpW_Send_CC11_Codes", 31, False),
    "raw": ("SpW_Send_CCodes", 255, False),
}
CODE_KINDS: tuple[str, ...] = tuple(_CODE_SENDERS)

Buffer = Union[bytes, bytearray, memoryview, Sequence[int]]
Handler = Callable[[Any, Union[str, None]], None]


def set_thread_safe_mode(on: bool) -> None:
    """The library's thread-safe mode, which the package turns on when it loads
    the library. A single-threaded script may turn it off for the last few per
    cent of speed; set it before any thread uses a socket."""
    library().set_thread_safe_mode(1 if on else 0)


def adapters() -> list[Adapter]:
    """The host's adapters as the library numbers them."""
    lib = library()
    first = lib.Create_List_Devices()
    if first == -1:
        raise Error("listing the adapters failed (pcap_findalldevs)", first)
    found: list[Adapter] = []
    entry = ctypes.cast(first, ctypes.POINTER(PcapIf)) if first > 0 else None
    while entry:
        item = entry.contents
        found.append(Adapter(len(found), item.name.decode(errors="replace"),
                             (item.description or b"").decode(errors="replace")))
        entry = item.next
    return found


def _find_adapter(adapter: str | int) -> Adapter:
    listed = adapters()
    if isinstance(adapter, str):
        for item in listed:
            if item.name == adapter:
                return item
        names = ", ".join(item.name for item in listed) or "none"
        raise Error(f"no adapter named {adapter!r} (adapters: {names})")
    number = _args.integer("adapter", adapter, 0, 2**31 - 1)
    if number >= len(listed):
        raise Error(f"no adapter number {number}: this host has {len(listed)}")
    return listed[number]


def _has_capability(bit: int) -> bool:
    try:
        with builtins.open("/proc/self/status") as status:
            for line in status:
                if line.startswith("CapEff:"):
                    return bool(int(line.split()[1], 16) >> bit & 1)
    except OSError:
        pass
    return True  # cannot tell: do not blame the capability


def open(adapter: str | int, *, bridge: str | bytes | None = None,  # noqa: A001
         source: str | bytes | None = None, idle_wait: bool = True,
         max_packet: int = DEFAULT_MAX_PACKET) -> Socket:
    """Opens a socket on an adapter given by name ("eth1") or number.

    bridge: the socket's own bridge address (it then has its own link: frame
    numbers and credits of its own), else the process-wide one.
    source: the socket's own source address, or "adapter" for the adapter's
    hardware address. idle_wait: waits sleep in the kernel instead of polling
    (a process-wide setting of the library). max_packet: the largest packet
    recv() takes.
    """
    max_packet = _args.integer("max_packet", max_packet, 1, 2**31 - 2)
    bridge_bytes = None if bridge is None else _args.mac_address("bridge", bridge)
    source_bytes = None if source in (None, "adapter") else _args.mac_address("source", source)
    chosen = _find_adapter(adapter)
    lib = library()
    lib.set_recv_idle_wait(1 if idle_wait else 0)
    if lib.has("SpW_Socket_Init_By_Name"):
        handle = lib.SpW_Socket_Init_By_Name(chosen.name.encode())
    else:
        handle = lib.SpW_Socket_Init(chosen.number)
    if handle <= 0:
        if handle == -4 and not _has_capability(_CAP_NET_RAW):
            raise Error(f"cannot open adapter {chosen.name}: capturing needs CAP_NET_RAW "
                        "(run as root or grant the capability), which this process lacks",
                        handle)
        reason = _OPEN_FAILURES.get(handle, "unknown failure")
        raise Error(f"cannot open adapter {chosen.name}: {reason} ({handle})", handle)
    socket = Socket(handle, chosen, max_packet)
    try:
        if bridge_bytes is not None:
            socket.bridge_address = _args.format_mac(bridge_bytes)
        if source == "adapter":
            socket.source_address = "adapter"
        elif source_bytes is not None:
            socket.source_address = _args.format_mac(source_bytes)
    except BaseException:
        socket.close()
        raise
    return socket


def set_crediting(on: bool, *, limit: int | None = None, wait_level: int | None = None,
                  timeout: float | None = None) -> None:
    """Credit flow control of sends (process-wide): off by default.

    limit: credits a send may use before it waits; wait_level: the bridge's
    credits it waits for; timeout: seconds a credit wait may last before the
    send fails (0: for ever). None leaves a setting as it is.
    """
    if limit is not None:
        limit = _args.integer("limit", limit, 1, 255)
    if wait_level is not None:
        wait_level = _args.integer("wait_level", wait_level, 0, 255)
    timeout_ms = None
    if timeout is not None:
        timeout_ms = _args.milliseconds("timeout", timeout, optional=False) if timeout else 0
    lib = library()
    for setter, value in ((lib.set_send_credit_limit, limit),
                          (lib.set_send_credit_wait, wait_level),
                          (lib.set_send_credit_timeout, timeout_ms)):
        if value is not None:
            setter(value)
    lib.set_send_crediting(1 if on else 0)


def set_read_buffer(*, size: int | None = None, skip_own_frames: bool | None = None,
                    limit: int | None = None) -> None:
    """The size in bytes (at least 1500) of every socket's read buffer, where
    frames wait that a call met but did not want (changing it drops what they
    hold), how far it may grow while a send waits for credits (limit), and
    whether the host's own frames (all-zero source address) stay out of them.
    Process-wide; None leaves a setting as it is."""
    if size is not None:
        size = _args.integer("size", size, 1500, 2**31 - 1)
    if limit is not None:
        limit = _args.integer("limit", limit, 1500, 2**31 - 1)
    lib = library()
    if size is not None:
        lib.set_recv_buffer_size(size)
    if limit is not None:
        lib.set_recv_buffer_limit(limit)
    if skip_own_frames is not None:
        lib.set_recv_skip_out_frames(1 if skip_own_frames else 0)


def _pointer_to(name: str, data: Any) -> tuple[Any, int]:
    """A pointer the C call can take to the bytes of a buffer-protocol object
    (no copy for bytes and writable buffers), and their count."""
    if isinstance(data, bytes):
        return data, len(data)
    if isinstance(data, str):
        raise TypeError(f"{name} must be bytes or a buffer, not str")
    try:
        view = memoryview(data)
    except TypeError:
        copied = _args.byte_string(name, data)  # a list of byte values
        return copied, len(copied)
    if not view.c_contiguous:
        copied = view.tobytes()
        return copied, len(copied)
    view = view.cast("B")
    if view.readonly:
        copied = view.tobytes()
        return copied, len(copied)
    return (ctypes.c_char * view.nbytes).from_buffer(view), view.nbytes


class _PerThread(threading.local):
    """What each thread keeps of a socket: its receive buffer and the
    exceptions that handlers raised during its calls."""

    def __init__(self) -> None:
        self.buffer: ctypes.Array[ctypes.c_char] | None = None
        self.errors: list[BaseException] = []


class Socket:
    """An open socket: a capture handle on one adapter. Use it in a `with` block.

    Every method may be called from several threads at once. Time-outs mean
    the same everywhere: a number of seconds is the deadline, None waits for
    ever, 0 polls once. Every wait ends with KeyboardInterrupt within 100 ms
    of Ctrl-C.
    """

    def __init__(self, handle: int, adapter: Adapter,
                 max_packet: int = DEFAULT_MAX_PACKET) -> None:
        self.adapter = adapter
        self._handle: int | None = handle
        self._max_packet = max_packet
        self._local = _PerThread()
        self._kept: collections.deque[Packet] = collections.deque()
        self._events: collections.deque[Event] | None = None
        self._functions: dict[int, Handler] = {}
        self._callbacks: dict[int, Any] = {}  # kind: C callback, kept while the library has it
        self._retired: list[Any] = []  # replaced callbacks: one may still be running
        self._lock = threading.Lock()
        lib = library()
        self._descriptor = lib.pcap_get_selectable_fd(handle) if lib.has(
            "pcap_get_selectable_fd") else -1

    def __enter__(self) -> Socket:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<spweth.Socket {self.adapter.name} {state}>"

    @property
    def closed(self) -> bool:
        """True once the socket is closed."""
        return self._handle is None

    def close(self) -> None:
        """Closes the socket; the library then removes its handlers and
        releases its RMAP transactions still in flight."""
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            library().SpW_Socket_Close(handle)

    def fileno(self) -> int:
        """The capture's selectable descriptor (readable when a frame has come)."""
        self._open_handle()
        descriptor: int = self._descriptor
        return descriptor

    def _open_handle(self) -> int:
        handle = self._handle
        if handle is None:
            raise Error(f"the socket on {self.adapter.name} is closed")
        return handle

    def _raise_handler_errors(self) -> None:
        """Raises the first exception that a handler raised during this
        thread's last call, if any."""
        errors = self._local.errors
        if errors:
            error = errors[0]
            errors.clear()
            raise error

    # ------------------------------------------------------------ addresses

    def _address(self, getter: str) -> str:
        address = ctypes.create_string_buffer(6)
        if getattr(library(), getter)(self._open_handle(), address) != 0:
            raise Error(f"the socket on {self.adapter.name} is not known to the library")
        return _args.format_mac(address.raw)

    @property
    def bridge_address(self) -> str:
        """The bridge's address, "00:01:02:03:04:05": the socket sends to it and
        receives from it. Set it to give the socket its own bridge (and link)."""
        return self._address("SpW_Socket_Get_Bridge_Address")

    @bridge_address.setter
    def bridge_address(self, address: str) -> None:
        checked = _args.mac_address("bridge_address", address)
        if library().SpW_Socket_Set_Bridge_Address(self._open_handle(), checked) != 0:
            raise Error(f"setting the bridge address of the socket on {self.adapter.name} failed")

    @property
    def source_address(self) -> str:
        """The source address of the socket's frames (all zero by default). Set
        it to an address, or to "adapter" for the adapter's own."""
        return self._address("SpW_Socket_Get_Source_Address")

    @source_address.setter
    def source_address(self, address: str) -> None:
        lib = library()
        if address == "adapter":
            if lib.SpW_Socket_Use_Adapter_Address(self._open_handle()) != 0:
                raise Error(f"the adapter {self.adapter.name} has no hardware address")
            return
        checked = _args.mac_address("source_address", address)
        if lib.SpW_Socket_Set_Source_Address(self._open_handle(), checked) != 0:
            raise Error(f"setting the source address of the socket on {self.adapter.name} "
                        "failed")

    @property
    def host_address(self) -> str:
        """The source address of the host's frames: the same as source_address."""
        return self.source_address

    def set_bridge_address(self, address: str | bytes, *, program: bool = False) -> None:
        """Sets bridge_address; with program=True the bridge is first told to
        take it as its own address."""
        checked = _args.mac_address("address", address)
        if program:
            self._check_sent("setting the bridge's address",
                             library().SpW_Eth_Set_MAC_Dest(self._open_handle(), checked))
        self.bridge_address = _args.format_mac(checked)

    def set_host_address(self, address: str | bytes, *, program: bool = False) -> None:
        """Sets source_address; with program=True the bridge is also told to send to it."""
        checked = _args.mac_address("address", address)
        if program:
            self._check_sent("setting the host's address",
                             library().SpW_Eth_Set_MAC_Source(self._open_handle(), checked))
        self.source_address = _args.format_mac(checked)

    @property
    def counters(self) -> Counters:
        """The socket's counters: frames and packets received, packets cut, ..."""
        record = CountersRecord()
        if library().SpW_Socket_Get_Counters(self._open_handle(), ctypes.byref(record),
                                             ctypes.sizeof(record)) != 0:
            raise Error(f"the socket on {self.adapter.name} is not known to the library")
        return Counters(*(getattr(record, name) for name in COUNTER_NAMES))

    # ------------------------------------------------------------ packets

    def send(self, data: Buffer, *, eep: bool = False, channel: int | None = None,
             timeout: float | None = None) -> None:
        """Sends one packet (any buffer-protocol object, at least one byte)
        ending with EOP, or EEP when eep is true; channel puts a channel byte
        (0..255) before the data. timeout bounds its waits for credits and for
        the send lock: Timeout when the packet's next frame could not go in
        time (frames sent before stay sent)."""
        pointer, length = _pointer_to("data", data)
        seconds = _args.timeout("timeout", timeout)
        if channel is not None:
            channel = _args.integer("channel", channel, 0, 255)
            pointer = bytes([channel]) + bytes(pointer)
            length += 1
        if length == 0:
            raise ValueError("a packet holds at least one byte: the bridge has no frame for an "
                             "empty one")
        if length >= 2**31 - 1:
            raise ValueError(f"a packet holds less than 2 GiB, not {length} bytes")
        handle = self._open_handle()
        with interrupter.guard():
            sent = library().SpW_Send_Packet_Timeout(handle, pointer, length, 2 if eep else 1,
                                                     _args.to_ms(seconds))
        self._raise_handler_errors()
        if sent == TIMED_OUT:
            raise Timeout(f"sending a packet of {length} bytes on {self.adapter.name}: no "
                          f"credits or send lock within {timeout} s", sent)
        if sent < 0:
            raise Error(f"sending a packet of {length} bytes on {self.adapter.name} failed "
                        f"({sent}): the capture refused a frame or no credits came in time",
                        sent)

    def _receive(self, handle: int, buffer: Any, size: int, seconds: float | None,
                 stop: Callable[[], bool] | None = None) -> tuple[int, bool]:
        """One packet into buffer in slices of C waits: (length, eep), or
        Timeout (with what a handler raised first, if one did)."""
        lib = library()
        source = ctypes.create_string_buffer(6)
        if lib.SpW_Socket_Get_Bridge_Address(handle, source) != 0:
            raise Error(f"the socket on {self.adapter.name} is closed")
        type_byte = c_ubyte(0)
        receive = lib.SpW_Recv_Packet_From_MAC_Timeout
        errors = self._local.errors

        def call(ms: int) -> int:
            result: int = receive(handle, buffer, size, source, ctypes.byref(type_byte), ms)
            return result

        length = sliced(call, seconds, self._descriptor,
                        stop if stop is not None else (lambda: bool(errors)))
        if length == TIMED_OUT:
            self._raise_handler_errors()
            raise Timeout(f"no packet from {_args.format_mac(source.raw)} within "
                          f"{seconds} s", length)
        if length < 0:
            self._raise_handler_errors()
            raise Error(f"receiving on {self.adapter.name} failed ({length})", length)
        if length == 0 and lib.get_wait_receive_status() == 0:
            self._raise_handler_errors()
            raise Error("the receive was ended by set_wait_receive_active(0)", 0)
        return length, type_byte.value == 1

    def _last_time(self, handle: int) -> int:
        stamp = ctypes.c_longlong(0)
        library().SpW_Socket_Get_Last_Time(handle, ctypes.byref(stamp))
        return stamp.value

    def _thread_buffer(self) -> ctypes.Array[ctypes.c_char]:
        buffer = self._local.buffer
        if buffer is None:
            buffer = self._local.buffer = ctypes.create_string_buffer(self._max_packet)
        return buffer

    def _keep_if_handler_raised(self, packet: Packet) -> None:
        if self._local.errors:
            self._kept.append(packet)  # the next receive returns it
            self._raise_handler_errors()

    def recv(self, timeout: float | None = None) -> Packet:
        """The next packet from the bridge's address; Timeout when none is
        complete within `timeout` seconds (None: wait for ever, 0: poll once).

        What a handler raised during the receive is raised from it; the packet
        that the receive took is then kept for the next receive."""
        seconds = _args.timeout("timeout", timeout)
        handle = self._open_handle()
        if self._kept:
            try:
                return self._kept.popleft()
            except IndexError:
                pass
        buffer = self._thread_buffer()
        length, eep = self._receive(handle, buffer, len(buffer), seconds)
        if length > len(buffer):
            raise Error(f"a packet of {length} bytes did not fit the receive buffer of "
                        f"{len(buffer)} bytes (open with a larger max_packet)", length)
        packet = Packet(ctypes.string_at(buffer, length), eep, self._last_time(handle))
        self._keep_if_handler_raised(packet)
        return packet

    def recv_into(self, buffer: bytearray | memoryview | Any,
                  timeout: float | None = None) -> tuple[int, bool]:
        """Receives the next packet straight into a writable buffer (bytearray,
        memoryview, array, ...) without a copy; returns (length, eep). A packet
        longer than the buffer raises Error, its first bytes in the buffer.
        Time-outs as for recv."""
        seconds = _args.timeout("timeout", timeout)
        try:
            view = memoryview(buffer).cast("B")
        except TypeError:
            raise TypeError("recv_into needs a writable, contiguous buffer such as a "
                            f"bytearray, not {type(buffer).__name__}") from None
        if view.readonly:
            raise TypeError("recv_into needs a writable buffer, not a read-only one")
        handle = self._open_handle()
        size = view.nbytes
        if self._kept:
            try:
                kept = self._kept.popleft()
            except IndexError:
                pass
            else:
                view[:min(size, len(kept.data))] = kept.data[:size]
                return self._fitted(len(kept.data), size), kept.eep
        target = (ctypes.c_char * size).from_buffer(view) if size else ctypes.create_string_buffer(1)
        length, eep = self._receive(handle, target, size, seconds)
        self._raise_handler_errors()
        return self._fitted(length, size), eep

    @staticmethod
    def _fitted(length: int, size: int) -> int:
        if length > size:
            raise Error(f"a packet of {length} bytes did not fit the buffer of {size} bytes",
                        length)
        return length

    def packets(self, timeout: float | None = 1.0) -> Iterator[Packet]:
        """Yields packets as they come; ends when none comes within `timeout`
        seconds after the last one (None: never ends)."""
        while True:
            try:
                packet = self.recv(timeout)
            except Timeout:
                return
            yield packet

    # ------------------------------------------------------------ control codes

    def send_code(self, kind: CodeKind | str, value: int | Sequence[int], *,
                  five_bit: bool = False) -> None:
        """Sends one control code, or several in one frame (a sequence of values).

        kind: "time" (0..63), "int" and "ack" (0..63, or 0..31 with five_bit),
        "cc01" and "cc11" (0..31), "raw" (the code byte as it is, 0..255).
        """
        if kind not in _CODE_SENDERS:
            raise ValueError(f"kind must be one of {', '.join(CODE_KINDS)}, not {kind!r}")
        call, high, has_five_bit = _CODE_SENDERS[kind]
        if five_bit and not has_five_bit:
            raise ValueError(f"five_bit applies to int and ack codes, not to {kind}")
        if five_bit:
            high = 31
        values = [value] if isinstance(value, int) or not hasattr(value, "__iter__") else list(
            value)
        if not 1 <= len(values) <= 255:
            raise ValueError(f"a control-code frame holds 1..255 codes, not {len(values)}")
        codes = bytes(_args.integer("value", v, 0, high) for v in values)
        extra = (1 if five_bit else 0,) if has_five_bit else ()
        function = getattr(library(), call)
        self._check_sent(f"sending {kind} codes",
                         function(self._open_handle(), codes, len(codes), *extra))

    def send_time_code(self, value: int) -> None:
        """Sends a time code (0..63)."""
        self.send_code("time", _args.integer("value", value, 0, 63))

    # ------------------------------------------------------------ bridge

    def status(self, timeout: float | None = None) -> Status:
        """The bridge's next status record; Timeout after `timeout` seconds
        (None: wait for ever, 0: poll once)."""
        seconds = _args.timeout("timeout", timeout)
        lib = library()
        handle = self._open_handle()
        record = (c_ubyte * STATE_RECORD_SIZE)()
        source = ctypes.create_string_buffer(6)
        lib.SpW_Socket_Get_Bridge_Address(handle, source)
        errors = self._local.errors

        def call(ms: int) -> int:
            result: int = lib.SpW_Eth_Get_State_From_MAC_Timeout(handle, record, source, ms)
            return result

        length = sliced(call, seconds, self._descriptor, lambda: bool(errors))
        self._raise_handler_errors()
        if length > 0:
            return Status.from_bytes(bytes(record))
        if length == TIMED_OUT:
            raise Timeout(f"no status record from {_args.format_mac(source.raw)} "
                          f"within {timeout} s", TIMED_OUT)
        raise Error(f"the status query on {self.adapter.name} failed ({length})", length)

    def configure(self, *, speed: int | None = None, status_period: float | None = None,
                  switch_mode: tuple[int, int] | None = None, filter: int | None = None,
                  data_filter: tuple[int, int] | None = None,
                  receive_timer: int | None = None) -> None:
        """Sends the bridge one configuration frame per setting given.

        speed: link speed in Mbit/s (10, 50, 100, 200, 300, 400, 500);
        status_period: seconds between status frames, in steps of 0.1 (0 stops them);
        switch_mode: (data mode, control-code mode), each 0..8;
        filter: the filter byte; data_filter: (value, mask);
        receive_timer: the receive timer byte.
        Every argument is checked before anything is sent.
        """
        frames: list[tuple[Any, ...]] = []
        lib = library()
        if speed is not None:
            if isinstance(speed, bool) or speed not in SPEEDS_MBIT:
                raise ValueError(f"speed must be one of {SPEEDS_MBIT} Mbit/s, not {speed!r}")
            frames.append(("speed", lib.SpW_Eth_Set_SpW_Speed, int(speed)))
        if status_period is not None:
            period_ms = _args.milliseconds("status_period", status_period, optional=False) or 0
            tenths = round(period_ms / 100)
            if status_period > 0 and tenths == 0:
                raise ValueError("status_period must be 0 (no status frames) or at least 0.1 s")
            frames.append(("status period", lib.SpW_Eth_Set_Status_Freq,
                           _args.integer("status_period in tenths of a second", tenths, 0, 255)))
        if switch_mode is not None:
            frames.append(("switch mode", lib.SpW_Eth_Set_Switch_Mode,
                           *_byte_pair("switch_mode", switch_mode, 8)))
        if filter is not None:
            frames.append(("filter", lib.SpW_Eth_Set_Filtr,
                           _args.integer("filter", filter, 0, 255)))
        if data_filter is not None:
            frames.append(("data filter", lib.SpW_Eth_Set_Data_Filtr,
                           *_byte_pair("data_filter", data_filter, 255)))
        if receive_timer is not None:
            frames.append(("receive timer", lib.SpW_Eth_Set_Receive_Timer,
                           _args.integer("receive_timer", receive_timer, 0, 255)))
        handle = self._open_handle()
        for what, call, *values in frames:
            self._check_sent(f"setting the {what}", call(handle, *values))

    def reset_bridge(self) -> None:
        """Clears the bridge's port counters, rates and frame-number checks."""
        self._check_sent("resetting the bridge", library().SpW_Eth_Reset(self._open_handle()))

    def _check_sent(self, what: str, result: int) -> None:
        if result != 0:
            raise Error(f"{what} on {self.adapter.name} failed: the capture refused the frame",
                        result)

    # ------------------------------------------------------------ handlers and events

    def _dispatch(self, kind: int, payload: bytes) -> None:
        # Runs inside a C call on the receiving thread: nothing may be raised here.
        try:
            function = self._functions.get(kind)
            if function is not None:
                decoded: Any = Status.from_bytes(payload) if kind == HANDLER_STATUS else payload
                function(decoded, self._source_text())
            events = self._events
            if events is not None:
                if kind == HANDLER_CCODE:
                    events.extend(ControlCode.from_byte(b) for b in payload)
                elif kind == HANDLER_ERROR:
                    events.append(ErrorFrame.from_bytes(payload))
                else:
                    events.append(Status.from_bytes(payload))
        except BaseException as error:  # noqa: B902 - raised from the call that ran it
            self._local.errors.append(error)

    def _source_text(self) -> str | None:
        try:
            return self.bridge_address
        except Error:
            return None

    def _install(self, kind: int) -> None:
        """Gives the socket its own C handler of `kind` (once)."""
        if kind in self._callbacks:
            return

        def call(_socket: Any, data: Any, size: int, _context: Any) -> None:
            self._dispatch(kind, ctypes.string_at(data, size) if data and size > 0 else b"")

        callback = SOCKET_HANDLER(call)
        if library().SpW_Socket_Set_Handler(self._open_handle(), kind, callback, None) != 0:
            raise Error(f"setting a handler on the socket on {self.adapter.name} failed")
        self._callbacks[kind] = callback

    def _uninstall(self, kind: int) -> None:
        if kind in self._callbacks and self._events is None and self._handle is not None:
            library().SpW_Socket_Set_Handler(self._handle, kind, NO_SOCKET_HANDLER, None)
            # It may be the handler that is running now: it lives as long as the socket.
            self._retired.append(self._callbacks.pop(kind))

    def _set_handler(self, kind: int, function: Handler | None) -> None:
        if function is not None and not callable(function):
            raise TypeError(f"a handler must be callable, not {type(function).__name__}")
        if function is None:
            self._functions.pop(kind, None)
            self._uninstall(kind)
            return
        self._install(kind)
        self._functions[kind] = function

    def on_control_codes(self, function: Handler | None) -> None:
        """function(codes: bytes, source: str) for each control-code frame that a
        call on this socket meets (source: the socket's bridge address); None
        removes it. Handlers run inside the receive, send, status and RMAP
        calls, on their thread; what one raises comes out of that call."""
        self._set_handler(HANDLER_CCODE, function)

    def on_error_frame(self, function: Handler | None) -> None:
        """function(record: bytes, source: str) for each error frame: record[0] is
        the error type (0: credit information, record[1] the credits)."""
        self._set_handler(HANDLER_ERROR, function)

    def on_status(self, function: Handler | None) -> None:
        """function(status: Status, source: str) for each status frame that a
        call on this socket meets."""
        self._set_handler(HANDLER_STATUS, function)

    def events(self, timeout: float | None = 1.0) -> Iterator[Event]:
        """Yields control codes (ControlCode, one per code), error frames
        (ErrorFrame) and status records (Status) as they come; ends when none
        comes within `timeout` seconds after the last (None: never ends).

        From the first call on, the socket keeps what comes (the latest
        MAX_EVENTS) for this loop, also while it is not running; handlers set
        with on_* still run first. Packets that arrive meanwhile are kept for
        recv()."""
        seconds = _args.timeout("timeout", timeout)
        handle = self._open_handle()
        if self._events is None:
            self._events = collections.deque(maxlen=MAX_EVENTS)
            for kind in (HANDLER_CCODE, HANDLER_ERROR, HANDLER_STATUS):
                self._install(kind)
        events = self._events
        while True:
            if events:
                try:
                    item = events.popleft()
                except IndexError:
                    continue
                yield item
                continue
            buffer = self._thread_buffer()
            try:
                length, eep = self._receive(handle, buffer, len(buffer), seconds,
                                            stop=lambda: bool(events) or bool(self._local.errors))
            except Timeout:
                if not events:
                    return
                continue
            packet = Packet(ctypes.string_at(buffer, min(length, len(buffer))), eep,
                            self._last_time(handle))
            self._kept.append(packet)
            self._raise_handler_errors()

    # ------------------------------------------------------------ RMAP

    def rmap(self, logical_address: int = 0xFE, key: int = 0x20, target_address: bytes = b"",
             reply_address: bytes = b"", initiator_logical_address: int = 0xFE) -> RmapTarget:
        """An RMAP target reached through this socket."""
        return RmapTarget(self, logical_address=logical_address, key=key,
                          target_address=target_address, reply_address=reply_address,
                          initiator_logical_address=initiator_logical_address)


def _byte_pair(name: str, value: Any, high: int) -> tuple[int, int]:
    """Two numbers within 0..high, such as (data mode, control-code mode)."""
    try:
        first, second = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair of numbers") from None
    return (_args.integer(f"{name}[0]", first, 0, high),
            _args.integer(f"{name}[1]", second, 0, high))

