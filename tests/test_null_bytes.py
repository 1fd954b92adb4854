"""Texts with a null byte inside, where the ops hand them to the system or a library as C strings:
a file path, a database path, an OPC UA endpoint or node id. Cut at the null byte, each would
name another file, endpoint or node than the payload does; the ops refuse them instead."""

import copy
import os

import pytest


@pytest.fixture(scope="module")
def dornick(host):
    import _dornick

    return _dornick


@pytest.mark.parametrize("relative_path", ["out.csv\0.txt", "sub\0/deeper/out.csv"])
def test_csv_path_with_a_null_byte_is_not_opened(host, kelvara, tmp_path, monkeypatch,
                                                 relative_path):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "out.csv").write_bytes(b"x\n1\n")
    payload = {"csvPath": relative_path, "data": {"x": 2}}
    before = copy.deepcopy(payload)
    with pytest.raises(RuntimeError) as caught:
        host.call("csv_sink", payload)
    # The host's message ends where the C string does.
    assert str(caught.value) == "csv_sink_op: failed to open file: " + relative_path.split("\0")[0]
    assert payload == before
    assert os.listdir(tmp_path) == ["out.csv"]
    assert (tmp_path / "out.csv").read_bytes() == b"x\n1\n"


@pytest.mark.parametrize(
    "op, payload",
    [
        ("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0]}),
        ("duckdb_sql_cpp", {"data_table": "t", "sql": "CREATE TABLE {out_table} AS SELECT 1",
                            "out_table": "u"}),
    ],
)
def test_database_path_with_a_null_byte_is_not_opened(host, dornick, tmp_path, monkeypatch, op,
                                                      payload):
    monkeypatch.chdir(tmp_path)
    payload = {**payload, "duckdb_path": "work.duckdb\0.other"}
    before = copy.deepcopy(payload)
    with pytest.raises(RuntimeError) as caught:
        host.call(op, payload)
    assert str(caught.value) == f"{op}: payload['duckdb_path'] contains a null byte"
    assert payload == before
    assert os.listdir(tmp_path) == []


def test_opcua_endpoint_and_node_with_a_null_byte(host, velmora, opcua_server):
    # Cut at the null byte, the endpoint is the server's and the node its pH node.
    payload = {"endpoint": opcua_server.endpoint + "\0/elsewhere", "values": [1.0]}
    before = copy.deepcopy(payload)
    with pytest.raises(RuntimeError) as caught:
        host.call("opcua_ph_source", payload)
    assert str(caught.value) == ("opcua_ph_source_op: connect failed for endpoint "
                                 + opcua_server.endpoint)
    assert payload == before

    payload = {"endpoint": opcua_server.endpoint, "phNode": "ns=2;s=RivevorOrAdori01.pH\0.x"}
    result = host.call("opcua_ph_source", payload)
    assert str(result["opcua_sample"]["pH"]) == "nan"
    assert result["opcua_sample"]["temperature"] == 25.0
