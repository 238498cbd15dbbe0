"""Measures estimated from a sample of pairs, for batches whose pairs are too many to visit.

N distinct pairs are drawn uniformly from the n(n - 1)/2 pairs of the batch by
a generator that depends on the seed alone (Floyd's algorithm on the pair
numbers, fed by SplitMix64's output function of (seed, k): see
src/metrics/pair_sampling.hpp), so the same seed gives the same estimates
for any thread count, and on a Dask cluster for any chunking. Each drawn
pair's similarity has exactly the bits the pass over all pairs gives it.

Isotropy, distinctiveness and the quality score are the exact-sum formulas
evaluated on the sample, in O(N d) time; coverage needs only the rows, so it
stays exact (O(n d)). Each estimate has a standard error: that of the mean of
its influence values (the delta method) for a sample drawn without
replacement, sqrt((1 - N/P) s^2 / N), and a 95 % interval (the estimate plus
or minus 1.96 standard errors, clamped to [0, 1] as the measure is;
distinctiveness's interval is that of its formula before its clamp at 1,
clamped). A sample as large as the population gives the exact measures, with
standard errors 0.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Any

from vextral import _native
from vextral.cluster import is_dask_array, sampled_dask
from vextral.embedding_measures import BATCH_MEASURES, CheckedCallback, NonFinite, Quality, scan_callback

# How the measures were summed, as reports name it: exact sums over a sample of pairs.
SAMPLED = "sampled"
# The estimates that carry a standard error.
ESTIMATED = ("isotropy", "distinctiveness", "quality_score")
DEFAULT_SEED = 0


@dataclass(frozen=True)
class Estimates:
    """What a sample of pairs tells about its estimates."""

    pairs: int  # drawn
    population: int  # n(n - 1)/2
    seed: int
    # isotropy, distinctiveness and quality_score -> standard error, 95 % interval
    stderr: dict[str, float]
    intervals: dict[str, tuple[float, float]]


def checked_sample(pairs: Any, seed: Any) -> tuple[int, int]:
    """`pairs` and `seed` as the integers the draw takes, or ValueError/TypeError."""
    pairs = operator.index(pairs)
    seed = DEFAULT_SEED if seed is None else operator.index(seed)
    if pairs < 2:
        raise ValueError(f"pairs must be at least 2 (a standard error needs two), not {pairs}")
    if not 0 <= seed < 2**64:
        raise ValueError(f"seed must be in [0, 2**64), not {seed}")
    return pairs, seed


def _estimates(result: dict[str, Any], seed: int) -> Estimates:
    return Estimates(result["pairs"], result["population"], seed,
                     {name: result[f"{name}_stderr"] for name in ESTIMATED},
                     {name: tuple(result[f"{name}_interval"]) for name in ESTIMATED})


def _quality(embeddings: Any, result: dict[str, Any], non_finite: NonFinite) -> Quality:
    return Quality(embeddings, result["rows"], result["dimension"],
                   {name: result[name] for name in BATCH_MEASURES}, result["quality_score"], non_finite, SAMPLED)


def measure_sampled(embeddings: Any, pairs: int, seed: int, *, data: Any = None, threads: int = 1,
                    checked: CheckedCallback | None = None) -> tuple[Quality, Estimates]:
    """The estimates of one batch (in memory, or a Dask array) from `pairs` pairs drawn for
    `seed`; `data` is what the native pass reads (by default `embeddings.data`)."""
    source = embeddings.data if data is None else data
    if is_dask_array(source):
        result, found = sampled_dask(source, pairs, seed, threads=threads, checked=checked)
    else:
        result = _native.sampled_measure(source, pairs, seed, threads, scan_callback(checked))
        found = NonFinite(result["non_finite_rows"], result["first_non_finite"])
    return _quality(embeddings, result, found), _estimates(result, seed)

