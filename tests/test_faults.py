"""Faults from outside the ops: a read-only or full file system, a database that runs out of
room in the middle of a large append, OPC UA servers that die or talk nonsense, and the window
store hit from several threads at once. Each fault ends in the op's documented exception, with
files, tables and the payload as they were, and the process alive.

Faults covered where the op is tested: a CSV path that is a directory and a file size limit in
the middle of a line (test_csv_sink.py); a database locked by another process and a corrupt
database file (test_checkpoint.py, test_sql_op.py); an OPC UA server killed between calls and one
that accepts and stays mute (test_opcua_source.py)."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from opcua_servers import free_port, start_server
from peer_processes import peer_environment

NAMESPACE_TIMEOUT = 120


def in_private_mounts(folder, *code):
    """Runs `code` in a fresh interpreter inside a mount namespace of its own, where it may
    mount file systems under `folder` (given to the code as FOLDER) without touching the
    machine's mounts. Returns the JSON the code prints last. Skips where mount namespaces are not
    allowed."""
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not installed")
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, env=peer_environment())
    if probe.returncode != 0:
        pytest.skip("no mount namespaces here: " + probe.stderr.decode(errors="replace").strip())
    prelude = textwrap.dedent(f"""
        import json, os, subprocess, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from peer_processes import peer_environment
        FOLDER = {str(folder)!r}

        def mount(*options):
            subprocess.run(["mount", *options], check=True, env=peer_environment())
    """)
    result = subprocess.run(
        ["unshare", "-m", "--propagation", "private", sys.executable, "-c",
         prelude + "".join(textwrap.dedent(part) for part in code)],
        capture_output=True, text=True, timeout=NAMESPACE_TIMEOUT)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


# --- CSV sink

CALL_SINK = """
    import corrivan, _kelvara

    def sink(payload):
        try:
            corrivan.call("csv_sink", payload)
            return ["ok", payload.get("status")]
        except Exception as error:
            return [type(error).__name__, str(error), sorted(payload)]
