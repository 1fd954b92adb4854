"""The checkpoint op: samples and a payload snapshot into a DuckDB file, all or nothing."""

import copy
import functools
import json
import os

import pytest
from table_store_support import (
    call_while_locked, make_database, op_fails_unchanged, query, table_names,
)

from conftest import run_python

OP = "duckdb_checkpoint_cpp"
VALUES_MESSAGE = "duckdb_checkpoint_cpp: payload['values'] must be a sequence of floats: "


@pytest.fixture
def database(tmp_path):
    return tmp_path / "work.duckdb"


def checkpoint(host, payload):
    return host.call(OP, payload)


def data_rows(path, table):
    return query(path, f"SELECT idx, value, sample_id FROM {table} ORDER BY rowid")


def state_rows(path):
    return query(
        path,
        "SELECT run_id, step, duckdb_path, data_table, payload_json FROM pipeline_state "
        "ORDER BY rowid",
    )


def test_rows_are_appended_with_positions_and_sample_id(host, dornick, database):
    first = {"run_id": "r", "values": [1.5, 2, True], "sample_id": 7, "duckdb_path": str(database)}
    second = copy.deepcopy(first)
    assert checkpoint(host, first) is first
    checkpoint(host, second)
    rows = [(0, 1.5, 7), (1, 2.0, 7), (2, 1.0, 7)]
    assert data_rows(database, "data_r_C") == rows + rows
    for payload in (first, second):
        assert payload == {
            "run_id": "r",
            "sample_id": 7,
            "duckdb_path": str(database),
            "data_table": "data_r_C",
        }
        assert type(payload["duckdb_path"]) is str and type(payload["data_table"]) is str


@pytest.mark.parametrize("payload_values", [{}, {"values": None}], ids=["absent", "none"])
def test_no_samples_still_creates_table_and_state_row(host, dornick, database, payload_values):
    payload = {"run_id": "r", "duckdb_path": str(database), **payload_values}
    checkpoint(host, payload)
    assert data_rows(database, "data_r_C") == []
    assert len(state_rows(database)) == 1
    assert payload == {"run_id": "r", "duckdb_path": str(database), "data_table": "data_r_C"}


@pytest.mark.parametrize(
    "values, rows",
    [
        ((0.5, 1), [(0, 0.5, 0), (1, 1.0, 0)]),
        (range(2), [(0, 0.0, 0), (1, 1.0, 0)]),
        ((x / 2 for x in range(2)), [(0, 0.0, 0), (1, 0.5, 0)]),
        ([], []),
    ],
    ids=["tuple", "range", "generator", "empty"],
)
def test_any_sequence_of_numbers_is_stored(host, dornick, database, values, rows):
    checkpoint(host, {"run_id": "r", "values": values, "duckdb_path": str(database)})
    assert data_rows(database, "data_r_C") == rows


@pytest.mark.parametrize(
    "sample_id, stored",
    [(True, 1), (-(2**63), -(2**63)), (2**63 - 1, 2**63 - 1)],
)
def test_sample_id_as_64_bit_integer(host, dornick, database, sample_id, stored):
    payload = {"run_id": "r", "values": [1.0], "sample_id": sample_id, "duckdb_path": str(database)}
    checkpoint(host, payload)
    assert data_rows(database, "data_r_C") == [(0, 1.0, stored)]


@pytest.mark.parametrize(
    "run_id, step, table",
    [
        ("run-42", "C", "data_run_42_C"),
        ("", "C", "data_table_C"),
        ("run 1/2", "C", "data_run_1_2_C"),
        ("a-b", "C", "data_a_b_C"),
        ("a.b", "C", "data_a_b_C"),
        ("a_b", "c", "data_a_b_c"),
        ("a", "b_c", "data_a_b_c"),
        ("\u00e9t\u00e9", "C", "data___t___C"),
        ("r", "", "data_r_table"),
        ('o\'k "x"\\y', "C", "data_o_k__x__y_C"),
    ],
)
def test_table_name_is_sanitised_and_state_keeps_raw_texts(host, dornick, database, run_id, step,
                                                          table):
    payload = {"run_id": run_id, "step": step, "values": [2.5], "duckdb_path": str(database)}
    checkpoint(host, payload)
    assert table_names(database) == {table, "pipeline_state"}
    assert data_rows(database, table) == [(0, 2.5, 0)]
    assert [row[:4] for row in state_rows(database)] == [(run_id, step, str(database), table)]
    assert payload["data_table"] == table


def test_state_row_holds_snapshot_without_values_and_without_own_keys(host, dornick, database):
    payload = {
        "run_id": "run 1",
        "values": [1.0, 2.0],
        "sample_id": 3,
        "nested": {"mean": 1.5, "list": [1, "two", None]},
        "text": "caf\u00e9",
    }
    payload["duckdb_path"] = str(database)
    checkpoint(host, payload)
    [(run_id, step, path, table, payload_json)] = state_rows(database)
    assert (run_id, step, path, table) == ("run 1", "C", str(database), "data_run_1_C")
    expected_snapshot = {
        "run_id": "run 1",
        "sample_id": 3,
        "nested": {"mean": 1.5, "list": [1, "two", None]},
        "text": "caf\u00e9",
        "duckdb_path": str(database),
    }
    assert payload_json == json.dumps(expected_snapshot)


