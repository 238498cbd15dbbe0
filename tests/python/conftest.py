import struct
import subprocess
import sys
import textwrap

import pytest


def f32(value):
    """The float32 nearest to `value`, as the Python float it widens to."""
    return struct.unpack("f", struct.pack("f", value))[0]


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; returns the completed process."""

    def run(code, **kwargs):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True, text=True, timeout=120, **kwargs,
        )

    return run
