#!/usr/bin/env python3
"""Writes a pcap of bridge frames with every frame type, the flag bits, short
frames, frame-number jumps, packets in several frames and RMAP commands and
replies (the standard's test patterns 0 and 1, and damaged ones), for the
dissector test. Frame numbers in the capture are the rows of FRAMES, from 1.

    write_capture.py OUTPUT.pcap
"""
import struct
import sys

HOST = bytes.fromhex("020000000001")
BRIDGE = bytes.fromhex("000102030405")


def crc8(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xE0 if crc & 1 else crc >> 1
    return crc


def frame(source, type_byte, number, payload, credits=10, length=None, size=None):
    """A bridge frame, padded with zeros as the senders pad: data frames to 60
    bytes, control-code and configuration frames to 62 (size= overrides)."""
    dest = BRIDGE if source == HOST else HOST
    length = len(payload) if length is None else length
    header = dest + source + b"\x06\xab" + struct.pack("<BBHB", type_byte, number, length, credits)
    body = header + payload
    minimum = 62 if type_byte in (6, 0xC6, 255) else 60
    size = max(len(body), minimum) if size is None else size
    return (body + bytes(size))[:size]


def status_record():
    def channel(tx_bytes, rx_bytes, tx_packets, rx_packets, rx_eep, tx_rate, rx_rate, link):
        return struct.pack("<QQIIIIIB", tx_bytes, rx_bytes, tx_packets, rx_packets, rx_eep,
                           tx_rate, rx_rate, link)
    record = struct.pack("<I", 1234)
    record += channel(0x100000001, 0, 7, 0, 0, 5000, 0, 5)
    record += channel(0, 3090, 0, 3, 1, 0, 4000, 4)
    record += bytes([0x04]) + bytes(6) + struct.pack("<H", 0) + bytes([0x33])
    assert len(record) == 88
    return record


def conf_body():
    body = b"GE_SPW" + bytes([0x84, 0x02]) + bytes.fromhex("0a0b0c0d0e0f") + bytes.fromhex("101112131415")
    body += bytes([0x04, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00])  # speed, filtr, switch, stat_freq, ...
    assert len(body) == 27
    return body


DATA16 = bytes.fromhex("0123456789abcdef1011121314151617")
# The standard's pattern 0 (incrementing write with reply) and pattern 1
# (incrementing read), commands and replies, CRCs as the standard gives them.
P0_COMMAND = bytes.fromhex("fe016c006700000 0a0000000000010 9f".replace(" ", "")) + DATA16 + b"\x56"
P0_REPLY = bytes.fromhex("67012c00fe0000ed")
P1_COMMAND = bytes.fromhex("fe014c00670001 00a0000000000010c9".replace(" ", ""))
P1_REPLY = bytes.fromhex("67010c00fe000100000010 6d".replace(" ", "")) + DATA16 + b"\x56"


def rmap_write_with_address():
    """A write with reply, after two SpaceWire address bytes, TID 2, its
    header CRC damaged."""
    header = bytes.fromhex("fe016c0067000200000000100000 04".replace(" ", ""))
    data = b"\xde\xad\xbe\xef"
    return b"\x03\x07" + header + bytes([crc8(header) ^ 0xFF]) + data + bytes([crc8(data)])


def rmap_read(tid):
    """An incrementing read of 4 bytes at 0x100 with reply, initiator 0x67."""
    header = bytes([0xFE, 0x01, 0x4C, 0x20, 0x67]) + tid.to_bytes(2, "big") + bytes([0, 0, 0, 1, 0, 0, 0, 4])
    return header + bytes([crc8(header)])


def rmap_read_reply_bad_data_crc(tid):
    """The reply to rmap_read(tid), status 0, its data CRC inverted."""
    header = bytes([0x67, 0x01, 0x0C, 0x00, 0xFE]) + tid.to_bytes(2, "big") + bytes([0, 0, 0, 4])
    data = b"\x11\x22\x33\x44"
    return header + bytes([crc8(header)]) + data + bytes([crc8(data) ^ 0xFF])


def damaged_data_crc():
    return P0_COMMAND[:-1] + bytes([P0_COMMAND[-1] ^ 0x01])


# (source, type byte, number, payload, extra arguments), one row per frame.
FRAMES = [
    (HOST, 1, 0, bytes(range(10)), {}),                    # 1 FEOF
    (HOST, 3, 1, bytes([1]) * 1495, {}),                   # 2 SOF
    (HOST, 0, 2, bytes([2]) * 1495, {}),                   # 3 MOF
    (HOST, 4, 3, bytes([3]) * 100, {}),                    # 4 EOF: packet of 3090
    (HOST, 3, 4, bytes([4]) * 20, {}),                     # 5 SOF
    (HOST, 5, 5, bytes([5]) * 5, {}),                      # 6 EEF: packet of 25, EEP
    (HOST, 2, 6, b"\x01\x02\x03", {}),                     # 7 FEEF
    (HOST, 6, 0, bytes([0x05, 0x45, 0x85, 0xC1]), {}),    # 8 control codes
    (HOST, 255, 7, conf_body(), {"length": 46}),           # 9 configuration, 62 bytes
    (HOST, 1, 9, b"jump", {}),                             # 10 data number jumps 7 -> 9
    (HOST, 6, 2, bytes([0x3F]), {}),                       # 11 code number jumps 0 -> 2
    (BRIDGE, 7, 0, bytes([0x00, 0x20]), {"credits": 32}),  # 12 credit report
    (BRIDGE, 7, 1, bytes([0x02, 0x08, 0x09]), {}),         # 13 error type 2
    (BRIDGE, 8, 2, status_record(), {}),                   # 14 status
    (BRIDGE, 8, 3, status_record()[:85] + bytes([0x00, 0x55, 0x33]), {}),  # 15 switch word
    (BRIDGE, 136, 0, b"\x88", {}),                         # 16 type 136
    (BRIDGE, 0x41, 0, b"comm", {}),                        # 17 FEOF, comm flag
    (BRIDGE, 0x81, 1, b"timer", {}),                       # 18 FEOF, timer flag
    (BRIDGE, 0xC1, 2, b"both", {}),                        # 19 FEOF, both flags
    (BRIDGE, 0xC6, 0, bytes([0x01]), {}),                  # 20 control codes, both flags
    (BRIDGE, 0x09, 3, b"nine", {}),                        # 21 type 9: ignored
    (BRIDGE, 0x49, 3, b"nine", {}),                        # 22 type 9 + comm flag: ignored
    (BRIDGE, 1, 3, b"runt", {"length": 200}),              # 23 announces 200 bytes in 60
    (BRIDGE, 1, 3, b"", {"size": 16}),                     # 24 shorter than the header
    (HOST, 1, 10, P0_COMMAND, {}),                         # 25 RMAP pattern 0 command
    (BRIDGE, 1, 3, P0_REPLY, {}),                          # 26 its reply
    (HOST, 1, 11, P1_COMMAND, {}),                         # 27 RMAP pattern 1 command
    (BRIDGE, 3, 4, P1_REPLY[:10], {}),                     # 28 its reply, first part
    (BRIDGE, 4, 5, P1_REPLY[10:], {}),                     # 29 and last part
    (HOST, 1, 12, rmap_write_with_address(), {}),          # 30 header CRC damaged
    (HOST, 1, 13, damaged_data_crc(), {}),                 # 31 data CRC damaged
    (HOST, 1, 0, b"again", {}),                            # 32 numbering starts again
    (BRIDGE, 3, 6, b"first", {}),                          # 33 SOF, never finished
    (BRIDGE, 1, 7, b"whole", {}),                          # 34 FEOF: a packet of its own
    (HOST, 1, 1, rmap_read(7), {}),                        # 35 RMAP read, TID 7
    (BRIDGE, 1, 8, rmap_read_reply_bad_data_crc(7), {}),   # 36 its reply, data CRC wrong
    (HOST, 1, 2, rmap_read(8), {}),                        # 37 RMAP read, TID 8: no reply
]


def write(path):
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for index, (source, type_byte, number, payload, extra) in enumerate(FRAMES):
            data = frame(source, type_byte, number, payload, **extra)
            # One frame a millisecond from 1 s.
            out.write(struct.pack("<IIII", 1, (index + 1) * 1000, len(data), len(data)))
            out.write(data)


if __name__ == "__main__":
    write(sys.argv[1])
