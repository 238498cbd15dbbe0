"""The measures of a Dask array, on whatever Dask scheduler is in use.

The sums behind the measures are exact and order-free, so the pairs of a
batch can be cut anywhere and their sums merged with the same bits. Each row
chunk of the array is a block; every block pair (I, J), I <= J, is one task
that sums the similarities of its pairs with the native pass (the triangle
within a block, or every pair between two blocks, packed together so that
each similarity keeps the bits it has in the whole batch) and returns the
sums as bytes; per-block tasks give the exact per-dimension sums and the
rows holding NaN or infinity; the bytes merge in a tree. The result has the
bits of `vextral.measure(x.compute())` for every chunking and worker count;
a task holds two row chunks, their joined copy and its normalised copy, and a worker lost
mid-way costs only the tasks Dask runs again.

With a sample of pairs instead (`pairs=N`), the pairs are drawn on the
client, each block pair's share of them becomes a task that returns their
similarities, and the estimates are formed from all of them in the draw's
order: the same bits as the sampled estimate of the batch in memory.

Dask is imported only here, and only when a Dask array is measured.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Callable, Sequence
from dataclasses import replace
from typing import Any

from vextral import _native
from vextral.embedding_measures import EXACT, CheckedCallback, NonFinite, Quality, measure_quality

EXTRA = "pip install 'vextral_core[dask]'"
# States merged by one task of the merge tree.
MERGE_FAN_IN = 16
# Row blocks at most: k blocks make k(k + 1)/2 tasks, so an array of many small chunks is
# rechunked into fewer (the bits do not depend on the chunking).
MOST_ROW_BLOCKS = 256


def is_dask_array(value: Any) -> bool:
    """Whether `value` is a Dask array (known without importing Dask). Other collections that
    follow Dask's protocol (an xarray DataArray, say) are read as any other batch."""
    kind = type(value)
    return kind.__module__.partition(".")[0] == "dask" and hasattr(kind, "__dask_graph__") and \
        hasattr(value, "chunks")


def dask_modules() -> tuple[Any, Any]:
    """dask and dask.array, or an ImportError that names the extra to install."""
    try:
        return importlib.import_module("dask"), importlib.import_module("dask.array")
    except ImportError as error:
        raise ImportError(f"measuring a Dask array needs Dask: {EXTRA} ({error})") from None


def row_blocks(array: Any) -> tuple[Any, list[Any], list[int]]:
    """The array with one chunk across its columns and known chunk sizes, its row chunks as
    Dask delayed values, and the first row of each chunk."""
    if array.ndim != 2:
        raise ValueError(f"a Dask array of embeddings must be 2-D (embeddings x dimensions), not {array.ndim}-D")
    if any(math.isnan(size) for size in array.chunks[0]):
        array = array.compute_chunk_sizes()
    if len(array.chunks[1]) > 1:
        array = array.rechunk({1: -1})
    if len(array.chunks[0]) > MOST_ROW_BLOCKS:
        array = array.rechunk({0: math.ceil(array.shape[0] / MOST_ROW_BLOCKS)})
    blocks = list(array.to_delayed().ravel())
    starts = [0]
    for size in array.chunks[0]:
        starts.append(starts[-1] + int(size))
    return array, blocks, starts[:-1]


# --- the tasks (run on the workers; module-level so that they pickle by name) ---------

def _pair_sums(rows: Any, columns: Any, threads: int) -> bytes:
    return _native.pair_sums(rows, columns, threads)


def _dimension_sums(rows: Any, dimension: int) -> bytes:
    return _native.dimension_sums(rows, dimension)


def _non_finite_rows(rows: Any) -> tuple[int, int | None]:
    return _native.non_finite_rows(rows)


def _merge(*states: bytes) -> bytes:
    return _native.merge_sums(states)


def _similarities(rows: Any, pairs: bytes, columns: Any, threads: int) -> bytes:
    return _native.pair_similarities(rows, pairs, columns, threads)


# --- the graph --------------------------------------------------------------------------

def _merged(delayed: Callable[..., Any], states: Sequence[Any]) -> Any:
    """One delayed state from many, merged in a tree of MERGE_FAN_IN at a time."""
    level = list(states)
    while len(level) > 1:
        level = [delayed(_merge, pure=True)(*level[k:k + MERGE_FAN_IN]) for k in range(0, len(level), MERGE_FAN_IN)]
    return level[0]


