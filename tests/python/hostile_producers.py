"""DLPack and Arrow producers built field by field with ctypes, so that a test
can hand the module any shape, strides, offsets and lengths, however absurd,
over a few bytes of real memory.

Every producer is also a sequence whose items are `items` (a list of rows,
or of identifiers): what reading it item by item gives, which is all the
module may give when it cannot read the export. With `items=None` the
object has no usable items, and the item-by-item reading fails with this
module's own TypeError. `read_memory()` gives the items a real producer
with the same fields would have, for fields that stay inside the memory.

`too_large_in` names the readings ("batch", "row", "identifiers") in which
the export describes real data that no memory can hold a copy of: there the
module must raise MemoryError.
"""
import _thread
import ctypes
import signal

import numpy as np

NO_ITEMS = "a hostile producer has no items"


class HostileProducer:
    too_large_in = frozenset()

    def __init__(self, items):
        self.items = items

    def __len__(self):
        if self.items is None:
            raise TypeError(NO_ITEMS)
        return len(self.items)

    def __getitem__(self, index):
        if self.items is None:
            raise TypeError(NO_ITEMS)
        return self.items[index]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

# -- DLPack ------------------------------------------------------------------


class _DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class _DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class _DLTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device", _DLDevice), ("ndim", ctypes.c_int32),
                ("dtype", _DLDataType), ("shape", ctypes.POINTER(ctypes.c_int64)),
                ("strides", ctypes.POINTER(ctypes.c_int64)), ("byte_offset", ctypes.c_uint64)]


class _DLManagedTensor(ctypes.Structure):
    _fields_ = [("dl_tensor", _DLTensor), ("manager_ctx", ctypes.c_void_p), ("deleter", ctypes.c_void_p)]


DL_TYPES = {"int8": (0, 8), "uint8": (1, 8), "int64": (0, 64), "float32": (2, 32), "float64": (2, 64),
            "float16": (2, 16)}


class HostileTensor(HostileProducer):
    """A CPU DLPack tensor of `dtype` whose data is the start of `memory` (a
    NumPy array it keeps) plus `byte_offset`, with any shape and strides (in
    elements; None for compact row-major)."""

    def __init__(self, shape, strides=None, dtype="int8", byte_offset=0, memory=None, items=None):
        super().__init__(items)
        self.shape, self.strides, self.dtype, self.byte_offset = shape, strides, dtype, byte_offset
        self.memory = np.arange(1, 65, dtype=np.uint8) if memory is None else memory

    def __repr__(self):
        return (f"HostileTensor({self.shape}, {self.strides}, {self.dtype!r}, "
                f"byte_offset={self.byte_offset})")

    def _element(self, index):
        """The element at element `index` of the row-major walk's strides."""
        dtype = np.dtype(self.dtype)
        strides = self.strides
        if strides is None:
            strides = (self.shape[1], 1) if len(self.shape) == 2 else (1,)
        position = self.byte_offset + sum(i * s for i, s in zip(index, strides)) * dtype.itemsize
        raw = self.memory.view(np.uint8).tobytes()
        assert 0 <= position and position + dtype.itemsize <= len(raw), "outside the memory"
        return np.frombuffer(raw[position:position + dtype.itemsize], dtype)[0].item()

    def read_memory(self):
        if len(self.shape) == 1:
            return [self._element((k,)) for k in range(self.shape[0])]
        return [[self._element((i, k)) for k in range(self.shape[1])] for i in range(self.shape[0])]

    def __dlpack__(self, stream=None, **keywords):
        self._shape = (ctypes.c_int64 * len(self.shape))(*self.shape)
        self._strides = None if self.strides is None else (ctypes.c_int64 * len(self.strides))(*self.strides)
        managed = _DLManagedTensor()
        tensor = managed.dl_tensor
        tensor.data = self.memory.ctypes.data
        tensor.device = _DLDevice(1, 0)
        tensor.ndim = len(self.shape)
        tensor.dtype = _DLDataType(*DL_TYPES[self.dtype], 1)
        tensor.shape = self._shape
        tensor.strides = self._strides
        tensor.byte_offset = self.byte_offset
        self._managed = managed  # kept by the producer: the capsule needs no destructor
        return _capsule_new(ctypes.addressof(managed), b"dltensor", None)

    def __dlpack_device__(self):
        return (1, 0)


# -- Arrow -------------------------------------------------------------------


class _ArrowSchema(ctypes.Structure):
    pass


_ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(_ArrowSchema))),
    ("dictionary", ctypes.POINTER(_ArrowSchema)), ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p)]


class _ArrowArray(ctypes.Structure):
    pass


_ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(_ArrowArray))),
    ("dictionary", ctypes.POINTER(_ArrowArray)), ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p)]

# A release callback that does nothing: what the structures point to is kept
# by the producer objects.
_RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(lambda structure: None)
_RELEASE_ADDRESS = ctypes.cast(_RELEASE, ctypes.c_void_p).value


class _Keep:
    """Holds every ctypes object a structure points into."""

    def __init__(self):
        self.objects = []

    def __call__(self, obj):
        self.objects.append(obj)
        return obj


def _schema(keep, format_, child_format=None):
    schema = keep(_ArrowSchema())
    schema.format = keep(ctypes.c_char_p(format_.encode())).value
    schema.release = _RELEASE_ADDRESS
    if child_format is not None:
        child = _schema(keep, child_format)
        schema.n_children = 1
        schema.children = keep((ctypes.POINTER(_ArrowSchema) * 1)(ctypes.pointer(child)))
    return schema


def _array(keep, length, offset, buffers, child=None, null_count=0):
    array = keep(_ArrowArray())
    array.length, array.offset, array.null_count = length, offset, null_count
    array.n_buffers = len(buffers)
    array.buffers = keep((ctypes.c_void_p * len(buffers))(*buffers))
    array.release = _RELEASE_ADDRESS
    if child is not None:
        array.n_children = 1
        array.children = keep((ctypes.POINTER(_ArrowArray) * 1)(ctypes.pointer(child)))
    return array


ARROW_FORMATS = {"float64": "g", "float32": "f", "int8": "c", "int64": "l", "uint64": "L"}


class HostileList(HostileProducer):
    """An Arrow list array of `element` values: a fixed-size list of `width`
    (`offsets` None), or a list ("+l", int32 offsets) or large list ("+L")
    with the given offsets. Its and its child's lengths and offsets are
    anything; the child's values are the start of `memory`."""

    def __init__(self, length, offset=0, width=2, child_length=8, child_offset=0, offsets=None,
                 large=False, element="float64", memory=None, items=None):
        super().__init__(items)
        self.length, self.offset, self.width = length, offset, width
        self.child_length, self.child_offset = child_length, child_offset
        self.offsets, self.large, self.element = offsets, large, element
        self.memory = (np.arange(1, 17, dtype=np.float64) if memory is None else memory)

    def __repr__(self):
        return (f"HostileList({self.length}, offset={self.offset}, width={self.width}, "
                f"child_length={self.child_length}, child_offset={self.child_offset}, "
                f"offsets={self.offsets}, large={self.large})")

    def read_memory(self):
        child = self.memory.tolist()
        base = self.child_offset
        if self.offsets is None:
            return [child[base + (self.offset + i) * self.width:base + (self.offset + i + 1) * self.width]
                    for i in range(self.length)]
        offsets = self.offsets[self.offset:self.offset + self.length + 1]
        return [child[base + start:base + end] for start, end in zip(offsets, offsets[1:])]

    def __arrow_c_array__(self, requested_schema=None):
        keep = self._keep = _Keep()
        if self.offsets is None:
            schema = _schema(keep, f"+w:{self.width}", ARROW_FORMATS[self.element])
            parent_buffers = [None]
        else:
            schema = _schema(keep, "+L" if self.large else "+l", ARROW_FORMATS[self.element])
            offsets = keep(np.array(self.offsets, dtype=np.int64 if self.large else np.int32))
            parent_buffers = [None, offsets.ctypes.data]
        child = _array(keep, self.child_length, self.child_offset, [None, self.memory.ctypes.data])
        array = _array(keep, self.length, self.offset, parent_buffers, child)
        return (_capsule_new(ctypes.addressof(schema), b"arrow_schema", None),
                _capsule_new(ctypes.addressof(array), b"arrow_array", None))


