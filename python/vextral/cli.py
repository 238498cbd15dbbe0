"""The `vextral` command.

Exit status: 0 on success, 1 for a mistake in the input (a missing file, a
malformed line, a wrong shape, or with --strict embeddings holding NaN or
infinity), 2 for a mistake on the command line, 3 when vextral_core fails
internally, 130 when interrupted (Ctrl-C), 141 when standard output is closed
early (`vextral ... | head`; 128 + SIGPIPE, as the shell reports a program
that the signal ended). Errors are one line on standard error; results go to
standard output.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import textwrap
import warnings
from collections.abc import Callable, Sequence
from importlib.metadata import PackageNotFoundError, version
from typing import Any, NoReturn

from vextral import reports, scale_cli
from vextral.embedding_files import (EXTENSIONS, FORMATS, STDIN, Embeddings, ReadOptions, check_options_apply,
                                     check_unchanged, load_embeddings)
from vextral.embedding_measures import NonFinite, Quality, measure_drift, measure_quality
from vextral.errors import UserError, is_panic, plural
from vextral.measures import MOST_THREADS, thread_count
from vextral.retrieval_evaluation import evaluate_run
from vextral.retrieval_reports import retrieval_json, retrieval_text
from vextral.progress import PassProgress
from vextral.sample import bundled_sample

EXIT_INPUT = 1
EXIT_USAGE = 2
EXIT_INTERNAL = 3
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

# The largest finite float32.
FLOAT32_MAX = 3.4028234663852886e38


class _Parser(argparse.ArgumentParser):
    """Reports command-line mistakes in one line, like every other error."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _CommandParser(_Parser):
    """A command's parser reports what it does not know itself: "vextral quality: error:
    unrecognized arguments: --cutoff 3" points at the command's own --help, where the top-level
    parser would report the option as one of its own."""

    def parse_known_args(self, args: Sequence[str] | None = None,  # type: ignore[override]
                         namespace: argparse.Namespace | None = None) -> tuple[argparse.Namespace, list[str]]:
        parsed, extras = super().parse_known_args(args, namespace)
        if extras:
            self.error(f"unrecognized arguments: {' '.join(extras)}")
        return parsed, extras


