"""The measures of Dask arrays on a local cluster of two worker processes: the same bits as in
one process for every chunking, through a worker's death, and from the command."""
import json
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest
import vextral
from vextral import cli
from vextral.shards import shard_paths

if os.environ.get("VEXTRAL_UNDER_ASAN") == "1":
    # Worker processes would start under the preloaded sanitizer runtime, each checked for the
    # leaks of Dask's own imports at its exit; the native entries they run are tested without them.
    pytest.skip("no Dask cluster under the sanitizer run", allow_module_level=True)

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50) as cluster, distributed.Client(cluster) as client:
        yield client


def batch():
    x = np.random.default_rng(21).standard_normal((2400, 48)).astype(np.float32)
    x[::97] *= np.float32(1e25)  # rows whose squares overflow, scaled in whichever block they fall
    x[7] = 0.0
    return x


def test_the_same_bits_as_one_process_for_every_chunking(client):
    x = batch()
    whole = vextral.measure(x)
    sampled = vextral.measure(x, pairs=20000, seed=5)
    for chunks in [(800, 48), ((1, 999, 700, 700), (20, 28)), (2400, 48)]:  # the middle one split across columns
        array = da.from_array(x, chunks=chunks)
        assert vextral.measure(array) == whole
        assert vextral.measure(array, pairs=20000, seed=5) == sampled
    # float64 chunks are narrowed as the batch in memory is.
    wide = x.astype(np.float64) * 1.0000001
    assert vextral.measure(da.from_array(wide, chunks=500)) == vextral.measure(wide)
    baseline = da.from_array(x, chunks=600)
    assert vextral.drift(baseline, x[:900] + np.float32(0.25)) == vextral.drift(x, x[:900] + np.float32(0.25))


def test_many_small_chunks_become_fewer_blocks(monkeypatch):
    import dask
    from vextral import cluster
    x = batch()
    monkeypatch.setattr(cluster, "MOST_ROW_BLOCKS", 4)
    array = da.from_array(x, chunks=(100, 48))
    assert len(cluster.row_blocks(array)[1]) == 4
    with dask.config.set(scheduler="threads"):  # Dask's threads: the native passes let go of the lock
        assert vextral.measure(array) == vextral.measure(x)
        assert vextral.measure(array, pairs=3000, seed=1) == vextral.measure(x, pairs=3000, seed=1)


def test_a_worker_killed_mid_way_costs_only_its_tasks(client, tmp_path):
    x = batch()
    marker = str(tmp_path / "killed")

    def slow(block):
        # The first block to be read names its worker, which is then killed while it sleeps.
        try:
            with open(marker, "x") as file:
                file.write(str(os.getpid()))
        except FileExistsError:
            pass
        time.sleep(0.3)
        return block

    # With its meta given, slow runs on the workers only.
    array = da.from_array(x, chunks=400).map_blocks(slow, meta=np.empty((0, 0), dtype=np.float32))
    worker_pids = set(client.run(os.getpid).values())
    result = {}
    thread = threading.Thread(target=lambda: result.setdefault("measures", vextral.measure(array)))
    thread.start()
    deadline = time.monotonic() + 30
    while not os.path.exists(marker) or not open(marker).read():
        assert time.monotonic() < deadline
        time.sleep(0.01)
    pid = int(open(marker).read())
    assert pid in worker_pids
    os.kill(pid, signal.SIGKILL)
    thread.join(60)
    assert result["measures"] == vextral.measure(x)
    assert pid not in set(client.run(os.getpid).values())  # it did die


def test_many_files_are_ordered_by_the_numbers_in_their_names_whatever_else_they_hold(tmp_path):
    # "²" is a digit to str.isdigit but not a decimal digit: it is text between the numbers.
    names = ["part-10", "part-2", "part-1\u00b2", "part-\u0663"]  # \u0663: ARABIC-INDIC DIGIT THREE
    for name in names:
        (tmp_path / name).touch()
    found = [os.path.basename(path) for path in shard_paths(str(tmp_path / "part-*"))]
    assert found == ["part-1\u00b2", "part-2", "part-\u0663", "part-10"]


def test_the_command_on_the_cluster_and_on_many_files(client, tmp_path, capsys):
    x = batch()
    np.save(tmp_path / "all.npy", x)
    # Read in natural order: part-2 before part-10.
    for number, rows in zip((1, 2, 10), (slice(0, 1000), slice(1000, 1800), slice(1800, 2400))):
        np.save(tmp_path / f"part-{number}.npy", x[rows])
    pattern = str(tmp_path / "part-*.npy")
    address = client.scheduler.address

    def run(*arguments):
        assert cli.main(["quality", "--json", *arguments]) == 0
        captured = capsys.readouterr()
        document = json.loads(captured.out)
        return {key: document[key] for key in ("isotropy", "coverage", "distinctiveness", "quality_score",
                                              "embeddings", "summation")}, captured.err

    alone = run(str(tmp_path / "all.npy"))
    assert run(pattern) == alone
    assert run("--scheduler", address, pattern) == alone
    sampled = run("--pairs", "5000", "--seed", "2", str(tmp_path / "all.npy"))
    assert sampled[0]["summation"] == "sampled"
    assert run("--scheduler", address, "--pairs", "5000", "--seed", "2", pattern) == sampled
    # Rows holding NaN are named by their place in the whole batch, in this process and there.
    small = tmp_path / "small"
    small.mkdir()
    for number in (1, 2, 10):
        part = np.ones((3, 4), dtype=np.float32) * number
        part[1, 2] = np.nan if number == 10 else part[1, 2]
        np.save(small / f"p{number}.npy", part)
    for where in ([], ["--scheduler", address]):
        assert "(first: row 8)" in run(*where, str(small / "p*.npy"))[1]


def test_without_dask_a_dask_array_gets_a_message_naming_the_extra(monkeypatch):
    class FakeArray:
        __module__ = "dask.array.core"
        ndim = 2
        chunks = ((1,), (1,))

        def __dask_graph__(self):
            return {}

    monkeypatch.setitem(sys.modules, "dask", None)
    with pytest.raises(ImportError, match=r"pip install 'vextral_core\[dask\]'"):
        vextral.measure(FakeArray())
