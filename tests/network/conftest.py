"""Two network namespaces of the test's own, A and B, joined by one veth pair
on 198.51.100.0/25 (A .1, B .2): no end in the host's namespace, no bridge,
no route out. The emulator runs in A, clients in B. Every process started
here is killed with the test process (PR_SET_PDEATHSIG) and by pid at the
end; namespaces left by a killed run are removed by the next one."""
import ctypes
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

HEADLESS = os.environ.get("PX310_HEADLESS", "")
CLIENT = os.environ.get("PX310_CLIENT", "")
A_ADDRESS = "198.51.100.1"
B_ADDRESS = "198.51.100.2"
PREFIX = 25
A_BROADCAST = "198.51.100.127"
OFF_SUBNET = "198.51.100.200"  # in the documentation range, on neither end's subnet
# The upper half of the range, which a test may bring up on both ends after the emulator started.
LATE_A_ADDRESS = "198.51.100.129"
LATE_B_ADDRESS = "198.51.100.130"
TCP_PORT = 6200
HELLO_PORT = 6001
STREAM_PORT = 7000
LISTEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "listen.py")
START_SECONDS = 20
_PR_SET_PDEATHSIG = 1
_STALE = re.compile(r"^px310[ab]-(\d+)\b")


def _die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def _ip(*arguments):
    subprocess.run(["ip"] + list(arguments), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def _remove_stale_namespaces():
    listing = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, universal_newlines=True).stdout
    for line in listing.splitlines():
        match = _STALE.match(line)
        if match and not _alive(int(match.group(1))):
            subprocess.run(["ip", "netns", "del", line.split()[0]], stderr=subprocess.DEVNULL)


class Pair:
    def __init__(self):
        suffix = "%d-%d" % (os.getpid(), int(time.monotonic() * 1000) % 100000)
        self.a, self.b = "px310a-" + suffix, "px310b-" + suffix
        self.a_link, self.b_link = "pxa%d" % (os.getpid() % 100000), "pxb%d" % (os.getpid() % 100000)
        self.processes = []
        self.dir = tempfile.mkdtemp(prefix="px310net-")

    def create(self):
        _remove_stale_namespaces()
        for namespace in (self.a, self.b):
            _ip("netns", "add", namespace)
            _ip("-n", namespace, "link", "set", "lo", "up")
            subprocess.run(["ip", "netns", "exec", namespace, "sysctl", "-q", "-w",
                            "net.ipv6.conf.all.disable_ipv6=1"], check=True)
        _ip("link", "add", self.a_link, "netns", self.a, "type", "veth", "peer", "name", self.b_link, "netns", self.b)
        for namespace, link, address in ((self.a, self.a_link, A_ADDRESS), (self.b, self.b_link, B_ADDRESS)):
            _ip("-n", namespace, "addr", "add", "%s/%d" % (address, PREFIX), "brd", "+", "dev", link)
            _ip("-n", namespace, "link", "set", link, "up")

    def remove(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            process.wait()
        for namespace in (self.a, self.b):
            subprocess.run(["ip", "netns", "del", namespace], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)

    def add_address(self, address, end="a"):
        namespace, link = (self.a, self.a_link) if end == "a" else (self.b, self.b_link)
        _ip("-n", namespace, "addr", "add", "%s/%d" % (address, PREFIX), "brd", "+", "dev", link)

    def route_a_through_b(self):
        """A default route in A through B: a datagram A sends off its subnet reaches B's wire."""
        _ip("-n", self.a, "route", "add", "default", "via", B_ADDRESS)

    def start(self, namespace, arguments, **options):
        process = subprocess.Popen(["ip", "netns", "exec", namespace] + list(arguments), preexec_fn=_die_with_parent,
                                   universal_newlines=True, **options)
        self.processes.append(process)
        return process

    def run(self, namespace, arguments, timeout=20):
        process = self.start(namespace, arguments, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = process.communicate(timeout=timeout)
        return process.returncode, out, err

    def emulator(self, arguments):
        """px310-headless in A; the --json listening objects once every scanner listens."""
        process = self.start(self.a, [HEADLESS, "--json", "--params", os.path.join(self.dir, "user_params.ini"),
                                      "--control", self.control_path()] + list(arguments),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        listening = []
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline:
            line = process.stdout.readline()
            if not line:
                pytest.fail("the emulator ended: " + process.stderr.read())
            listening.append(json.loads(line))
            if len(listening) == self.expected_scanners(arguments):
                return listening
        pytest.fail("the emulator did not listen within %d s" % START_SECONDS)

    @staticmethod
    def expected_scanners(arguments):
        arguments = list(arguments)
        if "--rig" in arguments:
            rig = open(arguments[arguments.index("--rig") + 1]).read()
            return len(re.findall(r"^\[", rig, re.M))
        return 1

    def control_path(self):
        return os.path.join(self.dir, "control")

    def stats(self):
        out = subprocess.run([CLIENT, "control", "--json", self.control_path(), "stats"], stdout=subprocess.PIPE,
                             universal_newlines=True, timeout=20, check=True).stdout
        return json.loads(out)

    def client(self, *arguments):
        """px310-client in B against the emulator on A's address."""
        return self.run(self.b, [CLIENT, "--host", A_ADDRESS, "--port", str(TCP_PORT)] + list(arguments))

    def listen(self, port, seconds, until_sources=0):
        """A receiver in B; call received() on what it returns."""
        process = self.start(self.b, [sys.executable, LISTEN, "--port", str(port), "--seconds", str(seconds),
                                      "--until-sources", str(until_sources)], stdout=subprocess.PIPE)
        assert process.stdout.readline().strip() == "ready"
        return Listener(process, seconds)

    def capture(self, seconds, expression):
        """Lines tcpdump prints for what crosses B's end of the pair in `seconds`."""
        code, out, err = self.run(self.b, ["timeout", str(seconds), "tcpdump", "-i", self.b_link, "-n", "-p", "-l",
                                           expression], timeout=seconds + 20)
        assert code == 124, "tcpdump did not run: " + err
        return [line for line in out.splitlines() if line.strip()]


class Listener:
    def __init__(self, process, seconds):
        self.process = process
        self.seconds = seconds

    def received(self):
        # Read through the buffered pipe: "ready" was read from it, and on a busy machine the lines may have come
        # with it; communicate() with a timeout reads the pipe's descriptor and would never see them.
        out = self.process.stdout.read()
        self.process.wait(timeout=self.seconds + 20)
        return [json.loads(line) for line in out.splitlines()]


@pytest.fixture
def pair():
    if os.geteuid() != 0 or not shutil.which("ip") or not shutil.which("tcpdump"):
        pytest.skip("needs root, ip and tcpdump to make network namespaces")
    made = Pair()
    try:
        made.create()
        yield made
    finally:
        made.remove()
