"""Processes and clients for the black-box tests of fins-gateway.

The daemon under test, the simulated PLC and the simulated external IO
service run as separate processes, found through the environment variables
FINS_GATEWAY, FINS_PLC_SIM and EXIO_SIM. The daemon and the IO service use
their fixed ports (9601, 9602), so the tests must not run beside another
gateway; the PLC simulator takes any free port.

Every wait polls with a bounded time-out; nothing sleeps for a fixed time to
let something happen.
"""

import atexit
import http.client
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
import xmlrpc.client

GATEWAY_PORT = 9601
EXIO_PORT = 9602
GATEWAY_URL = "http://127.0.0.1:%d/RPC2" % GATEWAY_PORT
EXIO_URL = "http://127.0.0.1:%d/RPC2" % EXIO_PORT

# Generous: the daemon may run under AddressSanitizer on a busy machine.
WAIT = 15.0
POLL = 0.005

# Connection states.
DISCONNECTED, CONNECTING, CONNECTED, FAMILY_UNKNOWN, CONNECT_FAILED = 1, 2, 4, 12, 16
# Mapping states.
MAP_GOOD, MAP_NOT_FOUND, MAP_SERVICE_DOWN, MAP_CLAIM_REFUSED, MAP_NEW = (
    0, 64017, 65040, 61644, 65535)
# The FINS library's code for a read or write without a connection.
NO_CONNECTION = 0x8001

# A sanitizer or a fatal library message in the daemon's standard error.
_FAILURE_TEXT = re.compile(
    r"Sanitizer|runtime error:|terminate called|Segmentation fault|Aborted")

# Processes started and not yet stopped, ended at exit whatever happened.
_live = set()


def _binary(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        raise RuntimeError("%s must name the built program (got %r)"
                           % (variable, path))
    return path


def _spawn(argv, **kwargs):
    # setpriv makes the kernel end the child when this test process dies,
    # even by SIGKILL, so that a killed test run leaves nothing behind.
    if shutil.which("setpriv"):
        argv = ["setpriv", "--pdeathsig", "TERM", "--"] + list(argv)
    proc = subprocess.Popen(argv, **kwargs)
    _live.add(proc)
    return proc


def _end(proc, sig=signal.SIGTERM):
    """Stops `proc` (SIGKILL if it ignores `sig`) and returns its status."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    _live.discard(proc)
    return proc.returncode


def end_all():
    for proc in list(_live):
        _end(proc)


atexit.register(end_all)


def wait_for(probe, accept, timeout=WAIT, what="condition"):
    """Calls probe() until accept(value) holds; returns that value.

    Raises AssertionError with the last value seen after `timeout` seconds.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if accept(value):
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for %s; last value: %r"
                                 % (what, value))
        time.sleep(POLL)


def observe_until(probe, final, timeout=WAIT, what="value"):
    """Calls probe() until it answers `final`; returns every distinct value
    seen, in the order first seen."""
    seen = []

    def accept(value):
        if not seen or seen[-1] != value:
            seen.append(value)
        return value == final

    wait_for(probe, accept, timeout, "%s %r" % (what, final))
    return seen


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    with socket.socket() as s:
        s.settimeout(1.0)
        return s.connect_ex(("127.0.0.1", port)) == 0


class TimeoutTransport(xmlrpc.client.Transport):
    """A transport that gives up on a silent server after `timeout` s."""

    def __init__(self, timeout):
        super().__init__()
        self._timeout = timeout

    def make_connection(self, host):
        conn = super().make_connection(host)
        conn.timeout = self._timeout
        return conn


def client(timeout=WAIT):
    """A client of the daemon; keeps its HTTP connection alive."""
    return xmlrpc.client.ServerProxy(GATEWAY_URL,
                                     transport=TimeoutTransport(timeout))


