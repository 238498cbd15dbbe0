"""The exact, order-free measures of the vextral package, and the library's warning
where its float32 sums fail."""
import math
import os
import random
import struct
import subprocess
import sys
import warnings
from fractions import Fraction

import numpy as np
import pytest
import vextral
import vextral_core as v
from vextral import _native

import exact_model
from conftest import panic_class

NAN, INF = float("nan"), float("inf")
DIGITS = 22  # 32-bit words of one exact sum in a state


def decode(state):
    """count, non-finite count and the exact sums (|x|, x, x^2) of a similarity state."""
    count, non_finite = struct.unpack_from("<QQ", state, 8)
    sums = []
    for s in range(3):
        words = struct.unpack_from(f"<{DIGITS}I", state, 24 + 4 * DIGITS * s)
        number = sum(word << (32 * k) for k, word in enumerate(words))
        if number >= 1 << (32 * DIGITS - 1):
            number -= 1 << (32 * DIGITS)
        sums.append(Fraction(number, 1 << 320))
    return count, non_finite, sums


def float32s(values):
    return np.array(values, dtype=np.float32)


def hostile(rng, count):
    specials = [0.0, -0.0, 1.0, -1.0, 1.9999999, -1.9999999, 2.0, -2.0, 2.0 ** -17, -(2.0 ** -17.000001),
                1.4e-45, -1.2e-38, 1e-30, 3e38, -3e38, NAN, INF, 0.99999994, 1.0000001]
    return float32s([rng.choice(specials) if rng.random() < 0.3 else rng.gauss(0, 0.4) for _ in range(count)])


def test_the_accumulator_is_exact_and_order_free():
    rng = random.Random(1)
    values = hostile(rng, 5000)
    state = _native.sum_similarities(values)
    count, non_finite, (absolute, plain, squares) = decode(state)
    finite = [Fraction(float(x)) for x in values if math.isfinite(x)]
    assert (count, non_finite) == (len(values), len(values) - len(finite))
    assert absolute == sum(abs(x) for x in finite)
    assert plain == sum(finite)
    assert squares == sum(x * x for x in finite)
    # Any order, any split, any merge order: the same bytes.
    shuffled = values.copy()
    np.random.default_rng(2).shuffle(shuffled)
    parts = [_native.sum_similarities(part) for part in np.array_split(shuffled, 7)]
    assert _native.merge_sums(parts) == state
    assert _native.merge_sums(parts[::-1]) == state
    assert _native.merge_sums([_native.merge_sums(parts[:3]), _native.merge_sums(parts[3:])]) == state
    # A long run, simulated by merging: a million copies of the same sums.
    cancelling = float32s([3e38, 1.0, -3e38, 1.4e-45])
    many = _native.merge_sums([_native.sum_similarities(cancelling)] * 1_000_000)
    assert decode(many)[2][1] == 1_000_000 * (1 + Fraction(float(np.float32(1.4e-45))))
    with pytest.raises(ValueError):
        _native.merge_sums([state, b"not a state"])


def batches():
    rng = np.random.default_rng(3)
    yield rng.standard_normal((23, 7)).astype(np.float32).tolist()
    yield (rng.standard_normal((40, 5)) + 2).tolist()  # a cone: nothing clamped
    ragged = [list(rng.standard_normal(6))] + [list(rng.standard_normal(rng.integers(0, 7))) for _ in range(20)]
    yield ragged
    # Zero and empty rows, rows whose squares overflow or underflow, a copy and its negation.
    yield [[1.0, 2.0, 3.0], [], [0.0, 0.0, 0.0], [1e30, -2e30, 5e29], [1e-30, 3e-31, -2e-30],
           [1.0, 2.0, 3.0], [-1.0, -2.0, -3.0], [2.0 ** -140, 2.0 ** -141, 0.0], [0.5, -0.25, 0.125]]
    yield [[1.0, NAN], [0.0, 1.0], [1.0, 1.0]]
    yield [[INF, 1.0], [0.0, 1.0], [1.0, 1.0]]
    yield [[1.0, 2.0]]
    yield []


@pytest.mark.parametrize("rows", list(batches()))
def test_the_measures_are_their_formulas_on_exact_sums(rows):
    measured = vextral.measure(rows, threads=1)
    expected = exact_model.measures(rows)
    for name, value in expected.items():
        assert abs(getattr(measured, name) - value) <= 1e-12, (name, getattr(measured, name), value)
    assert measured.rows == len(rows)
    assert measured.summation == "exact"
    if rows:
        other = [[x * 0.5 + 1 for x in row] for row in rows]
        drift = vextral.drift(rows, other, threads=1)
        assert drift.baseline == measured
        changes = {name: abs(getattr(measured, name) - getattr(drift.current, name))
                   / (getattr(measured, name) + 1) for name in ("isotropy", "coverage", "distinctiveness")}
        assert drift.changes == pytest.approx(changes, abs=1e-15)
        assert drift.drift == pytest.approx(sum(changes.values()) / 3, abs=1e-15)


