"""The "csv_sink" op through the host, on real files in a temporary folder."""

import csv
import json
import math
import os
import types

import pytest

from conftest import run_python


class Unprintable:
    def __str__(self):
        raise LookupError("no text for this cell")


class Payload(dict):
    pass


def call_sink(host, payload):
    """Calls the op and checks that nothing but "status" changed in the payload."""
    before = dict(payload)
    host.call("csv_sink", payload)
    assert {key: value for key, value in payload.items() if key != "status"} == before
    assert all(payload[key] is value for key, value in before.items() if key != "status")
    return payload["status"]


def test_first_call_creates_directories_and_writes_header_then_only_lines(host, kelvara, tmp_path):
    path = tmp_path / "a" / "b" / "out.csv"
    row = {"mean": 1.5, "se": 0.25}
    assert call_sink(host, {"csvPath": str(path), "data": row}) == f"handled via csv://{path}"
    assert path.read_bytes() == b"mean,se\n1.5,0.25\n"
    call_sink(host, {"csvPath": str(path), "data": {"mean": 2.0, "se": 0.0}})
    assert path.read_bytes() == b"mean,se\n1.5,0.25\n2.0,0.0\n"
    assert row == {"mean": 1.5, "se": 0.25}


def test_existing_empty_file_gets_a_header(host, kelvara, tmp_path):
    path = tmp_path / "empty.csv"
    path.write_bytes(b"")
    call_sink(host, {"handleUri": f"csv://{path}", "data": {"x": 1}})
    assert path.read_bytes() == b"x\n1\n"


def test_other_columns_go_under_the_old_header(host, kelvara, tmp_path):
    path = tmp_path / "out.csv"
    path.write_bytes(b"mean,se\n1.0,2.0\n")
    call_sink(host, {"handleUri": f"csv://{path}", "data": {"other": 3, "more": 4, "third": 5}})
    assert path.read_bytes() == b"mean,se\n1.0,2.0\n3,4,5\n"


def test_symbolic_link_is_followed_for_the_header_decision(host, kelvara, tmp_path):
    target = tmp_path / "target.csv"
    target.write_bytes(b"x\n1\n")
    link = tmp_path / "link.csv"
    link.symlink_to(target)
    call_sink(host, {"csvPath": str(link), "data": {"x": 2}})
    assert target.read_bytes() == b"x\n1\n2\n"
    assert link.is_symlink()


@pytest.mark.parametrize(
    "keys, chosen",
    [
        (("handleUri", "handle", "csvPath"), "handleUri"),
        (("handle", "csvPath"), "handle"),
        (("csvPath",), "csvPath"),
    ],
)
def test_first_present_target_key_decides(host, kelvara, tmp_path, keys, chosen):
    targets = {key: tmp_path / f"{key}.csv" for key in keys}
    payload = {
        key: str(path) if key == "csvPath" else f"csv://{path}".encode()
        for key, path in targets.items()
    }
    payload["data"] = {"x": 1}
    assert call_sink(host, payload) == f"handled via csv://{targets[chosen]}"
    assert sorted(os.listdir(tmp_path)) == [f"{chosen}.csv"]


@pytest.mark.parametrize(
    "targets, status",
    [
        ({}, "handled via "),
        ({"handleUri": "file:///tmp/x.csv", "csvPath": "{dir}/x.csv"}, "handled via file:///tmp/x.csv"),
        ({"handleUri": "CSV://{dir}/x.csv"}, "handled via CSV://{dir}/x.csv"),
        ({"handle": "csv:{dir}/x.csv"}, "handled via csv:{dir}/x.csv"),
        ({"handle": "csv:/x.csv"}, "handled via csv:/x.csv"),
        ({"handleUri": "", "handle": "csv://{dir}/x.csv"}, "handled via "),
        ({"handleUri": b"s3://bucket/x.csv"}, "handled via s3://bucket/x.csv"),
    ],
)
def test_other_targets_write_nothing(host, kelvara, tmp_path, monkeypatch, targets, status):
    monkeypatch.chdir(tmp_path)  # so that a relative path written by mistake would show
    payload = {
        key: value.replace("{dir}", str(tmp_path)) if isinstance(value, str) else value
        for key, value in targets.items()
    }
    payload["data"] = {"x": 1}
    assert call_sink(host, payload) == status.replace("{dir}", str(tmp_path))
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "rest, content",
    [
        ({"data": {"d": 1}, "stats": {"s": 2}}, b"d\n1\n"),
        ({"data": [1, 2], "stats": {"s": 2}}, b"s\n2\n"),
        ({"data": [1, 2]}, b'value\n"[1, 2]"\n'),
        ({"data": [1, 2], "stats": 5}, b'value\n"[1, 2]"\n'),
        ({"data": [("b", 1), ("a", 2)]}, b"b,a\n1,2\n"),
        ({"data": types.MappingProxyType({"m": 1.0})}, b"m\n1.0\n"),
        ({"data": Payload(sub=True)}, b"sub\nTrue\n"),
        ({"data": 5}, b"value\n5\n"),
        ({"data": None, "mean": 1.0}, b"value\nNone\n"),
        ({"stats": [("s", 1)], "mean": 1.0}, b"s\n1\n"),
        ({"mean": 1.5, "se": 0.25}, b"mean,se\n1.5,0.25\n"),
        ({"se": 0.25, "mean": 1.5}, b"mean,se\n1.5,0.25\n"),
        ({"mean": 1.5}, b"mean\n1.5\n"),
        ({"mean": None, "se": None}, b"mean,se\nNone,None\n"),
        ({"data": []}, None),
        ({"data": [], "stats": {"s": 2}}, None),
        ({"data": {}, "mean": 1.0}, None),
        ({"stats": {}}, None),
        ({"se": 0.25}, None),
        ({}, None),
    ],
)
def test_row_selection(host, kelvara, tmp_path, rest, content):
    path = tmp_path / "out.csv"
    payload = {"csvPath": str(path), **rest}
    assert call_sink(host, payload) == f"handled via csv://{path}"
    if content is None:
        assert os.listdir(tmp_path) == []
    else:
        assert path.read_bytes() == content


