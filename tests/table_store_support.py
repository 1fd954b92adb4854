"""Helpers for the table-store tests: reading DuckDB files back, and holding one locked."""

import contextlib
import copy
import json
import os
import select
import signal
import subprocess
import sys

import duckdb
import pytest
from conftest import run_python
from peer_processes import peer_environment

READY_TIMEOUT_SECONDS = 30


def query(path, sql):
    """All rows of `sql` on the file at `path`, read with a connection closed before returning."""
    connection = duckdb.connect(str(path), read_only=True)
    try:
        return connection.execute(sql).fetchall()
    finally:
        connection.close()


def op_fails_unchanged(op, host, payload, exception, message):
    """Calls `op`, which must raise exactly `exception` with `message` and leave the payload as
    it was."""
    before = copy.deepcopy(payload)
    with pytest.raises(exception) as caught:
        host.call(op, payload)
    assert type(caught.value) is exception
    assert str(caught.value) == message
    assert payload == before


def table_names(path):
    return {name for (name,) in query(path, "SELECT table_name FROM duckdb_tables()")}


def make_database(path, *statements):
    connection = duckdb.connect(str(path))
    try:
        for statement in statements:
            connection.execute(statement)
    finally:
        connection.close()


@contextlib.contextmanager
def database_held_for_writing(path):
    """A second process holds the file open for writing; yields its pid, kills it afterwards."""
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys, time, duckdb\n"
            "connection = duckdb.connect(sys.argv[1])\n"
            "print('ready', flush=True)\n"
            "time.sleep(120)\n",
            str(path),
        ],
        stdout=subprocess.PIPE,
        env=peer_environment(),
        text=True,
    )
    try:
        readable, _, _ = select.select([holder.stdout], [], [], READY_TIMEOUT_SECONDS)
        assert readable, "the process holding the database did not get ready in time"
        assert holder.stdout.readline() == "ready\n"
        yield holder.pid
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(holder.pid, signal.SIGKILL)
        holder.wait(timeout=10)
        holder.stdout.close()


def call_while_locked(op, payload, database):
    """Runs `op` on `payload` while another process holds `database` for writing. The call runs in
    its own interpreter, so that a hang would end in the timeout. Returns the exception's type
    name and message, the payload afterwards, and the holder's pid."""
    with database_held_for_writing(database) as holder_pid:
        result = run_python(
            f"""
            import json, corrivan, _dornick
            payload = {payload!r}
            try:
                corrivan.call({op!r}, payload)
            except Exception as error:
                print(json.dumps([type(error).__name__, str(error), payload]))
            """,
            timeout=60,
        )
    assert result.returncode == 0, result.stderr
    kind, message, payload_after = json.loads(result.stdout)
    return kind, message, payload_after, holder_pid
