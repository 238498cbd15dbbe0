"""`vextral retrieval` end to end against peer evaluators, on a synthetic run
of 5,000 queries x 1,000 retrieved documents (about 183 MB) made by
bench/make_trec_run.py.

Each tool runs in a fresh process per round; the table shows the best and
worst of the rounds. "total" is the wall time of the whole process
(interpreter start, imports, reading, evaluating); "reading" and
"evaluating" are the tool's own phases (for vextral the native pass's own
clock, from vextral.evaluate_run in a separate process); "peak memory" is
the process's maximum resident set; "CPU time" is the process's user plus
system time, which a busy machine inflates less than wall time. Peers that are not installed are
listed as such; pytrec_eval is measured parsing the files the usual way
(one dict per query) and evaluating P, recall, recip_rank and ndcg.

    python bench/trec_bench.py [--folder DIR] [--rounds 3] [--no-check]

--check (the default) also verifies, query by query, that the native
evaluation gives the bits of one py_compute_retrieval_metrics call per query
on the same ranking, parsed and ranked in Python.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from make_trec_run import write_files  # noqa: E402

VEXTRAL_API = """
import json, sys, time
start = time.perf_counter()
import vextral
report = vextral.evaluate_run(sys.argv[1], sys.argv[2])
print(json.dumps({"reading": report.seconds["reading"], "evaluating": report.seconds["evaluating"],
                  "inside": time.perf_counter() - start}))
"""

PYTREC_EVAL = """
import json, sys, time
import pytrec_eval
start = time.perf_counter()
run = {}
with open(sys.argv[1]) as lines:
    for line in lines:
        query, _, document, _, score, _ = line.split()
        run.setdefault(query, {})[document] = float(score)
qrels = {}
with open(sys.argv[2]) as lines:
    for line in lines:
        query, _, document, relevance = line.split()
        qrels.setdefault(query, {})[document] = int(relevance)
read = time.perf_counter()
evaluator = pytrec_eval.RelevanceEvaluator(qrels, {"P", "recall", "recip_rank", "ndcg"})
results = evaluator.evaluate(run)
done = time.perf_counter()
print(json.dumps({"reading": read - start, "evaluating": done - read}))
"""

IR_MEASURES = """
import json, sys, time
import ir_measures
from ir_measures import P, R, RR, nDCG
start = time.perf_counter()
run = list(ir_measures.read_trec_run(sys.argv[1]))
qrels = list(ir_measures.read_trec_qrels(sys.argv[2]))
read = time.perf_counter()
ir_measures.calc_aggregate([P@10, R@1000, RR, nDCG], qrels, run)
done = time.perf_counter()
print(json.dumps({"reading": read - start, "evaluating": done - read}))
"""

RANX = """
import json, sys, time
from ranx import Qrels, Run, evaluate
start = time.perf_counter()
run = Run.from_file(sys.argv[1], kind="trec")
qrels = Qrels.from_file(sys.argv[2], kind="trec")
read = time.perf_counter()
evaluate(qrels, run, ["precision", "recall", "mrr", "ndcg"])
done = time.perf_counter()
print(json.dumps({"reading": read - start, "evaluating": done - read}))
"""

PEERS = {"pytrec_eval": ("pytrec_eval", PYTREC_EVAL), "ir_measures": ("ir_measures", IR_MEASURES),
         "ranx": ("ranx", RANX)}


def run_measured(command: list[str]) -> tuple[float, float, int, str]:
    """Wall seconds, CPU seconds, peak resident bytes and standard output of one process."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    assert child.stdout is not None
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    if status != 0:
        raise RuntimeError(f"{' '.join(command[:4])} ... failed with status {status}")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, out.decode()


def installed(module: str) -> bool:
    done = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True)
    return done.returncode == 0


def span(values: list[float], digits: int = 2) -> str:
    low, high = min(values), max(values)
    return f"{low:.{digits}f}" if f"{low:.{digits}f}" == f"{high:.{digits}f}" else \
        f"{low:.{digits}f}–{high:.{digits}f}"


