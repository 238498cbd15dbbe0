"""Coverage-guided fuzzing of the module boundary with atheris (libFuzzer).

The same cases as fuzz_boundary.py, but every choice the case builder makes
is read from the fuzzer's input bytes, and the Python code that builds and
checks the cases is instrumented, so inputs that reach new kinds of objects,
outcomes and model paths are kept and mutated further. Any failing check
raises, and atheris saves the input that caused it. See README.md for running
it against the sanitizer build.
"""
import sys
import warnings

import atheris

with atheris.instrument_imports():
    import call_model  # noqa: F401 - instrumented for coverage
    import case_builder
    import case_check
    import odd_objects  # noqa: F401


class AtherisSource:
    """Choices read from the fuzzer's bytes (zeros once they run out)."""

    def __init__(self, data):
        self.data = atheris.FuzzedDataProvider(data)

    def below(self, n):
        return self.data.ConsumeIntInRange(0, n - 1) if n > 1 else 0

    def unit(self):
        return self.data.ConsumeIntInRange(0, 255) / 256


def one_input(data):
    case = case_builder.build_case(AtherisSource(data))
    problems = case_check.run_case(case)
    if problems:
        raise AssertionError("\n".join(problems))


def main():
    warnings.simplefilter("ignore")
    case_check.install_hooks()
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
