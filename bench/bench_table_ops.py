"""Speed of the table-store checkpoint, against a plain Python peer and the floors of a per-call
open.

Run: .venv/bin/python bench/bench_table_ops.py

Every figure is the median of several timed calls on a file in a fresh temporary folder. The
floors are measured twice: with the `duckdb` Python package, and with the DuckDB library that
ships beside our modules (its C API, called through ctypes, so no Python package is involved).
"""

import ctypes
import json
import statistics
import tempfile
import time
from pathlib import Path

import duckdb
import numpy

import corrivan
import _dornick

SMALL = 10
LARGE = 10**6
SMALL_REPEATS = 30
LARGE_REPEATS = 5

DATA_TABLE_STATEMENT = (
    "CREATE TABLE IF NOT EXISTS {table} (idx BIGINT, value DOUBLE, sample_id BIGINT);"
)
STATE_TABLE_STATEMENT = (
    "CREATE TABLE IF NOT EXISTS pipeline_state (  run_id       TEXT,  step         TEXT,"
    "  duckdb_path  TEXT,  data_table   TEXT,  payload_json TEXT);"
)
STATE_INSERT = (
    "INSERT INTO pipeline_state (run_id, step, duckdb_path, data_table, payload_json) "
    "VALUES (?, ?, ?, ?, ?);"
)


def median_seconds(call, repeats):
    call()  # warm-up: first use of the file and of any lazily loaded code
    timings = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        timings.append(time.perf_counter() - start)
    return statistics.median(timings)


def op_checkpoint(path, values):
    corrivan.call(
        "duckdb_checkpoint_cpp",
        {"run_id": "bench", "step": "C", "values": values, "sample_id": 1, "duckdb_path": path},
    )


def peer_checkpoint(path, values):
    """The same work with the Python package: one connection per call, one transaction."""
    payload = {"run_id": "bench", "step": "C", "values": values, "sample_id": 1,
               "duckdb_path": path}
    table = "data_bench_C"
    snapshot = json.dumps({key: value for key, value in payload.items() if key != "values"})
    samples = numpy.asarray(payload["values"], dtype=numpy.float64)
    batch = {
        "idx": numpy.arange(len(samples), dtype=numpy.int64),
        "value": samples,
        "sample_id": numpy.full(len(samples), payload["sample_id"], dtype=numpy.int64),
    }
    connection = duckdb.connect(path)
    try:
        connection.begin()
        connection.execute(DATA_TABLE_STATEMENT.format(table=table))
        connection.register("batch", batch)
        connection.execute(f"INSERT INTO {table} SELECT idx, value, sample_id FROM batch")
        connection.execute(STATE_TABLE_STATEMENT)
        connection.execute(STATE_INSERT, ["bench", "C", path, table, snapshot])
        connection.commit()
    finally:
        connection.close()
    del payload["values"]
    payload.update(duckdb_path=path, data_table=table)


def python_open_close(path):
    duckdb.connect(path).close()


def python_one_row_insert(path):
    connection = duckdb.connect(path)
    try:
        connection.execute("INSERT INTO floor VALUES (1)")
    finally:
        connection.close()


def shipped_library():
    library = ctypes.CDLL(str(Path(_dornick.__file__).parent / ".dylibs" / "libduckdb.so"))
    library.duckdb_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
    library.duckdb_connect.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)]
    library.duckdb_disconnect.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
    library.duckdb_close.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
    library.duckdb_query.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    library.duckdb_destroy_result.argtypes = [ctypes.c_void_p]
    return library


def native_session(library, path, statement=None):
    database = ctypes.c_void_p()
    connection = ctypes.c_void_p()
    if library.duckdb_open(path.encode(), ctypes.byref(database)) != 0:
        raise RuntimeError(f"cannot open {path}")
    try:
        if library.duckdb_connect(database, ctypes.byref(connection)) != 0:
            raise RuntimeError("cannot connect")
        try:
            if statement is not None:
                result = ctypes.create_string_buffer(256)  # larger than duckdb_result
                state = library.duckdb_query(connection, statement.encode(), result)
                library.duckdb_destroy_result(result)
                if state != 0:
                    raise RuntimeError(f"{statement} failed")
        finally:
            library.duckdb_disconnect(ctypes.byref(connection))
    finally:
        library.duckdb_close(ctypes.byref(database))


def main():
    library = shipped_library()
    small_values = [float(i) / 3 for i in range(SMALL)]
    large_values = [float(i) / 3 for i in range(LARGE)]
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        def fresh(name):
            return str(Path(folder) / f"{name}.duckdb")

        def add(name, seconds, samples=None):
            rows.append((name, seconds, samples))

        op_small = fresh("op_small")
        add("checkpoint, C++ op, 10 samples",
            median_seconds(lambda: op_checkpoint(op_small, small_values), SMALL_REPEATS), SMALL)
        peer_small = fresh("peer_small")
        add("checkpoint, Python peer, 10 samples",
            median_seconds(lambda: peer_checkpoint(peer_small, small_values), SMALL_REPEATS),
            SMALL)
        op_large = fresh("op_large")
        add("checkpoint, C++ op, 10^6 samples",
            median_seconds(lambda: op_checkpoint(op_large, large_values), LARGE_REPEATS), LARGE)
        peer_large = fresh("peer_large")
        add("checkpoint, Python peer, 10^6 samples",
            median_seconds(lambda: peer_checkpoint(peer_large, large_values), LARGE_REPEATS),
            LARGE)

        floor = fresh("floor")
        duckdb.connect(floor).execute("CREATE TABLE floor (x INTEGER)").close()
        add("open + close, Python package",
            median_seconds(lambda: python_open_close(floor), SMALL_REPEATS))
        add("open + close, shipped library",
            median_seconds(lambda: native_session(library, floor), SMALL_REPEATS))
        add("open + 1-row INSERT + close, Python package",
            median_seconds(lambda: python_one_row_insert(floor), SMALL_REPEATS))
        add("open + 1-row INSERT + close, shipped library",
            median_seconds(
                lambda: native_session(library, floor, "INSERT INTO floor VALUES (1)"),
                SMALL_REPEATS))

    print(f"{'what (median of timed calls)':<46} {'ms/call':>9} {'calls/s':>9} {'rows/s':>12}")
    for name, seconds, samples in rows:
        per_second = f"{samples / seconds:>12,.0f}" if samples else f"{'':>12}"
        print(f"{name:<46} {seconds * 1e3:>9.2f} {1 / seconds:>9.1f} {per_second}")
    by_name = {name: seconds for name, seconds, _ in rows}
    small_floor = by_name["open + 1-row INSERT + close, shipped library"]
    print(
        "\n10-sample checkpoint / small-call floor (shipped library): "
        f"{by_name['checkpoint, C++ op, 10 samples'] / small_floor:.2f} (goal: at most 1.5)"
    )


if __name__ == "__main__":
    main()
