"""A call made when the process has no memory left raises MemoryError.

Each scenario runs in a fresh interpreter whose address space is limited to
what is mapped plus a little; then everything malloc still hands out is
taken, in every block size, and optionally the interpreter's own object heap
is filled as well. A call in that state fails to obtain its first buffer.
Translating that failure must itself need no memory: the caller receives
MemoryError("memory allocation of {n} bytes failed"), or, when the
interpreter cannot even build that message, the interpreter's own
MemoryError, and never an aborted process.
"""
import os
import sys

import pytest

pytestmark = [
    pytest.mark.skipif(sys.platform != "linux", reason="needs RLIMIT_AS, /proc and glibc"),
    pytest.mark.skipif(os.environ.get("VEXTRAL_UNDER_ASAN") == "1",
                       reason="address-space limits do not work under AddressSanitizer"),
]

SCENARIO = """
import ctypes, resource
import numpy as np
import vextral_core as v

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
# Everything the drain needs exists before the limit is set.
blocks = (ctypes.c_void_p * 1_000_000)()
hog = [None] * 1_000_000
SIZES = (1 << 24, 1 << 20, 1 << 16, 1 << 12, *range(2048, 0, -8))
LENGTHS = tuple(range(470, 1, -8))
batch = {batch}
# The first C++ exception of a thread sets up its thread-local data.
try:
    v.py_compute_isotropy("x")
except TypeError:
    pass

def mapped():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped() + (64 << 20), hard))
count = 0
for size in SIZES:
    while True:
        block = libc.malloc(size)
        if not block:
            break
        blocks[count] = block
        count += 1
if {fill_python_heap}:
    slot = 0
    for length in LENGTHS:
        try:
            while True:
                hog[slot] = bytes(length)
                slot += 1
        except MemoryError:
            pass
outcome = None
try:
    v.{function}(*batch)
except MemoryError as error:
    outcome = error
hog = None
for index in range(count):
    libc.free(blocks[index])
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(type(outcome).__name__)
print(str(outcome))
print(v.py_compute_coverage([[1, 0], [0, 1]]))
"""

INPUTS = {
    "list": ("py_compute_isotropy", "([[1.0] * 256 for _ in range(64)],)"),
    "numpy": ("py_compute_isotropy", "(np.ones((64, 256), dtype=np.float32),)"),
    "identifiers": ("py_compute_retrieval_metrics", "(list(range(5000)), list(range(0, 9000, 3)), 10)"),
}


@pytest.mark.parametrize("fill_python_heap", [False, True], ids=["malloc drained", "heap filled too"])
@pytest.mark.parametrize("kind", INPUTS)
def test_call_with_no_memory_left_raises_memory_error(run_python, kind, fill_python_heap):
    function, batch = INPUTS[kind]
    result = run_python(SCENARIO.format(batch=batch, function=function,
                                        fill_python_heap=fill_python_heap))
    assert result.returncode == 0, result.stderr[-2000:]
    kind_name, message, afterwards = result.stdout.splitlines()
    assert kind_name == "MemoryError"
    assert afterwards == "0.20000000298023224"
    words = message.split()
    if fill_python_heap and message == "":
        return  # the interpreter could not build the message: its own MemoryError
    assert words[:3] == ["memory", "allocation", "of"] and words[4:] == ["bytes", "failed"]
    assert int(words[3]) > 0
