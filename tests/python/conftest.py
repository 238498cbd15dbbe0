import functools
import signal
import struct
import subprocess
import sys
import textwrap

import pytest

# A test run started in the background of a non-interactive shell (`cmd &`,
# nohup) inherits SIGINT ignored, and so would every interpreter it starts:
# Python then installs no KeyboardInterrupt handler, and the tests of Ctrl-C
# would see a call finish that should have been interrupted. A handler here
# (rather than the ignored disposition) is reset to the default by exec, so
# the interpreters the tests start handle SIGINT as an interactive one does.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# A batch whose row 1 is longer than row 0: coverage fails internally on it.
PANICKING_BATCH = [[1.0], [2.0, 3.0]]
PANIC_MESSAGE = "index out of bounds: the len is 1 but the index is 1"


def f32(value):
    """The float32 nearest to `value`, as the Python float it widens to."""
    return struct.unpack("f", struct.pack("f", value))[0]


def panic_error():
    """A fresh PanicException from a failing call (its report goes to standard error)."""
    import vextral_core

    try:
        vextral_core.py_compute_coverage(PANICKING_BATCH)
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        return error
    raise AssertionError("coverage accepted a row longer than row 0")


@functools.cache
def panic_class():
    """The module's PanicException class: not a module attribute, so it is
    taken from the failure of a call."""
    return type(panic_error())


def panic_message(call):
    """Runs call, which must fail internally; returns the PanicException text."""
    with pytest.raises(panic_class()) as info:
        call()
    assert type(info.value) is panic_class()
    return str(info.value)


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; returns the completed process."""

    def run(code, **kwargs):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True, text=True, timeout=120, **kwargs,
        )

    return run
