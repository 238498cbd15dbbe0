"""A reader for NumPy's .npy files that needs no NumPy.

Embeddings are almost always saved with numpy.save, but the command-line tool
should not pull a large dependency into every install just to read a header
and a block of numbers. Object arrays are refused: loading them would mean
unpickling, that is running code from the file.
"""

from __future__ import annotations

import ast
import math
import struct
from typing import BinaryIO

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


class NpyArray:
    """The shape and the elements (row-major) of a .npy file."""

    def __init__(self, shape: tuple[int, ...], values: list[float]):
        self.shape = shape
        self.values = values


def read_npy(stream: BinaryIO, name: str) -> NpyArray:
    """Reads a whole .npy file from `stream`; `name` is used in errors."""
    descr, fortran_order, shape = _read_header(stream, name)
    struct_format = _struct_format(descr, name)
    count = math.prod(shape)
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


def _read_header(stream: BinaryIO, name: str) -> tuple[str, bool, tuple[int, ...]]:
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
    return descr, fortran_order, shape


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
