"""Embeddings read from the files users have.

.npy (memory-mapped), .npz, Parquet and Arrow IPC files, JSON, JSON lines,
CSV, TSV and whitespace-separated text; the format comes from the file's
extension or from --format.

Every format ends in the same check: at least one embedding, all of one
length, at least one number long. vextral_core itself accepts ragged batches
for some measures and fails internally on others, so the tool refuses them
up front with a message that names the offending line or row.

What a reader hands on is whatever the native entry accepts without one
Python object per element where it can: for a .npy file of native float32
rows the native module's own read-only mapping of the file, otherwise a NumPy
array (a view of the mapped file when the file's layout allows), a 2-D
memoryview when NumPy is absent, and a list of rows for the text formats.
"""

from __future__ import annotations

import csv
import importlib
import io
import json
import mmap
import os
import sys
import zipfile
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import IO, Any

from vextral import _native
from vextral.errors import UserError
from vextral.npy import NpyHeader, check_npy_size, read_npy, read_npy_buffer, read_npy_header

STDIN = "-"

# Format names and the extensions that select them.
EXTENSIONS = {
    ".npy": "npy", ".npz": "npz", ".parquet": "parquet", ".pq": "parquet",
    ".arrow": "arrow", ".feather": "arrow", ".ipc": "arrow", ".arrows": "arrow",
    ".json": "json", ".jsonl": "jsonl", ".ndjson": "jsonl",
    ".csv": "csv", ".tsv": "tsv", ".txt": "txt",
}
FORMATS = tuple(dict.fromkeys(EXTENSIONS.values()))

# Keys of a JSON object that hold its embedding, in the order they are tried.
EMBEDDING_KEYS = ("embedding", "vector")

# Header names of CSV/TSV columns that identify a row rather than hold a number.
_ID_NAMES = {"", "id", "ids", "key", "index", "idx", "name", "label", "text", "doc", "docid",
             "document", "title", "sentence", "chunk", "url"}


@dataclass(frozen=True)
class ReadOptions:
    """How to read a file: its format (None: from the extension), the .npz array, the
    Parquet/Arrow column and the number of leading CSV/TSV/text columns that are not numbers."""

    format: str | None = None
    key: str | None = None
    column: str | None = None
    skip_columns: int | None = None


@dataclass(frozen=True)
class Embeddings:
    """A rectangular batch read from `source`."""

    source: str
    # What the native entry takes: a mapping of the file's rows, a NumPy array, a 2-D
    # memoryview or a list of rows.
    data: Any
    count: int
    dimension: int
    # Where each embedding came from ("line 3"), where that differs from "row N".
    labels: list[str] | None = field(default=None, repr=False)

    def label(self, index: int) -> str:
        return self.labels[index] if self.labels is not None else f"row {index + 1}"


def load_embeddings(path: str, options: ReadOptions = ReadOptions()) -> Embeddings:
    """Reads `path` in the format its extension names (or options.format); "-" is standard input,
    read as JSON lines unless options.format says otherwise."""
    if path != STDIN:
        _open_binary(path).close()  # a missing file or a folder is named as such, before its format
    kind = options.format or _format_of(path)
    if kind in ("npy", "npz", "parquet", "arrow"):
        if path == STDIN:
            raise UserError(f"{kind} files cannot be read from standard input; give the file's name")
        reader = {"npy": _read_npy, "npz": _read_npz, "parquet": _read_parquet, "arrow": _read_arrow}[kind]
        return reader(path, options)
    with _open_text(path) as text:
        try:
            if kind == "json":
                rows, labels = _read_json_document(text, path)
            elif kind in ("csv", "tsv"):
                rows, labels = _read_delimited(text, path, "," if kind == "csv" else "\t", options)
            elif kind == "txt":
                rows, labels = _read_whitespace(text, path, options)
            else:
                rows, labels = _read_json_lines(text, path)
        except UnicodeDecodeError:
            raise UserError(f"{path}: not UTF-8 text") from None
    _check_rectangular(rows, labels, path)
    return Embeddings(path, rows, len(rows), len(rows[0]), labels)


