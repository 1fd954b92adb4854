"""The sliding window op "fifo_window_buffer", through the host."""

import copy
import math
import random
import struct

import pytest


def window(host, payload):
    return host.call("fifo_window_buffer", payload)["window"]


def test_three_sample_window_sequence(host, kelvara, fifo_id):
    steps = [([1, 2], [1.0, 2.0]), ([3, 4, 5], [3.0, 4.0, 5.0]), ([6], [4.0, 5.0, 6.0])]
    for samples, expected in steps:
        result = window(host, {"windowSize": 3, "fifoId": fifo_id, "sampleChunk": samples})
        assert result == expected
        assert all(type(x) is float for x in result)


@pytest.mark.parametrize(
    "size_keys",
    [
        {},
        {"windowSize": 0},
        {"windowSize": -4},
        {"windowSize": 2.0},
        {"windowSize": "3"},
        {"windowSize": None},
        {"windowSize": 2**31},
        {"window_size": -1},
        # a present "windowSize" hides "window_size", even when it does not convert
        {"windowSize": "3", "window_size": 3},
    ],
    ids=repr,
)
def test_unlimited_window_grows_across_calls(host, kelvara, fifo_id, size_keys):
    for sample in range(5):
        result = window(host, {"fifoId": fifo_id, "values": [sample], **size_keys})
    assert result == [0.0, 1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize(
    "size_keys, expected",
    [
        ({"window_size": 2}, [3.0, 4.0]),
        ({"windowSize": True}, [4.0]),
        ({"windowSize": 2**31 - 1}, [0.0, 1.0, 2.0, 3.0, 4.0]),
    ],
    ids=repr,
)
def test_window_size_sources(host, kelvara, fifo_id, size_keys, expected):
    result = window(host, {"fifoId": fifo_id, "values": [0, 1, 2, 3, 4], **size_keys})
    assert result == expected


def test_larger_size_brings_nothing_back_and_no_samples_trims(host, kelvara, fifo_id):
    window(host, {"fifoId": fifo_id, "values": [1, 2, 3, 4, 5]})
    assert window(host, {"fifoId": fifo_id, "windowSize": 2}) == [4.0, 5.0]
    assert window(host, {"fifoId": fifo_id, "windowSize": 10, "values": [6]}) == [4.0, 5.0, 6.0]


@pytest.mark.parametrize(
    "sample_keys, expected",
    [
        ({"sampleChunk": [1], "values": [2], "data": [3]}, [1.0]),
        ({"values": [2], "data": [3]}, [2.0]),
        ({"data": (3, 4)}, [3.0, 4.0]),
        ({"sampleChunk": None, "values": [1]}, []),
        ({"values": [1, "a"]}, []),
        ({"values": 7}, [7.0]),
        ({"values": True}, [1.0]),
        ({"values": "7"}, []),
        ({"values": {"a": 1}}, []),
        ({"values": []}, []),
        ({}, []),
    ],
    ids=repr,
)
def test_sample_keys(host, kelvara, fifo_id, sample_keys, expected):
    assert window(host, {"fifoId": fifo_id, **sample_keys}) == expected


def test_fifo_ids(host, kelvara, fifo_id):
    window(host, {"fifoId": fifo_id, "values": [1]})
    assert window(host, {"fifoId": fifo_id.encode(), "values": [2]}) == [1.0, 2.0]
    assert window(host, {"fifoId": bytearray(fifo_id.encode()), "values": [3]}) == [1.0, 2.0, 3.0]
    assert window(host, {"fifoId": fifo_id + "-other", "values": [9]}) == [9.0]


def test_without_fifo_id_calls_share_the_default_fifo(host, kelvara):
    # Earlier tests may have left any number in the default FIFO, NaN included (which equals no
    # new float object): the windows are compared as texts.
    def texts(numbers):
        return [repr(number) for number in numbers]

    before = texts(window(host, {}))
    assert texts(window(host, {"values": [42]})) == before + ["42.0"]
    assert texts(window(host, {})) == before + ["42.0"]


def test_window_replaces_earlier_value_and_sample_keys_stay(host, kelvara, fifo_id):
    samples = [1, 2]
    old_window = [9.0]
    payload = {"fifoId": fifo_id, "sampleChunk": samples, "window": old_window}
    host.call("fifo_window_buffer", payload)
    assert payload["sampleChunk"] is samples and samples == [1, 2]
    assert old_window == [9.0] and payload["window"] is not old_window
    assert list(payload) == ["fifoId", "sampleChunk", "window"]


class Explodes:
    """A value whose every protocol hook raises."""

    def __len__(self):
        raise OSError("len exploded")

    def __getitem__(self, index):
        raise OSError("getitem exploded")


class ExplodingIteration(list):
    def __iter__(self):
        raise LookupError("iter exploded")


class RefusesFloat:
    def __float__(self):
        raise ZeroDivisionError("float exploded")


class RefusesIndex:
    def __index__(self):
        raise ZeroDivisionError("index exploded")


def test_failures_leave_store_and_payload_unchanged(host, kelvara, fifo_id):
    window(host, {"fifoId": fifo_id, "values": [1, 2]})
    failing_payloads = [
        ({"fifoId": 5, "values": [3]}, TypeError),
        ({"fifoId": None, "values": [3]}, TypeError),
        ({"fifoId": "\ud800", "values": [3]}, TypeError),
        ({"fifoId": fifo_id, "values": Explodes()}, OSError),
        ({"fifoId": fifo_id, "values": ExplodingIteration([3])}, LookupError),
    ]
    for payload, exception in failing_payloads:
        before = copy.copy(payload)
        with pytest.raises(exception):
            host.call("fifo_window_buffer", payload)
        assert payload == before
    # "fifoId" 5 left the default FIFO alone as well as this one
    assert window(host, {"fifoId": fifo_id}) == [1.0, 2.0]


def test_refused_numbers_read_as_no_samples_or_no_limit(host, kelvara, fifo_id):
    assert window(host, {"fifoId": fifo_id, "values": [1.0, RefusesFloat()]}) == []
    assert window(host, {"fifoId": fifo_id, "values": RefusesFloat()}) == []
    for sample in range(3):
        result = window(host, {"fifoId": fifo_id, "values": [sample], "windowSize": RefusesIndex()})
    assert result == [0.0, 1.0, 2.0]


class Sample(float):
    """A float subclass: its value goes into the window, never the object itself."""


def test_long_runs_match_a_plain_model(host, kelvara, fifo_id):
    # Many calls with chunks of mixed kinds and a window size that shrinks, grows and goes
    # unlimited: the window must always be the model's, as exact floats, bit for bit.
    rng = random.Random(11)
    model = []
    def sample():
        value = rng.choice([rng.uniform(-5, 5), -0.0, math.nan, 2.5])
        kind = rng.choice([float, float, Sample, int])
        return kind(value) if kind is not int or math.isfinite(value) else value

    for call in range(400):
        size = rng.choice([0, 1, 3, 7, 50, 50, 50])
        chunk = [sample() for _ in range(rng.choice([0, 1, 1, 2, 10, 60]))]
        container = rng.choice([list, tuple])
        result = window(host, {"fifoId": fifo_id, "values": container(chunk), "windowSize": size})
        model.extend(float(x) for x in chunk)
        if size:
            del model[:-size]
        assert [struct.pack("<d", x) for x in result] == [struct.pack("<d", x) for x in model]
        assert all(type(x) is float for x in result)


def test_result_shares_nothing_mutable_with_earlier_results(host, kelvara, fifo_id):
    first = window(host, {"fifoId": fifo_id, "values": [1.0, 2.0]})
    second = window(host, {"fifoId": fifo_id, "values": [3.0]})
    first.append(99.0)
    assert second == [1.0, 2.0, 3.0]
    assert window(host, {"fifoId": fifo_id}) == [1.0, 2.0, 3.0]