def check_bits(run_path: Path, qrels_path: Path) -> str:
    """The native evaluation against one kernel call per query, in Python."""
    from vextral import evaluate_run
    from vextral.retrieval_evaluation import score_query

    scores: dict[str, dict[str, float]] = {}
    with open(run_path, encoding="utf-8") as lines:
        for line in lines:
            query, _, document, _, score, _ = line.split()
            scores.setdefault(query, {})[document] = float(score)
    judgments: dict[str, dict[str, int]] = {}
    with open(qrels_path, encoding="utf-8") as lines:
        for line in lines:
            query, _, document, relevance = line.split()
            judgments.setdefault(query, {})[document] = int(relevance)
    report = evaluate_run(run_path, qrels_path)
    checked = 0
    for query in report.queries:
        documents = scores.get(query.query, {})
        # Score descending, then docid descending (bytes).
        ranking = sorted(documents, key=lambda d: (documents[d], d.encode()), reverse=True)
        expected = score_query(ranking, judgments[query.query], None)
        if expected != query.metrics:
            return f"MISMATCH on query {query.query}: {query.metrics} != {expected}"
        checked += 1
    return f"all {checked} queries bit-identical to one py_compute_retrieval_metrics call each"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", type=Path, default=Path("/tmp/vextral-trec-bench"))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--check", action=argparse.BooleanOptionalAction, default=True)
    arguments = parser.parse_args()

    run_path, qrels_path = arguments.folder / "synthetic.run", arguments.folder / "synthetic.qrels"
    if not (run_path.exists() and qrels_path.exists()):
        print(f"writing the synthetic run and qrels to {arguments.folder} ...", file=sys.stderr)
        write_files(arguments.folder, 5000, 1000, 20)
    size = run_path.stat().st_size
    files = [str(run_path), str(qrels_path)]
    python = sys.executable

    tools: dict[str, list[str] | None] = {
        "`vextral retrieval RUN QRELS`": [python, "-m", "vextral", "retrieval", *files, "--summary", "--json"],
    }
    for name, (module, snippet) in PEERS.items():
        tools[name] = [python, "-c", snippet, *files] if installed(module) else None

    rows: dict[str, dict[str, list[float]]] = {name: {"total": [], "cpu": [], "reading": [], "evaluating": [], "peak": []}
                                               for name, command in tools.items() if command}
    for _ in range(arguments.rounds):
        for name, command in tools.items():
            if command is None:
                continue
            seconds, cpu, peak, out = run_measured(command)
            row = rows[name]
            row["total"].append(seconds)
            row["cpu"].append(cpu)
            row["peak"].append(peak / 1e6)
            if name.startswith("`vextral"):
                # The phases from the library call, in a process of its own.
                *_, phases_out = run_measured([python, "-c", VEXTRAL_API, *files])
                phases = json.loads(phases_out)
            else:
                phases = json.loads(out.splitlines()[-1])
            row["reading"].append(phases["reading"])
            row["evaluating"].append(phases["evaluating"])

    print(f"run: {size / 1e6:.1f} MB, {arguments.rounds} rounds, seconds (best–worst) on this machine\n")
    print("| tool | total | total, CPU time | reading the run | evaluating | peak memory |")
    print("|---|---|---|---|---|---|")
    for name, row in rows.items():
        print(f"| {name} | {span(row['total'])} | {span(row['cpu'])} | {span(row['reading'])} | "
              f"{span(row['evaluating'])} | {span(row['peak'], 0)} MB |")
    for name, command in tools.items():
        if command is None:
            print(f"| {name} | not installed | | | | |")

    ours = rows["`vextral retrieval RUN QRELS`"]
    print()
    print(f"reading: {size / 1e6 / min(ours['reading']):.0f} MB/s best, {size / 1e6 / max(ours['reading']):.0f}"
          f" MB/s worst (target >= 200)")
    print(f"peak memory: {min(ours['peak']) * 1e6 / size:.2f}x the run file (target <= 1.5)")
    load = os.getloadavg()[0]
    print(f"load average while measuring: {load:.1f} on {os.cpu_count()} CPUs"
          + (" (busy: wall times are inflated; CPU times are the fairer comparison)" if load > 1 else ""))
    if "pytrec_eval" in rows:
        peer = rows["pytrec_eval"]
        print(f"end to end, CPU time: {min(peer['cpu']) / min(ours['cpu']):.1f}x less than pytrec_eval")
        print(f"end to end: {min(peer['total']) / min(ours['total']):.1f}x faster than pytrec_eval, best against"
              f" best ({sorted(peer['total'])[len(peer['total']) // 2] / sorted(ours['total'])[len(ours['total']) // 2]:.1f}x median; target >= 5)")
    if arguments.check:
        print(check_bits(run_path, qrels_path))


if __name__ == "__main__":
    main()
