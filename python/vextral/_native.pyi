"""Native helpers of the vextral package (private: may change with the package)."""

from collections.abc import Callable, Iterable
from typing import Any

# (query, retrieved, relevant, five measures per depth)
_QueryResult = tuple[str, int, int, tuple[float, ...]]
# (count, first repeated line, line it repeats)
_Duplicates = tuple[int, int, int]
# (run queries the qrels lack, number of run queries, first run query, first qrels query)
_Matching = tuple[list[str], int, str, str]

# What batch_measures takes as embeddings: whatever vextral_core takes (sequences of sequences
# of numbers, 2-D NumPy arrays and memory maps, Arrow arrays of lists through
# __arrow_c_array__ / __arrow_c_stream__, 2-D CPU tensors through __dlpack__), a 2-D memoryview
# of native float32 or float64, or the capsule map_float32_rows returns. Contiguous float32 rows
# are read in place.
_Embeddings = Any

def batch_measures(embeddings: _Embeddings, threads: int = 1,
                   progress: Callable[[int, int], object] | None = None,
                   checked: Callable[[int, int | None], object] | None = None) -> dict[str, Any]:
    """Isotropy, coverage, distinctiveness and quality score of a batch from one pass over its pairs
    (floats), with "non_finite_rows" (int) and "first_non_finite" (int or None); checked(count,
    first) is called with those two before the pass."""

def measure(embeddings: _Embeddings, threads: int = 1,
            progress: Callable[[int, int], object] | None = None,
            checked: Callable[[int, int | None], object] | None = None) -> dict[str, Any]:
    """Isotropy, coverage, distinctiveness and quality score on exact, order-free sums (floats),
    with "rows", "dimension", "non_finite_rows" and "first_non_finite"."""

def sound_drift(baseline_isotropy: float, baseline_coverage: float, baseline_distinctiveness: float,
                current_isotropy: float, current_coverage: float, current_distinctiveness: float) -> float:
    """The drift between two batches from their exact measures."""

def pair_sums(rows: _Embeddings, columns: _Embeddings | None = None, threads: int = 1,
              progress: Callable[[int, int], object] | None = None) -> bytes:
    """The exact sums of the similarities of the pairs within rows, or between rows and columns."""

def dimension_sums(rows: _Embeddings, dimension: int, threads: int = 1) -> bytes:
    """The exact per-dimension sums of the rows' values over `dimension` dimensions."""

def sum_similarities(values: Any) -> bytes:
    """The exact sums of the given float32 similarities, as pair_sums gives them."""

def merge_sums(states: Iterable[bytes | bytearray | memoryview]) -> bytes:
    """One state of exact sums from several of one kind."""

def measures_from_sums(pair_state: bytes, dimension_state: bytes) -> dict[str, float]:
    """The exact measures of a batch from the merged sums of all its pairs and rows."""

def drift_between(baseline_isotropy: float, baseline_coverage: float, baseline_distinctiveness: float,
                  current_isotropy: float, current_coverage: float, current_distinctiveness: float) -> float:
    """The drift vextral_core.py_detect_drift gives two batches, from their measures."""

def evaluate_trec(run_read: Callable[[], bytes], run_restart: Callable[[], None], run_name: str, qrels_read: Callable[[], bytes],
                  qrels_name: str, depths: list[tuple[int, int]], strict: bool, /) -> tuple[
                      list[_QueryResult], list[str], list[str], _Duplicates, _Duplicates, tuple[float, float],
                      _Matching]: ...

def map_float32_rows(fd: int, offset: int, rows: int, dimension: int, /) -> object:
    """A read-only mapping of the file open as fd, whose float32 rows start offset bytes in
    (POSIX systems only)."""

def mapped_file_changed(rows: object, /) -> bool:
    """Whether the file of rows from map_float32_rows changed since it was mapped: a page of the
    mapping gone (it then reads as zeros), or another size or time of modification."""

def non_finite_rows(embeddings: _Embeddings) -> tuple[int, int | None]:
    """The number of rows holding NaN or infinity, and the index of the first (or None)."""

def rebuild_panic_exception(*args: object) -> BaseException: ...

def sampled_measure(embeddings: _Embeddings, pairs: int, seed: int, threads: int = 1,
                    checked: Callable[[int, int | None], object] | None = None) -> dict[str, Any]:
    """Isotropy, distinctiveness and quality score estimated from `pairs` distinct pairs drawn for
    `seed`, with "isotropy_stderr", "distinctiveness_stderr", "quality_score_stderr", exact
    coverage, "pairs", "population", "rows", "dimension", "non_finite_rows", "first_non_finite"."""

def draw_pairs(rows: int, count: int, seed: int) -> bytes:
    """`count` distinct pairs of `rows` rows drawn for `seed`, as native uint64 (first, second)
    couples sorted in the pair order."""

def pair_similarities(rows: _Embeddings, pairs: bytes | bytearray | memoryview, columns: _Embeddings | None = None,
                      threads: int = 1) -> bytes:
    """The float32 similarities (native bytes) of the pairs, rows with rows or rows with columns."""

def sampled_measures(similarities: bytes | bytearray | memoryview, dimension_state: bytes) -> dict[str, Any]:
    """The estimates of sampled_measure from the drawn pairs' similarities and all rows' dimension sums."""
