"""Native helpers of the vextral package (private: may change with the package)."""

from collections.abc import Callable
from typing import Any

def batch_measures(embeddings: Any, threads: int = 1,
                   progress: Callable[[int, int], object] | None = None) -> dict[str, float]:
    """Isotropy, coverage, distinctiveness and quality score of a batch from one pass over its pairs."""

def non_finite_rows(embeddings: Any) -> tuple[int, int | None]:
    """The number of rows holding NaN or infinity, and the index of the first (or None)."""
