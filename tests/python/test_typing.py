"""The installed type stubs: mypy --strict accepts the good example and the
command-line tool, rejects exactly the marked lines of the bad example, and
the stubs describe the functions the module really has."""
import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vextral_core as v

EXAMPLES = Path(__file__).resolve().parent.parent / "typing"
# PEP 561: a stub-only package sits beside the module it describes.
STUBS = Path(v.__file__).parent / "vextral_core-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    # Type checking runs no native code; under AddressSanitizer it only costs time.
    if os.environ.get("VEXTRAL_UNDER_ASAN") == "1":
        pytest.skip("type checking is the plain run's")
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*targets):
        # Run outside the source tree, so that only what is installed is seen.
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *map(str, targets)],
            capture_output=True, text=True, timeout=300, cwd=cache)

    return run


def test_stubs_are_installed_as_a_stub_only_package():
    assert STUBS.is_file()


def test_good_example_passes_strict_checking(mypy):
    done = mypy(EXAMPLES / "good.py")
    assert done.returncode == 0, done.stdout + done.stderr


def test_good_example_runs():
    done = subprocess.run([sys.executable, str(EXAMPLES / "good.py")], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr


def test_bad_example_fails_on_exactly_the_marked_lines(mypy):
    bad = EXAMPLES / "bad.py"
    marked = {(number, match.group(1))
              for number, line in enumerate(bad.read_text(encoding="utf-8").splitlines(), start=1)
              if (match := re.search(r"# error: ([\w-]+)$", line))}
    assert len(marked) > 15
    done = mypy(bad)
    assert done.returncode == 1, done.stdout + done.stderr
    reported = {(int(number), code)
                for number, code in re.findall(r"^\S*bad\.py:(\d+): error: .*\[([\w-]+)\]$", done.stdout, re.M)}
    assert reported == marked, done.stdout


def test_command_line_tool_passes_strict_checking(mypy):
    done = mypy("-p", "vextral")
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_describe_the_module():
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    declared_all = next(ast.literal_eval(node.value) for node in tree.body
                        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert declared_all == v.__all__
    assert list(functions) == v.__all__  # same order too
    for name, node in functions.items():
        runtime = getattr(v, name)
        parameters = [argument.arg for argument in node.args.args]
        assert f"({', '.join(parameters)})" == runtime.__text_signature__
        assert not (node.args.posonlyargs or node.args.kwonlyargs or node.args.vararg or node.args.kwarg)
        # Each stub docstring opens with the module's own.
        assert ast.get_docstring(node).startswith(runtime.__doc__ + "\n")
    # The retrieval result's keys, in the order the module inserts them.
    metrics = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "RetrievalMetrics")
    keys = [node.target.id for node in metrics.body if isinstance(node, ast.AnnAssign)]
    assert keys == list(v.py_compute_retrieval_metrics([1], [1], 1))
