"""The main job: read a pH meter over OPC UA, keep a sliding window, average it, append the
statistics to a CSV file, then checkpoint the run into DuckDB, summarise it with SQL, and plot.

Copy this file to start a pipeline of your own: it uses only the corrivan host (`corrivan.run`,
`corrivan.call`) and the payload keys of each op, explained where they are set.

    python examples/ph_pipeline.py --readings 120 --rate 10 --out out
"""

import argparse
import contextlib
import datetime
import math
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import corrivan
import _dornick  # noqa: F401  registers "duckdb_checkpoint_cpp" and "duckdb_sql_cpp"
import _kelvara  # noqa: F401  registers "fifo_window_buffer", "average" and "csv_sink"
import _velmora  # noqa: F401  registers "opcua_ph_source"

DEFAULT_PORT = 4840
ENDPOINT_PATH = "/DezedarIzIvovod"
READING_OPS = ["opcua_ph_source", "fifo_window_buffer", "average", "csv_sink"]


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--readings", type=int, default=120, help="number of readings (120)")
    parser.add_argument("--rate", type=float, default=10.0, help="readings per second (10)")
    parser.add_argument("--out", type=Path, default=Path("out"), help="output folder (out)")
    parser.add_argument(
        "--endpoint",
        help="OPC UA endpoint of a running meter; without it a simulated meter is started",
    )
    return parser.parse_args(argv)


