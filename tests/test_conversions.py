"""The payload value conversions shared by every op, value by value."""

import decimal
import fractions

import numpy as np
import pytest


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    def __float__(self):
        raise ZeroDivisionError("no float")

    def __index__(self):
        raise ZeroDivisionError("no index")


class Sub(float):
    pass


class Text(str):
    pass


class Items(set):
    pass


class BadLength:
    def __getitem__(self, index):
        return 1.0

    def __len__(self):
        raise OSError("no length")


class BadIterList(list):
    def __iter__(self):
        raise LookupError("no iteration")


def failing_generator():
    yield 1.0
    raise ArithmeticError("generator failed")


REFUSED = TypeError

CASES = [
    # string conversion
    ("string", "abc", b"abc"),
    ("string", "pH \u00e9\U0001f600", "pH \u00e9\U0001f600".encode()),
    ("string", Text("sub"), b"sub"),
    ("string", b"\xff\x00raw", b"\xff\x00raw"),
    ("string", bytearray(b"ba"), b"ba"),
    ("string", "\ud800", REFUSED),
    ("string", None, REFUSED),
    ("string", 5, REFUSED),
    ("string", ["a"], REFUSED),
    # number conversion
    ("number", 1.5, 1.5),
    ("number", Sub(2.5), 2.5),
    ("number", 3, 3.0),
    ("number", True, 1.0),
    ("number", Floaty(4.5), 4.5),
    ("number", Indexy(6), 6.0),
    ("number", decimal.Decimal("0.5"), 0.5),
    ("number", np.float32(0.25), 0.25),
    ("number", "7", REFUSED),
    ("number", None, REFUSED),
    ("number", [1.0], REFUSED),
    ("number", Floaty("not a float"), REFUSED),
    ("number", Raising(), REFUSED),
    ("number", 10**400, REFUSED),
    # integer conversions
    ("int32", 5, 5),
    ("int32", True, 1),
    ("int32", Indexy(-7), -7),
    ("int32", decimal.Decimal("-5.7"), -5),
    ("int32", fractions.Fraction(7, 2), 3),
    ("int32", 2**31 - 1, 2**31 - 1),
    ("int32", -(2**31), -(2**31)),
    ("int32", 2**31, REFUSED),
    ("int32", 5.0, REFUSED),
    ("int32", Sub(5.0), REFUSED),
    ("int32", "5", REFUSED),
    ("int32", None, REFUSED),
    ("int32", Raising(), REFUSED),
    ("int64", 2**63 - 1, 2**63 - 1),
    ("int64", -(2**63), -(2**63)),
    ("int64", 2**63, REFUSED),
    ("int64", 3.0, REFUSED),
    # sequence conversion
    ("sequence", [1, 2.5, True], [1.0, 2.5, 1.0]),
    ("sequence", (1.5,), [1.5]),
    ("sequence", [], []),
    ("sequence", range(3), [0.0, 1.0, 2.0]),
    ("sequence", bytearray(b"\x01\x02"), [1.0, 2.0]),
    ("sequence", (x / 2 for x in range(3)), [0.0, 0.5, 1.0]),
    ("sequence", {2.0}, [2.0]),
    ("sequence", frozenset({3}), [3.0]),
    ("sequence", Items({4}), [4.0]),
    ("sequence", {1: "a", 2: "b"}.keys(), [1.0, 2.0]),
    ("sequence", {"a": 1, "b": 2}.values(), [1.0, 2.0]),
    ("sequence", map(float, "12"), [1.0, 2.0]),
    ("sequence", [Floaty(1.5), Indexy(2), Sub(3.0), np.float64(4.0)], [1.5, 2.0, 3.0, 4.0]),
    ("sequence", np.array([1.0, 2.0]), [1.0, 2.0]),
    ("sequence", [2**70], [float(2**70)]),
    ("sequence", {"a": 1}.items(), REFUSED),
    ("sequence", zip([1, 2]), REFUSED),
    ("sequence", "12", REFUSED),
    ("sequence", Text("12"), REFUSED),
    ("sequence", b"12", REFUSED),
    ("sequence", {"a": 1}, REFUSED),
    ("sequence", 5, REFUSED),
    ("sequence", None, REFUSED),
    ("sequence", [1.0, "2"], REFUSED),
    ("sequence", [1.0, None], REFUSED),
    ("sequence", [1.0, Raising()], REFUSED),
    ("sequence", [1.0, 10**400], REFUSED),
    # Python errors met while taking the length or iterating pass on unchanged
    ("sequence", BadLength(), OSError),
    ("sequence", BadIterList([1.0]), LookupError),
    ("sequence", failing_generator(), ArithmeticError),
]


@pytest.mark.parametrize("kind, value, expected", CASES, ids=lambda case: repr(case)[:40])
def test_conversion(host, test_ops, kind, value, expected):
    payload = {"kind": kind, "value": value}
    if isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected) as caught:
            host.call("convert", payload)
        assert type(caught.value) is expected
        assert "result" not in payload
    else:
        result = host.call("convert", payload)["result"]
        assert result == expected
        assert type(result) is type(expected)


def test_generator_is_consumed(host, test_ops):
    generator = (float(x) for x in range(3))
    host.call("convert", {"kind": "sequence", "value": generator})
    assert list(generator) == []


def test_negative_zero_and_special_floats_keep_their_bits(host, test_ops):
    values = [-0.0, float("inf"), float("-inf"), float("nan"), 5e-324]
    result = host.call("convert", {"kind": "sequence", "value": values})["result"]
    assert [np.float64(x).tobytes() for x in result] == [np.float64(x).tobytes() for x in values]


def test_refusal_names_the_type(host, test_ops):
    with pytest.raises(TypeError, match="'NoneType' to a string"):
        host.call("convert", {"kind": "string", "value": None})
