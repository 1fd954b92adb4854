"""Property tests: random payload values through the payload conversions and through every op.
Whatever the values, an op must not crash; it gives its documented result or one of its
documented exceptions; it leaves alone what it promises to leave alone (compared by identity and
content); and the reference counts of the payload's values are the same afterwards (nothing
leaked, nothing freed early)."""

import os
import struct
import tempfile
from pathlib import Path

import duckdb
import pytest
from hypothesis import HealthCheck, Phase, event, given, settings
from hypothesis import strategies as st

from opcua_servers import free_port, running_server
from payload_values import (
    GENERATED, RAISE, Boom, FloatSub, IntSub, fingerprint, make_odd, number_lists,
    references_kept, texts, values,
)

SANITIZER_BUILD = "libasan" in os.environ.get("LD_PRELOAD", "")
# Modest counts keep the suite fast. Under the sanitizers every allocation costs a full stack
# walk, so that run takes a fifth of the examples: enough to take each path of the ops through
# the memory checks.
EXAMPLES = 30 if SANITIZER_BUILD else 150
PROPERTY_SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                             phases=[Phase.explicit, Phase.generate, Phase.shrink],
                             suppress_health_check=[HealthCheck.too_slow])
FEW_EXAMPLES = settings(PROPERTY_SETTINGS, max_examples=EXAMPLES * 2 // 5)


class Refused:
    """The model's answer for a value the conversion refuses (TypeError)."""


class Either:
    """The model's answer where Python itself may go two ways (a deprecation warning that pytest
    turns into an error inside the conversion): the value, or a refusal."""

    def __init__(self, value):
        self.value = value


REFUSED = Refused()


def odd_method(value):
    """(method, what it gives) of an odd object, or None for any other value."""
    return getattr(type(value), "odd_method", None)


def model_string(value):
    if isinstance(value, str):
        try:
            return value.encode()
        except UnicodeEncodeError:
            return REFUSED
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    return REFUSED


def model_number(value):
    if isinstance(value, float):
        return float(value)
    if isinstance(value, int):
        try:
            return float(value)
        except OverflowError:
            return REFUSED
    odd = odd_method(value)
    if odd is not None:
        method, result = odd
        if method == "__float__" and type(result) is float:
            return result
        if method == "__index__" and type(result) is int:
            return float(result)
        if method in ("__float__", "__index__") and type(result) in (FloatSub, IntSub):
            return Either(float(result))
    return REFUSED


def model_integer(bits):
    low, high = -(2 ** (bits - 1)), 2 ** (bits - 1) - 1

    def model(value):
        if isinstance(value, int):
            return int(value) if low <= value <= high else REFUSED
        odd = odd_method(value)
        if odd is not None and odd[0] == "__index__":
            result = odd[1]
            if type(result) is int:
                return result if low <= result <= high else REFUSED
            if type(result) is IntSub:
                return Either(int(result))
        return REFUSED

    return model


def model_sequence(value):
    """The numbers, REFUSED, or the Python exception type that must pass on."""
    if isinstance(value, (str, bytes, dict)):
        return REFUSED
    odd = odd_method(value)
    if odd is not None:
        method, result = odd
        if method == "__len__":
            if result is RAISE:
                return Boom
            if type(result) is int:
                if result < 0:
                    return ValueError
                if result > 2**63:
                    return OverflowError
                return [1.0, 1.0, 1.0]
            return [1.0, 1.0, 1.0] if type(result) is IntSub else TypeError
        if method == "__iter__":
            return Boom if result is RAISE else TypeError
        return REFUSED
    if type(value).__name__ == "generator":
        numbers, fail_after = GENERATED[value]
        if fail_after is not None:
            return Boom
        items = list(numbers)
    elif type(value).__name__ in ("dict_keys", "dict_values", "dict_items"):
        items = list(value)
    elif isinstance(value, (list, tuple, set, frozenset, bytearray)):
        items = list(value)
    else:
        return REFUSED
    numbers = []
    for item in items:
        number = model_number(item)
        if number is REFUSED:
            return REFUSED
        if isinstance(number, Either):
            return Either(None)
        numbers.append(number)
    return numbers


def same_bits(actual, expected):
    if isinstance(expected, float):
        return type(actual) is float and struct.pack("d", actual) == struct.pack("d", expected)
    if isinstance(expected, list):
        return type(actual) is list and len(actual) == len(expected) and all(
            same_bits(a, e) for a, e in zip(actual, expected))
    return type(actual) is type(expected) and actual == expected


MODELS = {
    "string": model_string,
    "number": model_number,
    "int32": model_integer(32),
    "int64": model_integer(64),
    "sequence": model_sequence,
}


@PROPERTY_SETTINGS
@given(kind=st.sampled_from(sorted(MODELS)), value=values)
def test_conversions_follow_the_model(host, test_ops, kind, value):
    expected = MODELS[kind](value)
    payload = {"kind": kind, "value": value}
    before = fingerprint(payload)
    with references_kept(payload):
        try:
            host.call("convert", payload)
        except Exception as error:  # compared with the model below
            outcome = error.with_traceback(None)  # its frames would hold the values too
        else:
            outcome = payload.pop("result")
    assert fingerprint(payload) == before

    if isinstance(expected, Either):
        if isinstance(outcome, (TypeError, MemoryError)):
            return
        expected = expected.value
        if expected is None:
            return
    if expected is REFUSED:
        assert type(outcome) is TypeError, outcome
        assert str(outcome).startswith("cannot convert a")
    elif isinstance(expected, type):
        assert type(outcome) is expected, outcome
    else:
        assert not isinstance(outcome, Exception), outcome
        assert same_bits(outcome, expected), (outcome, expected)


@pytest.mark.skipif(SANITIZER_BUILD, reason="ASan's operator new aborts on an allocation over "
                    "1 TiB instead of throwing std::bad_alloc")
@pytest.mark.parametrize("op, key", [("convert", "value"), ("fifo_window_buffer", "values"),
                                     ("average", "window")])
def test_length_far_beyond_memory_is_a_memory_error(host, test_ops, kelvara, op, key):
    # The claimed length sizes the vector before the items are read, as Python's list() does.
    payload = {"kind": "sequence", key: make_odd("__len__", 2**40)}
    before = fingerprint(payload)
    with pytest.raises(MemoryError):
        host.call(op, payload)
    assert fingerprint(payload) == before


# --- every op: payloads of random values under the op's own keys

def random_keys(keys, good=None):
    """A payload with any of `keys`, each holding a random value (or a good one, if given)."""
    good = good or {}
    entries = {key: (values | good[key]) if key in good else values for key in keys}
    return some_or_all(entries)


def some_or_all(entries):
    """Payloads with some of the keys, or with all of them (so that the ops that require several
    keys get past their checks often enough)."""
    return st.fixed_dictionaries({}, optional=entries) | st.fixed_dictionaries(entries)


def kept_fingerprints(payload, written):
    return {key: fingerprint(value) for key, value in dict.items(payload) if key not in written}


def check_op(host, op, payload, documented, written, unchanged_on_failure=True):
    """Runs `op` on `payload`. Returns the exception, or None on success. Checks the documented
    exception types, that only the keys in `written` changed, and the reference counts."""
    before = kept_fingerprints(payload, written)
    whole_before = fingerprint(payload)
    with references_kept(payload):
        try:
            result = host.call(op, payload)
        except documented as error:
            outcome = error.with_traceback(None)  # its frames would hold the values too
        else:
            assert result is payload
            outcome = None
    event(f"{op}: {type(outcome).__name__ if outcome is not None else 'returned'}")
    if outcome is not None and unchanged_on_failure:
        assert fingerprint(payload) == whole_before
    assert kept_fingerprints(payload, written) == before
    return outcome


# Python errors met while a value is measured or iterated pass on; MemoryError when a length
# of 2**40 is believed.
SAMPLE_ERRORS = (Boom, TypeError, ValueError, OverflowError, MemoryError)


@PROPERTY_SETTINGS
@given(payload=random_keys(
    ["sampleChunk", "values", "data", "windowSize", "window_size", "fifoId", "window"],
    {"values": number_lists, "windowSize": st.integers(-5, 10), "fifoId": texts}))
def test_window_op(host, kelvara, payload):
    error = check_op(host, "fifo_window_buffer", payload, SAMPLE_ERRORS, {"window"})
    if error is None:
        window = payload["window"]
        assert type(window) is list and all(type(x) is float for x in window)


@PROPERTY_SETTINGS
@given(payload=random_keys(
    ["window", "values", "data", "averageMethod", "mode", "stats", "mean", "se"],
    {"window": number_lists, "averageMethod": st.sampled_from(
        ["arithmetic", "HARMONIC", "geometric", "weighted", "median"])}))
def test_average_op(host, kelvara, payload):
    written = {"stats", "mean", "se", "standardError"}
    error = check_op(host, "average", payload, SAMPLE_ERRORS, written)
    if error is None:
        stats = payload["stats"]
        assert list(stats) == ["mean", "se", "standardError"]
        assert all(type(x) is float for x in stats.values())
        assert same_bits([payload["mean"], payload["se"], payload["standardError"]],
                         list(stats.values()))
    elif type(error) is ValueError:
        assert str(error) in ("geometric mean is only defined for positive values",
                              "__len__() should return >= 0")


@pytest.fixture(scope="module")
def dornick(host):
    import _dornick

    return _dornick


@pytest.fixture(scope="module")
def scratch():
    """A folder for the ops that write files (hypothesis runs many examples per test)."""
    with tempfile.TemporaryDirectory() as folder:
        yield Path(folder)


def csv_targets(folder):
    """Targets inside `folder` only, in every text type, besides other schemes and non-text."""
    path = str(folder / "sub" / "out.csv")
    return st.sampled_from([
        path, path.encode(), bytearray(path.encode()), "csv://" + path, b"csv://" + path.encode(),
        "other://x", "CSV://" + path, str(folder), "csv://" + str(folder), "csv://relative.csv",
    ])


NOT_TEXT = values.filter(lambda value: not isinstance(value, (str, bytes, bytearray)))


@FEW_EXAMPLES
@given(data=st.data())
def test_csv_sink(host, kelvara, scratch, data):
    folder = scratch / "csv"
    folder.mkdir(exist_ok=True)
    # Targets are the chosen ones or no text at all: a random text could name any file.
    target = csv_targets(folder) | NOT_TEXT
    keys = {"data": values, "stats": values, "mean": values, "se": values,
            "handleUri": target, "handle": target, "csvPath": target}
    payload = data.draw(some_or_all(keys))
    files = {path: path.read_bytes() for path in folder.rglob("*") if path.is_file()}
    working_directory = os.getcwd()
    os.chdir(folder)  # where a relative target would land
    try:
        error = check_op(host, "csv_sink", payload,
                         (Boom, TypeError, ValueError, KeyError, OSError, RuntimeError),
                         {"status"})
    finally:
        os.chdir(working_directory)
    if error is None:
        assert payload["status"].startswith("handled via ")
    else:
        assert "status" not in payload
    # Earlier lines are never touched: every file only grows, and only by whole lines.
    for path, content in files.items():
        now = path.read_bytes()
        assert now.startswith(content) and now.endswith(b"\n")


@FEW_EXAMPLES
@given(data=st.data())
def test_checkpoint(host, dornick, scratch, data):
    database = scratch / "checkpoint.duckdb"
    keys = {"run_id": texts | values, "step": texts | values, "values": number_lists | values,
            "sample_id": st.integers(-3, 3) | values, "extra": values,
            "duckdb_path": st.just(str(database)) | NOT_TEXT}
    payload = data.draw(some_or_all(keys))
    if "duckdb_path" not in payload:
        payload["duckdb_path"] = str(database)
    state_rows = (duckdb_count(database, "pipeline_state") if database.exists() else 0)
    had_values = "values" in payload
    error = check_op(host, "duckdb_checkpoint_cpp", payload,
                     (TypeError, ValueError, RuntimeError, OverflowError, RecursionError),
                     {"values", "duckdb_path", "data_table"})
    after = duckdb_count(database, "pipeline_state") if database.exists() else 0
    if error is None:
        assert after == state_rows + 1
        assert "values" not in payload and type(payload["data_table"]) is str
    else:
        assert after == state_rows
        assert ("values" in payload) == had_values


def duckdb_count(path, table):
    connection = duckdb.connect(str(path), read_only=True)
    try:
        if not connection.execute(
                "SELECT count(*) FROM duckdb_tables() WHERE table_name = ?", [table]).fetchone()[0]:
            return 0
        return connection.execute(f"SELECT count(*) FROM {table}").fetchone()[0]
    finally:
        connection.close()


@FEW_EXAMPLES
@given(data=st.data())
def test_sql_op(host, dornick, scratch, data):
    database = scratch / "sql.duckdb"
    if not database.exists():
        host.call("duckdb_checkpoint_cpp", {"run_id": "r", "values": [1.0, 2.0],
                                             "duckdb_path": str(database)})
    statements = st.sampled_from([
        "CREATE OR REPLACE TABLE {out_table} AS SELECT * FROM {in_table}",
        "SELECT count(*) FROM {in_table}", "SELECT * FROM no_such_table", "not sql at all", "",
    ])
    names = st.sampled_from(["data_r_C", "copy_1", "no_such_table"])
    keys = {"duckdb_path": st.just(str(database)) | NOT_TEXT,
            "data_table": names | values, "sql": statements | values,
            "out_table": names | values}
    payload = data.draw(some_or_all(keys))
    error = check_op(host, "duckdb_sql_cpp", payload, (TypeError, RuntimeError), {"data_table"})
    if error is None:
        assert payload["data_table"] == payload["out_table"] or isinstance(
            payload["out_table"], (bytes, bytearray))


@FEW_EXAMPLES
@given(data=st.data())
def test_opcua_source_refused_endpoint(host, velmora, data):
    endpoint = f"opc.tcp://127.0.0.1:{free_port()}/DezedarIzIvovod"
    keys = {"endpoint": st.sampled_from([endpoint, endpoint.encode()]) | values,
            "phNode": texts | values, "temperatureNode": texts | values,
            "values": number_lists | values, "sampleChunk": values}
    payload = data.draw(some_or_all(keys))
    payload.setdefault("endpoint", endpoint)
    error = check_op(host, "opcua_ph_source", payload, (TypeError, RuntimeError), set())
    assert error is not None
    if type(error) is RuntimeError:
        assert str(error).startswith("opcua_ph_source_op: connect failed for endpoint opc.tcp://")


@pytest.fixture(scope="module")
def simulator():
    with running_server("ph_meter_sim", "--ph", "7.0", "--temperature", "25.0",
                        "--edge-case-nodes") as server:
        yield server


@FEW_EXAMPLES
@given(data=st.data())
def test_opcua_source_against_the_simulator(host, velmora, simulator, data):
    nodes = st.sampled_from(["ns=2;s=RivevorOrAdori01.pH", "ns=2;s=RivevorOrAdori01.phFloat",
                             "ns=2;s=RivevorOrAdori01.phArray", "ns=9;s=none", "not a node"])
    keys = {"phNode": nodes | texts, "temperatureNode": nodes | texts,
            "values": number_lists | values, "sampleChunk": number_lists | values}
    payload = data.draw(some_or_all(keys))
    payload["endpoint"] = simulator.endpoint
    error = check_op(host, "opcua_ph_source", payload, (TypeError, Boom, ValueError,
                                                        OverflowError, MemoryError),
                     {"values", "opcua_sample"}, unchanged_on_failure=False)
    if error is None:
        sample = payload["opcua_sample"]
        assert list(sample) == ["pH", "temperature", "timestamp"]
        assert sample["timestamp"] is None
        assert same_bits(payload["values"][-1], sample["pH"])
        assert all(type(x) is float for x in payload["values"])
