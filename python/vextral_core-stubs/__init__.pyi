"""Vextral Python module

Bit-exact float32 quality measures for embeddings and ranked retrieval
results. Every result is a float32 value widened exactly to a Python float.

Embeddings are a sequence (not a ``str``) of rows; each row is a sequence of
numbers: lists, tuples, ``bytes``, ``array.array`` and NumPy arrays all work.
Iterables that are not sequences (generators, sets) are refused at run time.
Identifier lists are sequences of non-negative integers below 2**64.

Internal failures (for example a row longer than row 0 when coverage is
computed) raise ``pyo3_runtime.PanicException``, which derives from
``BaseException``, not ``Exception``, and is not an attribute of this module.
"""

from collections.abc import Iterator
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, type_check_only

__all__ = [
    "py_compute_isotropy",
    "py_compute_coverage",
    "py_compute_distinctiveness",
    "py_detect_drift",
    "py_compute_retrieval_metrics",
    "py_compute_quality_score",
]

# A number the module narrows to float32: anything with __float__ or
# __index__ (float, int, bool, NumPy scalars, Fraction, Decimal).
_Number: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class EmbeddingRow(Protocol):
    """One embedding: an indexable, iterable run of numbers.

    ``list[float]``, ``tuple[int, ...]``, ``bytes``, ``array.array``,
    ``memoryview``, 1-D NumPy arrays and 1-D DLPack tensors on the CPU all
    fit.
    """

    def __getitem__(self, index: int, /) -> object: ...
    def __iter__(self) -> Iterator[_Number]: ...

@type_check_only
class EmbeddingBatch(Protocol):
    """A batch of embeddings: an indexable, iterable run of rows.

    ``list[list[float]]``, a tuple of tuples, a list of 1-D NumPy arrays and
    a 2-D NumPy array (``np.memmap`` too) all fit, and so do Arrow arrays of
    lists (pyarrow ``FixedSizeListArray``, ``ListArray``, ``LargeListArray``,
    ``ChunkedArray``; anything with ``__arrow_c_array__`` or
    ``__arrow_c_stream__``) and 2-D DLPack tensors on the CPU (PyTorch
    tensors; anything with ``__dlpack__``). Contiguous float32 arrays and
    tensors are read in place, without a copy. NumPy's own types do not
    carry the number of dimensions, so a 1-D array is accepted here and
    refused at run time.
    """

    def __getitem__(self, index: int, /) -> object: ...
    def __iter__(self) -> Iterator[EmbeddingRow]: ...

@type_check_only
class IdentifierList(Protocol):
    """Document identifiers in rank order: integers in [0, 2**64).

    ``list[int]``, ``range``, 1-D integer NumPy arrays, Arrow integer
    arrays (``__arrow_c_array__`` / ``__arrow_c_stream__``) and 1-D integer
    DLPack tensors on the CPU fit. Floats are
    refused, even integral ones.
    """

    def __getitem__(self, index: int, /) -> object: ...
    def __iter__(self) -> Iterator[SupportsIndex]: ...

@type_check_only
class RetrievalMetrics(TypedDict):
    """The result of ``py_compute_retrieval_metrics``, keys in this order."""

    precision: float
    recall: float
    f1_score: float
    mrr: float
    ndcg: float

def py_compute_isotropy(embeddings: EmbeddingBatch) -> float:
    """Compute isotropy of embeddings (vector space utilization)

    1 - mean |cos(a, b)| over all pairs of rows, clamped to [0, 1]. 0 for
    fewer than two rows or an empty first row.
    """

def py_compute_coverage(embeddings: EmbeddingBatch) -> float:
    """Compute coverage of embeddings (diversity of semantic space)

    v / (v + 1) where v is the mean per-dimension variance. A row longer
    than the first raises PanicException.
    """

def py_compute_distinctiveness(embeddings: EmbeddingBatch) -> float:
    """Compute distinctiveness of embeddings (semantic separation)

    (1 - |e|) * (1 + s), clamped to [0, 1], where e and s are the mean and
    the population standard deviation of the pair cosines.
    """

def py_detect_drift(baseline_embeddings: EmbeddingBatch, current_embeddings: EmbeddingBatch) -> float:
    """Detect drift in embedding quality

    The mean over isotropy, coverage and distinctiveness of
    |baseline - current| / (baseline + 1). Not symmetric. A row longer than
    the first raises PanicException.
    """

def py_compute_retrieval_metrics(
    retrieved: IdentifierList, relevant: IdentifierList, top_k: SupportsIndex
) -> RetrievalMetrics:
    """Compute retrieval metrics (precision, recall, F1, MRR, NDCG)

    ``retrieved`` is in rank order, best first; ``relevant`` in any order.
    ``top_k`` bounds precision's divisor and the NDCG depth; recall and MRR
    look at the whole ranked list.
    """

def py_compute_quality_score(embeddings: EmbeddingBatch) -> float:
    """Compute embedding quality score (composite metric)

    0.4 * isotropy + 0.3 * coverage + 0.3 * distinctiveness, clamped to
    [0, 1]. A row longer than the first raises PanicException.
    """
