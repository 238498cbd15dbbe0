"""The batch measures and the drift, gathered for reports.

Each batch goes through one native pass (vextral._native.batch_measures),
which gives isotropy, coverage, distinctiveness and the quality score with
exactly the bits of vextral_core's four functions; the drift is combined
from two such passes in float32, exactly as py_detect_drift combines its six
measures.
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


@dataclass(frozen=True)
class Quality:
    embeddings: Embeddings
    # isotropy, coverage, distinctiveness
    measures: dict[str, float]
    quality_score: float


@dataclass(frozen=True)
class Drift:
    baseline: Embeddings
    current: Embeddings
    baseline_measures: dict[str, float]
    current_measures: dict[str, float]

    def changes(self) -> dict[str, float]:
        """Each measure's relative change |baseline - current| / (baseline + 1), in float32.

        The drift is the mean of these three; they show which measure moved.
        """
        before, after = self.baseline_measures, self.current_measures
        return {name: float32.f32(abs(float32.f32(before[name] - after[name]))
                                  / float32.f32(before[name] + 1.0))
                for name in BATCH_MEASURES}

    @property
    def drift(self) -> float:
        """((isotropy + coverage) + distinctiveness) / 3 over the changes, in float32."""
        changes = self.changes()
        total = float32.f32(float32.f32(changes["isotropy"] + changes["coverage"]) + changes["distinctiveness"])
        return float32.f32(total / 3.0)


def non_finite_rows(embeddings: Embeddings) -> NonFinite:
    count, first = _native.non_finite_rows(embeddings.data)
    return NonFinite(count, first)


def measure_quality(embeddings: Embeddings, *, threads: int = 1,
                    progress: ProgressCallback | None = None) -> Quality:
    measures = _native.batch_measures(embeddings.data, threads, progress)
    score = measures.pop("quality_score")
    return Quality(embeddings, measures, score)


def measure_drift(baseline: Quality, current: Quality) -> Drift:
    return Drift(baseline.embeddings, current.embeddings, baseline.measures, current.measures)
