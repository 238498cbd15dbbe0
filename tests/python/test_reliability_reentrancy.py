"""Conversions that call the module again, and inputs changed while they are read.

An element's own float or index conversion may call any of the six functions,
whose elements may do the same, several levels deep. Every level must compute
its own result correctly, failures deep down must reach the outer call in a
known form (a TypeError gains one argument prefix per level, a PanicException
is resumed at every level), and a failure swallowed by the caller's code must
leave no trace.
"""
import pytest

import float32_model as model
import vextral_core as v
from conftest import panic_class

# The function each level calls, outermost first: all six, twice over.
LEVELS = [
    "py_compute_isotropy", "py_compute_retrieval_metrics", "py_compute_coverage",
    "py_detect_drift", "py_compute_quality_score", "py_compute_distinctiveness",
] * 2
# The parameter that holds the next level's element.
PARAMETER = {
    "py_compute_isotropy": "embeddings", "py_compute_coverage": "embeddings",
    "py_compute_distinctiveness": "embeddings", "py_compute_quality_score": "embeddings",
    "py_detect_drift": "baseline_embeddings", "py_compute_retrieval_metrics": "retrieved",
}
MODEL = {
    "py_compute_isotropy": model.isotropy, "py_compute_coverage": model.coverage,
    "py_compute_distinctiveness": model.distinctiveness,
    "py_compute_quality_score": model.quality_score, "py_detect_drift": model.drift,
    "py_compute_retrieval_metrics": model.retrieval_metrics,
}
FALLBACK = 0.125


def arguments(function, element):
    """The arguments of one level, with the next level's element in them."""
    if function == "py_compute_retrieval_metrics":
        return [element, 1, 2, 3], [2, element], 3
    if function == "py_detect_drift":
        return [[element, 0.5], [0.25, 2.0]], [[1.0, 0.0], [0.0, 1.0]]
    return ([[element, 0.5, -1.0], [0.25, 2.0, 1.0], [1.0, 1.0, 0.0]],)


def as_number(result):
    return result["ndcg"] if isinstance(result, dict) else result


def as_identifier(number):
    return int(float(number) * 1000)


class Level:
    """An element whose conversions call `function` on arguments holding the
    next level's element, check that call's result, and give it back (as a
    number, or scaled to an identifier). With `swallow`, a failure of the
    inner call is caught and FALLBACK is given instead."""

    def __init__(self, level, inner, swallow, results):
        self.level = level
        self.function = LEVELS[level]
        self.inner = inner
        self.swallow = swallow
        self.results = results

    def value(self):
        try:
            result = getattr(v, self.function)(*arguments(self.function, self.inner))
        except BaseException:  # noqa: B036
            if not self.swallow:
                raise
            return FALLBACK
        self.results.append((self.level, self.function, float(as_number(result))))
        return as_number(result)

    def __float__(self):
        return self.value()

    def __index__(self):
        return as_identifier(self.value())


class Bottom:
    """The innermost element: a number, or a failing conversion."""

    def __init__(self, number=0.75, error=None):
        self.number = number
        self.error = error

    def __float__(self):
        if self.error is not None:
            raise self.error
        return self.number

    def __index__(self):
        return as_identifier(self.__float__())


def chain(depth, bottom, swallow_at=(), results=None):
    """The element of level 0 of a chain `depth` levels deep."""
    element = bottom
    for level in reversed(range(depth)):
        element = Level(level, element, level in swallow_at, results)
    return element


def expected_chain(depth, bottom_value, swallow_at=()):
    """The model's result of every level that computes one, and what level 0
    gives to its caller; a level below a swallowing one computes nothing."""
    value = bottom_value
    results = {}
    for level in reversed(range(depth)):
        function = LEVELS[level]
        if value is None:  # the level below failed
            if level in swallow_at:
                value = FALLBACK
            continue
        if function == "py_compute_retrieval_metrics":
            element = as_identifier(value)
        else:
            element = model.element(value)
        result = as_number(MODEL[function](*arguments(function, element)))
        results[level] = (function, float(result))
        value = result
    return results, value


def by_level(results):
    """Every result recorded at each level. A retrieval level converts its
    element twice (it is in both lists), so the levels below it run twice:
    each run must give the same results."""
    levels = {}
    for level, function, value in results:
        levels.setdefault(level, set()).add((function, value))
    return levels


@pytest.mark.parametrize("depth", [1, 3, 6, 12])
def test_nested_calls_compute_every_level(depth):
    results = []
    element = chain(depth, Bottom(0.75), results=results)
    outer = v.py_compute_coverage([[element, 1.0], [0.5, 0.25]])
    expected_results, value = expected_chain(depth, 0.75)
    assert by_level(results) == {level: {result} for level, result in expected_results.items()}
    assert outer == float(model.coverage([[model.element(value), 1.0], [0.5, 0.25]]))


@pytest.mark.parametrize("depth", [1, 4, 12])
def test_type_error_deep_down_gains_one_prefix_per_level(depth):
    element = chain(depth, Bottom(error=TypeError("deep")))
    with pytest.raises(TypeError) as info:
        v.py_compute_coverage([[element]])
    prefixes = "".join(f"argument '{PARAMETER[f]}': " for f in ["py_compute_coverage"] + LEVELS[:depth])
    assert str(info.value) == prefixes + "deep"


