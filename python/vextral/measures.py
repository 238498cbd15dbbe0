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

from vextral.cluster import is_dask_array, measure_dask
from vextral.embedding_measures import (BATCH_MEASURES, EXACT, FLOAT32_SEQUENTIAL, Quality,
                                        measure_drift, measure_quality)
from vextral.sampling import ESTIMATED, Estimates, checked_sample, measure_sampled

# The most threads a call uses, as for VEXTRAL_NUM_THREADS (src/module/pass_options.hpp).
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
        summation: "exact" (order-free exact sums), "float32-sequential" (the library's bits) or
            "sampled" (exact sums over a sample of pairs: isotropy, distinctiveness and the
            quality score are estimates, coverage is exact).
        pairs: the pairs sampled, or None when every pair was measured.
        isotropy_stderr, distinctiveness_stderr, quality_score_stderr: the standard error of
            each estimate (0.0 when every pair was measured); distinctiveness's is that of its
            formula before its clamp at 1.
        isotropy_interval, distinctiveness_interval, quality_score_interval: the 95 % interval
            of each estimate (the value itself when every pair was measured).
    """

    isotropy: float
    coverage: float
    distinctiveness: float
    quality_score: float
    rows: int
    dimension: int
    non_finite_rows: int
    summation: str
    pairs: int | None = None
    isotropy_stderr: float = 0.0
    distinctiveness_stderr: float = 0.0
    quality_score_stderr: float = 0.0
    isotropy_interval: tuple[float, float] | None = None
    distinctiveness_interval: tuple[float, float] | None = None
    quality_score_interval: tuple[float, float] | None = None

    def __post_init__(self) -> None:
        for name in ("isotropy", "distinctiveness", "quality_score"):
            if getattr(self, f"{name}_interval") is None:
                value = getattr(self, name)
                object.__setattr__(self, f"{name}_interval", (value, value))

    @classmethod
    def _of(cls, quality: Quality, estimates: Estimates | None = None) -> Measures:
        sampled: dict[str, Any] = {}
        if estimates is not None:
            sampled = {"pairs": estimates.pairs,
                       **{f"{name}_stderr": estimates.stderr[name] for name in ESTIMATED},
                       **{f"{name}_interval": estimates.intervals[name] for name in ESTIMATED}}
        return cls(quality.measures["isotropy"], quality.measures["coverage"], quality.measures["distinctiveness"],
                   quality.quality_score, quality.rows, quality.dimension, quality.non_finite.count,
                   quality.summation, **sampled)


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


def _measured(embeddings: Any, threads: int | None, library_bits: bool, pairs: int | None,
              seed: int | None) -> tuple[Quality, Estimates | None]:
    """One batch measured by `measure`'s rules: a Dask array on the Dask scheduler in use,
    a sample of pairs when `pairs` is given, otherwise in this process. Called straight from
    `measure` or `drift`, so that a warning points at their caller."""
    if pairs is not None:
        if library_bits:
            raise ValueError("library_bits gives the library's bits of every pair; it cannot be sampled")
        count, seed = checked_sample(pairs, seed)
        task_threads = 1 if is_dask_array(embeddings) and threads is None else thread_count(threads)
        return measure_sampled(embeddings, count, seed, data=embeddings, threads=task_threads)
    if seed is not None:
        raise ValueError("seed chooses a sample of pairs: give pairs too")
    if is_dask_array(embeddings):
        if library_bits:
            raise ValueError("library_bits needs the float32 running sums in one order: compute the array first")
        return measure_dask(embeddings, threads=1 if threads is None else thread_count(threads)), None
    return measure_quality(embeddings, data=embeddings, threads=thread_count(threads), library_bits=library_bits,
                           warn_stacklevel=4), None


def measure(embeddings: Any, *, threads: int | None = None, library_bits: bool = False,
            pairs: int | None = None, seed: int | None = None) -> Measures:
    """Isotropy, coverage, distinctiveness and quality score of a batch of embeddings.

    `embeddings` is any batch vextral_core accepts: a sequence of sequences of numbers, a 2-D
    NumPy array or memory map, an Arrow array of lists, a 2-D DLPack tensor (PyTorch, ...).
    The sums are exact and order-free, so the result is the same to the last bit for every
    `threads` (None: one per core); the interpreter lock is released during the pass over
    the pairs. With `library_bits=True` the measures have exactly the bits of vextral_core's
    py_compute_* functions instead (float32 running sums, which fail on large batches: a
    RuntimeWarning says so when they do).

    A 2-D Dask array is measured on the Dask scheduler in use (a distributed Client, or Dask's
    threads): one task per pair of row chunks, with the same bits as the computed array
    measured here, whatever the chunking; `threads` is then per task (None: 1). It needs the
    `dask` extra (pip install 'vextral_core[dask]').

    With `pairs=N`, isotropy, distinctiveness and the quality score are estimated from N
    distinct pairs drawn uniformly (the same ones for the same `seed`, default 0, whatever the
    threads), in O(N d) time, each with a standard error and a 95 % interval (`isotropy_stderr`,
    `isotropy_interval`, ...); coverage stays exact. `summation` is then "sampled".
    """
    return Measures._of(*_measured(embeddings, threads, library_bits, pairs, seed))


def drift(baseline: Any, current: Any, *, threads: int | None = None, library_bits: bool = False,
          pairs: int | None = None, seed: int | None = None) -> DriftMeasures:
    """The drift from a baseline batch to a current batch: the mean relative change
    |baseline - current| / (baseline + 1) of isotropy, coverage and distinctiveness.

    Each batch is measured as by `measure`, with the same `threads` and `library_bits`; with
    `library_bits=True` the drift has exactly the bits of vextral_core's py_detect_drift. Dask
    arrays and `pairs`/`seed` are taken as by `measure` (each batch sampled with the same seed).
    """
    measured_baseline = _measured(baseline, threads, library_bits, pairs, seed)
    measured_current = _measured(current, threads, library_bits, pairs, seed)
    result = measure_drift(measured_baseline[0], measured_current[0])
    return DriftMeasures(result.drift, Measures._of(*measured_baseline), Measures._of(*measured_current),
                         result.changes())


__all__ = ["BATCH_MEASURES", "EXACT", "FLOAT32_SEQUENTIAL", "DriftMeasures", "Measures", "drift", "measure"]
