"""A reader for NumPy's .npy files that needs no NumPy.

Embeddings are almost always saved with numpy.save, but the command-line tool
should not pull a large dependency into every install just to read a header
and a block of numbers. Object arrays are refused: loading them would mean
unpickling, that is running code from the file.

The header is always read here, so that every mistake in a file gets the same
message whether or not NumPy is installed. The elements are then either
handed over as a buffer (native-order float32 or float64 in row-major order,
the common case: no Python object per element) or decoded by `struct`.
"""

from __future__ import annotations

import ast
import math
import struct
from dataclasses import dataclass
from typing import Literal, Protocol

from vextral.errors import UserError

MAGIC = b"\x93NUMPY"

# dtype kind and item size -> struct format character.
_FORMATS = {
    ("f", 2): "e", ("f", 4): "f", ("f", 8): "d",
    ("i", 1): "b", ("i", 2): "h", ("i", 4): "i", ("i", 8): "q",
    ("u", 1): "B", ("u", 2): "H", ("u", 4): "I", ("u", 8): "Q",
    ("b", 1): "?",
}

# A header may announce a huge shape; the data is read in slices this large
# so that a truncated file is found before memory for it is spent.
_CHUNK_ITEMS = 1 << 20


class _Readable(Protocol):
    def read(self, size: int, /) -> bytes: ...


class NpyArray:
    """The shape and the elements (row-major) of a .npy file."""

    def __init__(self, shape: tuple[int, ...], values: list[float]):
        self.shape = shape
        self.values = values


@dataclass(frozen=True)
class NpyHeader:
    """What the header of a .npy file says, checked: shape, element format, where the data starts."""

    shape: tuple[int, ...]
    fortran_order: bool
    struct_format: str  # byte order and element character, e.g. '<f'
    data_offset: int

    @property
    def count(self) -> int:
        return math.prod(self.shape)

    @property
    def data_size(self) -> int:
        return self.count * struct.calcsize(self.struct_format)

    def buffer_format(self) -> Literal["f", "d"] | None:
        """The memoryview format of the elements when they can be handed over as they are."""
        order, code = self.struct_format[0], self.struct_format[1]
        native = "<" if struct.pack("=H", 1) == b"\x01\x00" else ">"
        if order != native or (self.fortran_order and len(self.shape) > 1):
            return None
        return "f" if code == "f" else "d" if code == "d" else None


class _BytesReader:
    """Reads a memory-mapped file or a bytes object like a stream, without copying the rest."""

    def __init__(self, data: memoryview):
        self._data = data
        self._position = 0

    def read(self, size: int, /) -> bytes:
        chunk = self._data[self._position:self._position + size].tobytes()
        self._position += len(chunk)
        return chunk


def read_npy_header(stream: _Readable, name: str) -> NpyHeader:
    """Reads and checks the header; the stream is left at the first element."""
    data_offset, descr, fortran_order, shape = _read_header(stream, name)
    return NpyHeader(shape, fortran_order, _struct_format(descr, name), data_offset)


def read_npy_buffer(data: memoryview, name: str) -> tuple[NpyHeader, memoryview[float] | None, NpyArray | None]:
    """A whole .npy file held in memory (or mapped): its header, and its elements either as a
    memoryview of shape header.shape (buffer_format) or decoded into an NpyArray."""
    header = read_npy_header(_BytesReader(data), name)
    check_npy_size(header, len(data), name)
    body = data[header.data_offset:header.data_offset + header.data_size]
    code = header.buffer_format()
    if code is not None and len(header.shape) == 2:
        return header, body.cast("B").cast(code, list(header.shape)), None
    return header, None, _decode(header, _BytesReader(body), name)


def check_npy_size(header: NpyHeader, file_size: int, name: str) -> None:
    if file_size < header.data_offset + header.data_size:
        raise UserError(f"{name}: the file ends before the {header.count} elements of shape {header.shape}")


def read_npy(stream: _Readable, name: str) -> NpyArray:
    """Reads a whole .npy file from `stream`; `name` is used in errors."""
    return _decode(read_npy_header(stream, name), stream, name)


