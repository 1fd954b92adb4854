"""The SQL op: one SQL text with its placeholders filled in, run on the run's DuckDB file."""

import functools

import pytest
from table_store_support import (
    call_while_locked, make_database, op_fails_unchanged, query, table_names,
)


OP = "duckdb_sql_cpp"


@pytest.fixture
def database(tmp_path):
    path = tmp_path / "work.duckdb"
    make_database(
        path,
        "CREATE TABLE source (idx BIGINT, value DOUBLE)",
        "INSERT INTO source VALUES (0, 1.0), (1, 2.0), (2, 6.0)",
    )
    return path


def sql_payload(database, sql, out_table="result", data_table="source"):
    return {"duckdb_path": str(database), "data_table": data_table, "sql": sql,
            "out_table": out_table}


def run_sql(host, payload):
    return host.call(OP, payload)


def test_result_table_replaces_data_table_and_nothing_else(host, dornick, database):
    payload = sql_payload(
        database, "CREATE TABLE {out_table} AS SELECT sum(value) AS total FROM {in_table}"
    )
    before = dict(payload)
    assert run_sql(host, payload) is payload
    assert query(database, "SELECT total FROM result") == [(9.0,)]
    assert payload == {**before, "data_table": "result"}
    assert type(payload["data_table"]) is str


@pytest.mark.parametrize(
    "setup, sql, data_table, out_table, expected_tables, check, rows",
    [
        # No placeholder: the text runs as it stands and "data_table" still moves on.
        ([], "CREATE TABLE plain AS SELECT 1 AS one", "source", "elsewhere",
         {"source", "plain"}, "SELECT one FROM plain", [(1,)]),
        # Every occurrence is replaced.
        ([], "CREATE TABLE {out_table} AS SELECT a.idx FROM {in_table} a JOIN {in_table} b "
         "ON a.idx = b.idx + 1", "source", "pairs",
         {"source", "pairs"}, "SELECT idx FROM pairs ORDER BY idx", [(1,), (2,)]),
        # An input name holding "{out_table}" has it filled in by the second pass.
        (["CREATE TABLE source_counted AS SELECT 1 AS x"],
         'CREATE TABLE {out_table} AS SELECT count(*) AS n FROM "{in_table}"',
         "source_{out_table}", "counted",
         {"source", "source_counted", "counted"}, "SELECT n FROM counted", [(1,)]),
        # An output name holding "{in_table}" keeps it: the second pass is the last.
        ([], 'CREATE TABLE "{out_table}" AS SELECT 5 AS five', "source", "out_{in_table}",
         {"source", "out_{in_table}"}, 'SELECT five FROM "out_{in_table}"', [(5,)]),
        # Inserted text is not searched again, so a name holding its own placeholder is kept.
        (['CREATE TABLE "{in_table}" AS SELECT 7 AS x'],
         'CREATE TABLE {out_table} AS SELECT * FROM "{in_table}"', "{in_table}", "copied",
         {"source", "{in_table}", "copied"}, "SELECT * FROM copied", [(7,)]),
        # Several statements in one text.
        ([], "CREATE TABLE {out_table} AS SELECT * FROM {in_table} WHERE value > 1; "
         "DELETE FROM {out_table} WHERE value > 5", "source", "middle",
         {"source", "middle"}, "SELECT idx, value FROM middle", [(1, 2.0)]),
        # The output may be the input itself.
        ([], "INSERT INTO {out_table} SELECT 3, value FROM {in_table} WHERE idx = 0", "source",
         "source", {"source"}, "SELECT count(*) FROM source", [(4,)]),
        # A text that makes no output table still succeeds.
        ([], "SELECT * FROM {in_table}", "source", "never_made", {"source"},
         "SELECT count(*) FROM source", [(3,)]),
    ],
    ids=["no-placeholder", "repeated", "in-holds-out", "out-holds-in", "not-searched-again",
         "several-statements", "out-is-in", "no-output-table"],
)
def test_placeholders_and_texts(host, dornick, database, setup, sql, data_table, out_table,
                                expected_tables, check, rows):
    make_database(database, *setup)
    payload = sql_payload(database, sql, out_table, data_table)
    run_sql(host, payload)
    assert payload["data_table"] == out_table
    assert (payload["sql"], payload["out_table"]) == (sql, out_table)
    assert table_names(database) == expected_tables
    assert query(database, check) == rows


# --- failures


unchanged_after = functools.partial(op_fails_unchanged, OP)


@pytest.mark.parametrize(
    "present, missing",
    [
        ({}, "duckdb_path"),
        ({"data_table": None, "out_table": None}, "duckdb_path"),
        ({"duckdb_path": "x.duckdb", "data_table": "t", "out_table": "o"}, "sql"),
        ({"duckdb_path": "x.duckdb", "data_table": "t"}, "sql"),
        ({"duckdb_path": None, "sql": None}, "data_table"),
        ({"duckdb_path": 1, "data_table": 2, "sql": 3}, "out_table"),
    ],
)
def test_presence_is_checked_first_in_order(host, dornick, tmp_path, monkeypatch, present,
                                            missing):
    monkeypatch.chdir(tmp_path)
    unchanged_after(host, present, RuntimeError, f"duckdb_sql_cpp requires payload['{missing}']")