def main(argv: Sequence[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    try:
        arguments.command(arguments)
        sys.stdout.flush()
    except UserError as error:
        return _fail(EXIT_INPUT, str(error))
    except KeyboardInterrupt:
        return _fail(EXIT_INTERRUPTED, "interrupted")
    except MemoryError as error:
        # An input too large for this machine (the packed copy of a huge batch, say).
        return _fail(EXIT_INPUT, f"out of memory ({error or 'no detail'})")
    except BrokenPipeError:
        # The reader went away (`vextral ... | head`): stop quietly, and keep
        # the interpreter from complaining about the unflushed output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except BaseException as error:
        if is_panic(error):
            return _fail(EXIT_INTERNAL, f"internal failure in vextral_core: {error}")
        raise
    return 0


def _fail(status: int, message: str) -> int:
    print(f"vextral: error: {message}", file=sys.stderr)
    return status


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="vextral", description="Bit-exact float32 quality measures for embeddings "
                     "and ranked retrieval results, computed by vextral_core.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True,
                                     parser_class=_CommandParser)

    def command(name: str, summary: str, run: Callable[[argparse.Namespace], None]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.set_defaults(command=run, parser=sub)
        sub.add_argument("--json", action="store_true", help="print one JSON document instead of text")
        return sub

    embeddings_help = ("embeddings, by extension: " + ", ".join(EXTENSIONS) +
                       " (- reads JSON lines from standard input)")
    quality = command("quality", "isotropy, coverage, distinctiveness and quality score of a batch",
                      _quality)
    quality.add_argument("file", metavar="FILE", help=embeddings_help + "; a glob pattern or a folder of "
                         "Parquet files reads many files as one batch")
    _add_embedding_options(quality, "refuse embeddings holding NaN or infinity (exit 1) instead of warning")
    scale_cli.add_options(quality)

    drift = command("drift", "drift from a baseline batch to a current batch, with the measures of each",
                    _drift)
    drift.add_argument("baseline", metavar="BASELINE", help=embeddings_help)
    drift.add_argument("current", metavar="CURRENT", help="embeddings, in any format BASELINE takes")
    _add_embedding_options(drift, "refuse embeddings holding NaN or infinity, and batches of different "
                           "dimension (exit 1), instead of warning")
    scale_cli.add_options(drift)

    retrieval = command("retrieval", "precision, recall, F1, MRR and NDCG of a TREC run, per query "
                        "and as the mean over queries", _retrieval)
    retrieval.formatter_class = argparse.RawDescriptionHelpFormatter
    retrieval.epilog = RETRIEVAL_MEASURES
    retrieval.add_argument("run", metavar="RUN", help='TREC run: "qid Q0 docid rank score tag" per line, '
                           "ranked by score (ties: docid, descending); gzip-compressed files are read too")
    retrieval.add_argument("qrels", metavar="QRELS",
                           help='TREC qrels: "qid iteration docid relevance" per line; relevance > 0 is relevant')
    _add_evaluation_options(retrieval)
    depth = retrieval.add_mutually_exclusive_group()
    depth.add_argument("--cutoff", type=_depth, action="append", metavar="K",
                       help="cut each ranking to its first K documents before scoring, so that every measure "
                       "is @K (precision@K, recall@K, ...); repeat for several cut-offs")
    depth.add_argument("--library-top-k", type=_depth, metavar="K",
                       help="score whole rankings with K as vextral_core's top_k: precision is the distinct "
                       "relevant documents of the WHOLE ranking over min(K, its length), NDCG looks at the "
                       "first K, recall, F1 and MRR at the whole ranking (what --top-k used to do)")
    # The old spelling looked like precision@K but was not: it now explains itself.
    depth.add_argument("--top-k", type=_retired_top_k, help=argparse.SUPPRESS)
    retrieval.add_argument("--strict", action="store_true",
                           help="reject a (query, document) pair listed twice in RUN or QRELS (by default "
                           "the last line counts and the report notes the repeats), and a query of RUN "
                           "that QRELS does not list (by default a warning)")
    retrieval.add_argument("--library-bits", action="store_true",
                           help="the mean over queries as vextral_core computes a mean: a float32 running "
                           "sum in the natural order of the query ids, over their count (default: the exact "
                           "sum of the float32 values over the count, rounded once to a double)")
    retrieval.add_argument("--summary", action="store_true", help="print only the mean over queries")

    demo = command("demo", "all three on the bundled sample of Python's documentation", _demo)
    _add_evaluation_options(demo)
    _add_threads_option(demo)
    _add_summation_option(demo)
    return parser


def _add_embedding_options(parser: argparse.ArgumentParser, strict_help: str) -> None:
    parser.add_argument("--format", choices=FORMATS, help="read every input in this format, "
                        "whatever its name (default: from the extension; JSON lines for -)")
    parser.add_argument("--key", metavar="NAME", help=".npz: the array to read (default: the only one)")
    parser.add_argument("--column", metavar="NAME",
                        help="Parquet/Arrow: the column of embeddings, a list of numbers per row "
                             "(default: the only such column)")
    parser.add_argument("--skip-columns", type=_count, metavar="N",
                        help="CSV/TSV/text: the first N columns are ids, not numbers (default: leading "
                             "columns that hold text, or whose header is an id name such as 'id')")
    parser.add_argument("--strict", action="store_true", help=strict_help)
    parser.add_argument("--no-progress", dest="progress", action="store_false",
                        help="never show progress (it shows on a terminal during long passes)")
    _add_threads_option(parser)
    _add_summation_option(parser)


def _add_summation_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--library-bits", action="store_true",
                        help="give exactly the float32 bits of vextral_core's functions (sequential float32 "
                        "sums, which fail on large batches) instead of the measures on exact sums")


def _add_threads_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--threads", type=_threads, default=thread_count(None), metavar="N",
                        help="threads the pass over pairs may use; results are the same bits for any N "
                             f"(default, or 0: all cores, here %(default)s; at most {MOST_THREADS})")


def _threads(text: str) -> int:
    return thread_count(_count(text))


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is negative")
    return value


def _add_evaluation_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--no-progress", dest="progress", action="store_false",
                        help="never show a progress bar (one shows on a terminal during long evaluations)")


