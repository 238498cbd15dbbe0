"""Every pair-kernel path, chosen through VEXTRAL_KERNEL_PATH, gives the bits
of the float32 model on random, ragged and non-finite batches. A path this
processor cannot run is skipped, not left out."""
import math
import platform
import random

import pytest

import float32_model as model
import vextral_core as v

SETTING = "VEXTRAL_KERNEL_PATH"


def _cpu_flags():
    """The x86 feature flags the kernel reports for this processor (Linux)."""
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as info:
            for line in info:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


_FLAGS = _cpu_flags()
_X86 = platform.machine().lower() in {"x86_64", "amd64", "i386", "i686"}


def _path(name, flag):
    runs = flag is None or (_X86 and flag in _FLAGS)
    return pytest.param(name, id=name,
                        marks=pytest.mark.skipif(not runs, reason=f"this processor has no {name} path"))


PATHS = [_path("portable", None), _path("avx2", "avx2"), _path("avx512", "avx512f")]


def _batches():
    rng = random.Random(13)

    def gauss():
        # Biased towards one direction, so that the mean similarity is well
        # above 0 and distinctiveness is not capped at 1.
        return rng.gauss(0.7, 1.0)

    # 66 rows of 21: straddles the 4-row tile, the 64-column tile and the
    # 64-row panel, and the 16-lane block in the dimension.
    rectangular = [[gauss() for _ in range(21)] for _ in range(66)]
    # Ragged: row 0 longest (coverage rejects a row longer than row 0),
    # empty and short rows among them.
    ragged = [[gauss() for _ in range(20)]]
    ragged += [[gauss() for _ in range(rng.randrange(0, 21))] for _ in range(40)]
    # Row 0 holds an infinity past the end of every other row: the plain dot
    # products never reach it, but the packed layout's zero padding would
    # (0 * NaN), so these measures come out finite only if the pairs it
    # poisons are summed again. Squares that overflow or underflow too.
    non_finite = [[gauss() for _ in range(18)]]
    non_finite[0][16] = math.inf
    non_finite += [[gauss() for _ in range(rng.randrange(0, 17))] for _ in range(29)]
    non_finite[5][:2] = [1e20, -1e20]
    non_finite[7] = [1e-30] * 3
    # One long row among many short ones: too ragged for the packed layout.
    lopsided = [[gauss() for _ in range(5000)]] + [[gauss(), gauss()] for _ in range(63)]
    return {"rectangular": rectangular, "ragged": ragged, "non_finite": non_finite,
            "lopsided": lopsided}


BATCHES = _batches()


def _measures(batch):
    return (v.py_compute_isotropy(batch), v.py_compute_distinctiveness(batch),
            v.py_compute_quality_score(batch))


@pytest.fixture(scope="module")
def expected():
    """The model's bits, computed once for every path's tests."""
    results = {name: tuple(float(x) for x in (model.isotropy(batch), model.distinctiveness(batch),
                                              model.quality_score(batch)))
               for name, batch in BATCHES.items()}
    results["drift"] = float(model.drift(BATCHES["rectangular"], BATCHES["ragged"]))
    return results


@pytest.mark.parametrize("path", PATHS)
def test_each_path_gives_the_model_bits(path, expected, monkeypatch):
    monkeypatch.setenv(SETTING, path)
    for name, batch in BATCHES.items():
        assert _measures(batch) == expected[name], f"{name} on {path}"
    assert v.py_detect_drift(BATCHES["rectangular"], BATCHES["ragged"]) == expected["drift"]


@pytest.mark.parametrize("setting", ["", "  AVX2 ", "Portable", "sse", "neon", "avx-512", "x" * 40])
def test_any_other_setting_runs_a_path_with_the_same_bits(setting, expected, monkeypatch):
    # A name in another case or between blanks picks that path; a setting
    # that names no path this processor can run leaves the fastest in place.
    monkeypatch.setenv(SETTING, setting)
    assert _measures(BATCHES["non_finite"]) == expected["non_finite"]
