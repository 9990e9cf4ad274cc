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


if __name__ == "__main__":
    read_buffer_seeds()