class Console:
    """A simulator driven through its line console on standard input."""

    def __init__(self, argv, name):
        self.name = name
        self._err = tempfile.TemporaryFile(mode="w+")
        self.proc = _spawn(argv, stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, stderr=self._err,
                           text=True, bufsize=1)
        self._lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        with self.proc.stdout:
            for line in self.proc.stdout:
                self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def next_line(self, timeout=WAIT):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("%s said nothing for %.0f s"
                                 % (self.name, timeout))
        if line is None:
            raise AssertionError("%s ended: %s" % (self.name, self.errors()))
        return line

    def wait_line(self, pattern, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while True:
            line = self.next_line(max(0.0, deadline - time.monotonic()))
            match = re.search(pattern, line)
            if match:
                return match

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def errors(self):
        self._err.seek(0)
        return self._err.read()

    def stop(self):
        status = _end(self.proc)
        self.proc.stdin.close()
        self._err.close()
        return status


class PlcSim(Console):
    """fins-plc-sim on a free port; reads and sets its memory directly."""

    def __init__(self, model="CJ2M-CPU33", port=0):
        super().__init__([_binary("FINS_PLC_SIM"), "--port", str(port),
                          "--model", model], "fins-plc-sim")
        match = self.wait_line(r"listening on [0-9.]+:(\d+)")
        self.port = int(match.group(1))

    def _ask(self, command):
        self.send(command)
        line = self.next_line()
        if line.startswith("error"):
            raise AssertionError("fins-plc-sim: %s -> %s" % (command, line))
        return line

    def word(self, address):
        return int(re.search(r"= (\d+)", self._ask("get " + address)).group(1))

    def words(self, area, start, count):
        return [self.word("%s%d" % (area, start + i)) for i in range(count)]

    def bit(self, address):
        return int(re.search(r"= (\d+)", self._ask("get " + address)).group(1))

    def set(self, address, value):
        self._ask("set %s %d" % (address, value))

    def set_words(self, area, start, values):
        for i, value in enumerate(values):
            self.set("%s%d" % (area, start + i), value)

    def force(self, address, mask):
        self._ask("force %s %d" % (address, mask))


class ExioSim(Console):
    """exio-sim on its fixed port: the robot's registers seen from outside."""

    _END = "end-of-show"

    def __init__(self):
        super().__init__([_binary("EXIO_SIM")], "exio-sim")
        self.wait_line(r"listening on")

    def set_output(self, bank, index, value):
        if isinstance(value, bool):
            value = "true" if value else "false"
        self.send("out %s %d %s" % (bank, index, value))
        line = self.next_line()
        if not line.startswith("output"):
            raise AssertionError("exio-sim: %s" % line)

    def registers(self):
        """{("input"|"output", bank, index): (value text, holder)}"""
        self.send("show")
        self.send(self._END)
        found = {}
        while True:
            line = self.next_line()
            if self._END in line:
                return found
            match = re.match(
                r"(input|output)\s+(bool|int|double) (\d+) = (\S+)"
                r"(?:\s+\(held by (.*)\))?", line)
            if match:
                kind, bank, index, value, holder = match.groups()
                found[(kind, bank, int(index))] = (value, holder or "")

    def input(self, bank, index):
        value, _ = self.registers().get(("input", bank, index), ("0", ""))
        return _parse(bank, value)

    def holder(self, bank, index):
        return self.registers().get(("input", bank, index), ("0", ""))[1]

    def rpc(self):
        return xmlrpc.client.ServerProxy(EXIO_URL)


def _parse(bank, text):
    if bank == "bool":
        return text == "true"
    if bank == "int":
        return int(text)
    return float(text)


class Gateway:
    """The daemon under test, with its log and standard error kept in files."""

    def __init__(self):
        self.log = tempfile.NamedTemporaryFile(
            mode="w+", prefix="fins-gateway-", suffix=".log", delete=False)
        self._err = tempfile.TemporaryFile(mode="w+")
        self.proc = _spawn([_binary("FINS_GATEWAY")], stdin=subprocess.DEVNULL,
                           stdout=self.log, stderr=self._err)
        self.rpc = client()
        wait_for(self._answers, bool, what="fins-gateway to serve")

    def _answers(self):
        if self.proc.poll() is not None:
            raise AssertionError("fins-gateway ended with %s: %s"
                                 % (self.proc.returncode, self.errors()))
        try:
            with client(timeout=2.0) as probe:
                probe.getState()
            return True
        except (OSError, http.client.HTTPException):
            return False

    def errors(self):
        self._err.seek(0)
        return self._err.read()

    def connect(self, port, host="127.0.0.1"):
        """Connects to a PLC and waits until the connection is up."""
        self.rpc.connect(host, port, 0, 0, 0, 0, 0, 0, 0)
        return wait_for(self.rpc.getState,
                        lambda s: s in (CONNECTED, FAMILY_UNKNOWN),
                        what="connection")

    def stop(self):
        """Ends the daemon; raises AssertionError when it had died or
        reported a fault (such as a sanitizer's) on standard error."""
        self.rpc("close")()
        alive = self.proc.poll() is None
        status = _end(self.proc)
        self.log.close()
        problems = []
        if not alive:
            problems.append("fins-gateway ended by itself with status %s"
                            % status)
        errors = self.errors()
        self._err.close()
        if _FAILURE_TEXT.search(errors):
            problems.append("fins-gateway reported:\n" + errors)
        if problems:
            raise AssertionError("\n".join(problems) +
                                 "\n(log in %s)" % self.log.name)
        os.unlink(self.log.name)


def start_connected_gateway(cls):
    """Gives a TestCase class a PLC simulator (cls.plc) and a daemon connected
    to it (cls.gateway), stopped in reverse order after the class, also when
    a later step of its set-up fails."""
    cls.plc = PlcSim()
    cls.addClassCleanup(cls.plc.stop)
    cls.gateway = Gateway()
    cls.addClassCleanup(cls.gateway.stop)
    cls.gateway.connect(cls.plc.port)


class SilentPlc:
    """Accepts FINS/TCP connections and never answers, like a PLC that hangs
    during the node address handshake."""

    def __init__(self):
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(8)
        self.port = self._listener.getsockname()[1]
        self._peers = []
        self._stop = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self._stop.is_set():
            try:
                peer, _ = self._listener.accept()
            except OSError:
                return
            self._peers.append(peer)

    def close(self):
        self._stop.set()
        self._listener.close()
        for peer in self._peers:
            peer.close()


class FakePlc:
    """A one-connection FINS/TCP PLC that answers the node address handshake
    and the CPU unit data read with the 158 data bytes it was given, and
    nothing else. Written from the protocol, apart from the simulator, so
    that the CPU unit data can hold any byte."""

    def __init__(self, cpu_data):
        assert len(cpu_data) == 158
        self._cpu_data = bytes(cpu_data)
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(1)
        self.port = self._listener.getsockname()[1]
        self._peer = None
        threading.Thread(target=self._serve, daemon=True).start()

    @staticmethod
    def _recv(peer, count):
        data = b""
        while len(data) < count:
            chunk = peer.recv(count - len(data))
            if not chunk:
                raise OSError("peer closed")
            data += chunk
        return data

    def _serve(self):
        try:
            peer, _ = self._listener.accept()
            self._peer = peer
            request = self._recv(peer, 20)  # FINS header + client node
            client_node = request[16:20]
            if client_node == b"\0\0\0\0":
                client_node = (0x21).to_bytes(4, "big")
            peer.sendall(b"FINS" + (16).to_bytes(4, "big") +
                         (1).to_bytes(4, "big") + bytes(4) + client_node +
                         (0x0A).to_bytes(4, "big"))
            while True:
                header = self._recv(peer, 16)
                frame = self._recv(peer, int.from_bytes(header[4:8], "big") - 8)
                if frame[10:12] != b"\x05\x01":
                    continue
                reply = bytes([0xC0, 0, 2, frame[6], frame[7], frame[8],
                               frame[3], frame[4], frame[5], frame[9], 5, 1,
                               0, 0]) + self._cpu_data
                peer.sendall(b"FINS" + (8 + len(reply)).to_bytes(4, "big") +
                             (2).to_bytes(4, "big") + bytes(4) + reply)
        except OSError:
            return

    def close(self):
        self._listener.close()
        if self._peer:
            self._peer.close()