def port_is_free(port):
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def simulated_meter():
    """Starts the simulated pH meter (on the default port when it is free) and stops it on every
    way out. Yields its endpoint."""
    executable = shutil.which("ph_meter_sim", path=os.path.dirname(sys.executable))
    if executable is None:
        raise SystemExit("ph_meter_sim is not installed: run `make build` first")
    port = DEFAULT_PORT if port_is_free(DEFAULT_PORT) else free_port()
    meter = subprocess.Popen(
        [executable, "--port", str(port)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
    )
    try:
        line = meter.stdout.readline()  # the meter says where it listens once it does
        if not line:
            raise SystemExit(f"the simulated pH meter did not start (exit code {meter.wait(5)})")
        yield f"opc.tcp://127.0.0.1:{port}{ENDPOINT_PATH}"
    finally:
        meter.terminate()
        try:
            meter.wait(timeout=5)
        except subprocess.TimeoutExpired:
            meter.kill()
            meter.wait()
        meter.stdout.close()


def progress(done, total, ph, mean, se):
    width = 30
    filled = width * done // total
    bar = "#" * filled + "-" * (width - filled)
    line = f"[{bar}] {done}/{total}  pH {ph:6.3f}  window mean {mean:6.3f} ± {se:.3f}"
    if sys.stdout.isatty():
        print("\r" + line, end="", flush=True)
    elif done == total or done % max(1, total // 10) == 0:
        print(line, flush=True)


def read_meter(endpoint, readings, rate, csv_path):
    """One pipeline run per reading, each on a fresh payload. Returns the readings, the window
    means and their standard errors."""
    history = {"ph": [], "mean": [], "se": []}
    interval = 1.0 / rate if rate > 0 else 0.0
    next_due = time.monotonic()
    for index in range(readings):
        payload = {
            "endpoint": endpoint,  # where "opcua_ph_source" connects; it appends the pH to "values"
            "windowSize": 10,  # "fifo_window_buffer" keeps the last 10 readings ...
            "fifoId": "ph",  # ... in the window named "ph", which lives as long as this process
            "averageMethod": "arithmetic",  # "average" reduces "window" to "mean" and "se"
            "csvPath": str(csv_path),  # "csv_sink" appends the "stats" row to this file
        }
        corrivan.run(READING_OPS, payload)
        ph = payload["opcua_sample"]["pH"]
        history["ph"].append(ph)
        history["mean"].append(payload["mean"])
        history["se"].append(payload["se"])
        progress(index + 1, readings, ph, payload["mean"], payload["se"])
        next_due += interval
        time.sleep(max(0.0, next_due - time.monotonic()))
    if sys.stdout.isatty():
        print()
    return history


def checkpoint_and_summarise(readings, database):
    """Stores the readings as a run in DuckDB and derives a summary table per block of ten."""
    run_id = "demo-" + datetime.datetime.now().strftime("%Y%m%d-%H%M%S-%f")
    payload = corrivan.call(
        "duckdb_checkpoint_cpp",
        {
            "run_id": run_id,  # names the data table (sanitised) and the state row
            "step": "ph",  # the step within the run
            "duckdb_path": str(database),
            "values": readings,  # one row per reading: (idx, value, sample_id)
        },
    )
    # "duckdb_sql_cpp" fills in {in_table} (the payload's "data_table") and {out_table}, runs the
    # SQL, and points "data_table" at the new table.
    payload["out_table"] = payload["data_table"] + "_blocks"
    payload["sql"] = (
        "CREATE TABLE {out_table} AS "
        "SELECT idx // 10 AS block, count(*) AS readings, avg(value) AS mean_ph, "
        "min(value) AS min_ph, max(value) AS max_ph FROM {in_table} GROUP BY block ORDER BY block"
    )
    corrivan.call("duckdb_sql_cpp", payload)
    return run_id, payload["data_table"]


def print_summary_table(database, table):
    import duckdb

    with duckdb.connect(str(database), read_only=True) as connection:
        rows = connection.execute(f"SELECT * FROM {table} ORDER BY block").fetchall()
    print(f"\n{'block':>5} {'readings':>8} {'mean pH':>8} {'min pH':>8} {'max pH':>8}")
    for block, count, mean, low, high in rows:
        print(f"{block:>5} {count:>8} {mean:8.3f} {low:8.3f} {high:8.3f}")


def plot(history, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    index = range(len(history["ph"]))
    low = [m - s for m, s in zip(history["mean"], history["se"])]
    high = [m + s for m, s in zip(history["mean"], history["se"])]
    figure, axes = plt.subplots(figsize=(8, 4), dpi=100)
    axes.plot(index, history["ph"], ".", color="tab:gray", markersize=4, label="pH reading")
    axes.plot(index, history["mean"], color="tab:blue", label="window mean (last 10)")
    axes.fill_between(index, low, high, color="tab:blue", alpha=0.25, label="± standard error")
    axes.set_xlabel("reading index")
    axes.set_ylabel("pH")
    axes.set_title("Simulated pH meter: readings and windowed mean")
    axes.legend(loc="best")
    axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def main(argv=None):
    args = parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    csv_path, database, plot_path = args.out / "ph.csv", args.out / "demo.duckdb", args.out / "ph.png"
    # SIGTERM ends the run like Ctrl-C does, so the meter is stopped either way.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    started = time.monotonic()
    try:
        with contextlib.ExitStack() as stack:
            endpoint = args.endpoint or stack.enter_context(simulated_meter())
            print(f"reading {args.readings} values from {endpoint} at {args.rate:g} per second",
                  flush=True)
            history = read_meter(endpoint, args.readings, args.rate, csv_path)
    except KeyboardInterrupt:
        print("\ninterrupted: the simulated meter is stopped")
        return 130
    duration = time.monotonic() - started
    run_id, summary_table = checkpoint_and_summarise(history["ph"], database)
    print_summary_table(database, summary_table)
    plot(history, plot_path)
    valid = [ph for ph in history["ph"] if not math.isnan(ph)]
    mean_ph = sum(valid) / len(valid) if valid else float("nan")
    print(f"\nCSV of window statistics: {csv_path}")
    print(f"DuckDB database:          {database} (run {run_id}, table {summary_table})")
    print(f"plot:                     {plot_path}")
    print(
        f"{len(history['ph'])} readings, mean pH {mean_ph:.3f}, {duration:.1f} s, "
        f"{len(history['ph']) / duration:.1f} readings per second"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
