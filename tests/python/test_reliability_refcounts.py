"""Every call gives back every reference it takes, on every path.

For each function and for success, binding errors, conversion errors at the
first, a middle and the last argument, and internal failures, the reference
count of the arguments, of every row and of every element is the same after
the call as before it. Results are new objects that only the caller holds.
"""
import gc
import sys

import numpy as np
import pytest

import vextral_core as v
from conftest import panic_class

FUNCTIONS = {name: getattr(v, name) for name in v.__all__}
BATCH_FUNCTIONS = ["py_compute_isotropy", "py_compute_coverage", "py_compute_distinctiveness",
                   "py_compute_quality_score"]


class FloatRaising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error()


class TypeErrorWithCause:
    def __float__(self):
        raise TypeError("inner") from KeyError("cause")


class Panicking:
    def __float__(self):
        raise panic_class()("from python")


class IndexRaising:
    def __index__(self):
        raise ValueError("no index")


class BreaksMidway:
    """A sequence whose iteration fails after its first item."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        yield self.items[0]
        raise ValueError("midway")


def numbers(count, start=0.5):
    # new float objects, not constants shared with the code
    return [float(f"{start + i}1") for i in range(count)]


def identifiers(count, start=1000):
    # ints above the small-int cache, so each is an object of its own
    return [int(str(start + i)) for i in range(count)]


def batch(rows=3, dimension=4):
    return [numbers(dimension, start=r) for r in range(rows)]


def batch_with(element, last=True):
    rows = batch()
    rows[-1 if last else 0][2] = element
    return rows


# (name, arguments, keyword arguments, exception type or None)
def batch_scenarios(name):
    return [
        ("list of lists", (batch(),), {}, None),
        ("tuple rows", (tuple(tuple(r) for r in batch()),), {}, None),
        ("numpy array", (np.arange(12, dtype=np.float32).reshape(3, 4),), {}, None),
        ("numpy rows", ([np.arange(4, dtype=np.float64) + r for r in range(3)],), {}, None),
        ("keyword", (), {"embeddings": batch()}, None),
        ("too many positional", (batch(), batch()), {}, TypeError),
        ("unexpected keyword", (), {"embedding": batch()}, TypeError),
        ("multiple values", (batch(),), {"embeddings": batch()}, TypeError),
        ("missing", (), {}, TypeError),
        ("str row", ([numbers(2), "ab"],), {}, TypeError),
        ("None in the last row", (batch_with(None),), {}, TypeError),
        ("TypeError with cause", (batch_with(TypeErrorWithCause()),), {}, TypeError),
        ("ValueError in the first row", (batch_with(FloatRaising(ValueError), last=False),), {},
         ValueError),
        ("int too large", (batch_with(10 ** 400),), {}, OverflowError),
        ("iteration fails", ([numbers(4), BreaksMidway(numbers(4))],), {}, ValueError),
        ("panic raised by an element", (batch_with(Panicking()),), {}, panic_class()),
    ] + ([("row longer than row 0", ([numbers(2), numbers(3)],), {}, panic_class())]
         if name in ("py_compute_coverage", "py_compute_quality_score") else [])


def drift_scenarios():
    return [
        ("positional", (batch(), batch(4)), {}, None),
        ("keywords", (), {"current_embeddings": batch(), "baseline_embeddings": batch(2)}, None),
        ("second batch fails", (batch(), batch_with(None)), {}, TypeError),
        ("first batch fails", (batch_with(FloatRaising(ValueError)), batch()), {}, ValueError),
        ("too many positional", (batch(), batch(), batch()), {}, TypeError),
        ("missing", (batch(),), {}, TypeError),
        ("row longer than row 0", (batch(), [numbers(2), numbers(5)]), {}, panic_class()),
    ]


def retrieval_scenarios():
    ids = identifiers
    return [
        ("lists", (ids(5), ids(3, start=1002), 4), {}, None),
        ("numpy and tuple", (np.arange(5), tuple(ids(3)), ids(1)[0]), {}, None),
        ("keywords", (), {"top_k": 3, "relevant": ids(2), "retrieved": ids(4)}, None),
        ("relevant fails", (ids(5), ids(2) + [IndexRaising()], 4), {}, ValueError),
        ("relevant has a float", (ids(5), ids(2) + [1.5], 4), {}, TypeError),
        ("negative identifier", (ids(5) + [-1], ids(2), 4), {}, OverflowError),
        ("top_k fails", (ids(5), ids(2), 2.0), {}, TypeError),
        ("top_k negative", (ids(5), ids(2), -ids(1)[0]), {}, OverflowError),
        ("missing", (ids(5),), {"top_k": 3}, TypeError),
        ("unexpected keyword", (ids(5), ids(2)), {"topk": 3}, TypeError),
    ]


def scenarios():
    for name in FUNCTIONS:
        if name in BATCH_FUNCTIONS:
            table = batch_scenarios(name)
        elif name == "py_detect_drift":
            table = drift_scenarios()
        else:
            table = retrieval_scenarios()
        for label, args, kwargs, error in table:
            yield pytest.param(name, args, kwargs, error, id=f"{name}-{label}")


def watched(*roots):
    """The roots, and every container and element reachable through lists,
    tuples and dicts (keys and values)."""
    found = []
    stack = list(roots)
    while stack:
        obj = stack.pop()
        found.append(obj)
        if type(obj) in (list, tuple):
            stack.extend(obj)
        elif type(obj) is dict:
            stack.extend(obj.keys())
            stack.extend(obj.values())
        elif isinstance(obj, BreaksMidway):
            stack.append(obj.items)
    return found


@pytest.mark.parametrize("name, args, kwargs, error", list(scenarios()))
def test_reference_counts_unchanged(name, args, kwargs, error, capfd):
    objects = watched(args, kwargs)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in objects]
    try:
        result = FUNCTIONS[name](*args, **kwargs)
    except BaseException as raised:  # noqa: B036
        assert error is not None and type(raised) is error, raised
    else:
        assert error is None, f"expected {error.__name__}, got {result!r}"
        # A new object held only here (and by getrefcount's argument).
        assert sys.getrefcount(result) == 2
        if type(result) is dict:
            # each value: the dict, the loop variable, getrefcount's argument
            assert [sys.getrefcount(value) for value in result.values()] == [3] * 5
        del result
    gc.collect()
    after = [sys.getrefcount(obj) for obj in objects]
    changed = [(repr(obj)[:80], b, a) for obj, b, a in zip(objects, before, after) if b != a]
    assert not changed
    capfd.readouterr()  # the failure reports of the panicking scenarios
