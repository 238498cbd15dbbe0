"""Float32 rows stored contiguously (NumPy arrays and memory maps, DLPack
tensors, 2-D memoryviews and the native module's own file mapping) are read
in place: the results must be the generic path's to the bit, every export
must be handed back when the call returns, a later argument's Python code
must not see the earlier one read in place, and a memory-mapped batch must
not be copied whole before the kernels' packed copy."""
import ctypes
import subprocess
import sys

import numpy as np
import pytest

import vextral_core as v
from hostile_producers import _DLDataType, _DLDevice, _DLManagedTensor
from input_kinds import Generic, assert_batch_same, outcome, refcounts
from vextral import _native

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="peak memory read from /proc")


def batch(n=130, d=24, seed=12):
    data = np.random.default_rng(seed).standard_normal((n, d)).astype(np.float32)
    data[3, 5] = np.inf
    data[7, 0] = 1e-42  # subnormal
    return data


class Exported:
    """A DLPack producer (NumPy's export) whose rows iterate as plain lists."""

    def __init__(self, array):
        self.array = array

    def __dlpack__(self, stream=None, **keywords):
        return self.array.__dlpack__(**keywords)

    def __dlpack_device__(self):
        return (1, 0)

    def __len__(self):
        return len(self.array)

    def __getitem__(self, index):
        return self.array[index].tolist()


@pytest.mark.parametrize("make", [
    lambda a: a,
    lambda a: a[:1],
    lambda a: a[:, :1],
    lambda a: a[:0],
    lambda a: np.ascontiguousarray(a[:, :0]),
    lambda a: Exported(a),
    lambda a: Exported(a[5:9]),
], ids=["array", "one-row", "one-column", "no-rows", "empty-rows", "dlpack", "dlpack-slice"])
def test_contiguous_float32_rows_give_the_generic_bits(make):
    assert_batch_same(make(batch()))


def test_unaligned_and_strided_rows_are_still_read_exactly():
    raw = np.zeros(130 * 24 * 4 + 1, np.uint8)
    unaligned = raw[1:].view(np.float32).reshape(130, 24)
    unaligned[...] = batch()
    assert unaligned.ctypes.data % 4 != 0
    for data in (unaligned, batch()[:, ::2], batch()[::2], np.asfortranarray(batch())):
        assert_batch_same(data)
        assert_batch_same(Exported(data))


def test_memory_mapped_npy_gives_the_generic_bits(tmp_path):
    path = tmp_path / "b.npy"
    np.save(path, batch())
    mapped = np.load(path, mmap_mode="r")
    assert_batch_same(mapped)
    assert_batch_same(mapped, Generic(np.load(path)))


def test_exports_are_handed_back_and_references_kept_as_they_were():
    data = batch()
    tensor = Exported(data)
    before = refcounts([data, tensor])
    for function in (v.py_compute_isotropy, v.py_compute_quality_score, _native.batch_measures):
        function(data)
        function(tensor)
    v.py_detect_drift(data, data)
    assert refcounts([data, tensor]) == before
    # A bytearray that was read in place can be resized again; a view of it released.
    buffer = bytearray(data.tobytes())
    view = memoryview(buffer).cast("f", list(data.shape))
    assert _native.batch_measures(view) == _native.batch_measures(data.tolist())
    view.release()
    buffer.extend(b"\0" * 4)
    # A NumPy array over the bytearray holds its own export only while it lives.
    over = np.frombuffer(bytearray(data.tobytes()), np.float32).reshape(data.shape)
    assert v.py_compute_isotropy(over) == v.py_compute_isotropy(data.tolist())


def test_a_later_argument_cannot_change_an_earlier_array_read_in_place():
    baseline = batch(40, 6)

    class Meddling:
        def __float__(self):
            baseline[...] = 0.0  # the generic path copied the baseline before this ran
            return 1.0

    current = [[Meddling()] * 6 for _ in range(40)]
    generic = [[1.0] * 6 for _ in range(40)]
    want = v.py_detect_drift(baseline.tolist(), generic)
    assert v.py_detect_drift(baseline, current) == want
    assert not baseline.any()
    # Two arrays read in place run no Python code in between.
    second = batch(40, 6, seed=3)
    assert v.py_detect_drift(batch(40, 6), second) == v.py_detect_drift(batch(40, 6).tolist(), second.tolist())


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_DLTENSOR = b"dltensor"


