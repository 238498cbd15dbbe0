"""`vextral quality` and `vextral drift` beyond one batch in one process: inputs of many files,
a Dask cluster (--scheduler ADDRESS, or --workers N for a local one), and sampled estimates
(--pairs N --seed S)."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import logging
import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from vextral.cluster import EXTRA, measure_dask
from vextral.embedding_files import Embeddings, ReadOptions, check_unchanged, load_embeddings
from vextral.embedding_measures import Quality, measure_drift
from vextral.errors import UserError
from vextral.sampling import DEFAULT_SEED, Estimates, measure_sampled
from vextral.shards import dask_embeddings, is_many, load_together

# Rows per chunk: at least this many, so that a task's pass outweighs its scheduling...
FEWEST_ROWS_PER_CHUNK = 1024
# ... and at most this many bytes of float32 rows, so that two chunks and their copies fit a worker.
MOST_CHUNK_BYTES = 64 << 20


def add_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("larger than one machine")
    where = group.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="measure on the running Dask scheduler at ADDRESS (tcp://host:8786); its workers "
                       "need vextral_core and must see the input files; the same bits as in one process")
    where.add_argument("--workers", type=_positive, metavar="N",
                       help="measure on a local Dask cluster of N worker processes of one thread each")
    group.add_argument("--pairs", type=_pair_count, metavar="N",
                       help="estimate isotropy, distinctiveness and the quality score from N pairs drawn "
                       "uniformly, each with a standard error and 95 %% interval (coverage stays exact)")
    group.add_argument("--seed", type=_seed, metavar="S",
                       help=f"the seed that draws the --pairs sample (default {DEFAULT_SEED}); the same seed "
                       "gives the same estimates on any machine, thread count or cluster")


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None


def _positive(text: str) -> int:
    value = _integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not at least 1")
    return value


def _pair_count(text: str) -> int:
    value = _integer(text)
    if value < 2:
        raise argparse.ArgumentTypeError(f"{text} is not at least 2 (a standard error needs two pairs)")
    return value


def _seed(text: str) -> int:
    value = _integer(text)
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"{text} is not in [0, 2**64)")
    return value


def wanted(arguments: argparse.Namespace, *paths: str) -> bool:
    """Whether the command is this module's: a cluster, a sample, or an input of many files."""
    return (arguments.scheduler is not None or arguments.workers is not None or arguments.pairs is not None
            or arguments.seed is not None or any(is_many(path) for path in paths))


@dataclass
class Session:
    """Where the measures run: a Dask client, or this process (client None)."""

    client: Any = None
    description: dict[str, Any] | None = None

    def threads(self) -> int:
        return sum(self.client.nthreads().values()) if self.client is not None else 1


@contextlib.contextmanager
def session(arguments: argparse.Namespace) -> Iterator[Session]:
    if arguments.scheduler is None and arguments.workers is None:
        yield Session()
        return
    if arguments.library_bits:
        raise UserError("--library-bits needs the float32 sums of one process: leave out --scheduler/--workers")
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        raise UserError(f"--scheduler and --workers need Dask's distributed package: {EXTRA}") from None
    if arguments.scheduler is not None:
        try:
            client = distributed.Client(arguments.scheduler, timeout="10s")
        except (OSError, TimeoutError) as error:
            raise UserError(f"no Dask scheduler answers at {arguments.scheduler} ({error})") from None
        with client:
            yield Session(client, {"scheduler": arguments.scheduler, "workers": len(client.nthreads())})
        return
    with distributed.LocalCluster(n_workers=arguments.workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.CRITICAL) as cluster:
        with distributed.Client(cluster) as client:
            yield Session(client, {"workers": arguments.workers})


def rows_per_chunk(rows: int, dimension: int, threads: int) -> int:
    """Chunks for about 4 block-pair tasks per thread: k blocks make k(k + 1)/2 tasks."""
    blocks = max(1, math.ceil(math.sqrt(8 * threads)))
    rows_per = math.ceil(rows / blocks)
    most = max(1, MOST_CHUNK_BYTES // (4 * max(dimension, 1)))
    return max(1, min(max(rows_per, FEWEST_ROWS_PER_CHUNK), most))


def _read(path: str, options: ReadOptions, where: Session) -> Embeddings:
    from vextral import cli
    if where.client is None:
        embeddings = load_together(path, options) if is_many(path) else load_embeddings(path, options)
    else:
        threads = where.threads()
        embeddings = dask_embeddings(path, options, lambda rows, dimension: rows_per_chunk(rows, dimension, threads))
    return cli._warn_of_reading(embeddings)


def _measure(embeddings: Embeddings, arguments: argparse.Namespace, where: Session) -> tuple[Quality, Estimates | None]:
    from vextral import cli
    checked = cli._non_finite_check(embeddings, strict=arguments.strict)
    if arguments.pairs is not None:
        if arguments.library_bits:
            raise UserError("--library-bits gives the float32 bits of every pair: it cannot take --pairs")
        seed = DEFAULT_SEED if arguments.seed is None else arguments.seed
        threads = 1 if where.client is not None else arguments.threads
        sampled = measure_sampled(embeddings, arguments.pairs, seed, threads=threads, checked=checked)
        check_unchanged(embeddings)
        return sampled
    if arguments.seed is not None:
        raise UserError("--seed chooses the sample of --pairs: give --pairs N too")
    if where.client is not None:
        return measure_dask(embeddings.data, checked=checked, embeddings=embeddings), None
    return cli._measured(embeddings, arguments.threads, arguments.progress, strict=arguments.strict,
                         library_bits=arguments.library_bits), None


def _extra(where: Session, arguments: argparse.Namespace) -> dict[str, Any]:
    if where.description is not None:
        return {"cluster": where.description}
    return {"threads": arguments.threads}


def quality(arguments: argparse.Namespace) -> None:
    from vextral import cli, reports, sampled_reports
    with session(arguments) as where:
        embeddings = _read(arguments.file, cli._read_options(arguments, arguments.file), where)
        cli._warn_if_single(embeddings, in_drift=False)
        measured, estimates = _measure(embeddings, arguments, where)
    name = arguments.file
    if estimates is None:
        cli._print(arguments, reports.quality_text(measured, name),
                   {**reports.quality_json(measured, name, measured.non_finite), **_extra(where, arguments)})
    else:
        cli._print(arguments, sampled_reports.quality_text(measured, estimates, name),
                   {**sampled_reports.sampled_quality_json(measured, estimates, name, measured.non_finite),
                    **_extra(where, arguments)})


def drift(arguments: argparse.Namespace) -> None:
    from vextral import cli, reports, sampled_reports
    names = (arguments.baseline, arguments.current)
    options = cli._read_options(arguments, *names)
    with session(arguments) as where:
        batches = [_read(name, options, where) for name in names]
        cli._check_dimensions(arguments, *batches)
        for embeddings in batches:
            cli._warn_if_single(embeddings, in_drift=True)
        measured = [_measure(embeddings, arguments, where) for embeddings in batches]
    (baseline, baseline_estimates), (current, current_estimates) = measured
    found = (baseline.non_finite, current.non_finite)
    result = measure_drift(baseline, current)
    if baseline_estimates is None or current_estimates is None:
        cli._print(arguments, reports.drift_text(result, *names),
                   {**reports.drift_json(result, *names, found), **_extra(where, arguments)})
    else:
        estimates = (baseline_estimates, current_estimates)
        cli._print(arguments, sampled_reports.drift_text(result, estimates, *names),
                   {**sampled_reports.drift_json(result, estimates, *names, found), **_extra(where, arguments)})
