"""The `vextral` command's input formats beyond the basic ones: .npz, Parquet,
Arrow IPC, numpy.savetxt text, CSV/TSV id columns, JSON vector keys and API
responses; the reader used without NumPy; and one-line errors for each."""
import json
import os
import sys

import numpy as np
import pytest

import vextral_core as v
from vextral import measure as exact_measure
from test_cli import BATCH, batch_json_of, one_line_error, save, vextral, write
from vextral import _native, cli, embedding_files


def have_pyarrow():
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return False
    return True


needs_pyarrow = pytest.mark.skipif(not have_pyarrow(), reason="pyarrow is not installed")

# What every format must read: BATCH, measured on exact sums as the command does by default.
EXPECTED = {name: getattr(exact_measure(BATCH), name)
            for name in ("isotropy", "coverage", "distinctiveness", "quality_score")}
IDS = ["doc-a", "doc-b", "doc-c", "doc-d"]


def write_arrow(path, table, stream=False):
    import pyarrow as pa
    sink = pa.ipc.new_stream if stream else pa.ipc.new_file
    with pa.OSFile(str(path), "wb") as out, sink(out, table.schema) as writer:
        writer.write_table(table)
    return path


def arrow_table(fixed=True, extra=True):
    import pyarrow as pa
    kind = pa.list_(pa.float32(), 3) if fixed else pa.list_(pa.float64())
    columns = {"id": pa.array(IDS), "embedding": pa.array(BATCH, type=kind)}
    if extra:
        columns["score"] = pa.array([1.0, 2.0, 3.0, 4.0])
    return pa.table(columns)


def write_parquet(path, table):
    import pyarrow.parquet as pq
    pq.write_table(table, str(path))
    return path


def csv_text(delimiter, rows, header=None):
    lines = [delimiter.join(header)] if header else []
    lines += [delimiter.join(map(str, row)) for row in rows]
    return "\n".join(lines) + "\n"


# name -> (writer, extra command-line arguments); each stores BATCH.
FORMATS = {
    "single.npz": (lambda p: (np.savez(p, vectors=np.array(BATCH, np.float32)), p)[1], []),
    "keyed.npz": (lambda p: (np.savez_compressed(p, ids=np.arange(4), vectors=np.array(BATCH)), p)[1],
                  ["--key", "vectors"]),
    "savetxt.txt": (lambda p: (np.savetxt(p, np.array(BATCH), header="made by numpy"), p)[1], []),
    "text-ids.csv": (lambda p: write(p, csv_text(",", [[i, *r] for i, r in zip(IDS, BATCH)])), []),
    "id-header.csv": (lambda p: write(p, csv_text(",", [[i, *r] for i, r in enumerate(BATCH)],
                                                  ["id", "x", "y", "z"])), []),
    "pandas.csv": (lambda p: write(p, csv_text(",", [[i, *r] for i, r in enumerate(BATCH)],
                                               ["", "0", "1", "2"])), []),
    "skip-two.tsv": (lambda p: write(p, csv_text("\t", [[i, 7, *r] for i, r in enumerate(BATCH)])),
                     ["--skip-columns", "2"]),
    "vector-key.jsonl": (lambda p: write(p, "".join(json.dumps({"vector": r}) + "\n" for r in BATCH)), []),
    "response.json": (lambda p: write(p, json.dumps({"object": "list", "data": [
        {"object": "embedding", "index": i, "embedding": r} for i, r in enumerate(BATCH)]})), []),
    "objects.json": (lambda p: write(p, json.dumps([{"id": i, "vector": r} for i, r in enumerate(BATCH)])), []),
    "no-extension": (lambda p: write(p, json.dumps(BATCH)), ["--format", "json"]),
}
ARROW_FORMATS = {
    "fixed.parquet": (lambda p: write_parquet(p, arrow_table()), []),
    "variable.parquet": (lambda p: write_parquet(p, arrow_table(fixed=False)), ["--column", "embedding"]),
    "file.arrow": (lambda p: write_arrow(p, arrow_table()), []),
    "stream.arrows": (lambda p: write_arrow(p, arrow_table(fixed=False), stream=True), []),
}


@pytest.mark.parametrize("name", [*FORMATS, *(pytest.param(n, marks=needs_pyarrow) for n in ARROW_FORMATS)])
def test_each_format_gives_the_module_results(tmp_path, name):
    writer, extra = {**FORMATS, **ARROW_FORMATS}[name]
    path = writer(tmp_path / name)
    report = batch_json_of("quality", path, *extra)
    assert {key: report[key] for key in EXPECTED} == EXPECTED
    assert (report["embeddings"], report["dimension"]) == (4, 3)


