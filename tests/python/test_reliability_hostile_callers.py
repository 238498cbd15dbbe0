"""Callers that interrupt, exit or recurse in the middle of a call.

Python code that a conversion runs may raise exceptions that are not errors
(KeyboardInterrupt, SystemExit), install hooks that end the process, or call
the module again thousands of levels deep. None of it may be lost, end the
process behind the caller's back, or overflow the thread's stack.
"""
import os
import sys

import pytest

import vextral_core as v
from conftest import panic_class

ABNORMAL = [KeyboardInterrupt, SystemExit, GeneratorExit]


class LengthRaises(list):
    """A list subclass (read by iteration) whose __len__ raises."""

    def __init__(self, items, error):
        super().__init__(items)
        self.error = error

    def __len__(self):
        raise self.error


@pytest.mark.parametrize("kind", ABNORMAL, ids=lambda kind: kind.__name__)
@pytest.mark.parametrize("where", ["batch", "row", "identifiers"])
def test_abnormal_exits_from_len_end_the_call_unchanged(kind, where):
    error = kind("from __len__")
    if where == "batch":
        call = lambda: v.py_compute_coverage(LengthRaises([[1.0, 2.0], [3.0, 4.0]], error))  # noqa: E731
    elif where == "row":
        call = lambda: v.py_compute_isotropy([[1.0, 0.0], LengthRaises([0.0, 1.0], error)])  # noqa: E731
    else:
        call = lambda: v.py_compute_retrieval_metrics([1, 2], LengthRaises([2], error), 2)  # noqa: E731
    with pytest.raises(kind) as info:
        call()
    assert info.value is error


@pytest.mark.parametrize("error", [ValueError("no length"), TypeError("no length"),
                                   ArithmeticError("no length")], ids=lambda e: type(e).__name__)
def test_ordinary_errors_from_len_are_still_discarded(error):
    assert v.py_compute_coverage(LengthRaises([[1.0, 0.0], [0.0, 1.0]], error)) == \
        v.py_compute_coverage([[1.0, 0.0], [0.0, 1.0]])
    assert v.py_compute_retrieval_metrics([1, 2], LengthRaises([2], error), 2) == \
        v.py_compute_retrieval_metrics([1, 2], [2], 2)


EXITING_HOOK = """
import sys, threading
import vextral_core as v

def panic_class():
    try:
        v.py_compute_coverage([[1.0], [2.0, 3.0]])
    except BaseException as error:
        return type(error)

PANIC = panic_class()

def hook(kind, value, traceback):
    print("hook ran", file=sys.stderr)
    sys.exit(1)

sys.excepthook = hook
threading.excepthook = lambda args: hook(None, None, None)

class Panicking:
    def __float__(self):
        raise PANIC("raised by __float__")

def call(results):
    try:
        v.py_compute_isotropy([[Panicking()]])
        results.append("returned")
    except BaseException as error:
        results.append((type(error) is PANIC, str(error)))
    finally:
        results.append("finally ran")

{body}
"""


@pytest.mark.parametrize("body", [
    "results = []\ncall(results)\nprint(results)",
    "results = []\nworker = threading.Thread(target=call, args=(results,))\n"
    "worker.start()\nworker.join()\nprint(results)",
], ids=["main thread", "worker thread"])
def test_a_hook_that_exits_cannot_end_the_process_mid_call(run_python, body):
    result = run_python(EXITING_HOOK.format(body=body))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[(True, 'raised by __float__'), 'finally ran']"
    # The notice and the traceback are still printed, but not through the hook.
    assert "hook ran" not in result.stderr
    assert "PanicException: raised by __float__" in result.stderr
    assert "resumed" in result.stderr


DEEP_CHAIN = """
import sys, threading
import vextral_core as v

sys.setrecursionlimit(1_000_000)
depth = 0

class Deep:
    def go(self):
        global depth
        depth += 1
        return v.{function}({argument})

    def __float__(self):
        return self.go()

    def __index__(self):
        return len(self.go())

outcome = []

def run():
    try:
        Deep().go()
        outcome.append("returned")
    except RecursionError:
        outcome.append("RecursionError")
    # Everything was released on the way up: the module still works.
    outcome.append(v.py_compute_coverage([[1, 0], [0, 1]]))

threading.stack_size({stack})
worker = threading.Thread(target=run)
worker.start()
worker.join()
print(outcome, depth > 100)
"""


@pytest.mark.skipif(os.environ.get("VEXTRAL_UNDER_ASAN") == "1",
                    reason="sanitized frames are several times larger than released ones")
@pytest.mark.parametrize("function, argument", [
    ("py_compute_coverage", "[[Deep()]]"),
    ("py_detect_drift", "[[1.0]], [[Deep()]]"),
    ("py_compute_retrieval_metrics", "[Deep()], [1], 1"),
], ids=["coverage", "drift", "retrieval"])
def test_deep_reentry_ends_in_recursion_error_on_a_small_stack(run_python, function, argument):
    # A 4 MiB thread stack, on which CPython's own float() -> __float__ chain
    # ends in RecursionError.
    result = run_python(DEEP_CHAIN.format(function=function, argument=argument, stack=4 * 2**20))
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "['RecursionError', 0.20000000298023224] True"