def _decode(header: NpyHeader, stream: _Readable, name: str) -> NpyArray:
    struct_format, shape, count = header.struct_format, header.shape, header.count
    fortran_order = header.fortran_order
    item_size = struct.calcsize(struct_format[:2])
    values: list[float] = []  # integers and booleans too; the module takes any number
    remaining = count
    while remaining:
        items = min(remaining, _CHUNK_ITEMS)
        data = stream.read(items * item_size)
        if len(data) != items * item_size:
            raise UserError(f"{name}: the file ends before the {count} elements of shape {shape}")
        values.extend(struct.unpack(f"{struct_format[0]}{items}{struct_format[1]}", data))
        remaining -= items
    if fortran_order and len(shape) > 1:
        values = _to_row_major(values, shape)
    return NpyArray(shape, values)


def _read_header(stream: _Readable, name: str) -> tuple[int, str, bool, tuple[int, ...]]:
    """The offset of the first element, and the header's descr, fortran_order and shape."""
    prefix = stream.read(len(MAGIC) + 2)
    if len(prefix) < len(MAGIC) + 2 or not prefix.startswith(MAGIC):
        raise UserError(f"{name}: not a .npy file")
    major = prefix[len(MAGIC)]
    if major == 1:
        size_bytes, encoding = 2, "latin-1"
    elif major in (2, 3):
        size_bytes, encoding = 4, "latin-1" if major == 2 else "utf-8"
    else:
        raise UserError(f"{name}: unsupported .npy format version {major}")
    size_field = stream.read(size_bytes)
    if len(size_field) != size_bytes:
        raise UserError(f"{name}: the .npy header is cut short")
    header_size = int.from_bytes(size_field, "little")
    raw = stream.read(header_size)
    if len(raw) != header_size:
        raise UserError(f"{name}: the .npy header is cut short")
    try:
        header = ast.literal_eval(raw.decode(encoding))
    except (ValueError, SyntaxError, UnicodeDecodeError, MemoryError, RecursionError):
        raise UserError(f"{name}: the .npy header cannot be read") from None
    if not isinstance(header, dict) or set(header) != {"descr", "fortran_order", "shape"}:
        raise UserError(f"{name}: the .npy header cannot be read")
    descr, fortran_order, shape = header["descr"], header["fortran_order"], header["shape"]
    if (not isinstance(shape, tuple) or not all(type(n) is int and n >= 0 for n in shape)
            or not isinstance(fortran_order, bool)):
        raise UserError(f"{name}: the .npy header cannot be read")
    if not isinstance(descr, str):
        raise UserError(f"{name}: structured arrays are not supported, only plain numbers")
    return len(MAGIC) + 2 + size_bytes + header_size, descr, fortran_order, shape


def _struct_format(descr: str, name: str) -> str:
    """Byte order and element character for struct, e.g. '<f'."""
    if len(descr) >= 3 and descr[0] in "<>|=" and descr[2:].isdigit():
        order, kind, size = descr[0], descr[1], int(descr[2:])
        code = _FORMATS.get((kind, size))
        if code is not None:
            # '|' (no byte order) only occurs for one-byte items; '=' is native.
            return ("<" if order in "<|" or (order == "=" and _native_is_little()) else ">") + code
    raise UserError(f"{name}: unsupported element type {descr!r} (need floats, integers or booleans)")


def _native_is_little() -> bool:
    return struct.pack("=H", 1) == b"\x01\x00"


def _to_row_major(values: list[float], shape: tuple[int, ...]) -> list[float]:
    """Column-major elements reordered to row-major."""
    if len(shape) == 2:
        rows = shape[0]
        # Element (i, j) of a column-major (n, d) array sits at j * n + i.
        return [x for i in range(rows) for x in values[i::rows]]
    reordered = list(values)
    strides = [math.prod(shape[:axis]) for axis in range(len(shape))]
    for flat in range(len(values)):
        index, rest = 0, flat
        for axis in reversed(range(len(shape))):
            rest, position = divmod(rest, shape[axis])
            index += position * strides[axis]
        reordered[flat] = values[index]
    return reordered
