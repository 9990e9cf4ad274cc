"""The package's exceptions."""

from __future__ import annotations


class Error(Exception):
    """A call of the library failed; `code` holds its negative result, if any."""

    def __init__(self, message: str, code: int | None = None) -> None:
        super().__init__(message)
        self.code = code


class Timeout(Error):
    """The time-out passed before the awaited packet or reply arrived."""


class RmapError(Error):
    """The RMAP target refused a command: `status` is its status code, `text` what it means."""

    def __init__(self, status: int, text: str) -> None:
        super().__init__(f"RMAP status {status}: {text}", code=status)
        self.status = status
        self.text = text


# Tracebacks name them as users import them.
for _exception in (Error, Timeout, RmapError):
    _exception.__module__ = "spweth"
