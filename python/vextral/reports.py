"""Reports as aligned text for people and as JSON-ready objects for programs.

Text shows each float32 result as the shortest decimal that reads back as
the same float32. JSON carries the exact value: the float32 widened to a
double, whose repr round-trips.
"""

from __future__ import annotations

from typing import Any

from vextral.embedding_files import Embeddings
from vextral.embedding_measures import BATCH_MEASURES, Drift, Quality
from vextral.float32 import shortest
from vextral.retrieval_evaluation import MEASURES, RetrievalReport

NAME_WIDTH = 17
# Wide enough for the longest shortest-decimal float32, such as -1.1754944e-38.
VALUE_WIDTH = 16
# Retrieval measures are ratios of small counts: shorter decimals, narrower columns.
TABLE_WIDTH = 12


def _shape(embeddings: Embeddings) -> str:
    return f"{embeddings.count} embeddings x {embeddings.dimension} dimensions"


def _row(name: str, values: list[str], width: int = NAME_WIDTH, value_width: int = VALUE_WIDTH) -> str:
    """An indented line of columns; each value is followed by at least two spaces."""
    return "  " + name.ljust(width) + "".join(value.ljust(value_width - 2) + "  " for value in values).rstrip()


def quality_text(quality: Quality, name: str) -> str:
    lines = [f"quality of {name}: {_shape(quality.embeddings)}"]
    lines += [_row(measure, [shortest(value)]) for measure, value in quality.measures.items()]
    lines.append(_row("quality_score", [shortest(quality.quality_score)]))
    return "\n".join(lines)


def quality_json(quality: Quality, name: str) -> dict[str, Any]:
    return {"file": name, "embeddings": quality.embeddings.count,
            "dimension": quality.embeddings.dimension,
            **quality.measures, "quality_score": quality.quality_score}


def drift_text(drift: Drift, baseline_name: str, current_name: str) -> str:
    changes = drift.changes()
    lines = [f"drift from {baseline_name} ({_shape(drift.baseline)})",
             f"        to {current_name} ({_shape(drift.current)})",
             _row("measure", ["baseline", "current", "change"])]
    lines += [_row(measure, [shortest(drift.baseline_measures[measure]),
                             shortest(drift.current_measures[measure]), shortest(changes[measure])])
              for measure in BATCH_MEASURES]
    lines.append(_row("drift", [shortest(drift.drift)]))
    return "\n".join(lines)


def drift_json(drift: Drift, baseline_name: str, current_name: str) -> dict[str, Any]:
    def side(embeddings: Embeddings, name: str, measures: dict[str, float]) -> dict[str, Any]:
        return {"file": name, "embeddings": embeddings.count, "dimension": embeddings.dimension, **measures}

    return {"baseline": side(drift.baseline, baseline_name, drift.baseline_measures),
            "current": side(drift.current, current_name, drift.current_measures),
            "changes": drift.changes(), "drift": drift.drift}


def _depth(report: RetrievalReport) -> str:
    return "the length of each ranking" if report.top_k is None else str(report.top_k)


def retrieval_text(report: RetrievalReport, run_name: str, qrels_name: str, *, per_query: bool = True) -> str:
    lines = [f"retrieval of {run_name} against {qrels_name}, top_k: {_depth(report)}"]
    width = max([NAME_WIDTH, *(len(score.query) + 2 for score in report.queries)])
    if per_query:
        lines.append(_row("query", ["retrieved", "relevant", *MEASURES], width, TABLE_WIDTH))
        for score in report.queries:
            values = [str(score.retrieved), str(score.relevant)]
            values += [shortest(score.metrics[name]) for name in MEASURES]
            lines.append(_row(score.query, values, width, TABLE_WIDTH))
        mean = [shortest(value) for value in report.mean.values()]
        lines.append(_row(f"mean of {len(report.queries)}", ["", "", *mean], width, TABLE_WIDTH))
    else:
        lines.append(_row("measure", [f"mean of {len(report.queries)} queries"]))
        lines += [_row(name, [shortest(value)]) for name, value in report.mean.items()]
    if report.missing_from_run:
        lines.append(f"note: {_count(report.missing_from_run)} with relevant documents missing from the run"
                     f" score 0: {_listing(report.missing_from_run)}")
    if report.without_judgments:
        lines.append(f"note: {_count(report.without_judgments)} of the run without relevant documents"
                     f" left out: {_listing(report.without_judgments)}")
    return "\n".join(lines)


def retrieval_json(report: RetrievalReport, run_name: str, qrels_name: str) -> dict[str, Any]:
    return {
        "run": run_name, "qrels": qrels_name, "top_k": report.top_k,
        "queries": [{"query": score.query, "retrieved": score.retrieved, "relevant": score.relevant,
                     **score.metrics} for score in report.queries],
        "mean": report.mean, "evaluated": len(report.queries),
        "missing_from_run": report.missing_from_run, "without_judgments": report.without_judgments,
    }


def _count(queries: list[str]) -> str:
    return "1 query" if len(queries) == 1 else f"{len(queries)} queries"


def _listing(queries: list[str], limit: int = 10) -> str:
    shown = ", ".join(queries[:limit])
    return shown + (f" and {len(queries) - limit} more" if len(queries) > limit else "")
