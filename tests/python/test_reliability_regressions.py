"""Inputs the reliability checks found mishandled, kept as regression tests."""

import numpy as np
import pytest

import vextral_core as v
from conftest import panic_class

BATCH_FUNCTIONS = [v.py_compute_isotropy, v.py_compute_coverage, v.py_compute_distinctiveness,
                   v.py_compute_quality_score]


def outcome(call):
    try:
        return ("value", call())
    except BaseException as error:  # noqa: B036
        return (type(error), str(error))


@pytest.mark.parametrize("function", BATCH_FUNCTIONS, ids=lambda f: f.__name__)
def test_arrays_with_empty_rows(function):
    # Copying zero floats once handed a null pointer to memcpy (found by UBSan).
    for array in (np.zeros((3, 0), dtype=np.float32), np.zeros((4, 6), dtype=np.float32)[:, :0]):
        assert outcome(lambda: function(array)) == outcome(lambda: function([[], [], []][:len(array)]))


@pytest.mark.parametrize("function", BATCH_FUNCTIONS, ids=lambda f: f.__name__)
def test_bool_arrays_whose_bytes_are_not_0_or_1(function):
    # A view of other bytes as bool is a valid array: NumPy reads every
    # non-zero byte as True, so each element is 1.0.
    array = np.array([[2, 0], [0, 3], [5, 1]], dtype=np.uint8).view(np.bool_)
    assert outcome(lambda: function(array)) == outcome(lambda: function([[1, 0], [0, 1], [1, 1]]))


def test_panic_with_an_empty_message_raised_by_python_code(capfd):
    panic = panic_class()

    class Panicking:
        def __float__(self):
            raise panic("")

    with pytest.raises(panic) as info:
        v.py_compute_coverage([[Panicking()]])
    capfd.readouterr()
    # The resumed failure keeps the text of the PanicException, empty or not.
    assert info.value.args == ("",)
