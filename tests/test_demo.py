"""The main job's driver, end to end against the simulated meter: CSV, DuckDB and plot."""

import csv
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import duckdb
import pytest
from opcua_servers import running_server

DRIVER = Path(__file__).resolve().parent.parent / "examples" / "ph_pipeline.py"
READINGS = 6


def run_driver(out, endpoint):
    return subprocess.run(
        [sys.executable, str(DRIVER), "--readings", str(READINGS), "--rate", "100",
         "--out", str(out), "--endpoint", endpoint],
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.fixture(scope="module")
def two_runs(tmp_path_factory):
    """The driver run twice into one output folder; returns the folder and both results."""
    out = tmp_path_factory.mktemp("demo") / "out"
    with running_server("ph_meter_sim") as meter:
        results = [run_driver(out, meter.endpoint) for _ in range(2)]
    for result in results:
        assert result.returncode == 0, result.stderr
    return out, results


def test_csv_has_one_header_and_a_stats_line_per_reading(two_runs):
    out, _ = two_runs
    with open(out / "ph.csv", newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["mean", "se", "standardError"]
    assert len(rows) == 1 + 2 * READINGS
    for mean, se, standard_error in rows[1:]:
        assert 6.0 < float(mean) < 8.0 and float(se) >= 0.0 and se == standard_error


def test_database_holds_each_run_its_state_row_and_its_summary(two_runs):
    out, _ = two_runs
    with duckdb.connect(str(out / "demo.duckdb"), read_only=True) as connection:
        states = connection.execute(
            "SELECT run_id, step, data_table FROM pipeline_state ORDER BY run_id").fetchall()
        assert len(states) == 2 and states[0][0] != states[1][0]
        for run_id, step, table in states:
            assert step == "ph"
            rows = connection.execute(f"SELECT idx, value FROM {table} ORDER BY idx").fetchall()
            assert [idx for idx, _ in rows] == list(range(READINGS))
            assert all(6.0 < value < 8.0 for _, value in rows)
            blocks = connection.execute(f"SELECT block, readings FROM {table}_blocks").fetchall()
            assert blocks == [(0, READINGS)]


def test_plot_is_a_png(two_runs):
    out, _ = two_runs
    assert (out / "ph.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_summary_line_reports_the_readings(two_runs):
    _, results = two_runs
    last_line = results[-1].stdout.strip().splitlines()[-1]
    assert last_line.startswith(f"{READINGS} readings, mean pH ")
    mean = float(last_line.split("mean pH ")[1].split(",")[0])
    assert not math.isnan(mean) and 6.0 < mean < 8.0


def test_refused_endpoint_ends_with_the_op_error(tmp_path):
    result = run_driver(tmp_path / "out", "opc.tcp://127.0.0.1:1/DezedarIzIvovod")
    assert result.returncode != 0
    assert "opcua_ph_source_op: connect failed for endpoint opc.tcp://127.0.0.1:1/" in result.stderr


def process_is_gone(pid):
    stat = Path(f"/proc/{pid}/stat")
    return not stat.exists() or stat.read_text().split()[2] == "Z"


def stop_within(driver, seconds):
    """The driver's exit status; when it is still running after `seconds`, fails with the Python
    stack it is stuck in (faulthandler prints it on SIGABRT)."""
    try:
        return driver.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        driver.send_signal(signal.SIGABRT)
        _, stderr = driver.communicate(timeout=10)
        pytest.fail(f"the driver was still running {seconds} s after the signal:\n{stderr}")


@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM])
def test_interrupted_run_stops_the_simulated_meter(tmp_path, stop_signal):
    command = [sys.executable, "-X", "faulthandler", str(DRIVER), "--readings", "100000",
               "--rate", "50", "--out", str(tmp_path)]
    meter = None
    # A job started in the background by a shell without job control (as CI may run us) inherits
    # SIGINT ignored, and the driver, like Python itself, keeps it so: run it as from a terminal.
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as driver:
        try:
            assert driver.stdout.readline().startswith("reading 100000 values from opc.tcp://")
            children = Path(f"/proc/{driver.pid}/task/{driver.pid}/children").read_text().split()
            assert len(children) == 1
            meter = int(children[0])
            driver.send_signal(stop_signal)
            assert stop_within(driver, 30) == 130
            deadline = time.monotonic() + 10
            while not process_is_gone(meter) and time.monotonic() < deadline:
                time.sleep(0.05)
            assert process_is_gone(meter)
        finally:
            driver.kill()
            if meter is not None and not process_is_gone(meter):
                os.kill(meter, signal.SIGKILL)  # never left behind to hold the default port