def test_without_numpy_npy_and_npz_are_read_as_buffers(tmp_path, monkeypatch):
    monkeypatch.setattr(embedding_files, "_numpy", lambda: None)
    for dtype in (np.float32, np.float64, np.int16, ">f4", np.float16):
        array = np.array(np.array(BATCH) * 4, dtype=dtype)  # exact in every type
        expected = _native.batch_measures(array.astype(np.float64))
        for path in (save(tmp_path / "b.npy", array), (np.savez(tmp_path / "b.npz", a=array), tmp_path / "b.npz")[1]):
            embeddings = embedding_files.load_embeddings(str(path))
            assert not isinstance(embeddings.data, np.ndarray)
            if np.dtype(dtype) == np.float64 or (np.dtype(dtype) == np.float32 and path.suffix == ".npz"):
                assert isinstance(embeddings.data, memoryview)  # no Python object per element
            assert _native.batch_measures(embeddings.data) == expected, dtype


def test_npy_float32_rows_are_mapped_natively_and_others_handed_over_as_arrays(tmp_path):
    array = np.array(BATCH, np.float32)
    embeddings = embedding_files.load_embeddings(str(save(tmp_path / "b.npy", array)))
    if hasattr(_native, "map_float32_rows"):
        assert type(embeddings.data).__name__ == "PyCapsule"  # the native module's own mapping
    assert _native.batch_measures(embeddings.data) == _native.batch_measures(array)
    embeddings = embedding_files.load_embeddings(str(save(tmp_path / "c.npy", array.astype(np.float64))))
    # Read, not numpy.memmap: the module reads a memmap slowly, and a file that shrinks under a
    # mapping that is not the native module's own ends the process.
    assert type(embeddings.data) is np.ndarray and not isinstance(embeddings.data.base, np.memmap)


MISTAKES = {
    "unknown extension": (lambda d: write(d / "x.parquett", "[1]"), [],
                          "x.parquett: unknown format '.parquett'; supported: .npy, .npz, .parquet"),
    "npz with two arrays": (lambda d: (np.savez(d / "x.npz", a=np.ones((2, 2)), b=np.ones((2, 2))), d / "x.npz")[1],
                            [], "x.npz: 2 arrays (a, b); choose one with --key"),
    "npz key missing": (lambda d: (np.savez(d / "x.npz", a=np.ones((2, 2))), d / "x.npz")[1], ["--key", "b"],
                        "x.npz: no array named 'b'; it has: a"),
    "not a zip": (lambda d: write(d / "x.npz", "hello"), [], "x.npz: not a .npz file"),
    "1-D array in npz": (lambda d: (np.savez(d / "x.npz", a=np.ones(3)), d / "x.npz")[1], [],
                         "x.npz[a]: expected a 2-D array"),
    "text in a number column": (lambda d: write(d / "x.csv", "id,a\nq,1\nr,s\n"), [],
                                "x.csv:3: column 2: 's' is not a number"),
    "ragged savetxt": (lambda d: write(d / "x.txt", "1 2\n3\n"), [], "line 2 has 1 number, but line 1 has 2"),
    "response without embeddings": (lambda d: write(d / "x.json", '{"data": [{"index": 0}]}'), [],
                                    "row 1 is not an array of numbers"),
}


@pytest.mark.parametrize("mistake", MISTAKES)
def test_format_mistakes_are_one_line(tmp_path, mistake):
    make, extra, message = MISTAKES[mistake]
    error = one_line_error(vextral("quality", make(tmp_path), *extra), 1)
    assert message in error, error


@needs_pyarrow
@pytest.mark.parametrize("table, extra, message", [
    (lambda: arrow_table().append_column("other", arrow_table().column("embedding")), [],
     "2 list columns (embedding, other); choose one with --column"),
    (lambda: arrow_table(), ["--column", "vec"], "no column named 'vec'; it has: id, embedding, score"),
    (lambda: arrow_table(), ["--column", "id"], "column 'id' is string, not a list of numbers"),
])
def test_parquet_column_mistakes(tmp_path, table, extra, message):
    error = one_line_error(vextral("quality", write_parquet(tmp_path / "x.parquet", table()), *extra), 1)
    assert message in error, error


@needs_pyarrow
def test_parquet_ragged_and_null_rows(tmp_path):
    import pyarrow as pa
    for rows, message in (([[1.0, 2.0], [3.0]], "row 2 has 1 number, but row 1 has 2"),
                          ([[1.0, 2.0], None], "row 2 is null"), ([[1.0, 2.0], [None, 1.0]], "row 2 holds a null")):
        path = write_parquet(tmp_path / "x.parquet", pa.table({"e": pa.array(rows, pa.list_(pa.float32()))}))
        assert message in one_line_error(vextral("quality", path), 1)


