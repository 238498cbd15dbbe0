"""Seeded fuzzing of the module boundary.

Each case calls one of the six functions with a randomly built argument list
and object graph and checks the outcome, the unraisable reports, the inner
module calls and the reference counts (case_check.py). Case i of a run with
seed s is built from its own generator, so any case can be replayed alone.

    python tests/fuzz/fuzz_boundary.py --seed 0 --cases 20000    # as CI runs it
    python tests/fuzz/fuzz_boundary.py --seed 7 --seconds 3600   # a longer run
    python tests/fuzz/fuzz_boundary.py --seed 0 --replay 1234    # one case, shown

Exit status 0 when every case passed, 1 otherwise. Failure reports of the
module (PanicException) go to standard error by design; pass 2>/dev/null to
silence them, or --mark to precede every case there with its number, so that
a crash can be traced to the case that caused it.
"""
import argparse
import collections
import faulthandler
import sys
import time
import traceback
import warnings

from case_builder import RandomSource, build_case, case_rng
from case_check import install_hooks, run_case


def _outcome_kind(case):
    expected = case.expected
    if expected.error_type is None:
        return "result"
    return expected.error_type.__name__ + (" (rewrapped)" if expected.rewrapped else "")


def fuzz(seed, cases=None, seconds=None, first=0, mark=False, max_failures=10, out=sys.stdout):
    """Runs cases first, first + 1, ... until `cases` have run or `seconds`
    have passed; returns (number run, number failing, outcome counts)."""
    warnings.simplefilter("ignore")  # the objects' own deprecation warnings
    install_hooks()
    kinds = collections.Counter()
    failing = 0
    run = 0
    start = time.monotonic()
    index = first
    while (cases is None or run < cases) and (seconds is None or time.monotonic() - start < seconds):
        if mark:
            print(f"[fuzz] case {index}", file=sys.stderr, flush=True)
        try:
            case = build_case(RandomSource(case_rng(seed, index)))
            kinds[_outcome_kind(case)] += 1
            problems = run_case(case)
        except BaseException:  # noqa: B036 - a fault of the harness itself is a failure too
            problems = ["the fuzzer itself failed:\n" + traceback.format_exc()]
        if problems:
            failing += 1
            print(f"FAIL case {index} (seed {seed}):", *problems, sep="\n  ", file=out, flush=True)
            if failing >= max_failures:
                print("too many failures, stopping", file=out)
                run += 1
                break
        run += 1
        index += 1
    return run, failing, kinds


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", default="0")
    parser.add_argument("--cases", type=int, help="stop after this many cases")
    parser.add_argument("--seconds", type=float, help="stop after this long")
    parser.add_argument("--first", type=int, default=0, help="number of the first case")
    parser.add_argument("--replay", type=int, help="run only this case and show it")
    parser.add_argument("--mark", action="store_true", help="number every case on stderr")
    parser.add_argument("--max-failures", type=int, default=10)
    args = parser.parse_args(argv)
    faulthandler.enable()

    if args.replay is not None:
        warnings.simplefilter("ignore")
        install_hooks()
        case = build_case(RandomSource(case_rng(args.seed, args.replay)))
        print(f"case {args.replay}: {case!r}\nexpected: {case.expected!r}")
        problems = run_case(case)
        print("\n".join(problems) if problems else "passed")
        return 1 if problems else 0

    if args.cases is None and args.seconds is None:
        parser.error("give --cases or --seconds")
    start = time.monotonic()
    run, failing, kinds = fuzz(args.seed, args.cases, args.seconds, args.first, args.mark,
                               args.max_failures)
    elapsed = time.monotonic() - start
    outcomes = ", ".join(f"{kind} {count}" for kind, count in kinds.most_common())
    print(f"fuzzed {run} cases (seed {args.seed}, first {args.first}) in {elapsed:.1f} s: "
          f"{failing} failing\noutcomes: {outcomes}")
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main())
