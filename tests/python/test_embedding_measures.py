"""Isotropy, distinctiveness, quality score and drift.

Edge cases by exact value, then every batch measure compared bit for bit
with the float32 reference (float32_model) on many random batches.
"""
import math
import random

import pytest

import float32_model as model
import vextral_core as v
from conftest import f32, panic_message

NAN = math.nan
INF = math.inf


def assert_same(actual, expected):
    """actual is the module's Python float; expected a float32 scalar or a float."""
    assert type(actual) is float
    assert actual == float(expected)  # never true for NaN, which no measure returns


# Similarities of two identical normalised rows round to either side of 1.
JUST_BELOW_ONE = [[1, 2], [1, 2]]  # 0.99999994
JUST_ABOVE_ONE = [[1, 4], [1, 4]]  # 1.0000001

# Batches whose measures come out a bit or more off when a row is scaled by
# multiplying with 1/q instead of dividing by q, ...
RECIPROCAL_SENSITIVE = [[3, 1], [7, 4]]
# ... when products are fused into the running sums, ...
FMA_SENSITIVE = [[3, 2], [6, 7]]
# ... and when the whole computation runs in double precision.
DOUBLE_SENSITIVE = [[5, 7], [4, 8]]

# Isotropy 1, coverage 1 (the variance overflows) and distinctiveness 1.
ALL_ONES = [[1e20, 0], [0, 1e20]]


class TestIsotropy:
    @pytest.mark.parametrize("batch, expected", [
        ([], 0.0),
        ([[3, 4]], 0.0),
        ([[], [1, 2]], 0.0),
        ([[], [1, 0], [0, 1]], 0.0),  # an empty row 0 decides, whatever follows
        ([[1, 0], [0, 1]], 1.0),
        ([[1, 0], [-1, 0]], 0.0),  # opposite directions are collinear
        (JUST_BELOW_ONE, 2.0 ** -24),
        (JUST_ABOVE_ONE, 0.0),
        ([[1, 0], [0, 1], [1, 0]], f32(0.66666663)),  # 1 - f32(1/3), a tie rounded to even
        ([[1, 0], [], [1, 0]], f32(0.66666663)),  # a pair with an empty row still counts
        ([[1, 2], []], 1.0),
        ([[0, 0], [0, 0]], 1.0),
        ([[1], [2, 3]], f32(0.44529980)),  # longer rows are fine here
        ([[NAN, 0], [0, 1]], 0.0),
        ([[INF, 1], [0, 1]], 0.0),  # the infinity normalises to NaN
        ([[1e20, 1e20], [1, 1]], 1.0),  # squares overflow: row 0 scales to zeros
        ([[1e-30, 0], [1e-30, 0]], 1.0),  # squares underflow: rows stay unscaled
        (RECIPROCAL_SENSITIVE, 0.019419372081756592),
        (FMA_SENSITIVE, 0.03734910488128662),
        (DOUBLE_SENSITIVE, 0.012237071990966797),
    ])
    def test_values(self, batch, expected):
        assert_same(v.py_compute_isotropy(batch), expected)
        assert_same(v.py_compute_isotropy(batch), model.isotropy(batch))


class TestDistinctiveness:
    @pytest.mark.parametrize("batch, expected", [
        ([], 0.0),
        ([[3, 4]], 0.0),
        ([[], [1, 2]], 0.0),
        ([[1, 0], [0, 1]], 1.0),
        ([[1, 0], [-1, 0]], 0.0),  # the signed mean is -1
        (JUST_BELOW_ONE, 2.0 ** -24),
        (JUST_ABOVE_ONE, 0.0),  # 1 - |e| is slightly negative and lifted to 0
        # Population deviation: dividing by p - 1 would push the product over 1.
        ([[1, 0], [0, 1], [1, 0]], f32(0.98093629)),
        ([[1, 0], [], [1, 0]], f32(0.98093629)),
        ([[2, 0, 0], [0, 3, 0], [0, 0, 4], [1, 1, 1]], f32(0.91666663)),
        # Signed similarities average to -1/3; their absolute values would give 0.
        ([[1, 0], [-1, 0], [1, 0], [-1, 0]], 1.0),
        ([[1, 2], []], 1.0),
        ([[1], [2, 3]], f32(0.44529980)),
        ([[NAN, 0], [0, 1]], 1.0),
        ([[INF, 1], [0, 1]], 1.0),
        ([[1e20, 1e20], [1, 1]], 1.0),
        (RECIPROCAL_SENSITIVE, 0.019419372081756592),
        (FMA_SENSITIVE, 0.03734910488128662),
        (DOUBLE_SENSITIVE, 0.012237071990966797),
    ])
    def test_values(self, batch, expected):
        assert_same(v.py_compute_distinctiveness(batch), expected)
        assert_same(v.py_compute_distinctiveness(batch), model.distinctiveness(batch))


