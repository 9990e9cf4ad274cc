"""A pytest plugin: the bridge emulator behind a socket, for testing
instrument scripts in CI.

    pytest -p spweth.testing

    @pytest.mark.bridge_emulator(rmap_target="0xFE,0x20,65536", status_ms=100)
    def test_my_script(bridge_emulator):
        bridge_emulator.send(b"\\x01")
        assert bridge_emulator.recv(timeout=1.0).data == b"\\x01"

The fixture `bridge_emulator` moves the test's thread into a network
namespace of its own (loopback and a veth pair, nothing else: no real
adapter is ever opened), starts spweth-bridge-emu on one end, yields a
socket open on the other, and afterwards stops the emulator and returns the
thread to the namespace it came from. The marker's keywords are the
emulator's options (rmap_target="..." is --rmap-target ..., True is a bare
flag); its positional arguments are passed as they are. The emulator is the
one in SPWETH_BRIDGE_EMU, else spweth-bridge-emu on PATH. The fixture skips,
saying why, where the process may not make namespaces or capture (it needs
CAP_SYS_ADMIN and CAP_NET_RAW: root), or where there is no emulator.
"""

from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
import tempfile
import time
from collections.abc import Iterator
from typing import Any

import pytest

from .socket import Socket
from .socket import open as open_socket

HOST_LINK = "spwt-host"
BRIDGE_LINK = "spwt-bridge"
BRIDGE_ADDRESS = "00:01:02:03:04:05"  # the emulator's own address by default
_CLONE_NEWNET = 0x40000000


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "bridge_emulator(*args, **options): options of the bridge emulator that "
        "the bridge_emulator fixture starts")


def _emulator() -> str | None:
    return os.environ.get("SPWETH_BRIDGE_EMU") or shutil.which("spweth-bridge-emu")


def _options(marker: Any) -> list[str]:
    if marker is None:
        return []
    words = [str(word) for word in marker.args]
    for key, value in marker.kwargs.items():
        flag = "--" + key.replace("_", "-")
        if value is True:
            words.append(flag)
        elif value is not False and value is not None:
            words += [flag, str(value)]
    return words


class _Namespace:
    """The calling thread in a fresh network namespace until leave()."""

    def __init__(self) -> None:
        self._libc = ctypes.CDLL(None, use_errno=True)
        self._home = os.open("/proc/thread-self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
        if self._libc.unshare(_CLONE_NEWNET) != 0:
            error = ctypes.get_errno()
            os.close(self._home)
            raise PermissionError(error, os.strerror(error))

    def leave(self) -> None:
        if self._libc.setns(self._home, _CLONE_NEWNET) != 0:
            error = ctypes.get_errno()
            raise OSError(error, f"returning to the first network namespace: {os.strerror(error)}")
        os.close(self._home)


def _run(*command: str) -> None:
    subprocess.run(command, check=True, capture_output=True)


def _veth_pair() -> None:
    _run("ip", "link", "set", "lo", "up")
    _run("ip", "link", "add", HOST_LINK, "type", "veth", "peer", "name", BRIDGE_LINK)
    for link in (HOST_LINK, BRIDGE_LINK):
        # No IPv6: no router solicitations on the link.
        subprocess.run(["sysctl", "-qw", f"net.ipv6.conf.{link}.disable_ipv6=1"],
                       capture_output=True)
        _run("ip", "link", "set", link, "up")


def _start(emulator: str, options: list[str]) -> tuple[subprocess.Popen[bytes], str]:
    log = tempfile.NamedTemporaryFile(prefix="spweth-bridge-emu-", suffix=".log", delete=False)
    process = subprocess.Popen([emulator, "--iface", BRIDGE_LINK, *options], stdout=log,
                               stderr=subprocess.STDOUT)
    log.close()
    deadline = time.monotonic() + 5
    while True:
        with open(log.name, errors="replace") as text:
            shown = text.read()
        if "serving" in shown:
            return process, log.name
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            process.wait()
            os.unlink(log.name)
            raise RuntimeError(f"the bridge emulator did not start: {shown.strip()}")
        time.sleep(0.01)


@pytest.fixture
def bridge_emulator(request: pytest.FixtureRequest) -> Iterator[Socket]:
    """A socket with spweth-bridge-emu behind it, in a network namespace of the
    test's own; the marker bridge_emulator(...) gives the emulator's options."""
    emulator = _emulator()
    if emulator is None:
        pytest.skip("no bridge emulator: install spweth-tools or set SPWETH_BRIDGE_EMU")
    try:
        namespace = _Namespace()
    except PermissionError as error:
        pytest.skip(f"the bridge_emulator fixture makes a network namespace of its own, which "
                    f"needs CAP_SYS_ADMIN (root): {error.strerror}")
    process = log = None
    try:
        _veth_pair()
        options = _options(request.node.get_closest_marker("bridge_emulator"))
        process, log = _start(emulator, options)
        bridge = BRIDGE_ADDRESS
        if "--mac" in options:
            bridge = options[options.index("--mac") + 1]
        try:
            socket = open_socket(HOST_LINK, bridge=bridge)
        except Exception as error:  # noqa: BLE001 - turned into a skip with its reason
            if "CAP_NET_RAW" in str(error):
                pytest.skip(f"the bridge_emulator fixture captures on its veth pair: {error}")
            raise
        with socket:
            yield socket
    finally:
        if process is not None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if log is not None:
            os.unlink(log)
        namespace.leave()  # the veth pair goes with the namespace
