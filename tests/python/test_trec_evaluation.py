"""vextral.evaluate_run: the native whole-run pass against one kernel call per
query on the same ranking, the reading rules (score order and its tie rule,
repeated pairs, whitespace, gzip, chunk boundaries, runs that do not group
their queries, mappings), cut-offs against hand computation, and malformed
input."""
import functools
import gzip
import io
import math
import os
import random
import threading
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import vextral
from vextral import _native, float32, trec
from vextral.progress import Progress
from vextral.retrieval_evaluation import MEASURES, natural_order, score_query
from vextral.trec import TrecFileError, TrecFormatError, TrecMismatchError

DATA = Path(vextral.__file__).parent / "data"


# --- the reading rules, restated plainly in Python ----------------------------

def reference_run(text):
    """query -> ranking: score descending, ties by docid descending; a repeated pair keeps its last line."""
    scores = {}
    for line in text.split("\n"):
        fields = line.split()
        if fields:
            query, _, document, _, score, _ = fields
            scores.setdefault(query, {})[document] = float(score)
    return {query: sorted(documents, key=lambda d: (documents[d], d.encode()), reverse=True)
            for query, documents in scores.items()}, scores


def reference_qrels(text):
    judged = {}
    for line in text.split("\n"):
        fields = line.split()
        if fields:
            query, _, document, relevance = fields
            judged.setdefault(query, {})[document] = int(relevance)
    return judged


def expected_scores(rankings, judged, top_k=None, cutoffs=None):
    """query -> measures, for every judged query in natural order, by one kernel call each."""
    queries = sorted((q for q, j in judged.items() if any(r > 0 for r in j.values())), key=natural_order)
    result = {}
    for query in queries:
        ranking = rankings.get(query, [])
        if cutoffs:
            result[query] = {f"{name}@{k}": value for k in cutoffs
                             for name, value in score_query(ranking[:k], judged[query], k).items()}
        else:
            result[query] = score_query(ranking, judged[query], top_k)
    return result


def assert_matches(report, rankings, judged, top_k=None, cutoffs=None):
    expected = expected_scores(rankings, judged, top_k, cutoffs)
    assert [score.query for score in report.queries] == list(expected)
    for score in report.queries:
        assert score.metrics == expected[score.query], score.query
        assert score.retrieved == len(rankings.get(score.query, []))
        assert score.relevant == sum(r > 0 for r in judged[score.query].values())
    for name in report.measures:
        assert report.mean[name] == exact_mean([expected[q][name] for q in expected])
    assert report.missing_from_run == [q for q in expected if q not in rankings]
    assert report.without_judgments == sorted((q for q in rankings if q not in expected), key=natural_order)


def exact_mean(values):
    """The exact sum over the count, rounded once: what Fraction's float() gives."""
    return float(sum(map(Fraction, values), Fraction(0)) / len(values)) if values else 0.0


def generated_files(seed=7):
    """A run with ties, repeated pairs, odd whitespace, long and non-ASCII ids,
    control bytes inside ids, queries only in the run or only in the qrels."""
    rng = random.Random(seed)
    run_lines, qrels_lines = [], []
    separators = [" ", " ", " ", "\t", "  ", " \x1c", "\x0b"]
    for q in range(40):
        query = f"q{q}" if q % 9 else f"topic-é{q}"
        pool = [f"d{rng.randrange(300)}" for _ in range(60)]
        pool += ["x" * rng.randrange(60, 90) + str(k) for k in range(3)]  # lines past 64 bytes
        pool.append(f"odd\x01id{q}")  # a control byte that is not whitespace belongs to the id
        for rank, document in enumerate(pool, start=1):
            score = rng.choice([1.5, 2.0, 2.0, 0.25, -3.0, 7.125]) + rng.randrange(3) / 4
            sep = rng.choice(separators)
            run_lines.append(sep.join([query, "Q0", document, str(rank), repr(score), "tag"]) + rng.choice(["", "\r"]))
            if rng.random() < 0.05:
                run_lines.append("")
        if q % 13 == 5:
            continue  # a query the qrels do not judge
        for document in rng.sample(pool, 8) + [f"unretrieved{q}"]:
            qrels_lines.append(f"{query} 0 {document} {rng.choice([0, 1, 1, 2])}")
    qrels_lines += ["only-in-qrels 0 z 1", "only-in-qrels 0 y 0", "q3 0 d1 1", "q3 0 d1 0"]
    return "\n".join(run_lines) + "\n", "\n".join(qrels_lines)


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    folder = tmp_path_factory.mktemp("generated")
    run_text, qrels_text = generated_files()
    run, qrels = folder / "run.txt", folder / "qrels.txt"
    run.write_bytes(run_text.encode("utf-8"))
    qrels.write_bytes(qrels_text.encode("utf-8"))
    rankings, scores = reference_run(run_text)
    return run, qrels, rankings, scores, reference_qrels(qrels_text), folder, run_text


