"""Helpers of the demo's tests: run it, start the bridge emulator on veth1
(the far end of run_in_netns.sh's veth pair), read its counters."""
import os
import signal
import subprocess
import time

HOST_LINK = "veth0"
BRIDGE_LINK = "veth1"


def quiet_links():
    """No IPv6 chatter of the kernel's own on the pair: every frame the host
    side sends is then one the test caused."""
    for link in (HOST_LINK, BRIDGE_LINK):
        with open(f"/proc/sys/net/ipv6/conf/{link}/disable_ipv6", "w") as switch:
            switch.write("1")


def frames_sent(link=HOST_LINK):
    """The frames the link has sent (/proc/net/dev is the namespace's own; /sys is not)."""
    with open("/proc/net/dev") as table:
        for line in table:
            name, _, fields = line.partition(":")
            if name.strip() == link:
                return int(fields.split()[9])
    raise RuntimeError(f"no link {link}")


def run(demo, *args, timeout=20):
    return subprocess.run([demo, *args], capture_output=True, text=True, timeout=timeout)


def error_lines(stderr):
    """The demo's own lines on standard error (the library's notes are marked 'spweth: ')."""
    return [line for line in stderr.splitlines() if line and not line.startswith("spweth: ")]


class Emulator:
    def __init__(self, path, *options):
        self.process = subprocess.Popen([path, "--iface", BRIDGE_LINK, *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        deadline = time.monotonic() + 5
        first = self.process.stdout.readline()
        if "serving" not in first:
            raise RuntimeError("the bridge emulator did not start: " + first)
        if time.monotonic() > deadline:
            raise RuntimeError("the bridge emulator took too long to start")

    def stop(self):
        """Stops it; returns its counters as a dict of name -> number."""
        self.process.send_signal(signal.SIGINT)
        output, _ = self.process.communicate(timeout=10)
        counters = {}
        for line in output.splitlines():
            name, _, value = line.strip().rpartition(" ")
            name = name.strip()
            if name.endswith(":") and value.isdigit():
                counters[name.rstrip(":")] = int(value)
        if "data frames from host" not in counters:
            raise RuntimeError("the bridge emulator printed no counters: " + output)
        return counters


def frames_from_host(counters):
    """Every frame of the host's that the emulator took or ignored."""
    names = ["data frames from host", "control-code frames from host",
             "configuration frames from host", "dropped, no free buffer",
             "ignored, not for this bridge", "ignored, malformed", "ignored, unknown type"]
    return {name: counters.get(name) for name in names if counters.get(name) != 0}


def outside_test_namespace():
    """True, having said why, outside the namespace of tests/e2e/run_in_netns.sh."""
    if os.environ.get("SPWETH_TEST_NETNS") == "1":
        return False
    print("needs the network namespace of tests/e2e/run_in_netns.sh")
    return True


def report(failures, summary=""):
    """Prints each failure and how many failed (after `summary`); the exit status."""
    for failure in failures:
        print("FAIL", failure)
    print(f"{summary}{len(failures)} failed")
    return 1 if failures else 0
