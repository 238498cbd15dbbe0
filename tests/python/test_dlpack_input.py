"""Tensors exported through DLPack give exactly the results and errors of
iterating them. A producer of our own (backed by NumPy's DLPack export)
stands in for PyTorch; PyTorch itself is tested when it is installed."""
import numpy as np
import pytest

import vextral_core as v
from input_kinds import Generic, assert_batch_same, assert_identifiers_same, outcome, refcounts

DTYPES = [np.float16, np.float32, np.float64, np.int8, np.int16, np.int32, np.int64, np.uint8,
          np.uint16, np.uint32, np.uint64, np.bool_]


class Tensor:
    """A DLPack producer whose items are its rows (as Tensors) or scalars."""

    exports = 0

    def __init__(self, array, device=(1, 0), versioned=True, failure=None):
        self.array, self.device, self.versioned, self.failure = array, device, versioned, failure

    def __dlpack__(self, stream=None, **keywords):
        if keywords and not self.versioned:
            raise TypeError("unexpected keyword")
        if self.failure:
            raise self.failure
        Tensor.exports += 1
        return self.array.__dlpack__(**keywords)

    def __dlpack_device__(self):
        return self.device

    def __len__(self):
        return len(self.array)

    def __getitem__(self, index):
        item = self.array[index]
        return Tensor(item, self.device, self.versioned) if isinstance(item, np.ndarray) else item


def sample(dtype, shape=(6, 5)):
    rng = np.random.default_rng(5)
    if np.dtype(dtype).kind == "b":
        return rng.integers(0, 2, size=shape).astype(dtype)
    if np.dtype(dtype).kind in "iu":
        info = np.iinfo(dtype)
        data = rng.integers(info.min, info.max, size=shape, dtype=dtype, endpoint=True)
        data.flat[0] = info.max
        return data
    data = (rng.standard_normal(shape) * 3).astype(dtype)
    data.flat[1] = np.inf
    return data


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("versioned", [True, False], ids=["versioned", "unversioned"])
def test_tensors_of_every_dtype(dtype, versioned):
    data = sample(dtype)
    Tensor.exports = 0
    assert_batch_same(Tensor(data, versioned=versioned))
    assert Tensor.exports > 0
    assert_batch_same([Tensor(row, versioned=versioned) for row in data])


@pytest.mark.parametrize("view", [lambda a: a[::2, ::-2], lambda a: a.T, lambda a: a[::-1],
                                  lambda a: a[:0], lambda a: a[:, :0]],
                         ids=["stepped", "transposed", "reversed", "no-rows", "empty-rows"])
def test_strides_and_empty_tensors(view):
    assert_batch_same(Tensor(view(sample(np.float32))))


def test_ragged_rows():
    data = sample(np.float64)
    rows = [Tensor(data[0]), Tensor(data[1, :2]), Tensor(data[2, :0]), [1.0, 2.0], Tensor(data[3])]
    assert_batch_same(rows, [Generic(r, 1) if isinstance(r, Tensor) else r for r in rows])


def test_other_devices_and_failures_keep_the_generic_path():
    data = sample(np.float32)
    for tensor in (Tensor(data, device=(2, 0)), Tensor(data, failure=BufferError("not exportable")),
                   Tensor(np.array(data, dtype=np.complex64))):
        Tensor.exports = 0
        assert_batch_same(tensor)
    with pytest.raises(KeyboardInterrupt):
        v.py_compute_coverage(Tensor(data, failure=KeyboardInterrupt()))
    # 0-D, 3-D and 1-D tensors as batches: the errors iterating them gives.
    for tensor in (Tensor(np.float32(2.0) * np.ones(())), Tensor(np.zeros((2, 2, 2))),
                   Tensor(np.zeros(3))):
        assert_batch_same(tensor)


class NoSequence:
    def __init__(self, array):
        self.array = array

    def __dlpack__(self, **keywords):
        return self.array.__dlpack__(**keywords)


class OwnItems(Tensor):
    def __getitem__(self, index):
        return super().__getitem__(index) * 2 if not isinstance(index, slice) else None


def test_objects_whose_iteration_is_not_the_export_own():
    with pytest.raises(TypeError, match="'NoSequence' object cannot be converted to 'Sequence'"):
        v.py_compute_coverage(NoSequence(sample(np.float32)))
    data = sample(np.float32)
    assert_batch_same([OwnItems(row) for row in data], [[x * 2 for x in row] for row in data])

    class DoublingArray(np.ndarray):  # inherits NumPy's __dlpack__, not its items
        def __getitem__(self, index):
            return np.asarray(super().__getitem__(index)) * 2
    rows = [np.asarray(row).view(DoublingArray) for row in sample(np.float32)]
    assert_batch_same(rows, [Generic(r, 1) for r in rows])


@pytest.mark.parametrize("dtype", [np.int8, np.int64, np.uint8, np.uint64], ids=lambda d: np.dtype(d).name)
def test_identifier_tensors(dtype):
    ids = Tensor(np.abs(sample(dtype, shape=(9,))).astype(dtype))
    assert_identifiers_same(ids)
    assert_identifiers_same(Tensor(ids.array[::-2]))
    for refused in (Tensor(np.array([1, -3])), Tensor(np.array([1.0])), Tensor(np.array([True])),
                    Tensor(np.zeros((2, 2), dtype=np.int64))):
        direct = outcome(lambda: v.py_compute_retrieval_metrics(refused, [1], 2))
        assert direct[0] != "ok"
        assert direct == outcome(lambda: v.py_compute_retrieval_metrics(Generic(refused, 1), [1], 2))


def test_references_unchanged():
    data = sample(np.float32)
    tensor, rows = Tensor(data), [Tensor(row) for row in data]
    everything = [data, tensor] + rows
    before = refcounts(everything)
    for _ in range(3):
        v.py_compute_quality_score(tensor)
        v.py_detect_drift(rows, tensor)
        v.py_compute_retrieval_metrics(Tensor(np.arange(4)), Tensor(np.arange(2)), 2)
    after = refcounts(everything)
    assert after == before


def test_pytorch_tensors():
    torch = pytest.importorskip("torch")
    data = torch.from_numpy(sample(np.float32))
    for tensor in (data, data[::2, 1:], data.t(), data.to(torch.bfloat16), data.to(torch.int32)):
        assert_batch_same(tensor, [[float(x) for x in row] for row in tensor])
    ids = torch.tensor([3, 5, 250, 9])
    assert_identifiers_same(ids, [int(i) for i in ids])
