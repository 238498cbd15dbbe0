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
array read from the file, a 2-D memoryview when NumPy is absent, and a list
of rows for the text formats. Only that one mapping reads a file in place:
its module guards against the file shrinking under it (check_unchanged tells
afterwards), where a NumPy or Python mapping read by the module would end the
process with SIGBUS.

Messages quote at most a few dozen characters of what a file holds.
"""

from __future__ import annotations

import csv
import importlib
import io
import json
import math
import os
import sys
import zipfile
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import IO, Any

from vextral import _native
from vextral.errors import UserError, plural, shown
from vextral.npy import NpyHeader, check_npy_size, decode_npy, read_npy_data, read_npy_header, read_npy_into

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

# The formats each reading option applies to.
OPTION_FORMATS = {"key": ("npz",), "column": ("parquet", "arrow"), "skip_columns": ("csv", "tsv", "txt")}
_OPTION_NAMES = {"key": "--key", "column": "--column", "skip_columns": "--skip-columns"}
_FORMAT_NAMES = {"npz": ".npz", "parquet": "Parquet", "arrow": "Arrow", "csv": "CSV", "tsv": "TSV",
                 "txt": "text"}

# The smallest magnitude that rounds to infinity in float32: 2**128 less half a unit in the last place.
_FLOAT32_OVERFLOW = 2.0**128 - 2.0**103

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
    # What the reader found worth a warning, though the batch can be measured.
    warnings: tuple[str, ...] = ()

    def label(self, index: int) -> str:
        return self.labels[index] if self.labels is not None else f"row {index + 1}"

    def overflow_in(self, index: int) -> float | None:
        """A number of row `index` that is finite as read but too large for float32 (where the
        reader kept the numbers as read), when every number of the row is finite: what makes
        such a row hold infinity once converted."""
        row = self._row_as_read(index)
        if row is None or not all(math.isfinite(value) for value in row):
            return None
        return next((value for value in row if abs(value) >= _FLOAT32_OVERFLOW), None)

    def _row_as_read(self, index: int) -> list[float] | None:
        if isinstance(self.data, list):
            return list(self.data[index])
        dtype = getattr(self.data, "dtype", None)
        if dtype is not None and dtype.kind == "f" and dtype.itemsize > 4:
            return [float(value) for value in self.data[index]]
        return None


def check_options_apply(paths: list[str], options: ReadOptions) -> str | None:
    """A reading option given for formats none of `paths` has, which would do nothing: the
    message that says so (None when every option given applies to some input)."""
    kinds = []
    for path in paths:
        try:
            kinds.append(options.format or _format_of(path))
        except UserError:
            return None  # an unknown extension: reading says so
    for option, formats in OPTION_FORMATS.items():
        if getattr(options, option) is None or any(kind in formats for kind in kinds):
            continue
        applies = " and ".join(_FORMAT_NAMES[kind] for kind in formats)
        return f"{_OPTION_NAMES[option]} does nothing for {' and '.join(paths)}: it only applies to {applies} files"
    return None


def check_unchanged(embeddings: Embeddings) -> None:
    """Raises when the file that `embeddings` read in place changed while it was read (a writer
    truncated or rewrote it): the measures of what was read are not the file's."""
    changed = getattr(_native, "mapped_file_changed", None)
    if changed is not None and changed(embeddings.data):
        raise UserError(f"{embeddings.source}: the file changed while it was read; "
                        "measure it again once nothing writes to it")


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
    warnings: list[str] = []
    with _open_text(path) as text:
        try:
            if kind == "json":
                rows, labels = _read_json_document(text, path)
            elif kind in ("csv", "tsv"):
                rows, labels = _read_delimited(text, path, "," if kind == "csv" else "\t", options, warnings)
            elif kind == "txt":
                rows, labels = _read_whitespace(text, path, options, warnings)
            else:
                # Standard input is JSON lines by default: a mistake there may be a format not named.
                hint = " (standard input is read as JSON lines; name its format with --format, e.g. " \
                       "--format csv)" if path == STDIN and options.format is None else ""
                rows, labels = _read_json_lines(text, path, hint)
        except UnicodeDecodeError:
            raise UserError(f"{path}: not UTF-8 text") from None
    _check_rectangular(rows, labels, path)
    return Embeddings(path, rows, len(rows), len(rows[0]), labels, tuple(warnings))


