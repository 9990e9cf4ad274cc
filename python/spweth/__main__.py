"""python -m spweth: list adapters, print a status record, run a loopback test,
read and write over RMAP, printing what spweth-demo prints for the same job
(the loopback with the same seed sends the same packets).

As in spweth-demo, the library's own notes go to standard error, each line
marked "spweth: ", and what its printers print for a command is the command's
output.
"""

import argparse
import json
import logging
import struct
import sys
import time

import spweth
from spweth._library import library

DEFAULT_KEY = 0x20  # as in spweth-demo, the Python API and the bridge emulator
RECV_BUFFER_SIZE = 1 << 20  # the largest loopback packet, as in spweth-demo
BRIDGE_FRAME_PAYLOAD = 1495
CAPTURED_FRAME_SIZE = 1514 + 4


def say(text):
    """Prints after whatever the C calls printed before."""
    library().flush_stdout()
    sys.stdout.write(text)
    sys.stdout.flush()


def emit(record):
    """One JSON object on its own line (--json): the field names of spweth-demo --json."""
    say(json.dumps(record) + "\n")


def port_record(channel):
    return {"tx_bytes": channel.tx_bytes, "tx_packets": channel.tx_packets,
            "rx_bytes": channel.rx_bytes, "rx_packets": channel.rx_packets,
            "rx_packets_eop": channel.rx_packets_eop, "rx_packets_eep": channel.rx_packets_eep,
            "tx_bytes_per_sec": channel.tx_bytes_per_sec,
            "rx_bytes_per_sec": channel.rx_bytes_per_sec,
            "link_state": channel.link_state, "link_state_name": channel.link_state_name}


def status_record(status, bridge):
    return {"record": "status", "bridge": bridge, "time_ms": status.time,
            "spw1": port_record(status.spw1), "spw2": port_record(status.spw2),
            "speed_code": status.speed, "speed_mbit": status.speed_mbit,
            "switch_state": status.switch_state, "data_mode": status.data_switch_mode,
            "ccode_mode": status.ccode_switch_mode}


def write_stream(stream, text):
    (sys.stderr if stream == 2 else sys.stdout).write(text)


def printed():
    """While inside, what the library's printers print goes to standard output."""
    return library().console_to(write_stream)


def number(text):
    return int(text, 0)


class Random:
    """spweth-demo's generator: the same seed gives the same packets."""

    MASK = (1 << 64) - 1

    def __init__(self, seed):
        self.state = (seed * 0x9E3779B97F4A7C15 + 1) & self.MASK

    def next(self):
        s = self.state
        s ^= (s << 13) & self.MASK
        s ^= s >> 7
        s ^= (s << 17) & self.MASK
        self.state = s
        return s

    def between(self, low, high):
        return low + self.next() % (high - low + 1)

    def fill(self, size):
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

    def __init__(self, args):
        self.random = Random(args.seed)
        self.low, self.high = args.min, max(args.min, args.max)
        self.sizes = [number(s) for s in args.sizes.split(",")] if args.sizes else []

    def largest(self):
        return max(self.sizes) if self.sizes else self.high

    def next(self, index):
        if self.sizes:
            return self.sizes[index % len(self.sizes)]
        return self.random.between(self.low, self.high)


def open_socket(args):
    """The socket of --iface NAME or --num N with --bridge and --host applied; None on failure."""
    adapter = args.iface if args.iface is not None else args.num
    if adapter is None:
        print("Name the adapter with --iface NAME (or --num N); see 'list'.", file=sys.stderr)
        return None
    try:
        socket = spweth.open(adapter, idle_wait=not args.spin)
        if args.bridge:
            socket.set_bridge_address(args.bridge)
        if args.host:
            socket.set_host_address(args.host)
        return socket
    except (spweth.Error, ValueError) as error:
        library().flush_stdout()
        print(error, file=sys.stderr)
        return None


def command_list(args):
    adapters = spweth.adapters()
    for adapter in adapters:
        if args.json:
            emit({"record": "adapter", "number": adapter.number, "name": adapter.name,
                  "description": adapter.description or ""})
            continue
        description = adapter.description or "No description available"
        say(f"{adapter.number}. {adapter.name} ({description})\n")
    return 0 if adapters else 1


def command_status(args):
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        try:
            status = socket.status(timeout=args.timeout_ms / 1000)
        except spweth.Timeout:
            say(f"No status record from {socket.bridge_address} within the time-out.\n")
            return 1
        if args.json:
            emit(status_record(status, socket.bridge_address))
        else:
            say(f"\n{status}\n")
    return 0


def print_error_frame(record, source):
    """What spweth-demo's error-frame handler prints."""
    say(f"Error frame from {source} ({len(record)} bytes), type {record[0] if record else -1}: ")
    if record:
        with printed():
            library().print_error_type(record[0])
    if len(record) >= 2 and record[0] == 0:
        say(f" credits {record[1]}\n")


def command_loopback(args):
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        return run_loopback(socket, args)


