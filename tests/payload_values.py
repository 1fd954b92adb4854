"""Random payload values for the property tests, and the checks that an op left them alone:
identity and content fingerprints, and reference counts."""

import contextlib
import gc
import math
import struct
import sys
import weakref

from hypothesis import strategies as st


class Boom(Exception):
    """Raised by the odd objects below; it must come back out of an op unchanged or not at all."""


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


RAISE = "raise"

# What a protocol method of an odd object gives back instead of a sensible value. (A length
# far beyond memory has a test of its own: the sanitizer build cannot run it.)
NONSENSE = [RAISE, None, "7", -1, 2**70, 1.5, [], FloatSub(2.5), IntSub(3)]


def _odd_method(method, result):
    def raising(self, *args):
        raise Boom(method)

    def answering(self, *args):
        return result

    return raising if result is RAISE else answering


def _sequence_item(self, index):
    if index < 3:
        return 1.0
    raise IndexError(index)


def make_odd(method, result):
    """An object whose `method` raises Boom or returns `result`. An odd __len__ sits on a
    sequence of three floats, an odd __iter__ on a list subclass holding three floats."""
    members = {method: _odd_method(method, result), "__repr__": lambda self: f"<odd {method}>",
               "odd_method": (method, result)}
    if method == "__len__":
        members["__getitem__"] = _sequence_item
        return type("OddLength", (), members)()
    if method == "__iter__":
        return type("OddIter", (list,), members)([1.0, 2.0, 3.0])
    return type("Odd" + method.strip("_").title(), (), members)()


def _generated_floats(packed, fail_after):
    """A generator of the floats packed in `packed`; with `fail_after` it raises Boom after that
    many. The floats are made as it runs, so it shares no object with anything else."""
    count = len(packed) // 8
    for index, (number,) in enumerate(struct.iter_unpack("d", packed)):
        if fail_after is not None and index == fail_after:
            raise Boom("generator")
        yield number
    if fail_after is not None and fail_after >= count:
        raise Boom("generator")


# What each generator made here will yield: (numbers, fail_after), for the models of the tests.
GENERATED = weakref.WeakKeyDictionary()


def _make_generator(numbers, fail_after):
    generator = _generated_floats(struct.pack(f"{len(numbers)}d", *numbers), fail_after)
    GENERATED[generator] = (tuple(numbers), fail_after)
    return generator


def generators():
    return st.builds(
        _make_generator,
        st.lists(st.floats(), max_size=4),
        st.none() | st.integers(0, 4),
    )


texts = st.text(max_size=8) | st.sampled_from(["\ud800", "a\udfffb", "pH \U0001f600", ""])
floats = st.floats() | st.sampled_from([-0.0, math.inf, -math.inf, math.nan, 5e-324])
integers = st.integers() | st.sampled_from(
    [2**31 - 1, 2**31, -(2**31) - 1, 2**63 - 1, 2**63, -(2**63) - 1, 10**400, -(10**400)])

hashable_atoms = st.one_of(
    st.none(), st.booleans(), integers, floats, texts, st.binary(max_size=8),
    floats.map(FloatSub), integers.map(IntSub), texts.map(StrSub),
    st.builds(make_odd, st.sampled_from(["__len__", "__float__", "__index__", "__str__"]),
              st.sampled_from(NONSENSE)),
)
atoms = hashable_atoms | st.binary(max_size=8).map(bytearray) | st.builds(
    make_odd, st.just("__iter__"), st.sampled_from(NONSENSE))


def _containers(children):
    dicts = st.dictionaries(texts | integers, children, max_size=4)
    return st.one_of(
        st.lists(children, max_size=5),
        st.lists(children, max_size=5).map(tuple),
        st.sets(hashable_atoms, max_size=4),
        st.frozensets(hashable_atoms, max_size=4),
        dicts,
        dicts.map(DictSub),
        dicts.map(lambda d: d.keys()),
        dicts.map(lambda d: d.values()),
        dicts.map(lambda d: d.items()),
        generators(),
    )


values = st.recursive(atoms, _containers, max_leaves=8)

# Samples that convert, so that an op gets past its sample reading often enough.
number_lists = st.lists(floats | st.integers(-(10**6), 10**6), max_size=6)


def _children(value):
    """The objects a value holds that can be reached without running any of its code."""
    if isinstance(value, (list, tuple, set, frozenset)):
        return list(list.__iter__(value) if isinstance(value, list) else value)
    if isinstance(value, dict):
        return [part for item in dict.items(value) for part in item]
    if type(value).__name__ in ("dict_keys", "dict_values", "dict_items"):
        # The view's mapping is a new proxy each time: its dict's items are taken instead.
        return [part for item in value.mapping.items() for part in item]
    return []


def fingerprint(value):
    """Identity and content of a value and of everything it holds, comparable with ==. Objects
    are compared by identity, so a value replaced by an equal one counts as changed."""
    children = _children(value)
    content = bytes(value) if isinstance(value, bytearray) else None
    return (id(value), type(value), content, [fingerprint(child) for child in children])


def _shared(value):
    """Objects whose reference count others change: singletons, small ints and cached texts."""
    if value is None or isinstance(value, bool):
        return True
    if type(value) is int and -5 <= value <= 256:
        return True
    if type(value) in (str, bytes, tuple, frozenset) and len(value) <= 1:
        return True
    return False


def reachable(payload):
    """Every object reachable from the payload's values (not its keys), each once."""
    seen = {}
    stack = list(dict.values(payload))
    while stack:
        value = stack.pop()
        if id(value) in seen:
            continue
        seen[id(value)] = value
        stack.extend(_children(value))
    return list(seen.values())


class ReferenceCounts:
    """Reference counts of the objects a payload holds, taken before an op runs, to be compared
    after it. A value that the op dropped from the payload (a replaced or removed key) loses the
    payload's reference: `check` takes that into account."""

    def __init__(self, payload):
        self.objects = [value for value in reachable(payload) if not _shared(value)]
        self.top_level = self._top_level_counts(payload)
        self.counts = [sys.getrefcount(value) for value in self.objects]

    @staticmethod
    def _top_level_counts(payload):
        counts = {}
        for value in dict.values(payload):
            counts[id(value)] = counts.get(id(value), 0) + 1
        return counts

    def check(self, payload):
        after = self._top_level_counts(payload)
        changed = []
        # By index: zip and enumerate keep their last pair, and with it one more reference.
        for index in range(len(self.objects)):
            value, before = self.objects[index], self.counts[index]
            expected = before + after.get(id(value), 0) - self.top_level.get(id(value), 0)
            actual = sys.getrefcount(value)
            if actual != expected:
                changed.append((type(value).__name__, repr(value)[:60], before, expected, actual))
        assert changed == [], "reference counts changed: " + repr(changed)


@contextlib.contextmanager
def references_kept(payload):
    """Checks that what runs inside leaves the reference counts of the payload's values as they
    were. No collection runs in between: garbage of earlier examples (an error's traceback holds
    its frames) may refer to these values, and freeing it would lower their counts."""
    gc.disable()
    try:
        counts = ReferenceCounts(payload)
        yield
        counts.check(payload)
    finally:
        gc.enable()