class TestBitIdentity:
    @pytest.mark.parametrize("depth", [{}, {"top_k": 3}, {"top_k": 0}, {"cutoffs": [1, 5, 10, 1000]}])
    def test_bundled_sample(self, depth):
        run_text = (DATA / "topics.run").read_text(encoding="utf-8")
        qrels_text = (DATA / "topics.qrels").read_text(encoding="utf-8")
        report = vextral.evaluate_run(DATA / "topics.run", DATA / "topics.qrels", **depth)
        assert_matches(report, reference_run(run_text)[0], reference_qrels(qrels_text), **depth)

    @pytest.mark.parametrize("variant", ["plain", "gzip", "not grouped", "tiny chunks", "mappings"])
    def test_generated_run(self, generated, variant, monkeypatch):
        run, qrels, rankings, scores, judged, folder, run_text = generated
        if variant == "gzip":
            run = folder / "run.gz"  # recognised by its content, not its name
            run.write_bytes(gzip.compress(run_text.encode("utf-8")))
        elif variant == "not grouped":
            lines = run_text.split("\n")
            random.Random(3).shuffle(lines)
            run = folder / "shuffled.txt"
            run.write_text("\n".join(lines), encoding="utf-8")
            rankings = reference_run("\n".join(lines))[0]  # another line of a pair is now the last
        elif variant == "tiny chunks":
            monkeypatch.setattr(trec, "CHUNK_BYTES", 7)
        elif variant == "mappings":
            run, qrels = scores, judged
        for depth in ({}, {"cutoffs": [10, 3]}, {"top_k": 5}):
            assert_matches(vextral.evaluate_run(run, qrels, **depth), rankings, judged, **depth)

    def test_repeated_pairs_are_counted(self, generated):
        run, qrels, *_ = generated
        report = vextral.evaluate_run(run, qrels)
        assert report.run_duplicates.count > 0 and report.qrels_duplicates.count > 0
        assert report.run_duplicates.first_line < report.run_duplicates.line


class TestRanking:
    def test_equal_scores_rank_by_docid_descending(self):
        run = {"q": {"a": 1.0, "b": 1.0, "c": 2.0, "ab": 1.0}}
        # c (2.0), then b, ab, a: a is fourth, whatever order the file lists them in.
        report = vextral.evaluate_run(run, {"q": {"a": 1}})
        assert report.queries[0].metrics["mrr"] == np.float32(1 / 4)

    def test_rank_column_does_not_order(self, tmp_path):
        run = tmp_path / "run"
        run.write_text("q Q0 low 1 0.5 t\nq Q0 high 2 0.9 t\n")
        report = vextral.evaluate_run(run, {"q": {"high": 1}})
        assert report.queries[0].metrics["mrr"] == 1.0

    def test_grouped_and_ungrouped_files_give_the_same_repeats_and_errors(self, tmp_path):
        grouped = "a Q0 d1 1 1 t\na Q0 d2 2 1 t\na Q0 d1 3 0 t\nb Q0 d1 1 1 t\n"
        ungrouped = "a Q0 d1 1 1 t\nb Q0 d1 1 1 t\na Q0 d2 2 1 t\na Q0 d1 3 0 t\n"
        reports = []
        for name, text in (("g", grouped), ("u", ungrouped)):
            path = tmp_path / name
            path.write_text(text)
            reports.append(vextral.evaluate_run(path, {"a": {"d1": 1}}))
            with pytest.raises(TrecFormatError) as error:
                vextral.evaluate_run(path, {"a": {"d1": 1}}, strict=True)
            line = 3 if name == "g" else 4
            assert str(error.value) == f"{path}:{line}: document 'd1' listed again for query 'a' (first on line 1)"
        assert reports[0].queries == reports[1].queries
        assert reports[0].queries[0].metrics["mrr"] == 0.5  # d1 now scores 0: below d2
        assert reports[0].run_duplicates.count == reports[1].run_duplicates.count == 1


