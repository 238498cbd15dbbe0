"""vextral._native: the one-pass batch measures must equal vextral_core's four
functions bit for bit on every input kind, convert and fail as they do, count
non-finite rows, and let a progress callback (or a signal) stop the pass."""
import math

import numpy as np
import pytest

import vextral_core as v
from conftest import PANIC_MESSAGE, PANICKING_BATCH, panic_message
from vextral import _native


def four_calls(batch):
    """The four functions' results, with the non-finite row count the entry also reports."""
    count, first = _native.non_finite_rows(batch)
    return {"isotropy": v.py_compute_isotropy(batch), "coverage": v.py_compute_coverage(batch),
            "distinctiveness": v.py_compute_distinctiveness(batch),
            "quality_score": v.py_compute_quality_score(batch), "non_finite_rows": count,
            "first_non_finite": first}


KEYS = ("isotropy", "coverage", "distinctiveness", "quality_score", "non_finite_rows", "first_non_finite")


def one_pass(batch, **options):
    """What the one pass gives of the four functions' results (it also gives the batch's shape
    and each measure's float64 shadow)."""
    measures = _native.batch_measures(batch, **options)
    return {key: measures[key] for key in KEYS}


def random_batches():
    rng = np.random.default_rng(16)
    for n, d in [(0, 3), (1, 4), (2, 2), (3, 7), (65, 9), (130, 40), (200, 3)]:
        yield rng.standard_normal((n, d)).astype(np.float32)
        yield (rng.standard_normal((n, d)) * 0.2 + 2).astype(np.float32)  # a cone: nothing clamped
        special = rng.standard_normal((n, d)).astype(np.float32)
        mask = rng.random((n, d)) < 0.02
        special[mask] = rng.choice(np.array([np.nan, np.inf, -np.inf, 1e20, 1e-30, 0], np.float32), mask.sum())
        yield special


@pytest.mark.parametrize("index", range(21))
def test_bits_equal_the_four_separate_calls(index):
    batch = list(random_batches())[index]
    expected = four_calls(batch)
    assert one_pass(batch) == expected
    assert one_pass(batch.tolist(), threads=3) == expected
    assert sorted(_native.batch_measures(batch)) == sorted(
        [*KEYS, "rows", "dimension", *(f"{name}_shadow" for name in KEYS[:4])])


def test_ragged_lists_and_other_dtypes_convert_as_the_module_does():
    ragged = [[1.0, 2.0, 3.0], [4.0], [], [0.5, -1.0]]
    assert one_pass(ragged) == four_calls(ragged)
    for dtype in (np.float64, np.int16, np.bool_):
        array = (np.arange(24).reshape(6, 4) % 5 - 2).astype(dtype)
        assert one_pass(array) == four_calls(array)


def test_memoryviews_are_read_without_numpy():
    array = np.random.default_rng(3).standard_normal((70, 6))
    for dtype, code in ((np.float32, "f"), (np.float64, "d")):
        typed = array.astype(dtype)
        view = memoryview(typed.tobytes()).cast(code, list(typed.shape))
        assert one_pass(view) == four_calls(typed)
        assert _native.non_finite_rows(view) == (0, None)


def test_failures_are_the_modules():
    with pytest.raises(TypeError, match="argument 'embeddings': Can't extract `str` to `Vec`"):
        _native.batch_measures("abc")
    assert panic_message(lambda: _native.batch_measures(PANICKING_BATCH)) == PANIC_MESSAGE
    with pytest.raises(ValueError, match="threads must be at least 1"):
        _native.batch_measures([[1.0]], threads=0)
    with pytest.raises(TypeError, match="argument 'threads'"):
        _native.batch_measures([[1.0]], threads="two")
    with pytest.raises(TypeError, match="batch_measures\\(\\) missing 1 required positional argument"):
        _native.batch_measures()


def test_non_finite_rows():
    batch = [[1.0, 2.0], [math.nan, 0.0], [3.0, -math.inf], [1e38, -1e38], [math.inf, math.nan]]
    assert _native.non_finite_rows(batch) == (3, 1)
    measures = _native.batch_measures(batch)
    assert (measures["non_finite_rows"], measures["first_non_finite"]) == (3, 1)
    # checked() hears the count before the pass, and its exception ends the call there.
    heard = []

    def refuse(count, first):
        heard.append((count, first))
        raise ValueError("refused")

    with pytest.raises(ValueError, match="refused"):
        _native.batch_measures(batch, progress=lambda done, total: heard.append("pass"), checked=refuse)
    assert heard == [(3, 1)]
    assert _native.non_finite_rows(np.array(batch, dtype=np.float32)) == (3, 1)
    # float64 values beyond float32's range become infinities, as the measures see them.
    assert _native.non_finite_rows(np.array([[1e300, 0.0], [1.0, 1.0]])) == (1, 0)
    assert _native.non_finite_rows([]) == (0, None)


def test_progress_rises_to_the_total_and_its_exception_stops_the_pass():
    batch = np.random.default_rng(4).standard_normal((300, 8)).astype(np.float32)
    seen = []
    assert one_pass(batch, progress=lambda done, total: seen.append((done, total))) == four_calls(batch)
    assert [total for _, total in seen] == [300 * 299 // 2] * 5  # after each of five panels of 64 rows
    assert [done for done, _ in seen] == sorted({done for done, _ in seen})

    class Stop(Exception):
        pass

    calls = []

    def stop(done, total):
        calls.append(done)
        raise Stop

    with pytest.raises(Stop):
        _native.batch_measures(batch, progress=stop)
    assert len(calls) == 1


def test_a_pending_signal_stops_the_pass(run_python):
    done = run_python("""
        import signal, numpy as np
        from vextral import _native
        batch = np.random.default_rng(0).standard_normal((400, 16)).astype(np.float32)
        def interrupt(done, total):
            signal.raise_signal(signal.SIGINT)  # handled at the next check, between panels
        try:
            _native.batch_measures(batch, progress=interrupt)
        except KeyboardInterrupt:
            print("interrupted")
    """)
    assert done.stdout == "interrupted\n", done.stderr
