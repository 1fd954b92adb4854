"""The OPC UA source op "opcua_ph_source" of _velmora, against real servers in other processes:
our simulated pH meter and asyncua's server (a peer nobody here wrote)."""

import asyncio
import copy
import math
import signal
import socket
import time

import pytest

from conftest import run_python
from opcua_servers import DEFAULT_PORT, free_port, port_is_free, running_server, start_server

OP = "opcua_ph_source"
PH_NODE = "ns=2;s=RivevorOrAdori01.pH"
FLOAT_NODE = "ns=2;s=RivevorOrAdori01.phFloat"
INT32_NODE = "ns=2;s=RivevorOrAdori01.temperatureInt32"
ARRAY_NODE = "ns=2;s=RivevorOrAdori01.phArray"
# The library's default response timeout, which bounds a connect to a server that never answers.
LIBRARY_TIMEOUT_SECONDS = 5.0
CONNECT_FAILED = "opcua_ph_source_op: connect failed for endpoint "


def same_floats(actual, expected):
    """Equal element by element, NaN matching NaN."""
    return len(actual) == len(expected) and all(
        (math.isnan(a) and math.isnan(e)) or a == e for a, e in zip(actual, expected))


def closed_endpoint():
    return f"opc.tcp://127.0.0.1:{free_port()}/DezedarIzIvovod"


