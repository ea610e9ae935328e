"""Drive px310-headless, the PX310 scanner emulator, from Python test code.

Standard library only. Starts the emulator (one scanner, a rig of them on
127.0.0.1, 127.0.0.2, ..., or the scanners of a rig file) on free ports,
waits until every scanner listens, sends commands to its control socket (or,
with http=True, to its HTTP front end), reads its stats and stops it:

    with Emulator(faults="loss=5%,dup=1%", seed=7) as emulator:
        run_my_client("127.0.0.1", emulator.tcp_port, emulator.udp_port)
        assert emulator.stats()["faults"]["lost"] > 0

Installed (pip, or the Debian package), it is a pytest plugin as well: the
fixtures `px310_emulator` and `px310_emulator_factory` need no conftest.py
(see px310emu.plugin). The emulator is looked for in $PX310_HEADLESS, then
on $PATH, then in build/tools/ of this source tree.
"""
import collections
import functools
import json
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

__all__ = ["Emulator", "EmulatorError", "ControlError", "ScannerPorts", "find_headless", "supports_control",
           "supports_option", "free_port", "rig_groups"]

# Where one scanner of a started emulator is found.
ScannerPorts = collections.namedtuple("ScannerPorts", "address tcp_port udp_port hello_port")

_CONTROL_CHARACTER = re.compile(r"[\x00-\x1f\x7f]")
# Commands that only read: GET on the HTTP front end; the others are POSTs.
_READING_COMMANDS = ("stats", "requests", "truth")
_HERE = os.path.dirname(os.path.abspath(__file__))


class EmulatorError(Exception):
    """The emulator did not start, or ended, or its socket misbehaved."""


class ControlError(EmulatorError):
    """The emulator refused a control command; nothing was changed."""


def find_headless():
    """Path of px310-headless, or None."""
    candidates = [os.environ.get("PX310_HEADLESS"), shutil.which("px310-headless"),
                  os.path.join(_HERE, "..", "..", "..", "build", "tools", "px310-headless")]
    for path in candidates:
        if path and os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
    return None


