"""The `vextral` command.

Exit status: 0 on success, 1 for a mistake in the input (a missing file, a
malformed line, a wrong shape), 2 for a mistake on the command line, 3 when
vextral_core fails internally, 130 when interrupted. Errors are one line on
standard error; results go to standard output.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import textwrap
from collections.abc import Callable, Sequence
from importlib.metadata import PackageNotFoundError, version
from typing import Any, NoReturn

from vextral import reports
from vextral.embedding_files import STDIN, load_embeddings
from vextral.embedding_measures import measure_drift, measure_quality
from vextral.errors import UserError, is_panic
from vextral.retrieval_evaluation import evaluate_run
from vextral.retrieval_reports import retrieval_json, retrieval_text
from vextral.sample import bundled_sample

EXIT_INPUT = 1
EXIT_USAGE = 2
EXIT_INTERNAL = 3
EXIT_INTERRUPTED = 130


class _Parser(argparse.ArgumentParser):
    """Reports command-line mistakes in one line, like every other error."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def main(argv: Sequence[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    try:
        arguments.command(arguments)
        sys.stdout.flush()
    except UserError as error:
        return _fail(EXIT_INPUT, str(error))
    except KeyboardInterrupt:
        return _fail(EXIT_INTERRUPTED, "interrupted")
    except BrokenPipeError:
        # The reader went away (`vextral ... | head`): stop quietly, and keep
        # the interpreter from complaining about the unflushed output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_INPUT
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
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)

    def command(name: str, summary: str, run: Callable[[argparse.Namespace], None]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.set_defaults(command=run)
        sub.add_argument("--json", action="store_true", help="print one JSON document instead of text")
        return sub

    embeddings_help = ("embeddings: .npy (2-D), .json (array of arrays), .csv, .tsv, or one JSON array "
                       "per line (any other name; - reads standard input)")
    quality = command("quality", "isotropy, coverage, distinctiveness and quality score of a batch",
                      _quality)
    quality.add_argument("file", metavar="FILE", help=embeddings_help)

    drift = command("drift", "drift from a baseline batch to a current batch, with the measures of each",
                    _drift)
    drift.add_argument("baseline", metavar="BASELINE", help=embeddings_help)
    drift.add_argument("current", metavar="CURRENT", help="embeddings, in any format BASELINE takes")

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
    depth.add_argument("--cutoff", type=_count, action="append", metavar="K",
                       help="cut each ranking to its first K documents before scoring, so that every measure "
                       "is @K (precision@K, recall@K, ...); repeat for several cut-offs")
    depth.add_argument("--library-top-k", type=_count, metavar="K",
                       help="score whole rankings with K as vextral_core's top_k: precision is the distinct "
                       "relevant documents of the WHOLE ranking over min(K, its length), NDCG looks at the "
                       "first K, recall, F1 and MRR at the whole ranking (what --top-k used to do)")
    # The old spelling looked like precision@K but was not: it now explains itself.
    depth.add_argument("--top-k", type=_retired_top_k, help=argparse.SUPPRESS)
    retrieval.add_argument("--strict", action="store_true",
                           help="reject a (query, document) pair listed twice in RUN or QRELS (by default "
                           "the last line counts and the report notes the repeats)")
    retrieval.add_argument("--summary", action="store_true", help="print only the mean over queries")

    demo = command("demo", "all three on the bundled sample of Python's documentation", _demo)
    _add_evaluation_options(demo)
    return parser


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
The mean is a float32 running mean in the natural order of the query ids."""


def _count(text: str) -> int:
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
        print(json.dumps(document, indent=2))
    else:
        print(text)


def _quality(arguments: argparse.Namespace) -> None:
    quality = measure_quality(load_embeddings(arguments.file))
    name = arguments.file
    _print(arguments, reports.quality_text(quality, name), reports.quality_json(quality, name))


def _drift(arguments: argparse.Namespace) -> None:
    baseline_name, current_name = arguments.baseline, arguments.current
    if baseline_name == STDIN and current_name == STDIN:
        raise UserError("only one of BASELINE and CURRENT can be read from standard input")
    drift = measure_drift(load_embeddings(baseline_name), load_embeddings(current_name))
    _print(arguments, reports.drift_text(drift, baseline_name, current_name),
           reports.drift_json(drift, baseline_name, current_name))


def _retrieval(arguments: argparse.Namespace) -> None:
    report = evaluate_run(arguments.run, arguments.qrels, arguments.library_top_k, cutoffs=arguments.cutoff,
                          strict=arguments.strict, show_progress=arguments.progress)
    text = retrieval_text(report, arguments.run, arguments.qrels, per_query=not arguments.summary)
    _print(arguments, text, retrieval_json(report, arguments.run, arguments.qrels))


def _demo(arguments: argparse.Namespace) -> None:
    with bundled_sample() as sample:
        baseline = load_embeddings(str(sample.baseline))
        current = load_embeddings(str(sample.current))
        report = evaluate_run(sample.run, sample.qrels, show_progress=arguments.progress)
    baseline_name, current_name = sample.baseline.name, sample.current.name
    run_name, qrels_name = sample.run.name, sample.qrels.name

    quality = measure_quality(baseline)
    drift = measure_drift(baseline, current)
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
        "quality": reports.quality_json(quality, baseline_name),
        "drift": reports.drift_json(drift, baseline_name, current_name),
        "retrieval": retrieval_json(report, run_name, qrels_name),
    })