def w(i):
    """The kernel's position weight, worked out in float32 by hand."""
    log = np.float32(max(math.log2(i + 1), 1.0)) if i > 1 else np.float32(1)
    return np.float32(np.float32(1) / log)


class TestCutoffs:
    # 12 documents; the relevant ones at ranks 1, 3 and 11, and one never retrieved.
    RANKING = [f"d{i}" for i in range(1, 13)]
    RELEVANT = {"d1": 1, "d3": 1, "d11": 1, "missed": 1}

    def report(self, ranking, cutoffs):
        run = {"q": {document: float(len(ranking) - i) for i, document in enumerate(ranking)}}
        return vextral.evaluate_run(run, {"q": self.RELEVANT}, cutoffs=cutoffs).queries[0].metrics

    def test_precision_recall_ndcg_at_10_by_hand(self):
        m = self.report(self.RANKING, [10])
        f = np.float32
        precision, recall = f(2) / f(10), f(2) / f(4)
        assert m["precision@10"] == precision == f(0.2)
        assert m["recall@10"] == recall == f(0.5)
        assert m["f1_score@10"] == (f(precision * recall) + f(precision * recall)) / f(precision + recall)
        assert m["mrr@10"] == 1.0
        dcg = f(w(0) + w(2))  # ranks 1 and 3
        ideal = f(f(f(w(0) + w(1)) + w(2)) + w(3))  # min(10, 4 relevant) positions
        assert m["ndcg@10"] == f(dcg / ideal)
        assert round(m["ndcg@10"], 4) == 0.5209

    def test_hits_past_the_cutoff_do_not_count(self):
        m = self.report(self.RANKING, [2, 12])
        assert m["precision@2"] == 0.5 and m["recall@2"] == 0.25 and m["mrr@2"] == 1.0
        assert m["precision@12"] == np.float32(3) / np.float32(12) and m["recall@12"] == 0.75
        late = self.report(["a", "b", "d11"], [2])
        assert all(late[f"{name}@2"] == 0 for name in MEASURES)

    def test_a_ranking_shorter_than_k_divides_by_its_length(self):
        m = self.report(["d1", "x", "y", "z"], [10])
        assert m["precision@10"] == 0.25 and m["recall@10"] == 0.25

    def test_invalid_depths(self):
        with pytest.raises(ValueError, match="give top_k or cutoffs, not both"):
            vextral.evaluate_run({"q": {"a": 1.0}}, {"q": {"a": 1}}, 5, cutoffs=[5])
        with pytest.raises(ValueError, match="a cut-off 0 is not between 1"):
            vextral.evaluate_run({"q": {"a": 1.0}}, {"q": {"a": 1}}, cutoffs=[0])
        with pytest.raises(TypeError, match="top_k must be an int"):
            vextral.evaluate_run({"q": {"a": 1.0}}, {"q": {"a": 1}}, 2.5)