"""


def test_csv_sink_on_a_read_only_folder(tmp_path):
    outcome = in_private_mounts(tmp_path, CALL_SINK, """
        mount("-t", "tmpfs", "-o", "size=64k", "tmpfs", FOLDER)
        existing = os.path.join(FOLDER, "existing.csv")
        with open(existing, "wb") as file:
            file.write(b"x\\n1\\n")
        mount("-o", "remount,ro", FOLDER)
        row = {"x": 2}
        print(json.dumps({
            "existing": sink({"csvPath": existing, "data": row}),
            "new": sink({"csvPath": os.path.join(FOLDER, "new.csv"), "data": row}),
            "new_folder": sink({"csvPath": os.path.join(FOLDER, "sub", "new.csv"), "data": row}),
            "content": open(existing, "rb").read().decode(),
            "listing": sorted(os.listdir(FOLDER)),
        }))
    """)
    failed = "csv_sink_op: failed to open file: "
    keys = ["csvPath", "data"]
    assert outcome == {
        "existing": ["RuntimeError", failed + f"{tmp_path}/existing.csv", keys],
        "new": ["RuntimeError", failed + f"{tmp_path}/new.csv", keys],
        "new_folder": ["RuntimeError", failed + f"{tmp_path}/sub/new.csv", keys],
        "content": "x\n1\n",
        "listing": ["existing.csv"],
    }


def test_csv_sink_on_a_full_file_system(tmp_path):
    # tmpfs counts whole pages: a short line still fits into the file's last page, a long one
    # gets part of its text written (a short write) and must be cut back.
    outcome = in_private_mounts(tmp_path, CALL_SINK, """
        mount("-t", "tmpfs", "-o", "size=64k", "tmpfs", FOLDER)
        path = os.path.join(FOLDER, "out.csv")
        first = sink({"csvPath": path, "data": {"x": 1}})
        with open(os.path.join(FOLDER, "filler"), "wb", buffering=0) as filler:
            try:
                while True:
                    filler.write(b"\\0" * 4096)
            except OSError as error:
                full = error.strerror
        short = sink({"csvPath": path, "data": {"x": 2}})
        long = sink({"csvPath": path, "data": {"x": "y" * 10000}})
        new = sink({"csvPath": os.path.join(FOLDER, "new.csv"), "data": {"x": 3}})
        print(json.dumps({
            "full": full, "first": first, "short": short, "long": long, "new": new,
            "content": open(path, "rb").read().decode(),
            "new_content": open(os.path.join(FOLDER, "new.csv"), "rb").read().decode(),
        }))
    """)
    path = f"{tmp_path}/out.csv"
    keys = ["csvPath", "data"]
    assert outcome == {
        "full": "No space left on device",
        "first": ["ok", f"handled via csv://{path}"],
        "short": ["ok", f"handled via csv://{path}"],
        "long": ["RuntimeError", f"csv_sink_op: failed to write file: {path}", keys],
        "new": ["RuntimeError", f"csv_sink_op: failed to write file: {tmp_path}/new.csv", keys],
        "content": "x\n1\n2\n",
        "new_content": "",
    }


# --- checkpoint

CHECKPOINT_ON_A_SMALL_FILE_SYSTEM = """
    import shutil
    import corrivan, _dornick

    def checkpoint(payload):
        try:
            corrivan.call("duckdb_checkpoint_cpp", payload)
            return "ok"
        except Exception as error:
            return [type(error).__name__, str(error)]

    def counts(path):
        # Read back by a peer process with the room restored.
        query = ("import duckdb, json, sys; c = duckdb.connect(sys.argv[1], read_only=True); "
                 "print(json.dumps([c.execute(f'SELECT count(*) FROM {t}').fetchone()[0] "
                 "for t in ('data_r_C', 'pipeline_state')]))")
        result = subprocess.run([sys.executable, "-c", query, path], capture_output=True,
                                text=True, env=peer_environment())
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout)

    mount("-t", "tmpfs", "-o", "size=64m", "tmpfs", FOLDER)
    path = os.path.join(FOLDER, "work.duckdb")
    first = checkpoint({"run_id": "r", "values": [9.0], "duckdb_path": path})
    used = shutil.disk_usage(FOLDER).used
    # Room for about 256 KiB more: far less than the 1,000,000 rows below need.
    mount("-o", f"remount,size={used + 256 * 1024}", FOLDER)
    values = [float(i) for i in range(1_000_000)]
    payload = {"run_id": "r", "values": values, "duckdb_path": path, "note": "big"}
    big = checkpoint(payload)
    unchanged = payload == {"run_id": "r", "values": values, "duckdb_path": path,
                            "note": "big"} and payload["values"] is values
    mount("-o", "remount,size=64m", FOLDER)
    after_failure = counts(path)
    again = checkpoint({"run_id": "r", "values": [1.0, 2.0], "duckdb_path": path})
    print(json.dumps({"first": first, "big": big, "unchanged": unchanged,
                      "after_failure": after_failure, "again": again,
                      "after_again": counts(path)}))
