"""The `vextral` command: each command against the module it reports on, every
input format, the bundled sample, and one-line errors for user mistakes."""
import gzip
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import vextral_core as v
from vextral import drift as exact_drift, measure as exact_measure
from conftest import f32
from vextral import cli
from vextral.progress import Progress

# Exactly representable in float16, float32 and float64, so every storage
# type and text format must give the same bits.
BATCH = [[1.0, 0.5, -2.0], [0.25, 3.0, 1.0], [-1.5, 0.0, 2.5], [4.0, -0.75, 0.125]]
OTHER = [[1.0, 0.0, 0.0], [0.0, 2.0, 0.0], [0.5, 0.5, 8.0]]
MEASURES = ("precision", "recall", "f1_score", "mrr", "ndcg")


def vextral(*arguments, stdin=None):
    return subprocess.run([sys.executable, "-m", "vextral", *map(str, arguments)],
                          input=stdin, capture_output=True, text=True, timeout=120)


def succeed(*arguments, stdin=None):
    done = vextral(*arguments, stdin=stdin)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout


def json_of(*arguments, stdin=None):
    return json.loads(succeed(*arguments, "--json", stdin=stdin))


def batch_json_of(*arguments, stdin=None):
    """A quality or drift document without the fields every one carries, which are checked here."""
    report = json_of(*arguments, stdin=stdin)
    assert report.pop("vextral_version") == cli._version()
    assert report.pop("threads") == (os.process_cpu_count() or 1)
    return report


def measures_of(batch):
    """The three measures on exact sums, as the command gives them by default."""
    measured = exact_measure(batch)
    return {name: getattr(measured, name) for name in ("isotropy", "coverage", "distinctiveness")}


def library_measures_of(batch):
    return {"isotropy": v.py_compute_isotropy(batch), "coverage": v.py_compute_coverage(batch),
            "distinctiveness": v.py_compute_distinctiveness(batch)}


def float32_mean(values):
    """Sequential float32 sum in order, divided by the count."""
    total = np.float32(0)
    for value in values:
        total = np.float32(total + np.float32(value))
    return float(total / np.float32(len(values)))


def exact_mean(values):
    """The exact sum over the count, rounded once to a double."""
    return float(sum(map(Fraction, values), Fraction(0)) / len(values))


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


def write_bytes(path, data):
    path.write_bytes(data)
    return path


def save(path, array, **options):
    with open(path, "wb") as stream:
        np.lib.format.write_array(stream, array, **options)
    return path


# One writer per input format; each stores BATCH.
WRITERS = {
    "float32.npy": lambda p: save(p, np.array(BATCH, dtype=np.float32)),
    "float64.npy": lambda p: save(p, np.array(BATCH, dtype=np.float64)),
    "float16.npy": lambda p: save(p, np.array(BATCH, dtype=np.float16)),
    "big-endian.npy": lambda p: save(p, np.array(BATCH, dtype=">f4")),
    "fortran.npy": lambda p: save(p, np.asfortranarray(np.array(BATCH, dtype=np.float32))),
    "version2.npy": lambda p: save(p, np.array(BATCH, dtype=np.float32), version=(2, 0)),
    "lines.jsonl": lambda p: write(p, "".join(json.dumps(row) + "\n\n" for row in BATCH)),
    "objects.jsonl": lambda p: write(p, "".join(json.dumps({"id": i, "embedding": row}) + "\n"
                                               for i, row in enumerate(BATCH))),
    "document.json": lambda p: write(p, json.dumps(BATCH)),
    "with-header.csv": lambda p: write(p, "a,b,c\n" + "".join(",".join(map(str, r)) + "\n" for r in BATCH)),
    "plain.tsv": lambda p: write(p, "".join("\t".join(map(str, r)) + "\n" for r in BATCH)),
}


