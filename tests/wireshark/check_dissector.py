#!/usr/bin/env python3
"""The dissector on a capture written by write_capture.py: each field of each
frame against its expected value, then the tshark -V text of one frame of
each type against docs/wireshark-example.txt.

    check_dissector.py SPWETH_LUA EXAMPLE_TXT [--update]

--update writes the example text instead of comparing it."""
import difflib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import write_capture  # noqa: E402
from tshark_fields import frame_fields, report, run_tshark  # noqa: E402

# Frame -> {field: value}; "" means the field must be absent. Fields not named
# for a frame are not checked.
EXPECTED = {
    1: {"spweth.type": "1", "spweth.number": "0", "spweth.length": "10", "spweth.credits": "10",
        "spweth.packet.length": "10", "spweth.packet.eep": "0", "spweth.flags.comm": ""},
    2: {"spweth.type": "3", "spweth.length": "1495", "spweth.packet.length": "",
        "spweth.packet.completed_in": "4"},
    3: {"spweth.type": "0", "spweth.packet.completed_in": "4"},
    4: {"spweth.type": "4", "spweth.packet.length": "3090", "spweth.packet.frame": "2,3,4",
        "spweth.number.expected": ""},
    6: {"spweth.type": "5", "spweth.packet.length": "25", "spweth.packet.eep": "1"},
    7: {"spweth.type": "2", "spweth.packet.length": "3", "spweth.packet.eep": "1"},
    8: {"spweth.type": "6", "spweth.ccode": "0x05,0x45,0x85,0xc1", "spweth.ccode.flags": "0,1,2,3",
        "spweth.ccode.value": "5,5,5,1"},
    9: {"spweth.type": "255", "spweth.length": "46", "spweth.conf.marker": "GE_SPW",
        "spweth.conf.edit0": "0x84", "spweth.conf.edit0.speed": "1", "spweth.conf.edit0.reset": "0",
        "spweth.conf.edit1.stat_freq": "1", "spweth.conf.new_src": "0a:0b:0c:0d:0e:0f",
        "spweth.conf.new_dest": "10:11:12:13:14:15", "spweth.conf.speed": "0x04", "spweth.conf.stat_freq": "5"},
    10: {"spweth.number": "9", "spweth.number.expected": "8"},           # data jump 7 -> 9
    11: {"spweth.number": "2", "spweth.number.expected": "1"},           # code jump 0 -> 2
    12: {"spweth.type": "7", "spweth.error.type": "0", "spweth.error.credits": "32"},
    13: {"spweth.error.type": "2", "spweth.error.expected": "8", "spweth.error.received": "9",
         "spweth.error.credits": ""},
    14: {"spweth.type": "8", "spweth.status.time": "1234", "spweth.status.spw1.tx_bytes": "4294967297",
         "spweth.status.spw1.link_state": "5", "spweth.status.spw2.rx_packets_eep": "1",
         "spweth.status.spw2.rx_rate": "4000", "spweth.status.spw2.link_state": "4",
         "spweth.status.speed": "0x04", "spweth.status.switch_state": "0x33"},
    15: {"spweth.status.switch_state": "0x55"},                        # from the switch state word
    16: {"spweth.type": "136", "spweth.flags.comm": ""},
    17: {"spweth.type": "1", "spweth.type_byte": "0x41", "spweth.flags.comm": "1", "spweth.flags.timer": "0"},
    18: {"spweth.type": "1", "spweth.type_byte": "0x81", "spweth.flags.comm": "0", "spweth.flags.timer": "1"},
    19: {"spweth.type": "1", "spweth.type_byte": "0xc1", "spweth.flags.comm": "1", "spweth.flags.timer": "1"},
    20: {"spweth.type": "6", "spweth.flags.comm": "1", "spweth.flags.timer": "1", "spweth.ccode": "0x01"},
    21: {"spweth.type": "", "spweth.type_byte": "0x09"},
    22: {"spweth.type": "", "spweth.flags.comm": "1"},
    23: {"spweth.length": "200", "spweth.packet.length": ""},            # short: ignored
    25: {"spwrmap.target_la": "0xfe", "spwrmap.initiator_la": "0x67", "spwrmap.instruction": "0x6c",
         "spwrmap.instruction.write": "1", "spwrmap.instruction.reply": "1", "spwrmap.key": "0x00",
         "spwrmap.tid": "0", "spwrmap.address": "0xa0000000", "spwrmap.data_length": "16",
         "spwrmap.header_crc": "0x9f", "spwrmap.header_crc_ok": "1", "spwrmap.data_crc": "0x56",
         "spwrmap.data_crc_ok": "1", "spwrmap.data": "0123456789abcdef1011121314151617",
         "spwrmap.reply_in": "26"},
    26: {"spwrmap.initiator_la": "0x67", "spwrmap.status": "0", "spwrmap.target_la": "0xfe",
         "spwrmap.header_crc": "0xed", "spwrmap.header_crc_ok": "1", "spwrmap.request_in": "25",
         "spwrmap.response_time": "0.001000000", "spweth.number.expected": ""},
    27: {"spwrmap.instruction": "0x4c", "spwrmap.tid": "1", "spwrmap.header_crc": "0xc9",
         "spwrmap.header_crc_ok": "1", "spwrmap.data_crc_ok": "", "spwrmap.reply_in": "29"},
    28: {"spwrmap.tid": "", "spweth.packet.completed_in": "29"},
    29: {"spweth.packet.length": "29", "spwrmap.tid": "1", "spwrmap.header_crc": "0x6d",
         "spwrmap.header_crc_ok": "1", "spwrmap.data_length": "16", "spwrmap.data_crc_ok": "1",
         "spwrmap.request_in": "27", "spwrmap.response_time": "0.002000000"},
    # header CRC wrong: not taken for RMAP (see FORCED for the preference)
    30: {"spwrmap.target_la": "", "spwrmap.tid": "", "spwrmap.header_crc_ok": "",
         "spweth.packet.length": "23"},
    31: {"spwrmap.header_crc_ok": "1", "spwrmap.data_crc_ok": "0", "spwrmap.reply_in": ""},
    32: {"spweth.number.expected": ""},
    34: {"spweth.packet.length": "5", "spweth.packet.frame": ""},
    35: {"spwrmap.tid": "7", "spwrmap.reply_in": "36"},
    36: {"spwrmap.tid": "7", "spwrmap.request_in": "35", "spwrmap.data_crc_ok": "0"},
    37: {"spwrmap.tid": "8", "spwrmap.reply_in": ""},
}

