"""The module object, its registration, and how internal failures surface."""
import importlib
import sys

import pytest

import vextral_core as v
from conftest import PANIC_MESSAGE, panic_class, panic_error

REGISTERED = [
    "py_compute_isotropy",
    "py_compute_coverage",
    "py_compute_distinctiveness",
    "py_detect_drift",
    "py_compute_retrieval_metrics",
    "py_compute_quality_score",
]
DOCS = {
    "py_compute_isotropy": ("(embeddings)", "Compute isotropy of embeddings (vector space utilization)"),
    "py_compute_coverage": ("(embeddings)", "Compute coverage of embeddings (diversity of semantic space)"),
    "py_compute_distinctiveness": ("(embeddings)", "Compute distinctiveness of embeddings (semantic separation)"),
    "py_detect_drift": ("(baseline_embeddings, current_embeddings)", "Detect drift in embedding quality"),
    "py_compute_retrieval_metrics": (
        "(retrieved, relevant, top_k)", "Compute retrieval metrics (precision, recall, F1, MRR, NDCG)"),
    "py_compute_quality_score": ("(embeddings)", "Compute embedding quality score (composite metric)"),
}


def test_module_attributes():
    assert v.__doc__ == "Vextral Python module"
    assert v.__all__ == REGISTERED
    assert not hasattr(v, "PanicException")
    for name in REGISTERED:
        function = getattr(v, name)
        assert function.__name__ == name
        assert function.__module__ == "vextral_core"
        assert function.__self__ is v


def test_signatures_and_docstrings():
    for name, (signature, doc) in DOCS.items():
        function = getattr(v, name)
        assert (function.__text_signature__, function.__doc__) == (signature, doc)


def test_reimport_gives_the_identical_module():
    module = sys.modules.pop("vextral_core")
    try:
        again = importlib.import_module("vextral_core")
        assert again is module
        assert again.__all__ == REGISTERED
    finally:
        sys.modules["vextral_core"] = module


def test_float_results_are_widened_float32():
    assert v.py_compute_coverage([[1, 0], [0, 1]]) == 0.20000000298023224


class TestPanicException:
    def test_bounds_failure_raises_panic_exception(self, capfd):
        with pytest.raises(BaseException) as info:
            v.py_compute_coverage([[1.0], [2.0, 3.0]])
        error = info.value
        assert not isinstance(error, Exception)
        assert type(error).__name__ == "PanicException"
        assert type(error).__module__ == "pyo3_runtime"
        assert type(error).__bases__ == (BaseException,)
        assert error.args == (PANIC_MESSAGE,)
        assert str(error) == PANIC_MESSAGE
        report = capfd.readouterr().err
        assert PANIC_MESSAGE in report
        assert "coverage" in report

    def test_class_is_created_once(self):
        assert type(panic_error()) is type(panic_error())

    def test_docstring(self):
        doc = panic_class().__doc__
        assert doc.startswith("\n") and doc.endswith("\n")
        assert "BaseException" in doc

    def test_panic_inside_a_conversion_is_resumed_not_rewrapped(self, capfd):
        class Reentrant:
            def __float__(self):
                v.py_compute_coverage([[1.0], [2.0, 3.0]])
                return 0.0

        with pytest.raises(panic_class()) as info:
            v.py_compute_coverage([[Reentrant()]])
        assert info.value.args == (PANIC_MESSAGE,)
        err = capfd.readouterr().err
        assert "resumed" in err
        assert "Traceback" in err

    def test_panic_raised_by_python_code_keeps_its_message(self):
        panic = panic_class()

        class RaisesPanic:
            def __float__(self):
                raise panic("from python")

        with pytest.raises(panic) as info:
            v.py_compute_coverage([[RaisesPanic()]])
        assert info.value.args == ("from python",)

    def test_first_report_only_mentions_backtraces(self, run_python):
        result = run_python("""
            import vextral_core as v
            for _ in range(2):
                try:
                    v.py_compute_coverage([[1.0], [2.0, 3.0]])
                except BaseException:
                    pass
        """)
        assert result.returncode == 0
        assert result.stderr.count(PANIC_MESSAGE) == 2
        assert result.stderr.count("VEXTRAL_BACKTRACE") == 1

    def test_backtrace_switch(self, run_python):
        import os

        result = run_python("""
            import vextral_core as v
            try:
                v.py_compute_coverage([[1.0], [2.0, 3.0]])
            except BaseException:
                pass
        """, env={**os.environ, "VEXTRAL_BACKTRACE": "1"})
        assert "stack backtrace" in result.stderr


def test_second_interpreter_is_refused(run_python):
    sub = "try:\n    import vextral_core\nexcept ImportError as e:\n    print('refused:', e)\nelse:\n    print('imported')\n"
    result = run_python(f"""
        import vextral_core, _testcapi
        _testcapi.run_in_subinterp({sub!r})
    """)
    assert "refused:" in result.stdout, result.stdout + result.stderr
    assert "sub-interpreters" in result.stdout
