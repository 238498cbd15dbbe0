#!/usr/bin/env python3
"""Side-by-side timings of the embedding measures, in one process, on the same data.

For every shape (n rows of d float32 values, normal with mean 1) it times:

  module list    vextral_core with a list of lists (conversion included)
  module numpy   vextral_core with a float32 NumPy array (conversion included)
  reference      the in-repo scalar reference kernels (libvextral_reference, via ctypes)
  numpy peer     isotropy and distinctiveness written with a float32 matrix product,
                 as a NumPy user would (not bit-exact: BLAS reassociates and fuses)

and prints the best time of several runs, multiply-adds per second counted as
n(n - 1)/2 * d per pass over the pairs (the same count for every contender,
though the matrix product does twice that work), and ratios. A memory case
(20,000 x 64 by default) reports the growth of peak resident memory over the
input for each call, each measured in a fresh child process, a conversion
case reports nanoseconds per element for list and NumPy input, an input
case (2000 x 768) times every accepted input kind relative to NumPy, and
a threads case times each measure with VEXTRAL_NUM_THREADS=1 and =2 (NumPy
input) and prints the ratio; with kernel_bench built it also prints the
single-thread pair kernel of each vector path against the register-only ceiling loop
of its width, from the same run.

Everything but the threads case runs single-threaded: the BLAS thread count is
pinned to 1 unless already set, and VEXTRAL_NUM_THREADS to 1. Build the reference library first, for example

    cmake -S . -B build-bench -DPython_EXECUTABLE=$(pwd)/.venv/bin/python -DVEXTRAL_BUILD_TESTS=OFF
    cmake --build build-bench --target vextral_reference

and install the module into the interpreter that runs this script. Examples:

    python bench/compare.py                          # everything (a few minutes)
    python bench/compare.py --shapes 2000x768        # one shape, no extra cases
    python bench/compare.py --shapes 1000x384,2000x768 --memory --conversion
    python bench/compare.py --threads                # 1 vs 2 threads, and the ceiling
    python bench/compare.py --inputs                 # memory maps, Arrow, DLPack, buffer rows
"""

from __future__ import annotations

import argparse
import ctypes
import glob
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

# The comparison is single-threaded (the threads case sets its own count). Must
# precede the NumPy import.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")
os.environ["VEXTRAL_NUM_THREADS"] = "1"

import numpy as np  # noqa: E402

import vextral_core  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
DEFAULT_SHAPES = [(n, d) for n in (1000, 2000, 4000) for d in (384, 768)]
MEMORY_SHAPE = (20000, 64)
CONVERSION_SHAPE = (10000, 768)
INPUTS_SHAPE = (2000, 768)
SEED = 20240611


# --- the contenders ----------------------------------------------------------


def find_reference_library(explicit: str | None) -> Path | None:
    if explicit:
        return Path(explicit)
    if os.environ.get("VEXTRAL_REFERENCE_LIB"):
        return Path(os.environ["VEXTRAL_REFERENCE_LIB"])
    found = sorted(glob.glob(str(REPO / "build*" / "libvextral_reference.so")),
                   key=os.path.getmtime, reverse=True)
    return Path(found[0]) if found else None


class Reference:
    """The scalar reference kernels of the repository, behind a C interface."""

    def __init__(self, path: Path):
        self.library = ctypes.CDLL(str(path))
        for name in ("vextral_reference_isotropy", "vextral_reference_distinctiveness"):
            function = getattr(self.library, name)
            function.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]
            function.restype = ctypes.c_float

    def isotropy(self, x: np.ndarray) -> float:
        return self.library.vextral_reference_isotropy(x.ctypes.data, x.shape[0], x.shape[1])

    def distinctiveness(self, x: np.ndarray) -> float:
        return self.library.vextral_reference_distinctiveness(x.ctypes.data, x.shape[0], x.shape[1])


