"""Shared helpers for the tests of inputs read straight from memory: the
outcome of a call (result or exception type, text, cause), compared with the
same values read one Python object at a time."""
import sys

import vextral_core as v

BATCH_FUNCTIONS = [v.py_compute_isotropy, v.py_compute_coverage, v.py_compute_distinctiveness,
                   v.py_compute_quality_score]


def outcome(call):
    try:
        return ("ok", call())
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        cause = error.__cause__
        return (type(error), str(error), type(cause), str(cause), error.__suppress_context__)


def as_lists(batch):
    """What iterating the batch yields, as plain lists: read generically."""
    return [list(row) for row in batch]


class Generic:
    """A transparent stand-in that exports nothing: the module reads it item
    by item, through the wrapped object's own length, iteration and items,
    as it would read the object itself if it had no fast path."""

    def __init__(self, wrapped, depth=2):
        self.wrapped, self.depth = wrapped, depth

    def wrap(self, item):
        """Rows are wrapped too (not their elements), unless they are plain."""
        if self.depth == 1 or isinstance(item, (str, bytes, list, tuple)) or \
                not hasattr(item, "__len__"):
            return item
        return Generic(item, 1)

    def __len__(self):
        return len(self.wrapped)

    def __getitem__(self, index):
        return self.wrap(self.wrapped[index])

    def __iter__(self):
        return (self.wrap(item) for item in self.wrapped)


def assert_batch_same(batch, generic=None):
    generic = Generic(batch) if generic is None else generic
    for function in BATCH_FUNCTIONS:
        assert outcome(lambda: function(batch)) == outcome(lambda: function(generic)), function
    assert outcome(lambda: v.py_detect_drift(batch, generic)) == outcome(
        lambda: v.py_detect_drift(generic, generic))


def assert_identifiers_same(ids, generic=None, relevant=(3, 5, 250)):
    generic = Generic(ids, 1) if generic is None else generic
    assert outcome(lambda: v.py_compute_retrieval_metrics(ids, list(relevant), 4)) == outcome(
        lambda: v.py_compute_retrieval_metrics(generic, list(relevant), 4))


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]