def test_first_call_snapshot_holds_neither_result_key_but_a_later_call_holds_both(
    host, dornick, tmp_path, monkeypatch
):
    monkeypatch.chdir(tmp_path)
    payload = {"run_id": "r", "values": [1.0]}
    checkpoint(host, payload)
    assert payload == {"run_id": "r", "duckdb_path": "work.duckdb", "data_table": "data_r_C"}
    payload["values"] = [2.0]
    checkpoint(host, payload)
    snapshots = [json.loads(row[4]) for row in state_rows(tmp_path / "work.duckdb")]
    assert snapshots == [
        {"run_id": "r"},
        {"run_id": "r", "duckdb_path": "work.duckdb", "data_table": "data_r_C"},
    ]
    assert data_rows(tmp_path / "work.duckdb", "data_r_C") == [(0, 1.0, 0), (0, 2.0, 0)]


def test_tables_have_the_stated_columns(host, dornick, database):
    checkpoint(host, {"run_id": "r", "duckdb_path": str(database)})
    columns = query(
        database,
        "SELECT table_name, column_name, data_type FROM information_schema.columns "
        "ORDER BY table_name, ordinal_position",
    )
    assert columns == [
        ("data_r_C", "idx", "BIGINT"),
        ("data_r_C", "value", "DOUBLE"),
        ("data_r_C", "sample_id", "BIGINT"),
        ("pipeline_state", "run_id", "VARCHAR"),
        ("pipeline_state", "step", "VARCHAR"),
        ("pipeline_state", "duckdb_path", "VARCHAR"),
        ("pipeline_state", "data_table", "VARCHAR"),
        ("pipeline_state", "payload_json", "VARCHAR"),
    ]


def test_database_is_released_after_success_and_failure(host, dornick, database):
    checkpoint(host, {"run_id": "r", "duckdb_path": str(database)})
    with pytest.raises(TypeError):
        checkpoint(host, {"run_id": "r", "duckdb_path": str(database), "blob": b"x"})
    with pytest.raises(RuntimeError):
        checkpoint(host, {"run_id": "r", "values": [1.0], "duckdb_path": str(database / "no")})
    # Another process can take the write lock only when no instance is left open here.
    result = run_python(
        f"import duckdb; duckdb.connect({str(database)!r}).close(); print('opened')"
    )
    assert (result.returncode, result.stdout) == (0, "opened\n"), result.stderr


# --- failures: the payload and the file are left exactly as they were


unchanged_after = functools.partial(op_fails_unchanged, OP)


@pytest.mark.parametrize(
    "changes, exception, message",
    [
        ({"run_id": None}, TypeError,
         "cannot convert a value of type 'NoneType' to a string (str, bytes or bytearray)"),
        ({"step": None}, TypeError,
         "cannot convert a value of type 'NoneType' to a string (str, bytes or bytearray)"),
        ({"duckdb_path": 5}, TypeError,
         "cannot convert a value of type 'int' to a string (str, bytes or bytearray)"),
        ({"sample_id": 3.0}, TypeError,
         "cannot convert a value of type 'float' to a 64-bit integer"),
        ({"sample_id": "12"}, TypeError,
         "cannot convert a value of type 'str' to a 64-bit integer"),
        ({"sample_id": None}, TypeError,
         "cannot convert a value of type 'NoneType' to a 64-bit integer"),
        ({"sample_id": 2**63}, TypeError,
         "cannot convert a value of type 'int' to a 64-bit integer"),
        ({"values": 3.5}, RuntimeError,
         VALUES_MESSAGE + "cannot convert a value of type 'float' to a sequence of numbers"),
        ({"values": "1.5"}, RuntimeError,
         VALUES_MESSAGE + "cannot convert a value of type 'str' to a sequence of numbers"),
        ({"values": {"a": 1.0}}, RuntimeError,
         VALUES_MESSAGE + "cannot convert a value of type 'dict' to a sequence of numbers"),
        ({"values": [1.0, "2"]}, RuntimeError,
         VALUES_MESSAGE + "cannot convert a value of type 'list' to a sequence of numbers"),
        ({"blob": b"\x00"}, TypeError, "Object of type bytes is not JSON serializable"),
    ],
)
def test_refused_input_stores_nothing(host, dornick, tmp_path, database, changes, exception,
                                     message):
    # An earlier checkpoint is in the file: a refused call adds no row to it, and a refused
    # call on a new file creates no file.
    make_database(database)
    checkpoint(host, {"run_id": "r", "values": [9.0], "duckdb_path": str(database)})
    fresh = tmp_path / "fresh.duckdb"
    for path, state in ((database, [(0, 9.0, 0)]), (fresh, None)):
        payload = {"run_id": "r", "values": [1.0, 2.0], "sample_id": 1, "duckdb_path": str(path)}
        payload.update(changes)
        unchanged_after(host, payload, exception, message)
        if state is None:
            assert not fresh.exists()
        else:
            assert data_rows(database, "data_r_C") == state
            assert len(state_rows(database)) == 1


