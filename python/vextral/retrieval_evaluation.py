"""A TREC run scored against qrels, query by query, with vextral_core's
retrieval kernel.

Which queries count: every query with at least one relevant document in the
qrels. One that the run lacks scores 0 on every measure, as a system that
returned nothing for it would. Queries of the run without any relevant
judgment are left out (no measure is defined for them) and listed.

Document identifiers are strings in TREC files; for each query they are
numbered in order of first appearance, the run's ranking first, then the
relevant documents it missed, so equal strings always get equal numbers.
The whole run is read and scored by the package's native code in one pass;
each query's result is bit for bit what `score_query` (one call of
`py_compute_retrieval_metrics`) gives for the same ranking.

How deep each ranking is scored:
- by default the whole ranking, with the kernel's top_k set to its length;
- `top_k=K`: the whole ranking, with K handed to the kernel's top_k
  unchanged (precision = distinct relevant documents of the whole ranking
  over min(K, its length); NDCG over the first K; recall, F1 and MRR over
  the whole ranking);
- `cutoffs=[K, ...]`: each ranking cut to its first K documents before it is
  scored, with top_k = K, so every measure is "@K" and named so
  ("precision@10", ...).

The mean of each measure is exact: the sum of the per-query float32 values,
computed without rounding, divided by the number of evaluated queries and
rounded once, to a double. `library_bits=True` gives vextral_core's own way
instead: a float32 running sum over the queries in their natural order ("q2"
before "q10"), divided by their count in float32.

The query ids of the run must meet those of the qrels: a run none of whose
queries the qrels list is an error (TrecMismatchError), one with some they
do not list is reported (`not_in_qrels`), and an error with strict=True.
"""

from __future__ import annotations

import math
import re
import unicodedata
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Literal

import vextral_core

from vextral import _native, float32
from vextral.errors import plural
from vextral.trec import (QrelsMapping, RunMapping, Source, TrecFormatError, TrecMismatchError, open_qrels,
                          open_run)

Measure = Literal["precision", "recall", "f1_score", "mrr", "ndcg"]
MEASURES: tuple[Measure, ...] = ("precision", "recall", "f1_score", "mrr", "ndcg")
_DEPTH_WHOLE, _DEPTH_TOP_K, _DEPTH_CUTOFF = 0, 1, 2
_LIMIT = 2**64
EXACT, FLOAT32_SEQUENTIAL = "exact", "float32-sequential"
# Every finite float32 is a multiple of 2**-149.
_FLOAT32_SCALE = 149
_FLOAT32_UNIT = 2.0**_FLOAT32_SCALE


@dataclass(frozen=True)
class QueryScore:
    query: str
    # Documents in the query's ranking (each counted once) and relevant documents in the qrels.
    retrieved: int
    relevant: int
    # Measure name -> float32 value, in the order of RunEvaluation.measures.
    metrics: dict[str, float]


@dataclass(frozen=True)
class Duplicates:
    """Lines repeating the (query, document) pair of an earlier line; the last one counts."""

    count: int = 0
    # The first repeated line and the line it repeats; 0 when there are none.
    line: int = 0
    first_line: int = 0


@dataclass(frozen=True)
class RunEvaluation:
    # The kernel's top_k for every query; None: each ranking's length (or the cut-off).
    top_k: int | None
    # The depths each ranking was cut to, in order; empty: rankings were not cut.
    cutoffs: tuple[int, ...]
    # The measure names: "precision", ... or, with cut-offs, "precision@10", ...
    measures: tuple[str, ...]
    queries: list[QueryScore]
    # The mean over `queries` of each measure, summed as `summation` says.
    mean: dict[str, float]
    missing_from_run: list[str]
    without_judgments: list[str]
    run_duplicates: Duplicates
    qrels_duplicates: Duplicates
    # Queries of the run the qrels do not list at all (also in without_judgments).
    not_in_qrels: list[str]
    # EXACT: the exact sum of the float32 values over the count, rounded once to a double;
    # FLOAT32_SEQUENTIAL: vextral_core's float32 running mean, in the order of `queries`.
    summation: str
    # Wall-clock seconds of the native pass: {"reading": both files, "evaluating": the scoring}.
    seconds: dict[str, float] = field(default_factory=dict, compare=False)


