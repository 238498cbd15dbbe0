"""PanicException instances survive pickling, so process pools can report them.

The class's name, module ("pyo3_runtime", which cannot be imported) and base
stay as they are; instances pickle as a call that rebuilds them through the
package's native module in the receiving process, where the class is created
at first use and is then the one the module raises.
"""
import pickle
import subprocess
import sys

import pytest

import vextral_core as v

BAD_BATCH = [[1.0], [2.0, 3.0]]
MESSAGE = "index out of bounds: the len is 1 but the index is 1"


def panic():
    try:
        v.py_compute_coverage(BAD_BATCH)
    except BaseException as error:  # noqa: B036
        return error


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_round_trip_keeps_class_and_message(protocol, capfd):
    error = panic()
    error.note = "kept"
    copy = pickle.loads(pickle.dumps(error, protocol=protocol))
    capfd.readouterr()
    assert type(copy) is type(error)
    assert copy.args == (MESSAGE,) and str(copy) == MESSAGE
    assert copy.note == "kept"
    cls = type(copy)
    assert (cls.__name__, cls.__module__, cls.__bases__) == \
        ("PanicException", "pyo3_runtime", (BaseException,))
    # Other arguments than one message travel as they are.
    for args in [(), ("a", 2)]:
        assert pickle.loads(pickle.dumps(cls(*args), protocol=protocol)).args == args


def run_script(tmp_path, code):
    script = tmp_path / "script.py"
    script.write_text(code)
    try:
        return subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                              timeout=120, cwd=tmp_path)
    except subprocess.TimeoutExpired:
        pytest.fail("the child process hung")


def test_unpickled_in_a_fresh_process_it_is_the_module_class(tmp_path, capfd):
    data = pickle.dumps(panic())
    capfd.readouterr()
    (tmp_path / "panic.pickle").write_bytes(data)
    result = run_script(tmp_path, """
import pickle
error = pickle.loads(open("panic.pickle", "rb").read())
import vextral_core as v
try:
    v.py_compute_coverage([[1.0], [2.0, 3.0]])
except BaseException as raised:
    print(type(raised) is type(error), type(error).__module__, repr(str(error)))
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"True pyo3_runtime {MESSAGE!r}"


POOLS = """
import concurrent.futures, multiprocessing, sys
import vextral_core as v

BAD = [[1.0], [2.0, 3.0]]


def measure_or_failure(batch):
    try:
        return v.py_compute_coverage(batch)
    except BaseException as error:
        return error


def panic_class():
    try:
        v.py_compute_coverage(BAD)
    except BaseException as error:
        return type(error)


if __name__ == "__main__":
    context = multiprocessing.get_context(sys.argv[1] if len(sys.argv) > 1 else "{method}")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        future = pool.submit(v.py_compute_coverage, BAD)
        try:
            future.result(timeout=60)
            print("executor: no failure")
        except BaseException as error:
            print("executor:", type(error) is panic_class(), str(error))
    with context.Pool(1) as pool:
        results = pool.map_async(measure_or_failure, [[[1.0, 0.0], [0.0, 1.0]], BAD]).get(timeout=60)
        print("pool:", results[0], type(results[1]) is panic_class(), str(results[1]))
"""


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pools_deliver_the_failure(tmp_path, method):
    result = run_script(tmp_path, POOLS.replace("{method}", method))
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.splitlines() == [
        f"executor: True {MESSAGE}",
        f"pool: 0.20000000298023224 True {MESSAGE}",
    ]


def test_a_library_that_takes_over_every_exceptions_pickling_breaks_neither(tmp_path):
    # tblib, which distributed installs when it is imported, registers its own reduction for
    # every exception class there is, the module's PanicException among them once it exists.
    result = run_script(tmp_path, """
import copyreg, pickle
import vextral_core as v
from vextral import _native

def panic(call):
    try:
        call([[1.0], [2.0, 3.0]])
    except BaseException as error:
        return error

first = panic(v.py_compute_coverage)
copyreg.pickle(type(first), lambda error: (type(error), error.args))
second = panic(_native.measure)
copy = pickle.loads(pickle.dumps(second))
print(type(second) is type(first), type(copy) is type(first), str(copy) == str(first))
""")
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["True", "True", "True"]
