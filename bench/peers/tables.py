"""The checkpoint and the SQL step with the duckdb package: one connection per call."""

import json
import re

import duckdb
import numpy as np

DATA_TABLE = "CREATE TABLE IF NOT EXISTS {table} (idx BIGINT, value DOUBLE, sample_id BIGINT);"
STATE_TABLE = ("CREATE TABLE IF NOT EXISTS pipeline_state (  run_id       TEXT,  step         "
               "TEXT,  duckdb_path  TEXT,  data_table   TEXT,  payload_json TEXT);")
STATE_INSERT = ("INSERT INTO pipeline_state (run_id, step, duckdb_path, data_table, payload_json) "
                "VALUES (?, ?, ?, ?, ?);")


def _identifier(text):
    return re.sub(r"[^A-Za-z0-9_]", "_", text) or "table"


def checkpoint(payload):
    path = payload.get("duckdb_path", "work.duckdb")
    table = f"data_{_identifier(payload['run_id'])}_{_identifier(payload.get('step', 'C'))}"
    snapshot = json.dumps({key: value for key, value in payload.items() if key != "values"})
    samples = np.asarray(payload.get("values") or [], dtype=np.float64)
    batch = {
        "idx": np.arange(samples.size, dtype=np.int64),
        "value": samples,
        "sample_id": np.full(samples.size, payload.get("sample_id", 0), dtype=np.int64),
    }
    connection = duckdb.connect(path)
    try:
        connection.begin()
        connection.execute(DATA_TABLE.format(table=table))
        connection.register("batch", batch)
        connection.execute(f"INSERT INTO {table} SELECT idx, value, sample_id FROM batch")
        connection.execute(STATE_TABLE)
        connection.execute(STATE_INSERT,
                           [payload["run_id"], payload.get("step", "C"), path, table, snapshot])
        connection.commit()
    finally:
        connection.close()
    payload.pop("values", None)
    payload["duckdb_path"] = path
    payload["data_table"] = table


def sql(payload):
    text = (payload["sql"].replace("{in_table}", payload["data_table"])
            .replace("{out_table}", payload["out_table"]))
    connection = duckdb.connect(payload["duckdb_path"])
    try:
        connection.execute(text)
    finally:
        connection.close()
    payload["data_table"] = payload["out_table"]
