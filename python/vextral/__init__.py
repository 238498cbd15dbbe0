"""Embedding and retrieval measures around vextral_core, and the `vextral` command.

`vextral.measure(embeddings)` and `vextral.drift(baseline, current)` give
the embedding measures on exact, order-free sums (or, with
`library_bits=True`, exactly vextral_core's float32 bits);
`vextral.evaluate_run` scores a whole TREC run (files or mappings) in native
code. The command: `vextral quality`, `vextral drift`, `vextral retrieval`
and `vextral demo`; see `vextral --help`.
"""

from vextral.measures import DriftMeasures, Measures, drift, measure
from vextral.retrieval_evaluation import evaluate_run
from vextral.trec import TrecFormatError

__all__ = ["DriftMeasures", "Measures", "TrecFormatError", "drift", "evaluate_run", "measure"]
