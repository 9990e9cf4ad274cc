"""Adapters, sockets, packets, configuration, status and event handlers."""

import builtins
import ctypes
import dataclasses

from . import _args
from ._errors import Error, Timeout
from ._library import (EVENT_HANDLER, STATE_RECORD_SIZE, TIMED_OUT, PcapIf, c_ubyte, library,
                       mac_bytes)
from .status import Status

DEFAULT_MAX_PACKET = 1 << 20
_CAP_NET_RAW = 13  # bit of the capability sets in /proc/self/status

# SpW_Socket_Init's results.
_OPEN_FAILURES = {
    -1: "listing the adapters failed",
    -2: "this host has no adapters",
    -3: "there is no adapter of that number",
    -4: "libpcap could not open it",
    -5: "the frame filter did not compile",
    -6: "the frame filter could not be set",
    -7: "non-blocking mode could not be set",
    -8: "all ten read buffers are taken by open sockets",
}

# Speeds the bridge can be set to, in Mbit/s.
SPEEDS_MBIT = (10, 50, 100, 200, 300, 400, 500)


@dataclasses.dataclass(frozen=True)
class Adapter:
    number: int  # its place in the library's adapter list
    name: str  # "eth1"
    description: str


@dataclasses.dataclass(frozen=True)
class Packet:
    data: bytes
    eep: bool = False  # ended with an error end of packet


def adapters():
    """The host's adapters as the library numbers them."""
    lib = library()
    first = lib.Create_List_Devices()
    if first == -1:
        raise Error("listing the adapters failed (pcap_findalldevs)", first)
    found = []
    entry = ctypes.cast(first, ctypes.POINTER(PcapIf)) if first > 0 else None
    while entry:
        item = entry.contents
        found.append(Adapter(len(found), item.name.decode(errors="replace"),
                             (item.description or b"").decode(errors="replace")))
        entry = item.next
    return found


def _find_adapter(adapter):
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


def _has_capability(bit):
    try:
        with builtins.open("/proc/self/status") as status:
            for line in status:
                if line.startswith("CapEff:"):
                    return bool(int(line.split()[1], 16) >> bit & 1)
    except OSError:
        pass
    return True  # cannot tell: do not blame the capability


def open(adapter, *, idle_wait=True, max_packet=DEFAULT_MAX_PACKET):  # noqa: A001
    """Opens a socket on an adapter given by name ("eth1") or number.

    idle_wait: waits sleep in the kernel instead of polling (a process-wide
    setting of the library). max_packet: the largest packet recv() takes.
    """
    max_packet = _args.integer("max_packet", max_packet, 1, 2**31 - 2)
    chosen = _find_adapter(adapter)
    lib = library()
    lib.set_recv_idle_wait(1 if idle_wait else 0)
    handle = lib.SpW_Socket_Init(chosen.number)
    if handle <= 0:
        if handle == -4 and not _has_capability(_CAP_NET_RAW):
            raise Error(f"cannot open adapter {chosen.name}: capturing needs CAP_NET_RAW "
                        "(run as root or grant the capability), which this process lacks",
                        handle)
        reason = _OPEN_FAILURES.get(handle, "unknown failure")
        raise Error(f"cannot open adapter {chosen.name}: {reason} ({handle})", handle)
    return Socket(handle, chosen, max_packet)


def set_crediting(on, *, limit=None, wait_level=None, timeout=None):
    """Credit flow control of sends (process-wide): off by default.

    limit: credits a send may use before it waits; wait_level: the bridge's
    credits it waits for; timeout: seconds a credit wait may last before the
    send fails (0: for ever). None leaves a setting as it is.
    """
    if limit is not None:
        limit = _args.integer("limit", limit, 1, 255)
    if wait_level is not None:
        wait_level = _args.integer("wait_level", wait_level, 0, 255)
    if timeout is not None:
        timeout = _args.milliseconds("timeout", timeout, optional=False) if timeout else 0
    lib = library()
    for setter, value in ((lib.set_send_credit_limit, limit),
                          (lib.set_send_credit_wait, wait_level),
                          (lib.set_send_credit_timeout, timeout)):
        if value is not None:
            setter(value)
    lib.set_send_crediting(1 if on else 0)


def set_read_buffer(*, size=None, skip_own_frames=None):
    """The size in bytes (at least 1500) of every socket's read buffer, where
    frames wait that a call met but did not want (changing it drops what they
    hold), and whether the host's own frames (all-zero source address) stay out
    of them. Process-wide; None leaves a setting as it is."""
    if size is not None:
        size = _args.integer("size", size, 1500, 2**31 - 1)
    lib = library()
    if size is not None:
        lib.set_recv_buffer_size(size)
    if skip_own_frames is not None:
        lib.set_recv_skip_out_frames(1 if skip_own_frames else 0)


# ------------------------------------------------------------------ handlers
# The library keeps one handler of each kind for the whole process.

