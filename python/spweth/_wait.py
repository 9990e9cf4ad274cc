"""Waits that Ctrl-C ends within 100 ms, leaving the socket usable.

Two means work together:

- While the main thread waits in the library (a receive, a status query, a
  send's credit wait, an RMAP transaction), the package holds Python's
  signal wake-up descriptor, unless someone else (asyncio) holds it. A small
  thread that reads it clears the library's wait flag on SIGINT, which ends
  the wait at once; the flag is set again as soon as the call has returned,
  and the call raises KeyboardInterrupt (also where ctypes dropped it because
  the signal came while a callback of the library ran). A packet whose
  frames were being taken is then abandoned, as for any ended receive.
  Receives in other threads that the cleared flag ends are simply resumed.
- Receives and status queries wait in C in slices of at most SLICE seconds
  (set_wait_slice), under the caller's overall deadline; ctypes releases the
  GIL during each, and Python runs its signal handlers between them, so that
  Ctrl-C ends them in time even where the wake-up descriptor is someone
  else's. After a slice in which nothing came, the next one starts when the
  capture's descriptor shows a frame (a wait in select() that SIGINT ends at
  once), so that a packet's frames arrive within one slice: the library
  abandons a packet whose frames are still arriving when a timed receive
  gives up. A packet that takes longer than a slice to arrive after an idle
  time (about 2 MB at 40 MB/s) could therefore come back cut; receive such
  packets with a longer slice.

Sends and RMAP transactions are not sliced: the library cannot resume them
(a send that times out mid-packet leaves the packet unfinished, and an RMAP
wait that times out ends its transaction).
"""

from __future__ import annotations

import contextlib
import math
import os
import select
import signal
import threading
import time
from collections.abc import Callable, Iterator

from ._library import TIMED_OUT, library

_slice = 0.05  # seconds: the longest a C wait runs before Python checks for signals


def wait_slice() -> float:
    """The longest time in seconds that one C wait of a receive or status query lasts."""
    return _slice


def set_wait_slice(seconds: float) -> None:
    """Sets the C wait slice (0.01 .. 0.09 s; 0.05 by default): longer slices let
    larger packets arrive whole after an idle time, shorter ones answer Ctrl-C
    sooner. Process-wide."""
    global _slice
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"the wait slice must be a number of seconds, not {type(seconds).__name__}")
    if not 0.01 <= seconds <= 0.09:
        raise ValueError(f"the wait slice must be within 0.01 .. 0.09 s, not {seconds}")
    _slice = float(seconds)


def sliced(call: Callable[[int], int], seconds: float | None, descriptor: int = -1,
           stop: Callable[[], bool] | None = None) -> int:
    """call(timeout_ms) until it returns something other than TIMED_OUT, the
    deadline `seconds` after now passes (None: never) or stop() is true after
    a slice. 0 calls once with the library's shortest deadline (1 ms)."""
    with interrupter.guard():
        if seconds == 0:
            return call(1)
        return _slices(call, seconds, descriptor, stop)


def _slices(call: Callable[[int], int], seconds: float | None, descriptor: int,
            stop: Callable[[], bool] | None) -> int:
    deadline = None if seconds is None else time.monotonic() + seconds
    main = threading.current_thread() is threading.main_thread()
    while True:
        left = _slice if deadline is None else deadline - time.monotonic()
        result = call(min(max(1, math.ceil(min(left, _slice) * 1000)), 2**31 - 1))
        if result == 0 and interrupter.clearing and library().get_wait_receive_status() == 0:
            if main:
                return result  # Ctrl-C: the guard raises KeyboardInterrupt
            time.sleep(0.005)  # Ctrl-C in the main thread ended this slice: try again
            continue
        if result != TIMED_OUT or (stop is not None and stop()):
            return result
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                return TIMED_OUT
        if descriptor >= 0:
            # Nothing came within a slice: sleep until a frame shows.
            select.select([descriptor], [], [], min(left, _slice))


class _Interrupter:
    """Clears the library's wait flag when SIGINT arrives during a guarded call."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._depth = 0
        self._cleared = False
        self._stale = 0  # SIGINTs already raised that the watcher has not read yet
        self._writer = -1

    @property
    def clearing(self) -> bool:
        """True while the flag is cleared for a Ctrl-C in the main thread."""
        return self._cleared

    def _start(self) -> int:
        if self._writer < 0:
            reader, writer = os.pipe2(os.O_CLOEXEC)
            os.set_blocking(writer, False)
            threading.Thread(target=self._watch, args=(reader,), name="spweth-interrupt",
                             daemon=True).start()
            self._writer = writer
        return self._writer

    def _watch(self, reader: int) -> None:
        while True:
            received = os.read(reader, 64)
            if signal.SIGINT in received:
                with self._lock:
                    if self._stale > 0:  # its guard has ended with KeyboardInterrupt already
                        self._stale -= 1
                    elif self._depth > 0 and not self._cleared:
                        self._cleared = True
                        library().set_wait_receive_active(0)

    @contextlib.contextmanager
    def guard(self) -> Iterator[None]:
        """Around a C call that waits and cannot be sliced."""
        if threading.current_thread() is not threading.main_thread():
            yield
            return
        with self._lock:
            writer = self._start()
        try:
            outer = signal.set_wakeup_fd(writer, warn_on_full_buffer=False)
        except ValueError:  # not the main interpreter
            yield
            return
        if outer != -1:  # someone else's descriptor (asyncio): leave it as it was
            signal.set_wakeup_fd(outer)
            yield
            return
        with self._lock:
            self._depth += 1
        interrupted = propagating = False
        try:
            yield
        except KeyboardInterrupt:
            propagating = True
            raise
        finally:
            signal.set_wakeup_fd(-1)
            with self._lock:
                self._depth -= 1
                if self._cleared and self._depth == 0:
                    library().set_wait_receive_active(1)
                    self._cleared = False
                    interrupted = True
                elif propagating:
                    # Python raised it before the watcher read its byte: that
                    # byte must not end a later call.
                    self._stale += 1
        # Python's handler for the SIGINT has run by now. When it ran inside
        # a callback of the library (a message printed as the wait ended),
        # ctypes dropped its KeyboardInterrupt: raise it here.
        if interrupted and not propagating:
            raise KeyboardInterrupt


interrupter = _Interrupter()