def numpy_similarities(x: np.ndarray) -> np.ndarray:
    """The upper triangle of the cosine-similarity matrix, in pair order."""
    norms = np.sqrt(np.einsum("ij,ij->i", x, x, dtype=np.float32))
    normalised = x / np.where(norms > 0, norms, np.float32(1))[:, None]
    products = normalised @ normalised.T
    return products[np.triu_indices(x.shape[0], k=1)]


def numpy_isotropy(x: np.ndarray) -> float:
    mean = np.abs(numpy_similarities(x)).mean(dtype=np.float32)
    return float(max(1 - min(mean, 1), 0))


def numpy_distinctiveness(x: np.ndarray) -> float:
    similarities = numpy_similarities(x)
    mean = similarities.mean(dtype=np.float32)
    spread = similarities.std(dtype=np.float32)
    return float(max(min((1 - abs(mean)) * (1 + spread), 1), 0))


# --- measuring ---------------------------------------------------------------


def best_time(call, repeats: int) -> tuple[float, float]:
    """The best wall time of `repeats` calls, and the last result."""
    best = float("inf")
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def mul_adds(n: int, d: int) -> float:
    return n * (n - 1) / 2 * d


def random_batch(n: int, d: int) -> np.ndarray:
    # Rows around a common direction (mean 1, spread 1): neither isotropy nor
    # distinctiveness is clamped, so the bit-for-bit comparison means something.
    x = np.random.default_rng(SEED).standard_normal((n, d), dtype=np.float32)
    return x + np.float32(1)