@pytest.mark.parametrize("depth", [1, 4, 12])
def test_other_errors_deep_down_pass_through_unchanged(depth):
    error = LookupError("deep")
    element = chain(depth, Bottom(error=error))
    with pytest.raises(LookupError) as info:
        v.py_compute_isotropy([[element]])
    assert info.value is error


@pytest.mark.parametrize("depth", [1, 4, 12])
def test_panic_deep_down_is_resumed_at_every_level(depth, capfd):
    panic = panic_class()
    element = chain(depth, Bottom(error=panic("deep failure")))
    with pytest.raises(panic) as info:
        v.py_compute_distinctiveness([[element]])
    assert info.value.args == ("deep failure",)
    # Each module call that met it on its way out reported the resumption.
    assert capfd.readouterr().err.count("resumed") == depth + 1


@pytest.mark.parametrize("swallow_at", [(0,), (2,), (5,), (0, 3)])
def test_failures_swallowed_on_the_way_leave_no_trace(swallow_at, capfd):
    depth = 6
    for error in (TypeError("deep"), ValueError("deep"), panic_class()("deep")):
        results = []
        element = chain(depth, Bottom(error=error), swallow_at, results)
        outer = v.py_compute_quality_score([[element, 1.0, 0.0], [0.5, 0.25, 1.0]])
        expected_results, value = expected_chain(depth, None, swallow_at)
        assert by_level(results) == {level: {result} for level, result in expected_results.items()}
        assert outer == float(model.quality_score([[model.element(value), 1.0, 0.0],
                                                  [0.5, 0.25, 1.0]]))
    capfd.readouterr()


class ReentrantSequence:
    """A row whose length and iteration call the module first (and swallow an
    internal failure there)."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        try:
            v.py_compute_coverage([[1.0], [2.0, 3.0]])
        except BaseException:  # noqa: B036
            pass
        return len(self.items)

    def __iter__(self):
        assert v.py_compute_retrieval_metrics([1, 2], [2], 2)["recall"] == 1.0
        return iter(self.items)


def test_length_and_iteration_that_call_the_module(capfd):
    rows = [[0.5, 1.0, -2.0], [3.0, 0.25, 1.0], [1.0, -1.0, 0.5]]
    wrapped = ReentrantSequence([ReentrantSequence(row) for row in rows])
    for name in ("py_compute_isotropy", "py_compute_coverage", "py_compute_distinctiveness",
                 "py_compute_quality_score"):
        assert getattr(v, name)(wrapped) == float(MODEL[name](rows))
    assert v.py_detect_drift(wrapped, rows[:2]) == float(model.drift(rows, rows[:2]))
    capfd.readouterr()


# -- Inputs changed while they are read ---------------------------------------
#
# Exact lists are read by index, other sequences through their iterator: a
# list changed by one of its elements' conversions must give what iterating
# it would, and no element may be used after the list dropped it.

class ListSubclass(list):
    """Read through its iterator: the reference behaviour."""


class Mutating:
    """An element whose float conversion changes the list it is in."""

    def __init__(self, change, value=0.5):
        self.change = change
        self.value = value
        self.target = None

    def __float__(self):
        self.change(self.target)
        return self.value


CHANGES = {
    "clear": lambda row: row.clear(),
    "truncate": lambda row: row.__delitem__(slice(2, None)),
    "append": lambda row: row.append(4.5) if len(row) < 8 else None,
    "replace itself": lambda row: row.__setitem__(1, 7.0),
    "replace the rest": lambda row: row.__setitem__(slice(2, None), [Mutating(lambda r: None)] * 3),
    "reverse": lambda row: row.reverse(),
}


def outcome(call):
    try:
        return ("value", call())
    except BaseException as error:  # noqa: B036
        return (type(error), str(error))


@pytest.mark.parametrize("change", list(CHANGES))
@pytest.mark.parametrize("where", ["row", "outer"])
def test_lists_changed_while_read_give_what_iteration_gives(change, where):
    def build(kind):
        element = Mutating(CHANGES[change])
        row = kind([1.0, element, 2.0, -1.0])
        rows = kind([row, kind([0.5, 0.5, 0.25, 1.0]), kind([2.0, 1.0, 0.0, 0.5])])
        element.target = row if where == "row" else rows
        return rows

    for name in ("py_compute_isotropy", "py_compute_coverage", "py_compute_distinctiveness"):
        function = getattr(v, name)
        assert outcome(lambda: function(build(list))) == outcome(lambda: function(build(ListSubclass)))


def test_identifier_list_changed_while_read():
    class Shrinking:
        def __init__(self):
            self.target = None

        def __index__(self):
            del self.target[:]
            return 5

    for kind in (list, ListSubclass):
        element = Shrinking()
        retrieved = kind([1, element, 2, 3])
        element.target = retrieved
        # Iteration stops once the list is empty: only [1, 5] were read.
        assert v.py_compute_retrieval_metrics(retrieved, [5], 2) == v.py_compute_retrieval_metrics(
            [1, 5], [5], 2)
