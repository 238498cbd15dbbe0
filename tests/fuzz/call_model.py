"""The outcome a call of one of the six functions must have, worked out in Python.

Binding is modelled from the rules the module follows (messages included).
Conversion replays the interpreter operations the module is known to
use, in the same order and on the same objects: the sequence check, the
length (an Exception from it discarded), iteration, the float conversion,
the index conversion and the unsigned 64-bit read (the C functions themselves, through
ctypes, where a Python spelling would differ), and str() for message texts.
The interpreter's own messages therefore come out exactly as the module sees
them. Results come from the float32 model of the kernels in tests/python.

An expected outcome is a value or an exception described by its exact type,
its text, and, for a rewrapped TypeError, the cause it must carry.
"""
import ctypes
import operator
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))

import float32_model as model  # noqa: E402
from hostile_producers import HostileProducer  # noqa: E402
from odd_objects import panic_class  # noqa: E402

PARAMETERS = {
    "py_compute_isotropy": ("embeddings",),
    "py_compute_coverage": ("embeddings",),
    "py_compute_distinctiveness": ("embeddings",),
    "py_detect_drift": ("baseline_embeddings", "current_embeddings"),
    "py_compute_retrieval_metrics": ("retrieved", "relevant", "top_k"),
    "py_compute_quality_score": ("embeddings",),
}

BATCH_KERNELS = {
    "py_compute_isotropy": model.isotropy,
    "py_compute_coverage": model.coverage,
    "py_compute_distinctiveness": model.distinctiveness,
    "py_compute_quality_score": model.quality_score,
}

UNWRAPPED_PANIC = "Unwrapped panic from Python code"


def _c_function(name, restype, argtypes):
    function = getattr(ctypes.pythonapi, name)
    function.restype = restype
    function.argtypes = argtypes
    return function