def _format_of(path: str) -> str:
    if path == STDIN:
        return "jsonl"
    extension = os.path.splitext(path)[1].lower()
    kind = EXTENSIONS.get(extension)
    if kind is None:
        shown = f"'{extension}'" if extension else "(no extension)"
        raise UserError(f"{path}: unknown format {shown}; supported: "
                        f"{', '.join(EXTENSIONS)} (or name one with --format)")
    return kind


def _numpy() -> Any:
    """NumPy if it is installed, else None."""
    try:
        return importlib.import_module("numpy")
    except ImportError:
        return None


def _open_text(path: str) -> IO[str]:
    if path == STDIN:
        return io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8", newline="")
    try:
        return open(path, encoding="utf-8", newline="")
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None


def _open_binary(path: str) -> IO[bytes]:
    try:
        return open(path, "rb")
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None


# --- NumPy files ---------------------------------------------------------------

def _read_npy(path: str, options: ReadOptions) -> Embeddings:
    try:
        with _open_binary(path) as stream:
            header = read_npy_header(stream, path)
            check_npy_size(header, os.fstat(stream.fileno()).st_size, path)
            _check_array_shape(header.shape, path)
            mapped_rows = _mapped_float32_rows(stream, header, path)
            if mapped_rows is not None:
                count, dimension = header.shape
                return Embeddings(path, mapped_rows, count, dimension)
            numpy = _numpy()
            if numpy is not None:
                # Mapped, not read: the pages are touched once, by the conversion.
                array = numpy.load(path, mmap_mode="r", allow_pickle=False)
                return _from_numpy(numpy, array, path)
            if header.buffer_format() is None:
                stream.seek(0)
                return _from_npy_values(header.shape, read_npy(stream, path).values, path)
            mapped = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None
    _, view, _ = read_npy_buffer(memoryview(mapped), path)
    count, dimension = header.shape
    return Embeddings(path, view, count, dimension)


def _mapped_float32_rows(stream: IO[bytes], header: NpyHeader, path: str) -> Any:
    """Native float32 rows in row-major order, mapped by the native module itself where the
    system allows: the measures read them in place, and drop each stretch of the mapping once it
    is packed, so the file's pages and the packed copy are never both resident (None otherwise)."""
    map_rows = getattr(_native, "map_float32_rows", None)
    if map_rows is None or header.buffer_format() != "f" or header.data_offset % 4:
        return None
    try:
        rows, dimension = header.shape
        return map_rows(stream.fileno(), header.data_offset, rows, dimension)
    except OSError:
        return None  # a file that cannot be mapped (say, on a special file system) is read otherwise
    except ValueError:
        # The file shrank since its size was checked.
        raise UserError(f"{path}: the file ends before the {header.count} elements of shape "
                        f"{header.shape}") from None


def _read_npz(path: str, options: ReadOptions) -> Embeddings:
    try:
        archive = zipfile.ZipFile(path)
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None
    except zipfile.BadZipFile:
        raise UserError(f"{path}: not a .npz file (not a zip archive)") from None
    with archive:
        names = [name.removesuffix(".npy") for name in archive.namelist() if name.endswith(".npy")]
        key = _choose(names, options.key, path, "array", "--key")
        name = f"{path}[{key}]"
        try:
            data = archive.read(key + ".npy")
        except (zipfile.BadZipFile, OSError) as error:
            raise UserError(f"{name}: cannot be read ({error})") from None
    header, view, decoded = read_npy_buffer(memoryview(data), name)
    _check_array_shape(header.shape, name)
    numpy = _numpy()
    if numpy is not None:
        return _from_numpy(numpy, numpy.load(io.BytesIO(data), allow_pickle=False), name)
    if view is not None:
        return Embeddings(name, view, header.shape[0], header.shape[1])
    assert decoded is not None
    return _from_npy_values(header.shape, decoded.values, name)


