"""Running out of memory raises MemoryError instead of ending the interpreter.

Each scenario runs in a fresh interpreter whose address space is limited, for
one call, to what is mapped already plus a headroom chosen against the input
size X: below X the conversion of the input cannot be stored; between X and
2X the converted input fits but a kernel's scratch of at least X (the
normalised copy of a batch, the hash set of an identifier list) does not.
After the MemoryError everything the call obtained must have been given back
(repeating it leaves no more memory behind), and the interpreter and the
module must go on working.
"""
import json
import os
import sys

import pytest

pytestmark = [
    pytest.mark.skipif(sys.platform != "linux", reason="needs RLIMIT_AS and /proc"),
    # The sanitizer runtime reserves terabytes of address space up front.
    pytest.mark.skipif(os.environ.get("VEXTRAL_UNDER_ASAN") == "1",
                       reason="address-space limits do not work under AddressSanitizer"),
]

MIB = 1 << 20

PRELUDE = """
import array, json, resource
import numpy as np
import vextral_core as v

SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)


def mapped():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def attempt(headroom, call, base):
    resource.setrlimit(resource.RLIMIT_AS, (base + headroom, HARD))
    try:
        return ["value", call()]
    except MemoryError as error:
        return ["MemoryError", str(error)]
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))


def limited(headroom, call):
    '''call() with the address space limited to what is mapped now plus
    headroom, three times; reports the first outcome, how much stayed mapped
    after it, and how much more after the third.'''
    base = mapped()
    outcome = attempt(headroom, call, base)
    after_one = mapped()
    for _ in range(2):
        attempt(headroom, call, base)
    print(json.dumps({"outcome": outcome, "kept": after_one - base, "growth": mapped() - after_one}))
"""

EPILOGUE = """
print(json.dumps({"afterwards": v.py_compute_coverage([[1, 0], [0, 1]])}))
"""


def run_limited(run_python, body):
    # A fixed mmap threshold: glibc would otherwise raise it as big blocks
    # are freed and keep later ones in its heap, mapped though free.
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
           "MALLOC_MMAP_THRESHOLD_": str(128 * 1024)}
    result = run_python(PRELUDE + body + EPILOGUE, env=env)
    assert result.returncode == 0, result.stderr
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert lines[-1] == {"afterwards": 0.20000000298023224}
    return lines[:-1]


def failed_bytes(report, input_size):
    """The byte count of a MemoryError report; checks that the failing call,
    once or three times, left no memory behind."""
    kind, message = report["outcome"]
    assert kind == "MemoryError", report
    assert message.startswith("memory allocation of ") and message.endswith(" bytes failed")
    assert report["kept"] < input_size // 8, report
    assert report["growth"] < input_size // 8, report
    return int(message.split()[3])


def test_batch_conversion_out_of_memory_raises_memory_error(run_python):
    result = run_python("""
        import resource
        import vextral_core as v
        # Small, since the row is read one element at a time up to the
        # allocation that fails.
        limit = 1 << 28
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            v.py_compute_coverage([range(10**9)])
        except MemoryError as error:
            print("MemoryError:", error)
        # The interpreter is alive and the module still works.
        print(v.py_compute_coverage([[1, 0], [0, 1]]))
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("MemoryError: memory allocation of ")
    assert lines[0].endswith(" bytes failed")
    assert lines[1] == "0.20000000298023224"


@pytest.mark.parametrize("make_batch", [
    "np.ones((16, 1 << 20), dtype=np.float32)",  # read through the buffer
    "[array.array('f', bytes(4 << 20)) for _ in range(16)]",  # read element by element
], ids=["array", "rows"])
def test_batch_conversion_that_does_not_fit(run_python, make_batch):
    size = 64 * MIB
    reports = run_limited(run_python, f"""
batch = {make_batch}
limited({size // 2}, lambda: v.py_compute_isotropy(batch))
limited({size // 2}, lambda: v.py_detect_drift([[1.0, 2.0]], batch))
""")
    for report in reports:
        assert failed_bytes(report, size) > 0


def test_identifier_conversion_that_does_not_fit(run_python):
    size = 64 * MIB
    reports = run_limited(run_python, f"""
identifiers = np.arange({size // 8}, dtype=np.int64)  # read through the buffer
limited({size // 2}, lambda: v.py_compute_retrieval_metrics(identifiers, [1], 5))
limited({size // 2}, lambda: v.py_compute_retrieval_metrics([1], range({size // 8}), 5))
""")
    for report in reports:
        assert failed_bytes(report, size) > 0


def test_kernel_scratch_that_does_not_fit(run_python):
    size = 64 * MIB
    reports = run_limited(run_python, f"""
batch = np.ones((16, 1 << 20), dtype=np.float32)
# The batch is read in place, without a copy of the module's own.
headroom = {size // 2}
# Coverage needs only six rows' worth of scratch: its float32 means and
# variances and their float64 shadows.
limited({size // 2 + size // 4}, lambda: v.py_compute_coverage(batch))
# The normalised copy of the batch does not fit.
limited(headroom, lambda: v.py_compute_isotropy(batch))
limited(headroom, lambda: v.py_compute_distinctiveness(batch))
limited(headroom, lambda: v.py_compute_quality_score(batch))
limited(headroom, lambda: v.py_detect_drift(batch, batch))
""")
    coverage, *failures = reports
    assert coverage["outcome"] == ["value", 0.0], coverage
    for report in failures:
        assert failed_bytes(report, size) > 0


def test_identifier_set_that_does_not_fit(run_python):
    size = 64 * MIB
    reports = run_limited(run_python, f"""
relevant = np.arange({size // 8}, dtype=np.int64)
# The identifier list converts; its hash set (twice as many slots) does not.
limited({size + size // 2}, lambda: v.py_compute_retrieval_metrics([1, 2], relevant, 2))
""")
    assert failed_bytes(reports[0], size) >= size