def run_loopback(socket, args):
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
    if socket.host_address == "00:00:00:00:00:00":
        spweth.set_read_buffer(skip_own_frames=True)
    echo_frames = plan.largest() // BRIDGE_FRAME_PAYLOAD + 1
    spweth.set_read_buffer(size=max(1000000, 2 * echo_frames * CAPTURED_FRAME_SIZE))
    ok = errors = lost = 0
    received_bytes = 0
    # Only sending and receiving count towards the rate: making the packets
    # takes Python longer than moving them.
    seconds = 0.0
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
        if size == 0:  # an empty packet sends no frame: nothing comes back
            ok += 1
            continue
        try:
            got = socket.recv(timeout=timeout)
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
        if got.data != packet or got.eep != eep:
            errors += 1
            if args.json:
                emit({"record": "loopback_packet", "packet": i + 1,
                      "problem": "content differs" if len(got.data) == size else "length differs",
                      "sent_bytes": size, "sent_end": marker(eep),
                      "received_bytes": len(got.data), "received_end": marker(got.eep)})
                continue
            differs = ", content differs" if len(got.data) == size else ""
            say(f"Packet {i + 1}: sent {size} bytes with {marker(eep)}, got {len(got.data)} "
                f"bytes with {marker(got.eep)}{differs}.\n")
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
        return 0 if errors == 0 and lost == 0 and sent == args.count else 1
    say(f"\nLoopback summary: {args.count} packets, {ok} intact, {received_bytes} bytes, "
        f"{rate:.2f} MB/s, {errors} errors, {lost} lost "
        f"(credit flow control {'on' if crediting else 'off'})\n")
    return 0 if errors == 0 and lost == 0 and sent == args.count else 1


def marker(eep):
    return "EEP" if eep else "EOP"


def hex_bytes(text):
    """Bytes from hex digits, with spaces, colons, commas or dashes between them."""
    for separator in " :,-":
        text = text.replace(separator, "")
    return bytes.fromhex(text)


def path_bytes(text):
    """SpaceWire address bytes from "3,17,4"."""
    path = bytes(number(word) for word in text.split(",")) if text else b""
    if len(path) > 12:
        raise ValueError("at most 12 bytes")
    return path


def command_rmap(args):
    try:
        data = hex_bytes(args.hex) if args.hex else b""
        mask = hex_bytes(args.mask) if args.mask else b"\xff" * len(data)
        target_path, reply_path = path_bytes(args.target_path), path_bytes(args.reply_path)
    except ValueError:
        print("--hex and --mask take bytes such as \"01 02 03\"; --target-path and "
              "--reply-path up to 12 bytes such as 3,17.", file=sys.stderr)
        return 2
    if args.operation != "read" and not data:
        print("Give the data with --hex BYTES.", file=sys.stderr)
        return 2
    if args.operation == "rmw" and len(mask) != len(data):
        print("--mask takes as many bytes as --hex.", file=sys.stderr)
        return 2
    socket = open_socket(args)
    if socket is None:
        return 1
    with socket:
        target = socket.rmap(logical_address=args.logical_address, key=args.key,
                             target_address=target_path, reply_address=reply_path,
                             initiator_logical_address=args.initiator)
        common = {"timeout": args.timeout_ms / 1000, "extended_address": args.extended}
        returned, result = b"", 0
        try:
            if args.operation == "read":
                returned = target.read(args.address, args.length,
                                       increment=not args.no_increment, **common)
            elif args.operation == "write":
                target.write(args.address, data, verify=args.verify, reply=not args.no_reply,
                             increment=not args.no_increment, **common)
            else:
                returned = target.rmw(args.address, data, mask, **common)
        except spweth.Error as error:
            if error.code is None:
                raise
            result = error.code
        text = library().SpW_RMAP_Status_Text(result).decode(errors="replace")
        if args.json:
            record = {"record": "rmap", "operation": args.operation, "extended": args.extended,
                      "address": args.address, "status": result, "status_text": text}
            if args.operation != "write":
                record["data"] = returned.hex() if result == 0 else ""
            emit(record)
            return 0 if result == 0 else 1
        say(f"RMAP {args.operation} at 0x{args.extended:02X}:{args.address:08X}: {result}, "
            f"{text}\n")
        if result == 0 and returned:
            with printed():
                library().debug_dump(b"Data read" if args.operation == "read" else b"Old data",
                                     returned, len(returned))
    return 0 if result == 0 else 1


def parser():
    top = argparse.ArgumentParser(prog="python -m spweth", description=__doc__)
    commands = top.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", help="list the host's adapters")
    listing.add_argument("--json", action="store_true", help="one JSON object per adapter")

    def with_socket(name, help_text):
        command = commands.add_parser(name, help=help_text)
        command.add_argument("--iface", help="adapter name")
        command.add_argument("--num", type=number, help="adapter number instead of --iface")
        command.add_argument("--bridge", help="the bridge's address, 00:01:02:03:04:05")
        command.add_argument("--host", help="the host's source address")
        command.add_argument("--spin", action="store_true",
                             help="poll without pause while waiting instead of sleeping")
        command.add_argument("--json", action="store_true",
                             help="print the results as JSON objects, one per line, with the "
                                  "field names of spweth-demo --json")
        return command

    status = with_socket("status", "print the bridge's next status record")
    status.add_argument("--timeout-ms", type=number, default=5000)

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


COMMANDS = {"list": command_list, "status": command_status, "loopback": command_loopback,
            "rmap": command_rmap}


def main(argv=None):
    args = parser().parse_args(argv)
    logging.basicConfig(format="%(name)s: %(message)s", level=logging.INFO)
    try:
        return COMMANDS[args.command](args)
    except (spweth.Error, ValueError, TypeError) as error:
        library().flush_stdout()
        print(error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