def _choose(names: list[str], wanted: str | None, path: str, what: str, option: str) -> str:
    if wanted is not None:
        if wanted not in names:
            raise UserError(f"{path}: no {what} named {wanted!r}; it has: {_listing(names)}")
        return wanted
    if len(names) != 1:
        if not names:
            raise UserError(f"{path}: no {what} of embeddings found")
        raise UserError(f"{path}: {len(names)} {what}s ({_listing(names)}); choose one with {option}")
    return names[0]


def _listing(names: Iterable[str]) -> str:
    return ", ".join(names) or "nothing"


def _check_array_shape(shape: tuple[int, ...], path: str) -> None:
    if len(shape) != 2:
        raise UserError(f"{path}: expected a 2-D array (embeddings x dimensions), got shape {shape}")
    if shape[0] == 0:
        raise UserError(f"{path}: no embeddings found")
    if shape[1] == 0:
        raise UserError(f"{path}: row 1 is empty; embeddings need at least one number")


def _from_numpy(numpy: Any, array: Any, name: str) -> Embeddings:
    # An exact ndarray (not numpy.memmap) is what the module reads directly;
    # float16 and foreign byte order are widened or swapped first, exactly,
    # so that the module need not read them element by element.
    array = array.view(numpy.ndarray)
    if array.dtype == numpy.float16:
        array = array.astype(numpy.float32)
    elif not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    count, dimension = array.shape
    return Embeddings(name, array, count, dimension)


def _from_npy_values(shape: tuple[int, ...], values: list[float], name: str) -> Embeddings:
    count, dimension = shape
    rows = [values[i * dimension:(i + 1) * dimension] for i in range(count)]
    return Embeddings(name, rows, count, dimension)


# --- Parquet and Arrow IPC -------------------------------------------------------

def _pyarrow(kind: str) -> Any:
    try:
        return importlib.import_module("pyarrow")
    except ImportError:
        raise UserError(f"reading {kind} files needs the pyarrow package (pip install pyarrow)") from None


def _read_parquet(path: str, options: ReadOptions) -> Embeddings:
    pyarrow = _pyarrow("Parquet")
    parquet = importlib.import_module("pyarrow.parquet")
    try:
        schema = parquet.read_schema(path)
        column = _embedding_column(pyarrow, schema, options.column, path)
        table = parquet.read_table(path, columns=[column], memory_map=True)
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None
    except pyarrow.ArrowException as error:
        raise UserError(f"{path}: not a readable Parquet file ({_first_line(error)})") from None
    return _from_arrow_column(pyarrow, table.column(column), f"{path}[{column}]")


def _read_arrow(path: str, options: ReadOptions) -> Embeddings:
    pyarrow = _pyarrow("Arrow")
    ipc = importlib.import_module("pyarrow.ipc")
    try:
        with pyarrow.memory_map(path) as source:
            try:
                table = ipc.open_file(source).read_all()
            except pyarrow.ArrowInvalid:
                # Not the file format (with its footer): try the stream format.
                source.seek(0)
                table = ipc.open_stream(source).read_all()
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None
    except pyarrow.ArrowException as error:
        raise UserError(f"{path}: not a readable Arrow IPC file ({_first_line(error)})") from None
    column = _embedding_column(pyarrow, table.schema, options.column, path)
    return _from_arrow_column(pyarrow, table.column(column), f"{path}[{column}]")


def _first_line(error: BaseException) -> str:
    return (str(error).splitlines() or [type(error).__name__])[0]


def _is_number_list(pyarrow: Any, kind: Any) -> bool:
    types = pyarrow.types
    if not (types.is_list(kind) or types.is_large_list(kind) or types.is_fixed_size_list(kind)):
        return False
    value = kind.value_type
    return bool(types.is_floating(value) or types.is_integer(value))


