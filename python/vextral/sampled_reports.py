"""Reports of sampled estimates: each estimate with its standard error and 95 % interval."""

from __future__ import annotations

from typing import Any

from vextral.embedding_measures import BATCH_MEASURES, Drift, NonFinite, Quality
from vextral.reports import _shape, _table, quality_json
from vextral.sampling import ESTIMATED, Estimates


def _value(value: float) -> str:
    return f"{value:.10g}"


def _estimate(quality: Quality, estimates: Estimates, name: str) -> list[str]:
    value = quality.quality_score if name == "quality_score" else quality.measures[name]
    if name not in ESTIMATED:
        return [_value(value), "(exact)"]
    low, high = estimates.intervals[name]
    return [_value(value), f"± {estimates.stderr[name]:.2g}", f"95 %: {low:.6f} to {high:.6f}"]


def _note(estimates: Estimates) -> str:
    return (f"  (estimated from {estimates.pairs:,} of {estimates.population:,} pairs drawn with seed "
            f"{estimates.seed}: ± one standard error; coverage exact)")


def quality_text(quality: Quality, estimates: Estimates, name: str) -> str:
    lines = [f"quality of {name}: {_shape(quality.embeddings)}"]
    lines += _table([(measure, _estimate(quality, estimates, measure))
                     for measure in (*BATCH_MEASURES, "quality_score")])
    lines.append(_note(estimates))
    return "\n".join(lines)


def estimates_json(estimates: Estimates) -> dict[str, Any]:
    return {"pairs": estimates.pairs, "population": estimates.population, "seed": estimates.seed,
            **{f"{name}_stderr": estimates.stderr[name] for name in ESTIMATED},
            **{f"{name}_interval": list(estimates.intervals[name]) for name in ESTIMATED}}


def sampled_quality_json(quality: Quality, estimates: Estimates, name: str,
                         found: NonFinite | None = None) -> dict[str, Any]:
    return {**quality_json(quality, name, found), **estimates_json(estimates)}


def drift_text(drift: Drift, estimates: tuple[Estimates, Estimates], baseline_name: str, current_name: str) -> str:
    changes = drift.changes()
    lines = [f"drift from {baseline_name} ({_shape(drift.baseline.embeddings)})",
             f"        to {current_name} ({_shape(drift.current.embeddings)})"]
    table = [("measure", ["baseline", "current", "change"])]
    for measure in BATCH_MEASURES:
        cells = []
        for quality, sample in zip((drift.baseline, drift.current), estimates):
            cell = _value(quality.measures[measure])
            if measure in ESTIMATED:
                cell += f" ± {sample.stderr[measure]:.2g}"
            cells.append(cell)
        table.append((measure, [*cells, _value(changes[measure])]))
    table.append(("drift", [_value(drift.drift)]))
    note = (f"  (each batch's estimates from {estimates[0].pairs:,} and {estimates[1].pairs:,} of its pairs, "
            f"drawn with seed {estimates[0].seed}: ± one standard error; coverage exact)")
    return "\n".join(lines + _table(table) + [note])


def drift_json(drift: Drift, estimates: tuple[Estimates, Estimates], baseline_name: str, current_name: str,
               found: tuple[NonFinite, NonFinite]) -> dict[str, Any]:
    return {"baseline": sampled_quality_json(drift.baseline, estimates[0], baseline_name, found[0]),
            "current": sampled_quality_json(drift.current, estimates[1], current_name, found[1]),
            "changes": drift.changes(), "drift": drift.drift, "summation": drift.summation}