class BFloat16Tensor:
    """A DLPack producer of bfloat16 values (code 4), which NumPy cannot export; its items are
    the values as Python floats, as torch's would convert."""

    def __init__(self, bits, shape, strides=None):
        self.bits, self.shape = bits, shape
        self._shape = (ctypes.c_int64 * len(shape))(*shape)
        self._strides = None if strides is None else (ctypes.c_int64 * len(shape))(*strides)
        self.strides = strides

    def value(self, index):
        row, column = index
        offset = row * (self.strides[0] if self.strides else self.shape[1]) + column * (
            self.strides[1] if self.strides else 1)
        return float(np.array([int(self.bits[offset]) << 16], np.uint32).view(np.float32)[0])

    def __dlpack__(self, stream=None, **keywords):
        managed = _DLManagedTensor()
        managed.dl_tensor.data = self.bits.ctypes.data
        managed.dl_tensor.device = _DLDevice(1, 0)
        managed.dl_tensor.ndim = len(self.shape)
        managed.dl_tensor.dtype = _DLDataType(4, 16, 1)
        managed.dl_tensor.shape = self._shape
        managed.dl_tensor.strides = self._strides
        self._managed = managed  # kept alive by the producer; the capsule needs no destructor
        return _capsule_new(ctypes.addressof(managed), _DLTENSOR, None)

    def __dlpack_device__(self):
        return (1, 0)

    def __len__(self):
        return self.shape[0]

    def __getitem__(self, row):
        if not 0 <= row < self.shape[0]:
            raise IndexError(row)
        return [self.value((row, column)) for column in range(self.shape[1])]


@pytest.mark.parametrize("strides", [None, (1, 9)], ids=["compact", "column-major"])
def test_bfloat16_tensors_give_the_bits_of_their_values(strides):
    rng = np.random.default_rng(8)
    values = rng.standard_normal(9 * 9).astype(np.float32)
    values[4] = np.nan
    values[10] = -0.0
    bits = (values.view(np.uint32) >> 16).astype(np.uint16)
    tensor = BFloat16Tensor(bits, (9, 9), strides)
    plain = [tensor[i] for i in range(9)]
    assert_batch_same(tensor, plain)
    assert _native.batch_measures(tensor) == _native.batch_measures(plain)


def test_drift_between_is_the_librarys_drift():
    rng = np.random.default_rng(21)
    for _ in range(20):
        n, d = rng.integers(2, 60), rng.integers(1, 12)
        first = (rng.standard_normal((n, d)) * rng.random() * 3).astype(np.float32)
        second = (rng.standard_normal((n + 3, d)) + rng.random()).astype(np.float32)
        a, b = _native.batch_measures(first), _native.batch_measures(second)
        names = ("isotropy", "coverage", "distinctiveness")
        assert _native.drift_between(*(a[k] for k in names), *(b[k] for k in names)) == v.py_detect_drift(
            first, second)
    with pytest.raises(TypeError, match="argument 'current_coverage'"):
        _native.drift_between(0.1, 0.2, 0.3, 0.4, "x", 0.6)


@pytest.mark.skipif(not hasattr(_native, "map_float32_rows"), reason="no native file mapping here")
def test_native_mapping_gives_the_bits_of_the_array(tmp_path):
    data = batch()
    path = tmp_path / "b.npy"
    np.save(path, data)
    with open(path, "rb") as stream:
        offset = path.stat().st_size - data.nbytes
        rows = _native.map_float32_rows(stream.fileno(), offset, *data.shape)
        with pytest.raises(ValueError):
            _native.map_float32_rows(stream.fileno(), offset, data.shape[0] + 1, data.shape[1])
    assert _native.batch_measures(rows) == _native.batch_measures(data)
    assert _native.batch_measures(rows) == _native.batch_measures(data)  # dropped pages read back
    seen = []
    _native.batch_measures(rows, checked=lambda count, first: seen.append((count, first)))
    assert seen == [(1, 3)]


PEAK = """
import gc, sys, numpy as np, vextral_core as v
from vextral import _native

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))

path, kind = sys.argv[1], sys.argv[2]
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
before = status("VmRSS:")
if kind == "memmap":
    v.py_compute_isotropy(np.load(path, mmap_mode="r"))
else:
    with open(path, "rb") as stream:
        rows = _native.map_float32_rows(stream.fileno(), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
    _native.batch_measures(rows)
print(status("VmHWM:") - before)
"""


@linux_only
@pytest.mark.parametrize("kind", ["memmap", "native"])
def test_a_mapped_file_is_not_copied_whole_before_the_packed_copy(tmp_path, kind):
    if kind == "native" and not hasattr(_native, "map_float32_rows"):
        pytest.skip("no native file mapping here")
    # Distinctiveness keeps the list of pair similarities (4 bytes a pair) beside the packed copy;
    # few long rows keep it small next to the file.
    n, d = (8000, 768) if kind == "memmap" else (4000, 3072)
    data = np.random.default_rng(1).standard_normal((n, d)).astype(np.float32)
    path = tmp_path / "big.npy"
    np.save(path, data)
    size = data.nbytes
    offset = path.stat().st_size - size
    done = subprocess.run([sys.executable, "-c", PEAK, str(path), kind, str(offset), str(n), str(d)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    growth = int(done.stdout)
    # The mapped pages and the packed copy (about the file's size each), plus panels: the memory map
    # is no longer copied whole on top (3x), and the native mapping drops what it has packed.
    if kind == "memmap":
        assert growth < 2.3 * size, growth / size
    else:
        assert growth < 1.3 * size + 4 * n * (n - 1) // 2, growth / size
