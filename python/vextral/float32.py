"""float32 arithmetic on Python floats, for the figures the tool derives itself.

A sum, difference or quotient of two float32 values computed in double and
then rounded to float32 is the correctly rounded float32 result, because a
double carries more than twice float32's precision. So rounding after every
operation reproduces float32 arithmetic exactly.
"""

from __future__ import annotations

from array import array
from collections.abc import Iterable


def f32(value: float) -> float:
    """The float32 nearest to `value`, widened back to a Python float."""
    return array("f", (value,))[0]


def mean(values: Iterable[float]) -> float:
    """Running float32 sum in the given order, divided by the count; 0 when empty."""
    total = 0.0
    count = 0
    for value in values:
        total = f32(total + f32(value))
        count += 1
    return f32(total / f32(count)) if count else 0.0


def shortest(value: float) -> str:
    """The shortest decimal that reads back as the same float32 as `value`."""
    if value != value or value in (float("inf"), float("-inf")):
        return repr(value)
    target = f32(value)
    for digits in range(1, 10):
        text = f"{target:.{digits}g}"
        if f32(float(text)) == target:
            break
    else:
        text = f"{target:.9g}"  # nine digits always suffice
    if "e" not in text and "." not in text:
        text += ".0"
    return text
