"""`vextral.measure` and `vextral.drift`: the embedding measures from Python.

Both take whatever `vextral_core` takes as a batch (lists of lists, NumPy
arrays and memory maps, Arrow arrays, DLPack tensors such as PyTorch's),
read in place where the library reads it in place. By default the sums over
pairs and rows are exact and order-free, so the measures are the true
values of their formulas over the same float32 similarities (to about
1e-15), with the same bits for any number of threads; `library_bits=True`
gives exactly the bits of `vextral_core`'s functions instead, whose float32
running sums fail on large batches (a RuntimeWarning says when).
"""

from __future__ import annotations

import operator
import os
from dataclasses import dataclass
from typing import Any

from vextral.embedding_measures import (BATCH_MEASURES, EXACT, FLOAT32_SEQUENTIAL, Quality,
                                        measure_drift, measure_quality)

# The most threads a call uses, as for VEXTRAL_NUM_THREADS.
MOST_THREADS = 1024


@dataclass(frozen=True)
class Measures:
    """The quality measures of one batch of embeddings.

    Attributes:
        isotropy: 1 - mean |cosine| over all pairs of rows, in [0, 1].
        coverage: the mean per-dimension variance v squashed to v / (v + 1), in [0, 1].
        distinctiveness: (1 - |mean cosine|) * (1 + standard deviation of the cosines), in [0, 1].
        quality_score: 0.4 * isotropy + 0.3 * coverage + 0.3 * distinctiveness, in [0, 1].
        rows: the number of embeddings.
        dimension: the length of the first embedding.
        non_finite_rows: how many embeddings hold NaN or infinity.
        summation: "exact" (order-free exact sums) or "float32-sequential" (the library's bits).
    """

    isotropy: float
    coverage: float
    distinctiveness: float
    quality_score: float
    rows: int
    dimension: int
    non_finite_rows: int
    summation: str

    @classmethod
    def _of(cls, quality: Quality) -> Measures:
        return cls(quality.measures["isotropy"], quality.measures["coverage"], quality.measures["distinctiveness"],
                   quality.quality_score, quality.rows, quality.dimension, quality.non_finite.count,
                   quality.summation)


@dataclass(frozen=True)
class DriftMeasures:
    """How far a current batch's measures moved from a baseline batch's.

    Attributes:
        drift: the mean of the three relative changes; 0 when either batch is empty.
        baseline: the baseline batch's Measures.
        current: the current batch's Measures.
        changes: each of isotropy, coverage and distinctiveness mapped to its relative change
            |baseline - current| / (baseline + 1).
    """

    drift: float
    baseline: Measures
    current: Measures
    changes: dict[str, float]

    @property
    def summation(self) -> str:
        return self.baseline.summation


def thread_count(threads: int | None) -> int:
    """The threads a call with `threads` uses: None or 0 means one per core this process may
    run on; at most MOST_THREADS."""
    if threads is None:
        threads = 0
    threads = operator.index(threads)
    if threads < 0:
        raise ValueError(f"threads must be None or at least 0, not {threads}")
    if threads == 0:
        threads = os.process_cpu_count() or 1
    return min(threads, MOST_THREADS)


def measure(embeddings: Any, *, threads: int | None = None, library_bits: bool = False) -> Measures:
    """Isotropy, coverage, distinctiveness and quality score of a batch of embeddings.

    `embeddings` is any batch vextral_core accepts: a sequence of sequences of numbers, a 2-D
    NumPy array or memory map, an Arrow array of lists, a 2-D DLPack tensor (PyTorch, ...).
    The sums are exact and order-free, so the result is the same to the last bit for every
    `threads` (None: one per core); the interpreter lock is released during the pass over
    the pairs. With `library_bits=True` the measures have exactly the bits of vextral_core's
    py_compute_* functions instead (float32 running sums, which fail on large batches: a
    RuntimeWarning says so when they do).
    """
    quality = measure_quality(embeddings, data=embeddings, threads=thread_count(threads),
                              library_bits=library_bits, warn_stacklevel=3)
    return Measures._of(quality)


def drift(baseline: Any, current: Any, *, threads: int | None = None, library_bits: bool = False) -> DriftMeasures:
    """The drift from a baseline batch to a current batch: the mean relative change
    |baseline - current| / (baseline + 1) of isotropy, coverage and distinctiveness.

    Each batch is measured as by `measure`, with the same `threads` and `library_bits`; with
    `library_bits=True` the drift has exactly the bits of vextral_core's py_detect_drift.
    """
    count = thread_count(threads)
    measured = [measure_quality(batch, data=batch, threads=count, library_bits=library_bits, warn_stacklevel=3)
                for batch in (baseline, current)]
    result = measure_drift(*measured)
    return DriftMeasures(result.drift, Measures._of(measured[0]), Measures._of(measured[1]), result.changes())


__all__ = ["BATCH_MEASURES", "EXACT", "FLOAT32_SEQUENTIAL", "DriftMeasures", "Measures", "drift", "measure"]