# kind: (register call, disable call, decoder of the payload)
_HANDLER_KINDS = {
    "control_codes": ("register_ccode_event_handler", "disable_handler_ccode", bytes),
    "error_frame": ("register_err_frame_event_handler", "disable_handler_err_frame", bytes),
    "status": ("register_status_event_handler", "disable_handler_status", Status.from_bytes),
}
_registered = {}  # kind: the C callback object, kept alive while registered
_handler_errors = []  # exceptions raised by handlers, re-raised after the C call
_handlers_running = 0  # handler calls in progress (a handler may send or receive)
_retired = []  # callbacks replaced while a handler ran: freed once none runs


def _c_handler(function, decode):
    def call(data, size, mac):
        global _handlers_running
        lib = library()
        try:
            payload = ctypes.string_at(data, size) if data and size > 0 else b""
            source = _args.format_mac(mac_bytes(mac)) if mac else None
        finally:
            if data:
                lib.free(data)  # the library hands the block over: it is ours to free
        _handlers_running += 1
        try:
            function(decode(payload), source)
        except BaseException as error:  # noqa: B902 - handed to the caller below
            _handler_errors.append(error)
        finally:
            _handlers_running -= 1

    return EVENT_HANDLER(call)


def _forget_handlers(*kinds):
    """Drops the callbacks of kinds the library no longer calls. One of them may
    be running (a handler that replaces itself): it stays alive until none runs."""
    for kind in kinds:
        if kind in _registered:
            _retired.append(_registered.pop(kind))
    if _handlers_running == 0:
        _retired.clear()


def _register_handler(kind, function):
    register, disable, decode = _HANDLER_KINDS[kind]
    if function is not None and not callable(function):
        raise TypeError(f"a handler must be callable, not {type(function).__name__}")
    lib = library()
    if function is None:
        getattr(lib, disable)()
        _forget_handlers(kind)
        return
    callback = _c_handler(function, decode)
    if getattr(lib, register)(callback) != 0:
        raise Error(f"registering the {kind} handler failed")
    _forget_handlers(kind)
    _registered[kind] = callback


def _raise_handler_error():
    if _handler_errors:
        error = _handler_errors.pop(0)
        _handler_errors.clear()
        raise error


# ------------------------------------------------------------------ socket

