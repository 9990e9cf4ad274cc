"""python -m spweth: the jobs of spweth-demo from Python, with its options.

    python -m spweth list
    python -m spweth send     --iface NAME (--hex BYTES | --file PATH | --random N) [--eep]
    python -m spweth recv     --iface NAME [--count N] [--timeout-ms T]
    python -m spweth codes    --iface NAME [--kind time|int|ack|cc01|cc11|raw] VALUE...
    python -m spweth config   --iface NAME SETTING [VALUES]
    python -m spweth status   --iface NAME [--timeout-ms T]
    python -m spweth monitor  --iface NAME [--seconds S] [--interval-ms T]
    python -m spweth loopback --iface NAME [--count N] [--min A --max B] [--seed S]
    python -m spweth rmap     read|write|rmw --iface NAME --address A ...

Each prints what spweth-demo prints for the same job (the loopback with the
same seed sends the same packets); with --json, one JSON object per line
instead, with the record and field names of spweth-demo --json wherever the
demo prints the same record (list, status, recv, monitor, loopback, rmap).
As in spweth-demo, the library's own notes go to standard error, each line
marked "spweth: ". Exit status: 0 success, 1 failure, 2 usage.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import logging
import struct
import sys
import time
from typing import Any, ContextManager

import spweth
from spweth._library import library

DEFAULT_KEY = 0x20  # as in spweth-demo, the Python API and the bridge emulator
RECV_BUFFER_SIZE = 1 << 20  # the largest loopback packet, as in spweth-demo
BRIDGE_FRAME_PAYLOAD = 1495
CAPTURED_FRAME_SIZE = 1514 + 4
EXIT_USAGE = 2


def say(text: str) -> None:
    """Prints after whatever the C calls printed before."""
    library().flush_stdout()
    sys.stdout.write(text)
    sys.stdout.flush()


def emit(record: dict[str, Any]) -> None:
    """One JSON object on a line of its own (--json); where spweth-demo --json
    prints the same record, with its field names."""
    say(json.dumps(record) + "\n")


def port_record(channel: spweth.Channel) -> dict[str, Any]:
    return {"tx_bytes": channel.tx_bytes, "tx_packets": channel.tx_packets,
            "rx_bytes": channel.rx_bytes, "rx_packets": channel.rx_packets,
            "rx_packets_eop": channel.rx_packets_eop, "rx_packets_eep": channel.rx_packets_eep,
            "tx_bytes_per_sec": channel.tx_bytes_per_sec,
            "rx_bytes_per_sec": channel.rx_bytes_per_sec,
            "link_state": channel.link_state, "link_state_name": channel.link_state_name}


def status_record(status: spweth.Status, bridge: str | None) -> dict[str, Any]:
    return {"record": "status", "bridge": bridge, "time_ms": status.time,
            "spw1": port_record(status.spw1), "spw2": port_record(status.spw2),
            "speed_code": status.speed, "speed_mbit": status.speed_mbit,
            "switch_state": status.switch_state, "data_mode": status.data_switch_mode,
            "ccode_mode": status.ccode_switch_mode}


def counters_record(counters: spweth.Counters) -> dict[str, Any]:
    return dataclasses.asdict(counters)


def write_stream(stream: int, text: str) -> None:
    (sys.stderr if stream == 2 else sys.stdout).write(text)


def printed() -> ContextManager[None]:
    """While inside, what the library's printers print goes to standard output."""
    return library().console_to(write_stream)


def number(text: str) -> int:
    return int(text, 0)