def test_missing_run_id_changes_nothing(host, dornick, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    unchanged_after(host, {"values": [1.0]}, RuntimeError,
                    "duckdb_checkpoint_cpp requires payload['run_id']")
    assert os.listdir(tmp_path) == []


def test_python_error_while_reading_values_is_wrapped(host, dornick, database):
    def failing_samples():
        yield 1.0
        raise ValueError("sensor went away")

    payload = {"run_id": "r", "values": failing_samples(), "duckdb_path": str(database)}
    with pytest.raises(RuntimeError) as caught:
        checkpoint(host, payload)
    assert str(caught.value).startswith(VALUES_MESSAGE + "ValueError: sensor went away")
    assert set(payload) == {"run_id", "values", "duckdb_path"}
    assert not database.exists()


def test_unencodable_payload_commits_nothing_and_keeps_values(host, dornick, database):
    checkpoint(host, {"run_id": "r", "values": [9.0], "duckdb_path": str(database)})
    values = [1.0, 2.0]
    payload = {"run_id": "r", "values": values, "raw": b"\x01", "duckdb_path": str(database)}
    with pytest.raises(TypeError, match="^Object of type bytes is not JSON serializable$"):
        checkpoint(host, payload)
    assert payload == {"run_id": "r", "values": [1.0, 2.0], "raw": b"\x01",
                       "duckdb_path": str(database)}
    assert payload["values"] is values
    assert data_rows(database, "data_r_C") == [(0, 9.0, 0)]
    assert len(state_rows(database)) == 1


# Each database below is prepared so that one write of the checkpoint fails; the writes before
# it must be rolled back with it.
@pytest.mark.parametrize(
    "setup, failure, tables_after",
    [
        (
            ["CREATE TABLE data_r_C (label TEXT, note TEXT)"],
            "Invalid Input Error: Too many appends for chunk!",
            {"data_r_C"},
        ),
        (
            ["CREATE VIEW pipeline_state AS SELECT 1 AS run_id"],
            "Catalog Error: pipeline_state is not an table",
            set(),
        ),
        (
            ["CREATE TABLE pipeline_state (run_id TEXT)"],
            'Binder Error: Table "pipeline_state" does not have a column with name "step"'
            '\n\nDid you mean: "run_id"',
            {"pipeline_state"},
        ),
        (
            ["CREATE TABLE pipeline_state (run_id TEXT, step TEXT, duckdb_path TEXT, "
             "data_table TEXT, payload_json TEXT CHECK (length(payload_json) < 3))"],
            "Constraint Error: CHECK constraint failed on table pipeline_state with expression "
            "CHECK((length(payload_json) < 3))",
            {"pipeline_state"},
        ),
    ],
    ids=["data-table-other-columns", "state-is-a-view", "state-other-columns", "state-insert"],
)
def test_failed_write_rolls_back_everything(host, dornick, database, setup, failure,
                                            tables_after):
    make_database(database, *setup)
    payload = {"run_id": "r", "values": [1.0, 2.0], "duckdb_path": str(database)}
    unchanged_after(host, payload, RuntimeError, "duckdb_checkpoint_cpp failed: " + failure)
    assert table_names(database) == tables_after
    for table in tables_after:
        assert query(database, f"SELECT count(*) FROM {table}") == [(0,)]


def test_database_that_cannot_be_opened(host, dornick, tmp_path):
    missing_folder = tmp_path / "missing" / "work.duckdb"
    unchanged_after(
        host,
        {"run_id": "r", "values": [1.0], "duckdb_path": str(missing_folder)},
        RuntimeError,
        f'duckdb_checkpoint_cpp failed: IO Error: Cannot open file "{missing_folder}": '
        "No such file or directory",
    )
    assert not missing_folder.parent.exists()

    corrupt = tmp_path / "corrupt.duckdb"
    content = b"not a database\n" * 512
    corrupt.write_bytes(content)
    unchanged_after(
        host,
        {"run_id": "r", "values": [1.0], "duckdb_path": str(corrupt)},
        RuntimeError,
        f'duckdb_checkpoint_cpp failed: IO Error: The file "{corrupt}" exists, but it is not a '
        "valid DuckDB database file!",
    )
    assert corrupt.read_bytes() == content


def test_database_locked_by_another_process_fails_at_once(dornick, database, tmp_path):
    make_database(database)
    payload = {"run_id": "r", "values": [1.0], "duckdb_path": str(database)}
    kind, message, payload_after, holder_pid = call_while_locked("duckdb_checkpoint_cpp", payload, database)
    assert kind == "RuntimeError"
    assert message.startswith(
        f'duckdb_checkpoint_cpp failed: IO Error: Could not set lock on file "{database}": '
        "Conflicting lock is held in "
    )
    assert f"(PID {holder_pid})" in message
    assert payload_after == payload
    assert table_names(database) == set()
