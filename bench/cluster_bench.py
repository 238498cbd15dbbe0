#!/usr/bin/env python3
"""The measures beyond one process, measured side by side in one run.

cluster     a batch of --rows x --dimension float32 rows in a .npy file,
            measured exactly by one process with 2 threads (the file memory-
            mapped) and by a local Dask cluster of 2 worker processes of one
            thread each, reading the file's row chunks themselves (as
            `vextral quality --workers 2` does); runs interleaved, best of
            --repeats, the cluster started beforehand. Checks the bits agree
            and prints the speed ratio, the scheduler's overhead per task
            (empty tasks on the same cluster), and the per-core rate of the
            block-pair tasks.

sampling    on the same batch, the sampled estimates for N pairs against all
            pairs: time, the error against the exact value and the reported
            standard error (over --seeds seeds), for N = 10^3 ... 10^6.

paper       from the rates measured above: 1,000,000 x 768 on 16 machines of
            16 cores, all pairs, and the number of pairs (and time) that the
            sampled estimate needs for a 95 % interval of +-0.001 on each
            measure of this batch.

    python bench/cluster_bench.py                          # 40,000 x 384
    python bench/cluster_bench.py --rows 20000 --repeats 2
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import tempfile
import time

import numpy as np
import vextral
from vextral import _native
from vextral.cluster import measure_dask
from vextral.embedding_files import ReadOptions
from vextral.scale_cli import rows_per_chunk
from vextral.shards import dask_embeddings

MEASURES = ("isotropy", "coverage", "distinctiveness", "quality_score")
ESTIMATED = ("isotropy", "distinctiveness", "quality_score")


def best_of(repeats: int, run):  # type: ignore[no-untyped-def]
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return min(times), result


def batch(rows: int, dimension: int):  # type: ignore[no-untyped-def]
    # Embedding-like: a shared direction plus noise, so no measure sits at a clamp.
    rng = np.random.default_rng(1)
    common = rng.standard_normal(dimension).astype(np.float32)
    return (rng.standard_normal((rows, dimension)).astype(np.float32) * np.float32(0.8) + common)


def cluster_section(path: str, x, repeats: int, workers: int):  # type: ignore[no-untyped-def]
    import dask
    import distributed
    print(f"== cluster: {x.shape[0]:,} x {x.shape[1]} float32, {workers} workers x 1 thread "
          f"against one process with {workers} threads (best of {repeats}, interleaved)")
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40) as cluster, \
            distributed.Client(cluster):
        chunk = rows_per_chunk(x.shape[0], x.shape[1], workers)
        embeddings = dask_embeddings(path, ReadOptions(), lambda rows, dimension: chunk)
        blocks = len(embeddings.data.chunks[0])
        one, cluster_times, results = [], [], {}
        for _ in range(repeats):
            start = time.perf_counter()
            results["one"] = vextral.measure(np.load(path, mmap_mode="r"), threads=workers)
            one.append(time.perf_counter() - start)
            start = time.perf_counter()
            results["cluster"] = measure_dask(embeddings.data)
            cluster_times.append(time.perf_counter() - start)
        on_cluster = {**results["cluster"].measures, "quality_score": results["cluster"].quality_score}
        same = all(getattr(results["one"], name) == on_cluster[name] for name in MEASURES)
        tasks = 400
        overhead, _ = best_of(3, lambda: dask.compute(*[dask.delayed(int, pure=False)(k) for k in range(tasks)]))
        pair_tasks = blocks * (blocks + 1) // 2
        print(f"  chunks of {chunk:,} rows: {blocks} blocks, {pair_tasks} block-pair tasks")
        print(f"  one process, {workers} threads   {min(one):8.3f} s")
        print(f"  cluster, {workers} x 1 thread     {min(cluster_times):8.3f} s   same bits: {same}")
        print(f"  speed ratio cluster / one process: {min(one) / min(cluster_times):.3f}x "
              f"(target >= 0.85x)")
        print(f"  scheduler overhead: {overhead / tasks * 1e3:.2f} ms per task ({tasks} empty tasks)")
    pairs = x.shape[0] * (x.shape[0] - 1) / 2
    return pairs * x.shape[1] / (min(cluster_times) * workers)


def sampling_section(x, exact, seeds: int, threads: int):  # type: ignore[no-untyped-def]
    n = x.shape[0]
    print(f"== sampling: N pairs of {n * (n - 1) // 2:,}, {threads} threads, {seeds} seeds each "
          f"(rms error against the exact value; mean reported standard error)")
    all_time, _ = best_of(2, lambda: vextral.measure(x, threads=threads))
    print(f"  all pairs: {all_time:.3f} s")
    print(f"  {'N':>9}  {'time s':>8}  {'speed-up':>8}  " +
          "  ".join(f"{name[:5]} err / stderr" for name in ESTIMATED))
    rate = spread = None
    for exponent in range(3, 7):
        pairs = 10 ** exponent
        times, errors = [], {name: [] for name in ESTIMATED}
        stderrs = {name: [] for name in ESTIMATED}
        for seed in range(seeds):
            start = time.perf_counter()
            sampled = vextral.measure(x, pairs=pairs, seed=seed, threads=threads)
            times.append(time.perf_counter() - start)
            for name in ESTIMATED:
                errors[name].append((getattr(sampled, name) - getattr(exact, name)) ** 2)
                stderrs[name].append(getattr(sampled, f"{name}_stderr"))
        cells = [f"{math.sqrt(statistics.mean(errors[name])):.1e} / {statistics.mean(stderrs[name]):.1e}"
                 for name in ESTIMATED]
        print(f"  {pairs:>9,}  {min(times):8.3f}  {all_time / min(times):7.0f}x  " + "  ".join(cells))
        rate, spread = pairs, {name: statistics.mean(stderrs[name]) * math.sqrt(pairs) for name in ESTIMATED}
    # The cost of N pairs beyond coverage's pass: from the largest N.
    start = time.perf_counter()
    drawn = _native.draw_pairs(n, rate, 0)
    _native.pair_similarities(x, drawn, threads=1)
    per_pair = (time.perf_counter() - start) / rate
    start = time.perf_counter()
    _native.dimension_sums(x, x.shape[1])
    per_value = (time.perf_counter() - start) / x.size
    return per_pair / x.shape[1], per_value, spread


def paper(rate: float, per_multiply: float, per_value: float, spread: dict[str, float]) -> None:
    n, d, machines, cores = 1_000_000, 768, 16, 16
    pairs = n * (n - 1) / 2
    hours = pairs * d / (rate * machines * cores) / 3600
    print(f"== on paper: {n:,} x {d} on {machines} machines x {cores} cores")
    print(f"  block-pair rate measured: {rate / 1e9:.2f} G multiply-adds per core-second")
    print(f"  all pairs: {pairs * d:.2e} multiply-adds -> {hours * 60:.1f} min of the cluster "
          f"({hours * machines * cores:.0f} core-hours)")
    worst = max(spread.values())
    needed = math.ceil((1.959963984540054 * worst / 0.001) ** 2)
    seconds = needed * d * per_multiply + n * d * per_value
    print(f"  sampled, 95 % interval +-0.001 on every measure (the widest per-pair spread here, "
          f"{worst:.3f}): N = {needed:,} pairs -> {seconds:.1f} s on one core "
          f"(similarities {needed * d * per_multiply:.1f} s, exact coverage {n * d * per_value:.1f} s)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=40_000)
    parser.add_argument("--dimension", type=int, default=384)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--seeds", type=int, default=5)
    arguments = parser.parse_args()
    x = batch(arguments.rows, arguments.dimension)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "batch.npy")
        np.save(path, x)
        rate = cluster_section(path, x, arguments.repeats, arguments.workers)
    exact = vextral.measure(x, threads=arguments.workers)
    per_multiply, per_value, spread = sampling_section(x, exact, arguments.seeds, arguments.workers)
    paper(rate, per_multiply, per_value, spread)


if __name__ == "__main__":
    main()
