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

NAME_WIDTH = 17
# Wide enough for the longest shortest-decimal float32, such as -1.1754944e-38.
VALUE_WIDTH = 16


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