@pytest.mark.parametrize(
    "cell, text",
    [
        (7.0, b"7.0"),
        (0.1, b"0.1"),
        (1e-05, b"1e-05"),
        (float("nan"), b"nan"),
        (float("-inf"), b"-inf"),
        (10**30, b"1000000000000000000000000000000"),
        (True, b"True"),
        (None, b"None"),
        ("plain text", b"plain text"),
        (" padded ", b" padded "),
        ("caf\u00e9", "caf\u00e9".encode()),
        (b"raw", b"b'raw'"),
        ("a,b", b'"a,b"'),
        ('say "hi"', b'"say ""hi"""'),
        ("two\nlines", b'"two\nlines"'),
        ("carriage\rreturn", b'"carriage\rreturn"'),
        ({"k": [1, 2]}, b"\"{'k': [1, 2]}\""),
    ],
)
def test_cell_is_python_str_quoted_only_when_needed(host, kelvara, tmp_path, cell, text):
    path = tmp_path / "out.csv"
    call_sink(host, {"csvPath": str(path), "data": {"first": 1, "cell": cell}})
    assert path.read_bytes() == b"first,cell\n1," + text + b"\n"
    if isinstance(cell, str):
        with open(path, newline="", encoding="utf-8") as file:
            assert list(csv.reader(file)) == [["first", "cell"], ["1", cell]]


def test_names_are_quoted_like_cells(host, kelvara, tmp_path):
    path = tmp_path / "out.csv"
    call_sink(host, {"csvPath": str(path), "data": {"a,b": 1, 'q"': 2, "plain": 3}})
    assert path.read_bytes() == b'"a,b","q""",plain\n1,2,3\n'


def test_bytes_name_is_written_raw_and_looked_up_as_str(host, kelvara, tmp_path):
    path = tmp_path / "out.csv"
    call_sink(host, {"csvPath": str(path), "data": {b"k": 1, "k": 2}})
    assert path.read_bytes() == b"k,k\n2,2\n"