class TestQuality:
    @pytest.mark.parametrize("name", WRITERS)
    def test_every_format_gives_the_module_results(self, tmp_path, name):
        path = WRITERS[name](tmp_path / name)
        report = batch_json_of("quality", path)
        assert report == {"file": str(path), "embeddings": 4, "dimension": 3, "non_finite_rows": 0,
                          **measures_of(BATCH), "quality_score": exact_measure(BATCH).quality_score,
                          "summation": "exact"}
        # With --library-bits, exactly the library's functions.
        report = batch_json_of("quality", path, "--library-bits")
        assert report == {"file": str(path), "embeddings": 4, "dimension": 3, "non_finite_rows": 0,
                          **library_measures_of(BATCH), "quality_score": v.py_compute_quality_score(BATCH),
                          "summation": "float32-sequential"}

    def test_standard_input_is_read_as_json_lines(self):
        text = "".join(json.dumps(row) + "\n" for row in BATCH)
        assert json_of("quality", "-", stdin=text)["quality_score"] == exact_measure(BATCH).quality_score

    def test_integer_and_boolean_arrays(self, tmp_path):
        integers = [[1, 0, 3], [0, 2, 1], [5, 5, 0]]
        path = save(tmp_path / "ints.npy", np.array(integers, dtype=np.int16))
        assert json_of("quality", path)["isotropy"] == exact_measure(integers).isotropy
        flags = [[True, False], [False, True], [True, True]]
        path = save(tmp_path / "flags.npy", np.array(flags))
        assert json_of("quality", path)["coverage"] == exact_measure(flags).coverage

    def test_text_shows_the_shortest_decimal_of_each_float32(self, tmp_path):
        lines = succeed("quality", WRITERS["float32.npy"](tmp_path / "b.npy"), "--library-bits").splitlines()
        assert lines[0] == f"quality of {tmp_path / 'b.npy'}: 4 embeddings x 3 dimensions"
        assert "float32 bits" in lines[-1]
        shown = dict(line.split() for line in lines[1:-1])
        expected = {**library_measures_of(BATCH), "quality_score": v.py_compute_quality_score(BATCH)}
        assert shown.keys() == expected.keys()
        for name, text in shown.items():
            assert f32(float(text)) == expected[name]


class TestDrift:
    def test_drift_and_the_six_measures_come_from_the_module(self, tmp_path):
        baseline = save(tmp_path / "base.npy", np.array(BATCH, dtype=np.float32))
        current = write(tmp_path / "now.jsonl", "\n".join(map(json.dumps, OTHER)))
        report = batch_json_of("drift", baseline, current, "--library-bits")
        assert report["drift"] == v.py_detect_drift(BATCH, OTHER)
        assert report["summation"] == "float32-sequential"
        assert report["baseline"] == {"file": str(baseline), "embeddings": 4, "dimension": 3,
                                      "non_finite_rows": 0, **library_measures_of(BATCH)}
        assert report["current"] == {"file": str(current), "embeddings": 3, "dimension": 3,
                                     "non_finite_rows": 0, **library_measures_of(OTHER)}
        exact = batch_json_of("drift", baseline, current)
        assert exact["drift"] == exact_drift(BATCH, OTHER).drift
        assert exact["baseline"]["isotropy"] == measures_of(BATCH)["isotropy"]
        assert exact["summation"] == "exact"
        # The per-measure changes are what the drift averages.
        changes = [np.float32(report["changes"][name]) for name in ("isotropy", "coverage", "distinctiveness")]
        assert float((changes[0] + changes[1] + changes[2]) / np.float32(3)) == report["drift"]

    def test_drift_is_not_symmetric(self, tmp_path):
        a = save(tmp_path / "a.npy", np.array(BATCH, dtype=np.float32))
        b = save(tmp_path / "b.npy", np.array(OTHER, dtype=np.float32))
        assert json_of("drift", b, a)["drift"] == exact_drift(OTHER, BATCH).drift != exact_drift(BATCH, OTHER).drift

    def test_batches_of_different_dimensions_are_compared_with_a_warning(self, tmp_path):
        a = save(tmp_path / "a.npy", np.array(BATCH, dtype=np.float32))
        b = write(tmp_path / "b.json", "[[1, 0], [0, 1]]")
        done = vextral("drift", a, b, "--json")
        assert json.loads(done.stdout)["drift"] == exact_drift(BATCH, [[1, 0], [0, 1]]).drift
        assert done.stderr.startswith(f"vextral: warning: {a} has 3 dimensions and {b} 2: "), done.stderr
        assert "--strict refuses them" in done.stderr
        assert f"{a} has 3 dimensions and {b} 2" in one_line_error(vextral("drift", a, b, "--strict"), 1)


RUN = """\
q2 Q0 d-b 2 0.9 sys
q2 Q0 d-a 1 1.0 sys
q2 Q0 d-c 3 0.8 sys
q10 Q0 x 1 5 sys
q10 Q0 y 2 4 sys
unjudged Q0 d-a 1 1 sys
"""
QRELS = """\
q2 0 d-b 1
q2 0 d-z 2
q2 0 d-a 0
q10 0 y 1
q10 0 x 3
q10 0 x 0
q3 0 only-in-qrels 1
unjudged 0 d-a 0
"""