@pytest.fixture
def mute_server():
    """A loopback port that completes TCP connections (the kernel's backlog) but never reads or
    writes: a server that never answers. Yields the listening socket."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        yield listener


def accepted_connections(listener):
    listener.setblocking(False)
    count = 0
    while True:
        try:
            connection, _ = listener.accept()
        except BlockingIOError:
            return count
        connection.close()
        count += 1


def test_reads_both_nodes_into_a_sample_and_values(host, velmora, opcua_server):
    payload = {"endpoint": opcua_server.endpoint}
    result = host.call(OP, payload)
    assert result is payload
    assert list(payload) == ["endpoint", "opcua_sample", "values"]
    assert list(payload["opcua_sample"].items()) == [
        ("pH", 7.0), ("temperature", 25.0), ("timestamp", None)]
    assert payload["values"] == [7.0]
    assert payload["endpoint"] == opcua_server.endpoint


def test_defaults_reach_the_default_endpoint_and_nodes(host, velmora, opcua_server_kind):
    if not port_is_free(DEFAULT_PORT):
        pytest.skip(f"port {DEFAULT_PORT} is in use by another process")
    try:
        server = start_server(opcua_server_kind, "--ph", "6.5", "--temperature", "21.5",
                              port=DEFAULT_PORT)
    except RuntimeError:
        if port_is_free(DEFAULT_PORT):
            raise
        pytest.skip(f"another process took port {DEFAULT_PORT} meanwhile")
    try:
        payload = host.call(OP, {})
    finally:
        server.stop()
    assert payload == {"opcua_sample": {"pH": 6.5, "temperature": 21.5, "timestamp": None},
                       "values": [6.5]}


@pytest.mark.parametrize(
    ("earlier", "expected_values"),
    [
        ({"values": [7.0, 7.1]}, [7.0, 7.1, 7.0]),
        ({"values": (1, 2.5)}, [1.0, 2.5, 7.0]),
        ({"values": None, "sampleChunk": [1, 2]}, [1.0, 2.0, 7.0]),
        ({"sampleChunk": [4]}, [4.0, 7.0]),
        ({"values": 5}, [7.0]),
        ({"values": "12", "sampleChunk": (3,)}, [3.0, 7.0]),
        ({"values": [1, "x"]}, [7.0]),
        ({"values": {"a": 1}, "sampleChunk": None}, [7.0]),
        ({"values": [], "sampleChunk": [9]}, [7.0]),
    ],
    ids=["values-list", "values-tuple", "values-none-then-chunk", "chunk-only", "single-number",
         "str-then-chunk", "list-with-text", "dict-and-none", "empty-values-wins"],
)
def test_appends_the_ph_to_the_earlier_samples(host, velmora, opcua_server, earlier,
                                               expected_values):
    payload = {"endpoint": opcua_server.endpoint, **earlier}
    originals = {key: payload[key] for key in earlier}
    snapshots = copy.deepcopy(originals)
    host.call(OP, payload)
    assert payload["values"] == expected_values
    assert type(payload["values"]) is list
    assert all(type(value) is float for value in payload["values"])
    # The earlier objects are neither modified nor reused; "sampleChunk" stays as it was.
    for key, original in originals.items():
        assert original == snapshots[key]
        assert payload["values"] is not original
    if "sampleChunk" in earlier:
        assert payload["sampleChunk"] is originals["sampleChunk"]


def test_values_that_raise_while_iterated_pass_the_error_on(host, velmora, opcua_server):
    class Unreadable(list):
        def __iter__(self):
            raise ZeroDivisionError("cannot iterate")

    payload = {"endpoint": opcua_server.endpoint, "values": Unreadable([1.0])}
    with pytest.raises(ZeroDivisionError, match="^cannot iterate$"):
        host.call(OP, payload)
    # "opcua_sample" is stored before "values" is read.
    assert payload["opcua_sample"] == {"pH": 7.0, "temperature": 25.0, "timestamp": None}
    assert payload["values"] == [1.0]


@pytest.mark.parametrize(
    ("nodes", "expected_ph", "expected_temperature"),
    [
        ({"phNode": FLOAT_NODE}, 7.25, 25.0),
        ({"temperatureNode": INT32_NODE}, 7.0, math.nan),
        ({"phNode": "this is not a node id"}, math.nan, 25.0),
        ({"phNode": "ns=2;s=RivevorOrAdori01.missing"}, math.nan, 25.0),
        ({"phNode": "ns=9;i=1", "temperatureNode": "ns=2;s=RivevorOrAdori01"}, math.nan, math.nan),
        ({"phNode": ARRAY_NODE}, math.nan, 25.0),
        ({"phNode": FLOAT_NODE.encode(), "temperatureNode": bytearray(INT32_NODE.encode())},
         7.25, math.nan),
        ({"phNode": "ns=2;s=RivevorOrAdori01.temperature",
          "temperatureNode": "ns=2;s=RivevorOrAdori01.pH"}, 25.0, 7.0),
    ],
    ids=["float-ph", "int32-temperature", "malformed-id", "missing-node",
         "unknown-namespace-and-object",
         "array", "bytes-and-bytearray-ids", "swapped"],
)
def test_node_problems_read_as_nan(host, velmora, opcua_server, nodes, expected_ph,
                                   expected_temperature):
    payload = {"endpoint": opcua_server.endpoint, "values": [7.0], **nodes}
    host.call(OP, payload)
    sample = payload["opcua_sample"]
    assert same_floats([sample["pH"], sample["temperature"]],
                       [expected_ph, expected_temperature])
    assert sample["timestamp"] is None
    assert same_floats(payload["values"], [7.0, expected_ph])


@pytest.mark.parametrize(
    "endpoint",
    ["<closed port>", b"<closed port>", "not an endpoint", "opc.tcp://127.0.0.1:0/x", ""],
    ids=["refused", "refused-bytes", "not-a-url", "port-zero", "empty"],
)
def test_failed_connect_raises_and_leaves_the_payload(host, velmora, endpoint):
    if endpoint == "<closed port>":
        endpoint = closed_endpoint()
    elif endpoint == b"<closed port>":
        endpoint = closed_endpoint().encode()
    values = [7.0]
    payload = {"endpoint": endpoint, "values": values, "opcua_sample": "earlier"}
    before = copy.deepcopy(payload)
    text = endpoint.decode() if isinstance(endpoint, bytes) else endpoint
    with pytest.raises(RuntimeError) as raised:
        host.call(OP, payload)
    assert str(raised.value) == CONNECT_FAILED + text
    assert payload == before
    assert payload["values"] is values and values == [7.0]


@pytest.mark.parametrize(
    ("settings", "type_name"),
    [
        ({"endpoint": None}, "NoneType"),
        ({"phNode": None}, "NoneType"),
        ({"temperatureNode": 12}, "int"),
        ({"phNode": ["ns=2;s=RivevorOrAdori01.pH"]}, "list"),
    ],
    ids=["endpoint-none", "ph-node-none", "temperature-node-int", "ph-node-list"],
)
def test_refused_setting_raises_before_any_network_activity(host, velmora, mute_server, settings,
                                                            type_name):
    port = mute_server.getsockname()[1]
    payload = {"endpoint": f"opc.tcp://127.0.0.1:{port}/DezedarIzIvovod", "values": [1.0],
               **settings}
    before = copy.deepcopy(payload)
    with pytest.raises(TypeError) as raised:
        host.call(OP, payload)
    assert str(raised.value) == (
        f"cannot convert a value of type '{type_name}' to a string (str, bytes or bytearray)")
    assert payload == before
    assert accepted_connections(mute_server) == 0


def test_server_that_never_answers_fails_within_the_library_timeout(host, velmora, mute_server):
    port = mute_server.getsockname()[1]
    endpoint = f"opc.tcp://127.0.0.1:{port}/DezedarIzIvovod"
    payload = {"endpoint": endpoint}
    started, cpu_started = time.monotonic(), time.process_time()
    with pytest.raises(RuntimeError) as raised:
        host.call(OP, payload)
    elapsed, cpu = time.monotonic() - started, time.process_time() - cpu_started
    assert str(raised.value) == CONNECT_FAILED + endpoint
    assert payload == {"endpoint": endpoint}
    assert accepted_connections(mute_server) == 1
    # The configured timeout is waited out, not shortened, and not overrun; the wait sleeps.
    assert LIBRARY_TIMEOUT_SECONDS - 0.1 <= elapsed < LIBRARY_TIMEOUT_SECONDS + 2.0
    assert cpu < 0.5


def test_server_gone_between_calls(host, velmora, opcua_server_kind):
    server = start_server(opcua_server_kind, "--ph", "7.0")
    try:
        payload = {"endpoint": server.endpoint}
        host.call(OP, payload)
        assert payload["values"] == [7.0]
    finally:
        server.stop(signal.SIGKILL)
    before = copy.deepcopy(payload)
    with pytest.raises(RuntimeError) as raised:
        host.call(OP, payload)
    assert str(raised.value) == CONNECT_FAILED + server.endpoint
    assert payload == before


def test_every_call_closes_its_session(host, velmora):
    from asyncua import Client

    async def session_counts(endpoint):
        async with Client(endpoint) as client:
            current = await client.get_node("ns=0;i=2277").read_value()
            cumulated = await client.get_node("ns=0;i=2278").read_value()
            return current, cumulated

    with running_server("ph_meter_sim") as server:
        for _ in range(20):
            host.call(OP, {"endpoint": server.endpoint})
        # The reading client's own session is the only one open.
        assert asyncio.run(session_counts(server.endpoint)) == (1, 21)


def test_calls_print_nothing(opcua_server):
    # The child's file descriptors 1 and 2 are pipes: whatever the library writes, straight to
    # the descriptors or through Python, arrives here.
    child = run_python(f"""
        import corrivan, _velmora
        payload = corrivan.call("opcua_ph_source", {{"endpoint": {opcua_server.endpoint!r}}})
        assert payload["values"] == [7.0], payload
        try:
            corrivan.call("opcua_ph_source", {{"endpoint": {closed_endpoint()!r}}})
        except RuntimeError:
            pass
        else:
            raise AssertionError("connect to a closed port succeeded")
    """)
    assert (child.returncode, child.stdout, child.stderr) == (0, "", "")
