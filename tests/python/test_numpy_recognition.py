"""NumPy arrays are recognised by the identity of NumPy's own ndarray type,
not by a class's name, and subclasses are read from their buffer only when
their item access, iteration and length are NumPy's own."""
import numpy as np
import pytest

import vextral_core as v
from input_kinds import Generic, as_lists, assert_batch_same, assert_identifiers_same, outcome


def named_like_ndarray(cls):
    cls.__module__ = "numpy"
    cls.__qualname__ = cls.__name__ = "ndarray"
    return cls


MATRIX = np.arange(12, dtype=np.float32).reshape(4, 3) - 5


@named_like_ndarray
class FakeStr(str):
    def __buffer__(self, flags):
        return memoryview(MATRIX)


@named_like_ndarray
class FakeNonSequence:
    def __buffer__(self, flags):
        return memoryview(MATRIX)


@named_like_ndarray
class FakeSequence:
    """A sequence whose items differ from its buffer's."""

    def __init__(self, items, exported):
        self.items, self.exported = items, exported

    def __buffer__(self, flags):
        return memoryview(self.exported)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


def test_a_str_named_ndarray_is_refused_as_a_str():
    with pytest.raises(TypeError, match=r"^argument 'embeddings': Can't extract `str` to `Vec`$"):
        v.py_compute_coverage(FakeStr("x"))
    with pytest.raises(TypeError, match=r"^argument 'embeddings': Can't extract `str` to `Vec`$"):
        v.py_compute_coverage([FakeStr("x")])


def test_a_non_sequence_named_ndarray_is_refused_as_a_non_sequence():
    message = r"^argument 'embeddings': 'ndarray' object cannot be converted to 'Sequence'$"
    with pytest.raises(TypeError, match=message):
        v.py_compute_coverage(FakeNonSequence())
    with pytest.raises(TypeError, match=message):
        v.py_compute_coverage([FakeNonSequence()])
    with pytest.raises(TypeError, match=r"^argument 'retrieved': 'ndarray' object cannot"):
        v.py_compute_retrieval_metrics(FakeNonSequence(), [1], 1)


def test_a_sequence_named_ndarray_is_read_by_its_items():
    rows = [FakeSequence([1.0, 2.0, 4.0], np.zeros(3, np.float32)),
            FakeSequence([0.5, -1.0, 2.0], np.zeros(3, np.float32))]
    assert_batch_same(rows, [list(r.items) for r in rows])
    ids = FakeSequence([3, 5, 7], np.array([1, 2, 3], dtype=np.int64))
    assert_identifiers_same(ids, [3, 5, 7])


def test_a_stand_in_numpy_module_cannot_pass_off_a_class(monkeypatch):
    import sys
    fake = type(sys)("numpy")
    fake.ndarray = FakeNonSequence
    monkeypatch.setitem(sys.modules, "numpy", fake)
    with pytest.raises(TypeError, match="'ndarray' object cannot be converted to 'Sequence'"):
        v.py_compute_coverage(FakeNonSequence())


class PlainSubclass(np.ndarray):
    pass


class OwnItems(np.ndarray):
    def __getitem__(self, index):
        return np.asarray(super().__getitem__(index)) * 2


class OwnIteration(np.ndarray):
    def __iter__(self):
        return iter(np.asarray(self)[::-1])


class OwnLength(np.ndarray):
    def __len__(self):
        raise RuntimeError("no length")


class RefusingFinalize(np.ndarray):
    def __array_finalize__(self, obj):
        if obj is not None and getattr(obj, "ndim", 0) == 2 and self.ndim == 1:
            raise ValueError("no row views")


class MemmapSubclass(np.memmap):
    pass


class MemmapOwnItems(np.memmap):
    def __getitem__(self, index):
        return super().__getitem__(index) + 1


def sample(dtype=np.float32):
    return (np.random.default_rng(1).standard_normal((6, 5)) * 3).astype(dtype)


@pytest.fixture
def mapped(tmp_path):
    def make(array, cls=np.memmap):
        path = tmp_path / f"m{cls.__name__}.npy"
        np.save(path, array)
        loaded = np.load(path, mmap_mode="r")
        return loaded if cls is np.memmap else loaded.view(cls)
    return make


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.float16, np.int16, np.uint64, np.bool_],
                         ids=lambda d: np.dtype(d).name)
def test_memory_mapped_arrays(mapped, dtype):
    array = mapped(sample(dtype))
    assert type(array) is np.memmap
    assert_batch_same(array, as_lists(array))
    assert_batch_same(array[::2, ::-2], as_lists(array[::2, ::-2]))
    assert_batch_same([row for row in array], as_lists(array))


def test_memory_mapped_identifiers(mapped):
    ids = mapped(np.array([250, 3, 9, 5, 3], dtype=np.uint16))
    assert_identifiers_same(ids, [int(i) for i in ids])
    negative = mapped(np.array([1, -4], dtype=np.int32))
    assert outcome(lambda: v.py_compute_retrieval_metrics(negative, [1], 1)) == outcome(
        lambda: v.py_compute_retrieval_metrics(list(negative), [1], 1))


@pytest.mark.parametrize("cls", [PlainSubclass, OwnItems, OwnIteration, OwnLength, RefusingFinalize,
                                 np.matrix, MemmapSubclass, MemmapOwnItems])
def test_subclasses_read_as_their_iteration_reads(mapped, cls):
    base = sample()
    array = mapped(base, cls) if issubclass(cls, np.memmap) else base.view(cls)
    assert_batch_same(array)
    if cls is not np.matrix:
        rows = [np.asarray(r).view(cls) for r in base]
        assert_batch_same(rows, [Generic(r, 1) for r in rows])


def test_masked_arrays_keep_the_generic_path():
    masked = np.ma.masked_array(sample(), mask=np.eye(6, 5, dtype=bool))
    assert_batch_same(masked, [list(r) for r in masked])
