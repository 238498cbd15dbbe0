"""Command-line tool and helpers around vextral_core.

`vextral quality`, `vextral drift`, `vextral retrieval` and `vextral demo`;
see `vextral --help`. `vextral.evaluate_run` scores a whole TREC run (files
or mappings) in native code.
"""

from vextral.retrieval_evaluation import evaluate_run
from vextral.trec import TrecFormatError

__all__ = ["evaluate_run", "TrecFormatError"]
