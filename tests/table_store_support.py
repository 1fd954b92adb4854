"""Helpers for the table-store tests: reading DuckDB files back, and holding one locked."""

import contextlib
import os
import select
import signal
import subprocess
import sys

import duckdb
from peer_processes import peer_environment

READY_TIMEOUT_SECONDS = 30


def query(path, sql):
    """All rows of `sql` on the file at `path`, read with a connection closed before returning."""
    connection = duckdb.connect(str(path), read_only=True)
    try:
        return connection.execute(sql).fetchall()
    finally:
        connection.close()


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