def _non_finite(scans: Sequence[tuple[int, int | None]], starts: Sequence[int]) -> NonFinite:
    count = sum(found for found, _ in scans)
    first = next((start + at for (_, at), start in zip(scans, starts) if at is not None), None)
    return NonFinite(count, first)


def measure_dask(array: Any, *, threads: int = 1, checked: CheckedCallback | None = None,
                 embeddings: Any = None) -> Quality:
    """The exact measures of a 2-D Dask array; `threads` per task. `checked` is called with the
    rows holding NaN or infinity once they are known, before the measures are formed."""
    dask, _ = dask_modules()
    array, blocks, starts = row_blocks(array)
    rows, dimension = (int(size) for size in array.shape)
    if rows == 0:
        # All 0, as an empty batch in memory gives them.
        data = array.compute()
        return replace(measure_quality(data, data=data, checked=checked),
                       embeddings=array if embeddings is None else embeddings)
    delayed = dask.delayed
    pair_states = [delayed(_pair_sums, pure=True)(blocks[i], blocks[j] if j != i else None, threads)
                   for i in range(len(blocks)) for j in range(i, len(blocks))]
    dimension_states = [delayed(_dimension_sums, pure=True)(block, dimension) for block in blocks]
    scans = [delayed(_non_finite_rows, pure=True)(block) for block in blocks]
    pair_state, dimension_state, *found = dask.compute(_merged(delayed, pair_states),
                                                       _merged(delayed, dimension_states), *scans)
    non_finite = _non_finite(found, starts)
    if checked is not None:
        checked(non_finite)
    measures = _native.measures_from_sums(pair_state, dimension_state)
    score = measures.pop("quality_score")
    return Quality(array if embeddings is None else embeddings, rows, dimension, measures, score, non_finite, EXACT)


def sampled_dask(array: Any, pairs: int, seed: int, *, threads: int = 1,
                 checked: CheckedCallback | None = None) -> tuple[dict[str, Any], NonFinite]:
    """The sampled estimates of a 2-D Dask array (the dict _native.sampled_measure gives, less
    the shape and the scan), with the rows holding NaN or infinity."""
    dask, _ = dask_modules()
    numpy = importlib.import_module("numpy")  # a dependency of dask.array
    array, blocks, starts = row_blocks(array)
    rows, dimension = (int(size) for size in array.shape)
    if rows == 0:
        data = array.compute()
        estimates = _native.sampled_measure(data, pairs, seed, threads, None)
        return estimates, NonFinite(0, None)
    drawn = numpy.frombuffer(_native.draw_pairs(rows, pairs, seed), dtype=numpy.uint64).reshape(-1, 2)
    bounds = numpy.asarray(starts, dtype=numpy.uint64)
    block_of_first = numpy.searchsorted(bounds, drawn[:, 0], side="right") - 1
    block_of_second = numpy.searchsorted(bounds, drawn[:, 1], side="right") - 1
    delayed = dask.delayed
    # Each block pair's share of the sample, in the draw's order, with where it goes back.
    block_pair = block_of_first * len(blocks) + block_of_second
    order = numpy.argsort(block_pair, kind="stable")
    present, first_of_each = numpy.unique(block_pair[order], return_index=True)
    shares, places = [], []
    for key, where in zip(present.tolist(), numpy.split(order, first_of_each[1:])):
        i, j = divmod(key, len(blocks))
        local = drawn[where] - numpy.asarray([starts[i], starts[j]], dtype=numpy.uint64)
        shares.append(delayed(_similarities, pure=True)(blocks[i], local.tobytes(),
                                                        blocks[j] if j != i else None, threads))
        places.append(where)
    dimension_states = [delayed(_dimension_sums, pure=True)(block, dimension) for block in blocks]
    scans = [delayed(_non_finite_rows, pure=True)(block) for block in blocks]
    dimension_state, found, similarities = dask.compute(_merged(delayed, dimension_states), scans, shares)
    non_finite = _non_finite(found, starts)
    if checked is not None:
        checked(non_finite)
    ordered = numpy.empty(len(drawn), dtype=numpy.float32)
    for where, values in zip(places, similarities):
        ordered[where] = numpy.frombuffer(values, dtype=numpy.float32)
    estimates = _native.sampled_measures(ordered.tobytes(), dimension_state)
    return {**estimates, "rows": rows, "dimension": dimension}, non_finite
