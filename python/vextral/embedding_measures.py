"""The batch measures and the drift, gathered for reports.

Each batch is converted once and goes through one native pass
(vextral._native.batch_measures), which counts the rows holding NaN or
infinity and then gives isotropy, coverage, distinctiveness and the quality
score with exactly the bits of vextral_core's four functions. The drift of
two batches is combined from their measures by the library's own drift
formula (vextral._native.drift_between), so it is exactly what
py_detect_drift gives.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from vextral import _native, float32
from vextral.embedding_files import Embeddings

BATCH_MEASURES = ("isotropy", "coverage", "distinctiveness")

# Called as progress(pairs_done, pairs_total) during a pass.
ProgressCallback = Callable[[int, int], object]


@dataclass(frozen=True)
class NonFinite:
    """How many embeddings of a batch hold NaN or infinity, and the first of them."""

    count: int
    first: int | None


# Called with what the scan found, before the pass over the pairs; an exception it raises
# ends the measurement there.
CheckedCallback = Callable[[NonFinite], object]


@dataclass(frozen=True)
class Quality:
    embeddings: Embeddings
    # isotropy, coverage, distinctiveness
    measures: dict[str, float]
    quality_score: float
    non_finite: NonFinite


@dataclass(frozen=True)
class Drift:
    baseline: Embeddings
    current: Embeddings
    baseline_measures: dict[str, float]
    current_measures: dict[str, float]
    # Each measure's relative change |baseline - current| / (baseline + 1), in float32.
    relative_changes: dict[str, float]
    # The mean of the three changes, as the library computes it.
    drift: float

    def changes(self) -> dict[str, float]:
        """Each measure's relative change; the drift is their mean, and they show which measure moved."""
        return dict(self.relative_changes)


def measure_quality(embeddings: Embeddings, *, threads: int = 1, progress: ProgressCallback | None = None,
                    checked: CheckedCallback | None = None) -> Quality:
    def scanned(count: int, first: int | None) -> None:
        if checked is not None:
            checked(NonFinite(count, first))

    measures = _native.batch_measures(embeddings.data, threads, progress, scanned)
    found = NonFinite(measures.pop("non_finite_rows"), measures.pop("first_non_finite"))
    score = measures.pop("quality_score")
    return Quality(embeddings, measures, score, found)


def measure_drift(baseline: Quality, current: Quality) -> Drift:
    before, after = baseline.measures, current.measures
    # Python floats are the float32 results widened exactly; each step below is one float32
    # operation (a double result rounded once to float32 is the float32 result).
    changes = {name: float32.f32(abs(float32.f32(before[name] - after[name]))
                                 / float32.f32(before[name] + 1.0))
               for name in BATCH_MEASURES}
    drift = _native.drift_between(*(before[name] for name in BATCH_MEASURES),
                                  *(after[name] for name in BATCH_MEASURES))
    return Drift(baseline.embeddings, current.embeddings, before, after, changes, drift)
