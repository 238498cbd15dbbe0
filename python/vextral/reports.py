"""Reports as aligned text for people and as JSON-ready objects for programs.

Text shows each float32 result (--library-bits) as the shortest decimal that
reads back as the same float32, and each exact measure to ten significant
digits. JSON carries the exact value: the double, whose repr round-trips,
and says which summation gave it.
"""

from __future__ import annotations

from typing import Any

from vextral.embedding_files import Embeddings
from vextral.embedding_measures import BATCH_MEASURES, EXACT, Drift, NonFinite, Quality
from vextral.errors import plural
from vextral.float32 import shortest

NAME_WIDTH = 17
# Wide enough for the longest shortest-decimal float32, such as -1.1754944e-38.
VALUE_WIDTH = 16
# Columns are separated by at least this many spaces.
GAP = 2


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


def _number(value: float, summation: str) -> str:
    """An exact measure to ten significant digits; a float32 one as its shortest decimal."""
    return f"{value:.10g}" if summation == EXACT else shortest(value)


def _summation_note(summation: str) -> str:
    return ("  (exact sums; --library-bits for vextral_core's float32 bits)" if summation == EXACT
            else "  (vextral_core's float32 bits: sequential float32 sums)")


def quality_text(quality: Quality, name: str) -> str:
    summation = quality.summation
    lines = [f"quality of {name}: {_shape(quality.embeddings)}"]
    lines += _table([(measure, [_number(value, summation)]) for measure, value in quality.measures.items()]
                    + [("quality_score", [_number(quality.quality_score, summation)])])
    lines.append(_summation_note(quality.summation))
    return "\n".join(lines)


def _batch(embeddings: Embeddings, name: str, found: NonFinite | None) -> dict[str, Any]:
    document: dict[str, Any] = {"file": name, "embeddings": embeddings.count, "dimension": embeddings.dimension}
    if found is not None:
        document["non_finite_rows"] = found.count
    return document


def quality_json(quality: Quality, name: str, found: NonFinite | None = None) -> dict[str, Any]:
    return {**_batch(quality.embeddings, name, found), **quality.measures, "quality_score": quality.quality_score,
            "summation": quality.summation}


def drift_text(drift: Drift, baseline_name: str, current_name: str) -> str:
    summation = drift.summation
    changes = drift.changes()
    before, after = drift.baseline.measures, drift.current.measures
    lines = [f"drift from {baseline_name} ({_shape(drift.baseline.embeddings)})",
             f"        to {current_name} ({_shape(drift.current.embeddings)})"]
    table = [("measure", ["baseline", "current", "change"])]
    table += [(measure, [_number(before[measure], summation), _number(after[measure], summation),
                         _number(changes[measure], summation)])
              for measure in BATCH_MEASURES]
    table.append(("drift", [_number(drift.drift, summation)]))
    return "\n".join(lines + _table(table) + [_summation_note(drift.summation)])


def drift_json(drift: Drift, baseline_name: str, current_name: str,
               found: tuple[NonFinite, NonFinite] | None = None) -> dict[str, Any]:
    baseline_found, current_found = found if found is not None else (None, None)
    return {"baseline": {**_batch(drift.baseline.embeddings, baseline_name, baseline_found),
                         **drift.baseline.measures},
            "current": {**_batch(drift.current.embeddings, current_name, current_found), **drift.current.measures},
            "changes": drift.changes(), "drift": drift.drift, "summation": drift.summation}
