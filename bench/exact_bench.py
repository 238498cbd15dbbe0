#!/usr/bin/env python3
"""The exact measures of the vextral package beside the library's float32 ones: accuracy
against float64 NumPy, and speed, each comparison measured side by side in one run.

  --accuracy   isotropy, coverage, distinctiveness, quality score and drift of n rows of
               d = 128 values drawn N(0.5, 1) (drift to a batch drawn N(0.8, 1)), for
               n = 2000, 8000, 16000, 24000: the largest difference from the same formulas
               evaluated in float64 NumPy (row-normalised float64 Gram matrix, taken in row
               blocks), for vextral.measure and for vextral_core's functions.
  --speed      one thread: vextral.measure against py_compute_quality_score at 2000 x 768
               and 20,000 x 64; vextral.measure with two threads against one. Best of
               several runs, the contenders interleaved.
  --before DIR the library's single-thread cost now (the vextral_core installed, or --after
               DIR) against a build of it from before its float64 shadow sums (DIR holds
               vextral_core.abi3.so, e.g. a CMake build of an older commit): each batch
               function, the two builds loaded side by side in this process and called in
               turn.

    python bench/exact_bench.py --accuracy --speed
    python bench/exact_bench.py --before /path/to/old/build --after build/tests
"""

from __future__ import annotations

import argparse
import os
import platform
import time
import warnings

for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")
os.environ["VEXTRAL_NUM_THREADS"] = "1"

import numpy as np  # noqa: E402

import vextral  # noqa: E402
import vextral_core as v  # noqa: E402

MEASURES = ("isotropy", "coverage", "distinctiveness", "quality_score")


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}"


def float64_measures(x: np.ndarray, block: int = 2000) -> dict[str, float]:
    """The measures' formulas in float64 NumPy."""
    x64 = x.astype(np.float64)
    n, d = x64.shape
    norms = np.sqrt((x64 * x64).sum(axis=1))
    unit = x64 / np.where(norms > 0, norms, 1.0)[:, None]
    absolute = plain = squares = 0.0
    for start in range(0, n, block):
        gram = unit[start:start + block] @ unit.T
        rows = np.arange(start, min(start + block, n))[:, None]
        upper = gram[np.arange(n)[None, :] > rows]
        absolute += np.abs(upper).sum()
        plain += upper.sum()
        squares += (upper * upper).sum()
    pairs = n * (n - 1) / 2
    isotropy = max(1 - min(absolute / pairs, 1.0), 0.0)
    mean = plain / pairs
    spread = np.sqrt(max(squares / pairs - mean * mean, 0.0))
    distinctiveness = max(min((1 - abs(mean)) * (1 + spread), 1.0), 0.0)
    variance = x64.var(axis=0).mean()
    coverage = variance / (variance + 1)
    score = min(max(0.4 * isotropy + 0.3 * coverage + 0.3 * distinctiveness, 0.0), 1.0)
    return dict(zip(MEASURES, (isotropy, coverage, distinctiveness, score)))


def float64_drift(a: dict[str, float], b: dict[str, float]) -> float:
    return sum(abs(a[m] - b[m]) / (a[m] + 1) for m in MEASURES[:3]) / 3


def accuracy() -> None:
    print(f"== accuracy against float64 NumPy, d = 128 ({machine()})")
    print(f"{'rows':>6}  {'measure':<16}{'float64':>12}{'exact':>12}{'library':>12}"
          f"{'|exact - f64|':>16}{'|library - f64|':>17}")
    rng = np.random.default_rng(21)
    worst = {"exact": 0.0, "library": 0.0}
    for n in (2000, 8000, 16000, 24000):
        x = rng.normal(0.5, 1.0, (n, 128)).astype(np.float32)
        y = rng.normal(0.8, 1.0, (n, 128)).astype(np.float32)
        reference, reference_y = float64_measures(x), float64_measures(y)
        exact = vextral.drift(x, y, threads=0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            library = vextral.drift(x, y, threads=0, library_bits=True)
        rows = [(m, reference[m], getattr(exact.baseline, m), getattr(library.baseline, m)) for m in MEASURES]
        rows.append(("drift", float64_drift(reference, reference_y), exact.drift, library.drift))
        for name, f64, ex, lib in rows:
            worst["exact"] = max(worst["exact"], abs(ex - f64))
            worst["library"] = max(worst["library"], abs(lib - f64))
            print(f"{n:>6}  {name:<16}{f64:>12.6f}{ex:>12.6f}{lib:>12.6f}{abs(ex - f64):>16.2e}{abs(lib - f64):>17.2e}")
    print(f"largest difference: exact {worst['exact']:.2e}, library {worst['library']:.2e}\n")


def best_times(contenders: dict, rounds: int) -> dict[str, float]:
    best = {name: float("inf") for name in contenders}
    for _ in range(rounds):
        for name, call in contenders.items():
            start = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def speed() -> None:
    print(f"== speed, best of interleaved runs ({machine()})")
    rng = np.random.default_rng(22)
    for n, d, rounds in ((2000, 768, 15), (20000, 64, 5)):
        x = rng.standard_normal((n, d)).astype(np.float32)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            times = best_times({
                "library quality score, 1 thread": lambda: v.py_compute_quality_score(x),
                "vextral.measure, 1 thread": lambda: vextral.measure(x, threads=1),
                "vextral.measure, 2 threads": lambda: vextral.measure(x, threads=2),
            }, rounds)
        for name, seconds in times.items():
            print(f"{n} x {d}  {name:<34}{seconds * 1000:>10.1f} ms")
        one = times["vextral.measure, 1 thread"]
        print(f"{n} x {d}  measure / library (1 thread): {one / times['library quality score, 1 thread']:.3f}x;"
              f"  measure 1 / 2 threads: {one / times['vextral.measure, 2 threads']:.2f}x\n")


def load_build(directory: str):
    """The vextral_core built in `directory`, loaded beside the one imported above (each
    extension file has its own process-wide state)."""
    import importlib.util
    path = os.path.join(os.path.abspath(directory), "vextral_core.abi3.so")
    spec = importlib.util.spec_from_file_location("vextral_core", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def before_and_after(before: str, after: str | None, rounds: int = 25) -> None:
    print(f"== the library's single-thread cost with its float64 shadow sums, 2000 x 768 ({machine()})")
    builds = {"before": load_build(before), "after": load_build(after) if after else v}
    x = np.random.default_rng(23).standard_normal((2000, 768)).astype(np.float32)
    for name in ("py_compute_isotropy", "py_compute_coverage", "py_compute_distinctiveness",
                 "py_compute_quality_score", "py_detect_drift"):
        arguments = (x, x) if name == "py_detect_drift" else (x,)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            best = best_times({label: (lambda f=getattr(module, name): f(*arguments))
                               for label, module in builds.items()}, rounds)
        print(f"{name:<28} before {best['before'] * 1000:8.2f} ms  after {best['after'] * 1000:8.2f} ms"
              f"  after / before {best['after'] / best['before']:.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--accuracy", action="store_true")
    parser.add_argument("--speed", action="store_true")
    parser.add_argument("--before", metavar="DIR")
    parser.add_argument("--after", metavar="DIR")
    arguments = parser.parse_args()
    if not (arguments.accuracy or arguments.speed or arguments.before):
        arguments.accuracy = arguments.speed = True
    if arguments.accuracy:
        accuracy()
    if arguments.speed:
        speed()
    if arguments.before:
        before_and_after(arguments.before, arguments.after)


if __name__ == "__main__":
    main()