def test_stats_row_of_average_reads_back_as_the_same_numbers(host, kelvara, tmp_path):
    path = tmp_path / "stats.csv"
    payload = host.run(["average", "csv_sink"], {"window": [0.1, 0.2, 0.7], "csvPath": str(path)})
    assert payload["status"] == f"handled via csv://{path}"
    with open(path, newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["mean", "se", "standardError"]
    assert [float(cell) for cell in rows[1]] == [payload["mean"], payload["se"], payload["se"]]
    assert len(rows) == 2


@pytest.mark.parametrize("content", [None, b"", b"x\n1\n"])
@pytest.mark.parametrize(
    "row, exception, message",
    [
        ({"x": 1, "bad": Unprintable()}, LookupError, "no text for this cell"),
        ({"x": 1, b"k": 2}, KeyError, "'k'"),
        ({"x": 1, 5: 2}, TypeError, "cannot convert a value of type 'int' to a string"),
        ({"x": "\ud800"}, TypeError, "cannot convert a str that is not valid Unicode to UTF-8"),
    ],
)
def test_a_failing_name_or_cell_touches_nothing(
    host, kelvara, tmp_path, content, row, exception, message
):
    path = tmp_path / "sub" / "out.csv"
    if content is not None:
        path.parent.mkdir()
        path.write_bytes(content)
    payload = {"csvPath": str(path), "data": row}
    with pytest.raises(exception) as caught:
        host.call("csv_sink", payload)
    assert type(caught.value) is exception
    assert str(caught.value).startswith(message)
    assert "status" not in payload
    if content is None:
        assert os.listdir(tmp_path) == []
    else:
        assert path.read_bytes() == content


def test_existing_directory_as_path_raises_oserror(host, kelvara, tmp_path):
    path = tmp_path / "a_directory"
    path.mkdir()
    payload = {"csvPath": str(path), "data": {"x": 1}}
    with pytest.raises(IsADirectoryError) as caught:
        host.call("csv_sink", payload)
    assert (caught.value.errno, caught.value.filename) == (21, str(path))
    assert "status" not in payload
    assert os.listdir(path) == []


@pytest.mark.parametrize(
    "relative_path, message",
    [
        ("", "csv_sink_op: failed to open file: "),
        ("a_file/out.csv", "csv_sink_op: failed to open file: a_file/out.csv"),
    ],
)
def test_open_failure_raises_runtime_error(
    host, kelvara, tmp_path, monkeypatch, relative_path, message
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a_file").write_bytes(b"in the way")
    payload = {"handleUri": "csv://" + relative_path, "data": {"x": 1}}
    with pytest.raises(RuntimeError) as caught:
        host.call("csv_sink", payload)
    assert type(caught.value) is RuntimeError
    assert str(caught.value) == message
    assert "status" not in payload
    assert os.listdir(tmp_path) == ["a_file"]
    assert (tmp_path / "a_file").read_bytes() == b"in the way"


@pytest.mark.parametrize("value", [None, 5, ["csv://x.csv"]])
@pytest.mark.parametrize("key", ["handleUri", "handle", "csvPath"])
def test_target_that_is_not_text_is_refused(host, kelvara, tmp_path, key, value):
    payload = {key: value, "data": {"x": 1}}
    with pytest.raises(TypeError, match="to a string"):
        host.call("csv_sink", payload)
    assert "status" not in payload


def test_status_that_cannot_be_decoded_raises_unicode_error(host, kelvara):
    payload = {"handleUri": b"other://\xff"}
    with pytest.raises(UnicodeDecodeError):
        host.call("csv_sink", payload)
    assert "status" not in payload


# The file size limit makes write() fail for real: with no room at all (EFBIG) or after part
# of the text (a short write, which must be cut back).
@pytest.mark.parametrize(
    "content, room",
    [
        (None, 0),
        (None, 5),
        (b"", 3),
        (b"mean,se\n1.0,2.0\n", 0),
        (b"mean,se\n1.0,2.0\n", 4),
    ],
)
def test_failed_write_raises_and_leaves_no_partial_line(tmp_path, content, room):
    path = tmp_path / "out.csv"
    if content is not None:
        path.write_bytes(content)
    limit = len(content or b"") + room
    result = run_python(
        f"""
        import json, resource, signal
        import corrivan, _kelvara
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.RLIM_INFINITY))
        payload = {{"csvPath": {str(path)!r}, "data": {{"mean": 1.25, "se": 0.5}}}}
        try:
            corrivan.call("csv_sink", payload)
        except RuntimeError as error:
            print(json.dumps({{"error": str(error), "keys": list(payload)}}))
        """
    )
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    assert outcome == {
        "error": f"csv_sink_op: failed to write file: {path}",
        "keys": ["csvPath", "data"],
    }
    # The open has created a missing file; it holds no part of the header or the line.
    assert path.read_bytes() == (content or b"")


def test_window_average_and_sink_write_the_overview_file(host, kelvara, tmp_path, monkeypatch, fifo_id):
    monkeypatch.chdir(tmp_path)
    readings = [7.0, 7.5, 6.5, 8.0, 7.25]
    results = []
    for reading in readings:
        payload = {"windowSize": 3, "fifoId": fifo_id, "csvPath": "out/ph.csv", "values": [reading]}
        results.append(host.run(["fifo_window_buffer", "average", "csv_sink"], payload))
        assert payload["status"] == "handled via csv://out/ph.csv"
    assert [result["window"] for result in results] == [
        [7.0],
        [7.0, 7.5],
        [7.0, 7.5, 6.5],
        [7.5, 6.5, 8.0],
        [6.5, 8.0, 7.25],
    ]
    with open(tmp_path / "out" / "ph.csv", newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["mean", "se", "standardError"]
    assert len(rows) == 1 + len(readings)
    for row, result in zip(rows[1:], results):
        window = result["window"]
        assert float(row[0]) == result["mean"] == sum(window) / len(window)
        assert float(row[1]) == float(row[2]) == result["se"]
        assert not math.isnan(result["se"])