def print_environment(reference_path: Path | None) -> None:
    print(f"python {platform.python_version()}, numpy {np.__version__}, {platform.machine()}, "
          f"{os.cpu_count()} cpus")
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((line.split(":", 1)[1].strip() for line in cpuinfo
                          if line.startswith("model name")), "unknown")
        print(f"cpu: {model}")
    except OSError:
        pass
    threads = ", ".join(f"{v}={os.environ[v]}" for v in
                        ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"))
    print(f"threads: {threads}")
    tuning = {v: os.environ[v] for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if v in os.environ}
    if tuning:
        print(f"note: {tuning} is set; it can select a slower OpenBLAS kernel and slow the "
              "numpy peer down. Unset it for a fair peer timing.")
    print(f"reference library: {reference_path if reference_path else 'not found (skipped)'}")
    print()


def compare_shape(n: int, d: int, reference: Reference | None, repeats: int,
                  numpy_peer: bool) -> dict:
    x = random_batch(n, d)
    rows = x.tolist()
    work = mul_adds(n, d)
    print(f"n={n} d={d}: {work / 1e9:.3f} G multiply-adds per pass over the pairs")
    print(f"  {'measure':<16} {'input':<13} {'time ms':>10} {'G mul-add/s':>12} "
          f"{'x reference':>12}  result")

    measures = {
        "isotropy": (vextral_core.py_compute_isotropy,
                     reference.isotropy if reference else None, numpy_isotropy),
        "distinctiveness": (vextral_core.py_compute_distinctiveness,
                            reference.distinctiveness if reference else None,
                            numpy_distinctiveness),
        "quality score": (vextral_core.py_compute_quality_score, None, None),
    }
    timings: dict[str, dict[str, float]] = {}
    for measure, (module_call, reference_call, peer_call) in measures.items():
        rows_of_results = []
        reference_time = reference_value = None
        if reference_call is not None:
            reference_time, reference_value = best_time(lambda: reference_call(x), 1)
            rows_of_results.append(("reference", reference_time, reference_value))
        rows_of_results.append(("module list", *best_time(lambda: module_call(rows), repeats)))
        rows_of_results.append(("module numpy", *best_time(lambda: module_call(x), repeats)))
        if peer_call is not None and numpy_peer:
            rows_of_results.append(("numpy peer", *best_time(lambda: peer_call(x), repeats)))

        timings[measure] = {}
        for contender, seconds, value in rows_of_results:
            timings[measure][contender] = seconds
            speedup = f"{reference_time / seconds:11.1f}x" if reference_time else f"{'':>12}"
            if reference_value is None or contender == "reference":
                agreement = ""
            elif contender == "numpy peer":
                agreement = f"(differs by {abs(value - reference_value):.2e})"
            else:
                agreement = "(bit-exact)" if value == reference_value else "(DIFFERS from reference)"
            print(f"  {measure:<16} {contender:<13} {seconds * 1e3:10.1f} "
                  f"{work / seconds / 1e9:12.2f} {speedup}  {value!r} {agreement}")

    iso, quality = timings["isotropy"], timings["quality score"]
    for contender in ("module list", "module numpy"):
        print(f"  quality score / isotropy time, {contender}: "
              f"{quality[contender] / iso[contender]:.2f}")
    if "numpy peer" in iso:
        print(f"  numpy peer / module numpy time: isotropy "
              f"{iso['numpy peer'] / iso['module numpy']:.2f}, distinctiveness "
              f"{timings['distinctiveness']['numpy peer'] / timings['distinctiveness']['module numpy']:.2f}")
    print()
    return timings


# --- memory: one call per child process --------------------------------------


def resident_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def memory_child(function: str, kind: str, n: int, d: int, reference_path: str | None) -> None:
    """Runs one call and prints the peak resident growth over the input as JSON."""
    x = random_batch(n, d)
    data = x.tolist() if kind == "list" else x
    if function == "reference distinctiveness":
        reference = Reference(Path(reference_path))
        call = lambda: reference.distinctiveness(x)  # noqa: E731
    else:
        call = lambda: getattr(vextral_core, function)(data)  # noqa: E731
    before = resident_kib("VmRSS")
    try:
        # Resets the peak (VmHWM) to the current resident size.
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        method = "VmHWM reset"
    except OSError:
        method = "ru_maxrss"
    peak_before = resident_kib("VmHWM")
    start = time.perf_counter()
    value = call()
    seconds = time.perf_counter() - start
    peak = resident_kib("VmHWM")
    # Without the reset a peak set while building the input hides a smaller
    # one during the call: the growth is then only known to be at most this.
    growth = (peak - before) if method == "VmHWM reset" or peak > peak_before else \
        (peak_before - before)
    print(json.dumps({"growth_mb": growth * 1024 / 1e6, "input_mb": before * 1024 / 1e6,
                      "seconds": seconds, "value": value,
                      "method": method if method == "VmHWM reset" or peak > peak_before
                      else "at most (no reset)"}))


def compare_memory(n: int, d: int, reference_path: Path | None) -> None:
    pairs = n * (n - 1) // 2
    print(f"memory n={n} d={d}: {pairs} pairs; a list of every similarity would take "
          f"{pairs * 4 / 1e6:.0f} MB")
    cases = [("py_compute_distinctiveness", "numpy"), ("py_compute_distinctiveness", "list"),
             ("py_compute_isotropy", "numpy"), ("py_compute_quality_score", "numpy")]
    if reference_path:
        cases.append(("reference distinctiveness", "numpy"))
    print(f"  {'call':<28} {'input':<6} {'peak growth MB':>15} {'resident before MB':>19} "
          f"{'time s':>8}  result")
    for function, kind in cases:
        completed = subprocess.run(
            [sys.executable, __file__, "--memory-child", function, kind, str(n), str(d),
             str(reference_path or "")], capture_output=True, text=True, check=True)
        report = json.loads(completed.stdout.strip().splitlines()[-1])
        print(f"  {function:<28} {kind:<6} {report['growth_mb']:15.1f} {report['input_mb']:19.1f} "
              f"{report['seconds']:8.2f}  {report['value']!r} ({report['method']})")
    print("  (the numpy peer is left out here: its n x n similarity matrix alone takes "
          f"{n * n * 4 / 1e9:.1f} GB)")
    print()


# --- conversion ----------------------------------------------------------------


def compare_conversion(n: int, d: int, repeats: int) -> None:
    """Coverage is O(n * d) and cheap, so its time is mostly conversion."""
    x = random_batch(n, d)
    rows = x.tolist()
    elements = n * d
    print(f"conversion n={n} d={d} (py_compute_coverage, whose own arithmetic is a small part)")
    for kind, data in (("list", rows), ("numpy", x)):
        seconds, _ = best_time(lambda: vextral_core.py_compute_coverage(data), repeats)
        print(f"  {kind:<6} {seconds * 1e3:8.1f} ms  {seconds / elements * 1e9:6.2f} ns per element")
    print()


# --- threads -------------------------------------------------------------------

THREAD_SHAPES = [(2000, 768), (4000, 384), (20000, 64)]


def find_kernel_bench(explicit: str | None) -> Path | None:
    if explicit:
        return Path(explicit)
    found = sorted(glob.glob(str(REPO / "build*" / "kernel_bench"))
                   + glob.glob(str(REPO / "build*" / "*" / "kernel_bench")),
                   key=os.path.getmtime, reverse=True)
    return Path(found[0]) if found else None


def load_average() -> str:
    """The one-minute load average, printed beside every timing of the threads case."""
    return f"{os.getloadavg()[0]:.1f}" if hasattr(os, "getloadavg") else "n/a"


def compare_ceiling(kernel_bench: Path, repetitions: int = 10) -> None:
    """The single-thread pair kernel of each vector path against its own ceiling loop."""
    # Short runs, interleaved at random and repeated, best of each: on a shared
    # machine a long single run of either side may fall into a slow stretch
    # (another process on the core, a lower clock) that the other side misses.
    completed = subprocess.run(
        [str(kernel_bench), "--benchmark_format=json", "--benchmark_min_time=0.05",
         f"--benchmark_repetitions={repetitions}", "--benchmark_enable_random_interleaving=true",
         "--benchmark_filter=^(Ceiling/[a-z0-9]+|PairKernel/[a-z0-9]+/n:(2000/d:768|4000/d:384|20000/d:64))$"],
        capture_output=True, text=True, check=True)
    # Processor time, not wall time, on both sides: comparable on a busy machine.
    rates: dict[str, float] = {}
    for entry in json.loads(completed.stdout)["benchmarks"]:
        if entry.get("run_type", "iteration") != "iteration":
            continue
        name = entry.get("run_name", entry["name"])
        rates[name] = max(rates.get(name, 0.0), entry["mul_adds"])
    ceilings = {name.split("/")[1]: rate for name, rate in rates.items() if name.startswith("Ceiling/")}
    print("pair kernel, one thread, against the unfused register-only ceiling loop of its vector width "
          f"(kernel_bench, processor time, best of {repetitions} interleaved runs; "
          f"load average {load_average()})")
    if not ceilings:
        print("  no AVX2 on this processor: no ceiling")
        return
    for path, ceiling in sorted(ceilings.items()):
        print(f"  ceiling loop {path:<8} {ceiling / 1e9:8.2f} G mul-add/s")
    for name, rate in sorted(rates.items()):
        if name.startswith("Ceiling/"):
            continue
        path = name.split("/")[1]
        share = f"{rate / ceilings[path] * 100:5.1f} % of the {path} ceiling" if path in ceilings else "(no ceiling)"
        print(f"  {name:<42} {rate / 1e9:8.2f} G mul-add/s  {share}")
    print()


def compare_threads(repeats: int) -> None:
    print("threads: VEXTRAL_NUM_THREADS=1 against =2, NumPy input (times in ms, best of "
          f"{repeats}; cores available: {len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') else os.cpu_count()})")
    print(f"  {'measure':<16} {'n x d':<11} {'1 thread':>10} {'2 threads':>10} {'ratio':>7}  bits load (before-after)")
    saved = os.environ.get("VEXTRAL_NUM_THREADS")
    try:
        for n, d in THREAD_SHAPES:
            x = random_batch(n, d)
            y = x[::-1].copy() * np.float32(0.5) + np.float32(0.25)
            calls = {
                "isotropy": lambda: vextral_core.py_compute_isotropy(x),
                "distinctiveness": lambda: vextral_core.py_compute_distinctiveness(x),
                "quality score": lambda: vextral_core.py_compute_quality_score(x),
                "drift": lambda: vextral_core.py_detect_drift(x, y),
            }
            for measure, call in calls.items():
                # 1 and 2 threads alternate, call by call, so that a busy stretch
                # of the machine slows both sides alike; best of each.
                best = {"1": float("inf"), "2": float("inf")}
                values = {}
                load_before = load_average()
                for _ in range(repeats):
                    for threads in ("1", "2"):
                        os.environ["VEXTRAL_NUM_THREADS"] = threads
                        seconds, values[threads] = best_time(call, 1)
                        best[threads] = min(best[threads], seconds)
                one, two = best["1"], best["2"]
                print(f"  {measure:<16} {f'{n}x{d}':<11} {one * 1e3:10.1f} {two * 1e3:10.1f} "
                      f"{one / two:6.2f}x  {'same' if values['1'] == values['2'] else 'DIFF':<4} "
                      f"{load_before}-{load_average()}")
    finally:
        if saved is None:
            os.environ.pop("VEXTRAL_NUM_THREADS", None)
        else:
            os.environ["VEXTRAL_NUM_THREADS"] = saved

# --- input kinds ---------------------------------------------------------------


class DLPackRows:
    """A DLPack producer standing in for a PyTorch tensor (NumPy's export)."""

    def __init__(self, array):
        self.array = array

    def __dlpack__(self, stream=None, **keywords):
        return self.array.__dlpack__(**keywords)

    def __dlpack_device__(self):
        return (1, 0)

    def __len__(self):
        return len(self.array)

    def __getitem__(self, index):
        return self.array[index]


def input_kinds(x: np.ndarray, folder: Path) -> dict:
    """The same batch held as real pipelines hold it; absent libraries are skipped."""
    import array

    path = folder / "batch.npy"
    np.save(path, x)
    kinds = {"numpy float32 C": x, "np.load(mmap_mode='r')": np.load(path, mmap_mode="r"),
             "numpy float64": x.astype(np.float64), "numpy strided view": np.repeat(x, 2, axis=1)[:, ::2]}
    try:
        import pyarrow as pa
        fixed = pa.FixedSizeListArray.from_arrays(pa.array(x.ravel()), x.shape[1])
        quarter = len(fixed) // 4
        kinds["pyarrow FixedSizeList"] = fixed
        kinds["pyarrow Chunked (4)"] = pa.chunked_array(
            [fixed[i * quarter:(i + 1) * quarter] for i in range(3)] + [fixed[3 * quarter:]])
        kinds["pyarrow List"] = pa.array(list(x), type=pa.list_(pa.float32()))
        kinds["pyarrow LargeList"] = pa.array(list(x), type=pa.large_list(pa.float32()))
    except ImportError:
        print("  (pyarrow not installed: Arrow kinds skipped)")
    kinds["DLPack producer"] = DLPackRows(x)
    try:
        import torch
        kinds["torch CPU tensor"] = torch.from_numpy(x)
    except ImportError:
        print("  (torch not installed: DLPack producer stands in)")
    kinds["list of array('f')"] = [array.array("f", row) for row in x]
    kinds["list of memoryview"] = [memoryview(row) for row in x]
    kinds["list of ndarray rows"] = list(x)
    kinds["list of lists"] = x.tolist()
    return kinds


def compare_input_kinds(n: int, d: int, repeats: int) -> None:
    """Every input kind relative to a float32 C-contiguous NumPy array, in one run."""
    import tempfile

    x = random_batch(n, d)
    print(f"input kinds n={n} d={d}: time relative to a float32 C-contiguous NumPy array")
    print(f"  {'input':<26} {'isotropy ms':>12} {'x numpy':>8} {'quality ms':>11} {'x numpy':>8}"
          f" {'coverage ms':>12} {'x numpy':>8}  results")
    calls = (vextral_core.py_compute_isotropy, vextral_core.py_compute_quality_score,
             vextral_core.py_compute_coverage)
    with tempfile.TemporaryDirectory() as folder:
        kinds = input_kinds(x, Path(folder))
        baseline = None
        for kind, data in kinds.items():
            timings = [best_time(lambda: call(data), repeats) for call in calls]
            if baseline is None:
                baseline = timings
            cells = " ".join(f"{seconds * 1e3:12.1f} {seconds / base[0]:7.2f}x"
                             for (seconds, _), base in zip(timings, baseline))
            same = all(value == base[1] for (_, value), base in zip(timings, baseline))
            print(f"  {kind:<26} {cells}  {'bit-identical' if same else 'DIFFER'}")
        del kinds  # the memory map is closed before its folder goes
    print()


# --- command line --------------------------------------------------------------


def parse_shapes(text: str) -> list[tuple[int, int]]:
    shapes = []
    for item in text.split(","):
        n, d = item.lower().split("x")
        shapes.append((int(n), int(d)))
    return shapes


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--memory-child":
        function, kind, n, d, reference_path = sys.argv[2:7]
        memory_child(function, kind, int(n), int(d), reference_path or None)
        return

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shapes", type=parse_shapes,
                        help="comma-separated NxD shapes (default: 1000, 2000, 4000 x 384, 768); "
                             "naming shapes leaves out the memory and conversion cases unless "
                             "they are asked for")
    parser.add_argument("--memory", action="store_true", help="run the memory case")
    parser.add_argument("--memory-shape", type=lambda t: parse_shapes(t)[0],
                        default=MEMORY_SHAPE, help="NxD of the memory case (default 20000x64)")
    parser.add_argument("--conversion", action="store_true", help="run the conversion case")
    parser.add_argument("--threads", action="store_true",
                        help="run the threads case (1 vs 2 threads) and the ceiling comparison")
    parser.add_argument("--kernel-bench", help="path to kernel_bench, for the ceiling comparison")
    parser.add_argument("--inputs", action="store_true",
                        help="run the input-kind case (memory maps, Arrow, DLPack, buffer rows)")
    parser.add_argument("--inputs-shape", type=lambda t: parse_shapes(t)[0], default=INPUTS_SHAPE,
                        help="NxD of the input-kind case (default 2000x768)")
    parser.add_argument("--repeats", type=int, default=3,
                        help="runs per timing, best kept (default 3; the reference runs once)")
    parser.add_argument("--reference-lib", help="path to libvextral_reference.so")
    parser.add_argument("--no-reference", action="store_true", help="skip the scalar reference")
    parser.add_argument("--no-numpy-peer", action="store_true", help="skip the numpy peer")
    args = parser.parse_args()

    everything = args.shapes is None and not args.memory and not args.conversion \
        and not args.threads and not args.inputs
    shapes = DEFAULT_SHAPES if args.shapes is None else args.shapes
    if args.shapes is None and (args.memory or args.conversion or args.threads or args.inputs):
        shapes = []

    reference_path = None if args.no_reference else find_reference_library(args.reference_lib)
    reference = Reference(reference_path) if reference_path else None
    print_environment(reference_path)

    for n, d in shapes:
        compare_shape(n, d, reference, args.repeats, not args.no_numpy_peer)
    if everything or args.conversion:
        compare_conversion(*CONVERSION_SHAPE, args.repeats)
    if everything or args.memory:
        compare_memory(*args.memory_shape, reference_path)
    if everything or args.threads:
        compare_threads(args.repeats)
        kernel_bench = find_kernel_bench(args.kernel_bench)
        if kernel_bench:
            compare_ceiling(kernel_bench)
        else:
            print("kernel_bench not found: no ceiling comparison (build it with the project)")
    if everything or args.inputs:
        compare_input_kinds(*args.inputs_shape, args.repeats)


if __name__ == "__main__":
    main()
