"""Native helpers of the vextral package (private: may change with the package)."""

from collections.abc import Callable

# (query, retrieved, relevant, five measures per depth)
_QueryResult = tuple[str, int, int, tuple[float, ...]]
# (count, first repeated line, line it repeats)
_Duplicates = tuple[int, int, int]

def evaluate_trec(run_read: Callable[[], bytes], run_restart: Callable[[], None], run_name: str, qrels_read: Callable[[], bytes],
                  qrels_name: str, depths: list[tuple[int, int]], strict: bool, /) -> tuple[
                      list[_QueryResult], list[str], list[str], _Duplicates, _Duplicates, tuple[float, float]]: ...
