"""The "average" op through the host: sample keys, method keys, the four stores and failures."""

import math

import pytest


def population_se(samples, mean):
    """The standard error as the op computes it: index-order sum from 0.0, two divisions by n."""
    total = 0.0
    for sample in samples:
        deviation = sample - mean
        total += deviation * deviation
    return math.sqrt(total / len(samples) / len(samples))


class RaisingIter(list):
    def __iter__(self):
        raise LookupError("no iteration today")


def raising_generator():
    yield 1.0
    raise LookupError("generator broke")


@pytest.mark.parametrize(
    "payload, mean, se",
    [
        ({"window": [1, 2, 3, 4]}, 2.5, math.sqrt(0.3125)),
        ({"window": [1, 3]}, 2.0, math.sqrt(0.5)),
        ({"window": [0, 2, 2], "averageMethod": "harmonic"}, 3.0, math.sqrt(11 / 3 / 3)),
        ({"window": [0, 2, 2], "mode": "harmonic"}, 3.0, math.sqrt(11 / 3 / 3)),
        ({"window": [0, 2, 2], "averageMethod": b"HARMONIC"}, 3.0, math.sqrt(11 / 3 / 3)),
        ({"window": [0, 2, 2], "averageMethod": bytearray(b"Harmonic")}, 3.0, math.sqrt(11 / 3 / 3)),
        (
            {"window": [0, 2, 2], "averageMethod": "arithmetic", "mode": "harmonic"},
            4 / 3,
            population_se([0, 2, 2], 4 / 3),
        ),
        ({"window": [1, 2, 3], "averageMethod": "weighted"}, 2.0, math.sqrt(2 / 3 / 3)),
        ({"window": [1, 3], "averageMethod": "median"}, 2.0, math.sqrt(0.5)),
        ({"window": (1, 3)}, 2.0, math.sqrt(0.5)),
        ({"window": (x for x in (1.0, 3.0))}, 2.0, math.sqrt(0.5)),
        ({"values": [1, 3]}, 2.0, math.sqrt(0.5)),
        ({"window": [7]}, 7.0, 0.0),
        ({"window": [], "values": [5]}, 0.0, 0.0),
        ({"window": None, "data": [1, 2]}, 1.5, math.sqrt(0.5 / 2 / 2)),
        ({"window": [], "data": [1, 3]}, 2.0, math.sqrt(0.5)),
        ({"window": [2], "data": [1, 3]}, 2.0, 0.0),
        ({"values": [1, "2"], "data": [4]}, 4.0, 0.0),
        ({"data": 5}, 5.0, 0.0),
        ({"data": "5"}, 0.0, 0.0),
        ({"window": {"a": 1}}, 0.0, 0.0),
        ({}, 0.0, 0.0),
        ({"averageMethod": "geometric"}, 0.0, 0.0),
    ],
)
def test_mean_and_standard_error_are_stored_four_times(host, kelvara, payload, mean, se):
    before = dict(payload)
    result = host.call("average", payload)
    assert result is payload
    assert list(payload) == list(before) + ["stats", "mean", "se", "standardError"]
    for key, value in before.items():
        assert payload[key] is value
    stats = payload["stats"]
    assert list(stats) == ["mean", "se", "standardError"]
    for values in (stats, payload):
        assert type(values["mean"]) is float and type(values["se"]) is float
        assert type(values["standardError"]) is float
        assert (values["mean"], values["se"], values["standardError"]) == (mean, se, se)


def test_geometric_mean_of_one_and_four_is_two(host, kelvara):
    payload = host.call("average", {"window": [1, 4], "averageMethod": "Geometric"})
    assert payload["mean"] == pytest.approx(2.0, rel=1e-15)
    assert payload["se"] == pytest.approx(math.sqrt(1.25), rel=1e-15)


def test_nan_sample_makes_the_geometric_mean_nan(host, kelvara):
    payload = host.call("average", {"window": [float("nan"), 4.0], "averageMethod": "geometric"})
    assert math.isnan(payload["mean"]) and math.isnan(payload["stats"]["mean"])


def test_results_replace_earlier_values_without_touching_them(host, kelvara):
    old_stats = {"mean": -1.0}
    payload = {"window": [1, 3], "stats": old_stats, "mean": "old", "se": None}
    host.call("average", payload)
    assert old_stats == {"mean": -1.0}
    assert payload["stats"] is not old_stats
    assert list(payload) == ["window", "stats", "mean", "se", "standardError"]
    assert payload["mean"] == 2.0


@pytest.mark.parametrize(
    "payload, exception, message",
    [
        (
            {"window": [1, 0, 4], "averageMethod": "geometric"},
            ValueError,
            "geometric mean is only defined for positive values",
        ),
        (
            {"window": [-0.0], "mode": "GEOMETRIC"},
            ValueError,
            "geometric mean is only defined for positive values",
        ),
        (
            {"window": [1, 2], "averageMethod": None, "mode": "harmonic"},
            TypeError,
            "cannot convert a value of type 'NoneType' to a string (str, bytes or bytearray)",
        ),
        (
            {"window": [1, 2], "mode": 3},
            TypeError,
            "cannot convert a value of type 'int' to a string (str, bytes or bytearray)",
        ),
        ({"window": RaisingIter([1, 2])}, LookupError, "no iteration today"),
        ({"values": raising_generator()}, LookupError, "generator broke"),
    ],
)
def test_failures_leave_the_payload_as_it_was(host, kelvara, payload, exception, message):
    payload.update({"stats": {"mean": 9.0}, "mean": 9.0, "se": 1.0, "standardError": 1.0})
    before = dict(payload)
    with pytest.raises(exception) as caught:
        host.call("average", payload)
    assert type(caught.value) is exception
    assert str(caught.value) == message
    assert payload == before
    assert payload["stats"] is before["stats"] and payload["stats"] == {"mean": 9.0}
