"""RMAP commands for the gateway's tests, built here in Python (so that the
tests load no C library): a write with reply and a read, both incrementing,
to logical address 0xFE with key 0x20 from initiator 0x67."""

TARGET, KEY, INITIATOR = 0xFE, 0x20, 0x67
WRITE_REPLY_INCREMENT, READ_INCREMENT = 0x6C, 0x4C


def crc(data):
    """The RMAP CRC-8: x^8 + x^2 + x + 1, least significant bit first, from 0."""
    value = 0
    for byte in data:
        value ^= byte
        for _ in range(8):
            value = (value >> 1) ^ 0xE0 if value & 1 else value >> 1
    return value


def _header(instruction, tid, address, length):
    head = bytes([TARGET, 0x01, instruction, KEY, INITIATOR]) + tid.to_bytes(2, "big") + \
        bytes([0]) + address.to_bytes(4, "big") + length.to_bytes(3, "big")
    return head + bytes([crc(head)])


def write(tid, address, data):
    return _header(WRITE_REPLY_INCREMENT, tid, address, len(data)) + bytes(data) + \
        bytes([crc(data)])


def read(tid, address, length):
    return _header(READ_INCREMENT, tid, address, length)
