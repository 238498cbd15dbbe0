"""Coverage end to end: values and the failure on rows longer than row 0."""
import math

import pytest

import vextral_core as v
from conftest import f32


@pytest.mark.parametrize("batch, expected", [
    ([], 0.0),
    ([[3.0, 4.0]], 0.0),
    ([[], [1.0, 2.0]], 0.0),
    ([[1.0, 2.0], [1.0, 2.0]], 0.0),
    ([[1, 0], [0, 1]], f32(0.2)),
    ([[1, 0], [-1, 0]], f32(1 / 3)),
    ([[1, 2], [3]], f32(0.42857143)),
    ([[1, 2], []], f32(0.23809524)),
    ([[math.nan, 0], [0, 1]], 1.0),
    ([[math.inf, 0], [0, 1]], 1.0),
    ([[1e20, 0], [-1e20, 0]], 1.0),
])
def test_values(batch, expected):
    assert v.py_compute_coverage(batch) == expected


def test_row_longer_than_row_zero_fails():
    with pytest.raises(BaseException) as info:
        v.py_compute_coverage([[1.0, 2.0], [3.0], [4.0, 5.0, 6.0]])
    assert str(info.value) == "index out of bounds: the len is 2 but the index is 2"
