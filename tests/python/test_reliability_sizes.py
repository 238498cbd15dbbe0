"""Sizes that producers hand over (shapes, strides, byte offsets, Arrow
offsets and lengths) and streams that fail after they were exported.

A size that cannot exist sends the object the item-by-item way, whose
result or error the call then has; a real size whose copy no memory can
hold is a MemoryError; a failing stream is an error. Never a wrapped size:
each case below once read or wrote outside the memory it was given, or
gave a result that was not the object's own.
"""
import numpy as np
import pytest

import vextral_core as v
from hostile_producers import (
    NO_ITEMS, FailingStream, HostileIdentifiers, HostileList, HostileTensor, python_handles_sigint,
)
from input_kinds import BATCH_FUNCTIONS, Generic, outcome

ROWS = [[0.0, 1.0], [1.0, 0.0], [0.5, 0.5]]
I64_MAX = 2 ** 63 - 1


def assert_read_item_by_item(batch):
    for function in BATCH_FUNCTIONS:
        assert outcome(lambda: function(batch)) == outcome(lambda: function(Generic(batch))), function


@pytest.mark.parametrize("tensor", [
    # n * d wraps to 2: the batch was sized for 2 values and the copy wrote d.
    HostileTensor((3, 2 ** 64 // 3 + 1), (0, 0), "int8", items=ROWS),
    HostileTensor((3, 2 ** 64 // 3 + 1), (0, 0), "int8"),
    # The borrowed path: 4 * 2**62 floats in place, the row stride wrapping to 0.
    HostileTensor((4, 2 ** 62), None, "float32", items=ROWS),
    # The compact row stride d * 8 overflows before anything else.
    HostileTensor((4, 2 ** 62), None, "float64", items=ROWS),
    HostileTensor((2, 3), (2 ** 61, 1), "float64", items=ROWS),
    # Byte offsets past what ptrdiff_t holds, or below address 0.
    HostileTensor((2, 2), (2 ** 62, 2 ** 62), "int8", items=ROWS),
    HostileTensor((2, 2), (-(2 ** 62), 1), "int8", items=ROWS),
    HostileTensor((2, 2), (1, 2 ** 61), "int64", items=ROWS),
    # A byte offset past the address space, or wrapping the data pointer.
    HostileTensor((2, 2), None, "float32", byte_offset=2 ** 64 - 8, items=ROWS),
    HostileTensor((2, 2), None, "int8", byte_offset=2 ** 63, items=ROWS),
], ids=["wrapped-count", "wrapped-count-no-items", "borrowed", "compact-row-stride", "row-stride-bytes",
        "reach-past-ptrdiff", "reach-below-zero", "column-stride-bytes", "offset-wraps", "offset-past-ptrdiff"])
def test_tensors_whose_sizes_cannot_exist_are_read_item_by_item(tensor):
    assert_read_item_by_item(tensor)


@pytest.mark.parametrize("shape, strides, dtype, byte_offset", [
    ((2 ** 62,), (2 ** 62,), "int8", 0),
    ((2 ** 62,), None, "float64", 0),
    ((3,), (-(2 ** 62),), "int8", 0),
    ((2,), (1,), "int64", 2 ** 64 - 8),
], ids=["reach-past-ptrdiff", "compact-stride", "reach-below-zero", "offset-wraps"])
def test_rows_and_identifiers_whose_sizes_cannot_exist_are_read_item_by_item(shape, strides, dtype, byte_offset):
    row = HostileTensor(shape, strides, dtype, byte_offset, items=[1.0, 2.0])
    assert_read_item_by_item([row, [3.0, 4.0]])
    ids = HostileTensor(shape, strides, dtype, byte_offset, items=[4, 1])
    assert outcome(lambda: v.py_compute_retrieval_metrics(ids, [1], 2)) == outcome(
        lambda: v.py_compute_retrieval_metrics([4, 1], [1], 2))


def test_a_tensor_without_items_fails_as_its_items_do():
    with pytest.raises(TypeError, match=f"^argument 'embeddings': {NO_ITEMS}$"):
        v.py_compute_coverage(HostileTensor((3, 2 ** 64 // 3 + 1), (0, 0), "int8"))


@pytest.mark.parametrize("call", [
    # 2**62 int8 rows of nothing: 2**65 bytes of row starts.
    lambda: v.py_compute_coverage(HostileTensor((2 ** 62, 0), (0, 0), "int8")),
    # 2**63 values, one byte of memory: a copy of 2**65 bytes.
    lambda: v.py_compute_isotropy(HostileTensor((2, 2 ** 62), (0, 0), "int8")),
    lambda: v.py_compute_coverage(np.lib.stride_tricks.as_strided(np.zeros(1, np.int8), (1, 2 ** 62), (0, 0))),
    # Identifier lists of 2**62 elements; the int8 ones are not scanned for
    # a negative first, which would take years.
    lambda: v.py_compute_retrieval_metrics(np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), (2 ** 62,), (0,)),
                                           [1], 2),
    lambda: v.py_compute_retrieval_metrics(HostileTensor((2 ** 62,), (0,), "int8"), [1], 2),
    # A fixed-size list of width 0 with 2**62 rows.
    lambda: v.py_compute_coverage(HostileList(2 ** 62, width=0)),
], ids=["tensor-rows", "tensor-values", "array-values", "array-ids", "tensor-ids", "arrow-rows"])
def test_real_sizes_too_large_to_copy_are_memory_errors(call):
    with pytest.raises(MemoryError):
        call()


def test_rows_too_large_to_copy_fail_before_taking_memory(run_python):
    # Grown value by value, such a row once took all the memory there was
    # before it failed (here at most 2 GiB more, the limit set below).
    result = run_python("""
        import resource
        import numpy as np
        import vextral_core as v
        from hostile_producers import HostileTensor

        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        soft = size + 2 ** 31 if hard == resource.RLIM_INFINITY else min(size + 2 ** 31, hard)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for row in (np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), (2 ** 62,), (0,)),
                    HostileTensor((2 ** 62,), (0,), "int8")):
            try:
                v.py_compute_coverage([[1.0, 2.0], row])
            except MemoryError:
                print("MemoryError")
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024, "MiB more")
    """)
    lines = result.stdout.splitlines()
    assert lines[:2] == ["MemoryError", "MemoryError"], result.stdout + result.stderr
    assert int(lines[2].split()[0]) < 64, lines[2]


@pytest.mark.parametrize("array", [
    # offset + length overflows int64: it once passed the range check and read
    # 8 bytes before the child's values.
    HostileList(2, offset=2 ** 63 - 2, width=4, items=ROWS),
    # The child's offset in bytes wraps the values pointer back to its start.
    HostileList(1, width=2, child_offset=2 ** 61, items=ROWS),
    HostileList(2, offsets=[0, 3, 6], child_offset=2 ** 61, large=True, items=ROWS),
    # The row offsets' own position in bytes wraps.
    HostileList(2, offset=2 ** 61, offsets=[0, 1, 2], large=True, items=ROWS),
    HostileList(2, offset=2 ** 62, offsets=[0, 1, 2], items=ROWS),
], ids=["rows-end", "child-offset-bytes", "large-list-child-offset-bytes", "large-list-offsets-bytes",
        "list-offsets-bytes"])
def test_arrow_lists_whose_offsets_cannot_exist_are_read_item_by_item(array):
    assert_read_item_by_item(array)


def test_arrow_identifiers_whose_offsets_cannot_exist_are_read_item_by_item():
    for ids in (HostileIdentifiers(2, offset=2 ** 61 + 1, items=[5, 6]),
                HostileIdentifiers(2, offset=I64_MAX, items=[5, 6])):
        assert outcome(lambda: v.py_compute_retrieval_metrics(ids, [6], 2)) == outcome(
            lambda: v.py_compute_retrieval_metrics([5, 6], [6], 2))


def test_producers_within_their_memory_are_still_read_from_it():
    # What a producer's items say and what its memory holds differ here on
    # purpose: the result must be the memory's.
    floats = np.arange(1, 9, dtype=np.float32)
    for producer in (HostileTensor((3, 4), (-4, 1), "int8", byte_offset=8),
                     HostileTensor((2, 3), (1, 2), "float32", memory=floats),
                     HostileTensor((2, 3), None, "float32", byte_offset=4, memory=floats),
                     HostileList(2, offset=1, width=3, child_length=9, child_offset=2),
                     HostileList(3, offset=1, offsets=[9, 0, 4, 4, 7], child_offset=1, large=True)):
        producer.items = ROWS
        for function in BATCH_FUNCTIONS:
            assert outcome(lambda: function(producer)) == outcome(lambda: function(producer.read_memory()))
    ids = HostileIdentifiers(3, offset=4, items=[1])
    assert v.py_compute_retrieval_metrics(ids, [6], 3) == v.py_compute_retrieval_metrics([5, 6, 7], [6], 3)


@pytest.mark.parametrize("chunks", [0, 2])
def test_an_interrupt_inside_a_stream_producer_reaches_the_caller(chunks):
    with python_handles_sigint(), pytest.raises(KeyboardInterrupt):
        v.py_compute_coverage(FailingStream("interrupt", chunks=chunks, items=ROWS))


@pytest.mark.parametrize("code, message, error", [
    (5, b"the disk went away", (OSError, "the disk went away")),
    (22, b"bad \xff batch", (ValueError, "bad \ufffd batch")),
    (12, b"", (MemoryError, "")),
    (38, None, (NotImplementedError, "the Arrow stream failed with error code 38")),
], ids=["EIO", "EINVAL", "ENOMEM", "ENOSYS-without-text"])
def test_a_stream_that_fails_raises_its_own_error(code, message, error):
    for chunks in (0, 1):
        stream = FailingStream("code", code=code, message=message, chunks=chunks, items=ROWS)
        with pytest.raises(error[0]) as info:
            v.py_compute_coverage(stream)
        assert type(info.value) is error[0]
        assert str(info.value) == error[1]


def test_a_pyarrow_stream_whose_batches_fail():
    pa = pytest.importorskip("pyarrow")
    schema = pa.schema([("rows", pa.list_(pa.float64(), 2))])

    def batches():
        yield pa.record_batch([pa.array(ROWS, type=schema.field(0).type)], schema=schema)
        raise KeyboardInterrupt("stop")

    class Reader:
        def __arrow_c_stream__(self, requested_schema=None):
            return pa.RecordBatchReader.from_batches(schema, batches()).__arrow_c_stream__()

        def __len__(self):
            return len(ROWS)

        def __getitem__(self, index):
            return ROWS[index]

    allocated = pa.total_allocated_bytes()
    # Its error code (EINVAL in pyarrow 26) decides the class; the text is pyarrow's.
    with pytest.raises(Exception, match="KeyboardInterrupt: stop"):
        v.py_compute_coverage(Reader())
    assert pa.total_allocated_bytes() == allocated  # the chunk it gave was released