def test_a_row_longer_than_row_0_fails_as_coverage_does():
    with pytest.raises(panic_class(), match="index out of bounds: the len is 1 but the index is 1"):
        vextral.measure([[1.0], [2.0, 3.0]])


def paths():
    return [path for path in ("portable", "avx2", "avx512")
            if subprocess.run([sys.executable, "-c", "import vextral, os; vextral.measure([[1.0], [2.0]])"],
                              env={**os.environ, "VEXTRAL_KERNEL_PATH": path}).returncode == 0]


def test_the_same_bits_for_every_thread_count_kernel_path_and_split(monkeypatch):
    rng = np.random.default_rng(5)
    x = rng.standard_normal((1500, 40)).astype(np.float32)
    x[::97] *= 1e25  # rows whose squares overflow
    seen = set()
    for path in ("portable", "avx2", "avx512"):
        monkeypatch.setenv("VEXTRAL_KERNEL_PATH", path)  # an unsupported one falls back: same bits anyway
        for threads in (1, 2, 3, 7):
            seen.add(repr(vextral.measure(x, threads=threads)))
    assert len(seen) == 1
    # Measured in parts, as a cluster does: the pairs within and between blocks of rows.
    blocks = [x[:500], x[500:1100], x[1100:]]
    pairs = [_native.pair_sums(block) for block in blocks]
    pairs += [_native.pair_sums(blocks[a], blocks[b], threads=2) for a in range(3) for b in range(a + 1, 3)]
    dimensions = [_native.dimension_sums(block, 40) for block in blocks]
    merged = _native.measures_from_sums(_native.merge_sums(pairs[::-1]), _native.merge_sums(dimensions))
    whole = vextral.measure(x)
    assert merged == {name: getattr(whole, name)
                      for name in ("isotropy", "coverage", "distinctiveness", "quality_score")}


def test_library_bits_are_the_librarys():
    rng = np.random.default_rng(6)
    a = rng.standard_normal((300, 16)).astype(np.float32)
    b = rng.standard_normal((200, 16)).astype(np.float32) + 0.5
    measured = vextral.measure(a, library_bits=True)
    assert (measured.isotropy, measured.coverage, measured.distinctiveness, measured.quality_score) == (
        v.py_compute_isotropy(a), v.py_compute_coverage(a), v.py_compute_distinctiveness(a),
        v.py_compute_quality_score(a))
    assert measured.summation == "float32-sequential"
    assert vextral.drift(a, b, library_bits=True).drift == v.py_detect_drift(a, b)
    assert vextral.drift([], b).drift == vextral.drift([], b, library_bits=True).drift == 0.0


def test_float32_sums_that_fail_warn_and_keep_their_bits():
    # 8000 identical rows: every similarity is 1 - 2^-24, and a float32 total sticks at 2^24.
    same = np.tile(np.float32([1.0, 2.0]), (8000, 1))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        isotropy = v.py_compute_isotropy(same)
        small = v.py_compute_isotropy(same[:100])
        score = vextral.measure(same, library_bits=True).quality_score
    assert isotropy == pytest.approx(0.4756464)  # the bits stored results rely on
    assert small < 1e-6  # no warning: 100 rows are well within float32's reach
    messages = [str(w.message) for w in caught]
    # The library's isotropy; then isotropy, distinctiveness and the score with library_bits.
    assert len(messages) == 1 + 3, messages
    assert all(w.category is RuntimeWarning for w in caught)
    assert "py_compute_isotropy returned 0.475646436" in messages[0]
    assert "5.96046448e-08" in messages[0] and "vextral.measure" in messages[0]
    assert caught[0].filename == __file__  # attributed to the caller's line
    assert score == v.py_compute_quality_score(same)
    assert vextral.measure(same).isotropy == 2.0 ** -24
    # Filters apply: an error filter makes the call raise, an ignore filter silences it.
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="py_detect_drift returned"):
            v.py_detect_drift(same, same[:10])
        warnings.simplefilter("ignore", RuntimeWarning)
        assert v.py_compute_distinctiveness(same) == v.py_compute_distinctiveness(same)


def test_progress_and_its_exceptions_reach_the_caller_with_the_lock_taken_back():
    x = np.random.default_rng(8).standard_normal((1500, 48)).astype(np.float32)
    from vextral.embedding_measures import measure_quality
    seen = []
    quality = measure_quality(x, data=x, threads=2, progress=lambda done, total: seen.append((done, total)))
    assert quality.quality_score == vextral.measure(x).quality_score
    assert {total for _, total in seen} == {1500 * 1499 // 2}
    assert [done for done, _ in seen] == sorted(done for done, _ in seen) and seen[-1][0] == seen[-1][1]

    class Stop(Exception):
        pass

    def stop(done, total):
        if done:
            raise Stop
    for threads in (1, 2):
        with pytest.raises(Stop):
            measure_quality(x, data=x, threads=threads, progress=stop)
    assert vextral.measure(x).quality_score == quality.quality_score