class TestMalformedInput:
    def write(self, folder, name, data):
        path = folder / name
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
        return path

    @pytest.mark.parametrize("run, qrels, message", [
        # The run's own mistakes come first, as when it is read first.
        ("q Q0 d 1 x t\n", "q 0 d\n", "run:1: score 'x' is not a number"),
        ("q Q0 d 1 1 t\n", "q 0 d\n", 'qrels:1: expected 4 fields "qid iteration docid relevance", found 3'),
        ("q Q0 d 1 1 t\nq Q0 e 2 +inf t\nq Q0 f 3 -1e400 t\n", "q 0 d x\n", "qrels:1: relevance 'x' is not an integer"),
        ("q Q0 d 1 1 t\n" * 3, "q 0 d 1\nq 0 d 2\n", None),
        # Given the other way round: the field counts of the other file say so.
        ("q Q0 d 1 1 t\n", "q Q0 d 1 1 t\n",
         'qrels:1: expected 4 fields "qid iteration docid relevance", found 6 '
         "(as a run line has: are the run and the qrels swapped?)"),
    ])
    def test_error_order_and_accepted_numbers(self, tmp_path, run, qrels, message):
        run_path, qrels_path = self.write(tmp_path, "run", run), self.write(tmp_path, "qrels", qrels)
        if message is None:
            assert vextral.evaluate_run(run_path, qrels_path).queries[0].metrics["mrr"] == 1.0
            with pytest.raises(TrecFormatError, match=r"qrels:2: document 'd' judged again .*line 1"):
                vextral.evaluate_run(self.write(tmp_path, "one", "q Q0 d 1 1 t\n"), qrels_path, strict=True)
            return
        with pytest.raises(TrecFormatError) as error:
            vextral.evaluate_run(run_path, qrels_path)
        assert str(error.value) == f"{tmp_path}/{message}"

    def test_line_numbers_across_chunks_and_inside_gzip(self, tmp_path, monkeypatch):
        monkeypatch.setattr(trec, "CHUNK_BYTES", 5)
        text = "".join(f"q Q0 d{i} {i} 1.0 t\n" for i in range(200)) + "q Q0 bad 1 1.0\n"
        for data in (text.encode(), gzip.compress(text.encode())):
            with pytest.raises(TrecFormatError, match=r"run:201: expected 6 fields"):
                vextral.evaluate_run(self.write(tmp_path, "run", data), {"q": {"d1": 1}})

    def test_bad_gzip_and_missing_files(self, tmp_path):
        good = gzip.compress(b"q Q0 d 1 1 t\n" * 100)
        for data in (good[:-12], b"\x1f\x8b" + b"\x00" * 30):
            with pytest.raises(TrecFileError, match=r"run: not a valid gzip file"):
                vextral.evaluate_run(self.write(tmp_path, "run", data), {"q": {"d": 1}})
        with pytest.raises(TrecFileError, match="absent: No such file or directory"):
            vextral.evaluate_run(tmp_path / "absent", {"q": {"d": 1}})

    @pytest.mark.parametrize("run, qrels, error, message", [
        ({"q": {"a b": 1.0}}, {"q": {"a": 1}}, ValueError, "document id 'a b' is empty or holds whitespace"),
        ({"": {"a": 1.0}}, {"q": {"a": 1}}, ValueError, "query id '' is empty"),
        ({"q": {"a": float("nan")}}, {"q": {"a": 1}}, ValueError, "is NaN"),
        ({"q": {"a": "1"}}, {"q": {"a": 1}}, TypeError, "must be a number, not str"),
        ({1: {"a": 1.0}}, {"q": {"a": 1}}, TypeError, "query ids must be str, not int"),
        ({"q": {"a": 1.0}}, {"q": {"a": True}}, TypeError, "must be an int, not bool"),
        ({"q": {"a": 1.0}}, {"q": {"a": 0.5}}, TypeError, "must be an int, not float"),
        ({"q": {"a": 1.0}}, {"q": {"a": 0}}, TrecFormatError, "qrels mapping: no relevant documents"),
        ({}, {"q": {"a": 1}}, TrecFormatError, "run mapping: no results found"),
        (42, {"q": {"a": 1}}, TypeError, "expected a path or a mapping, not int"),
    ])
    def test_mapping_mistakes(self, run, qrels, error, message):
        with pytest.raises(error, match=message.replace("(", r"\(")):
            vextral.evaluate_run(run, qrels)

    def test_failures_of_the_chunk_source_reach_the_caller_unchanged(self):
        def interrupted():
            raise KeyboardInterrupt

        qrels = trec.open_qrels({"q": {"a": 1}})
        with pytest.raises(KeyboardInterrupt):
            _native.evaluate_trec(interrupted, lambda: None, "run", qrels, "qrels", [(0, 0)], False)
        qrels = trec.open_qrels({"q": {"a": 1}})
        with pytest.raises(TypeError):
            _native.evaluate_trec(lambda: "text", lambda: None, "run", qrels, "qrels", [(0, 0)], False)


def piped(data):
    """A pipe fed `data` by a thread, as a shell's <(...) gives one: its /dev/fd path."""
    read, write = os.pipe()

    def feed():
        try:
            with open(write, "wb") as stream:
                stream.write(data)
        except BrokenPipeError:
            pass  # the reader stopped early

    threading.Thread(target=feed, daemon=True).start()
    return read, f"/dev/fd/{read}"