# ctypes.pythonapi raises whatever exception the C function leaves pending.
_sequence_check = _c_function("PySequence_Check", ctypes.c_int, [ctypes.py_object])
_sequence_size = _c_function("PySequence_Size", ctypes.c_ssize_t, [ctypes.py_object])
_as_double = _c_function("PyFloat_AsDouble", ctypes.c_double, [ctypes.py_object])
_as_u64 = _c_function("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, [ctypes.py_object])
_qualified_name = _c_function("PyType_GetQualName", ctypes.py_object, [ctypes.py_object])
_type_name = _c_function("PyType_GetName", ctypes.py_object, [ctypes.py_object])


class Expected:
    """A value (float32 scalar or dict of them), or an exception: its exact
    type, its text (None: not checked) and, when `rewrapped`, the description
    of the cause it must carry with its context suppressed. `unraisable` is
    how many times the call must report an unprintable object."""

    def __init__(self, value=None, error_type=None, message=None, rewrapped=False, cause=None):
        self.value = value
        self.error_type = error_type
        self.message = message
        self.rewrapped = rewrapped
        self.cause = cause
        self.unraisable = 0

    def __repr__(self):
        if self.error_type is None:
            return f"value {self.value!r}"
        extra = f", cause {self.cause!r}" if self.rewrapped else ""
        return f"{self.error_type.__name__}({self.message!r}{extra})"


def lossy(text):
    """A str read as UTF-8, each lone surrogate replaced by three U+FFFD."""
    return str.encode(text, "utf-8", "surrogatepass").decode("utf-8", "replace")


def text_or_none(error):
    try:
        return str(error)
    except BaseException:  # noqa: B036 - any failure of str() means "no text"
        return None


def describe(error):
    """(type, text) of an exception, or None."""
    return None if error is None else (type(error), text_or_none(error))


class _Ends(Exception):
    """The call ends with `expected`, whatever comes next."""

    def __init__(self, expected):
        self.expected = expected


class _ConversionFailed(Exception):
    """A conversion step failed with `error`, not yet rewrapped."""

    def __init__(self, error):
        self.error = error


class _Note:
    def __init__(self):
        self.unraisable = 0


def _panic(message):
    return Expected(error_type=panic_class(), message=message)


def _take(error):
    """A failure fetched from the interpreter: a PanicException raised by the
    caller's code ends the call as a panic with its text; anything else is
    returned to the step that failed."""
    if type(error) is panic_class():
        text = text_or_none(error)
        raise _Ends(_panic(UNWRAPPED_PANIC if text is None else lossy(text)))
    return error


def object_text(obj, note):
    """str() of an object as the module reads it; a placeholder (and one
    unraisable report) when str() fails."""
    try:
        text = str(obj)
    except BaseException as error:  # noqa: B036
        _take(error)
        del error
        note.unraisable += 1
        return f"<unprintable {lossy(_type_name(type(obj)))} object>"
    return lossy(text)


# -- Binding ----------------------------------------------------------------

def _parameter_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def _bind(function, args, kwargs, note):
    parameters = PARAMETERS[function]
    display = f"{function}()"
    given = len(args)
    slots = list(args[:len(parameters)]) + [None] * max(0, len(parameters) - given)
    filled = [i < given for i in range(len(parameters))]
    if given > len(parameters):
        verb = "was" if given == 1 else "were"
        raise _Ends(Expected(error_type=TypeError, message=(
            f"{display} takes {len(parameters)} positional arguments but {given} {verb} given")))
    for name, value in kwargs.items():
        try:
            raw = str.encode(name, "utf-8")
        except UnicodeEncodeError:
            raw = None
        index = next((i for i, p in enumerate(parameters) if raw == p.encode()), None)
        if index is None:
            raise _Ends(Expected(error_type=TypeError, message=(
                f"{display} got an unexpected keyword argument '{object_text(name, note)}'")))
        if filled[index]:
            raise _Ends(Expected(error_type=TypeError, message=(
                f"{display} got multiple values for argument '{raw.decode()}'")))
        slots[index] = value
        filled[index] = True
    missing = [p for p, f in zip(parameters, filled) if not f]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        raise _Ends(Expected(error_type=TypeError, message=(
            f"{display} missing {len(missing)} required positional {noun}: "
            f"{_parameter_list(missing)}")))
    return slots


# -- Conversion -------------------------------------------------------------

def _read_sequence(obj, convert):
    if not _sequence_check(obj):
        name = lossy(_qualified_name(type(obj)))
        raise _ConversionFailed(TypeError(f"'{name}' object cannot be converted to 'Sequence'"))
    try:
        _sequence_size(obj)  # only a hint: an Exception from it is discarded
    except BaseException as error:  # noqa: B036
        taken = _take(error)
        if not isinstance(taken, Exception):  # KeyboardInterrupt and the like end the call
            raise _ConversionFailed(taken) from None
    try:
        iterator = iter(obj)
    except BaseException as error:  # noqa: B036
        raise _ConversionFailed(_take(error)) from None
    values = []
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            break
        except BaseException as error:  # noqa: B036
            raise _ConversionFailed(_take(error)) from None
        values.append(convert(item))
    return values


def _refuse_str(obj):
    if issubclass(type(obj), str):
        raise _ConversionFailed(TypeError("Can't extract `str` to `Vec`"))


def _to_f32_input(item):
    """The double the module narrows to float32 (the float32 model narrows it)."""
    try:
        return _as_double(item)
    except BaseException as error:  # noqa: B036
        raise _ConversionFailed(_take(error)) from None


def _to_u64(item):
    try:
        if issubclass(type(item), int):
            return _as_u64(item)
        return _as_u64(operator.index(item))
    except BaseException as error:  # noqa: B036
        raise _ConversionFailed(_take(error)) from None


def _refuse_too_large(obj, reading):
    """A producer whose export, read as `reading`, describes real data that
    no memory can hold a copy of ends the call with MemoryError (its byte
    count depends on which buffer is refused first: not checked)."""
    if isinstance(obj, HostileProducer) and reading in obj.too_large_in:
        raise _Ends(Expected(error_type=MemoryError))


def _row(item):
    _refuse_str(item)
    _refuse_too_large(item, "row")
    return _read_sequence(item, _to_f32_input)


def _batch(obj):
    _refuse_str(obj)
    _refuse_too_large(obj, "batch")
    return _read_sequence(obj, _row)


def _identifiers(obj):
    _refuse_str(obj)
    _refuse_too_large(obj, "identifiers")
    return _read_sequence(obj, _to_u64)


def _extraction_error(parameter, error, note):
    if type(error) is TypeError:
        text = object_text(error, note)
        return Expected(error_type=TypeError, message=f"argument '{parameter}': {text}",
                        rewrapped=True, cause=describe(error.__cause__))
    return Expected(error_type=type(error), message=text_or_none(error))


def _convert(parameter, convert, obj, note):
    try:
        return convert(obj)
    except _ConversionFailed as failed:
        raise _Ends(_extraction_error(parameter, failed.error, note)) from None


# -- The whole call ---------------------------------------------------------

def _kernel(compute, *inputs):
    try:
        return Expected(value=compute(*inputs))
    except model.RowTooLong as failure:
        return _panic(str(failure))


def _outcome(function, args, kwargs, note):
    slots = _bind(function, args, kwargs, note)
    parameters = PARAMETERS[function]
    if function in BATCH_KERNELS:
        batch = _convert(parameters[0], _batch, slots[0], note)
        return _kernel(BATCH_KERNELS[function], batch)
    if function == "py_detect_drift":
        baseline = _convert(parameters[0], _batch, slots[0], note)
        current = _convert(parameters[1], _batch, slots[1], note)
        return _kernel(model.drift, baseline, current)
    retrieved = _convert(parameters[0], _identifiers, slots[0], note)
    relevant = _convert(parameters[1], _identifiers, slots[1], note)
    try:
        top_k = _to_u64(slots[2])
    except _ConversionFailed as failed:
        raise _Ends(_extraction_error(parameters[2], failed.error, note)) from None
    return _kernel(model.retrieval_metrics, retrieved, relevant, top_k)


def expected_outcome(function, args, kwargs):
    """What function(*args, **kwargs) must give. The unraisable count covers
    this call's own reports only; the caller adds those of module calls the
    objects make themselves."""
    note = _Note()
    try:
        expected = _outcome(function, args, kwargs, note)
    except _Ends as ended:
        expected = ended.expected
    expected.unraisable = note.unraisable
    return expected
