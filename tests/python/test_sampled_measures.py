"""Measures estimated from a sample of pairs: the draw, the similarities' bits, the standard
errors, and hostile arguments to the native entries."""
import collections
import math
import struct

import numpy as np
import pytest
import vextral
from vextral import _native

MEASURES = ("isotropy", "coverage", "distinctiveness", "quality_score")
ESTIMATED = ("isotropy", "distinctiveness", "quality_score")


def values(measured):
    return {name: getattr(measured, name) for name in MEASURES}


def pairs_of(drawn):
    return [tuple(pair) for pair in np.frombuffer(drawn, dtype=np.uint64).reshape(-1, 2).tolist()]


def batch(rows=300, dimension=16, offset=0.0, seed=2):
    return np.random.default_rng(seed).standard_normal((rows, dimension)).astype(np.float32) + np.float32(offset)


def test_the_draw_is_distinct_sorted_uniform_and_the_seeds_alone():
    drawn = pairs_of(_native.draw_pairs(50, 300, 7))
    assert len(set(drawn)) == 300 and drawn == sorted(drawn)
    assert all(0 <= i < j < 50 for i, j in drawn)
    assert pairs_of(_native.draw_pairs(50, 300, 7)) == drawn != pairs_of(_native.draw_pairs(50, 300, 8))
    # More pairs than there are: every pair once.
    assert pairs_of(_native.draw_pairs(5, 2**63, 1)) == [(i, j) for i in range(5) for j in range(i + 1, 5)]
    assert _native.draw_pairs(1, 10, 0) == _native.draw_pairs(0, 10, 0) == b""
    # Every pair equally likely: 3 of the 10 pairs of 5 rows, 6000 seeds, each pair 1800 times expected.
    counts = collections.Counter(pair for seed in range(6000) for pair in pairs_of(_native.draw_pairs(5, 3, seed)))
    assert len(counts) == 10
    chi_square = sum((seen - 1800) ** 2 / 1800 for seen in counts.values())
    assert chi_square < 30  # 9 degrees of freedom: 30 is beyond the 0.9999 quantile


def test_a_sample_of_every_pair_is_the_exact_measure():
    x = batch(400, 24)
    x[::37] *= np.float32(1e25)  # rows whose squares overflow: scaled as the pass scales them
    x[5] = 0.0
    exact = vextral.measure(x)
    population = 400 * 399 // 2
    for pairs in (population, population + 1, 2**62):
        sampled = vextral.measure(x, pairs=pairs, seed=3)
        assert values(sampled) == values(exact)
        assert sampled.summation == "sampled" and sampled.pairs == population
        assert all(getattr(sampled, f"{name}_stderr") == 0.0 for name in ESTIMATED)
        assert sampled.isotropy_interval == (exact.isotropy, exact.isotropy)
    # Each similarity has the pass's bits: the exact sums of the drawn ones are the pass's.
    drawn = _native.draw_pairs(400, population, 0)
    similarities = _native.pair_similarities(x, drawn, threads=3)
    assert _native.sum_similarities(np.frombuffer(similarities, dtype=np.float32)) == _native.pair_sums(x)
    # Between two blocks, as a cluster's task computes them.
    between = np.frombuffer(drawn, dtype=np.uint64).reshape(-1, 2)
    between = between[(between[:, 0] < 150) & (between[:, 1] >= 150)] - np.uint64([0, 150])
    values_between = _native.pair_similarities(x[:150], between.tobytes(), x[150:])
    assert (_native.sum_similarities(np.frombuffer(values_between, dtype=np.float32))
            == _native.pair_sums(x[:150], x[150:]))