# What a single pass (tshark without -2) shows as well: a command names its
# reply, and a command without one says so.
SINGLE_PASS = {
    25: {"spwrmap.reply_in": "26"},
    27: {"spwrmap.reply_in": "29"},
    35: {"spwrmap.reply_in": "36"},
    37: {"spwrmap.reply_in": ""},
}

# With the preference spwrmap.force, a packet whose header CRC is wrong is
# decoded as RMAP too.
FORCED = {
    30: {"spwrmap.target_la": "0xfe", "spwrmap.tid": "2", "spwrmap.header_crc_ok": "0",
         "spwrmap.data_crc_ok": "1"},
    25: {"spwrmap.header_crc_ok": "1", "spwrmap.reply_in": "26"},
}

# The summary line (Info column) of a frame, in part.
EXPECTED_INFO = {
    8: "CCODES #0, length 4, credits 10, time code 5, interrupt 5, acknowledge 5, CC11 1",
    20: "time code 1",
    36: "RMAP reply to Read incrementing, TID 7, data CRC wrong",
    37: "RMAP Read incrementing, TID 8, no reply",
    26: "RMAP reply to Write incrementing with reply, TID 0, status 0",
}
NOT_IN_INFO = {36: "status"}

# Severity of an expert info: informational (chat), not a warning.
CHAT = "2097152"