def _embedding_column(pyarrow: Any, schema: Any, wanted: str | None, path: str) -> str:
    names = [field.name for field in schema]
    if wanted is not None:
        if wanted not in names:
            raise UserError(f"{path}: no column named {wanted!r}; it has: {_listing(names)}")
        if not _is_number_list(pyarrow, schema.field(wanted).type):
            raise UserError(f"{path}: column {wanted!r} is {schema.field(wanted).type}, not a list of numbers")
        return wanted
    lists = [field.name for field in schema if _is_number_list(pyarrow, field.type)]
    return _choose(lists, None, path, "list column", "--column")


def _from_arrow_column(pyarrow: Any, chunks: Any, name: str) -> Embeddings:
    compute = importlib.import_module("pyarrow.compute")
    column = chunks.combine_chunks() if chunks.num_chunks != 1 else chunks.chunk(0)
    count = len(column)
    if count == 0:
        raise UserError(f"{name}: no embeddings found")
    if column.null_count:
        first = compute.index(compute.is_null(column), True).as_py()
        raise UserError(f"{name}: row {first + 1} is null")
    lengths = compute.list_value_length(column)
    dimension = lengths[0].as_py()
    if dimension == 0:
        raise UserError(f"{name}: row 1 is empty; embeddings need at least one number")
    different = compute.not_equal(lengths, dimension)
    if compute.any(different).as_py():
        first = compute.index(different, True).as_py()
        raise UserError(f"{name}: row {first + 1} has {lengths[first].as_py()} numbers, "
                        f"but row 1 has {dimension}")
    values = column.flatten()
    if values.null_count:
        first = compute.index(compute.is_null(values), True).as_py() // dimension
        raise UserError(f"{name}: row {first + 1} holds a null")
    numpy = _numpy()
    if numpy is not None:
        array = values.to_numpy(zero_copy_only=False).reshape(count, dimension)
        return _from_numpy(numpy, array, name)
    flat = values.to_pylist()
    return Embeddings(name, [flat[i * dimension:(i + 1) * dimension] for i in range(count)], count, dimension)


# --- JSON and JSON lines ---------------------------------------------------------

def _embedding_of(item: object) -> object:
    """The array an item stands for: the item itself, or its "embedding"/"vector" entry."""
    if isinstance(item, dict):
        for key in EMBEDDING_KEYS:
            if key in item:
                return item[key]
    return item


def _items_of(document: object) -> Iterator[object]:
    """The embeddings of a document: one array, or an API response {"data": [...]}."""
    if isinstance(document, dict) and isinstance(document.get("data"), list):
        yield from document["data"]
    else:
        yield document


def _read_json_lines(text: IO[str], path: str) -> tuple[list[list[float]], list[str]]:
    rows: list[list[float]] = []
    labels: list[str] = []
    for number, line in enumerate(text, start=1):
        if not line.strip():
            continue
        try:
            document = json.loads(line)
        except ValueError:
            raise UserError(f"{path}:{number}: not valid JSON") from None
        items = list(_items_of(document))
        for position, item in enumerate(items, start=1):
            label = f"line {number}" if len(items) == 1 else f"line {number} item {position}"
            rows.append(_numbers(_embedding_of(item), path, label))
            labels.append(label)
    return rows, labels


def _read_json_document(text: IO[str], path: str) -> tuple[list[list[float]], list[str]]:
    try:
        document = json.load(text)
    except ValueError as error:
        raise UserError(f"{path}: not valid JSON ({error})") from None
    if isinstance(document, dict) and isinstance(document.get("data"), list):
        document = document["data"]
    if not isinstance(document, list):
        raise UserError(f"{path}: expected a JSON array of embeddings or an object with a \"data\" array")
    labels = [f"row {i + 1}" for i in range(len(document))]
    return [_numbers(_embedding_of(item), path, label) for item, label in zip(document, labels)], labels