class TestRetrieval:
    @pytest.fixture
    def files(self, tmp_path):
        return write(tmp_path / "run.txt", RUN), write(tmp_path / "qrels.txt", QRELS)

    def test_per_query_scores_and_exact_or_float32_mean(self, files):
        report = json_of("retrieval", *files)
        # Ranked by score; ids numbered by first appearance, run first.
        expected = {
            "q2": v.py_compute_retrieval_metrics([0, 1, 2], [1, 3], 3),  # d-a, d-b, d-c; d-z
            "q3": v.py_compute_retrieval_metrics([], [0], 0),  # missing from the run: zeros
            "q10": v.py_compute_retrieval_metrics([0, 1], [1], 2),  # x judged 3 then 0: not relevant
        }
        assert [q["query"] for q in report["queries"]] == ["q2", "q3", "q10"]  # natural order
        for query in report["queries"]:
            assert {name: query[name] for name in MEASURES} == expected[query["query"]]
        assert [(q["retrieved"], q["relevant"]) for q in report["queries"]] == [(3, 2), (0, 1), (2, 1)]
        values = {name: [expected[q][name] for q in ("q2", "q3", "q10")] for name in MEASURES}
        assert report["mean"] == {name: exact_mean(values[name]) for name in MEASURES}
        assert report["summation"] == "exact"
        # Sums in float32 lose the last bits: mrr is 1/3 exactly, not the float32 nearest it.
        assert report["mean"]["mrr"] == 1 / 3 != float32_mean(values["mrr"])
        library = json_of("retrieval", *files, "--library-bits")
        assert library["mean"] == {name: float32_mean(values[name]) for name in MEASURES}
        assert library["summation"] == "float32-sequential"
        assert report["top_k"] is None
        assert report["evaluated"] == 3
        assert report["missing_from_run"] == ["q3"]
        assert report["without_judgments"] == ["unjudged"]

    def test_library_top_k_goes_to_the_module_unchanged(self, files):
        report = json_of("retrieval", *files, "--library-top-k", 1)
        assert report["top_k"] == 1 and report["cutoffs"] == []
        assert {n: report["queries"][0][n] for n in MEASURES} == v.py_compute_retrieval_metrics([0, 1, 2], [1, 3], 1)
        assert succeed("retrieval", *files, "--library-top-k", 1).splitlines()[0].endswith(
            "library top_k: 1 (precision, recall, F1 and MRR over the whole ranking)")

    def test_cutoffs_cut_each_ranking_and_label_every_measure(self, files):
        report = json_of("retrieval", *files, "--cutoff", 1, "--cutoff", 2)
        assert report["top_k"] is None and report["cutoffs"] == [1, 2]
        labels = [f"{name}@{k}" for k in (1, 2) for name in MEASURES]
        assert report["measures"] == labels and list(report["mean"]) == labels
        q2 = report["queries"][0]
        # d-a, d-b, d-c cut to d-a (@1), d-a d-b (@2); d-b and d-z relevant.
        assert {n: q2[f"{n}@1"] for n in MEASURES} == v.py_compute_retrieval_metrics([0], [1, 2], 1)
        assert {n: q2[f"{n}@2"] for n in MEASURES} == v.py_compute_retrieval_metrics([0, 1], [1, 2], 2)
        assert q2["retrieved"] == 3  # the whole ranking's length
        lines = succeed("retrieval", *files, "--cutoff", 1, "--cutoff", 2).splitlines()
        assert "measures @1, @2" in lines[0]
        assert lines[1].split() == ["query", "retrieved", "relevant", *labels]
        summary = succeed("retrieval", *files, "--cutoff", 2, "--summary").splitlines()
        assert [line.split()[0] for line in summary[2:7]] == [f"{n}@2" for n in MEASURES]

    def test_repeated_pairs_keep_the_last_line_unless_strict(self, tmp_path, files):
        run = write(tmp_path / "dup.run", RUN + "q10 Q0 x 3 1 sys\n")  # x falls below y
        report = json_of("retrieval", run, files[1])
        assert {n: report["queries"][2][n] for n in MEASURES} == v.py_compute_retrieval_metrics([0, 1], [0], 2)
        assert report["duplicates"] == {"run": {"count": 1, "line": 7, "first_line": 4},
                                        "qrels": {"count": 1, "line": 6, "first_line": 5}}
        assert "1 line of" in succeed("retrieval", run, files[1]).splitlines()[-2]
        error = one_line_error(vextral("retrieval", run, files[1], "--strict"), 1)
        assert error == f"vextral: error: {run}:7: document 'x' listed again for query 'q10' (first on line 4)\n"
        error = one_line_error(vextral("retrieval", *files, "--strict"), 1)
        assert error == f"vextral: error: {files[1]}:6: document 'x' judged again for query 'q10' (first on line 5)\n"

    def test_text_report(self, files):
        lines = succeed("retrieval", *files).splitlines()
        assert lines[0].endswith("top_k: the length of each ranking")
        assert lines[1].split() == ["query", "retrieved", "relevant", *MEASURES]
        assert [line.split()[0] for line in lines[2:5]] == ["q2", "q3", "q10"]
        assert lines[5].split()[:3] == ["mean", "of", "3"]
        assert "missing from the run score 0: q3" in lines[6]
        assert "left out: unjudged" in lines[7]
        summary = succeed("retrieval", *files, "--summary").splitlines()
        assert [line.split()[0] for line in summary[2:7]] == list(MEASURES)

    def test_query_ids_the_qrels_lack(self, tmp_path):
        run = write(tmp_path / "letters.run", "q1 Q0 a 1 1 t\nq2 Q0 a 1 1 t\n")
        qrels = write(tmp_path / "numbers.qrels", "1 0 a 1\n2 0 a 1\n")
        error = one_line_error(vextral("retrieval", run, qrels), 1)
        assert error == f"vextral: error: no query of {run} appears in {qrels} (ids like 'q1' against '1'?)\n"
        # Some of them: a warning with the count, or with --strict an error.
        partly = write(tmp_path / "partly.run", "q1 Q0 a 1 1 t\n2 Q0 a 1 1 t\nq2 Q0 a 1 1 t\n")
        done = vextral("retrieval", partly, qrels, "--json")
        assert done.returncode == 0
        assert done.stderr == (f"vextral: warning: 2 queries of {partly} not in {qrels} left out "
                               "(first: 'q1'; --strict refuses them)\n")
        assert json.loads(done.stdout)["not_in_qrels"] == ["q1", "q2"]
        error = one_line_error(vextral("retrieval", partly, qrels, "--strict"), 1)
        assert error == f"vextral: error: 2 queries of {partly} not in {qrels} (first: 'q1')\n"

    @pytest.mark.skipif(not os.path.isdir("/dev/fd"), reason="needs /dev/fd")
    def test_files_from_pipes(self, files):
        # As `vextral retrieval <(zcat run.gz) <(cat qrels)` gives them, the run not grouped by query.
        lines = RUN.splitlines(keepends=True)
        pipes = [os.pipe(), os.pipe()]
        feeders = [threading.Thread(target=_feed, args=(write_end, data), daemon=True)
                   for (_, write_end), data in zip(pipes, [gzip.compress("".join(lines[::-1]).encode()),
                                                          files[1].read_bytes()])]
        for feeder in feeders:
            feeder.start()
        reads = [read_end for read_end, _ in pipes]
        try:
            done = subprocess.run([sys.executable, "-m", "vextral", "retrieval", *(f"/dev/fd/{r}" for r in reads),
                                   "--json"], capture_output=True, text=True, timeout=120, pass_fds=reads)
        finally:
            for read_end in reads:
                os.close(read_end)
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout)["queries"] == json_of("retrieval", *files)["queries"]

    def test_no_progress_bar_when_standard_error_is_not_a_terminal(self, tmp_path):
        run = "".join(f"q{q} Q0 d{d} {d} 0 s\n" for q in range(3000) for d in range(1, 6))
        qrels = "".join(f"q{q} 0 d{q % 7} 1\n" for q in range(3000))
        done = vextral("retrieval", write(tmp_path / "r", run), write(tmp_path / "q", qrels), "--summary")
        assert done.returncode == 0 and done.stderr == ""