"""


def test_checkpoint_runs_out_of_room_in_a_large_append(tmp_path):
    outcome = in_private_mounts(tmp_path, CHECKPOINT_ON_A_SMALL_FILE_SYSTEM)
    kind, message = outcome.pop("big")
    assert kind == "RuntimeError"
    assert message.startswith("duckdb_checkpoint_cpp failed: ")
    assert "No space left on device" in message
    assert outcome == {"first": "ok", "unchanged": True, "after_failure": [1, 1],
                       "again": "ok", "after_again": [3, 2]}


# --- OPC UA source

CONNECT_FAILED = "opcua_ph_source_op: connect failed for endpoint "


def run_source_in_child(endpoint):
    """Starts a child interpreter that calls the source once and prints the outcome and the
    seconds the call took."""
    code = f"""
        import json, time, corrivan, _velmora
        payload = {{"endpoint": {endpoint!r}, "values": [1.0]}}
        started = time.monotonic()
        try:
            corrivan.call("opcua_ph_source", payload)
            outcome = ["ok", payload["values"]]
        except Exception as error:
            outcome = [type(error).__name__, str(error), payload]
        print(json.dumps([outcome, time.monotonic() - started]), flush=True)
    """
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_opcua_server_killed_during_a_call():
    # The server is stopped (it accepts no more bytes), the call starts and waits for its
    # answer, then the server is killed: the call fails as soon as the socket closes.
    server = start_server("ph_meter_sim")
    try:
        os.kill(server.process.pid, signal.SIGSTOP)
        child = run_source_in_child(server.endpoint)
        time.sleep(1.0)
    finally:
        server.stop(signal.SIGKILL)
    stdout, stderr = child.communicate(timeout=30)
    assert child.returncode == 0, stderr
    outcome, seconds = json.loads(stdout)
    assert outcome == ["RuntimeError", CONNECT_FAILED + server.endpoint,
                       {"endpoint": server.endpoint, "values": [1.0]}]
    assert seconds < 4.0  # well before the library's 5 s timeout: the close was noticed


NONSENSE_SERVER = """
import socket, sys
listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
while True:
    connection, _ = listener.accept()
    connection.recv(4096)
    connection.sendall(bytes(range(256)) * 4)
"""


def test_opcua_server_answering_nonsense():
    server = subprocess.Popen([sys.executable, "-c", NONSENSE_SERVER], stdout=subprocess.PIPE,
                              text=True, env=peer_environment())
    try:
        port = int(server.stdout.readline())
        endpoint = f"opc.tcp://127.0.0.1:{port}/DezedarIzIvovod"
        child = run_source_in_child(endpoint)
        stdout, stderr = child.communicate(timeout=30)
    finally:
        server.kill()
        server.wait(timeout=10)
        server.stdout.close()
    assert child.returncode == 0, stderr
    outcome, seconds = json.loads(stdout)
    assert outcome == ["RuntimeError", CONNECT_FAILED + endpoint,
                       {"endpoint": endpoint, "values": [1.0]}]
    assert seconds < 6.0


# --- window store from several threads

def test_window_store_from_several_threads(host, kelvara, fifo_id):
    threads, calls, size = 8, 300, 16
    shared, windows, errors = f"{fifo_id}-shared", [[] for _ in range(threads)], []

    def worker(number):
        try:
            own = f"{fifo_id}-{number}"
            for call in range(calls):
                sample = float(number * 1_000_000 + call)
                for fifo in (shared, own):
                    payload = {"fifoId": fifo, "windowSize": size, "values": [sample]}
                    windows[number].append((fifo, sample, host.call("fifo_window_buffer",
                                                                    payload)["window"]))
        except Exception as error:  # reported by the main thread
            errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        workers = [threading.Thread(target=worker, args=(n,)) for n in range(threads)]
        for thread in workers:
            thread.start()
        for thread in workers:
            thread.join(timeout=120)
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert not any(thread.is_alive() for thread in workers)

    for number in range(threads):
        for index, (fifo, sample, window) in enumerate(windows[number]):
            # Every window ends with the sample its own call appended, holds no sample twice,
            # and holds each thread's samples in the order that thread appended them, without
            # gaps: a consistent suffix of one sequence of appends.
            assert window[-1] == sample
            assert len(window) == len(set(window)) <= size
            for other in range(threads):
                theirs = [x for x in window if x // 1_000_000 == other]
                assert theirs == [theirs[0] + i for i in range(len(theirs))] if theirs else True
            if fifo != shared:
                call = index // 2
                assert window == [number * 1_000_000 + float(c)
                                  for c in range(max(0, call - size + 1), call + 1)]
    final = host.call("fifo_window_buffer", {"fifoId": shared, "windowSize": size})["window"]
    assert len(final) == len(set(final)) == size