# Expert info that must be on a frame (part of its text).
EXPECTED_EXPERTS = {
    9: "Configuration frame: 46 payload bytes announced, 43 present",
    10: "Frame number jumps: expected 8, got 9",
    11: "Frame number jumps: expected 1, got 2",
    21: "Type byte 0x09: not a frame type",
    23: "Frame of 60 bytes announces 200 payload bytes",
    24: "Frame of 16 bytes: shorter than the 19-byte header",
    32: "Frame numbering starts again at 0",
    34: "The packet begun in frame 33 was left unfinished",
    31: "Command asks for a reply; none in the capture",
    37: "Command asks for a reply; none in the capture",
}

# One frame of each type for the example text.
EXAMPLE_FRAMES = [1, 2, 3, 4, 6, 7, 8, 9, 12, 13, 14, 16, 19, 25, 26, 29]


def check_rows(rows, expected, what):
    failures = []
    for row in rows:
        number = int(row["frame.number"])
        for name, value in expected.get(number, {}).items():
            if row[name] != value:
                failures.append("%s, frame %d: %s is %r, expected %r" % (what, number, name, row[name], value))
    return failures


def main():
    script, example = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as folder:
        capture = os.path.join(folder, "frames.pcap")
        write_capture.write(capture)
        fields = sorted({name for row in EXPECTED.values() for name in row})
        rows = frame_fields(script, capture, fields + ["_ws.expert.message"])
        failures = []
        if len(rows) != len(write_capture.FRAMES):
            failures.append("%d frames read, %d written" % (len(rows), len(write_capture.FRAMES)))
        for row in rows:
            number = int(row["frame.number"])
            for name, value in EXPECTED.get(number, {}).items():
                if row[name] != value:
                    failures.append("frame %d: %s is %r, expected %r" % (number, name, row[name], value))
            expert = EXPECTED_EXPERTS.get(number)
            if expert and expert not in row["_ws.expert.message"]:
                failures.append("frame %d: no expert info %r in %r" % (number, expert, row["_ws.expert.message"]))

        failures += check_rows(frame_fields(script, capture, ["spwrmap.reply_in", "_ws.col.Info"],
                                            two_pass=False), SINGLE_PASS, "single pass")
        for row in frame_fields(script, capture, ["_ws.col.Info"], two_pass=False):
            number = int(row["frame.number"])
            if EXPECTED_INFO.get(number, "") not in row["_ws.col.Info"]:
                failures.append("frame %d: summary %r lacks %r" % (number, row["_ws.col.Info"],
                                                                   EXPECTED_INFO[number]))
            if NOT_IN_INFO.get(number, "\0") in row["_ws.col.Info"]:
                failures.append("frame %d: summary %r says %r" % (number, row["_ws.col.Info"],
                                                                  NOT_IN_INFO[number]))
        # The read ahead knows pcapng as well (Wireshark's own format).
        if shutil.which("editcap"):
            converted = os.path.join(folder, "frames.pcapng")
            subprocess.run(["editcap", "-F", "pcapng", capture, converted], check=True)
            failures += check_rows(frame_fields(script, converted, ["spwrmap.reply_in"], two_pass=False),
                                   SINGLE_PASS, "single pass over pcapng")
        forced_fields = sorted({name for row in FORCED.values() for name in row})
        failures += check_rows(frame_fields(script, capture, forced_fields,
                                            options=["spwrmap.force:TRUE"]), FORCED, "forced")
        (restart,) = frame_fields(script, capture, ["_ws.expert.severity"], "frame.number == 32")
        if restart["_ws.expert.severity"] != CHAT:
            failures.append("frame 32: restart at 0 has severity %s, expected %s (chat)"
                            % (restart["_ws.expert.severity"], CHAT))

        shown = " || ".join("frame.number == %d" % n for n in EXAMPLE_FRAMES)
        text = run_tshark(script, capture, ["-V", "-O", "spweth,spwrmap", "-Y", shown])
        if "--update" in sys.argv:
            with open(example, "w") as out:
                out.write(text)
        else:
            with open(example) as committed:
                difference = list(difflib.unified_diff(committed.read().splitlines(), text.splitlines(),
                                                       example, "tshark -V", lineterm="", n=1))
            if difference:
                print("\n".join(difference[:60]))
                failures.append("tshark -V differs from %s (--update rewrites it)" % example)

    return report(failures, len(rows))


if __name__ == "__main__":
    sys.exit(main())