class Random:
    """spweth-demo's generator: the same seed gives the same packets."""

    MASK = (1 << 64) - 1

    def __init__(self, seed: int) -> None:
        self.state = (seed * 0x9E3779B97F4A7C15 + 1) & self.MASK

    def next(self) -> int:
        s = self.state
        s ^= (s << 13) & self.MASK
        s ^= s >> 7
        s ^= (s << 17) & self.MASK
        self.state = s
        return s

    def between(self, low: int, high: int) -> int:
        return low + self.next() % (high - low + 1)

    def fill(self, size: int) -> bytes:
        # next() inlined: this loop makes every byte of a loopback packet.
        s, mask, words = self.state, self.MASK, []
        for _ in range((size + 7) // 8):
            s ^= (s << 13) & mask
            s ^= s >> 7
            s ^= (s << 17) & mask
            words.append(s)
        self.state = s
        return struct.pack(f"<{len(words)}Q", *words)[:size]


class SizePlan:
    """--sizes A,B,C cycles through a list; otherwise random sizes between --min and --max."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.random = Random(args.seed)
        self.low, self.high = args.min, max(args.min, args.max)
        self.sizes = [number(s) for s in args.sizes.split(",")] if args.sizes else []

    def largest(self) -> int:
        return max(self.sizes) if self.sizes else int(self.high)

    def next(self, index: int) -> int:
        if self.sizes:
            return self.sizes[index % len(self.sizes)]
        return self.random.between(int(self.low), int(self.high))


def open_socket(args: argparse.Namespace) -> spweth.Socket | None:
    """The socket of --iface NAME or --num N with --bridge and --host applied; None on failure."""
    adapter = args.iface if args.iface is not None else args.num
    if adapter is None:
        print("Name the adapter with --iface NAME (or --num N); see 'list'.", file=sys.stderr)
        return None
    try:
        return spweth.open(adapter, idle_wait=not args.spin, bridge=args.bridge,
                           source=args.host)
    except (spweth.Error, ValueError) as error:
        library().flush_stdout()
        print(error, file=sys.stderr)
        return None


def command_list(args: argparse.Namespace) -> int:
    adapters = spweth.adapters()
    for adapter in adapters:
        if args.json:
            emit({"record": "adapter", "number": adapter.number, "name": adapter.name,
                  "description": adapter.description or ""})
            continue
        description = adapter.description or "No description available"
        say(f"{adapter.number}. {adapter.name} ({description})\n")
    return 0 if adapters else 1


def command_status(args: argparse.Namespace) -> int:
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        try:
            status = socket.status(timeout=args.timeout_ms / 1000)
        except spweth.Timeout:
            text = f"No status record from {socket.bridge_address} within the time-out."
            if args.json:  # as spweth-demo: nothing on standard output but records
                library().flush_stdout()
                print(text, file=sys.stderr)
            else:
                say(text + "\n")
            return 1
        if args.json:
            emit(status_record(status, socket.bridge_address))
        else:
            say(f"\n{status}\n")
    return 0


def hex_text(data: bytes) -> str:
    return data.hex()


def payload_of(args: argparse.Namespace) -> bytes | None:
    """The packet of --hex, --file or --random N (with --seed), as the demo makes it."""
    try:
        if args.hex is not None:
            return hex_bytes(args.hex)
        if args.file is not None:
            with open(args.file, "rb") as file:
                return file.read()
    except (ValueError, OSError):
        return None
    return Random(args.seed).fill(args.random)


def command_send(args: argparse.Namespace) -> int:
    payload = payload_of(args)
    if payload is None:
        print("Give the packet with --hex BYTES, --file PATH or --random N.", file=sys.stderr)
        return EXIT_USAGE
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        sent = len(payload) + (0 if args.channel is None else 1)
        try:
            socket.send(payload, eep=args.eep, channel=args.channel,
                        timeout=args.timeout_ms / 1000 if args.timeout_ms else None)
        except (spweth.Error, ValueError) as error:
            sent = error.code if isinstance(error, spweth.Error) and error.code else -2
        if args.json:
            emit({"record": "sent", "length": sent, "end": marker(args.eep), "ok": sent >= 0})
        else:
            say(f"Sent {sent} bytes with {marker(args.eep)}.\n")
    return 0 if sent >= 0 else 1


def print_codes(codes: bytes, source: str | None) -> None:
    say(f"Control codes from {source}:" + "".join(f" {c:02X}" for c in codes) + "\n")


def print_error_frame(record: bytes, source: str | None) -> None:
    """What spweth-demo's error-frame handler prints."""
    say(f"Error frame from {source} ({len(record)} bytes), type {record[0] if record else -1}: ")
    if record:
        with printed():
            library().print_error_type(record[0])
    if len(record) >= 2 and record[0] == 0:
        say(f" credits {record[1]}\n")


def print_status(status: spweth.Status, source: str | None) -> None:
    say(f"\n{status}\n")


def event_record(event: spweth.Event, source: str | None) -> dict[str, Any]:
    """An event as --json prints it: a status record as spweth-demo prints it;
    control codes and error frames, which the demo does not print, as "code"
    and "error_frame"."""
    if isinstance(event, spweth.ControlCode):
        return {"record": "code", "source": source, "kind": event.kind, "value": event.value,
                "byte": event.byte}
    if isinstance(event, spweth.ErrorFrame):
        return {"record": "error_frame", "source": source, "kind": event.kind,
                "data": hex_text(event.data)}
    return status_record(event, source)


def packet_record(index: int, packet: spweth.Packet, source: str) -> dict[str, Any]:
    """A received packet as spweth-demo recv --json prints it."""
    return {"record": "packet", "packet": index, "source": source, "length": len(packet.data),
            "end": marker(packet.eep), "data": hex_text(packet.data)}


def command_recv(args: argparse.Namespace) -> int:
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        if args.json:
            def codes_as_json(codes: bytes, source: str | None) -> None:
                for code in codes:
                    emit(event_record(spweth.ControlCode.from_byte(code), source))

            handlers: Any = [codes_as_json,
                             lambda record, source: emit(event_record(
                                 spweth.ErrorFrame.from_bytes(record), source)),
                             lambda status, source: emit(event_record(status, source))]
        else:
            handlers = [print_codes, print_error_frame, print_status]
        socket.on_control_codes(handlers[0])
        socket.on_error_frame(handlers[1])
        socket.on_status(handlers[2])
        received = 0
        source = socket.bridge_address
        for index in range(1, args.count + 1):
            try:
                packet = socket.recv(timeout=args.timeout_ms / 1000)
            except spweth.Timeout:
                if args.json:  # as spweth-demo: nothing on standard output but records
                    library().flush_stdout()
                    print(f"No packet within the time-out ({received} of {args.count} "
                          "received).", file=sys.stderr)
                else:
                    say("No packet within the time-out.\n")
                break
            received += 1
            if args.json:
                emit(packet_record(index, packet, source))
                continue
            title = f"Packet {index} from {source}, {marker(packet.eep)}"
            with printed():
                library().debug_dump(title.encode(), packet.data, len(packet.data))
    return 0 if received == args.count else 1


def command_monitor(args: argparse.Namespace) -> int:
    """Prints control codes, error frames, status records and packets as they
    come, for --seconds (0: until Ctrl-C). With --json, status records are
    not printed one by one: every --interval-ms a "monitor" record, as
    spweth-demo monitor --json prints it, gives the latest with the count of
    records, the intervals that had none and the socket's counters."""
    if args.interval_ms < 1:
        print("--interval-ms takes a number of milliseconds, 1 or more.", file=sys.stderr)
        return EXIT_USAGE
    socket = open_socket(args)
    if socket is None:
        return 1
    interval = args.interval_ms / 1000
    start = time.monotonic()
    end = start + args.seconds if args.seconds > 0 else None
    tick = start + interval
    records = missed = index = 0
    latest: spweth.Status | None = None
    fresh = False
    with socket:
        source = socket.bridge_address
        try:
            while end is None or time.monotonic() < end:
                due = tick if end is None else min(tick, end)
                wait = min(0.2, max(0.0, due - time.monotonic()))
                for event in socket.events(timeout=wait):
                    if isinstance(event, spweth.Status):
                        records, latest, fresh = records + 1, event, True
                    if not (args.json and isinstance(event, spweth.Status)):
                        show_event(args, event, source)
                    if time.monotonic() >= due:  # a steady stream of events
                        break
                while True:
                    try:
                        packet = socket.recv(timeout=0)
                    except spweth.Timeout:
                        break
                    index += 1
                    if args.json:
                        emit(packet_record(index, packet, source))
                    else:
                        say(f"Packet {index} from {source}, {len(packet.data)} bytes, "
                            f"{marker(packet.eep)}\n")
                now = time.monotonic()
                if now < tick:
                    continue
                missed += 0 if fresh else 1
                if args.json:
                    emit({"record": "monitor", "elapsed_ms": int((now - start) * 1000),
                          "bridge": source, "records": records, "missed": missed,
                          "fresh": fresh,
                          "status": None if latest is None else status_record(latest, source),
                          "counters": counters_record(socket.counters)})
                fresh = False
                tick = max(tick + interval, now)
        except KeyboardInterrupt:
            pass
    return 0


def show_event(args: argparse.Namespace, event: spweth.Event, source: str) -> None:
    if args.json:
        emit(event_record(event, source))
    elif isinstance(event, spweth.ControlCode):
        say(f"Control code from {source}: {event.kind} {event.value} (0x{event.byte:02X})\n")
    elif isinstance(event, spweth.ErrorFrame):
        print_error_frame(bytes([event.kind]) + event.data, source)
    else:
        print_status(event, source)


def command_codes(args: argparse.Namespace) -> int:
    try:
        values = [number(v) for v in args.values]
    except ValueError:
        values = []
    if not values:
        print("Give one or more code values.", file=sys.stderr)
        return EXIT_USAGE
    if args.kind not in spweth.CODE_KINDS:
        print("--kind is one of time, int, ack, cc01, cc11, raw.", file=sys.stderr)
        return EXIT_USAGE
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        # As the demo: each value's low bits go into the code of the kind.
        high = 255 if args.kind == "raw" else 31 if args.kind in ("cc01", "cc11") or (
            args.five_bit) else 63
        ok = True
        try:
            socket.send_code(args.kind, [v & high for v in values], five_bit=bool(args.five_bit)
                             and args.kind in ("int", "ack"))
        except spweth.Error:
            ok = False
        if args.json:
            emit({"record": "codes", "kind": args.kind, "count": len(values), "ok": ok})
        else:
            say(f"Sent {len(values)} {args.kind} code(s): {'ok' if ok else 'refused'}\n")
    return 0 if ok else 1


CONFIG_SETTINGS = ("speed MBIT | switch DATA CCODE | status-freq N | receive-timer N | filter N | "
                   "data-filter VALUE MASK | bridge-mac MAC | host-mac MAC | auto-bridge-mac | "
                   "auto-host-mac | reset | hw-reset")


def command_config(args: argparse.Namespace) -> int:
    words = args.setting
    if not words:
        print(f"config SETTING: {CONFIG_SETTINGS}", file=sys.stderr)
        return EXIT_USAGE
    what = words[0]

    def arg(i: int) -> int:
        try:
            return number(words[i]) if i < len(words) else 0
        except ValueError:
            return 0

    lib = library()
    one_byte = {"status-freq": "SpW_Eth_Set_Status_Freq",
                "receive-timer": "SpW_Eth_Set_Receive_Timer", "filter": "SpW_Eth_Set_Filtr"}
    none = {"auto-bridge-mac": "SpW_Eth_Set_Auto_MAC_Dest",
            "auto-host-mac": "SpW_Eth_Set_Auto_MAC_Source", "reset": "SpW_Eth_Reset",
            "hw-reset": "SpW_Eth_Set_Hardware_Reset"}
    address = None
    if what in ("bridge-mac", "host-mac"):
        try:
            address = spweth._args.mac_address(what, words[1] if len(words) > 1 else "")
        except ValueError:
            print(f"{what} takes an address such as 00:01:02:03:04:05.", file=sys.stderr)
            return EXIT_USAGE
    elif what not in one_byte and what not in none and what not in (
            "speed", "switch", "data-filter"):
        print(f"Unknown setting {what}.", file=sys.stderr)
        return EXIT_USAGE
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        handle = socket._open_handle()
        if what == "speed":
            result = lib.SpW_Eth_Set_SpW_Speed(handle, arg(1))
        elif what == "switch":
            result = lib.SpW_Eth_Set_Switch_Mode(handle, arg(1) & 0xFF, arg(2) & 0xFF)
        elif what == "data-filter":
            result = lib.SpW_Eth_Set_Data_Filtr(handle, arg(1) & 0xFF, arg(2) & 0xFF)
        elif what in one_byte:
            result = getattr(lib, one_byte[what])(handle, arg(1) & 0xFF)
        elif what in none:
            result = getattr(lib, none[what])(handle)
        else:
            call = lib.SpW_Eth_Set_MAC_Dest if what == "bridge-mac" else lib.SpW_Eth_Set_MAC_Source
            result = call(handle, address)
        if args.json:
            emit({"record": "config", "setting": what, "ok": result == 0})
        else:
            say(f"Configuration '{what}' {'sent' if result == 0 else 'refused'}.\n")
    return 0 if result == 0 else 1


def command_loopback(args: argparse.Namespace) -> int:
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        return run_loopback(socket, args)


def run_loopback(socket: spweth.Socket, args: argparse.Namespace) -> int:
    crediting = not args.no_credits
    timeout = args.timeout_ms / 1000
    spweth.set_crediting(crediting, limit=args.credit_limit, wait_level=args.credit_wait,
                         timeout=timeout if crediting else 0)
    if not args.json:
        socket.on_error_frame(print_error_frame)
    plan = SizePlan(args)
    # While the sender waits for credits, what the bridge sends back is set
    # aside in the read buffer: keep the host's own frames out of it (they
    # carry the all-zero source address) and make room for the largest echo.
    if socket.source_address == "00:00:00:00:00:00":
        spweth.set_read_buffer(skip_own_frames=True)
    echo_frames = plan.largest() // BRIDGE_FRAME_PAYLOAD + 1
    spweth.set_read_buffer(size=max(1000000, 2 * echo_frames * CAPTURED_FRAME_SIZE))
    ok = errors = lost = 0
    received_bytes = 0
    # Only sending and receiving count towards the rate: making the packets
    # takes Python longer than moving them.
    seconds = 0.0
    buffer = bytearray(RECV_BUFFER_SIZE)
    view = memoryview(buffer)
    answered, lost_in_a_row, sent = False, 0, 0
    for i in range(args.count):
        # As spweth-demo: with no bridge answering, one lost packet says it all.
        if lost_in_a_row and (not answered or lost_in_a_row >= 3):
            if not args.quiet and not args.json:
                say("\n")
            library().flush_stdout()
            print(f"python -m spweth: no answer from the bridge {socket.bridge_address} within "
                  f"{args.timeout_ms} ms: stopped after packet {i} of {args.count}",
                  file=sys.stderr)
            break
        sent += 1
        size = min(max(plan.next(i), 0), RECV_BUFFER_SIZE)
        packet = plan.random.fill(size)
        eep = bool(plan.random.next() & 1)
        if size == 0:  # an empty packet sends no frame: nothing comes back
            ok += 1
            continue
        start = time.monotonic()
        try:
            socket.send(packet, eep=eep)
        except spweth.Error as error:
            lost += 1
            lost_in_a_row += 1
            if args.json:
                emit({"record": "loopback_packet", "packet": i + 1, "problem": "send failed",
                      "sent_bytes": size, "sent_end": marker(eep)})
            else:
                say(f"Packet {i + 1}: send of {size} bytes failed ({error.code}).\n")
            continue
        try:
            length, got_eep = socket.recv_into(buffer, timeout=timeout)
        except spweth.Timeout:
            lost += 1
            lost_in_a_row += 1
            if args.json:
                emit({"record": "loopback_packet", "packet": i + 1, "problem": "lost",
                      "sent_bytes": size, "sent_end": marker(eep)})
            else:
                say(f"Packet {i + 1}: {size} bytes sent, nothing came back.\n")
            continue
        finally:
            seconds += time.monotonic() - start
        answered, lost_in_a_row = True, 0
        if length != size or got_eep != eep or view[:length] != packet:
            errors += 1
            if args.json:
                emit({"record": "loopback_packet", "packet": i + 1,
                      "problem": "content differs" if length == size else "length differs",
                      "sent_bytes": size, "sent_end": marker(eep),
                      "received_bytes": length, "received_end": marker(got_eep)})
            else:
                differs = ", content differs" if length == size else ""
                say(f"Packet {i + 1}: sent {size} bytes with {marker(eep)}, got {length} "
                    f"bytes with {marker(got_eep)}{differs}.\n")
            continue
        ok += 1
        received_bytes += size
        if not args.quiet and not args.json and ((i + 1) % 100 == 0 or i + 1 == args.count):
            say(f"\rLoopback: {i + 1} / {args.count} packets")
    rate = received_bytes / seconds / 1e6 if seconds > 0 else 0.0
    if args.json:
        emit({"record": "loopback", "packets": args.count, "sent": sent, "intact": ok,
              "bytes": received_bytes, "seconds": seconds, "mb_per_s": rate, "errors": errors,
              "lost": lost, "credit_flow_control": crediting})
    else:
        say(f"\nLoopback summary: {args.count} packets, {ok} intact, {received_bytes} bytes, "
            f"{rate:.2f} MB/s, {errors} errors, {lost} lost "
            f"(credit flow control {'on' if crediting else 'off'})\n")
    return 0 if errors == 0 and lost == 0 and sent == args.count else 1


def marker(eep: bool) -> str:
    return "EEP" if eep else "EOP"


def hex_bytes(text: str) -> bytes:
    """Bytes from hex digits, with spaces, colons, commas or dashes between them."""
    for separator in " :,-":
        text = text.replace(separator, "")
    return bytes.fromhex(text)


def path_bytes(text: str) -> bytes:
    """SpaceWire address bytes from "3,17,4"."""
    path = bytes(number(word) for word in text.split(",")) if text else b""
    if len(path) > 12:
        raise ValueError("at most 12 bytes")
    return path


def command_rmap(args: argparse.Namespace) -> int:
    try:
        data = hex_bytes(args.hex) if args.hex else b""
        mask = hex_bytes(args.mask) if args.mask else b"\xff" * len(data)
        target_path, reply_path = path_bytes(args.target_path), path_bytes(args.reply_path)
    except ValueError:
        print("--hex and --mask take bytes such as \"01 02 03\"; --target-path and "
              "--reply-path up to 12 bytes such as 3,17.", file=sys.stderr)
        return EXIT_USAGE
    if args.operation != "read" and not data:
        print("Give the data with --hex BYTES.", file=sys.stderr)
        return EXIT_USAGE
    if args.operation == "rmw" and len(mask) != len(data):
        print("--mask takes as many bytes as --hex.", file=sys.stderr)
        return EXIT_USAGE
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        target = socket.rmap(logical_address=args.logical_address, key=args.key,
                             target_address=target_path, reply_address=reply_path,
                             initiator_logical_address=args.initiator)
        timeout = args.timeout_ms / 1000
        returned, result = b"", 0
        try:
            if args.operation == "read":
                returned = target.read(args.address, args.length, increment=not args.no_increment,
                                       timeout=timeout, extended_address=args.extended)
            elif args.operation == "write":
                target.write(args.address, data, verify=args.verify, reply=not args.no_reply,
                             increment=not args.no_increment, timeout=timeout,
                             extended_address=args.extended)
            else:
                returned = target.rmw(args.address, data, mask, timeout=timeout,
                                      extended_address=args.extended)
        except spweth.Error as error:
            if error.code is None:
                raise
            result = error.code
        text = library().SpW_RMAP_Status_Text(result).decode(errors="replace")
        if args.json:
            record = {"record": "rmap", "operation": args.operation, "extended": args.extended,
                      "address": args.address, "status": result, "status_text": text}
            if args.operation != "write":
                record["data"] = hex_text(returned) if result == 0 else ""
            emit(record)
            return 0 if result == 0 else 1
        say(f"RMAP {args.operation} at 0x{args.extended:02X}:{args.address:08X}: {result}, "
            f"{text}\n")
        if result == 0 and returned:
            with printed():
                library().debug_dump(b"Data read" if args.operation == "read" else b"Old data",
                                     returned, len(returned))
    return 0 if result == 0 else 1


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m spweth", description=__doc__,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", help="list the host's adapters")
    listing.add_argument("--json", action="store_true", help="one JSON object per adapter")

    def with_socket(name: str, help_text: str) -> argparse.ArgumentParser:
        command = commands.add_parser(name, help=help_text)
        command.add_argument("--iface", help="adapter name")
        command.add_argument("--num", type=number, help="adapter number instead of --iface")
        command.add_argument("--bridge", help="the bridge's address, 00:01:02:03:04:05")
        command.add_argument("--host", help="the host's source address (or 'adapter')")
        command.add_argument("--spin", action="store_true",
                             help="poll without pause while waiting instead of sleeping")
        command.add_argument("--json", action="store_true",
                             help="print the results as JSON objects, one per line (the field "
                                  "names of spweth-demo --json where it prints the same record)")
        return command

    send = with_socket("send", "send one packet")
    send.add_argument("--hex", help="the packet's bytes, \"01 02 03\"")
    send.add_argument("--file", help="the packet's bytes from a file")
    send.add_argument("--random", type=number, default=16, help="N random bytes (with --seed)")
    send.add_argument("--seed", type=number, default=1)
    send.add_argument("--eep", action="store_true", help="end the packet with EEP")
    send.add_argument("--channel", type=number, help="a channel byte before the data")
    send.add_argument("--timeout-ms", type=number, default=0,
                      help="bound the credit waits (0: none)")

    recv = with_socket("recv", "receive and dump packets")
    recv.add_argument("--count", type=number, default=1)
    recv.add_argument("--timeout-ms", type=number, default=5000)

    codes = with_socket("codes", "send control codes in one frame")
    codes.add_argument("--kind", default="time", help="time, int, ack, cc01, cc11 or raw")
    codes.add_argument("--five-bit", type=number, default=0, choices=(0, 1),
                       help="five-bit identifiers for int and ack codes")
    codes.add_argument("values", nargs="*", help="code values")

    config = with_socket("config", "send one configuration setting to the bridge")
    config.add_argument("setting", nargs="*", help=CONFIG_SETTINGS)

    status = with_socket("status", "print the bridge's next status record")
    status.add_argument("--timeout-ms", type=number, default=5000)

    monitor = with_socket("monitor", "print codes, error frames, status records and packets")
    monitor.add_argument("--seconds", type=float, default=0.0, help="0: until Ctrl-C")
    monitor.add_argument("--interval-ms", type=number, default=1000,
                         help="--json: a monitor record every T ms (default 1000)")

    loop = with_socket("loopback", "send packets and check what comes back")
    loop.add_argument("--count", type=number, default=100)
    loop.add_argument("--sizes", help="sizes A,B,... to cycle through")
    loop.add_argument("--min", type=number, default=1)
    loop.add_argument("--max", type=number, default=4096)
    loop.add_argument("--seed", type=number, default=1)
    loop.add_argument("--no-credits", action="store_true")
    loop.add_argument("--credit-limit", type=number)
    loop.add_argument("--credit-wait", type=number)
    loop.add_argument("--timeout-ms", type=number, default=3000)
    loop.add_argument("--quiet", action="store_true")

    rmap = with_socket("rmap", "RMAP read, write or read-modify-write")
    rmap.add_argument("operation", choices=("read", "write", "rmw"))
    rmap.add_argument("--address", type=number, required=True)
    rmap.add_argument("--extended", type=number, default=0, help="extended address")
    rmap.add_argument("--length", type=number, default=4, help="bytes to read")
    rmap.add_argument("--hex", help="bytes to write")
    rmap.add_argument("--mask", help="read-modify-write mask (default: all bits)")
    rmap.add_argument("--logical-address", type=number, default=0xFE)
    rmap.add_argument("--key", type=number, default=DEFAULT_KEY,
                      help=f"the target's key (default 0x{DEFAULT_KEY:02X})")
    rmap.add_argument("--initiator", type=number, default=0xFE)
    rmap.add_argument("--target-path", default="", help="SpaceWire address bytes, 3,17")
    rmap.add_argument("--reply-path", default="", help="reply address bytes, 1,2")
    rmap.add_argument("--no-increment", action="store_true")
    rmap.add_argument("--verify", action="store_true")
    rmap.add_argument("--no-reply", action="store_true")
    rmap.add_argument("--timeout-ms", type=number, default=1000)
    return top


COMMANDS = {"list": command_list, "send": command_send, "recv": command_recv,
            "codes": command_codes, "config": command_config, "status": command_status,
            "monitor": command_monitor, "loopback": command_loopback, "rmap": command_rmap}


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    logging.basicConfig(format="%(name)s: %(message)s", level=logging.INFO)
    try:
        return COMMANDS[args.command](args)
    except (spweth.Error, ValueError, TypeError) as error:
        library().flush_stdout()
        print(error, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        library().flush_stdout()
        print("Interrupted.", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