def test_the_same_estimates_for_every_thread_count_and_kind_of_input():
    x = batch(500, 20)
    first = vextral.measure(x, pairs=3000, seed=11, threads=1)
    assert first.pairs == 3000 and 0 < first.isotropy_stderr < 0.05
    for threads in (2, 3, 8):
        assert vextral.measure(x, pairs=3000, seed=11, threads=threads) == first
    assert vextral.measure(x.astype(np.float64).tolist(), pairs=3000, seed=11) == first
    assert vextral.measure(x, pairs=3000, seed=12) != first
    assert vextral.measure(x, pairs=3000) == vextral.measure(x, pairs=3000, seed=0)
    assert first.coverage == vextral.measure(x).coverage
    drift = vextral.drift(x, x[:50] + np.float32(0.5), pairs=3000, seed=11)
    assert drift.summation == "sampled" and drift.baseline == first
    assert drift.current.pairs == 50 * 49 // 2  # fewer pairs than asked for: all of them


@pytest.mark.parametrize("offset", [0.3, 1.0])  # distinctiveness clamped at 1, and not
def test_the_95_percent_intervals_cover_the_exact_value_about_95_percent_of_the_time(offset):
    x = batch(300, 16, offset)
    exact = vextral.measure(x)
    covered = collections.Counter()
    for seed in range(200):
        sampled = vextral.measure(x, pairs=2000, seed=seed)
        for name in ESTIMATED:
            low, high = getattr(sampled, f"{name}_interval")
            covered[name] += low <= getattr(exact, name) <= high
            assert low <= getattr(sampled, name) <= high
    # 200 draws of a 95 % interval: 190 expected, with a standard deviation of about 3; where
    # distinctiveness is clamped at 1 (offset 0.3), its every interval is [1, 1].
    clamped = exact.distinctiveness == 1.0
    assert clamped == (offset == 0.3)
    assert all(176 <= covered[name] <= (200 if clamped and name == "distinctiveness" else 199)
               for name in ESTIMATED), covered


def test_rows_holding_nan_give_the_exact_degenerate_values_whether_or_not_drawn():
    x = batch(200, 8)
    x[150, 3] = np.nan
    exact = vextral.measure(x)
    for seed in range(5):
        sampled = vextral.measure(x, pairs=50, seed=seed)
        assert values(sampled) == values(exact) and sampled.non_finite_rows == 1
        assert sampled.isotropy_stderr == sampled.distinctiveness_stderr == 0.0
    assert values(vextral.measure([[1.0, 2.0]], pairs=10)) == values(vextral.measure([[1.0, 2.0]]))
    assert values(vextral.measure([], pairs=10)) == values(vextral.measure([]))


def test_wrong_arguments_are_refused_clearly():
    x = batch(20, 4)
    for kwargs, error in [({"pairs": 1}, ValueError), ({"pairs": 10, "seed": -1}, ValueError),
                          ({"pairs": 10, "seed": 2**64}, ValueError), ({"seed": 3}, ValueError),
                          ({"pairs": 10, "library_bits": True}, ValueError), ({"pairs": 2.5}, TypeError)]:
        with pytest.raises(error):
            vextral.measure(x, **kwargs)
    with pytest.raises(ValueError, match="2\\*\\*32 rows"):
        _native.draw_pairs(2**40, 10, 0)
    with pytest.raises(MemoryError):
        _native.draw_pairs(2**32, 2**62, 0)  # refused before any memory is asked for
    with pytest.raises(ValueError, match="does not have"):
        _native.pair_similarities(x, struct.pack("=QQ", 3, 20))
    with pytest.raises(ValueError, match="does not have"):
        _native.pair_similarities(x[:5], struct.pack("=QQ", 0, 7), x[:7])
    with pytest.raises(TypeError, match="couples"):
        _native.pair_similarities(x, b"\0" * 15)
    state = _native.dimension_sums(x, 4)
    with pytest.raises(ValueError):  # more similarities than the 190 pairs of 20 rows
        _native.sampled_measures(np.zeros(191, dtype=np.float32).tobytes(), state)
    with pytest.raises(ValueError):
        _native.sampled_measures(b"", b"not a state")
    assert math.isnan(_native.sampled_measures(np.zeros(1, dtype=np.float32).tobytes(), state)["isotropy_stderr"])
