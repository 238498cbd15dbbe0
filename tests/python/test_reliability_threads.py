"""Several Python threads calling all six functions at once on shared inputs.

The module computes under the interpreter lock, but the elements' own
conversions run Python code, where the interpreter switches threads: with a
tiny switch interval, calls of every function interleave in the middle of
their conversions. Every result and every error must be the one a lone call
gives.
"""
import sys
import threading

import numpy as np
import pytest

import float32_model as model
import vextral_core as v
from conftest import panic_class

THREADS = 8
ROUNDS = 150

# Module calls in progress, and the most ever seen from inside a conversion.
calls_in_progress = 0
most_in_progress = 0


class Yielding:
    """A number whose float conversion gives other threads a turn."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        global most_in_progress
        most_in_progress = max(most_in_progress, calls_in_progress)
        threading.Event().wait(0)  # may switch threads
        return self.value

    def __index__(self):
        return int(self.__float__())


def shared_inputs():
    rng = np.random.default_rng(7)
    rows = rng.standard_normal((12, 9)).round(3).tolist()
    mixed = [[Yielding(x) if k % 3 == 0 else x for k, x in enumerate(row)] for row in rows]
    ids = [int(x) for x in rng.integers(0, 30, 25)]
    return rows, mixed, ids


def calls(rows, mixed, ids):
    """(label, call, expected outcome) for every function, successes and failures."""
    array = np.array(rows, dtype=np.float32)
    relevant = [Yielding(x) for x in ids[::3]]
    cases = [
        ("isotropy", lambda: v.py_compute_isotropy(mixed), model.isotropy(rows)),
        ("coverage", lambda: v.py_compute_coverage(mixed), model.coverage(rows)),
        ("distinctiveness", lambda: v.py_compute_distinctiveness(array),
         model.distinctiveness(array.tolist())),
        ("quality", lambda: v.py_compute_quality_score(mixed), model.quality_score(rows)),
        ("drift", lambda: v.py_detect_drift(mixed, mixed[:5]), model.drift(rows, rows[:5])),
        ("drift by keyword", lambda: v.py_detect_drift(current_embeddings=array[::2],
                                                      baseline_embeddings=mixed),
         model.drift(rows, array[::2].tolist())),
        ("retrieval", lambda: v.py_compute_retrieval_metrics(ids, relevant, 10),
         model.retrieval_metrics(ids, ids[::3], 10)),
        ("row too long", lambda: v.py_compute_coverage([mixed[0][:2], mixed[1]]),
         (panic_class(), model.bounds_message(2))),
        ("bad element", lambda: v.py_compute_isotropy(mixed + [[Yielding(1.0), None]]),
         (TypeError, "argument 'embeddings': must be real number, not NoneType")),
        ("negative identifier", lambda: v.py_compute_retrieval_metrics(ids, relevant + [-1], 3),
         (OverflowError, None)),
    ]
    return [(label, call, plain(expected)) for label, call, expected in cases]


def plain(expected):
    if isinstance(expected, dict):
        return {key: float(value) for key, value in expected.items()}
    if isinstance(expected, tuple):
        return expected
    return float(expected)


def outcome(call):
    global calls_in_progress
    calls_in_progress += 1
    try:
        return call()
    except BaseException as error:  # noqa: B036
        return (type(error), str(error))
    finally:
        calls_in_progress -= 1


def matches(actual, expected):
    if isinstance(expected, tuple) and expected[1] is None:
        return isinstance(actual, tuple) and actual[0] is expected[0]
    return actual == expected and type(actual) is type(expected)


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_concurrent_calls_of_all_six_functions(fast_switching, capfd):
    table = calls(*shared_inputs())
    for label, call, expected in table:  # each alone first
        assert matches(outcome(call), expected), label

    start = threading.Barrier(THREADS)
    wrong = []
    finished = []

    def worker(offset):
        start.wait()
        for round_number in range(ROUNDS):
            label, call, expected = table[(offset + round_number) % len(table)]
            actual = outcome(call)
            if not matches(actual, expected):
                wrong.append((label, actual, expected))
        finished.append(offset)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert sorted(finished) == list(range(THREADS))
    assert wrong == []
    # Calls did interleave in the middle of their conversions.
    assert most_in_progress > 1
    capfd.readouterr()  # the failure reports of the panicking calls
