"""The simulated pH meter tools/ph_meter_sim, as installed into the venv."""

import math
import shutil
import signal
import socket
import subprocess
import time

import pytest

from opcua_servers import SIMULATOR, running_server, start_server

USAGE = ("usage: ph_meter_sim [--port N] [--ph VALUE] [--temperature VALUE] "
         "[--edge-case-nodes]\n")


@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_prints_one_line_and_stops_cleanly(stop_signal):
    server = start_server("ph_meter_sim")
    assert server.stop(stop_signal) == 0
    assert (server.stdout_rest, server.stderr_text) == ("", "")


def test_readings_drift_around_their_set_points(host, velmora):
    with running_server("ph_meter_sim") as server:
        readings = []
        for _ in range(3):
            payload = host.call("opcua_ph_source", {"endpoint": server.endpoint})
            readings.append(payload["opcua_sample"])
            time.sleep(0.6)  # the simulator moves its readings every 100 ms
    assert all(6.5 < reading["pH"] < 7.5 for reading in readings), readings
    assert all(24.0 < reading["temperature"] < 26.0 for reading in readings), readings
    assert len({reading["pH"] for reading in readings}) == 3
    assert len({reading["temperature"] for reading in readings}) == 3


def test_fixed_values_stay_fixed(host, velmora):
    with running_server("ph_meter_sim", "--ph", "4.01", "--temperature", "-3.5") as server:
        first = host.call("opcua_ph_source", {"endpoint": server.endpoint})["opcua_sample"]
        time.sleep(0.3)
        second = host.call("opcua_ph_source", {"endpoint": server.endpoint})["opcua_sample"]
    assert first == second == {"pH": 4.01, "temperature": -3.5, "timestamp": None}


def test_edge_case_nodes_only_when_asked(host, velmora):
    payload = {"phNode": "ns=2;s=RivevorOrAdori01.phFloat"}
    with running_server("ph_meter_sim") as server:
        plain = host.call("opcua_ph_source", {"endpoint": server.endpoint, **payload})
    with running_server("ph_meter_sim", "--edge-case-nodes") as server:
        with_edge_cases = host.call("opcua_ph_source", {"endpoint": server.endpoint, **payload})
    assert math.isnan(plain["opcua_sample"]["pH"])
    assert with_edge_cases["opcua_sample"]["pH"] == 7.25


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--port", "x"], "not a number: x"),
        (["--port", "70000"], "not a port number: 70000"),
        (["--port", "0"], "not a port number: 0"),
        (["--ph", "7,0"], "not a number: 7,0"),
        (["--ph"], "unknown or incomplete option: --ph"),
        (["--verbose"], "unknown or incomplete option: --verbose"),
    ],
)
def test_bad_options_are_refused(arguments, message):
    child = subprocess.run([str(SIMULATOR), *arguments], capture_output=True, text=True,
                           timeout=10)
    assert (child.returncode, child.stdout, child.stderr) == (
        2, "", f"ph_meter_sim: {message}\n{USAGE}")


def test_port_in_use_is_an_error():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        child = subprocess.run([str(SIMULATOR), "--port", str(port)], capture_output=True,
                               text=True, timeout=10)
    assert (child.returncode, child.stdout, child.stderr) == (
        1, "", f"ph_meter_sim: cannot listen on opc.tcp://127.0.0.1:{port}/DezedarIzIvovod\n")


@pytest.mark.skipif(shutil.which("ss") is None, reason="needs ss (iproute2)")
def test_listens_on_loopback_only():
    with running_server("ph_meter_sim") as server:
        listening = subprocess.run(["ss", "-Hltnp", f"sport = :{server.port}"],
                                   capture_output=True, text=True, timeout=10).stdout
    addresses = {line.split()[3] for line in listening.splitlines()}
    assert addresses == {f"127.0.0.1:{server.port}"}
