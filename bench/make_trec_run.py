"""Writes a synthetic TREC run and qrels in the standard formats, for
bench/trec_bench.py.

Defaults: 5,000 queries x 1,000 retrieved documents (about 182 MB of run)
drawn from a collection of 1,000,000 document ids, and about 20 relevant
documents per query, most of them retrieved, a few not. Scores fall with the
rank and hold occasional ties; everything is seeded, so the same files come
out every time.

    python bench/make_trec_run.py OUT_DIR [--queries N] [--depth N] [--relevant N]
"""

from __future__ import annotations

import argparse
import random
from pathlib import Path


def write_files(folder: Path, queries: int, depth: int, relevant: int, seed: int = 14) -> tuple[Path, Path]:
    folder.mkdir(parents=True, exist_ok=True)
    run_path, qrels_path = folder / "synthetic.run", folder / "synthetic.qrels"
    rng = random.Random(seed)
    collection = 1_000_000
    with open(run_path, "w", encoding="ascii") as run, open(qrels_path, "w", encoding="ascii") as qrels:
        for q in range(1, queries + 1):
            query = f"{q}"
            documents = rng.sample(range(collection), depth)
            score = 30.0 + rng.random()
            lines = []
            for rank, document in enumerate(documents, start=1):
                lines.append(f"{query} Q0 D{document:07d} {rank} {score:.6f} bm25r\n")
                if rng.random() > 0.02:  # some neighbours share a score
                    score -= rng.random() * 0.02
            run.write("".join(lines))
            # Relevant documents: mostly near the top of the ranking, a few
            # anywhere in it, some not retrieved at all; also judged
            # non-relevant ones.
            count = max(1, round(rng.gauss(relevant, relevant / 4)))
            judged = set()
            for _ in range(count):
                kind = rng.random()
                if kind < 0.5:
                    judged.add(documents[min(int(rng.expovariate(1 / 30)), depth - 1)])
                elif kind < 0.8:
                    judged.add(rng.choice(documents))
                else:
                    judged.add(rng.randrange(collection))
            for document in sorted(judged):
                qrels.write(f"{query} 0 D{document:07d} {rng.choice((1, 1, 2, 3))}\n")
            for document in rng.sample(documents, 5):
                if document not in judged:
                    qrels.write(f"{query} 0 D{document:07d} 0\n")
    return run_path, qrels_path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--queries", type=int, default=5000)
    parser.add_argument("--depth", type=int, default=1000)
    parser.add_argument("--relevant", type=int, default=20)
    arguments = parser.parse_args()
    for path in write_files(arguments.folder, arguments.queries, arguments.depth, arguments.relevant):
        print(f"{path}: {path.stat().st_size / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
