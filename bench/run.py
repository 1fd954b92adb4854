"""Every op beside its Python peer and its floor, in one run: `make bench`.

    .venv/bin/python bench/run.py [--out out/bench] [--quick] [--only TEXT] [--check]

For each case: the median time per call of our op through the host, of the Python peer
(bench/peers/) doing the same work in this process, and of the floor (an op of _bench_floors, the
least work any implementation must do, through the same host); then peer / ours and ours / floor.
Before any timing, each peer's result is checked against our op's on the benchmark input.

Rounds are interleaved: every round times a batch of ours, of the peer and of the floor, in an
order that turns each round, so that a change in the machine's load falls on all three alike.
Each batch gets fresh payloads made beforehand, and its results are freed after its clock stops.
Writes table.txt, results.json and cost.png (cost against input size, log-log) into --out.
With --check, only the peers' results are checked and every contestant called once: no timing.
"""

import argparse
import gc
import json
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from functools import partial
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = ROOT / os.environ.get("TARNWELL_BUILD_DIR", "build/main")
# The floors module stays in the build tree, as the test-only ops do.
sys.path.insert(0, str(BUILD_DIR / "bench"))
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "bench"))

import corrivan  # noqa: E402
import _kelvara  # noqa: E402,F401  (each import registers its ops)
import _dornick  # noqa: E402,F401
import _velmora  # noqa: E402,F401
import _bench_floors  # noqa: E402,F401
import duckdb  # noqa: E402

from opcua_servers import free_port, running_server  # noqa: E402
from peers import average as average_peer  # noqa: E402
from peers import csv_sink as csv_peer  # noqa: E402
from peers import opcua as opcua_peer  # noqa: E402
from peers import tables as table_peer  # noqa: E402
from peers import window as window_peer  # noqa: E402

METHODS = ("arithmetic", "weighted", "harmonic", "geometric")


class Contestant:
    """A callable taking one payload, and the factory of a fresh payload for each call."""

    def __init__(self, label, function, make_payload):
        self.label = label
        self.function = function
        self.make_payload = make_payload


class Case:
    def __init__(self, name, ours, peer=None, floor=None, *, family=None, size=None, goals=(),
                 floor_label=""):
        self.name = name
        self.ours = ours
        self.peer = peer
        self.floor = floor
        self.family = family  # sized cases of one family share a line in the plot
        self.size = size
        self.goals = goals  # (kind, bound) pairs, see judge()
        self.floor_label = floor_label


def host_op(name):
    return partial(corrivan.call, name)


def host_ops(*names):
    return partial(corrivan.run, list(names))


def time_batch(function, payloads):
    gc.collect()
    gc.disable()  # as timeit does: a collection would land in whichever batch it happens to hit
    try:
        start = time.perf_counter()
        for payload in payloads:
            function(payload)
        return (time.perf_counter() - start) / len(payloads)
    finally:
        gc.enable()


def measure(case, rounds, batch_seconds):
    """Median seconds per call of each contestant, from interleaved rounds."""
    contestants = [c for c in (case.ours, case.peer, case.floor) if c is not None]
    sizes = []
    for contestant in contestants:
        # Warm-up (first use of files and code), which also sizes the batches.
        per_call = time_batch(contestant.function, [contestant.make_payload()])
        per_call = min(per_call, time_batch(contestant.function,
                                            [contestant.make_payload() for _ in range(3)]))
        sizes.append(max(1, min(20000, round(batch_seconds / per_call))))
    times = [[] for _ in contestants]
    for turn in range(rounds):
        for offset in range(len(contestants)):
            index = (turn + offset) % len(contestants)
            contestant = contestants[index]
            payloads = [contestant.make_payload() for _ in range(sizes[index])]
            times[index].append(time_batch(contestant.function, payloads))
            del payloads
    medians = {c.label: statistics.median(t) for c, t in zip(contestants, times)}
    spreads = {c.label: (max(t) - min(t)) / statistics.median(t) for c, t in zip(contestants, times)}
    return medians, spreads


