"""Fixtures: the bridge emulator on spw-bridge and spweth-gateway on spw-host,
in the network namespace that run.sh makes; the gateway listens on loopback."""

import os
import signal
import subprocess
import time

import pytest

BRIDGE_LINK = "spw-bridge"
HOST_LINK = "spw-host"
PORT = 10030


def wait_for(path, text, process=None, timeout=5.0):
    deadline = time.monotonic() + timeout
    while text not in path.read_text():
        if process is not None and process.poll() is not None:
            raise AssertionError(f"exited {process.returncode}: {path.read_text()}")
        if time.monotonic() > deadline:
            raise AssertionError(f"no '{text}' in {path.name}:\n{path.read_text()}")
        time.sleep(0.01)


class Gateway:
    def __init__(self, process, log):
        self.process, self.log = process, log

    def text(self):
        return self.log.read_text()

    def wait_log(self, text, timeout=5.0):
        wait_for(self.log, text, self.process, timeout)

    def stop(self):
        """SIGTERM; the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=10)


@pytest.fixture
def start_bridge(tmp_path):
    if os.environ.get("SPWETH_TEST_NETNS") != "1":
        pytest.skip("opens adapters: run through run.sh, which makes a network namespace")
    started = []

    def start(*options):
        log = tmp_path / f"bridge{len(started)}.log"
        with open(log, "w") as out:
            process = subprocess.Popen(
                [os.environ["SPWETH_BRIDGE_EMU"], "--iface", BRIDGE_LINK, "--status-ms", "100",
                 *options], stdout=out, stderr=subprocess.STDOUT)
        started.append(process)
        wait_for(log, "serving", process)
        return process

    yield start
    for process in started:
        process.terminate()
        process.wait(timeout=5)


@pytest.fixture
def start_gateway(tmp_path, start_bridge):
    """start_gateway(*options): the emulator (with an RMAP target) and a gateway in front of it.
    Status frames every 100 ms tell the gateway the bridge's credits at the start."""
    start_bridge("--rmap-target", "0xFE,0x20,65536")
    started = []

    def start(*options, listen=f"127.0.0.1:{PORT}"):
        log = tmp_path / f"gateway{len(started)}.log"
        with open(log, "w") as out:
            process = subprocess.Popen(
                [os.environ["SPWETH_GATEWAY"], "--iface", HOST_LINK, "--listen", listen,
                 *options], stdout=out, stderr=subprocess.STDOUT)
        gateway = Gateway(process, log)
        started.append(gateway)
        gateway.wait_log("serving adapter")  # logged once every listener is open
        return gateway

    yield start
    for gateway in started:
        assert gateway.stop() == 0, gateway.text()


@pytest.fixture
def gateway(start_gateway, request):
    """A gateway with default options, or those a test gives it (indirect parametrization)."""
    return start_gateway(*getattr(request, "param", ()))
