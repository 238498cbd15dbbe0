"""Native helpers of the vextral package (private: may change with the package)."""

from collections.abc import Callable
from typing import Any

# (query, retrieved, relevant, five measures per depth)
_QueryResult = tuple[str, int, int, tuple[float, ...]]
# (count, first repeated line, line it repeats)
_Duplicates = tuple[int, int, int]

def batch_measures(embeddings: Any, threads: int = 1,
                   progress: Callable[[int, int], object] | None = None) -> dict[str, float]:
    """Isotropy, coverage, distinctiveness and quality score of a batch from one pass over its pairs."""

def evaluate_trec(run_read: Callable[[], bytes], run_restart: Callable[[], None], run_name: str, qrels_read: Callable[[], bytes],
                  qrels_name: str, depths: list[tuple[int, int]], strict: bool, /) -> tuple[
                      list[_QueryResult], list[str], list[str], _Duplicates, _Duplicates, tuple[float, float]]: ...

def non_finite_rows(embeddings: Any) -> tuple[int, int | None]:
    """The number of rows holding NaN or infinity, and the index of the first (or None)."""

def rebuild_panic_exception(*args: object) -> BaseException: ...
