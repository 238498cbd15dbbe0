#!/usr/bin/env python3
"""The `vextral` command against the library call it wraps, side by side.

For one random float32 batch (20,000 x 768 by default, saved as .npy) it runs,
each in a fresh child process so that peak resident memory is the child's own:

  vextral quality     `vextral quality FILE --json`
  numpy + library     np.load(FILE) and one vextral_core.py_compute_quality_score call
  vextral drift       `vextral drift FILE OTHER --json` (OTHER: a second batch of the same shape)
  numpy + library     np.load of both and one vextral_core.py_detect_drift call

and prints wall time and peak RSS of each, the ratios command / library, and
peak RSS over the file's size. Both sides give the same bits (checked).
With --no-numpy the command runs with NumPy hidden, reading the file through
its own memory-mapped reader.

    python bench/cli_bench.py                       # 20,000 x 768, best of 1
    python bench/cli_bench.py --rows 5000 --dim 384 --repeat 3 --threads 1
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np

LIBRARY_QUALITY = """
import sys, numpy as np, vextral_core
print(repr(vextral_core.py_compute_quality_score(np.load(sys.argv[1]))))
"""
LIBRARY_DRIFT = """
import sys, numpy as np, vextral_core
print(repr(vextral_core.py_detect_drift(np.load(sys.argv[1]), np.load(sys.argv[2]))))
"""
# Makes `import numpy` fail in the child, to time the reader used without it.
HIDE_NUMPY = "import sys; sys.modules['numpy'] = None\n"


def run(command: list[str]) -> tuple[float, int, str]:
    """Wall seconds, peak RSS in bytes and standard output of one child process."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        started = time.perf_counter()
        child = subprocess.Popen(command, stdout=out, stderr=err, text=True)
        # wait4 gives this child's own peak, not the largest of all children.
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - started
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        if child.returncode != 0:
            raise SystemExit(f"{' '.join(command)} failed:\n{err.read()}")
        return elapsed, usage.ru_maxrss * 1024, out.read()


def best(command: list[str], repeat: int) -> tuple[float, int, str]:
    results = [run(command) for _ in range(repeat)]
    return min(r[0] for r in results), min(r[1] for r in results), results[0][2]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--threads", type=int, default=None, help="passed to vextral --threads")
    parser.add_argument("--no-numpy", action="store_true", help="run the command with NumPy hidden")
    parser.add_argument("--skip-drift", action="store_true")
    options = parser.parse_args()

    python = sys.executable
    vextral = [python, "-c", (HIDE_NUMPY if options.no_numpy else "")
               + "import sys; from vextral.cli import main; sys.exit(main())"]
    threads = [] if options.threads is None else ["--threads", str(options.threads)]
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as folder:
        first, second = Path(folder) / "a.npy", Path(folder) / "b.npy"
        np.save(first, (rng.standard_normal((options.rows, options.dim)) + 0.5).astype(np.float32))
        np.save(second, (rng.standard_normal((options.rows, options.dim)) + 0.3).astype(np.float32))
        size = first.stat().st_size

        cases = [
            ("quality", [*vextral, "quality", str(first), "--json", *threads],
             [python, "-c", LIBRARY_QUALITY, str(first)], "quality_score"),
        ]
        if not options.skip_drift:
            cases.append(("drift", [*vextral, "drift", str(first), str(second), "--json", *threads],
                          [python, "-c", LIBRARY_DRIFT, str(first), str(second)], "drift"))
        print(f"{options.rows} x {options.dim} float32, file {size / 1e6:.1f} MB; "
              f"NumPy {'hidden from' if options.no_numpy else 'available to'} the command; "
              f"threads {options.threads or 'default'}; best of {options.repeat}")
        print(f"{'case':<28}{'seconds':>9}{'peak MB':>10}{'peak/file':>11}")
        for name, command, library, key in cases:
            lib_time, lib_rss, lib_out = best(library, options.repeat)
            cmd_time, cmd_rss, cmd_out = best(command, options.repeat)
            same = json.loads(cmd_out)[key] == float(lib_out)
            print(f"{'numpy + library ' + name:<28}{lib_time:>9.2f}{lib_rss / 1e6:>10.1f}{lib_rss / size:>11.2f}")
            print(f"{'vextral ' + name:<28}{cmd_time:>9.2f}{cmd_rss / 1e6:>10.1f}{cmd_rss / size:>11.2f}")
            print(textwrap.indent(f"ratio: time {cmd_time / lib_time:.3f}x, peak memory {cmd_rss / lib_rss:.3f}x; "
                                  f"same bits: {same}", "  "))


if __name__ == "__main__":
    main()