def test_without_pyarrow_the_message_names_the_package(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # makes the import fail
    path = write(tmp_path / "x.parquet", "not really")
    assert cli.main(["quality", str(path)]) == 1
    assert capsys.readouterr().err == ("vextral: error: reading Parquet files needs the pyarrow package "
                                       "(pip install pyarrow)\n")


class TestGuidance:
    """What a newcomer gets wrong first: the wrong separator or format, an id column taken for a
    dimension, numbers beyond float32, options that would do nothing, batches from two models."""

    @pytest.mark.parametrize("name, text, message", [
        ("spaces.csv", "1 2 3\n4 5 6\n",
         "spaces.csv:1: expected numbers separated by ',', but they are separated by spaces: read it with "
         "--format txt"),
        ("semicolons.csv", "a;b\n1;2\n", "semicolons.csv:1: expected numbers separated by ',', but they are "
         "separated by ';': replace them with ',' (or with spaces, for --format txt)"),
        ("commas.txt", "1,2\n3,4\n", "commas.txt:1: expected numbers separated by blanks, but they are "
         "separated by ',': read it with --format csv"),
        ("cells.csv", "1,2,3\n4,,6\n", "cells.csv:2: column 2 is empty"),
        ("-", "1,2\n3,4\n", "-:1: not valid JSON (standard input is read as JSON lines; name its format with "
         "--format, e.g. --format csv)"),
    ])
    def test_input_mistakes_say_what_was_expected(self, tmp_path, name, text, message):
        if name == "-":
            done = vextral("quality", "-", stdin=text)
        else:
            done = vextral("quality", write(tmp_path / name, text))
        assert one_line_error(done, 1).endswith(f"{message}\n")

    @pytest.mark.parametrize("name, text, extra, warned", [
        ("pk.csv", "pk,a,b\n1,0.5,0.2\n2,0.1,0.3\n3,0.3,0.9\n", [], "the first column ('pk') holds 1, 2, 3"),
        ("rows.txt", "0 0.5 0.2\n1 0.1 0.3\n2 0.3 0.9\n", [], "the first column holds 0, 1, 2"),
        ("pk.csv", "pk,a,b\n1,0.5,0.2\n2,0.1,0.3\n3,0.3,0.9\n", ["--skip-columns", "1"], None),
        ("values.txt", "0 0.5 0.2\n1 0.1 0.3\n3 0.3 0.9\n", [], None),
    ])
    def test_a_first_column_counting_rows_is_named_as_a_likely_id(self, tmp_path, name, text, extra, warned):
        path = write(tmp_path / name, text)
        done = vextral("quality", path, "--json", *extra)
        assert done.returncode == 0
        if warned is None:
            assert done.stderr == ""
        else:
            assert done.stderr == (f"vextral: warning: {path}: {warned}, ... like row numbers, and is read as a "
                                   "dimension of each embedding; if it is an id, give --skip-columns 1\n")
            assert json.loads(done.stdout)["dimension"] == 3

    @pytest.mark.parametrize("name", ["x.jsonl", "x.npy"])
    def test_a_number_beyond_float32_is_said_to_overflow(self, tmp_path, name):
        rows = [[1.0, 2.0], [1e39, 1.0], [3.0, 4.0]]
        if name == "x.npy":
            path = save(tmp_path / name, np.array(rows))  # float64: the file holds 1e39 itself
        else:
            path = write(tmp_path / name, "".join(json.dumps(row) + "\n" for row in rows))
        where = "row 2" if name == "x.npy" else "line 2"
        said = (f"1 embedding of 3 holds NaN or infinity (first: {where}, where 1e+39 overflows float32, whose "
                "largest value is 3.4028235e+38)")
        assert said in vextral("quality", path).stderr
        assert one_line_error(vextral("quality", path, "--strict"), 1).endswith(said + "\n")
        with np.errstate(over="ignore"):
            infinite = save(tmp_path / "inf.npy", np.array(rows, np.float32))  # infinity in the file
        assert "(first: row 2);" in vextral("quality", infinite).stderr

    def test_options_that_would_do_nothing_are_refused_by_the_command(self, tmp_path):
        npy = save(tmp_path / "x.npy", np.array(BATCH, np.float32))
        npz = (np.savez(tmp_path / "x.npz", a=np.array(BATCH)), tmp_path / "x.npz")[1]
        csv_file = write(tmp_path / "x.csv", csv_text(",", BATCH))
        for arguments, message in (
                (("quality", npy, "--key", "a"), f"--key does nothing for {npy}: it only applies to .npz files"),
                (("quality", csv_file, "--column", "e"),
                 f"--column does nothing for {csv_file}: it only applies to Parquet and Arrow files"),
                (("drift", npz, npy, "--skip-columns", "1"), f"--skip-columns does nothing for {npz} and {npy}"),
                (("quality", npy, "--cutoff", "3"), "unrecognized arguments: --cutoff 3")):
            error = one_line_error(vextral(*arguments), 2)
            assert error.startswith(f"vextral {arguments[0]}: error: {message}"), error
        assert vextral("drift", npz, npy, "--key", "a").returncode == 0  # the .npz takes it

    def test_threads_zero_means_all_cores_and_the_count_is_capped(self, tmp_path):
        npy = save(tmp_path / "x.npy", np.array(BATCH, np.float32))
        assert json.loads(vextral("quality", npy, "--json", "--threads", "0").stdout)["threads"] == min(
            os.process_cpu_count() or 1, 1024)
        assert json.loads(vextral("quality", npy, "--json", "--threads", "5000").stdout)["threads"] == 1024
