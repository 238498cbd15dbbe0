"""Rows and identifier lists that export a buffer (array.array, memoryview,
bytes, bytearray) give exactly what iterating them would."""
import array
import sys

import numpy as np
import pytest

import vextral_core as v
from input_kinds import Generic, assert_batch_same, assert_identifiers_same, outcome, refcounts

rng = np.random.default_rng(7)
FLOATS = (rng.standard_normal((5, 6)) * 4).tolist()
FLOATS[1][2] = 1e300  # beyond float32 in a double
INTS = rng.integers(-100, 250, size=(5, 6)).tolist()


def rows_of(typecode, values):
    return [array.array(typecode, row) for row in values]


@pytest.mark.parametrize("typecode", ["f", "d", "b", "h", "i", "l", "q"])
def test_array_rows(typecode):
    values = FLOATS if typecode in "fd" else [[max(-128, min(127, x)) for x in r] for r in INTS]
    if typecode == "f":
        values = [[max(-1e38, min(1e38, x)) for x in r] for r in values]
    rows = rows_of(typecode, values)
    assert_batch_same(rows, [list(r) for r in rows])


@pytest.mark.parametrize("typecode", ["B", "H", "I", "L", "Q"])
def test_unsigned_array_rows_and_identifiers(typecode):
    top = {"B": 255, "H": 65535, "I": 2**32 - 1, "L": 2**64 - 1, "Q": 2**64 - 1}[typecode]
    rows = [array.array(typecode, [top, 0, 3, 250]), array.array(typecode, [1, 2, 3, top])]
    assert_batch_same(rows, [list(r) for r in rows])
    assert_identifiers_same(rows[0], list(rows[0]))


def test_memoryview_rows_of_every_format():
    base = np.random.default_rng(3).standard_normal(8) * 50
    for dtype in [np.float16, np.float32, np.float64, np.int8, np.int16, np.int32, np.int64,
                  np.uint8, np.uint16, np.uint32, np.uint64, np.bool_]:
        data = base.astype(dtype)
        rows = [memoryview(data), memoryview(data)[::-3], memoryview(data[:0])]
        assert_batch_same(rows, [data.tolist(), data[::-3].tolist(), []])


def test_memoryviews_that_stay_generic():
    data = np.arange(6, dtype=np.uint8)
    rows = [memoryview(data.tobytes()).cast("c"),  # bytes items: refused by the float conversion
            memoryview(data.reshape(2, 3)),  # iteration is not implemented
            memoryview(np.zeros(2, dtype=">f4"))]  # not native-endian
    for row in rows:
        assert_batch_same([row, memoryview(data)], [Generic(row, 1), list(data)])


def test_bytes_like_rows():
    rows = [b"\x00\x7f\xff", bytearray(b"abc"), memoryview(b"xyz")]
    assert_batch_same(rows, [list(r) for r in rows])
    assert v.py_compute_coverage([b"ab"]) == v.py_compute_coverage([[97.0, 98.0]])
    assert_identifiers_same(b"\x03\x05\x07\xfa", [3, 5, 7, 250])


def test_ragged_and_empty_rows():
    rows = [array.array("f", [1, 2, 3]), memoryview(array.array("d", [4.0])), b"", bytearray(b"\x01\x02"),
            array.array("q", [])]
    assert_batch_same(rows, [list(r) for r in rows])
    assert_batch_same([b""], [[]])


def test_identifier_buffers_with_errors_match():
    negative = array.array("q", [3, -1, 5])
    floats = array.array("d", [3.0])
    bools = memoryview(np.array([True, False]))
    for ids in (negative, floats, bools, memoryview(np.zeros((2, 2), dtype=np.int64))):
        assert outcome(lambda: v.py_compute_retrieval_metrics(ids, [1], 1)) == outcome(
            lambda: v.py_compute_retrieval_metrics(Generic(ids, 1), [1], 1))
    assert outcome(lambda: v.py_compute_retrieval_metrics(negative, [1], 1))[0] is OverflowError


class OwnIterationArray(array.array):
    def __iter__(self):
        return iter([x * 2 for x in super().__iter__()])


class OwnItemsBytes(bytes):
    def __iter__(self):
        return iter([1, 2])


def test_subclasses_are_read_by_their_iteration():
    rows = [OwnIterationArray("f", [1, 2]), OwnItemsBytes(b"abc")]
    assert_batch_same(rows, [[2.0, 4.0], [1, 2]])
    assert_identifiers_same(OwnIterationArray("q", [1, 3]), [2, 6])


def test_references_unchanged():
    rows = [array.array("f", [1, 2]), memoryview(b"ab"), bytearray(b"cd"), b"ef"]
    before = refcounts(rows)
    v.py_compute_quality_score(rows)
    v.py_compute_retrieval_metrics(rows[1], rows[3], 2)
    with pytest.raises(OverflowError):
        v.py_compute_retrieval_metrics(array.array("q", [-1]), rows[3], 2)
    assert refcounts(rows) == before
    del rows[1]  # the memoryview is not left exported: its base can resize
    grown = bytearray(b"x")
    v.py_compute_coverage([grown])
    grown.extend(b"yz")
    assert sys.getrefcount(grown) == 2