@pytest.mark.parametrize(
    "changes, refused_type",
    [
        ({"duckdb_path": None, "out_table": 5}, "NoneType"),
        ({"data_table": 1.5, "sql": None}, "float"),
        ({"sql": ["SELECT 1"]}, "list"),
        ({"out_table": None}, "NoneType"),
    ],
)
def test_values_convert_in_order_before_anything_runs(host, dornick, database, changes,
                                                      refused_type):
    payload = sql_payload(database, "CREATE TABLE {out_table} AS SELECT 1")
    payload.update(changes)
    unchanged_after(
        host,
        payload,
        TypeError,
        f"cannot convert a value of type '{refused_type}' to a string (str, bytes or bytearray)",
    )
    assert table_names(database) == {"source"}


def test_bytes_values_are_taken_as_raw_bytes(host, dornick, database):
    payload = sql_payload(database, b"CREATE TABLE {out_table} AS SELECT 2 AS two")
    payload["out_table"] = bytearray(b"from_bytes")
    run_sql(host, payload)
    assert payload["data_table"] == "from_bytes"
    assert query(database, "SELECT two FROM from_bytes") == [(2,)]


def test_failing_text_keeps_data_table(host, dornick, database):
    unchanged_after(
        host,
        sql_payload(database, "CREATE TABLE {out_table} AS SELECT * FROM sourc"),
        RuntimeError,
        "duckdb_sql_cpp failed: Catalog Error: Table with name sourc does not exist!\n"
        'Did you mean "source"?\n\n'
        "LINE 1: CREATE TABLE result AS SELECT * FROM sourc\n"
        "                                             ^",
    )
    assert table_names(database) == {"source"}


def test_statements_before_a_failing_one_stay_committed(host, dornick, database):
    # The op opens no transaction of its own: each statement commits by itself.
    payload = sql_payload(
        database, "CREATE TABLE {out_table} AS SELECT 1 AS one; SELECT nonsense FROM {in_table}"
    )
    with pytest.raises(RuntimeError) as caught:
        run_sql(host, payload)
    assert str(caught.value).startswith(
        'duckdb_sql_cpp failed: Binder Error: Referenced column "nonsense" not found'
    )
    assert payload["data_table"] == "source"
    assert query(database, "SELECT one FROM result") == [(1,)]


def test_database_that_cannot_be_opened(host, dornick, tmp_path):
    missing_folder = tmp_path / "missing" / "work.duckdb"
    unchanged_after(
        host,
        sql_payload(missing_folder, "SELECT 1"),
        RuntimeError,
        f'IO Error: Cannot open file "{missing_folder}": No such file or directory',
    )
    assert not missing_folder.parent.exists()

    corrupt = tmp_path / "corrupt.duckdb"
    content = b"\x00not a database" * 300
    corrupt.write_bytes(content)
    unchanged_after(
        host,
        sql_payload(corrupt, "SELECT 1"),
        RuntimeError,
        f'IO Error: The file "{corrupt}" exists, but it is not a valid DuckDB database file!',
    )
    assert corrupt.read_bytes() == content


def test_database_locked_by_another_process_fails_at_once(dornick, database):
    payload = sql_payload(database, "CREATE TABLE {out_table} AS SELECT 1")
    kind, message, payload_after, holder_pid = call_while_locked("duckdb_sql_cpp", payload, database)
    assert kind == "RuntimeError"
    assert message.startswith(
        f'IO Error: Could not set lock on file "{database}": Conflicting lock is held in '
    )
    assert f"(PID {holder_pid})" in message
    assert payload_after == payload
    assert table_names(database) == {"source"}


def test_checkpoint_then_two_sql_steps(host, dornick, tmp_path):
    database = tmp_path / "chain.duckdb"
    payload = {"run_id": "run-7", "values": [1.0, 5.0, 3.0, 7.0], "sample_id": 2,
               "duckdb_path": str(database)}
    host.call("duckdb_checkpoint_cpp", payload)
    payload.update(
        sql="CREATE TABLE {out_table} AS SELECT idx, value * 10 AS value FROM {in_table} "
        "WHERE value > 2",
        out_table="scaled",
    )
    host.call(OP, payload)
    assert payload["data_table"] == "scaled"
    payload.update(
        sql="CREATE TABLE {out_table} AS SELECT count(*) AS n, avg(value) AS mean FROM {in_table}",
        out_table="summary",
    )
    final = host.run([OP], payload)
    assert final is payload
    assert payload == {
        "run_id": "run-7",
        "sample_id": 2,
        "duckdb_path": str(database),
        "data_table": "summary",
        "sql": "CREATE TABLE {out_table} AS SELECT count(*) AS n, avg(value) AS mean "
        "FROM {in_table}",
        "out_table": "summary",
    }
    assert query(database, "SELECT idx, value FROM scaled ORDER BY idx") == [
        (1, 50.0), (2, 30.0), (3, 70.0)
    ]
    assert query(database, "SELECT n, mean FROM summary") == [(3, 50.0)]
    assert table_names(database) == {"data_run_7_C", "pipeline_state", "scaled", "summary"}
