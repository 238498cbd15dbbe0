#!/usr/bin/env python3
"""The `vextral` command against the library call it wraps, side by side.

For one random float32 batch (20,000 x 768 by default, saved as .npy) it runs,
each in a fresh child process:

  vextral quality     `vextral quality FILE --json`
  numpy + library     np.load(FILE) and one vextral_core.py_compute_quality_score call
  vextral drift       `vextral drift FILE OTHER --json` (OTHER: a second batch of the same shape)
  numpy + library     np.load of both and one vextral_core.py_detect_drift call

Memory is measured as the growth of the child's peak resident memory from
just before the file is opened: the modules (vextral, vextral_core and NumPy
unless hidden) are imported first, the peak is reset there
(/proc/self/clear_refs), and the growth is the peak at the end (VmHWM) minus
the resident memory at that point (VmRSS). Its ratio to the file's size is
the memory target ("peak within 1.2x of the file"); the absolute peak of the
process over the same stretch (VmHWM, interpreter and imports included) is
shown beside it. (ru_maxrss would not do: a child's counts the pages it
shared with this process when it was forked.) Both sides run with the same number of threads (--threads, default 1:
the library through VEXTRAL_NUM_THREADS) and give the same bits (checked).
With --no-numpy the command runs with NumPy hidden. Linux only (/proc).

    python bench/cli_bench.py                       # 20,000 x 768, best of 1
    python bench/cli_bench.py --rows 5000 --dim 384 --repeat 3 --threads 2
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

# Imports what the case needs, resets the peak, runs the case, and writes the growth of the
# peak and the peak itself (bytes) to the file named by VEXTRAL_BENCH_GROWTH.
MEASURED = """
import os, sys
{hide}import vextral_core, vextral.cli
{numpy}
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
{case}
sys.stdout.flush()
with open(os.environ["VEXTRAL_BENCH_GROWTH"], "w") as f:
    f.write(str(status("VmHWM:") - before) + " " + str(status("VmHWM:")))
"""
LIBRARY_QUALITY = "print(repr(vextral_core.py_compute_quality_score(numpy.load(sys.argv[1]))))"
LIBRARY_DRIFT = "print(repr(vextral_core.py_detect_drift(numpy.load(sys.argv[1]), numpy.load(sys.argv[2]))))"
COMMAND = "status_code = vextral.cli.main(sys.argv[1:])\nif status_code: sys.exit(status_code)"
# Makes `import numpy` fail in the child, to time the reader used without it.
HIDE_NUMPY = "sys.modules['numpy'] = None\n"


def script(case: str, *, hide_numpy: bool = False) -> str:
    return MEASURED.format(hide=HIDE_NUMPY if hide_numpy else "",
                           numpy="" if hide_numpy else "import numpy", case=case)


def run(command: list[str], threads: int) -> tuple[float, int, int, str]:
    """Wall seconds, peak RSS growth and absolute peak RSS in bytes, and standard output of one
    child process."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err, \
            tempfile.NamedTemporaryFile("r") as growth:
        environment = {**os.environ, "VEXTRAL_NUM_THREADS": str(threads), "VEXTRAL_BENCH_GROWTH": growth.name}
        started = time.perf_counter()
        child = subprocess.Popen(command, stdout=out, stderr=err, text=True, env=environment)
        _, status, _ = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - started
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        if child.returncode != 0:
            raise SystemExit(f"{' '.join(command)} failed:\n{err.read()}")
        grown, peak = (int(x) for x in growth.read().split())
        return elapsed, grown, peak, out.read()


def best(command: list[str], repeat: int, threads: int) -> tuple[float, int, int, str]:
    results = [run(command, threads) for _ in range(repeat)]
    return (min(r[0] for r in results), min(r[1] for r in results), min(r[2] for r in results),
            results[0][3])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--threads", type=int, default=1, help="threads of both sides (default 1)")
    parser.add_argument("--no-numpy", action="store_true", help="run the command with NumPy hidden")
    parser.add_argument("--skip-drift", action="store_true")
    options = parser.parse_args()

    python = sys.executable
    vextral = [python, "-c", script(COMMAND, hide_numpy=options.no_numpy)]
    threads = ["--threads", str(options.threads)]
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as folder:
        first, second = Path(folder) / "a.npy", Path(folder) / "b.npy"
        for path, shift in ((first, 0.5), (second, 0.3)):
            np.save(path, (rng.standard_normal((options.rows, options.dim)) + shift).astype(np.float32))
        size = first.stat().st_size

        cases = [
            ("quality", [*vextral, "quality", str(first), "--json", *threads],
             [python, "-c", script(LIBRARY_QUALITY), str(first)], "quality_score", size),
        ]
        if not options.skip_drift:
            cases.append(("drift", [*vextral, "drift", str(first), str(second), "--json", *threads],
                          [python, "-c", script(LIBRARY_DRIFT), str(first), str(second)], "drift", 2 * size))
        print(f"{options.rows} x {options.dim} float32, file {size / 1e6:.1f} MB; "
              f"NumPy {'hidden from' if options.no_numpy else 'available to'} the command; "
              f"threads {options.threads}; best of {options.repeat}; load average "
              f"{' '.join(f'{x:.1f}' for x in os.getloadavg())}")
        print(f"{'case':<28}{'seconds':>9}{'growth MB':>11}{'growth/files':>14}{'peak MB':>10}")
        for name, command, library, key, files in cases:
            lib_time, lib_growth, lib_rss, lib_out = best(library, options.repeat, options.threads)
            cmd_time, cmd_growth, cmd_rss, cmd_out = best(command, options.repeat, options.threads)
            same = json.loads(cmd_out)[key] == float(lib_out)
            for label, seconds, growth, rss in (("numpy + library ", lib_time, lib_growth, lib_rss),
                                                ("vextral ", cmd_time, cmd_growth, cmd_rss)):
                print(f"{label + name:<28}{seconds:>9.2f}{growth / 1e6:>11.1f}{growth / files:>14.2f}"
                      f"{rss / 1e6:>10.1f}")
            print(textwrap.indent(f"ratio: time {cmd_time / lib_time:.3f}x, peak growth "
                                  f"{cmd_growth / lib_growth:.3f}x; same bits: {same}", "  "))

if __name__ == "__main__":
    main()
