"""The batch measures and the drift, as the command and `vextral.measure` compute them.

Each batch is converted once and goes through one native pass. By default
(`exact`) the pass adds every pair similarity into exact, order-free sums
(vextral._native.measure) and the measures are float64 values of their
formulas on those sums, the same bits for any number of threads. With
`library_bits` it gives isotropy, coverage, distinctiveness and the quality
score with exactly the bits of vextral_core's four functions
(vextral._native.batch_measures), and the drift by the library's own
formula (vextral._native.drift_between), exactly what py_detect_drift gives.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from vextral import _native, float32

BATCH_MEASURES = ("isotropy", "coverage", "distinctiveness")

# How the sums over pairs and rows are taken, as reports name it.
EXACT = "exact"
FLOAT32_SEQUENTIAL = "float32-sequential"

# Called as progress(pairs_done, pairs_total) during a pass.
ProgressCallback = Callable[[int, int], object]

# Where a float32 result and its float64 shadow differ by more than this, the
# library's float32 sums have failed (as vextral_core warns, too).
SHADOW_TOLERANCE = 0.001


@dataclass(frozen=True)
class NonFinite:
    """How many embeddings of a batch hold NaN or infinity, and the first of them."""

    count: int
    first: int | None


# Called with what the scan found, before the pass over the pairs; an exception it raises
# ends the measurement there.
CheckedCallback = Callable[[NonFinite], object]


def scan_callback(checked: CheckedCallback | None) -> Callable[[int, int | None], None]:
    """What a native pass calls with the count and first index of the rows holding NaN or
    infinity: `checked`, given them as a NonFinite."""
    def scanned(count: int, first: int | None) -> None:
        if checked is not None:
            checked(NonFinite(count, first))
    return scanned


@dataclass(frozen=True)
class Quality:
    # The embeddings as given (a file's Embeddings, or any batch object).
    embeddings: Any
    rows: int
    dimension: int
    # isotropy, coverage, distinctiveness
    measures: dict[str, float]
    quality_score: float
    non_finite: NonFinite
    summation: str


@dataclass(frozen=True)
class Drift:
    baseline: Quality
    current: Quality
    # Each measure's relative change |baseline - current| / (baseline + 1).
    relative_changes: dict[str, float]
    drift: float

    @property
    def summation(self) -> str:
        return self.baseline.summation

    def changes(self) -> dict[str, float]:
        """Each measure's relative change; the drift is their mean, and they show which measure moved."""
        return dict(self.relative_changes)


def measure_quality(embeddings: Any, *, data: Any = None, threads: int = 1,
                    progress: ProgressCallback | None = None, checked: CheckedCallback | None = None,
                    library_bits: bool = False, warn_stacklevel: int = 2) -> Quality:
    """The measures of one batch; `data` is what the native pass reads (by default
    `embeddings.data`, the array of a file's Embeddings)."""
    source = embeddings.data if data is None else data
    native = _native.batch_measures if library_bits else _native.measure
    measures = native(source, threads, progress, scan_callback(checked))
    found = NonFinite(measures.pop("non_finite_rows"), measures.pop("first_non_finite"))
    rows, dimension = measures.pop("rows"), measures.pop("dimension")
    if library_bits:
        _warn_where_float32_sums_failed(measures, warn_stacklevel + 1)
    score = measures.pop("quality_score")
    return Quality(embeddings, rows, dimension, {name: measures[name] for name in BATCH_MEASURES}, score, found,
                   FLOAT32_SEQUENTIAL if library_bits else EXACT)


def _warn_where_float32_sums_failed(measures: dict[str, float], stacklevel: int) -> None:
    """Takes the float64 shadows out of `measures`, warning for each float32 measure that
    departs from its shadow: its running sums stopped growing on a large batch."""
    for name in (*BATCH_MEASURES, "quality_score"):
        shadow = measures.pop(f"{name}_shadow")
        if abs(measures[name] - shadow) > SHADOW_TOLERANCE:
            warnings.warn(f"{name} {measures[name]!r} has the library's float32 bits, but the same formula "
                          f"on float64 sums of the same terms gives {shadow!r}: its float32 running sums "
                          "stopped growing on this large batch. Without library_bits the measures are "
                          "computed on exact sums.", RuntimeWarning, stacklevel=stacklevel)


def measure_drift(baseline: Quality, current: Quality) -> Drift:
    """The drift between two batches: by vextral_core's float32 formula for the library's bits,
    otherwise by the same formula on the measures of exact sums (over all pairs, or a sample)."""
    if baseline.summation != current.summation:
        raise ValueError("the drift needs two batches measured with the same summation")
    before, after = baseline.measures, current.measures
    if baseline.summation == FLOAT32_SEQUENTIAL:
        # Python floats are the float32 results widened exactly; each step below is one float32
        # operation (a double result rounded once to float32 is the float32 result).
        changes = {name: float32.f32(abs(float32.f32(before[name] - after[name]))
                                     / float32.f32(before[name] + 1.0))
                   for name in BATCH_MEASURES}
        drift = _native.drift_between(*(before[name] for name in BATCH_MEASURES),
                                      *(after[name] for name in BATCH_MEASURES))
    else:
        # Measures on exact sums, over every pair or over a sample of pairs.
        changes = {name: abs(before[name] - after[name]) / (before[name] + 1.0) for name in BATCH_MEASURES}
        drift = _native.sound_drift(*(before[name] for name in BATCH_MEASURES),
                                    *(after[name] for name in BATCH_MEASURES))
    if baseline.rows == 0 or current.rows == 0:
        # The library's rule: no drift when either batch is empty.
        changes = {name: 0.0 for name in BATCH_MEASURES}
        drift = 0.0
    return Drift(baseline, current, changes, drift)