def _format_of(path: str) -> str:
    if path == STDIN:
        return "jsonl"
    extension = os.path.splitext(path)[1].lower()
    kind = EXTENSIONS.get(extension)
    if kind is None:
        named = shown(extension) if extension else "(no extension)"
        raise UserError(f"{path}: unknown format {named}; supported: "
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
            # Read, not mapped: a mapping that NumPy or Python made would end the process with
            # SIGBUS when read after the file shrank.
            return _from_npy_stream(stream, header, path, f"{path}: the file changed while it was read")
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None


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


def _from_npy_stream(stream: IO[bytes], header: NpyHeader, name: str, cut_short: str) -> Embeddings:
    """The elements that follow `header` in `stream` (exactly header.data_size bytes, which the
    caller has checked are there; `cut_short` is the message if they are not after all)."""
    count, dimension = header.shape
    numpy = _numpy()
    try:
        if numpy is not None:
            return _from_numpy(numpy, _read_array(numpy, stream, header, cut_short), name)
        code = header.buffer_format()
        if code is None:
            return _from_npy_values(header.shape, decode_npy(header, stream, cut_short).values, name)
        data = read_npy_data(stream, header.data_size, cut_short)
    except MemoryError:
        raise UserError(f"{name}: its {header.data_size} bytes of data do not fit in memory") from None
    return Embeddings(name, memoryview(data).cast(code, [count, dimension]), count, dimension)


# Elements are read this many bytes at a time into the array that holds them.
_READ_CHUNK_BYTES = 1 << 24


def _read_array(numpy: Any, stream: IO[bytes], header: NpyHeader, cut_short: str) -> Any:
    """The elements as a NumPy array of their own type in native byte order: read straight into
    it, or in chunks swapped into it, so that no more than a chunk is ever held twice."""
    stored = numpy.dtype(header.struct_format)
    array = numpy.empty(header.count, stored.newbyteorder("="))
    if stored.isnative:
        read_npy_into(stream, memoryview(array).cast("B"), cut_short)
    else:
        step = max(1, _READ_CHUNK_BYTES // stored.itemsize)
        for start in range(0, header.count, step):
            items = min(step, header.count - start)
            chunk = read_npy_data(stream, items * stored.itemsize, cut_short)
            array[start:start + items] = numpy.frombuffer(chunk, stored)
    return array.reshape(header.shape, order="F" if header.fortran_order else "C")


def _read_npz(path: str, options: ReadOptions) -> Embeddings:
    try:
        archive = zipfile.ZipFile(path)
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None
    except (zipfile.BadZipFile, ValueError, EOFError):
        raise UserError(f"{path}: not a .npz file (not a zip archive)") from None
    with archive:
        names = [name.removesuffix(".npy") for name in archive.namelist() if name.endswith(".npy")]
        key = _choose(names, options.key, path, "array", "--key")
        name = f"{path}[{key}]"
        try:
            info = archive.getinfo(key + ".npy")
            with archive.open(info) as member:
                # The header first: only as much as it declares is ever decompressed, whatever
                # the member would inflate to.
                header = read_npy_header(member, name)
                _check_array_shape(header.shape, name)
                declared = header.data_offset + header.data_size
                if info.file_size != declared:
                    raise UserError(f"{name}: the member holds {info.file_size} bytes, but its header "
                                    f"declares {declared} (shape {header.shape})")
                if _beyond_inflation(info):
                    raise UserError(f"{name}: the member declares {info.file_size} bytes, more than its "
                                    f"{info.compress_size} compressed bytes can hold")
                return _from_npy_stream(member, header, name, f"{name}: the member ends before its data")
        except (zipfile.BadZipFile, zipfile.LargeZipFile, OSError, EOFError, ValueError, NotImplementedError,
                RuntimeError) as error:
            raise UserError(f"{name}: cannot be read ({_first_line(error, 60)})") from None


# Deflate turns a byte into at most 1032 (a run of zeros is the best case); no stored member
# holds more than its own size.
_MOST_INFLATION = {zipfile.ZIP_STORED: 1, zipfile.ZIP_DEFLATED: 1032}


def _beyond_inflation(info: zipfile.ZipInfo) -> bool:
    """Whether a member's uncompressed size is more than its compressed data could give: a
    central directory that lies, so that memory for the claim is not spent before it is found."""
    ratio = _MOST_INFLATION.get(info.compress_type)
    return ratio is not None and info.file_size > info.compress_size * ratio + 1024


def _choose(names: list[str], wanted: str | None, path: str, what: str, option: str) -> str:
    if wanted is not None:
        if wanted not in names:
            raise UserError(f"{path}: no {what} named {shown(wanted)}; it has: {_listing(names)}")
        return wanted
    if len(names) != 1:
        if not names:
            raise UserError(f"{path}: no {what} of embeddings found")
        raise UserError(f"{path}: {len(names)} {what}s ({_listing(names)}); choose one with {option}")
    return names[0]


def _listing(names: list[str]) -> str:
    """Names from a file (arrays, columns), as many as fit in about 80 characters."""
    listed: list[str] = []
    length = 0
    for name in names:
        text = name if len(name) <= 30 else name[:30] + "..."
        if listed and length + len(text) > 80:
            break
        listed.append(text)
        length += len(text) + 2
    rest = len(names) - len(listed)
    return ", ".join(listed) + (f" and {rest} more" if rest else "") if listed else "nothing"


def _check_array_shape(shape: tuple[int, ...], path: str) -> None:
    if len(shape) != 2:
        raise UserError(f"{path}: expected a 2-D array (embeddings x dimensions), got shape {shape}")
    if shape[0] == 0:
        raise UserError(f"{path}: no embeddings found")
    if shape[1] == 0:
        raise UserError(f"{path}: row 1 is empty; embeddings need at least one number")


def _from_numpy(numpy: Any, array: Any, name: str) -> Embeddings:
    array = native_array(numpy, array)
    count, dimension = array.shape
    return Embeddings(name, array, count, dimension)


def native_array(numpy: Any, array: Any) -> Any:
    """`array` as what the module reads directly, an exact ndarray (not numpy.memmap): float16
    and a foreign byte order are widened or swapped first, exactly, so that the module need not
    read them element by element."""
    array = array.view(numpy.ndarray)
    if array.dtype == numpy.float16:
        return array.astype(numpy.float32)
    if not array.dtype.isnative:
        return array.astype(array.dtype.newbyteorder("="))
    return array


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
        # Read, not mapped: reading a mapping after the file shrank would end the process.
        table = parquet.read_table(path, columns=[column], memory_map=False)
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None
    except pyarrow.ArrowException as error:
        raise UserError(f"{path}: not a readable Parquet file ({_first_line(error)})") from None
    return _from_arrow_column(pyarrow, table.column(column), f"{path}[{column}]")


def _read_arrow(path: str, options: ReadOptions) -> Embeddings:
    pyarrow = _pyarrow("Arrow")
    ipc = importlib.import_module("pyarrow.ipc")
    try:
        # Read, not mapped: the table would read its values in place from the mapping, and a
        # file that shrank under it would end the process.
        with pyarrow.OSFile(path) as source:
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


def _first_line(error: BaseException, limit: int = 100) -> str:
    line = (str(error).splitlines() or [type(error).__name__])[0]
    return line if len(line) <= limit else line[:limit] + "..."


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
            raise UserError(f"{path}: no column named {shown(wanted)}; it has: {_listing(names)}")
        if not _is_number_list(pyarrow, schema.field(wanted).type):
            kind = str(schema.field(wanted).type)
            raise UserError(f"{path}: column {shown(wanted)} is {kind if len(kind) <= 40 else shown(kind)}, "
                            "not a list of numbers")
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
        raise UserError(f"{name}: row {first + 1} has {plural(lengths[first].as_py(), 'number')}, "
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


def _read_json_lines(text: IO[str], path: str, hint: str = "") -> tuple[list[list[float]], list[str]]:
    rows: list[list[float]] = []
    labels: list[str] = []
    for number, line in enumerate(text, start=1):
        if not line.strip():
            continue
        try:
            document = json.loads(line)
        except ValueError:
            raise UserError(f"{path}:{number}: not valid JSON{hint}") from None
        except RecursionError:
            raise UserError(f"{path}:{number}: JSON nested too deeply") from None
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
        raise UserError(f"{path}: not valid JSON ({_first_line(error)})") from None
    except RecursionError:
        raise UserError(f"{path}: JSON nested too deeply") from None
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
            raise UserError(f"{path}: {label}: {_json_kind(element)} is not a number")
        try:
            row.append(float(element))
        except OverflowError:
            raise UserError(f"{path}: {label}: a number is too large") from None
    return row


def _json_kind(element: object) -> str:
    """A JSON value in a message: short ones as written, arrays and objects by kind."""
    if isinstance(element, str):
        return json.dumps(element) if len(element) <= 40 else json.dumps(element[:40]) + "..."
    if isinstance(element, list):
        return "an array"
    if isinstance(element, dict):
        return "an object"
    return json.dumps(element)  # null, true, false


# --- CSV, TSV and whitespace text ---------------------------------------------------

def _read_delimited(text: IO[str], path: str, delimiter: str, options: ReadOptions,
                    warnings: list[str]) -> tuple[list[list[float]], list[str]]:
    lines = csv.reader(text, delimiter=delimiter)
    try:
        return _read_cells(((lines.line_num, cells) for cells in lines), path, options, delimiter, warnings)
    except csv.Error as error:
        raise UserError(f"{path}:{lines.line_num}: {_first_line(error)}") from None


def _read_whitespace(text: IO[str], path: str, options: ReadOptions,
                     warnings: list[str]) -> tuple[list[list[float]], list[str]]:
    # What numpy.savetxt writes: numbers separated by spaces, "#" comments.
    numbered = ((number, line.split("#", 1)[0].split()) for number, line in enumerate(text, start=1))
    return _read_cells(numbered, path, options, None, warnings)


# Separators a file of another kind has, what to call them, and what to do about it.
_OTHER_SEPARATORS = (
    (";", "';'", "replace them with ',' (or with spaces, for --format txt)"),
    ("\t", "tabs", "read it with --format tsv or --format txt"),
    (" ", "spaces", "read it with --format txt"),
    (",", "','", "read it with --format csv"),
)


def _other_separator(cells: list[str], delimiter: str | None, path: str, number: int) -> UserError | None:
    """For a line that is one cell only (its separator never occurs) whose text another
    separator splits: the error that says which separator was expected and what to do."""
    if len(cells) != 1:
        return None
    expected = "blanks" if delimiter is None else "tabs" if delimiter == "\t" else repr(delimiter)
    for separator, name, remedy in _OTHER_SEPARATORS:
        if separator == delimiter or (delimiter is None and separator.isspace()):
            continue
        if len([part for part in cells[0].split(separator) if part.strip()]) > 1:
            return UserError(f"{path}:{number}: expected numbers separated by {expected}, but they are "
                             f"separated by {name}: {remedy}")
    return None


def _read_cells(lines: Iterable[tuple[int, list[str]]], path: str, options: ReadOptions,
                delimiter: str | None, warnings: list[str]) -> tuple[list[list[float]], list[str]]:
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
            if skip == len(cells) and (mistake := _other_separator(cells, delimiter, path, number)):
                raise mistake
        rows.append([_parse_cell(cell, path, number, column)
                     for column, cell in enumerate(cells[skip:], start=skip + 1)])
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
    if options.skip_columns is None and skip == 0 and (note := _row_numbers_note(rows, header, path)):
        warnings.append(note)
    return rows, labels


def _row_numbers_note(rows: list[list[float]], header: list[str] | None, path: str) -> str | None:
    """A first column that counts the rows (0, 1, 2, ... or 1, 2, 3, ...) is most likely an id
    under a name not known as one: say so, as it is read as a dimension."""
    if len(rows) < 3 or any(not row for row in rows):
        return None
    start = rows[0][0]
    if start not in (0.0, 1.0) or any(row[0] != start + i for i, row in enumerate(rows)):
        return None
    named = f" ({shown(header[0])})" if header else ""
    first = int(start)
    return (f"{path}: the first column{named} holds {first}, {first + 1}, {first + 2}, ... like row numbers, "
            "and is read as a dimension of each embedding; if it is an id, give --skip-columns 1")


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


def _parse_cell(cell: str, path: str, line: int, column: int) -> float:
    try:
        return float(cell)
    except ValueError:
        if not cell.strip():
            raise UserError(f"{path}:{line}: column {column} is empty") from None
        raise UserError(f"{path}:{line}: column {column}: {shown(cell.strip())} is not a number") from None


def _check_rectangular(rows: list[list[float]], labels: list[str], path: str) -> None:
    if not rows:
        raise UserError(f"{path}: no embeddings found")
    dimension = len(rows[0])
    if dimension == 0:
        raise UserError(f"{path}: {labels[0]} is empty; embeddings need at least one number")
    for row, label in zip(rows, labels):
        if len(row) != dimension:
            raise UserError(f"{path}: {label} has {plural(len(row), 'number')}, but {labels[0]} has {dimension}")