@functools.lru_cache(maxsize=None)
def _help_of(executable):
    return subprocess.run([executable, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=30).stdout


def supports_option(option, executable=None):
    """True when this px310-headless's help names `option` (an older one may lack it)."""
    executable = executable or find_headless()
    return bool(executable) and option in _help_of(executable)


def supports_control(executable=None):
    """True when this px310-headless has the control socket (--control)."""
    return supports_option("--control", executable)


def free_port(kind=socket.SOCK_STREAM, addresses=("127.0.0.1",)):
    """A port that nobody uses at this moment on every one of `addresses`."""
    for _ in range(100):
        with socket.socket(socket.AF_INET, kind) as probe:
            probe.bind((addresses[0], 0))
            port = probe.getsockname()[1]
        if all(_port_free(kind, address, port) for address in addresses[1:]):
            return port
    raise EmulatorError("no port is free on %s" % ", ".join(addresses))


def _port_free(kind, address, port):
    with socket.socket(socket.AF_INET, kind) as probe:
        try:
            probe.bind((address, port))
            return True
        except OSError:
            return False


def rig_groups(path):
    """The scanner groups a rig file names, as px310-headless reads them: each line "[NAME]"."""
    with open(path, encoding="utf-8") as rig:
        lines = [line.strip() for line in rig]
    return [line[1:line.index("]")] for line in lines if line.startswith("[") and line.find("]") > 0]


def _rig_file_text(scanners):
    """A rig file of one group per dict, in list order (px310-headless sorts the groups by name)."""
    lines = []
    for number, keys in enumerate(scanners, 1):
        lines.append("[scanner%03d]" % number)
        for key, value in keys.items():
            line = "%s=%s" % (key, value)
            # A line end inside a value would add a key of its own.
            if _CONTROL_CHARACTER.search(line):
                raise ValueError("control characters in the rig entry %r" % line)
            lines.append(line)
    return "\n".join(lines) + "\n"


class Emulator:
    """One px310-headless process. Use start()/stop() or a with-block."""

    def __init__(self, scanners=1, faults=None, seed=None, control=True, executable=None, extra_args=(),
                 start_timeout=20.0, answer_timeout=10.0, scene=None, profile=None, replay=None,
                 exit_with_parent=True, rig=None, http=False):
        self.executable = executable or find_headless()
        if not self.executable:
            raise EmulatorError("px310-headless not found (set PX310_HEADLESS)")
        self.scanner_count = scanners
        self.rig = rig  # a rig file, or a list of dicts (one group of a rig file each)
        self._rig_text = None if rig is None or isinstance(rig, (str, os.PathLike)) else _rig_file_text(rig)
        self.faults = faults
        self.seed = seed
        self.scene_path = scene
        self.profile_path = profile
        self.replay_path = replay
        self.use_control = control
        # The HTTP front end on loopback; control() uses it when there is no control socket.
        self.use_http = http
        self.http_url = None  # "http://127.0.0.1:PORT/" once started with http
        self.extra_args = list(extra_args)
        # Ends with this process even when it is killed, where px310-headless can.
        self.exit_with_parent = exit_with_parent and supports_option("--exit-with-parent", self.executable)
        self.start_timeout = start_timeout
        self.answer_timeout = answer_timeout
        self.scanners = []  # (address, TCP port) of each scanner once started
        self.ports = []     # a ScannerPorts of each scanner once started
        self.listening = []  # what px310-headless --json told of each scanner (ports, serial, source)
        self.output = []    # every line the emulator printed on stdout
        self.tcp_port = self.udp_port = self.hello_port = None
        self.control_path = None
        self._dir = None
        self._process = None
        self._lines = queue.Queue()
        self._errors = collections.deque(maxlen=20)  # the last lines on stderr
        self._errors_read = threading.Event()

    # Starting and stopping

    def start(self):
        self._dir = tempfile.mkdtemp(prefix="px310emu-")
        self.udp_port = free_port(socket.SOCK_DGRAM)
        self.hello_port = free_port(socket.SOCK_DGRAM)
        command = [self.executable, "--tcp-port", "0", "--udp-port", str(self.udp_port),
                   "--hello-port", str(self.hello_port), "--params", os.path.join(self._dir, "user_params.ini"),
                   "--json"]
        command += self._rig_options()
        if self.use_control:
            self.control_path = os.path.join(self._dir, "control")
            command += ["--control", self.control_path]
        if self.use_http:
            command += ["--http", "127.0.0.1:0"]
        if self.faults is not None:
            command += ["--faults", self.faults]
        if self.seed is not None:
            command += ["--seed", str(self.seed)]
        for option, path in (("--scene", self.scene_path), ("--profile", self.profile_path),
                             ("--replay", self.replay_path)):
            if path is not None:
                command += [option, os.path.abspath(path)]
        if self.exit_with_parent:
            command.append("--exit-with-parent")
        command += self.extra_args
        self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, universal_newlines=True)
        threading.Thread(target=self._read_output, daemon=True).start()
        threading.Thread(target=self._read_errors, daemon=True).start()
        try:
            self._wait_until_listening()
            self.tcp_port, self.udp_port, self.hello_port = self.ports[0][1:]
        except EmulatorError:
            self.stop()
            raise
        return self

    def _rig_options(self):
        """The options that make the scanners, and how many there are to wait for."""
        if self.rig is None:
            return ["--scanners", str(self.scanner_count)] if self.scanner_count > 1 else []
        path = self.rig
        if self._rig_text is not None:
            path = os.path.join(self._dir, "rig.ini")
            with open(path, "w", encoding="utf-8") as rig:
                rig.write(self._rig_text)
        try:
            self.scanner_count = len(rig_groups(path))
        except OSError:
            self.scanner_count = 0  # px310-headless says what is wrong with the file
        self.scanner_count = max(self.scanner_count, 1)
        return ["--rig", os.path.abspath(path)]

    def stop(self):
        """Ends the emulator (SIGTERM, then SIGKILL after 10 s); its exit code."""
        if self._process is None:
            return None
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
            try:
                self._process.wait(10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        code = self._process.returncode
        self._errors_read.wait(5)
        self._process = None
        shutil.rmtree(self._dir, ignore_errors=True)
        return code

    @property
    def pid(self):
        """The process id of the running emulator, else None."""
        return self._process.pid if self._process is not None else None

    def ended(self):
        """None while the emulator runs (or after stop()); else how it ended: its exit status and
        its last lines on stderr."""
        if self._process is None or self._process.poll() is None:
            return None
        self._errors_read.wait(5)
        return "px310-headless ended with %d: %s" % (self._process.returncode, "\n".join(self._errors))

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _read_output(self):
        for line in self._process.stdout:
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def _read_errors(self):
        # Read all along: a full pipe would stop a verbose emulator.
        for line in self._process.stderr:
            self._errors.append(line.rstrip("\n"))
        self._process.stderr.close()
        self._errors_read.set()

    def _wait_until_listening(self):
        deadline = time.monotonic() + self.start_timeout
        while len(self.scanners) < self.scanner_count:
            try:
                line = self._lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise EmulatorError("px310-headless did not listen within %.0f s" % self.start_timeout)
            if line is None:
                self._process.wait()
                raise EmulatorError(self.ended())
            self.output.append(line)
            if line.startswith("{"):
                scanner = json.loads(line)
                self.listening.append(scanner)
                self.scanners.append((scanner["address"], scanner["tcp_port"]))
                self.ports.append(ScannerPorts(scanner["address"], scanner["tcp_port"], scanner["udp_port"],
                                               scanner["hello_port"]))
                self.http_url = scanner.get("http")

    # Control

    def control(self, command, scanner=None):
        """Sends one control command; the text after "ok". Raises ControlError on "error",
        ValueError when an argument holds a control character (a line end would end the command)."""
        line = ("--scanner %s %s" % (scanner, command)) if scanner else command
        # A line end inside an argument would send a second command.
        if _CONTROL_CHARACTER.search(line):
            raise ValueError("control characters in the control command %r" % line)
        if not self.control_path and self.http_url:
            return self._control_over_http(command, scanner)
        if not self.control_path:
            raise EmulatorError("started without a control socket")
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
            connection.settimeout(self.answer_timeout)
            connection.connect(self.control_path)
            connection.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = connection.recv(65536)
                if not chunk:
                    raise EmulatorError("the control socket closed without an answer to %r" % line)
                answer += chunk
        answer = answer.decode().rstrip("\n")
        if answer == "ok" or answer.startswith("ok "):
            return answer[3:]
        if answer.startswith("error "):
            raise ControlError(answer[6:])
        raise EmulatorError("unexpected answer %r" % answer)

    def http_token(self):
        """The page's token, which a POST to the HTTP front end must bring (X-PX310-Token)."""
        with urllib.request.urlopen(self.http_url + "api/token", timeout=self.answer_timeout) as answer:
            return json.load(answer)["token"]

    def _control_over_http(self, command, scanner):
        name, _, argument = command.partition(" ")
        query = {"scanner": scanner} if scanner else {}
        reads = name in _READING_COMMANDS
        if reads and argument:
            query["arg"] = argument
        url = self.http_url + "api/" + name + ("?" + urllib.parse.urlencode(query) if query else "")
        request = urllib.request.Request(url) if reads else urllib.request.Request(
            url, data=argument.encode(), headers={"X-PX310-Token": self.http_token()}, method="POST")
        try:
            with urllib.request.urlopen(request, timeout=self.answer_timeout) as answer:
                body = answer.read().decode()
        except urllib.error.HTTPError as refused:
            raise ControlError(json.loads(refused.read().decode()).get("error", str(refused)))
        answer = json.loads(body)
        return answer["answer"] if list(answer) == ["answer"] else body

    def set_faults(self, spec, scanner=None):
        return self.control("faults " + spec, scanner)

    def clear_faults(self, scanner=None):
        return self.control("faults clear", scanner)

    def load_profile(self, csv_path, scanner=None):
        return self.control("profile " + os.path.abspath(csv_path), scanner)

    def replay(self, path, scanner=None):
        return self.control("replay " + os.path.abspath(path), scanner)

    def scene(self, path, scanner=None):
        """Plays a scene file (JSON) in place of the profile."""
        return self.control("scene " + os.path.abspath(path), scanner)

    def truth(self, measurement, scanner=None):
        """The scene's true values at a measurement counter, as a dict: measurement, y, belt and
        objects, each with id, kind, left, right, top and the kind's own values."""
        return json.loads(self.control("truth %d" % measurement, scanner))

    def outage(self, seconds, scanner=None):
        return self.control("outage %g" % seconds, scanner)

    def pause(self, scanner=None):
        """Holds the scanner's stream until resume(), whatever clients connect or leave."""
        return self.control("pause", scanner)

    def resume(self, scanner=None):
        return self.control("resume", scanner)

    def stats(self, scanner=None):
        """The stats as a dict: datagrams_sent, late_packets, datagrams_refused, socket_failures, faults, requests, clients_connected,
        current_faults, paused and the destinations."""
        return json.loads(self.control("stats", scanner))

    def requests(self, scanner=None):
        """The requests the scanner served lately, oldest first (at most 1000), each a dict: time, client,
        command, name, payload_size, offset, length, digest (with a payload) and, for a write-params,
        changed (["field: old -> new", ...]), so that a test can check what its client sent."""
        return json.loads(self.control("requests", scanner))["requests"]
