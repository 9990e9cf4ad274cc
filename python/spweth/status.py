"""The bridge's 88-byte status record as dataclasses.

str(Status) is the text that print_spw_eth_state prints (and so spweth-demo
status), without its leading blank line.
"""

from __future__ import annotations

import dataclasses
import struct
from typing import Any

from ._library import STATE_RECORD_SIZE

_CHANNEL = struct.Struct("<QQIIIIIB")  # 37 bytes
_TIME = struct.Struct("<I")
_SPW1_AT, _SPW2_AT, _SPEED_AT, _SWITCH_WORD_AT, _SWITCH_STATE_AT = 4, 41, 78, 85, 87

# Indexed by link state code.
LINK_STATE_NAMES = ("ERROR_RESET", "ERROR_WAIT", "READY", "STARTED", "CONNECTING", "RUN")

# Speed code: (Mbit/s, text).
SPEEDS: dict[int, tuple[int, str]] = {
    0x00: (400, "400"),
    0x01: (300, "300"),
    0x02: (200, "200"),
    0x04: (100, "100"),
    0x08: (50, "50"),
    0x10: (10, "10"),
    0x20: (500, "500"),
    0x80: (400, "400 (default)"),
}

# Indexed by mode value (one four-bit half of the switch state): (data text, control-code text).
SWITCH_MODE_TEXTS = (
    ("switch off ", "switch off"),
    ("receive / send only first port", "receive / send only first port"),
    ("receive / send only second port", "receive / send only second port"),
    ("switch on (two ports work)", "switch on (two ports work)"),
    ("auto mode ", "error value!"),
    ("Spw port to SpW port ", "Spw port to SpW port "),
    ("Spw port to SpW port,  SpW1 to ETH ", "Spw port to SpW port,  SpW1 to ETH "),
    ("Spw port to SpW port,  SpW2 to ETH ", "Spw port to SpW port,  SpW2 to ETH "),
    ("Spw port to SpW port,  SpW1 and SpW2 to ETH ",
     "Spw port to SpW port,  SpW1 and SpW2 to ETH "),
)
_SWITCH_MODE_ERROR = "error value!"


@dataclasses.dataclass(frozen=True)
class Channel:
    """Counters and state of one SpaceWire port."""

    tx_bytes: int
    rx_bytes: int
    tx_packets: int
    rx_packets: int  # whatever their end marker
    rx_packets_eep: int
    tx_bytes_per_sec: int
    rx_bytes_per_sec: int
    link_state: int  # 0 ERROR_RESET .. 5 RUN

    @property
    def rx_packets_eop(self) -> int:
        """Packets received with EOP."""
        # The bridge does not count EOP packets: all received minus EEP, wrapping at 32 bits.
        return (self.rx_packets - self.rx_packets_eep) & 0xFFFFFFFF

    @property
    def link_state_name(self) -> str:
        """"RUN", "READY", ... or "UNKNOWN"."""
        if self.link_state < len(LINK_STATE_NAMES):
            return LINK_STATE_NAMES[self.link_state]
        return "UNKNOWN"

    @property
    def running(self) -> bool:
        """True when the link state is RUN."""
        return self.link_state == 5

    def _lines(self, title: str) -> list[str]:
        return [
            f"--- {title} channel ---------",
            f"Tx bytes: {self.tx_bytes:20} | Tx packets: {self.tx_packets:14}",
            f"Rx bytes: {self.rx_bytes:20} | Rx packets EOP: {self.rx_packets_eop:10}",
            f"Rx packets: {self.rx_packets:18} | Rx packets EEP: {self.rx_packets_eep:10}",
            f"Tx bytes/sec: {self.tx_bytes_per_sec:10} | Rx bytes/sec: {self.rx_bytes_per_sec:10}",
            f'State: ({self.link_state}) "{self.link_state_name}"',
        ]


@dataclasses.dataclass(frozen=True)
class Status:
    """One status record: the bridge's clock, both ports, speed and switch modes."""

    time: int  # milliseconds, the bridge's clock
    spw1: Channel
    spw2: Channel
    speed: int  # speed code; 0x80 is the bridge's default
    switch_state: int  # low nibble: data mode, high nibble: control-code mode

    @classmethod
    def from_bytes(cls, record: Any) -> Status:
        """Decodes the first 88 bytes of a status frame's payload."""
        record = bytes(record)
        if len(record) < STATE_RECORD_SIZE:
            raise ValueError(f"a status record is {STATE_RECORD_SIZE} bytes, not {len(record)}")
        switch_word = record[_SWITCH_WORD_AT:_SWITCH_WORD_AT + 2]
        # When the switch-state word is set, its high byte is the switch state.
        switch_state = switch_word[1] if any(switch_word) else record[_SWITCH_STATE_AT]
        return cls(
            time=_TIME.unpack_from(record, 0)[0],
            spw1=Channel(*_CHANNEL.unpack_from(record, _SPW1_AT)),
            spw2=Channel(*_CHANNEL.unpack_from(record, _SPW2_AT)),
            speed=record[_SPEED_AT],
            switch_state=switch_state,
        )

    @property
    def speed_mbit(self) -> int | None:
        """The link speed in Mbit/s, or None for a code the library does not know."""
        return SPEEDS.get(self.speed, (None, None))[0]

    @property
    def data_switch_mode(self) -> int:
        """The data switch mode (0..8)."""
        return self.switch_state & 0x0F

    @property
    def ccode_switch_mode(self) -> int:
        """The control-code switch mode (0..8)."""
        return self.switch_state >> 4

    def __str__(self) -> str:
        speed_text = SPEEDS.get(self.speed, (None, f"{self.speed} (HEX 0x{self.speed:x})"))[1]
        data_mode, ccode_mode = self.data_switch_mode, self.ccode_switch_mode
        data_text = (SWITCH_MODE_TEXTS[data_mode][0] if data_mode < len(SWITCH_MODE_TEXTS)
                     else _SWITCH_MODE_ERROR)
        ccode_text = (SWITCH_MODE_TEXTS[ccode_mode][1] if ccode_mode < len(SWITCH_MODE_TEXTS)
                      else _SWITCH_MODE_ERROR)
        lines = ["=== Status Output ===", f"Time: {self.time}"]
        lines += self.spw1._lines("SpW1") + self.spw2._lines("SpW2")
        lines += [
            "--------------------------",
            f"Speed: ({self.speed}) {speed_text}",
            f"Switch state: {self.switch_state:X} ",
            f"Switch mode data: {data_mode:X} {data_text}",
            f"Switch mode ccode: {ccode_mode:X} {ccode_text}",
            "========================",
        ]
        return "\n".join(lines)