class TestQualityScore:
    @pytest.mark.parametrize("batch, expected", [
        ([], 0.0),
        ([[3, 4]], 0.0),
        ([[], [1, 2, 3]], 0.0),  # coverage returns 0 before it looks at the longer row
        ([[1, 0], [0, 1]], f32(0.76)),
        ([[1, 0], [-1, 0]], f32(0.10000001)),
        ([[NAN, 0], [0, 1]], f32(0.6)),
        (ALL_ONES, 1.0),
        (JUST_BELOW_ONE, 4.172325418494438e-08),
        ([[1e-30, 0], [1e-30, 0]], 0.7000000476837158),
    ])
    def test_values(self, batch, expected):
        assert_same(v.py_compute_quality_score(batch), expected)
        assert_same(v.py_compute_quality_score(batch), model.quality_score(batch))

    def test_row_longer_than_row_zero_fails_like_coverage(self):
        assert panic_message(lambda: v.py_compute_quality_score([[1], [2, 3]])) == (
            model.bounds_message(1))
        assert panic_message(lambda: v.py_compute_quality_score([[1, 2], [3], [4, 5, 6]])) == (
            model.bounds_message(2))


class TestDrift:
    @pytest.mark.parametrize("baseline, current", [
        ([], []),
        ([], [[1, 0], [0, 1]]),
        ([[1, 0], [0, 1]], []),
        # With an empty side nothing is computed, so a bad row goes unnoticed.
        ([], [[1], [2, 3]]),
        ([[1], [2, 3]], []),
        ([[1, 2]], [[3, 4]]),  # every measure of one row is 0
        ([[1, 0], [-1, 0]], [[1, 0], [-1, 0]]),
        ([[NAN, 1], [2, INF], [3, 4]], [[NAN, 1], [2, INF], [3, 4]]),
    ])
    def test_no_drift(self, baseline, current):
        assert_same(v.py_detect_drift(baseline, current), 0.0)

    def test_relative_to_the_baseline_so_not_symmetric(self):
        spread, collinear = [[1, 0], [0, 1]], [[1, 0], [-1, 0]]
        assert_same(v.py_detect_drift(spread, collinear), f32(0.3703704))
        assert_same(v.py_detect_drift(collinear, spread), f32(0.7))
        assert_same(v.py_detect_drift(spread, collinear), model.drift(spread, collinear))
        assert_same(v.py_detect_drift(collinear, spread), model.drift(collinear, spread))

    def test_extremes(self):
        # Measures (0, 0, 0) against (1, 1, 1): each change is 1, or 1/2 the other way.
        assert_same(v.py_detect_drift([[5, 5]], ALL_ONES), 1.0)
        assert_same(v.py_detect_drift(ALL_ONES, [[5, 5]]), 0.5)

    def test_keywords_bind_by_name(self):
        spread, collinear = [[1, 0], [0, 1]], [[1, 0], [-1, 0]]
        assert_same(
            v.py_detect_drift(current_embeddings=collinear, baseline_embeddings=spread),
            f32(0.3703704))

    def test_row_longer_than_row_zero_fails_like_coverage(self):
        # The baseline is measured first, so its failure is the one reported.
        assert panic_message(lambda: v.py_detect_drift([[1], [2, 3]], [[1, 2], [3, 4, 5]])) == (
            model.bounds_message(1))
        assert panic_message(lambda: v.py_detect_drift([[1, 2], [3, 4]], [[1, 2], [3, 4, 5]])) == (
            model.bounds_message(2))
        assert panic_message(lambda: v.py_detect_drift([[5]], [[1], [2, 3]])) == (
            model.bounds_message(1))