class TestProgress:
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    def test_drawn_on_a_terminal_only_after_the_delay_and_erased_at_the_end(self):
        now = [0.0]
        stream = self.Terminal()
        with Progress("evaluating", 4, unit="queries", stream=stream, clock=lambda: now[0]) as progress:
            progress.advance()
            assert stream.getvalue() == ""  # short work stays silent
            now[0] = 1.0
            progress.advance()
            assert stream.getvalue().startswith("\revaluating [")
            assert stream.getvalue().rstrip().endswith(" 50% 2/4 queries")
        assert stream.getvalue().endswith("\r")
        assert stream.getvalue().split("\r")[-2].strip() == ""

    def test_silent_off_a_terminal_or_when_disabled(self):
        now = [0.0]
        for stream, enabled in ((io.StringIO(), True), (self.Terminal(), False)):
            with Progress("x", 2, stream=stream, enabled=enabled, clock=lambda: now[0]) as progress:
                now[0] += 10
                progress.advance()
            assert stream.getvalue() == ""


class TestDemo:
    def test_prints_all_three_reports_on_the_bundled_sample(self):
        text = succeed("demo")
        for heading in ("vextral demo:", "quality of topics.npy:", "drift from topics.npy",
                        "retrieval of topics.run against topics.qrels"):
            assert heading in text

    def test_json_agrees_with_the_commands_on_the_bundled_files(self):
        report = json_of("demo")
        data = Path(cli.__file__).parent / "data"
        assert report["quality"] == {**batch_json_of("quality", data / "topics.npy"), "file": "topics.npy"}
        assert report["drift"]["drift"] == json_of("drift", data / "topics.npy", data / "docstrings.npy")["drift"]
        assert report["retrieval"]["mean"] == json_of("retrieval", data / "topics.run", data / "topics.qrels")["mean"]

    def test_bundled_sample_is_small_real_and_documented(self):
        data = Path(cli.__file__).parent / "data"
        assert sum(path.stat().st_size for path in data.iterdir()) <= 2 * 1024 * 1024
        assert "all-MiniLM-L6-v2" in (data / "README.md").read_text(encoding="utf-8")
        for name in ("topics.npy", "docstrings.npy"):
            embeddings = np.load(data / name)
            assert embeddings.dtype == np.float32 and embeddings.ndim == 2 and embeddings.shape[1] == 384
            # The model normalises its embeddings to unit length.
            np.testing.assert_allclose(np.linalg.norm(embeddings, axis=1), 1.0, rtol=1e-5)

    def test_installed_console_script(self):
        script = shutil.which("vextral", path=str(Path(sys.executable).parent))
        assert script is not None
        done = subprocess.run([script, "demo", "--json"], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0 and json.loads(done.stdout)["quality"]["embeddings"] > 0


def _feed(descriptor, data):
    try:
        with open(descriptor, "wb") as stream:
            stream.write(data)
    except BrokenPipeError:
        pass  # the reader stopped early


def one_line_error(done, status):
    assert done.returncode == status, (done.stdout, done.stderr)
    assert done.stdout == ""
    assert len(done.stderr.splitlines()) == 1, done.stderr
    assert "Traceback" not in done.stderr
    return done.stderr


@pytest.fixture
def good_npy(tmp_path):
    return save(tmp_path / "good.npy", np.array(BATCH, dtype=np.float32))


INPUT_MISTAKES = {
    "missing file": (lambda d: d / "absent.npy", "absent.npy: No such file or directory"),
    "a directory": (lambda d: d, "Is a directory"),
    "not an npy file": (lambda d: write(d / "x.npy", "hello"), "not a .npy file"),
    "1-D array": (lambda d: save(d / "x.npy", np.ones(3, np.float32)), "expected a 2-D array"),
    "3-D array": (lambda d: save(d / "x.npy", np.ones((2, 2, 2), np.float32)), "got shape (2, 2, 2)"),
    "object array": (lambda d: save(d / "x.npy", np.array([[1, "a"]], dtype=object), allow_pickle=True),
                     "unsupported element type '|O'"),
    "complex array": (lambda d: save(d / "x.npy", np.ones((2, 2), np.complex64)), "unsupported element type"),
    "truncated npy": (lambda d: write_bytes(d / "x.npy", save(d / "t.npy", np.ones((4, 4), np.float32))
                                            .read_bytes()[:-5]), "the file ends before the 16 elements"),
    "empty npy": (lambda d: save(d / "x.npy", np.ones((0, 3), np.float32)), "no embeddings found"),
    "no dimensions": (lambda d: save(d / "x.npy", np.ones((3, 0), np.float32)), "row 1 is empty"),
    "ragged lines": (lambda d: write(d / "x.jsonl", "[1, 2]\n[3, 4]\n\n[5]\n"),
                     "line 4 has 1 number, but line 1 has 2"),
    "malformed JSON line": (lambda d: write(d / "x.jsonl", "[1, 2]\n[3, 4\n"), "x.jsonl:2: not valid JSON"),
    "string element": (lambda d: write(d / "x.jsonl", '[1, "2"]\n'), 'line 1: "2" is not a number'),
    "boolean element": (lambda d: write(d / "x.jsonl", "[1, true]\n"), "line 1: true is not a number"),
    "row not an array": (lambda d: write(d / "x.jsonl", "{}\n"), "line 1 is not an array of numbers"),
    "huge integer": (lambda d: write(d / "x.jsonl", "[1, " + "9" * 400 + "]\n"), "a number is too large"),
    "empty text file": (lambda d: write(d / "x.jsonl", "\n\n"), "no embeddings found"),
    "JSON document not an array": (lambda d: write(d / "x.json", '{"a": 1}'), "expected a JSON array"),
    "ragged JSON document": (lambda d: write(d / "x.json", "[[1, 2], [3]]"), "row 2 has 1 number,"),
    "bad CSV cell": (lambda d: write(d / "x.csv", "1,2\n3,x\n"), "x.csv:2: column 2: 'x' is not a number"),
    "not UTF-8": (lambda d: write_bytes(d / "x.jsonl", b"[1, 2]\n\xff\n"), "not UTF-8 text"),
}


class TestErrors:
    @pytest.mark.parametrize("mistake", INPUT_MISTAKES)
    def test_embedding_input_mistakes(self, tmp_path, good_npy, mistake):
        make, message = INPUT_MISTAKES[mistake]
        bad = make(tmp_path)
        for arguments in (("quality", bad), ("drift", good_npy, bad), ("drift", bad, good_npy)):
            error = one_line_error(vextral(*arguments), 1)
            assert error.startswith("vextral: error: ") and message in error, error

    @pytest.mark.parametrize("run, qrels, message", [
        ("q1 Q0 d1 1 0.5\n", "q1 0 d1 1\n", 'run:1: expected 6 fields "qid Q0 docid rank score tag", found 5'),
        ("q1 Q0 d1 1 0.5 t\nq1 Q0 d2 first 0.4 t\n", "q1 0 d1 1\n", "run:2: rank 'first' is not an integer"),
        ("q1 Q0 d1 1 high t\n", "q1 0 d1 1\n", "run:1: score 'high' is not a number"),
        ("q1 Q0 d1 1 0.5 t\n\nq1 Q0 d2 2 nan t\n", "q1 0 d1 1\n", "run:3: score 'nan' is not a number"),
        ("q1 Q0 d1 1 0.5 t\nq\xe9 Q0 d2 2 1 t\n".encode("latin-1"), "q1 0 d1 1\n", "run:2: not UTF-8 text"),
        ("", "q1 0 d1 1\n", "run: no results found"),
        ("q1 Q0 d1 1 0.5 t\n", "", "qrels: no relevant documents (relevance > 0) found"),
        ("q1 Q0 d1 1 0.5 t\n", "q1 0 d1 1\nq1 0 d2 1 extra\n",
         'qrels:2: expected 4 fields "qid iteration docid relevance", found 5'),
        ("q1 Q0 d1 1 0.5 t\n", "q1 0 d1 0.5\n", "qrels:1: relevance '0.5' is not an integer"),
        ("\n", "q1 0 d1 1\n", "run: no results found"),
        ("q1 Q0 d1 1 0.5 t\n", "q1 0 d1\n", 'qrels:1: expected 4 fields "qid iteration docid relevance", found 3'),
        ("q1 Q0 d1 1 0.5 t\n", "q1 0 d1 yes\n", "qrels:1: relevance 'yes' is not an integer"),
        ("q1 Q0 d1 1 0.5 t\n", "q1 0 d1 0\nq2 0 d1 -1\n", "qrels: no relevant documents (relevance > 0) found"),
        ("q1 0 d1 1\n", "q1 Q0 d1 1 0.5 t\n", 'run:1: expected 6 fields "qid Q0 docid rank score tag", found 4 '
         "(as a qrels line has: are the run and the qrels swapped?)"),
    ])
    def test_trec_file_mistakes(self, tmp_path, run, qrels, message):
        make = write_bytes if isinstance(run, bytes) else write
        error = one_line_error(vextral("retrieval", make(tmp_path / "run", run), write(tmp_path / "qrels", qrels)), 1)
        assert error == f"vextral: error: {tmp_path}/{message}\n"

    def test_missing_trec_file(self, tmp_path):
        qrels = write(tmp_path / "qrels", "q1 0 d1 1\n")
        assert "absent: No such file or directory" in one_line_error(vextral("retrieval", tmp_path / "absent", qrels), 1)

    @pytest.mark.parametrize("arguments, message", [
        ((), "the following arguments are required: COMMAND"),
        (("rank",), "invalid choice: 'rank'"),
        (("quality",), "the following arguments are required: FILE"),
        (("drift", "a.npy"), "the following arguments are required: CURRENT"),
        (("retrieval", "r", "q", "--cutoff", "0"), "0 is not between 1 and 2**64 - 1"),
        (("retrieval", "r", "q", "--library-top-k", "ten"), "'ten' is not an integer"),
        (("retrieval", "r", "q", "--top-k", "10"), "use --cutoff K for measures @K, or --library-top-k K"),
        (("retrieval", "r", "q", "--cutoff", "5", "--library-top-k", "5"), "not allowed with argument"),
        (("demo", "extra"), "unrecognized arguments: extra"),
    ])
    def test_command_line_mistakes(self, arguments, message):
        error = one_line_error(vextral(*arguments), 2)
        assert error.startswith("vextral") and message in error, error

    def test_only_one_input_from_standard_input(self):
        assert "only one of BASELINE and CURRENT" in one_line_error(vextral("drift", "-", "-", stdin=""), 1)

    def test_an_internal_failure_is_one_line_with_its_own_status(self, good_npy, capsys, monkeypatch):
        try:
            v.py_compute_coverage([[1.0], [2.0, 3.0]])  # a real PanicException, BaseException-derived
        except BaseException as error:  # noqa: B036
            panic = error
        capsys.readouterr()  # the module's own failure report

        def fail(embeddings):
            raise panic

        monkeypatch.setattr(cli, "measure_quality", lambda embeddings, **options: fail(embeddings))
        assert cli.main(["quality", str(good_npy)]) == 3
        captured = capsys.readouterr()
        assert captured.out == ""
        assert captured.err == ("vextral: error: internal failure in vextral_core: "
                                "index out of bounds: the len is 1 but the index is 1\n")


class TestNonFinite:
    def batch(self, tmp_path):
        rows = np.array(BATCH * 3, dtype=np.float32)
        rows[4, 1] = np.nan
        rows[9, 0] = np.inf
        return save(tmp_path / "nan.npy", rows), rows

    def test_warned_and_counted_but_computed(self, tmp_path):
        path, rows = self.batch(tmp_path)
        done = vextral("quality", path, "--json")
        assert done.returncode == 0
        assert done.stderr == (f"vextral: warning: {path}: 2 embeddings of 12 hold NaN or infinity (first: row 5);"
                               " the measures of such a batch mean little (--strict refuses it)\n")
        report = json.loads(done.stdout)
        assert report["non_finite_rows"] == 2
        assert report["quality_score"] == exact_measure(rows).quality_score

    def test_strict_refuses_before_computing(self, tmp_path, good_npy):
        path, _ = self.batch(tmp_path)
        for arguments in (("quality", path), ("drift", good_npy, path)):
            error = one_line_error(vextral(*arguments, "--strict"), 1)
            assert error.endswith("2 embeddings of 12 hold NaN or infinity (first: row 5)\n"), error
        lines = write(tmp_path / "one.jsonl", '[1, 2]\n\n[NaN, 1]\n')
        assert "1 embedding of 2 holds NaN or infinity (first: line 3)" in one_line_error(
            vextral("quality", lines, "--strict"), 1)


class TestReports:
    def test_singular_shape_and_one_row_warnings(self, tmp_path, good_npy):
        one = write(tmp_path / "one.json", "[[1.0]]")
        done = vextral("quality", one)
        assert done.stdout.splitlines()[0] == f"quality of {one}: 1 embedding x 1 dimension"
        assert "holds 1 embedding: every measure of a single embedding is 0" in done.stderr
        done = vextral("drift", good_npy, one, "--json")
        assert done.returncode == 0
        assert done.stderr.strip().endswith("so the drift compares with zeros, not with a batch")
        assert json.loads(done.stdout)["drift"] == exact_drift(BATCH, [[1.0]]).drift

    def test_columns_stay_aligned_whatever_the_widths(self, tmp_path):
        # Queries whose scores need 11 characters (0.083333336) or more.
        run = "".join(f"q1 Q0 d{d} {d} 0 s\n" for d in range(1, 13)) + "q2 Q0 x 1 0 s\n"
        qrels = "q1 0 d12 1\nq2 0 x 1\n"
        lines = succeed("retrieval", write(tmp_path / "run", run), write(tmp_path / "qrels", qrels)).splitlines()
        table = lines[1:5]
        header = table[0]
        starts = [header.index(name) for name in MEASURES]
        for line in table[1:]:
            for start in starts:
                assert line[start - 1] == " " and line[start] != " ", (line, start)

    def test_summary_is_honoured_with_json(self, tmp_path):
        run, qrels = write(tmp_path / "run", RUN), write(tmp_path / "qrels", QRELS)
        assert "queries" in json_of("retrieval", run, qrels)
        summary = json_of("retrieval", run, qrels, "--summary")
        assert "queries" not in summary and summary["evaluated"] == 3

    def test_every_json_document_names_the_tool_version(self, good_npy):
        assert json_of("demo")["vextral_version"] == cli._version() != "(not installed)"
        assert json_of("quality", good_npy, "--threads", "3")["threads"] == 3

    def test_a_closed_pipe_exits_141_quietly(self, good_npy):
        child = subprocess.Popen([sys.executable, "-m", "vextral", "quality", str(good_npy)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        child.stdout.close()  # the reader goes away before anything is written
        assert child.wait(timeout=120) == 141
        assert child.stderr.read() == b""

    @pytest.mark.parametrize("arguments, message", [
        (("quality", "x.npy", "--threads", "-2"), "-2 is negative"),
        (("quality", "x.npy", "--skip-columns", "-1"), "-1 is negative"),
        (("quality", "x.npy", "--format", "xml"), "invalid choice: 'xml'"),
    ])
    def test_option_mistakes(self, arguments, message):
        assert message in one_line_error(vextral(*arguments), 2)


def big_batch(tmp_path, rows):
    return save(tmp_path / "big.npy", np.random.default_rng(0).standard_normal((rows, 512)).astype(np.float32))


# The command with its bar drawn at every report of the pass, from the start: what the bar
# shows then depends on the reports alone, not on how fast this machine is.
EVERY_REPORT_DRAWN = ("import sys, vextral.progress as p; p.DEFAULT_DELAY = p.REDRAW_INTERVAL = 0; "
                      "from vextral.cli import main; sys.exit(main())")


def run_on_terminal(arguments, until=None, then=None, env=None, program=("-m", "vextral")):
    """Runs vextral with its standard streams on a pseudo-terminal; once `until` appears in
    what it prints, calls then(child). Returns (status, everything printed)."""
    import pty
    import select

    controller, terminal = pty.openpty()
    child = subprocess.Popen([sys.executable, *program, *map(str, arguments)],
                             stdin=terminal, stdout=terminal, stderr=terminal, start_new_session=True,
                             env=None if env is None else {**os.environ, **env})
    os.close(terminal)
    seen = b""
    try:
        while True:
            ready, _, _ = select.select([controller], [], [], 120)
            if not ready:
                child.kill()
                raise AssertionError(f"no output for 120 s: {seen!r}")
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal closed: the child has ended
                break
            if not chunk:
                break
            seen += chunk
            if until is not None and until in seen:
                then(child)
                until = None
    finally:
        os.close(controller)
    return child.wait(timeout=120), seen.decode()


class TestProgressOnATerminal:
    def test_pairs_done_are_shown_and_then_erased(self, tmp_path):
        # One thread on the portable kernel, so that the pass outlasts the bar's half-second
        # delay even on a processor with the widest vectors.
        path = big_batch(tmp_path, 9000)
        status, text = run_on_terminal(["quality", path, "--threads", "1"],
                                       env={"VEXTRAL_KERNEL_PATH": "portable"})
        assert status == 0, text
        assert "big.npy: pairs [" in text and " M pairs" in text, text
        # The bar is erased, so the report starts on a clean line.
        assert f"\rquality of {path}: 9000 embeddings x 512 dimensions" in text

    # 12,000 rows: 72 million pairs, too many for the similarity list, so that the library's
    # bits take a second pass; 384 dimensions: a panel is filled in two column ranges, with a
    # report between them that repeats the pairs done so far.
    @pytest.mark.parametrize("options, passes", [(["--library-bits"], 2), ([], 1)])
    def test_the_bar_rises_steadily_to_all_the_work_of_every_pass(self, tmp_path, options, passes):
        path = save(tmp_path / "big.npy",
                    np.random.default_rng(0).standard_normal((12000, 384)).astype(np.float32))
        status, text = run_on_terminal(["quality", path, "--threads", "1", *options],
                                       program=("-c", EVERY_REPORT_DRAWN))
        assert status == 0, text
        shown = [(float(done), float(total)) for done, total
                 in re.findall(r"\] +\d+% ([\d.]+)/([\d.]+) M pairs", text)]
        assert len(shown) > 100, text
        assert {total for _, total in shown} == {passes * 72.0}
        counts = [done for done, _ in shown]
        # One panel is 0.8 M pairs: no report may skip ahead by more than a few.
        steps = [later - earlier for earlier, later in zip(counts, counts[1:])]
        assert min(steps) >= 0 and max(steps) <= 3.0, counts
        assert counts[0] <= 3.0 and counts[-1] == passes * 72.0

    def test_no_progress_option_and_no_bar_off_a_terminal(self, tmp_path):
        path = big_batch(tmp_path, 6000)
        status, text = run_on_terminal(["quality", path, "--no-progress"])
        assert status == 0 and "pairs [" not in text
        done = vextral("quality", path)
        assert done.returncode == 0 and done.stderr == ""

    def test_ctrl_c_stops_the_pass_with_one_line(self, tmp_path):
        # Far too large to finish within the test's time: 450 million pairs of 512.
        path = big_batch(tmp_path, 30000)
        # Sent to the child's process group once the pass shows progress, as Ctrl-C is.
        status, text = run_on_terminal(["quality", path], until=b"pairs [",
                                       then=lambda child: os.killpg(child.pid, signal.SIGINT))
        assert status == 130, text
        assert text.strip().splitlines()[-1].strip() == "vextral: error: interrupted"
        assert "Traceback" not in text and "quality of" not in text


def test_sampled_and_many_file_paths_check_their_inputs_as_one_file_does(tmp_path):
    # --pairs and many-file inputs take another road through the command; the
    # checks of what was read must not stay behind on the first one.
    a = save(tmp_path / "a.npy", np.array(BATCH, dtype=np.float32))
    b = write(tmp_path / "b.json", "[[1, 0], [0, 1]]")
    assert "--key does nothing" in one_line_error(vextral("quality", a, "--pairs", 4, "--key", "x"), 2)
    done = vextral("drift", a, b, "--pairs", 4)
    assert done.returncode == 0, done.stderr
    assert f"{a} has 3 dimensions and {b} 2" in done.stderr
    assert f"{a} has 3 dimensions and {b} 2" in one_line_error(vextral("drift", a, b, "--pairs", 4, "--strict"), 1)
    numbered = write(tmp_path / "numbered.csv", "".join(f"{i},{i * 0.5},{1 - i * 0.25}\n" for i in range(1, 6)))
    assert "--skip-columns 1" in vextral("quality", numbered, "--pairs", 4).stderr