@pytest.mark.skipif(not os.path.isdir("/dev/fd"), reason="needs /dev/fd")
@pytest.mark.parametrize("variant", ["grouped", "not grouped", "gzip, not grouped"])
def test_files_from_pipes(generated, variant, monkeypatch):
    # A run not grouped by query is read twice: the second time from a copy of the pipe.
    _, qrels, _, _, judged, _, run_text = generated
    if variant != "grouped":
        lines = run_text.split("\n")
        random.Random(4).shuffle(lines)
        run_text = "\n".join(lines)
    data = run_text.encode("utf-8")
    monkeypatch.setattr(trec, "CHUNK_BYTES", 4096)  # many reads of the pipe
    descriptors = []
    try:
        run_fd, run = piped(gzip.compress(data) if "gzip" in variant else data)
        qrels_fd, qrels_pipe = piped(qrels.read_bytes())
        descriptors += [run_fd, qrels_fd]
        report = vextral.evaluate_run(run, qrels_pipe, cutoffs=[5])
    finally:
        for descriptor in descriptors:
            os.close(descriptor)
    assert_matches(report, reference_run(run_text)[0], judged, cutoffs=[5])


class TestQueryIds:
    def test_a_run_whose_ids_the_qrels_lack_is_refused(self):
        with pytest.raises(TrecMismatchError) as error:
            vextral.evaluate_run({"q1": {"a": 1.0}, "q2": {"a": 1.0}}, {"1": {"a": 1}, "2": {"a": 1}})
        assert isinstance(error.value, vextral.TrecFormatError)
        assert str(error.value) == "no query of run mapping appears in qrels mapping (ids like 'q1' against '1'?)"

    def test_some_ids_the_qrels_lack_are_listed_or_refused_when_strict(self):
        run = {"q10": {"a": 1.0}, "x": {"a": 1.0}, "q2": {"a": 1.0}, "judged-irrelevant": {"a": 1.0}}
        qrels = {"q2": {"a": 1}, "q10": {"b": 1}, "judged-irrelevant": {"a": 0}}
        report = vextral.evaluate_run(run, qrels)
        assert report.not_in_qrels == ["x"]
        assert report.without_judgments == ["judged-irrelevant", "x"]
        with pytest.raises(TrecMismatchError, match=r"^1 query of run mapping not in qrels mapping \(first: 'x'\)$"):
            vextral.evaluate_run(run, qrels, strict=True)


def test_means_are_exact_unless_library_bits_are_asked_for():
    # Ten queries scoring 0.1 (a float32 a little above 1/10): float32 running sums drift.
    run = {f"q{i}": {f"d{k}": float(-k) for k in range(10)} for i in range(10)}
    qrels = {f"q{i}": {"d0": 1} for i in range(10)}
    exact = vextral.evaluate_run(run, qrels)
    library = vextral.evaluate_run(run, qrels, library_bits=True)
    precision = exact.queries[0].metrics["precision"]
    assert precision == float(np.float32(0.1))
    assert exact.summation == "exact" and library.summation == "float32-sequential"
    assert exact.mean["precision"] == precision  # ten equal values: their mean is the value
    assert library.mean["precision"] == float32.mean([precision] * 10) != precision


def test_progress_shows_bytes_read_on_a_terminal_and_is_erased(monkeypatch):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    stream = Terminal()
    monkeypatch.setattr(trec, "Progress", functools.partial(Progress, stream=stream, delay=0))
    monkeypatch.setattr(trec, "CHUNK_BYTES", 4096)
    vextral.evaluate_run(DATA / "topics.run", DATA / "topics.qrels", show_progress=True)
    shown = stream.getvalue()
    assert "\rreading topics.run [" in shown and " MB" in shown and "\rreading topics.qrels [" in shown
    assert shown.endswith("\r") and shown.split("\r")[-2].strip() == ""
    quiet = Terminal()
    monkeypatch.setattr(trec, "Progress", functools.partial(Progress, stream=quiet, delay=0))
    vextral.evaluate_run(DATA / "topics.run", DATA / "topics.qrels")
    assert quiet.getvalue() == ""