RETRIEVAL_MEASURES = """\
what each measure counts, for one query (R: its relevant documents, L: the
documents scored, that is its first K with --cutoff K, otherwise the whole
ranking, and then K is its length):
  precision  distinct relevant documents in L / len(L)  (with --cutoff K and a
             ranking shorter than K, still over len(L), not over K)
  recall     distinct relevant documents in L / |R|
  f1_score   2PR / (P + R), from P and R before they are capped at 1
  mrr        1 / rank of the first relevant document in L (0 if none)
  ndcg       binary gain; position i (from 0) weighs 1 / max(log2(i + 1), 1),
             so ranks 1 and 2 both weigh 1; divided by the ideal over
             min(K, |R|) positions
Queries with a relevant document count; one missing from the run scores 0.
The mean is the exact sum of the per-query float32 values over their count,
rounded once to a double (--library-bits: a float32 running mean in the
natural order of the query ids)."""


def _depth(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not 1 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"{text} is not between 1 and 2**64 - 1")
    return value


def _retired_top_k(text: str) -> int:
    raise argparse.ArgumentTypeError("--top-k is gone, as it did not give precision@K: use --cutoff K for "
                                     "measures @K, or --library-top-k K for vextral_core's top_k")


def _version() -> str:
    try:
        return version("vextral_core")
    except PackageNotFoundError:
        return "(not installed)"


def _print(arguments: argparse.Namespace, text: str, document: dict[str, Any]) -> None:
    if arguments.json:
        print(json.dumps({"vextral_version": _version(), **document}, indent=2))
    else:
        print(text)


def _warn(message: str) -> None:
    print(f"vextral: warning: {message}", file=sys.stderr)


def _read_options(arguments: argparse.Namespace, *paths: str) -> ReadOptions:
    """The reading options, refused (as a command-line mistake) when one applies to none of the
    formats of `paths`, so that it would be silently ignored."""
    options = ReadOptions(arguments.format, arguments.key, arguments.column, arguments.skip_columns)
    mistake = check_options_apply(list(paths), options)
    if mistake is not None:
        arguments.parser.error(mistake)
    return options


def _load(path: str, options: ReadOptions) -> Embeddings:
    return _warn_of_reading(load_embeddings(path, options))


def _warn_of_reading(embeddings: Embeddings) -> Embeddings:
    """Prints what the reader found worth a warning; returns `embeddings`."""
    for warning in embeddings.warnings:
        _warn(warning)
    return embeddings


def _check_dimensions(arguments: argparse.Namespace, baseline: Embeddings, current: Embeddings) -> None:
    """Warns of a drift between batches of different dimension, or with --strict refuses it."""
    if baseline.dimension == current.dimension:
        return
    message = (f"{arguments.baseline} has {plural(baseline.dimension, 'dimension')} and {arguments.current} "
               f"{current.dimension}: batches of different dimension, usually from two different models, "
               "measure different spaces")
    if arguments.strict:
        raise UserError(message)
    _warn(message + "; their drift says little (--strict refuses them)")


def _warn_if_single(embeddings: Embeddings, *, in_drift: bool) -> None:
    if embeddings.count == 1:
        _warn(f"{embeddings.source} holds 1 embedding: every measure of a single embedding is 0"
              + (", so the drift compares with zeros, not with a batch" if in_drift else ""))


def _non_finite_check(embeddings: Embeddings, *, strict: bool) -> Callable[[NonFinite], None]:
    """What to do with the embeddings holding NaN or infinity, which the native pass counts
    before it computes anything: they pass through the measures silently (a NaN makes isotropy
    0 and coverage and distinctiveness 1), so warn, or with --strict refuse the batch."""
    def check(found: NonFinite) -> None:
        if not found.count:
            return
        assert found.first is not None
        held = "holds" if found.count == 1 else "hold"
        first = embeddings.label(found.first)
        overflow = embeddings.overflow_in(found.first)
        if overflow is not None:
            # Not in the file: a finite number beyond float32's range becomes infinity.
            first += f", where {overflow:g} overflows float32, whose largest value is {FLOAT32_MAX:.8g}"
        message = (f"{embeddings.source}: {plural(found.count, 'embedding')} of {embeddings.count}"
                   f" {held} NaN or infinity (first: {first})")
        if strict:
            raise UserError(message)
        _warn(message + "; the measures of such a batch mean little (--strict refuses it)")
    return check