class HostileIdentifiers(HostileProducer):
    """An Arrow integer array of `length` elements from `offset` on."""

    def __init__(self, length, offset=0, element="int64", memory=None, items=None):
        super().__init__(items)
        self.length, self.offset, self.element = length, offset, element
        self.memory = np.arange(1, 9, dtype=np.int64) if memory is None else memory

    def __repr__(self):
        return f"HostileIdentifiers({self.length}, offset={self.offset}, element={self.element!r})"

    def read_memory(self):
        return self.memory.tolist()[self.offset:self.offset + self.length]

    def __arrow_c_array__(self, requested_schema=None):
        keep = self._keep = _Keep()
        schema = _schema(keep, ARROW_FORMATS[self.element])
        array = _array(keep, self.length, self.offset, [None, self.memory.ctypes.data])
        return (_capsule_new(ctypes.addressof(schema), b"arrow_schema", None),
                _capsule_new(ctypes.addressof(array), b"arrow_array", None))


class _ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.c_void_p), ("get_next", ctypes.c_void_p),
                ("get_last_error", ctypes.c_void_p), ("release", ctypes.c_void_p),
                ("private_data", ctypes.c_void_p)]


_GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_ArrowSchema))
_GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_ArrowArray))
_GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)


class _Interrupt(int):
    """Reading `.now` trips SIGINT the way a signal arriving would, from C,
    with no check for pending signals before control is back in C: the
    next PyErr_CheckSignals raises KeyboardInterrupt."""

    now = property(_thread.interrupt_main)


_INTERRUPT = _Interrupt(signal.SIGINT)
_CHECK_SIGNALS = ctypes.cast(ctypes.pythonapi.PyErr_CheckSignals, ctypes.c_void_p).value


class FailingStream(HostileProducer):
    """An Arrow stream of fixed-size lists of float64 that fails after
    serving `chunks` chunks, as a producer written in C fails:

    - "code": get_next returns `code` and get_last_error gives `message`
      (None: no text);
    - "interrupt": a signal arrives while the producer runs, and its next
      get_next (then PyErr_CheckSignals itself) fails with KeyboardInterrupt
      pending, as a producer that calls back into Python would; run it with
      SIGINT handled by Python (see `python_handles_sigint`).
    """

    def __init__(self, how="code", code=5, message=b"the stream broke", chunks=1, items=None):
        super().__init__(items)
        self.how, self.code, self.message, self.chunks = how, code, message, chunks
        self.memory = np.arange(1, 9, dtype=np.float64)

    def __repr__(self):
        return f"FailingStream({self.how!r}, code={self.code}, message={self.message!r}, chunks={self.chunks})"

    def __arrow_c_stream__(self, requested_schema=None):
        keep = self._keep = _Keep()
        stream = keep(_ArrowArrayStream())
        served = [0]

        # The signal is tripped as the callback's last step: any call after
        # it would let the interpreter raise KeyboardInterrupt in the callback.
        def get_schema(stream_address, out):
            ctypes.memmove(out, ctypes.addressof(_schema(keep, "+w:2", "g")), ctypes.sizeof(_ArrowSchema))
            if self.how == "interrupt" and self.chunks == 0:
                stream.get_next = _CHECK_SIGNALS
                _INTERRUPT.now  # noqa: B018 - the property trips the signal
            return 0

        def get_next(stream_address, out):
            if served[0] == self.chunks:
                return self.code
            served[0] += 1
            child = _array(keep, 8, 0, [None, self.memory.ctypes.data])
            chunk = _array(keep, 4, 0, [None], child)
            ctypes.memmove(out, ctypes.addressof(chunk), ctypes.sizeof(_ArrowArray))
            if self.how == "interrupt" and served[0] == self.chunks:
                stream.get_next = _CHECK_SIGNALS
                _INTERRUPT.now  # noqa: B018
            return 0

        def get_last_error(stream_address):
            if self.message is None:
                return None
            return ctypes.cast(keep(ctypes.c_char_p(self.message)), ctypes.c_void_p).value

        stream.get_schema = ctypes.cast(keep(_GET_SCHEMA(get_schema)), ctypes.c_void_p).value
        stream.get_next = ctypes.cast(keep(_GET_NEXT(get_next)), ctypes.c_void_p).value
        stream.get_last_error = ctypes.cast(keep(_GET_LAST_ERROR(get_last_error)), ctypes.c_void_p).value
        stream.release = _RELEASE_ADDRESS
        return _capsule_new(ctypes.addressof(stream), b"arrow_array_stream", None)


class python_handles_sigint:
    """Within it, SIGINT raises KeyboardInterrupt (whatever the test runner
    installed)."""

    def __enter__(self):
        self.previous = signal.signal(signal.SIGINT, signal.default_int_handler)

    def __exit__(self, *exc):
        signal.signal(signal.SIGINT, self.previous)
