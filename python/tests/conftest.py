"""Fixtures: the bridge emulator on spw-bridge and a socket on spw-host, in the
network namespace that run.sh makes."""

import os
import pathlib
import subprocess
import time

import pytest

import spweth

HOST_LINK = "spw-host"
BRIDGE_LINK = "spw-bridge"
BRIDGE_ADDRESS = "00:01:02:03:04:05"


def in_own_namespace():
    return os.environ.get("SPWETH_TEST_NETNS") == "1"


def needs(symbol):
    """Skips a test whose C call is not in the library under test yet."""
    return pytest.mark.skipif(not spweth.library().has(symbol),
                              reason=f"the library has no {symbol} yet")


@pytest.fixture
def start_bridge(tmp_path):
    """start_bridge(*options): spweth-bridge-emu serving spw-bridge until the test ends."""
    if not in_own_namespace():
        pytest.skip("opens adapters: run through tests/run.sh, which makes a network namespace")
    started = []

    def start(*options):
        log = tmp_path / f"bridge{len(started)}.log"
        with open(log, "w") as out:
            process = subprocess.Popen(
                [os.environ["SPWETH_BRIDGE_EMU"], "--iface", BRIDGE_LINK, *options],
                stdout=out, stderr=subprocess.STDOUT)
        started.append(process)
        deadline = time.monotonic() + 5
        while "serving" not in log.read_text():
            assert process.poll() is None, log.read_text()
            assert time.monotonic() < deadline, "the bridge emulator did not start"
            time.sleep(0.01)
        return process

    yield start
    for process in started:
        process.terminate()
        process.wait(timeout=5)


@pytest.fixture
def socket(start_bridge):
    """A socket on spw-host with a bridge emulator (status every 100 ms) behind it."""
    start_bridge("--status-ms", "100")
    with spweth.open(HOST_LINK) as opened:
        yield opened
    spweth.set_crediting(False)


@pytest.fixture
def build_dir():
    return pathlib.Path(os.environ["SPWETH_BUILD_DIR"])
