"""The batch measures and the drift of vextral_core, gathered for reports."""

from __future__ import annotations

from dataclasses import dataclass

import vextral_core

from vextral import float32
from vextral.embedding_files import Embeddings

BATCH_MEASURES = ("isotropy", "coverage", "distinctiveness")


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
    drift: float

    def changes(self) -> dict[str, float]:
        """Each measure's relative change |baseline - current| / (baseline + 1), in float32.

        The drift is the mean of these three; they show which measure moved.
        """
        before, after = self.baseline_measures, self.current_measures
        return {name: float32.f32(abs(float32.f32(before[name] - after[name]))
                                  / float32.f32(before[name] + 1.0))
                for name in BATCH_MEASURES}


def batch_measures(embeddings: Embeddings) -> dict[str, float]:
    rows = embeddings.rows
    return {
        "isotropy": vextral_core.py_compute_isotropy(rows),
        "coverage": vextral_core.py_compute_coverage(rows),
        "distinctiveness": vextral_core.py_compute_distinctiveness(rows),
    }


def measure_quality(embeddings: Embeddings) -> Quality:
    measures = batch_measures(embeddings)
    return Quality(embeddings, measures, vextral_core.py_compute_quality_score(embeddings.rows))


def measure_drift(baseline: Embeddings, current: Embeddings) -> Drift:
    return Drift(baseline, current, batch_measures(baseline), batch_measures(current),
                 vextral_core.py_detect_drift(baseline.rows, current.rows))