def _measured(embeddings: Embeddings, threads: int, show_progress: bool, *, strict: bool,
              library_bits: bool) -> Quality:
    with PassProgress(f"{os.path.basename(embeddings.source)}: pairs", enabled=show_progress) as progress:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RuntimeWarning)
            quality = measure_quality(embeddings, threads=threads, progress=progress,
                                      checked=_non_finite_check(embeddings, strict=strict),
                                      library_bits=library_bits)
    check_unchanged(embeddings)
    for warning in caught:
        _warn(f"{embeddings.source}: {warning.message}")
    return quality


def _quality(arguments: argparse.Namespace) -> None:
    if scale_cli.wanted(arguments, arguments.file):
        return scale_cli.quality(arguments)
    embeddings = _load(arguments.file, _read_options(arguments, arguments.file))
    _warn_if_single(embeddings, in_drift=False)
    quality = _measured(embeddings, arguments.threads, arguments.progress, strict=arguments.strict,
                        library_bits=arguments.library_bits)
    name = arguments.file
    _print(arguments, reports.quality_text(quality, name),
           {**reports.quality_json(quality, name, quality.non_finite), "threads": arguments.threads})


def _drift(arguments: argparse.Namespace) -> None:
    baseline_name, current_name = arguments.baseline, arguments.current
    if baseline_name == STDIN and current_name == STDIN:
        raise UserError("only one of BASELINE and CURRENT can be read from standard input")
    if scale_cli.wanted(arguments, baseline_name, current_name):
        return scale_cli.drift(arguments)
    options = _read_options(arguments, baseline_name, current_name)
    baseline = _load(baseline_name, options)
    current = _load(current_name, options)
    _check_dimensions(arguments, baseline, current)
    for embeddings in (baseline, current):
        _warn_if_single(embeddings, in_drift=True)
    # Each batch is converted and scanned once, just before its own pass: a batch refused
    # with --strict is refused there.
    measured = [_measured(embeddings, arguments.threads, arguments.progress, strict=arguments.strict,
                          library_bits=arguments.library_bits)
                for embeddings in (baseline, current)]
    drift = measure_drift(*measured)
    found = (measured[0].non_finite, measured[1].non_finite)
    _print(arguments, reports.drift_text(drift, baseline_name, current_name),
           {**reports.drift_json(drift, baseline_name, current_name, found), "threads": arguments.threads})


def _retrieval(arguments: argparse.Namespace) -> None:
    report = evaluate_run(arguments.run, arguments.qrels, arguments.library_top_k, cutoffs=arguments.cutoff,
                          strict=arguments.strict, library_bits=arguments.library_bits,
                          show_progress=arguments.progress)
    if report.not_in_qrels:
        _warn(f"{plural(len(report.not_in_qrels), 'query', 'queries')} of {arguments.run} not in {arguments.qrels} "
              f"left out (first: {report.not_in_qrels[0]!r}; --strict refuses them)")
    text = retrieval_text(report, arguments.run, arguments.qrels, per_query=not arguments.summary)
    _print(arguments, text, retrieval_json(report, arguments.run, arguments.qrels,
                                           per_query=not arguments.summary))


def _demo(arguments: argparse.Namespace) -> None:
    with bundled_sample() as sample:
        baseline = load_embeddings(str(sample.baseline))
        current = load_embeddings(str(sample.current))
        report = evaluate_run(sample.run, sample.qrels, show_progress=arguments.progress)
    baseline_name, current_name = sample.baseline.name, sample.current.name
    run_name, qrels_name = sample.run.name, sample.qrels.name

    quality = _measured(baseline, arguments.threads, arguments.progress, strict=False,
                        library_bits=arguments.library_bits)
    current_quality = _measured(current, arguments.threads, arguments.progress, strict=False,
                                library_bits=arguments.library_bits)
    drift = measure_drift(quality, current_quality)
    found = (quality.non_finite, current_quality.non_finite)
    text = "\n\n".join([
        textwrap.fill(f"vextral demo: {sample.description}", width=88),
        reports.quality_text(quality, baseline_name),
        reports.drift_text(drift, baseline_name, current_name),
        retrieval_text(report, run_name, qrels_name, per_query=False),
        "Each command also runs on your own files: vextral quality FILE, vextral drift BASELINE CURRENT,"
        " vextral retrieval RUN QRELS.",
    ])
    _print(arguments, text, {
        "sample": sample.description,
        "quality": reports.quality_json(quality, baseline_name, found[0]),
        "drift": reports.drift_json(drift, baseline_name, current_name, found),
        "retrieval": retrieval_json(report, run_name, qrels_name),
        "threads": arguments.threads,
    })
