"""A reader for NumPy's .npy files that needs no NumPy.

Embeddings are almost always saved with numpy.save, but the command-line tool
should not pull a large dependency into every install just to read a header
and a block of numbers. Object arrays are refused: loading them would mean
unpickling, that is running code from the file.

The header is always read here, so that every mistake in a file gets the same
message whether or not NumPy is installed; it is parsed field by field, not
evaluated, and refused beyond NumPy's own limit on its size. The elements
are then either read into a buffer (native-order float32 or float64 in
row-major order, the common case: no Python object per element) or decoded
by `struct`.
"""

from __future__ import annotations

import math
import re
import struct
from dataclasses import dataclass
from typing import Literal, Protocol

from vextral.errors import UserError, shown

MAGIC = b"\x93NUMPY"

# NumPy itself refuses longer headers (numpy.lib.format, max_header_size): one
# describes an array in well under a hundred bytes, and anything larger is
# not a file numpy.save wrote.
MAX_HEADER_SIZE = 10_000

# One "'key': value," entry of the header's dict literal; the values the
# three keys take are a string, True/False, a tuple of integers, or a list
# (a structured array's descr, refused).
_FIELD = re.compile(r"""\s*(['"])(\w+)\1\s*:\s*(?:(['"])([^'"\\]*)\3|(True|False)|\(([\d\s,]*)\)|(\[))\s*(,?)""")
_END = re.compile(r"\s*}\s*")
# More digits than any real length, and fewer than Python's limit on
# converting decimal text.
_MAX_DIMENSION_DIGITS = 20

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


def read_npy_header(stream: _Readable, name: str) -> NpyHeader:
    """Reads and checks the header; the stream is left at the first element."""
    data_offset, descr, fortran_order, shape = _read_header(stream, name)
    return NpyHeader(shape, fortran_order, _struct_format(descr, name), data_offset)


def check_npy_size(header: NpyHeader, file_size: int, name: str) -> None:
    if file_size < header.data_offset + header.data_size:
        raise UserError(f"{name}: the file ends before the {header.count} elements of shape {header.shape}")


def read_npy_data(stream: _Readable, size: int, cut_short: str) -> bytearray:
    """Exactly `size` bytes (a size the caller has checked against the file), read in slices;
    `cut_short` is the message when the stream ends first."""
    data = bytearray(size)
    read_npy_into(stream, memoryview(data), cut_short)
    return data


def read_npy_into(stream: _Readable, target: memoryview, cut_short: str) -> None:
    """Fills `target` (bytes) from `stream`, slice by slice."""
    size = target.nbytes
    position = 0
    while position < size:
        chunk = stream.read(min(size - position, _CHUNK_ITEMS * 8))
        if not chunk:
            raise UserError(cut_short)
        target[position:position + len(chunk)] = chunk
        position += len(chunk)


def decode_npy(header: NpyHeader, stream: _Readable, cut_short: str) -> NpyArray:
    """The elements that follow the header in `stream`, decoded one by one (row-major); for
    element types no buffer can hand over."""
    struct_format, shape, count = header.struct_format, header.shape, header.count
    fortran_order = header.fortran_order
    item_size = struct.calcsize(struct_format[:2])
    values: list[float] = []  # integers and booleans too; the module takes any number
    remaining = count
    while remaining:
        items = min(remaining, _CHUNK_ITEMS)
        data = stream.read(items * item_size)
        if len(data) != items * item_size:
            raise UserError(cut_short)
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
    if header_size > MAX_HEADER_SIZE:
        raise UserError(f"{name}: the .npy header is {header_size} bytes long; "
                        f"NumPy writes and reads at most {MAX_HEADER_SIZE}")
    raw = stream.read(header_size)
    if len(raw) != header_size:
        raise UserError(f"{name}: the .npy header is cut short")
    try:
        text = raw.decode(encoding)
    except UnicodeDecodeError:
        raise UserError(f"{name}: the .npy header cannot be read") from None
    descr, fortran_order, shape = _parse_header(text, name)
    return len(MAGIC) + 2 + size_bytes + header_size, descr, fortran_order, shape


def _parse_header(text: str, name: str) -> tuple[str, bool, tuple[int, ...]]:
    """descr, fortran_order and shape from the header's dict literal, read field by field rather
    than evaluated: only these three keys, with the kinds of values numpy.save writes."""
    unreadable = UserError(f"{name}: the .npy header cannot be read")
    start = text.find("{")
    if start < 0 or text[:start].strip():
        raise unreadable
    fields: dict[str, object] = {}
    position = start + 1
    while (field := _FIELD.match(text, position)) is not None:
        key = field.group(2)
        if key in fields:
            raise unreadable
        if field.group(7):
            raise UserError(f"{name}: structured arrays are not supported, only plain numbers")
        if field.group(4) is not None:
            fields[key] = field.group(4)
        elif field.group(5) is not None:
            fields[key] = field.group(5) == "True"
        else:
            fields[key] = _parse_shape(field.group(6), unreadable)
        position = field.end()
        if not field.group(8):
            break
    if _END.fullmatch(text, position) is None or set(fields) != {"descr", "fortran_order", "shape"}:
        raise unreadable
    descr, fortran_order, shape = fields["descr"], fields["fortran_order"], fields["shape"]
    if not isinstance(descr, str) or not isinstance(fortran_order, bool) or not isinstance(shape, tuple):
        raise unreadable
    return descr, fortran_order, shape


def _parse_shape(text: str, unreadable: UserError) -> tuple[int, ...]:
    parts = [part.strip() for part in text.split(",")]
    if parts[-1] == "":
        parts.pop()  # "(3,)", or "()"
    if not all(part.isdigit() and len(part) <= _MAX_DIMENSION_DIGITS for part in parts):
        raise unreadable
    return tuple(int(part) for part in parts)


def _struct_format(descr: str, name: str) -> str:
    """Byte order and element character for struct, e.g. '<f'."""
    if len(descr) >= 3 and descr[0] in "<>|=" and descr[2:].isdigit():
        order, kind, size = descr[0], descr[1], int(descr[2:])
        code = _FORMATS.get((kind, size))
        if code is not None:
            # '|' (no byte order) only occurs for one-byte items; '=' is native.
            return ("<" if order in "<|" or (order == "=" and _native_is_little()) else ">") + code
    raise UserError(f"{name}: unsupported element type {shown(descr)} (need floats, integers or booleans)")


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
