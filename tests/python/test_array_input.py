"""NumPy arrays give exactly the results and errors of the same values read
element by element."""
import numpy as np
import pytest

import vextral_core as v
from input_kinds import BATCH_FUNCTIONS


def outcome(call):
    try:
        return ("ok", call())
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        return (type(error), str(error))


def elementwise(array):
    """The same values as a list of lists of NumPy scalars: read generically."""
    return [list(row) for row in array]


def sample(dtype, shape=(7, 5), seed=0):
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "b":
        return rng.integers(0, 2, size=shape).astype(dtype)
    if np.dtype(dtype).kind in "iu":
        info = np.iinfo(dtype)
        values = rng.integers(info.min, info.max, size=shape, dtype=dtype, endpoint=True)
        values.flat[0] = info.max  # integers too wide for float32 go through double
        return values
    values = rng.standard_normal(shape).astype(dtype) * dtype(3)
    values.flat[1] = 1e30 if np.dtype(dtype).itemsize >= 4 else 1e4
    return values


DTYPES = [np.float32, np.float64, np.float16, np.int8, np.int16, np.int32, np.int64,
          np.uint8, np.uint16, np.uint32, np.uint64, np.bool_]


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_dtypes_match_elementwise_reading(dtype):
    array = sample(dtype)
    for function in BATCH_FUNCTIONS:
        assert outcome(lambda: function(array)) == outcome(lambda: function(elementwise(array)))
    assert outcome(lambda: v.py_detect_drift(array, array[:3])) == outcome(
        lambda: v.py_detect_drift(elementwise(array), elementwise(array[:3])))


@pytest.mark.parametrize("view", [
    lambda a: a[:, ::2],
    lambda a: a[::-1],
    lambda a: a.T,
    lambda a: np.asfortranarray(a),
    lambda a: a.astype(">f4"),
    lambda a: a.astype(">f8"),
    lambda a: a[:0],
    lambda a: a[:, :0],
    lambda a: a[:1],
], ids=["columns", "reversed", "transposed", "fortran", "big-endian", "big-endian64", "no-rows",
        "empty-rows", "one-row"])
def test_layouts_match_elementwise_reading(view):
    array = view(sample(np.float32, shape=(6, 4)))
    for function in BATCH_FUNCTIONS:
        assert outcome(lambda: function(array)) == outcome(lambda: function(elementwise(array)))


def test_non_finite_values():
    array = sample(np.float64)
    array[2, 3] = np.nan
    array[4, 0] = np.inf
    array[5, 1] = 1e300  # beyond float32: becomes infinity
    for function in BATCH_FUNCTIONS:
        assert outcome(lambda: function(array)) == outcome(lambda: function(elementwise(array)))


@pytest.mark.parametrize("array, message", [
    (np.zeros(4, dtype=np.float32), "'float32' object cannot be converted to 'Sequence'"),
    (np.array(3.0, dtype=np.float32), "iteration over a 0-d array"),
    (np.zeros((2, 2, 2), dtype=np.float32), "can be converted to Python scalars"),
    (np.array([["a", "b"]]), "must be real number, not numpy.str_"),
    (np.array([[1, None]], dtype=object), "must be real number, not NoneType"),
], ids=["1-D", "0-D", "3-D", "str", "object"])
def test_arrays_not_read_directly_raise_the_element_errors(array, message):
    with pytest.raises(TypeError) as info:
        v.py_compute_coverage(array)
    assert str(info.value).startswith("argument 'embeddings': ")
    assert message in str(info.value)


@pytest.mark.parametrize("dtype", [np.int8, np.int64, np.uint8, np.uint64], ids=lambda d: np.dtype(d).name)
def test_identifier_arrays(dtype):
    info = np.iinfo(dtype)
    retrieved = np.array([info.max, 0, 5, 3, 5, info.max], dtype=dtype)
    relevant = np.array([5, info.max, 9], dtype=dtype)
    assert v.py_compute_retrieval_metrics(retrieved, relevant, 4) == v.py_compute_retrieval_metrics(
        list(retrieved), list(relevant), 4)
    assert v.py_compute_retrieval_metrics(retrieved[::-2], relevant, 2) == v.py_compute_retrieval_metrics(
        list(retrieved[::-2]), list(relevant), 2)


@pytest.mark.parametrize("retrieved", [
    np.array([1, -2, 3], dtype=np.int64),
    np.array([1.0, 2.0]),
    np.array([True, False]),
    np.array([[1, 2]], dtype=np.int64),
    np.array(["1"]),
], ids=["negative", "float", "bool", "2-D", "str"])
def test_refused_identifier_arrays_raise_the_generic_errors(retrieved):
    direct = outcome(lambda: v.py_compute_retrieval_metrics(retrieved, [1], 3))
    generic = outcome(lambda: v.py_compute_retrieval_metrics(list(retrieved), [1], 3))
    assert direct[0] != "ok"
    assert direct == generic


def test_list_of_array_rows():
    array = sample(np.float32)
    rows = [row for row in array]
    ragged = [array[0], array[1][:3], np.array([], dtype=np.float32), array[2].astype(np.int16)]
    for function in BATCH_FUNCTIONS:
        assert function(rows) == function(array)
        assert outcome(lambda: function(ragged)) == outcome(
            lambda: function([[x for x in row] for row in ragged]))