def _numbers(item: object, path: str, label: str) -> list[float]:
    """A JSON array of numbers as floats; booleans, strings and nulls are refused."""
    if not isinstance(item, list):
        raise UserError(f"{path}: {label} is not an array of numbers "
                        f"(nor an object with an \"embedding\" or \"vector\" array)")
    row: list[float] = []
    for element in item:
        if type(element) not in (int, float):
            raise UserError(f"{path}: {label}: {json.dumps(element)[:40]} is not a number")
        try:
            row.append(float(element))
        except OverflowError:
            raise UserError(f"{path}: {label}: a number is too large") from None
    return row


# --- CSV, TSV and whitespace text ---------------------------------------------------

def _read_delimited(text: IO[str], path: str, delimiter: str,
                    options: ReadOptions) -> tuple[list[list[float]], list[str]]:
    lines = csv.reader(text, delimiter=delimiter)
    try:
        return _read_cells(((lines.line_num, cells) for cells in lines), path, options)
    except csv.Error as error:
        raise UserError(f"{path}:{lines.line_num}: {error}") from None


def _read_whitespace(text: IO[str], path: str, options: ReadOptions) -> tuple[list[list[float]], list[str]]:
    # What numpy.savetxt writes: numbers separated by spaces, "#" comments.
    numbered = ((number, line.split("#", 1)[0].split()) for number, line in enumerate(text, start=1))
    return _read_cells(numbered, path, options)


def _read_cells(lines: Iterable[tuple[int, list[str]]], path: str,
                options: ReadOptions) -> tuple[list[list[float]], list[str]]:
    """Rows of number cells. The first line is a header when it has text where the second has a
    number (or, alone, has no number at all); the leading columns that hold text, or whose
    header names an id (such as "id", or an empty name), are ids, unless options.skip_columns
    says how many there are."""
    rows: list[list[float]] = []
    labels: list[str] = []
    header: list[str] | None = None
    pending: tuple[int, list[str]] | None = None  # the first line, until the second decides
    skip = options.skip_columns

    def add(number: int, cells: list[str]) -> None:
        nonlocal skip
        if skip is None:
            skip = _id_columns(header, cells)
        rows.append([_parse_cell(cell, path, number) for cell in cells[skip:]])
        labels.append(f"line {number}")

    for number, cells in lines:
        if not any(cell.strip() for cell in cells):
            continue
        if not rows and pending is None and header is None:
            pending = (number, cells)
            continue
        if pending is not None:
            if _is_header(pending[1], cells):
                header = pending[1]
            else:
                add(*pending)
            pending = None
        add(number, cells)
    if pending is not None and any(_is_number(cell) for cell in pending[1]):
        add(*pending)
    return rows, labels


def _is_header(first: list[str], second: list[str]) -> bool:
    return any(not _is_number(a) and _is_number(b) for a, b in zip(first, second))


def _id_columns(header: list[str] | None, first_row: list[str]) -> int:
    leading_text = next((k for k, cell in enumerate(first_row) if _is_number(cell)), len(first_row))
    named = 0
    if header is not None:
        while named < len(header) and _names_an_id(header[named]):
            named += 1
    return min(max(leading_text, named), len(first_row))


def _names_an_id(name: str) -> bool:
    name = name.strip().lower()
    return name in _ID_NAMES or name.endswith("_id") or name.startswith("unnamed")


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _parse_cell(cell: str, path: str, line: int) -> float:
    try:
        return float(cell)
    except ValueError:
        raise UserError(f"{path}:{line}: {cell.strip()!r} is not a number") from None


def _check_rectangular(rows: list[list[float]], labels: list[str], path: str) -> None:
    if not rows:
        raise UserError(f"{path}: no embeddings found")
    dimension = len(rows[0])
    if dimension == 0:
        raise UserError(f"{path}: {labels[0]} is empty; embeddings need at least one number")
    for row, label in zip(rows, labels):
        if len(row) != dimension:
            raise UserError(f"{path}: {label} has {len(row)} numbers, but {labels[0]} has {dimension}")

