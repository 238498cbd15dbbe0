"""The retrieval report as aligned text for people and as a JSON-ready object.

Text shows each float32 result as the shortest decimal that reads back as
the same float32, and an exact mean as the shortest that reads back as the
same double; JSON carries the exact values (a float32 widened to a double).
Columns are as wide as their longest entry, so long query ids or measure
names never shift the columns after them.
"""

from __future__ import annotations

from typing import Any

from vextral.errors import plural
from vextral.float32 import shortest
from vextral.retrieval_evaluation import EXACT, Duplicates, RunEvaluation

GAP = "  "


def _depth(report: RunEvaluation) -> str:
    if report.cutoffs:
        shown = ", ".join(f"@{k}" for k in report.cutoffs)
        return f"measures {shown} (each ranking cut to its first K documents)"
    if report.top_k is not None:
        return f"library top_k: {report.top_k} (precision, recall, F1 and MRR over the whole ranking)"
    return "top_k: the length of each ranking"


def _mean(report: RunEvaluation, name: str) -> str:
    value = report.mean[name]
    return repr(value) if report.summation == EXACT else shortest(value)


def _table(rows: list[list[str]]) -> list[str]:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return [(GAP + GAP.join(cell.ljust(width) for cell, width in zip(row, widths, strict=True))).rstrip()
            for row in rows]


def retrieval_text(report: RunEvaluation, run_name: str, qrels_name: str, *, per_query: bool = True) -> str:
    lines = [f"retrieval of {run_name} against {qrels_name}, {_depth(report)}"]
    if per_query:
        rows = [["query", "retrieved", "relevant", *report.measures]]
        rows += [[score.query, str(score.retrieved), str(score.relevant),
                  *(shortest(score.metrics[name]) for name in report.measures)] for score in report.queries]
        rows.append([f"mean of {len(report.queries)}", "", "",
                     *(_mean(report, name) for name in report.measures)])
        lines += _table(rows)
    else:
        rows = [["measure", f"mean of {len(report.queries)} queries"]]
        rows += [[name, _mean(report, name)] for name in report.measures]
        lines += _table(rows)
    if report.missing_from_run:
        lines.append(f"note: {plural(len(report.missing_from_run), 'query', 'queries')} with relevant documents "
                     f"missing from the run score 0: {_listing(report.missing_from_run)}")
    # Queries the qrels do not list at all get a warning of their own (on standard error).
    unlisted = set(report.not_in_qrels)
    judged_irrelevant = [query for query in report.without_judgments if query not in unlisted]
    if judged_irrelevant:
        lines.append(f"note: {plural(len(judged_irrelevant), 'query', 'queries')} of the run without relevant documents"
                     f" left out: {_listing(judged_irrelevant)}")
    for name, duplicates in ((run_name, report.run_duplicates), (qrels_name, report.qrels_duplicates)):
        if duplicates.count:
            lines.append(f"note: {plural(duplicates.count, 'line')} of {name} repeat an earlier (query, document) pair"
                         f" and replace it (first: line {duplicates.line} repeats line {duplicates.first_line})")
    return "\n".join(lines)


def retrieval_json(report: RunEvaluation, run_name: str, qrels_name: str, *,
                   per_query: bool = True) -> dict[str, Any]:
    document: dict[str, Any] = {
        "run": run_name, "qrels": qrels_name, "top_k": report.top_k, "cutoffs": list(report.cutoffs),
        "measures": list(report.measures),
    }
    if per_query:
        document["queries"] = [{"query": score.query, "retrieved": score.retrieved,
                                "relevant": score.relevant, **score.metrics} for score in report.queries]
    return {
        **document,
        "mean": report.mean, "summation": report.summation, "evaluated": len(report.queries),
        "missing_from_run": report.missing_from_run, "without_judgments": report.without_judgments,
        "not_in_qrels": report.not_in_qrels,
        "duplicates": {"run": _duplicates_json(report.run_duplicates),
                       "qrels": _duplicates_json(report.qrels_duplicates)},
    }


def _duplicates_json(duplicates: Duplicates) -> dict[str, int]:
    return {"count": duplicates.count, "line": duplicates.line, "first_line": duplicates.first_line}


def _listing(queries: list[str], limit: int = 10) -> str:
    shown = ", ".join(queries[:limit])
    return shown + (f" and {len(queries) - limit} more" if len(queries) > limit else "")
