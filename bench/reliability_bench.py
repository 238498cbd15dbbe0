#!/usr/bin/env python3
"""Costs of hostile inputs, measured side by side in one run.

retrieval   py_compute_retrieval_metrics on n random identifiers and on n
            identifiers crafted to collide in an identifier table with a fixed,
            invertible hash (found by inverting the MurmurHash3 finaliser, so
            that all of them land in slot 0 of any table up to 2^20 slots).
            Both lists are built the same way: `retrieved` holds the n
            identifiers, `relevant` every second one plus as many absent
            ones. Prints the best of several calls (conversion included) and
            the ratio crafted / random.

trec        vextral.evaluate_run on a run and qrels whose n document ids (one
            query) or n query ids (one document each) are random or all share
            one std::hash value (bench/colliding_ids.py); the qrels judge
            every second id plus n / 2 ids the run lacks. Prints the best of
            several calls (reading both files included) and the ratio
            crafted / random.

memory      growth of peak resident memory over the input during one call of
            py_compute_isotropy on a float32 NumPy array, each shape in a
            fresh child process: by default 2 x 10,000,000 (a few long rows)
            and 64 x 312,500 (the same number of values in more rows).

Install the module into the interpreter that runs this script. To compare
builds, run it once per build (for example with PYTHONPATH pointing at
another build's vextral_core.abi3.so). Examples:

    python bench/reliability_bench.py                     # everything
    python bench/reliability_bench.py --sizes 40000,160000 --no-memory
    python bench/reliability_bench.py --trec-sizes 131072 --no-retrieval --no-memory
    python bench/reliability_bench.py --memory-shapes 2x50000000
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from colliding_ids import colliding_texts, crafted_ids  # beside this script


def random_ids(count: int, rng: random.Random) -> list[int]:
    return [rng.getrandbits(64) for _ in range(count)]


def best_time(call, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def retrieval_case(sizes: list[int], repeats: int) -> None:
    import vextral_core as v

    rng = random.Random(2024)
    print("retrieval: best of %d calls, seconds (conversion included)" % repeats)
    print(f"{'ids':>9} {'random':>10} {'crafted':>10} {'ratio':>7}")
    for n in sizes:
        cases = {}
        for name, make in (("random", lambda k, o: random_ids(k, rng)),
                           ("crafted", crafted_ids)):
            retrieved = make(n, 0)
            relevant = retrieved[::2] + make(n // 2, n)
            cases[name] = (retrieved, relevant)
        # One call each first, so that a hostile case that takes too long
        # shows up before the repeats.
        times = {name: best_time(lambda r=r, q=q: v.py_compute_retrieval_metrics(r, q, 100), repeats)
                 for name, (r, q) in cases.items()}
        print(f"{n:>9} {times['random']:>10.5f} {times['crafted']:>10.5f} "
              f"{times['crafted'] / times['random']:>7.2f}", flush=True)


def random_texts(count: int, rng: random.Random, length: int = 32) -> list[str]:
    alphabet = [chr(c) for c in range(0x21, 0x7F)]
    return ["".join(rng.choices(alphabet, k=length)) for _ in range(count)]


def write_trec(folder: Path, retrieved: list[str], absent: list[str], shape: str) -> tuple[Path, Path]:
    """A run of `retrieved` (every second one relevant) and qrels that also judge `absent`."""
    run, qrels = folder / f"{shape}.run", folder / f"{shape}.qrels"
    if shape == "documents":
        run.write_text("".join(f"q Q0 {d} {r} {1.0 / (r + 1)!r} t\n" for r, d in enumerate(retrieved)))
        qrels.write_text("".join(f"q 0 {d} 1\n" for d in retrieved[::2] + absent))
    else:
        run.write_text("".join(f"{q} Q0 d 1 1.0 t\n" for q in retrieved))
        qrels.write_text("".join(f"{q} 0 d 1\n" for q in retrieved[::2] + absent))
    return run, qrels


def trec_case(sizes: list[int], repeats: int) -> None:
    import vextral

    rng = random.Random(2025)
    print("trec: vextral.evaluate_run, best of %d calls, seconds (reading the files included)" % repeats)
    print(f"{'shape':>10} {'ids':>9} {'random':>10} {'crafted':>10} {'ratio':>7}")
    with tempfile.TemporaryDirectory() as folder:
        for n in sizes:
            for shape in ("documents", "queries"):
                times = {}
                # The run holds n ids, the qrels n / 2 more.
                for name, ids in (("random", random_texts(n + n // 2, rng)),
                                  ("crafted", colliding_texts(n + n // 2))):
                    sub = Path(folder) / name
                    sub.mkdir(exist_ok=True)
                    run, qrels = write_trec(sub, ids[:n], ids[n:], shape)
                    times[name] = best_time(lambda: vextral.evaluate_run(run, qrels), repeats)
                print(f"{shape:>10} {n:>9} {times['random']:>10.4f} {times['crafted']:>10.4f} "
                      f"{times['crafted'] / times['random']:>7.2f}", flush=True)


MEMORY_CHILD = """
import json, resource, sys, time
import numpy as np
import vextral_core as v
rows, length = int(sys.argv[1]), int(sys.argv[2])
batch = np.random.default_rng(1).standard_normal((rows, length), dtype=np.float32) + 1
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
v.py_compute_isotropy(batch)
seconds = time.perf_counter() - start
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"input": batch.nbytes, "growth": (after - before) * 1024, "seconds": seconds}))
"""


def memory_case(shapes: list[tuple[int, int]]) -> None:
    print("memory: peak resident growth of one py_compute_isotropy call on a float32 array")
    print(f"{'shape':>14} {'input MiB':>10} {'growth MiB':>11} {'growth/input':>13} {'seconds':>8}")
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    for rows, length in shapes:
        child = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(rows), str(length)],
                               capture_output=True, text=True, env=env)
        shape = f"{rows}x{length}"
        if child.returncode != 0:
            print(f"{shape:>14} failed: {child.stderr.strip().splitlines()[-1:]}")
            continue
        report = json.loads(child.stdout)
        mib = 1 << 20
        print(f"{shape:>14} {report['input'] / mib:>10.1f} {report['growth'] / mib:>11.1f} "
              f"{report['growth'] / report['input']:>13.2f} {report['seconds']:>8.2f}", flush=True)


def shape_list(text: str) -> list[tuple[int, int]]:
    return [tuple(int(part) for part in item.split("x")) for item in text.split(",") if item]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,40000,160000",
                        help="identifier counts for the retrieval case (comma-separated)")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--memory-shapes", default="2x10000000,64x312500",
                        help="rows x length of the memory case (comma-separated)")
    parser.add_argument("--trec-sizes", default="131072",
                        help="ids in the run for the trec case (comma-separated)")
    parser.add_argument("--no-retrieval", action="store_true")
    parser.add_argument("--no-trec", action="store_true")
    parser.add_argument("--no-memory", action="store_true")
    args = parser.parse_args()
    print(f"# {platform.processor() or platform.machine()}, Python {platform.python_version()}, "
          f"{os.cpu_count()} CPUs")
    if not args.no_retrieval:
        retrieval_case([int(n) for n in args.sizes.split(",") if n], args.repeats)
    if not args.no_trec:
        trec_case([int(n) for n in args.trec_sizes.split(",") if n], args.repeats)
    if not args.no_memory:
        memory_case(shape_list(args.memory_shapes))


if __name__ == "__main__":
    main()
