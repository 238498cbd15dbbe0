"""The bounded run of the boundary fuzzer (tests/fuzz): a fixed seed and a
fixed number of cases, in parts of consecutive cases so that parallel test
workers (pytest-xdist) can share them.

It runs in a fresh interpreter, with its standard error (the module's failure
reports, and each case's number) kept in a file; when the run fails, the end
of that file shows the last case started and any crash report.
"""
import os
import subprocess
import sys
from pathlib import Path

import pytest

FUZZER = Path(__file__).resolve().parent.parent / "fuzz" / "fuzz_boundary.py"
SEED = "0"
# Under the sanitizers every call is about three times slower: fewer cases,
# the ones that follow those of the plain run.
if os.environ.get("VEXTRAL_UNDER_ASAN") == "1":
    FIRST, CASES = 150_000, 50_000
else:
    FIRST, CASES = 0, 150_000
PARTS = 3


@pytest.mark.parametrize("part", range(PARTS))
def test_bounded_fuzz_run(tmp_path, part):
    first = FIRST + part * CASES // PARTS
    cases = FIRST + (part + 1) * CASES // PARTS - first
    stderr_file = tmp_path / "fuzz-stderr.txt"
    with open(stderr_file, "w") as stderr:
        result = subprocess.run(
            [sys.executable, str(FUZZER), "--seed", SEED, "--first", str(first), "--cases", str(cases),
             "--mark"],
            stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=1200,
        )
    if result.returncode != 0:
        tail = stderr_file.read_text(errors="replace")[-8000:]
        raise AssertionError(f"{result.stdout[-20000:]}\n--- end of the fuzzer's stderr ---\n{tail}")
    assert f"fuzzed {cases} cases" in result.stdout, result.stdout
