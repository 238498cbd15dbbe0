"""TREC files chosen to hurt the reader: ids that collide in a fixed-hash
table, lines that a few kilobytes of gzip expand to gigabytes, query ids too
long for int(), file names that are not UTF-8."""
import gzip
import os
import random
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vextral
from test_trec_evaluation import assert_matches, reference_qrels, reference_run
from vextral import trec

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
from colliding_ids import colliding_texts, libstdcxx_hash  # noqa: E402 - after the path to bench/


@pytest.fixture(scope="module")
def colliding():
    ids = colliding_texts(3000)
    assert len({libstdcxx_hash(text.encode()) for text in ids}) == 1  # what the files are made of
    return ids


@pytest.mark.parametrize("grouped", [True, False])
def test_ids_colliding_under_a_fixed_hash_are_scored_exactly(tmp_path, colliding, grouped):
    # One query ranking 2,000 colliding documents (with ties and repeats), and
    # 500 queries named by colliding ids; the qrels judge colliding ids the run
    # lacks too.
    rng = random.Random(5)
    documents, others = colliding[:2000], colliding[2000:]
    run_lines = [f"q Q0 {d} {r} {rng.randrange(50) / 4} t" for r, d in enumerate(documents + documents[:300])]
    run_lines += [f"{q} Q0 {d} 1 {rng.random()} t" for q, d in zip(others[:500], documents)]
    if not grouped:
        rng.shuffle(run_lines)
    qrels_lines = [f"q 0 {d} 1" for d in documents[::3] + others[500:]]
    qrels_lines += [f"{q} 0 {d} {rng.randrange(2)}" for q, d in zip(others[:500], documents[1:])]
    run_text, qrels_text = "\n".join(run_lines) + "\n", "\n".join(qrels_lines) + "\n"
    run, qrels = tmp_path / "run", tmp_path / "qrels"
    run.write_text(run_text)
    qrels.write_text(qrels_text)
    report = vextral.evaluate_run(run, qrels, cutoffs=[10, 1000])
    assert_matches(report, reference_run(run_text)[0], reference_qrels(qrels_text), cutoffs=[10, 1000])
    assert report.run_duplicates.count == 300


def test_a_line_longer_than_the_limit_is_a_format_error(tmp_path, monkeypatch):
    monkeypatch.setattr(trec, "CHUNK_BYTES", 4096)
    limit = 1 << 20
    first = b"q Q0 d 1 1 t\n"
    fitting = b"q Q0 " + b"x" * (limit - len(b"q Q0  1 1 t")) + b" 1 1 t"
    assert len(fitting) == limit
    run = tmp_path / "run"
    run.write_bytes(gzip.compress(first + fitting + b"\n"))
    assert vextral.evaluate_run(run, {"q": {"d": 1}}).queries[0].retrieved == 2
    # One byte more, or a gigabyte-long line in a tiny file: refused at once.
    for data in (first + b"x" + fitting, first + b"x" * (64 * limit)):
        run.write_bytes(gzip.compress(data))
        with pytest.raises(vextral.TrecFormatError) as error:
            vextral.evaluate_run(run, {"q": {"d": 1}})
        assert str(error.value) == f"{run}:2: line longer than 1048576 bytes (1 MiB)"


MEMORY_CHILD = textwrap.dedent("""
    import resource, sys
    import vextral
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    report = vextral.evaluate_run(sys.argv[1], {"q": {"d": 1}})
    growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(growth // 1024, report.run_duplicates.count)
""")


@pytest.mark.parametrize("lines", [[b"q Q0 d 1 1 t\n"], [b"q Q0 d 1 1 t\n", b"r Q0 d 1 1 t\n"]],
                         ids=["one query", "not grouped"])
def test_repeated_lines_cost_no_memory(tmp_path, lines):
    # 3 million lines in 100 KB of gzip: what is kept is one document per query.
    count = 3_000_000
    run = tmp_path / "run.gz"
    run.write_bytes(gzip.compress(b"".join(lines) * (count // len(lines)), compresslevel=1))
    child = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(run)], capture_output=True, text=True)
    assert child.returncode == 0, child.stderr
    growth_mb, repeats = map(int, child.stdout.split())
    assert repeats == count - len(lines)
    assert growth_mb < 40, f"peak memory grew by {growth_mb} MB"


def test_query_ids_of_thousands_of_digits_are_ordered_without_int():
    nines, power = "q" + "9" * 5000, "q1" + "0" * 5000
    run = {nines: {"a": 1.0}, power: {"a": 1.0}, "q2": {"a": 1.0}, "q0" + "9" * 5000: {"a": 1.0}}
    report = vextral.evaluate_run(run, {query: {"a": 1} for query in run})
    assert [score.query for score in report.queries] == ["q2", nines, "q0" + "9" * 5000, power]


def test_file_names_that_are_not_utf8_appear_as_python_shows_them(tmp_path):
    run = Path(os.fsdecode(bytes(tmp_path) + b"/run\xff\xfe"))
    run.write_text("q Q0 d 1 x t\n")
    with pytest.raises(vextral.TrecFormatError) as error:
        vextral.evaluate_run(run, {"q": {"d": 1}})
    assert str(error.value) == f"{os.fsdecode(run)}:1: score 'x' is not a number"