def judge(goal, ours, peer, floor):
    kind, bound = goal
    if kind == "faster_than_peer":
        value, met, text = peer / ours, peer / ours >= bound, f"peer/ours >= {bound:g}"
    elif kind == "near_floor":
        value, met, text = ours / floor, ours / floor <= bound, f"ours/floor <= {bound:g}"
    elif kind == "at_most_ms":
        value, met, text = ours * 1e3, ours * 1e3 <= bound, f"ours <= {bound:g} ms"
    else:
        raise ValueError(kind)
    return {"goal": text, "value": value, "met": bool(met)}


def same_floats(a, b, rel=1e-9):
    return math.isclose(a, b, rel_tol=rel, abs_tol=1e-300)


def fail(case, detail):
    raise SystemExit(f"bench: the peer of '{case}' does not give our op's result: {detail}")


# ---------------------------------------------------------------------------- the cases


def window_cases(rng):
    cases = []
    for name, chunk, size, max_goal in (("window, 1 sample into 10", 1, 10, None),
                                        ("window, 1,000 into 100,000", 1000, 100_000, None)):
        chunks = [[rng.uniform(6.0, 8.0) for _ in range(chunk)] for _ in range(257)]

        def feeder(fifo_id, chunks=chunks, size=size):
            position = iter(range(10**12))
            return lambda: {"values": chunks[next(position) % len(chunks)], "windowSize": size,
                            "fifoId": fifo_id}

        # Same input, same windows: checked call by call, over more than a full window.
        ours_feed, peer_feed = feeder(f"check-{uuid.uuid4().hex}"), feeder(f"check-{uuid.uuid4().hex}")
        for _ in range(size // chunk + 3):
            ours = corrivan.call("fifo_window_buffer", ours_feed())
            peer = peer_feed()
            window_peer.fifo_window_buffer(peer)
            if ours["window"] != peer["window"]:
                fail(name, "windows differ")

        ours_feed, peer_feed = feeder(f"bench-{uuid.uuid4().hex}"), feeder(f"bench-{uuid.uuid4().hex}")
        for _ in range(size // chunk + 1):  # full windows before the clock starts
            corrivan.call("fifo_window_buffer", ours_feed())
            window_peer.fifo_window_buffer(peer_feed())
        if chunk == 1:
            floor = Contestant("floor", host_op("floor_empty"), dict)
            goals = (("faster_than_peer", 3), ("near_floor", 2))
            floor_label = "empty op through the host"
        else:
            floor = Contestant("floor", host_op("floor_build_floats"), lambda size=size: {"n": size})
            goals = (("near_floor", 1.5),)
            floor_label = f"building a list of {size:,} floats"
        if chunk == 1:
            # The least any window op must do here: read the keys, make the result list.
            cases.append(Case("window, 1 into 10: Python side alone", None, None,
                              Contestant("floor", host_op("floor_window_python_side"), ours_feed),
                              floor_label="reading the 4 payload keys, a new list of 10 floats "
                                          "kept from earlier calls, stored as \"window\""))
            cases.append(Case(f"building a list of {size} new floats", None, None,
                              Contestant("floor", host_op("floor_build_floats"),
                                         lambda size=size: {"n": size}),
                              floor_label="the result made of new float objects"))
        cases.append(Case(name, Contestant("ours", host_op("fifo_window_buffer"), ours_feed),
                          Contestant("peer", window_peer.fifo_window_buffer, peer_feed), floor,
                          family="window", size=size, goals=goals, floor_label=floor_label))
    return cases


def average_cases(rng, sizes):
    cases = []
    for size in sizes:
        samples = [rng.uniform(6.0, 8.0) for _ in range(size)]
        for method in METHODS:
            name = f"average {method}, {size:,} floats"
            ours = corrivan.call("average", {"window": samples, "averageMethod": method})
            peer = {"window": samples}
            average_peer.METHODS[method](peer)
            for key in ("mean", "se"):
                if not same_floats(ours[key], peer[key]):
                    fail(name, f"{key}: {ours[key]!r} != {peer[key]!r}")
            goals = (("faster_than_peer", 1.5), ("near_floor", 1.3)) if size == 10**6 else ()
            cases.append(Case(
                name,
                Contestant("ours", host_op("average"),
                           lambda s=samples, m=method: {"window": s, "averageMethod": m}),
                Contestant("peer", average_peer.METHODS[method], lambda s=samples: {"window": s}),
                Contestant("floor", host_op("floor_read_floats"), lambda s=samples: {"values": s}),
                family=f"average {method}", size=size, goals=goals,
                floor_label=f"reading a list of {size:,} floats"))
    return cases


def csv_cases(folder):
    stats = {"mean": 7.1, "se": 0.02, "standardError": 0.02}
    check = {}
    for who, run in (("ours", host_op("csv_sink")), ("peer", csv_peer.csv_sink)):
        path = str(Path(folder) / f"check-{who}" / "stats.csv")
        for _ in range(2):
            payload = {"csvPath": path, "stats": dict(stats)}
            result = run(payload)
            if who == "peer":
                result = payload
        check[who] = (Path(path).read_bytes(), result["status"].replace(path, "PATH"))
    if check["ours"] != check["peer"]:
        fail("csv", f"{check['ours']!r} != {check['peer']!r}")
    line = "7.1,0.02,0.02\n"
    paths = {who: str(Path(folder) / f"{who}.csv") for who in ("ours", "peer", "floor")}
    return [Case(
        "CSV sink, one stats row",
        Contestant("ours", host_op("csv_sink"),
                   lambda: {"csvPath": paths["ours"], "stats": stats}),
        Contestant("peer", csv_peer.csv_sink, lambda: {"csvPath": paths["peer"], "stats": stats}),
        Contestant("floor", host_op("floor_append_line"),
                   lambda: {"csvPath": paths["floor"], "line": line}),
        goals=(("faster_than_peer", 2),), floor_label="POSIX open + append + close")]


def table_rows(path, query):
    connection = duckdb.connect(path, read_only=True)
    try:
        return connection.execute(query).fetchall()
    finally:
        connection.close()


def same_tables(path_a, path_b, table):
    connection = duckdb.connect()
    try:
        connection.execute(f"ATTACH '{path_a}' AS a (READ_ONLY)")
        connection.execute(f"ATTACH '{path_b}' AS b (READ_ONLY)")
        count_a, count_b = (connection.execute(f"SELECT count(*) FROM {db}.{table}").fetchone()[0]
                            for db in ("a", "b"))
        differ = connection.execute(
            f"SELECT count(*) FROM (SELECT * FROM a.{table} EXCEPT ALL SELECT * FROM b.{table})"
        ).fetchone()[0]
        return count_a == count_b and differ == 0
    finally:
        connection.close()


def checkpoint_cases(rng, folder, sizes):
    def payload(path, samples):
        return {"run_id": "bench", "step": "C", "values": samples, "sample_id": 1,
                "duckdb_path": path}

    # The floors' tables: one INTEGER column, and the two shapes the checkpoint writes.
    floor_path = str(Path(folder) / "floor.duckdb")
    connection = duckdb.connect(floor_path)
    connection.execute("CREATE TABLE floor (x INTEGER)")
    connection.execute("CREATE TABLE floor_data (idx BIGINT, value DOUBLE, sample_id BIGINT)")
    connection.execute("CREATE TABLE floor_state (run_id TEXT, step TEXT, duckdb_path TEXT, "
                       "data_table TEXT, payload_json TEXT)")
    connection.close()

    def sql_text(text):
        return "'" + text.replace("'", "''") + "'"

    def floor_statements(*statements):
        return Contestant("floor", host_op("floor_duckdb_statements"),
                          lambda: {"duckdb_path": floor_path, "statements": list(statements)})

    # The state row of a 10-sample checkpoint, as the op writes it.
    state_path = str(Path(folder) / "ours-10.duckdb")
    state_json = json.dumps({key: value for key, value in payload(state_path, []).items()
                             if key != "values"})
    state_row = ("INSERT INTO floor_state VALUES ('bench', 'C', " + sql_text(state_path)
                 + ", 'data_bench_C', " + sql_text(state_json) + ")")

    cases = []
    for size in sizes:
        samples = [rng.uniform(6.0, 8.0) for _ in range(size)]
        name = f"checkpoint, {size:,} samples"
        paths = {who: str(Path(folder) / f"check-{size}-{who}" / "run.duckdb")
                 for who in ("ours", "peer")}
        results = {}
        for who, path in paths.items():
            Path(path).parent.mkdir()
            result = payload(path, samples)
            if who == "ours":
                result = corrivan.call("duckdb_checkpoint_cpp", result)
            else:
                table_peer.checkpoint(result)
            results[who] = {key: str(value).replace(path, "PATH") for key, value in result.items()}
            results[who]["state"] = [tuple(str(v).replace(path, "PATH") for v in row) for row in
                                     table_rows(path, "SELECT * FROM pipeline_state")]
        if results["ours"] != results["peer"]:
            fail(name, f"{results['ours']} != {results['peer']}")
        if not same_tables(paths["ours"], paths["peer"], "data_bench_C"):
            fail(name, "data tables differ")

        ours_path, peer_path = (str(Path(folder) / f"{who}-{size}.duckdb") for who in ("ours", "peer"))
        if size <= 1000:
            floor = floor_statements(state_row)
            goals = (("near_floor", 1.5),)
            floor_label = ("open + one committed one-row INSERT + close: the state row into a "
                           "table of its five TEXT columns")
        else:
            store_path = str(Path(folder) / f"floor-{size}.duckdb")
            floor = Contestant("floor", host_op("floor_duckdb_store"),
                               lambda s=samples: {"values": s, "duckdb_path": store_path})
            goals = (("faster_than_peer", 2),)
            floor_label = (f"reading {size:,} floats, then DuckDB storing them from C++: open, "
                           "CREATE, appender fed whole vectors, COMMIT, close")
        cases.append(Case(
            name,
            Contestant("ours", host_op("duckdb_checkpoint_cpp"),
                       lambda p=ours_path, s=samples: payload(p, s)),
            Contestant("peer", table_peer.checkpoint, lambda p=peer_path, s=samples: payload(p, s)),
            floor, family="checkpoint", size=size, goals=goals, floor_label=floor_label))

    # The SQL step over a small stored table.
    statement = ("CREATE OR REPLACE TABLE {out_table} AS SELECT sample_id, count(*) AS n, "
                 "avg(value) AS mean FROM {in_table} GROUP BY sample_id")
    paths = {}
    for who in ("ours", "peer"):
        paths[who] = str(Path(folder) / f"sql-{who}.duckdb")
        corrivan.call("duckdb_checkpoint_cpp", payload(paths[who], [1.0, 2.0, 4.0]))

    def sql_payload(who):
        return {"duckdb_path": paths[who], "data_table": "data_bench_C", "sql": statement,
                "out_table": "blocks"}

    ours, peer = corrivan.call("duckdb_sql_cpp", sql_payload("ours")), sql_payload("peer")
    table_peer.sql(peer)
    if (ours["data_table"] != peer["data_table"]
            or not same_tables(paths["ours"], paths["peer"], "blocks")):
        fail("sql", "output tables differ")
    cases.append(Case(
        "SQL, small CREATE TABLE AS",
        Contestant("ours", host_op("duckdb_sql_cpp"), partial(sql_payload, "ours")),
        Contestant("peer", table_peer.sql, partial(sql_payload, "peer")),
        floor_statements("INSERT INTO floor VALUES (1)"),
        floor_label="open + one committed one-row INSERT + close"))
    cases.append(Case(
        "DuckDB one row into one INTEGER column", None, None,
        floor_statements("INSERT INTO floor VALUES (1)"),
        floor_label="open + one committed one-row INSERT + close: the least a table change costs"))
    cases.append(Case(
        "DuckDB the checkpoint's 2 tables, 1 row each", None, None,
        floor_statements("BEGIN TRANSACTION", "INSERT INTO floor_data VALUES (0, 7.0, 1)",
                         state_row, "COMMIT"),
        floor_label="open + one transaction inserting one row into each of the checkpoint's two "
                    "table shapes + close"))
    cases.append(Case(
        "DuckDB open + close of the file",
        None, None,
        Contestant("floor", host_op("floor_duckdb_open_close"),
                   lambda: {"duckdb_path": floor_path}),
        floor_label="duckdb::DuckDB open and close alone"))
    return cases


def refused(function):
    def call(payload):
        try:
            function(payload)
        except (RuntimeError, OSError):
            return
        raise AssertionError("a connect to a closed port succeeded")
    return call


def opcua_cases(endpoint):
    ours = corrivan.call("opcua_ph_source", {"endpoint": endpoint})
    peer = {"endpoint": endpoint}
    opcua_peer.opcua_ph_source(peer)
    if ours != peer:
        fail("opcua", f"{ours} != {peer}")
    closed = f"opc.tcp://127.0.0.1:{free_port()}/DezedarIzIvovod"
    return [
        Case("OPC UA source, successful call",
             Contestant("ours", host_op("opcua_ph_source"), lambda: {"endpoint": endpoint}),
             Contestant("peer", opcua_peer.opcua_ph_source, lambda: {"endpoint": endpoint}),
             Contestant("floor", host_op("floor_opcua_cycle"), lambda: {"endpoint": endpoint}),
             goals=(("at_most_ms", 2.5), ("faster_than_peer", 10)),
             floor_label="connect, 2 reads, disconnect on a client kept warm"),
        Case("OPC UA source, refused connect",
             Contestant("ours", refused(host_op("opcua_ph_source")), lambda: {"endpoint": closed}),
             Contestant("peer", refused(opcua_peer.opcua_ph_source), lambda: {"endpoint": closed}),
             goals=(("at_most_ms", 2),)),
        Case("OPC UA one read, session kept open",
             None, None,
             Contestant("floor", host_op("floor_opcua_read"), lambda: {"endpoint": endpoint}),
             floor_label="one request's round trip"),
    ]


# ---------------------------------------------------------------------------- the report


def duration(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b is not None else "-"


def render(rows):
    width = max(len(row["case"]) for row in rows)
    header = (f"{'case':<{width}} {'ours':>9} {'peer':>9} {'floor':>9} {'peer/ours':>9} "
              f"{'ours/floor':>10}  goals")
    lines = [header, "-" * len(header)]
    for row in rows:
        goals = "; ".join(f"{g['goal']}: {'met' if g['met'] else 'NOT met'}"
                          for g in row["goals"])
        lines.append(
            f"{row['case']:<{width}} {duration(row['ours']):>9} {duration(row['peer']):>9} "
            f"{duration(row['floor']):>9} {ratio(row['peer'], row['ours']):>9} "
            f"{ratio(row['ours'], row['floor']):>10}  {goals}")
    lines.append("")
    lines.append("floors:")
    for row in rows:
        if row["floor_label"]:
            lines.append(f"  {row['case']}: {row['floor_label']}")
    return "\n".join(lines)


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    families = {}
    for row in rows:
        if row["family"]:
            families.setdefault(row["family"], []).append(row)
    panels = [("window", [f for f in families if f == "window"]),
              ("average", [f for f in families if f.startswith("average")]),
              ("checkpoint", [f for f in families if f == "checkpoint"])]
    figure, axes = plt.subplots(1, len(panels), figsize=(15, 4.8))
    for axis, (title, names) in zip(axes, panels):
        floor_drawn = False
        for index, name in enumerate(names):
            sized = sorted(families[name], key=lambda row: row["size"])
            sizes = [row["size"] for row in sized]
            color = f"C{index}"
            method = name.replace("average ", "") + ": " if title == "average" else ""
            axis.plot(sizes, [row["ours"] for row in sized], "o-", color=color,
                      label=f"{method}ours")
            axis.plot(sizes, [row["peer"] for row in sized], "s--", color=color, alpha=0.6,
                      label=f"{method}peer")
            if not floor_drawn:
                # The read floor grows with the input; the other panels set floors of different
                # kinds side by side (see the table), so their points stay unjoined.
                same_kind = title == "average"
                axis.plot(sizes, [row["floor"] for row in sized], "k^",
                          linestyle=":" if same_kind else "none",
                          label="floor" if same_kind else "floor of each case")
                floor_drawn = same_kind  # one read floor serves every method
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_title(title)
        axis.set_xlabel("window size" if title == "window" else "samples")
        axis.set_ylabel("seconds per call (median)")
        axis.grid(True, which="both", alpha=0.3)
        if axis.get_legend_handles_labels()[0]:
            axis.legend(fontsize=7)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def core_compute(quick):
    """The signal core alone, without Python: tarnwell::average over 10^6 samples per method."""
    program = BUILD_DIR / "bench" / "bench_core"
    if quick or not program.exists():
        return {}
    completed = subprocess.run(
        [str(program), "--benchmark_filter=bench_average/.*/1000000",
         "--benchmark_format=json"], capture_output=True, text=True, check=True, timeout=120)
    medians = {}
    for benchmark in json.loads(completed.stdout)["benchmarks"]:
        if benchmark.get("aggregate_name") == "median":
            method = benchmark["run_name"].split("/")[1]
            medians[method] = benchmark["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}[
                benchmark["time_unit"]]
    return medians


def all_cases():
    """Every case, built in turn (building a case checks its peer against our op). The folder
    and the simulator the cases use live until the last case has been taken."""
    rng = random.Random(7)
    with tempfile.TemporaryDirectory() as folder, \
            running_server("ph_meter_sim", "--ph", "7.0", "--temperature", "25.0") as server:
        yield from window_cases(rng)
        yield from average_cases(rng, (10, 1000, 10**6))
        yield from csv_cases(folder)
        yield from checkpoint_cases(rng, folder, (10, 10**6))
        yield from opcua_cases(server.endpoint)
        corrivan.call("floor_opcua_close", {})


def check_cases():
    """Every peer checked against our op; each contestant then runs once."""
    count = 0
    for case in all_cases():
        for contestant in (case.ours, case.peer, case.floor):
            if contestant is not None:
                contestant.function(contestant.make_payload())
        count += 1
    print(f"bench check: {count} cases, every peer gives our op's result")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default="out/bench")
    parser.add_argument("--quick", action="store_true", help="fewer rounds, no core benchmark")
    parser.add_argument("--only", default="", help="run only cases whose name contains this")
    parser.add_argument("--check", action="store_true",
                        help="check the peers against our ops and call every contestant once")
    options = parser.parse_args()
    if options.check:
        check_cases()
        return
    out = Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    rounds = 5 if options.quick else 9
    batch_seconds = 0.01 if options.quick else 0.02

    started = time.perf_counter()
    load_before = os.getloadavg()
    rows = []
    for case in all_cases():
        if options.only not in case.name:
            continue
        medians, spreads = measure(case, rounds, batch_seconds)
        ours, peer, floor = (medians.get(k) for k in ("ours", "peer", "floor"))
        row = {"case": case.name, "family": case.family, "size": case.size,
               "ours": ours, "peer": peer, "floor": floor, "spread": spreads,
               "floor_label": case.floor_label,
               "goals": [judge(g, ours, peer, floor) for g in case.goals]}
        rows.append(row)
        print(render([row]).splitlines()[2], flush=True)
    core = core_compute(options.quick)
    load_after = os.getloadavg()
    elapsed = time.perf_counter() - started

    table = render(rows)
    notes = [f"median of {rounds} interleaved rounds per case; {elapsed:.0f} s in all; "
             f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after "
             f"({os.cpu_count()} cores)"]
    if core:
        notes.append("signal core alone (no Python), 10^6 samples: " + ", ".join(
            f"{method} {duration(seconds)}" for method, seconds in core.items()))
    text = "\n".join([table, ""] + notes)
    print()
    print(text)
    (out / "table.txt").write_text(text + "\n")
    (out / "results.json").write_text(json.dumps({
        "rounds": rounds, "seconds": elapsed, "load_before": load_before,
        "load_after": load_after, "cores": os.cpu_count(), "machine": platform.platform(),
        "core_compute_seconds": core, "rows": rows}, indent=2) + "\n")
    if any(row["family"] for row in rows):
        plot(rows, out / "cost.png")
    print(f"\nwritten: {out / 'table.txt'}, {out / 'results.json'}, {out / 'cost.png'}")


if __name__ == "__main__":
    main()
