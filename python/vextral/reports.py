"""Reports as aligned text for people and as JSON-ready objects for programs.

Text shows each float32 result as the shortest decimal that reads back as
the same float32. JSON carries the exact value: the float32 widened to a
double, whose repr round-trips.
"""

from __future__ import annotations

from typing import Any

from vextral.embedding_files import Embeddings
from vextral.embedding_measures import BATCH_MEASURES, Drift, NonFinite, Quality
from vextral.float32 import shortest
from vextral.retrieval_evaluation import MEASURES, RetrievalReport

NAME_WIDTH = 17
# Wide enough for the longest shortest-decimal float32, such as -1.1754944e-38.
VALUE_WIDTH = 16
# Retrieval measures are ratios of small counts: shorter decimals, narrower columns.
TABLE_WIDTH = 12
# Columns are separated by at least this many spaces.
GAP = 2


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _shape(embeddings: Embeddings) -> str:
    return f"{plural(embeddings.count, 'embedding')} x {plural(embeddings.dimension, 'dimension')}"


def _table(lines: list[tuple[str, list[str]]], name_width: int = NAME_WIDTH,
           value_width: int = VALUE_WIDTH) -> list[str]:
    """Lines of columns that stay aligned whatever their contents: every column is as wide as
    its widest entry plus the gap, and at least as wide as asked."""
    name_width = max([name_width, *(len(name) + GAP for name, _ in lines)])
    columns = max((len(values) for _, values in lines), default=0)
    widths = [max([value_width, *(len(values[c]) + GAP for _, values in lines if c < len(values))])
              for c in range(columns)]
    return ["  " + name.ljust(name_width) + "".join(value.ljust(w) for value, w in zip(values, widths)).rstrip()
            for name, values in lines]


def quality_text(quality: Quality, name: str) -> str:
    lines = [f"quality of {name}: {_shape(quality.embeddings)}"]
    lines += _table([(measure, [shortest(value)]) for measure, value in quality.measures.items()]
                    + [("quality_score", [shortest(quality.quality_score)])])
    return "\n".join(lines)


def _batch(embeddings: Embeddings, name: str, found: NonFinite | None) -> dict[str, Any]:
    document: dict[str, Any] = {"file": name, "embeddings": embeddings.count, "dimension": embeddings.dimension}
    if found is not None:
        document["non_finite_rows"] = found.count
    return document


def quality_json(quality: Quality, name: str, found: NonFinite | None = None) -> dict[str, Any]:
    return {**_batch(quality.embeddings, name, found), **quality.measures, "quality_score": quality.quality_score}


def drift_text(drift: Drift, baseline_name: str, current_name: str) -> str:
    changes = drift.changes()
    lines = [f"drift from {baseline_name} ({_shape(drift.baseline)})",
             f"        to {current_name} ({_shape(drift.current)})"]
    table = [("measure", ["baseline", "current", "change"])]
    table += [(measure, [shortest(drift.baseline_measures[measure]),
                         shortest(drift.current_measures[measure]), shortest(changes[measure])])
              for measure in BATCH_MEASURES]
    table.append(("drift", [shortest(drift.drift)]))
    return "\n".join(lines + _table(table))


def drift_json(drift: Drift, baseline_name: str, current_name: str,
               found: tuple[NonFinite, NonFinite] | None = None) -> dict[str, Any]:
    baseline_found, current_found = found if found is not None else (None, None)
    return {"baseline": {**_batch(drift.baseline, baseline_name, baseline_found), **drift.baseline_measures},
            "current": {**_batch(drift.current, current_name, current_found), **drift.current_measures},
            "changes": drift.changes(), "drift": drift.drift}


def _depth(report: RetrievalReport) -> str:
    return "the length of each ranking" if report.top_k is None else str(report.top_k)


def retrieval_text(report: RetrievalReport, run_name: str, qrels_name: str, *, per_query: bool = True) -> str:
    lines = [f"retrieval of {run_name} against {qrels_name}, top_k: {_depth(report)}"]
    if per_query:
        table = [("query", ["retrieved", "relevant", *MEASURES])]
        for score in report.queries:
            values = [str(score.retrieved), str(score.relevant)]
            values += [shortest(score.metrics[name]) for name in MEASURES]
            table.append((score.query, values))
        mean = [shortest(value) for value in report.mean.values()]
        table.append((f"mean of {len(report.queries)}", ["", "", *mean]))
        lines += _table(table, value_width=TABLE_WIDTH)
    else:
        lines += _table([("measure", [f"mean of {len(report.queries)} queries"])]
                        + [(name, [shortest(value)]) for name, value in report.mean.items()])
    if report.missing_from_run:
        lines.append(f"note: {_count(report.missing_from_run)} with relevant documents missing from the run"
                     f" score 0: {_listing(report.missing_from_run)}")
    if report.without_judgments:
        lines.append(f"note: {_count(report.without_judgments)} of the run without relevant documents"
                     f" left out: {_listing(report.without_judgments)}")
    return "\n".join(lines)


def retrieval_json(report: RetrievalReport, run_name: str, qrels_name: str, *,
                   per_query: bool = True) -> dict[str, Any]:
    document: dict[str, Any] = {"run": run_name, "qrels": qrels_name, "top_k": report.top_k}
    if per_query:
        document["queries"] = [{"query": score.query, "retrieved": score.retrieved,
                                "relevant": score.relevant, **score.metrics} for score in report.queries]
    return {**document, "mean": report.mean, "evaluated": len(report.queries),
            "missing_from_run": report.missing_from_run, "without_judgments": report.without_judgments}


def _count(queries: list[str]) -> str:
    return "1 query" if len(queries) == 1 else f"{len(queries)} queries"


def _listing(queries: list[str], limit: int = 10) -> str:
    shown = ", ".join(queries[:limit])
    return shown + (f" and {len(queries) - limit} more" if len(queries) > limit else "")
