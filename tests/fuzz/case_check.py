"""Calling the module for one case and checking everything about the outcome.

Checked after every call: the outcome matches the expected one exactly (a
float or dict bit for bit, or an exception of the exact type with the exact
text and, for a rewrapped TypeError, the right cause with its context
suppressed); every unprintable object was reported as unraisable; module calls
made from inside the conversions had their own expected outcomes; and the
reference count of every object the case built is what it was before.
"""
import gc
import struct
import sys

import vextral_core

import call_model
import odd_objects


class Case:
    """One call: function(*args, **kwargs), what it must give, and every
    object built for it (inner cases' objects included)."""

    def __init__(self, function, args, kwargs, built):
        self.function = function
        self.args = args
        self.kwargs = kwargs
        self.built = built
        self.expected = None

    def __repr__(self):
        kwargs = ", ".join(f"{key!r}: {value!r}" for key, value in self.kwargs.items())
        return f"{self.function}(*{self.args!r}, **{{{kwargs}}})"


class UnraisableCounter:
    """sys.unraisablehook that only counts: keeping the hook's arguments would
    keep their objects alive and upset the reference counts."""

    def __init__(self):
        self.count = 0

    def __call__(self, unraisable):
        self.count += 1


unraisable = UnraisableCounter()


def install_hooks():
    sys.unraisablehook = unraisable


def compute_expected(case):
    """Works out case.expected. Module calls that the objects make while being
    converted report unraisables of their own, and will again when the module
    converts the same objects, so they count towards the expectation."""
    before = unraisable.count
    expected = call_model.expected_outcome(case.function, case.args, case.kwargs)
    expected.unraisable += unraisable.count - before
    case.expected = expected
    return case


def _bits(value):
    return struct.pack("<d", float(value))


def _short(obj, limit=2000):
    try:
        text = repr(obj)
    except BaseException as error:  # noqa: B036
        text = f"<repr failed: {type(error).__name__}>"
    return text if len(text) <= limit else text[:limit] + "..."


def _compare(expected, result, error):
    """The differences between the expected and the actual outcome."""
    if expected.error_type is None:
        if error is not None:
            return [f"raised {type(error).__name__}({call_model.text_or_none(error)!r})"]
        value = expected.value
        if isinstance(value, dict):
            if type(result) is not dict or list(result) != list(value):
                return [f"returned {_short(result)}"]
            wrong = [key for key in value if type(result[key]) is not float
                     or _bits(result[key]) != _bits(value[key])]
            return [f"returned {result!r}"] if wrong else []
        if type(result) is not float or _bits(result) != _bits(value):
            return [f"returned {_short(result)}"]
        return []
    if error is None:
        return [f"returned {_short(result)}"]
    problems = []
    if type(error) is not expected.error_type:
        problems.append(f"raised {type(error).__module__}.{type(error).__qualname__}")
    text = call_model.text_or_none(error)
    if expected.message is not None and text != expected.message:
        problems.append(f"raised with text {text!r}")
    if expected.rewrapped:
        if call_model.describe(error.__cause__) != expected.cause:
            problems.append(f"cause {call_model.describe(error.__cause__)!r}")
        if not error.__suppress_context__:
            problems.append("context not suppressed")
    return problems


def call_and_compare(case, mismatches):
    """Calls the module for `case`, appends a line to `mismatches` for every
    difference from case.expected, and returns the exception raised (None on
    success)."""
    function = getattr(vextral_core, case.function)
    before = unraisable.count
    result = error = None
    try:
        result = function(*case.args, **case.kwargs)
    except BaseException as raised:  # noqa: B036 - PanicException is a BaseException
        error = raised
    problems = _compare(case.expected, result, error)
    reported = unraisable.count - before
    if reported != case.expected.unraisable:
        problems.append(f"{reported} unraisable reports instead of {case.expected.unraisable}")
    if problems:
        mismatches.append(f"{_short(case)}\n    expected {case.expected!r}\n    but "
                          + "; ".join(problems))
    return error


def _reference_counts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def _counted_call(case, collect):
    """Calls the module once; returns the mismatches and the objects whose
    reference counts changed, as (object, before, after)."""
    if collect:
        gc.collect()
    counts_before = _reference_counts(case.built)
    mismatches = []
    error = call_and_compare(case, mismatches)
    del error
    if collect:
        gc.collect()
    counts_after = _reference_counts(case.built)
    changed = [(obj, before, after)
               for obj, before, after in zip(case.built, counts_before, counts_after)
               if before != after]
    return mismatches, changed


def run_case(case):
    """Checks one case whose expectation is known; returns the problems found."""
    odd_objects.reentry_mismatches.clear()
    mismatches, changed = _counted_call(case, collect=False)
    if changed:
        # The caller's own code may leave cyclic garbage (an exception whose
        # traceback holds the frame that made it) that a collection during the
        # call frees. The objects are stateless, so the call can be repeated
        # with the garbage collected on both sides: what changes then is real.
        _, changed = _counted_call(case, collect=True)
    for obj, before, after in changed:
        mismatches.append(f"{_short(case, 500)}\n    reference count of {_short(obj, 200)} "
                          f"went from {before} to {after}")
    mismatches.extend(odd_objects.reentry_mismatches)
    odd_objects.reentry_mismatches.clear()
    return mismatches
