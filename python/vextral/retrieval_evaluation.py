"""A TREC run scored against qrels, query by query, with vextral_core.

Which queries count: every query with at least one relevant document in the
qrels. One that the run lacks scores 0 on every measure, as a system that
returned nothing for it would. Queries of the run without any relevant
judgment are left out (no measure is defined for them) and listed.

Document identifiers are strings in TREC files; for each query they are
numbered in order of first appearance, the run's ranking first, then the
relevant documents it missed, so equal strings always get equal numbers.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal

import vextral_core

from vextral import float32
from vextral.progress import Progress
from vextral.trec import Qrels, Run

if TYPE_CHECKING:
    from vextral_core import RetrievalMetrics

Measure = Literal["precision", "recall", "f1_score", "mrr", "ndcg"]
MEASURES: tuple[Measure, ...] = ("precision", "recall", "f1_score", "mrr", "ndcg")


@dataclass(frozen=True)
class QueryScore:
    query: str
    retrieved: int
    relevant: int
    metrics: RetrievalMetrics


@dataclass(frozen=True)
class RetrievalReport:
    # None: each query's top_k is the length of its ranking.
    top_k: int | None
    queries: list[QueryScore]
    # float32 mean over `queries`, in their order, of each measure.
    mean: dict[str, float]
    missing_from_run: list[str]
    without_judgments: list[str]


def evaluate(run: Run, qrels: Qrels, top_k: int | None, *, show_progress: bool = True) -> RetrievalReport:
    judged = sorted((query for query, documents in qrels.items() if any(r > 0 for r in documents.values())),
                    key=natural_order)
    scores: list[QueryScore] = []
    with Progress("evaluating", len(judged), unit="queries", enabled=show_progress) as progress:
        for query in judged:
            scores.append(score_query(query, run.get(query, []), qrels[query], top_k))
            progress.advance()
    mean: dict[str, float] = {name: float32.mean(score.metrics[name] for score in scores) for name in MEASURES}
    missing = [query for query in judged if query not in run]
    judged_set = set(judged)
    unjudged = sorted((query for query in run if query not in judged_set), key=natural_order)
    return RetrievalReport(top_k, scores, mean, missing, unjudged)


def score_query(query: str, ranking: list[str], judgments: dict[str, int], top_k: int | None) -> QueryScore:
    numbers: dict[str, int] = {}
    retrieved = [numbers.setdefault(document, len(numbers)) for document in ranking]
    relevant = [numbers.setdefault(document, len(numbers))
                for document, relevance in judgments.items() if relevance > 0]
    depth = len(retrieved) if top_k is None else top_k
    metrics = vextral_core.py_compute_retrieval_metrics(retrieved, relevant, depth)
    return QueryScore(query, len(retrieved), len(relevant), metrics)


def natural_order(query: str) -> list[tuple[int, int | str]]:
    """Sort key that puts "q2" before "q10" and "9" before "10"."""
    return [(0, int(part)) if part.isdecimal() else (1, part) for part in re.split(r"(\d+)", query) if part]