class Socket:
    """An open socket: a capture handle on one adapter. Use it in a `with` block."""

    def __init__(self, handle, adapter, max_packet=DEFAULT_MAX_PACKET):
        self.adapter = adapter
        self._handle = handle
        self._buffer = ctypes.create_string_buffer(max_packet)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else "open"
        return f"<spweth.Socket {self.adapter.name} {state}>"

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Closes the socket; the library then unregisters every event handler."""
        if self._handle is not None:
            library().SpW_Socket_Close(self._handle)
            self._handle = None
            _forget_handlers(*_HANDLER_KINDS)

    def _open_handle(self):
        if self._handle is None:
            raise Error(f"the socket on {self.adapter.name} is closed")
        return self._handle

    # ------------------------------------------------------------ addresses

    @property
    def bridge_address(self):
        """The address the library sends to and receives from, "00:01:02:03:04:05"."""
        return _args.format_mac(mac_bytes(library().get_current_dest_mac_address()))

    @property
    def host_address(self):
        """The source address of the host's frames (all zero by default)."""
        return _args.format_mac(mac_bytes(library().get_current_source_mac_address()))

    def set_bridge_address(self, address, *, program=False):
        """Sends to and receives from `address` from now on (process-wide). With
        program=True the bridge is first told to take it as its own address."""
        address = _args.mac_address("address", address)
        if program:
            self._check_sent("setting the bridge's address",
                             library().SpW_Eth_Set_MAC_Dest(self._open_handle(), address))
        library().set_dest_mac_address(address, 6)

    def set_host_address(self, address, *, program=False):
        """Sends from `address` from now on (process-wide). With program=True the
        bridge is also told to send to it."""
        address = _args.mac_address("address", address)
        if program:
            self._check_sent("setting the host's address",
                             library().SpW_Eth_Set_MAC_Source(self._open_handle(), address))
        library().set_source_mac_address(address, 6)

    # ------------------------------------------------------------ traffic

    def send(self, data, *, eep=False, channel=None):
        """Sends one packet ending with EOP, or EEP when eep is true; channel puts
        a channel byte (0..255) before the data."""
        data = _args.byte_string("data", data)
        if len(data) >= 2**31 - 1:
            raise ValueError(f"a packet holds less than 2 GiB, not {len(data)} bytes")
        marker = 2 if eep else 1
        lib = library()
        handle = self._open_handle()
        if channel is None:
            sent = lib.SpW_Send_Packet(handle, data, len(data), marker)
        else:
            channel = _args.integer("channel", channel, 0, 255)
            sent = lib.SpW_Send_Packet_From_Channel(handle, data, len(data), marker, channel)
        _raise_handler_error()
        if sent < 0:
            raise Error(f"sending a packet of {len(data)} bytes on {self.adapter.name} failed "
                        f"({sent}): the capture refused a frame or no credits came in time",
                        sent)

    def recv(self, timeout=None):
        """The next packet from the bridge's address; Timeout after `timeout` seconds
        (None: wait for ever)."""
        timeout_ms = _args.milliseconds("timeout", timeout, optional=True)
        lib = library()
        handle = self._open_handle()
        source = ctypes.create_string_buffer(mac_bytes(lib.get_current_dest_mac_address()), 6)
        type_byte = c_ubyte(0)
        length = lib.SpW_Recv_Packet_From_MAC_Timeout(handle, self._buffer, len(self._buffer),
                                                      source, ctypes.byref(type_byte),
                                                      timeout_ms or 0)
        _raise_handler_error()
        if length == TIMED_OUT:
            raise Timeout(f"no packet from {_args.format_mac(source.raw)} within {timeout} s",
                          length)
        if length < 0:
            raise Error(f"receiving on {self.adapter.name} failed ({length})", length)
        if length == 0 and lib.get_wait_receive_status() == 0:
            raise Error("the receive was ended by set_wait_receive_active(0)", 0)
        if length > len(self._buffer):
            raise Error(f"a packet of {length} bytes did not fit the receive buffer of "
                        f"{len(self._buffer)} bytes (open with a larger max_packet)", length)
        return Packet(ctypes.string_at(self._buffer, length), type_byte.value == 1)

    def send_time_code(self, value):
        """Sends a time code (0..63)."""
        value = _args.integer("value", value, 0, 63)
        self._check_sent("sending a time code",
                         library().SpW_Send_Time_Code(self._open_handle(), value))

    # ------------------------------------------------------------ bridge

    def status(self, timeout=None):
        """The bridge's next status record; Timeout after `timeout` seconds (None: for ever)."""
        timeout_ms = _args.milliseconds("timeout", timeout, optional=True)
        lib = library()
        handle = self._open_handle()
        record = (c_ubyte * STATE_RECORD_SIZE)()
        source = ctypes.create_string_buffer(mac_bytes(lib.get_current_dest_mac_address()), 6)
        length = lib.SpW_Eth_Get_State_From_MAC_Timeout(handle, record, source, timeout_ms or 0)
        _raise_handler_error()
        if length > 0:
            return Status.from_bytes(bytes(record))
        if length == TIMED_OUT:
            raise Timeout(f"no status record from {_args.format_mac(source.raw)} "
                          f"within {timeout} s", TIMED_OUT)
        raise Error(f"the status query on {self.adapter.name} failed ({length})", length)

    def configure(self, *, speed=None, status_period=None, switch_mode=None, filter=None,
                  data_filter=None, receive_timer=None):
        """Sends the bridge one configuration frame per setting given.

        speed: link speed in Mbit/s (10, 50, 100, 200, 300, 400, 500);
        status_period: seconds between status frames, in steps of 0.1 (0 stops them);
        switch_mode: (data mode, control-code mode), each 0..8;
        filter: the filter byte; data_filter: (value, mask);
        receive_timer: the receive timer byte.
        Every argument is checked before anything is sent.
        """
        frames = []
        lib = library()
        if speed is not None:
            if isinstance(speed, bool) or speed not in SPEEDS_MBIT:
                raise ValueError(f"speed must be one of {SPEEDS_MBIT} Mbit/s, not {speed!r}")
            frames.append(("speed", lib.SpW_Eth_Set_SpW_Speed, int(speed)))
        if status_period is not None:
            tenths = round(_args.milliseconds("status_period", status_period, optional=False) / 100)
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

    def reset_bridge(self):
        """Clears the bridge's port counters, rates and frame-number checks."""
        self._check_sent("resetting the bridge", library().SpW_Eth_Reset(self._open_handle()))

    def _check_sent(self, what, result):
        if result != 0:
            raise Error(f"{what} on {self.adapter.name} failed: the capture refused the frame",
                        result)

    # ------------------------------------------------------------ handlers

    def on_control_codes(self, function):
        """function(codes: bytes, source: str) for each control-code frame a receive
        meets; None removes it. Handlers are process-wide and run inside the
        receive, send and status calls; what they raise comes out of that call."""
        _register_handler("control_codes", function)

    def on_error_frame(self, function):
        """function(record: bytes, source: str) for each error frame: record[0] is
        the error type (0: credit information, record[1] the credits)."""
        _register_handler("error_frame", function)

    def on_status(self, function):
        """function(status: Status, source: str) for each status frame that a
        receive meets."""
        _register_handler("status", function)

    # ------------------------------------------------------------ RMAP

    def rmap(self, logical_address=0xFE, key=0x20, target_address=b"", reply_address=b"",
             initiator_logical_address=0xFE):
        """An RMAP target reached through this socket."""
        from .rmap import RmapTarget
        return RmapTarget(self, logical_address=logical_address, key=key,
                          target_address=target_address, reply_address=reply_address,
                          initiator_logical_address=initiator_logical_address)


def _byte_pair(name, value, high):
    """Two numbers within 0..high, such as (data mode, control-code mode)."""
    try:
        first, second = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair of numbers") from None
    return (_args.integer(f"{name}[0]", first, 0, high),
            _args.integer(f"{name}[1]", second, 0, high))
