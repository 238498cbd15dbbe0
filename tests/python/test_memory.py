"""Running out of memory raises MemoryError instead of ending the interpreter."""
import sys

import pytest

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="needs RLIMIT_AS")


def test_batch_conversion_out_of_memory_raises_memory_error(run_python):
    result = run_python("""
        import resource
        import vextral_core as v
        limit = 1 << 30
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