def evaluate_run(run: Source | RunMapping, qrels: Source | QrelsMapping, top_k: int | None = None, *,
                 cutoffs: Iterable[int] | None = None, strict: bool = False, library_bits: bool = False,
                 show_progress: bool = False) -> RunEvaluation:
    """Scores every judged query of `run` against `qrels` (paths of TREC files,
    gzip-compressed or not, pipes included, or mappings {qid: {docid: score}}
    and {qid: {docid: relevance}}).

    The means are exact (see the module's notes); library_bits=True gives
    vextral_core's float32 running mean instead. strict=True makes a
    (query, document) pair listed twice, and a query of the run that the
    qrels do not list, an error.

    Raises TrecFormatError (a ValueError) naming the file and line of a
    malformed input, TrecMismatchError (a TrecFormatError) when the query ids
    of the run and the qrels do not meet, TrecFileError (an OSError) for a
    file that cannot be read, and ValueError for an invalid `top_k` or cut-off.
    """
    depths, depth_cutoffs = _depths(top_k, cutoffs)
    measures = tuple(MEASURES if not depth_cutoffs else
                     (f"{name}@{k}" for k in depth_cutoffs for name in MEASURES))
    with open_run(run, show_progress=show_progress) as run_chunks, \
            open_qrels(qrels, show_progress=show_progress) as qrels_chunks:
        try:
            result = _native.evaluate_trec(run_chunks, run_chunks.restart, run_chunks.name, qrels_chunks,
                                           qrels_chunks.name, depths, strict)
        except TrecFormatError:
            raise
        except ValueError as error:  # the native reader's one-line report
            raise TrecFormatError(str(error)) from None
        run_name, qrels_name = run_chunks.name, qrels_chunks.name
    raw_queries, missing, unjudged, run_duplicates, qrels_duplicates, seconds, matching = result
    not_in_qrels = sorted(matching[0], key=natural_order)
    _check_query_ids(not_in_qrels, *matching[1:], run_name, qrels_name, strict=strict)
    queries = sorted((QueryScore(query, retrieved, relevant, dict(zip(measures, values, strict=True)))
                      for query, retrieved, relevant, values in raw_queries),
                     key=lambda score: natural_order(score.query))
    mean_of = float32.mean if library_bits else exact_mean
    mean = {name: mean_of(score.metrics[name] for score in queries) for name in measures}
    return RunEvaluation(top_k, depth_cutoffs, measures, queries, mean,
                         sorted(missing, key=natural_order), sorted(unjudged, key=natural_order),
                         Duplicates(*run_duplicates), Duplicates(*qrels_duplicates), not_in_qrels,
                         FLOAT32_SEQUENTIAL if library_bits else EXACT,
                         {"reading": seconds[0], "evaluating": seconds[1]})


def _check_query_ids(not_in_qrels: list[str], run_queries: int, first_run: str, first_qrels: str,
                     run_name: str, qrels_name: str, *, strict: bool) -> None:
    """Query ids written differently in the two files (`q1` against `1`) would
    otherwise score every query 0 without a word."""
    if len(not_in_qrels) == run_queries:
        raise TrecMismatchError(f"no query of {run_name} appears in {qrels_name} "
                                f"(ids like {first_run!r} against {first_qrels!r}?)")
    if strict and not_in_qrels:
        raise TrecMismatchError(f"{plural(len(not_in_qrels), 'query', 'queries')} of {run_name} not in "
                                f"{qrels_name} (first: {not_in_qrels[0]!r})")


def exact_mean(values: Iterable[float]) -> float:
    """The exact sum of `values`, float32 values, divided by their count and
    rounded once to the nearest double; 0 when there are none."""
    values = list(values)
    if not values:
        return 0.0
    if not all(map(math.isfinite, values)):
        return math.fsum(values) / len(values)  # infinities and NaN as float arithmetic has them
    # A float32 times 2**149 is an integer, and a double holds it exactly;
    # int / int is correctly rounded, however large the integers.
    return sum(map(int, [value * _FLOAT32_UNIT for value in values])) / (len(values) << _FLOAT32_SCALE)


def _depths(top_k: int | None, cutoffs: Iterable[int] | None) -> tuple[list[tuple[int, int]], tuple[int, ...]]:
    if cutoffs is None:
        if top_k is None:
            return [(_DEPTH_WHOLE, 0)], ()
        return [(_DEPTH_TOP_K, _count(top_k, "top_k", 0))], ()
    if top_k is not None:
        raise ValueError("give top_k or cutoffs, not both")
    unique = tuple(dict.fromkeys(_count(k, "a cut-off", 1) for k in cutoffs))
    if not unique:
        raise ValueError("cutoffs is empty")
    return [(_DEPTH_CUTOFF, k) for k in unique], unique


def _count(value: int, what: str, lowest: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not lowest <= value < _LIMIT:
        raise ValueError(f"{what} {value} is not between {lowest} and 2**64 - 1")
    return value


def score_query(ranking: Sequence[str], judgments: dict[str, int], top_k: int | None) -> dict[str, float]:
    """One query by one call of the kernel: the per-call path that evaluate_run
    reproduces bit for bit. `ranking` is best first; `top_k` None means its length."""
    numbers: dict[str, int] = {}
    retrieved = [numbers.setdefault(document, len(numbers)) for document in ranking]
    relevant = [numbers.setdefault(document, len(numbers))
                for document, relevance in judgments.items() if relevance > 0]
    depth = len(retrieved) if top_k is None else top_k
    metrics = vextral_core.py_compute_retrieval_metrics(retrieved, relevant, depth)
    return {name: metrics[name] for name in MEASURES}


def natural_order(query: str) -> list[tuple[int, int | str, str]]:
    """Sort key that puts "q2" before "q10" and "9" before "10". Runs of digits
    compare by value without being converted (a run of thousands of digits
    is as good as any): by length without leading zeros, then digit by digit."""
    # Split at a group: text and runs of digits alternate, the text first.
    parts = _DIGITS.split(query)
    key: list[tuple[int, int | str, str]] = []
    for index in range(1, len(parts), 2):
        if parts[index - 1]:
            key.append((1, parts[index - 1], ""))
        digits = parts[index]
        if not digits.isascii():
            digits = "".join(str(unicodedata.decimal(digit)) for digit in digits)
        digits = digits.lstrip("0")
        key.append((0, len(digits), digits))
    if parts[-1]:
        key.append((1, parts[-1], ""))
    return key


_DIGITS = re.compile(r"(\d+)")
