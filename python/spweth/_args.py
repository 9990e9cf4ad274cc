"""Argument checks done before a C call: a bad argument never reaches the library."""

from __future__ import annotations

import math
import operator
from typing import Any

MAX_TIMEOUT_MS = 2**31 - 1


def integer(name: str, value: Any, low: int, high: int) -> int:
    """`value` as an int within low..high, else TypeError or ValueError."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise ValueError(f"{name} must be within {low}..{high}, not {number}")
    return number


def byte_string(name: str, value: Any, max_length: int | None = None) -> bytes:
    """`value` as bytes (from bytes, bytearray, memoryview or a list of ints)."""
    if isinstance(value, str):
        raise TypeError(f"{name} must be bytes, not str")
    try:
        data = bytes(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be bytes: {error}") from None
    if max_length is not None and len(data) > max_length:
        raise ValueError(f"{name} holds at most {max_length} bytes, not {len(data)}")
    return data


def timeout(name: str, seconds: Any) -> float | None:
    """A time-out as the package means it everywhere: None waits for ever, 0
    polls once, a number of seconds is the deadline. TypeError or ValueError
    for anything else."""
    if seconds is None:
        return None
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"{name} must be a number of seconds or None, not "
                        f"{type(seconds).__name__}")
    if not seconds >= 0 or math.isinf(seconds):
        raise ValueError(f"{name} must be a finite number of seconds >= 0 or None, not {seconds}")
    return float(seconds)


def to_ms(seconds: float | None) -> int:
    """The library's timeout_ms for a checked time-out: 0 (no deadline) for None,
    else whole milliseconds, at least 1 (the library's shortest deadline: a
    poll)."""
    if seconds is None:
        return 0
    return min(max(1, math.ceil(seconds * 1000)), MAX_TIMEOUT_MS)


def milliseconds(name: str, seconds: Any, *, optional: bool) -> int | None:
    """A time-out in seconds as whole milliseconds (at least 1); None stays None
    where it is optional."""
    if seconds is None and not optional:
        raise TypeError(f"{name} must be a number of seconds")
    checked = timeout(name, seconds)
    return None if checked is None else to_ms(checked)


def mac_address(name: str, value: Any) -> bytes:
    """Six address bytes from "00:01:02:03:04:05" (or "-" separated) or a 6-byte value."""
    if isinstance(value, str):
        parts = value.replace("-", ":").split(":")
        try:
            if len(parts) != 6 or any(not 1 <= len(p) <= 2 for p in parts):
                raise ValueError
            return bytes(int(p, 16) for p in parts)
        except ValueError:
            raise ValueError(f"{name} must look like 00:01:02:03:04:05, not {value!r}") from None
    data = byte_string(name, value)
    if len(data) != 6:
        raise ValueError(f"{name} must be 6 bytes, not {len(data)}")
    return data


def format_mac(address: bytes) -> str:
    return ":".join(f"{b:02x}" for b in address)
