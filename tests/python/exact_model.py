"""The exact measures on exact rationals, for checking vextral.measure.

The similarities are the float32 model's (float32_model.py), with the one
difference of the exact measures: a row of finite values whose float32 sum
of squares overflows or underflows is first scaled by the power of two that
brings its largest magnitude into [0.5, 1). Every sum after that is a
Fraction, and each formula is evaluated exactly but for its square root.
"""
import math
from fractions import Fraction

import numpy as np

import float32_model as model

F32 = np.float32


def _scaled(row):
    if not row or not all(np.isfinite(x) for x in row):
        return row
    with np.errstate(all="ignore"):
        ss = F32(0.0)
        for x in row:
            ss = ss + x * x
    if np.isnan(ss) or np.finfo(F32).tiny <= ss <= np.finfo(F32).max:
        return row
    largest = max(abs(float(x)) for x in row)
    if largest == 0.0:
        return row
    _, exponent = math.frexp(largest)
    return [np.ldexp(x, -exponent).astype(F32) for x in row]


def similarities(rows):
    batch = [_scaled(row) for row in model.to_batch(rows)]
    with np.errstate(all="ignore"):
        normalised = [model._normalize_row(row) for row in batch]
        return [model._dot(normalised[i], normalised[j])
                for i in range(len(normalised) - 1) for j in range(i + 1, len(normalised))]


def pair_measures(rows):
    if len(rows) < 2 or len(rows[0]) == 0:
        return 0.0, 0.0
    values = similarities(rows)
    if not all(np.isfinite(x) for x in values):
        return 0.0, 1.0
    p = len(values)
    exact = [Fraction(float(x)) for x in values]
    absolute, plain, squares = sum(abs(x) for x in exact), sum(exact), sum(x * x for x in exact)
    isotropy = max(1 - min(absolute / p, Fraction(1)), Fraction(0))
    variance = (p * squares - plain * plain) / (p * p)
    t = (1 - abs(float(plain / p))) * (math.sqrt(variance) + 1)
    return float(isotropy), max(min(t, 1.0), 0.0)


def coverage(rows):
    batch = model.to_batch(rows)
    n = len(batch)
    if n < 2 or len(batch[0]) == 0:
        return 0.0
    d = len(batch[0])
    if any(not np.isfinite(x) for row in batch for x in row):
        return 1.0
    total = Fraction(0)
    for k in range(d):
        column = [Fraction(float(row[k])) for row in batch if k < len(row)]
        mean = sum(column) / n
        total += sum((x - mean) ** 2 for x in column) / n
    v = total / d
    return float(min(v / (v + 1), Fraction(1)))


def measures(rows):
    cov = coverage(rows)
    iso, dist = pair_measures(rows)
    score = min(max((iso * 0.4 + cov * 0.3) + dist * 0.3, 0.0), 1.0)
    return {"isotropy": iso, "coverage": cov, "distinctiveness": dist, "quality_score": score}
