"""Arrow arrays (through the Arrow PyCapsule interface) give exactly the
results and errors of iterating them."""
import numpy as np
import pytest

import vextral_core as v
from input_kinds import Generic, assert_batch_same, assert_identifiers_same, outcome, refcounts

pa = pytest.importorskip("pyarrow")

ELEMENT_TYPES = ["float32", "float64", "float16", "int8", "int16", "int32", "int64", "uint8",
                 "uint16", "uint32", "uint64"]


def values(type_name, count, seed=0):
    rng = np.random.default_rng(seed)
    dtype = np.dtype(type_name)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        data = rng.integers(info.min, info.max, size=count, dtype=dtype, endpoint=True)
        data[0] = info.max  # integers too wide for float32 go through double
        return data
    data = (rng.standard_normal(count) * 3).astype(dtype)
    data[1] = np.inf
    return data


def fixed(type_name, rows=6, width=5, seed=0):
    return pa.FixedSizeListArray.from_arrays(pa.array(values(type_name, rows * width, seed)), width)


@pytest.mark.parametrize("type_name", ELEMENT_TYPES)
def test_fixed_size_lists(type_name):
    array = fixed(type_name)
    assert_batch_same(array)
    assert_batch_same(array.slice(2, 3))
    assert_batch_same(array[:0])


@pytest.mark.parametrize("type_name", ELEMENT_TYPES)
@pytest.mark.parametrize("large", [False, True], ids=["list", "large_list"])
def test_ragged_lists(type_name, large):
    flat = pa.array(values(type_name, 20, 1))
    offsets = pa.array([0, 5, 5, 9, 14, 20], type=pa.int64() if large else pa.int32())
    array = (pa.LargeListArray if large else pa.ListArray).from_arrays(offsets, flat)
    assert_batch_same(array)
    assert_batch_same(array.slice(1, 3))
    sliced_child = (pa.LargeListArray if large else pa.ListArray).from_arrays(
        pa.array([0, 3, 7], type=offsets.type), flat.slice(4, 7))
    assert_batch_same(sliced_child)


def test_chunked_arrays():
    array = fixed("float32", rows=8)
    chunked = pa.chunked_array([array[:3], array[3:3], array[3:5], array[5:]])
    assert_batch_same(chunked)
    assert_batch_same(pa.chunked_array([], type=array.type))
    ragged = pa.chunked_array([pa.array([[1.0, 2.0], [3.0]]), pa.array([[4.0, 5.0, 6.0]])])
    assert_batch_same(ragged)


@pytest.mark.parametrize("batch", [
    pa.array([[1.0, 2.0], None, [3.0, 4.0]]),
    pa.array([[1.0, None], [3.0, 4.0]]),
    pa.array([[1.0, 2.0], [3.0, 4.0]], type=pa.list_(pa.float32(), 2)).fill_null([0.0, 0.0]),
    pa.FixedSizeListArray.from_arrays(pa.array([1.0, None, 3.0, 4.0]), 2),
    pa.array([[True, False], [False, True]]),
    pa.array([[[1.0]], [[2.0]]]),
    pa.array([1.0, 2.0]),
    pa.ListArray.from_arrays(pa.array([0, 2, 4], pa.int32()), pa.array([1, 2, 1, 3]).dictionary_encode()),
    pa.chunked_array([pa.array([[1.0, 2.0]]), pa.array([None], type=pa.list_(pa.float64()))]),
], ids=["null-row", "null-element", "no-nulls-after-fill", "fixed-null-element", "bool",
        "nested", "flat", "dictionary", "chunk-with-null"])
def test_nulls_and_unsupported_types_match_iteration(batch):
    assert_batch_same(batch)


def test_null_elements_give_the_iteration_errors():
    with pytest.raises(TypeError, match=r"^argument 'embeddings': 'NoneType' object is not iterable$"):
        v.py_compute_coverage(pa.array([[1.0, 2.0], None]))
    assert outcome(lambda: v.py_compute_coverage(pa.array([[1.0, None]]))) == outcome(
        lambda: v.py_compute_coverage(Generic(pa.array([[1.0, None]]))))


def test_masked_nulls_that_are_sliced_away_are_not_seen():
    array = pa.array([None, [1.0, 2.0], [3.0, 4.5]], type=pa.list_(pa.float32()))
    assert array.null_count == 1
    assert_batch_same(array.slice(1))


@pytest.mark.parametrize("type_name", ["int8", "int16", "int32", "int64", "uint8", "uint16",
                                       "uint32", "uint64"])
def test_identifier_arrays(type_name):
    ids = pa.array(np.abs(values(type_name, 12, 2)).astype(type_name))
    assert_identifiers_same(ids)
    assert_identifiers_same(ids.slice(3, 5))
    assert_identifiers_same(pa.chunked_array([ids[:4], ids[4:]]))


@pytest.mark.parametrize("ids", [
    pa.array([3, -1, 5]), pa.array([3, None]), pa.array([1.0, 2.0]), pa.array([True]),
    pa.array([[1, 2]]), pa.chunked_array([pa.array([1]), pa.array([-2])]),
], ids=["negative", "null", "float", "bool", "nested", "chunk-negative"])
def test_refused_identifier_arrays_raise_the_iteration_errors(ids):
    direct = outcome(lambda: v.py_compute_retrieval_metrics(ids, [1], 3))
    assert direct[0] != "ok"
    assert direct == outcome(lambda: v.py_compute_retrieval_metrics(Generic(ids, 1), [1], 3))


class Exporter:
    """An Arrow producer of our own: the capsules of a wrapped pyarrow array."""

    def __init__(self, array, failure=None):
        self.array, self.failure = array, failure

    def __arrow_c_array__(self, requested_schema=None):
        if self.failure:
            raise self.failure
        return self.array.__arrow_c_array__()

    def __len__(self):
        return len(self.array)

    def __getitem__(self, index):
        return self.array[index]


class NoSequence:
    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__()


class OwnItems(Exporter):
    """Inherits the export but not the items: read by its items."""

    def __getitem__(self, index):
        if index >= len(self.array):
            raise IndexError(index)
        return [2 * x.as_py() for x in self.array[index]]


def test_producers_that_fail_or_are_not_sequences():
    array = fixed("float32")
    assert_batch_same(Exporter(array), Generic(array))
    assert_batch_same(Exporter(array, failure=ValueError("no export")), Generic(array))
    with pytest.raises(TypeError, match="'NoSequence' object cannot be converted to 'Sequence'"):
        v.py_compute_coverage(NoSequence(array))
    with pytest.raises(KeyboardInterrupt):
        v.py_compute_coverage(Exporter(array, failure=KeyboardInterrupt()))
    assert_batch_same(OwnItems(array), [[2 * x.as_py() for x in row] for row in array])


def test_references_unchanged_and_capsules_released():
    array = fixed("float64")
    chunked = pa.chunked_array([array, array])
    ids = pa.array([1, 2, 3])
    relevant = pa.chunked_array([pa.array([2, 9], pa.uint32())])
    before = refcounts([array, chunked, ids, relevant])
    allocated = pa.total_allocated_bytes()
    for _ in range(3):
        v.py_compute_quality_score(array)
        v.py_detect_drift(chunked, array)
        v.py_compute_retrieval_metrics(ids, relevant, 2)
        v.py_compute_coverage(pa.array([[1.0], None]).slice(0, 1))
    assert refcounts([array, chunked, ids, relevant]) == before
    assert pa.total_allocated_bytes() == allocated
