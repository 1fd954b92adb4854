"""OPC UA servers for the tests, each in its own process on a free loopback port.

`start_server(kind, ...)` starts our simulator ("ph_meter_sim") or asyncua's server ("asyncua"),
waits (bounded) for the one line saying where it listens, and returns a `RunningServer`;
`RunningServer.stop()` ends it by its pid. The fixtures below wrap them for pytest.
"""

import contextlib
import dataclasses
import os
import selectors
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from peer_processes import peer_environment

SERVER_KINDS = ("ph_meter_sim", "asyncua")
ENDPOINT_PATH = "/DezedarIzIvovod"
ROOT = Path(__file__).resolve().parent.parent
SIMULATOR = Path(sys.executable).parent / "ph_meter_sim"
ASYNCUA_SERVER = ROOT / "tests" / "support" / "asyncua_ph_server.py"
START_TIMEOUT = 30.0  # asyncua builds its whole standard address space at start-up
STOP_TIMEOUT = 10.0


@dataclasses.dataclass
class RunningServer:
    kind: str
    port: int
    process: subprocess.Popen
    stdout_rest: str = ""  # what it printed after its first line, once stopped
    stderr_text: str = ""

    @property
    def endpoint(self):
        return f"opc.tcp://127.0.0.1:{self.port}{ENDPOINT_PATH}"

    def stop(self, sig=signal.SIGTERM):
        """Signals the server by its pid and waits (bounded) for it; returns its exit status."""
        if self.process.poll() is None:
            os.kill(self.process.pid, sig)
            try:
                self.process.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait(timeout=STOP_TIMEOUT)
        with self.process.stdout:
            self.stdout_rest = self.process.stdout.read().decode(errors="replace")
        with self.process.stderr:
            self.stderr_text = self.process.stderr.read().decode(errors="replace")
        return self.process.returncode


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def port_is_free(port):
    """No listener holds the port. Bound as the servers bind (address reuse on), so that the
    closed connections of an earlier server, waiting out TIME_WAIT, do not count."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
        return True


DEFAULT_PORT = 4840


def server_command(kind, port, options):
    if kind == "ph_meter_sim":
        command = [str(SIMULATOR)]
        # The simulator's own default is the port under test, so it is not named.
        if port != DEFAULT_PORT:
            command += ["--port", str(port)]
    elif kind == "asyncua":
        command = [sys.executable, str(ASYNCUA_SERVER), "--port", str(port)]
    else:
        raise ValueError(f"unknown OPC UA server kind {kind!r}")
    return command + list(options)


def _read_first_line(process, timeout):
    """The first line of the process's stdout, or None if none came within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    received = b""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while b"\n" not in received:
            left = deadline - time.monotonic()
            if left <= 0 or not selector.select(left):
                return None
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                return None
            received += chunk
    return received.split(b"\n", 1)[0].decode()


def start_server(kind, *options, port=None, attempts=3):
    """Starts a server of `kind` ("ph_meter_sim" or "asyncua") with extra command-line `options`.

    Without `port` it takes a free one, trying again (a bounded number of times) if another
    process took that port meanwhile. Returns the RunningServer once it says where it listens.
    """
    program = "ph_meter_sim" if kind == "ph_meter_sim" else "asyncua_ph_server"
    failures = []
    for _ in range(attempts if port is None else 1):
        chosen = free_port() if port is None else port
        process = subprocess.Popen(server_command(kind, chosen, options),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=peer_environment())
        server = RunningServer(kind, chosen, process)
        line = _read_first_line(process, START_TIMEOUT)
        if line == f"{program}: listening on {server.endpoint}":
            return server
        server.stop(signal.SIGKILL)
        failures.append(
            f"port {chosen}: first line {line!r}, stderr {server.stderr_text[-1000:]!r}")
    raise RuntimeError(f"{kind} did not start: " + "; ".join(failures))


@contextlib.contextmanager
def running_server(kind, *options, port=None):
    server = start_server(kind, *options, port=port)
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(params=SERVER_KINDS)
def opcua_server_kind(request):
    """Each server kind, for tests that start (and stop) their own server."""
    return request.param


@pytest.fixture(scope="module", params=SERVER_KINDS)
def opcua_server(request):
    """A server of each kind, shared by a test module: the default Double nodes fixed at pH 7.0
    and 25.0 degrees, and the edge-case nodes."""
    with running_server(request.param, "--ph", "7.0", "--temperature", "25.0",
                        "--edge-case-nodes") as server:
        yield server