# -- Differential comparison with the reference ---------------------------

EXTREME_VALUES = [
    NAN, INF, -INF, 1e20, -1e20, 3.4028235e38, 1e300, 1e-30, -1e-30, 1e-45, 0.0, -0.0,
]


def random_value(rng, style, k=0, centre=()):
    if style == "clustered":
        # Near one direction: similarities close to 1, distinctiveness below 1.
        return centre[k % len(centre)] + rng.gauss(0.0, 0.01) if centre else 0.0
    if style == "normal":
        return rng.gauss(0.0, 1.0)  # not float32 values: narrowed by the module
    if style == "integers":
        return rng.randint(-4, 4)
    if style == "scales":
        return rng.gauss(0.0, 1.0) * 10.0 ** rng.randint(-30, 22)
    if style == "positive":
        return rng.random()
    # "extremes": mostly ordinary numbers with non-finite and extreme ones among them
    if rng.random() < 0.15:
        return rng.choice(EXTREME_VALUES)
    return rng.gauss(0.0, 3.0)


def random_batch(rng):
    n = rng.randint(0, 12)
    d = rng.randint(0, 8)
    style = rng.choice(["normal", "integers", "scales", "positive", "extremes", "clustered"])
    centre = [rng.gauss(0.0, 1.0) for _ in range(d + 2)]
    shape = rng.choice(["rectangular", "rectangular", "shorter", "ragged"])
    rows = []
    for i in range(n):
        length = d
        if i > 0 and shape == "shorter":
            length = rng.randint(0, d)
        elif i > 0 and shape == "ragged":
            length = rng.randint(0, d + 2)  # sometimes longer than row 0
        rows.append([random_value(rng, style, k, centre) for k in range(length)])
    if n > 1 and rng.random() < 0.3:
        # Duplicates and near-duplicates give similarities at 1 and just past it.
        source = rows[rng.randrange(n)]
        for _ in range(rng.randint(1, n - 1)):
            rows[rng.randrange(n)] = list(source)
    if rng.random() < 0.1:
        rows = [[x * 0.5 for x in rows[0]] if rows else []] + rows
    return rows


def expect_float_or_panic(reference, call, batch_description):
    try:
        expected = reference()
    except model.RowTooLong as failure:
        assert panic_message(call) == str(failure), batch_description
        return
    actual = call()
    assert type(actual) is float
    assert actual == float(expected), (batch_description, actual, float(expected))


def check_batch(batch):
    what = repr(batch)
    assert v.py_compute_isotropy(batch) == float(model.isotropy(batch)), what
    assert v.py_compute_distinctiveness(batch) == float(model.distinctiveness(batch)), what
    expect_float_or_panic(lambda: model.coverage(batch), lambda: v.py_compute_coverage(batch), what)
    expect_float_or_panic(
        lambda: model.quality_score(batch), lambda: v.py_compute_quality_score(batch), what)


@pytest.mark.parametrize("seed", range(12))
def test_random_batches_match_the_reference(seed):
    rng = random.Random(seed)
    for _ in range(600):
        check_batch(random_batch(rng))


@pytest.mark.parametrize("seed", range(100, 106))
def test_random_drift_matches_the_reference(seed):
    rng = random.Random(seed)
    for _ in range(300):
        baseline = random_batch(rng)
        current = random_batch(rng) if rng.random() < 0.8 else [list(r) for r in baseline]
        expect_float_or_panic(
            lambda: model.drift(baseline, current),
            lambda: v.py_detect_drift(baseline, current),
            repr((baseline, current)))


def test_random_batches_include_the_interesting_cases():
    # Guards the generator: the comparison above must meet rows longer than
    # row 0, non-finite data, and batches whose measures are strictly inside (0, 1).
    rng = random.Random(0)
    too_long = non_finite = interior = 0
    for _ in range(300):
        batch = random_batch(rng)
        try:
            model.coverage(batch)
        except model.RowTooLong:
            too_long += 1
        if any(not math.isfinite(x) for row in batch for x in row):
            non_finite += 1
        if 0 < model.distinctiveness(batch) < 1 and 0 < model.isotropy(batch) < 1:
            interior += 1
    assert too_long >= 20 and non_finite >= 10 and interior >= 60
