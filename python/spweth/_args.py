"""Argument checks done before a C call: a bad argument never reaches the library."""

import math
import operator


def integer(name, value, low, high):
    """`value` as an int within low..high, else TypeError or ValueError."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= value <= high:
        raise ValueError(f"{name} must be within {low}..{high}, not {value}")
    return value


def byte_string(name, value, max_length=None):
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


def milliseconds(name, seconds, *, optional):
    """A time-out in seconds as whole milliseconds (at least 1); None stays None."""
    if seconds is None:
        if optional:
            return None
        raise TypeError(f"{name} must be a number of seconds")
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(seconds).__name__}")
    if not seconds >= 0 or math.isinf(seconds):
        raise ValueError(f"{name} must be a finite number of seconds >= 0, not {seconds}")
    return min(max(1, math.ceil(seconds * 1000)), 2**31 - 1)


def mac_address(name, value):
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


def format_mac(address):
    return ":".join(f"{b:02x}" for b in address)
