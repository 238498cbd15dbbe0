"""The bounded run of the boundary fuzzer (tests/fuzz): a fixed seed and a
fixed number of cases, about a minute on a CI machine.

It runs in a fresh interpreter, with its standard error (the module's failure
reports, and each case's number) kept in a file; when the run fails, the end
of that file shows the last case started and any crash report.
"""
import os
import subprocess
import sys
from pathlib import Path

FUZZER = Path(__file__).resolve().parent.parent / "fuzz" / "fuzz_boundary.py"
SEED = "0"
# Under the sanitizers every call is about three times slower: fewer cases,
# the ones that follow those of the plain run.
if os.environ.get("VEXTRAL_UNDER_ASAN") == "1":
    FIRST, CASES = 150_000, 50_000
else:
    FIRST, CASES = 0, 150_000


def test_bounded_fuzz_run(tmp_path):
    stderr_file = tmp_path / "fuzz-stderr.txt"
    with open(stderr_file, "w") as stderr:
        result = subprocess.run(
            [sys.executable, str(FUZZER), "--seed", SEED, "--first", str(FIRST), "--cases", str(CASES),
             "--mark"],
            stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=1200,
        )
    if result.returncode != 0:
        tail = stderr_file.read_text(errors="replace")[-8000:]
        raise AssertionError(f"{result.stdout[-20000:]}\n--- end of the fuzzer's stderr ---\n{tail}")
    assert f"fuzzed {CASES} cases" in result.stdout, result.stdout
