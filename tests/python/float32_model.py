"""A slow, plain reference of every measure, in float32 scalar arithmetic.

Written from the definitions of the measures, independently of the C++
kernels, so the tests can compare the module against it bit for bit.

Every value is a NumPy float32 scalar, and every operation combines two
float32 scalars, so each one is rounded to float32 on its own: no fused
multiply-add, no wider accumulator. No Python float or int ever meets a
float32 in an expression (constants are float32 scalars below, counts go
through `count`), so nothing can be promoted to float64. Because a single
float64 operand would make the whole result float64, the public functions
check that what they return is still a float32 scalar.

Min and max that ignore NaN are np.fmin / np.fmax. Square roots are np.sqrt
on a float32 scalar, which is the correctly rounded float32 square root.
"""
import functools
import math

import numpy as np

F32 = np.float32
ZERO = F32(0.0)
ONE = F32(1.0)
THREE = F32(3.0)
ISOTROPY_WEIGHT = F32(0.4)
COVERAGE_WEIGHT = F32(0.3)
DISTINCTIVENESS_WEIGHT = F32(0.3)

_POS_INF = np.float32(np.inf)
_NEG_INF = np.float32(-np.inf)


class RowTooLong(IndexError):
    """Coverage met a row longer than row 0 (the module raises PanicException)."""

    def __init__(self, d):
        super().__init__(bounds_message(d))
        self.d = d


def bounds_message(d):
    """The module's message for a row longer than row 0 of dimension d."""
    return f"index out of bounds: the len is {d} but the index is {d}"


def _float32_result(value):
    # A float64 anywhere in the computation would have made the result float64.
    assert type(value) is np.float32, type(value)
    return value


def count(n):
    """The float32 nearest to the non-negative integer n (ties to even).

    Rounded directly from the integer; going through a double first would
    round twice above 2^53.
    """
    assert n >= 0
    bits = n.bit_length()
    if bits > 24:
        shift = bits - 24
        quotient, remainder = divmod(n, 1 << shift)
        half = 1 << (shift - 1)
        if remainder > half or (remainder == half and quotient & 1):
            quotient += 1
        n = quotient << shift  # at most 25 significant bits: exact below
    return F32(float(n))


def element(x):
    """A Python number as the module reads it: to a double, then to float32."""
    with np.errstate(over="ignore"):
        return F32(float(x))


def to_batch(rows):
    return [[element(x) for x in row] for row in rows]


# -- Coverage -------------------------------------------------------------

@np.errstate(all="ignore")
def coverage(rows):
    batch = to_batch(rows)
    n = len(batch)
    if n < 2:
        return ZERO
    d = len(batch[0])
    if d == 0:
        return ZERO
    means = [ZERO] * d
    for row in batch:
        for k, x in enumerate(row):
            if k == d:
                raise RowTooLong(d)
            means[k] = means[k] + x
    rows_f = count(n)
    means = [m / rows_f for m in means]
    variances = [ZERO] * d
    for row in batch:
        for k, x in enumerate(row):
            diff = x - means[k]
            variances[k] = variances[k] + diff * diff
    variances = [v / rows_f for v in variances]
    total = ZERO
    for v in variances:
        total = total + v
    mean_variance = total / count(d)
    squashed = mean_variance / (mean_variance + ONE)
    return _float32_result(np.fmin(squashed, ONE))


# -- Normalised pair similarities -----------------------------------------

def _normalize_row(row):
    if not row:
        return []
    ss = ZERO
    for x in row:
        ss = ss + x * x
    if not ss > ZERO:  # zero, underflowed or NaN: copied unchanged
        return list(row)
    q = np.sqrt(ss)
    return [x / q for x in row]


def _dot(a, b):
    total = ZERO
    for x, y in zip(a, b):  # over the shorter row
        total = total + x * y
    return total


def _pair_similarities(batch):
    normalised = [_normalize_row(row) for row in batch]
    n = len(normalised)
    for i in range(n - 1):
        for j in range(i + 1, n):
            yield _dot(normalised[i], normalised[j])


