"""Calls of every vextral_core function that a type checker must accept.

Also run as a script by the tests, so every call here is valid at run time too.
"""

from array import array
from decimal import Decimal
from fractions import Fraction
from typing import TYPE_CHECKING, assert_type

import numpy as np
import numpy.typing as npt

import vextral_core as v

if TYPE_CHECKING:
    # Types for annotations only: they do not exist at run time.
    from vextral_core import EmbeddingBatch, IdentifierList, RetrievalMetrics

lists: list[list[float]] = [[1.0, 0.0], [0.0, 1.0]]
tuples: tuple[tuple[int, ...], ...] = ((1, 2), (3, 4))
mixed_numbers = [[True, 2, 3.5], [False, -1, 0.25]]
fractions = [[Fraction(1, 3), Fraction(2, 3)], [Fraction(1), Fraction(0)]]
decimals = [(Decimal("0.25"), Decimal(1)), (Decimal(2), Decimal("-0.5"))]
numpy_scalars = [[np.float32(1.5), np.float32(0)], [np.float32(2), np.float32(3)]]
byte_rows = [b"ab", b"cd"]
typed_arrays = [array("f", [1.0, 2.0]), array("d", [3.0, 4.0])]
matrix: npt.NDArray[np.float32] = np.eye(3, dtype=np.float32)
array_rows = [np.ones(3), np.zeros(3, dtype=np.int64)]
empty: list[list[float]] = []

assert_type(v.py_compute_isotropy(lists), float)
assert_type(v.py_compute_coverage(tuples), float)
assert_type(v.py_compute_distinctiveness(mixed_numbers), float)
assert_type(v.py_compute_distinctiveness(fractions), float)
assert_type(v.py_compute_distinctiveness(decimals), float)
assert_type(v.py_compute_distinctiveness(numpy_scalars), float)
assert_type(v.py_compute_quality_score(matrix), float)
assert_type(v.py_compute_quality_score(byte_rows), float)
assert_type(v.py_compute_isotropy(typed_arrays), float)
assert_type(v.py_compute_coverage(array_rows), float)
assert_type(v.py_compute_coverage(embeddings=empty), float)
assert_type(v.py_detect_drift(lists, matrix), float)
assert_type(v.py_detect_drift(current_embeddings=tuples, baseline_embeddings=lists), float)

result = v.py_compute_retrieval_metrics([3, 1, 2], (1, 2), 3)
assert_type(result, "RetrievalMetrics")
precision: float = result["precision"]
assert_type(result["ndcg"], float)
v.py_compute_retrieval_metrics(range(10), np.array([1, 2], dtype=np.uint64), np.int64(5))
v.py_compute_retrieval_metrics(retrieved=[True, False], relevant=[2**64 - 1], top_k=True)


def score(ranked: "IdentifierList", relevant: "IdentifierList") -> "RetrievalMetrics":
    return v.py_compute_retrieval_metrics(ranked, relevant, 10)


def quality(batch: "EmbeddingBatch") -> float:
    return v.py_compute_quality_score(batch)


keys = list(score([1], [1]))
assert keys == ["precision", "recall", "f1_score", "mrr", "ndcg"], keys
assert quality([[1, 0], [0, 1]]) == v.py_compute_quality_score(np.array([[1, 0], [0, 1]]))
assert v.__all__ == [
    "py_compute_isotropy", "py_compute_coverage", "py_compute_distinctiveness",
    "py_detect_drift", "py_compute_retrieval_metrics", "py_compute_quality_score",
]
