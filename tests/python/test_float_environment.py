"""Results do not depend on the caller's floating-point environment: another
rounding mode (fesetround through ctypes), flush-to-zero or
denormals-are-zero (as a library built with -ffast-math leaves them) give the
bits of the default environment, and the caller's environment is exactly as it
was after every call, a failing one included."""
import ctypes
import ctypes.util
import platform
import struct
import sys

import pytest

import vextral_core as v
from vextral import _native

np = pytest.importorskip("numpy")

if not sys.platform.startswith("linux"):
    pytest.skip("the environment is changed through glibc's fenv functions", allow_module_level=True)

libm = ctypes.CDLL(ctypes.util.find_library("m"))
MACHINE = platform.machine()

# fenv.h constants, and where glibc's fenv_t keeps the control register
# (offset, size, flush-to-zero and denormals-are-zero bits).
if MACHINE in ("x86_64", "AMD64"):
    MODES = {"upward": 0x800, "downward": 0x400, "toward_zero": 0xC00}
    CONTROL = (28, "<I")  # __mxcsr after the 28-byte x87 environment
    FLUSH_MODES = {"ftz": 0x8000, "daz": 0x0040, "ftz+daz": 0x8040, "ftz+daz+upward": 0xA040}
    STATUS_FLAGS = 0x3F
elif MACHINE in ("aarch64", "arm64"):
    MODES = {"upward": 0x400000, "downward": 0x800000, "toward_zero": 0xC00000}
    CONTROL = (0, "<I")  # __fpcr
    FLUSH_MODES = {"fz": 1 << 24, "fz+upward": (1 << 24) | 0x400000}
    STATUS_FLAGS = 0  # FPCR holds no status flags (they live in FPSR)
else:
    pytest.skip(f"no fenv layout known for {MACHINE}", allow_module_level=True)


def get_env():
    env = ctypes.create_string_buffer(128)
    assert libm.fegetenv(env) == 0
    return env


def control_of(env):
    offset, fmt = CONTROL
    return struct.unpack_from(fmt, env.raw, offset)[0]


def set_control(value):
    """The current environment with its control register replaced."""
    env = get_env()
    offset, fmt = CONTROL
    struct.pack_into(fmt, env, offset, value)
    assert libm.fesetenv(env) == 0
    # Check that this libc really installed it, else the test proves nothing.
    assert control_of(get_env()) == value, "fesetenv did not take the crafted control register"


def bits(value):
    if isinstance(value, dict):
        return {key: bits(item) for key, item in value.items()}
    if value is None or isinstance(value, int):  # counts and row indices carry no rounding
        return value
    return struct.pack("<d", value)


# A cone of rows written as Python floats that are not float32 values, so that
# their narrowing rounds too; a subnormal spread (coverage 2^-141, which
# flush-to-zero would make 0); and a numpy float64 array.
rng = np.random.default_rng(13)
CONE = (rng.standard_normal((40, 24)) * 0.3 + 2.0).tolist()
OTHER = (rng.standard_normal((33, 24)) * 0.3 + 2.0).tolist()
SUBNORMAL_SPREAD = [[2.0 ** -70], [-(2.0 ** -70)]]
ARRAY = rng.standard_normal((50, 17)) + 0.1


def every_result():
    return [
        v.py_compute_isotropy(CONE),
        v.py_compute_coverage(CONE),
        v.py_compute_distinctiveness(CONE),
        v.py_compute_quality_score(CONE),
        v.py_detect_drift(CONE, OTHER),
        v.py_compute_retrieval_metrics([7, 3, 9, 1, 12, 5, 8], [3, 5, 11, 8], 6),
        v.py_compute_coverage(SUBNORMAL_SPREAD),
        v.py_compute_quality_score(ARRAY),
        _native.batch_measures(OTHER),
        _native.batch_measures(ARRAY, threads=2),
    ]


EXPECTED = [bits(result) for result in every_result()]


@pytest.fixture
def saved_environment():
    """The caller's environment, put back after the test whatever happens."""
    saved = get_env()
    yield saved
    libm.fesetenv(saved)


def test_the_subnormal_case_is_one():
    coverage = v.py_compute_coverage(SUBNORMAL_SPREAD)
    assert 0.0 < coverage < 2.0 ** -126


@pytest.mark.parametrize("mode", sorted(MODES))
def test_rounding_modes_give_the_round_to_nearest_bits(mode, saved_environment):
    assert libm.fesetround(MODES[mode]) == 0
    results = every_result()
    after = libm.fegetround()
    libm.fesetenv(saved_environment)
    assert [bits(result) for result in results] == EXPECTED
    assert after == MODES[mode], "the caller's rounding mode is restored"


@pytest.mark.parametrize("mode", sorted(FLUSH_MODES))
def test_flush_to_zero_and_denormals_are_zero_give_the_default_bits(mode, saved_environment):
    caller = (control_of(saved_environment) & ~STATUS_FLAGS) | FLUSH_MODES[mode]
    set_control(caller)
    results = every_result()
    after = control_of(get_env())
    libm.fesetenv(saved_environment)
    assert [bits(result) for result in results] == EXPECTED
    # Status flags may have been raised meanwhile, by the interpreter too.
    assert after & ~STATUS_FLAGS == caller & ~STATUS_FLAGS, "the caller's control register is restored"


def test_a_failing_call_restores_the_callers_environment(saved_environment):
    caller = (control_of(saved_environment) & ~STATUS_FLAGS) | max(FLUSH_MODES.values())
    set_control(caller)
    with pytest.raises(BaseException) as failure:
        v.py_compute_coverage([[1.0], [2.0, 3.0]])  # a row longer than row 0
    after = control_of(get_env())
    libm.fesetenv(saved_environment)
    assert type(failure.value).__name__ == "PanicException"
    assert after & ~STATUS_FLAGS == caller & ~STATUS_FLAGS