def _pair_count(n):
    return count(n * (n - 1) // 2)


# -- Isotropy -------------------------------------------------------------

@np.errstate(all="ignore")
def isotropy(rows):
    batch = to_batch(rows)
    n = len(batch)
    if n < 2 or not batch[0]:
        return ZERO
    total = ZERO
    for similarity in _pair_similarities(batch):
        total = total + np.abs(similarity)
    mean = total / _pair_count(n)
    capped = np.fmin(mean, ONE)
    return _float32_result(np.fmax(ONE - capped, ZERO))


# -- Distinctiveness ------------------------------------------------------

@np.errstate(all="ignore")
def distinctiveness(rows):
    batch = to_batch(rows)
    n = len(batch)
    if n < 2 or not batch[0]:
        return ZERO
    similarities = list(_pair_similarities(batch))
    pairs = _pair_count(n)
    total = ZERO
    for x in similarities:
        total = total + x
    mean = total / pairs
    dev = ZERO
    for x in similarities:
        diff = x - mean
        dev = dev + diff * diff
    spread = np.sqrt(dev / pairs)
    t = (ONE - np.abs(mean)) * (spread + ONE)
    return _float32_result(np.fmax(np.fmin(t, ONE), ZERO))


# -- Quality score and drift ----------------------------------------------

@np.errstate(all="ignore")
def quality_score(rows):
    if not rows:
        return ZERO
    iso = isotropy(rows)
    cov = coverage(rows)  # may raise RowTooLong
    dist = distinctiveness(rows)
    total = (iso * ISOTROPY_WEIGHT + cov * COVERAGE_WEIGHT) + dist * DISTINCTIVENESS_WEIGHT
    return _float32_result(np.fmin(np.fmax(total, ZERO), ONE))


def measures(rows):
    """(isotropy, coverage, distinctiveness), in the order the module computes them."""
    iso = isotropy(rows)
    cov = coverage(rows)
    return iso, cov, distinctiveness(rows)


@np.errstate(all="ignore")
def drift(baseline, current):
    if not baseline or not current:
        return ZERO
    before = measures(baseline)
    after = measures(current)
    changes = [np.abs(b - a) / (b + ONE) for b, a in zip(before, after)]
    return _float32_result(((changes[0] + changes[1]) + changes[2]) / THREE)


# -- Retrieval metrics ----------------------------------------------------

def log2(x):
    """The correctly rounded float32 base-2 logarithm of a float32 x >= 1.

    math.log2 returns a double within one double ulp of the exact logarithm
    (the C library's log2 is accurate to well under one ulp), and rounding it
    to float32 is then the correct float32 rounding of the exact value unless
    the exact value lies within that ulp of a point halfway between two
    float32 neighbours. The check below refuses any argument whose double
    logarithm comes within two double ulps of such a midpoint, so every value
    this returns is correctly rounded. (Over all integers up to 2^24 none
    comes closer than about 6.9 ulps, and the C++ tests check the module's
    logarithm against extended precision over that whole range, so the check
    never fires for the positions the tests use.)
    """
    assert type(x) is np.float32 and x >= ONE
    exact_double = math.log2(float(x))
    rounded = F32(exact_double)
    if exact_double != float(rounded):
        above = (float(rounded) + float(np.nextafter(rounded, _POS_INF))) / 2
        below = (float(rounded) + float(np.nextafter(rounded, _NEG_INF))) / 2
        margin = min(abs(exact_double - above), abs(exact_double - below))
        assert margin > 2 * math.ulp(exact_double), f"log2({x}) too close to a float32 midpoint"
    return rounded


@functools.lru_cache(maxsize=None)
def position_weight(i):
    """1 / max(log2(i + 1), 1) for the 0-based position i, in float32."""
    rank = count(i) + ONE
    return ONE / np.fmax(log2(rank), ONE)


def _clamp(x):
    return np.fmin(np.fmax(x, ZERO), ONE)


RETRIEVAL_KEYS = ("precision", "recall", "f1_score", "mrr", "ndcg")


@np.errstate(all="ignore")
def retrieval_metrics(retrieved, relevant, top_k):
    """The five measures as a dict of float32 scalars, keys in the module's order."""
    retrieved = [int(x) for x in retrieved]
    relevant = [int(x) for x in relevant]
    retrieved_set = set(retrieved)
    relevant_set = set(relevant)
    hits = count(len(retrieved_set & relevant_set))
    cutoff = min(top_k, len(retrieved))

    precision = hits / count(cutoff) if cutoff > 0 else ZERO
    recall = hits / count(len(relevant)) if relevant else ZERO
    both = precision + recall
    if both > ZERO:
        product = precision * recall
        f1 = _clamp((product + product) / both)  # from the raw, unclamped values
    else:
        f1 = ZERO

    mrr = ZERO
    if retrieved and relevant_set:
        for i, identifier in enumerate(retrieved):  # the whole list, whatever top_k is
            if identifier in relevant_set:
                mrr = _clamp(ONE / (count(i) + ONE))
                break

    dcg = ZERO
    if top_k > 0 and relevant_set:
        for i in range(cutoff):
            if retrieved[i] in relevant_set:
                dcg = dcg + position_weight(i)
    ideal = ZERO
    for i in range(min(top_k, len(relevant))):
        ideal = ideal + position_weight(i)
    ndcg = _clamp(dcg / ideal) if ideal > ZERO else ZERO

    values = (_clamp(precision), _clamp(recall), f1, mrr, ndcg)
    return {key: _float32_result(value) for key, value in zip(RETRIEVAL_KEYS, values)}
