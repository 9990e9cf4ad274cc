#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/TARGET/.

Each seed is a small, well-formed input in the target's own format (see the
comment at the top of each fuzz/*_fuzz.cpp). Run again after changing a format.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def u16(value):
    return list(struct.pack("<H", value & 0xFFFF))


# read_buffer: size byte, then operations (socket << 4 | code).
PUT, TAKE, FLUSH, CLAIM, RELEASE, RESIZE, ALLOC, COPY, SAFE = range(9)


def op(code, socket=0):
    return [socket << 4 | code]


def put(length, socket=0, seed=1, huge=False):
    return op(PUT, socket) + u16(length) + [0x80 if huge else 0, seed]


def read_buffer_seeds():
    write("read_buffer", "put_take",
          [0] + op(CLAIM) + put(60) + put(1514) + op(TAKE) + op(TAKE))
    # 100 free bytes: a 96-byte frame fits exactly, a 97-byte one flushes.
    write("read_buffer", "flush_when_full",
          [0] + op(CLAIM) + put(1396) + put(96) + op(TAKE) + put(97) + op(TAKE) + op(TAKE))
    # Capacity 1500 and a full frame: the record is cut, the take reports error 3.
    write("read_buffer", "cut_record", [0] + op(CLAIM) + put(1514) + op(TAKE))
    # Records wrap around the end of the ring, length bytes split 1 + 3 and so on.
    wrap = [0] + op(CLAIM) + put(700) + put(700) + op(TAKE) + op(TAKE)
    for length in (93, 94, 95, 96, 700, 701):
        wrap += put(length) + op(TAKE)
    write("read_buffer", "wrap", wrap)
    eleven = [0]
    for socket in range(12):
        eleven += op(CLAIM, socket)
    write("read_buffer", "eleven_sockets", eleven + op(RELEASE, 3) + op(CLAIM, 11) + put(60, 11))
    write("read_buffer", "resize",
          [0] + op(CLAIM) + put(60) + op(RESIZE) + [1] + put(60) + op(RESIZE) + [0] + u16(1499)
          + op(RESIZE) + [0] + u16(4000) + op(TAKE) + op(SAFE) + [3] + op(CLAIM, 1))
    write("read_buffer", "no_memory",
          [0] + op(CLAIM) + put(2000) + op(ALLOC) + op(TAKE) + op(ALLOC) + put(60) + op(COPY)
          + op(ALLOC) + op(TAKE) + op(CLAIM, 1) + put(60, 1) + op(ALLOC))


def i32(value):
    return list(struct.pack("<i", value))


# senders_printers: a byte below 0x80 picks a sender, from 0x80 a printer.
def codes(call, count, *extra):
    return [call] + i32(count) + sum((i32(e) for e in extra), []) \
        + [(7 * i) & 0xFF for i in range(count & 0xFF)]


def dump_bytes(count):
    special = [0x0A, 0x1F, 0x80, 0xFF, 0x20, 0x7F, 0x41]
    return [special[i % len(special)] for i in range(count)]


def senders_printers_seeds():
    mac = [0x00, 0x1B, 0x21, 0x0A, 0xFF, 0x05]
    body = list(b"GE_SPW") + [0x81, 0x00] + mac + mac + [0x10, 1, 0x35, 2, 3, 4, 5]
    every = codes(0, 3) + codes(1, 3) + codes(2, 2, 0) + codes(3, 2, 1) + codes(4, 1) + codes(5, 1)
    every += [6] + i32(0x45) + [7] + i32(5) + i32(0) + [8] + i32(5) + i32(-1) + [9] + i32(0xFF)
    every += [10] + i32(0xFF) + [11, 0] + mac + [12, 0] + mac + [11, 1] + mac
    every += [13] + i32(100) + [14] + i32(7) + [15, 3, 16, 17, 18, 19, 5, 3, 20, 9, 21, 9, 22, 4]
    every += [23, 0xAA, 0x0F, 24, 25] + body + [26, 18, 27] + mac + [6, 28] + mac + [3, 18]
    write("senders_printers", "every_sender", every)
    state = list(range(88))
    state[85:88] = [0x00, 0x35, 0x01]
    printers = [0x80] + i32(136) + [0x80] + i32(-1) + [0x81] + i32(6) + [0x81] + i32(0)
    printers += [0x83] + i32(0x130) + [0x84, 0x85] + i32(5) + [0x86] + state
    printers += [0x87, 6, 0x88, 0x81, 0x89, 0x94, 0x8A, 0x8F, 0x8B] + body
    write("senders_printers", "every_printer", printers)
    counts = []
    for count in (43, 44, 255, 256, 300, -1, 0):
        counts += codes(0, count)
    write("senders_printers", "code_counts", counts)
    dumps = []
    for title, count in ((b"frame", 20), (b"eight", 8), (b"none", 0), (b"", 16)):
        dumps += [0x82, len(title)] + list(title) + u16(count) + dump_bytes(count)
    dumps += [0x82, 0x80] + u16(17) + dump_bytes(17)
    write("senders_printers", "dumps", dumps)
    packets = []
    for size, end, channel_call in ((0, 1, False), (1, 0, False), (40, 4, False), (41, 2, False),
                                    (1495, 5, False), (1496, 1, False), (2990, -1, False),
                                    (3000, 5, False), (0, 1, True), (1494, 1, True), (1495, 2, True)):
        packets += [30 if channel_call else 29] + u16(size) + i32(end) + i32(0x1A5) + [0]
        packets += [(i * 13) & 0xFF for i in range(size)]
    write("senders_printers", "packets", packets)
    credited = [29] + u16(3000) + i32(1) + i32(0) + [1] + [7] * 3000
    credited += [29] + u16(100) + i32(1) + i32(0) + [3] + [9] * 100
    credited += [26, 30] + u16(1500) + i32(2) + i32(3) + [1] + [5] * 1500
    write("senders_printers", "packets_credited_refused", credited)


# engine: settings byte, size byte, then operations (low four bits pick them).
BRIDGE, ZERO, OTHER = 0, 1, 2
MODES = [1, 2, 3, 4, 5, 6, 7, 8, 10]


def built(type_byte, payload, source=BRIDGE, credits=20, length_field=None):
    length_field = len(payload) if length_field is None else length_field
    return [1, type_byte] + u16(length_field) + u16(len(payload)) + [credits, source] + list(payload)


def receive(mode, length, mask=0, source=BRIDGE):
    return [2, MODES.index(mode)] + i32(mask) + u16(length) + [source]


def raw(frame, truncated=False):
    return [0] + u16(len(frame)) + [1 if truncated else 0] + list(frame)


def packet(size, eep=False, source=BRIDGE):
    return [8] + u16(size) + [1 if eep else 0, source]


def payload(n, seed=0):
    return [(seed * 31 + i * 7) & 0xFF for i in range(n)]


def engine_seeds():
    on = 0x01
    write("engine", "three_fragments",
          [on, 0] + built(3, payload(100)) + built(0, payload(200, 1)) + built(4, payload(50, 2))
          + receive(1, 1000) + built(3, payload(100)) + built(0, payload(200, 1))
          + built(4, payload(50, 2)) + receive(1, 120))
    write("engine", "long_packets",
          [on, 0] + packet(3000, eep=True) + receive(1, 4000) + packet(1496) + receive(4, 100, 0x1C0)
          + packet(0) + receive(2, 10))
    every_type = [on, 0]
    for t in (0, 1, 2, 3, 4, 5, 6, 7, 8, 136, 255):
        every_type += built(t, payload(10, t))
    every_type += receive(3, 64, -1) * 12
    write("engine", "every_type_by_mask", every_type)
    handlers = [on | 0x1C, 0] + built(6, payload(3)) + built(7, [0]) + built(7, [], credits=9)
    handlers += built(7, [3, 1, 2]) + built(8, payload(88)) + built(1, payload(5)) + receive(1, 64)
    write("engine", "handlers", handlers)
    write("engine", "handler_sends",
          [on | 0x9C, 0] + built(6, payload(3), credits=2) + built(3, payload(100))
          + built(6, payload(3), credits=30) + built(4, payload(10)) + receive(1, 200)
          + receive(1, 200) + receive(4, 200, 0x40))
    write("engine", "handler_ends_wait",
          [on | 0x3C, 0] + built(6, payload(3)) + built(1, payload(5)) + receive(2, 64))
    extended = [on, 0] + built(6, payload(4)) + built(7, [0]) + built(8, payload(88))
    extended += built(7, [5, 5, 5]) + receive(4, 100, 0x1C0) * 4 + built(6, [1]) + receive(5, 1, 0x40)
    write("engine", "extended", extended)
    credit = [on, 0] + built(3, payload(40)) + built(7, [0]) + built(8, payload(88))
    credit += built(6, [1, 2]) + built(255, payload(46)) + built(136, [1]) + built(4, payload(2))
    credit += receive(10, 0) + receive(3, 100, -1) * 2 + receive(1, 100)
    write("engine", "credit_wait_sets_aside", credit)
    state = [on, 0] + built(1, payload(3)) + built(0x48, payload(88)) + built(8, payload(88), OTHER)
    state += built(8, payload(88)) + receive(8, 88) + built(8, payload(88)) + receive(7, 88)
    state += built(8, payload(88)) + receive(7, 10) + built(8, payload(40)) + receive(7, 88)
    write("engine", "state_queries", state)
    flags = [on, 0] + built(0x41, payload(3)) + built(0xC8, payload(3)) + built(0x88, payload(3))
    flags += built(0x49, payload(3)) + built(0x46, payload(3)) + receive(3, 10, -1) * 4
    write("engine", "flag_bits", flags)
    bad = [on, 0] + raw(payload(10)) + raw([0] * 14 + [0x06, 0xAB]) + built(1, payload(3), length_field=50)
    bad += raw([0] * 12 + [0x08, 0x00, 1, 0, 3, 0, 20, 1, 2, 3]) + raw([0] * 60, truncated=True)
    bad += built(1, payload(1600)) + built(1, payload(3), ZERO) + [7] + built(1, payload(3), ZERO)
    bad += receive(1, 10) + receive(1, -5) + receive(3, 0, -1) + receive(4, 1, -1)
    write("engine", "bad_frames", bad)
    rings = [on, 0] + packet(4000) + receive(10, 0) + [9] + u16(2) + [0xFF] + receive(1, 5000)
    rings += packet(2000) + receive(10, 0) + [6] + receive(1, 5000) + [6] + [4] + u16(3000)
    rings += packet(100) + receive(10, 0) + [3] + receive(1, 200) + [3] + receive(1, 200)
    write("engine", "read_buffer_paths", rings)
    write("engine", "socket_without_buffer",
          [0x41, 0] + built(1, payload(3)) + receive(1, 10) + receive(7, 88) + [3]
          + built(8, payload(88)) + receive(7, 88))
    write("engine", "bridge_address_changes",
          [on, 0] + [5, 1] + built(1, payload(3), OTHER, credits=3) + receive(1, 10) + [5, 0]
          + built(1, payload(3), credits=7) + receive(3, 10, 2))


def rmap_crc(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xE0 if crc & 1 else crc >> 1
    return crc


# rmap_reply: mode byte (bit 0: expect what the packet names, bit 1: a write's
# reply), then the packet.
def rmap_reply_seeds():
    data = [0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF] + list(range(0x10, 0x18))
    write_reply = [0x67, 0x01, 0x2C, 0x00, 0xFE, 0x00, 0x00, 0xED]
    read_reply = [0x67, 0x01, 0x0C, 0x00, 0xFE, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x6D]
    read_reply += data + [rmap_crc(data)]
    failed = [0x67, 0x01, 0x0C, 0x0A, 0xFE, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00]
    write("rmap_reply", "write_pattern", [3] + write_reply)
    write("rmap_reply", "read_pattern", [1] + read_reply)
    write("rmap_reply", "read_failed", [1] + failed + [rmap_crc(failed)])
    write("rmap_reply", "read_cut", [1] + read_reply[:20])
    write("rmap_reply", "expected_given", [0, 0x4C, 0x67, 0xFE, 1, 0, 16, 0, 0, 0] + read_reply)


if __name__ == "__main__":
    read_buffer_seeds()
    senders_printers_seeds()
    engine_seeds()
    rmap_reply_seeds()
