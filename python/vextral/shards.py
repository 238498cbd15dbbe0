"""One batch from many files: a glob pattern (`'shards/*.npy'`) or a folder of Parquet files.

The files are read in natural name order (numbers by value: part-2 before
part-10), the rows of each in order, as one batch. In this process they are
read and joined into one array (NumPy needed); for a Dask cluster they become
a Dask array whose chunks the workers read themselves, by path (a .npy file
in row ranges, so no worker holds more than a chunk of it; other formats a
file at a time), so the workers must see the files where the command does.
"""

from __future__ import annotations

import glob
import importlib
import os
import re
from collections.abc import Callable
from typing import Any

from vextral.embedding_files import EXTENSIONS, STDIN, Embeddings, ReadOptions, load_embeddings, native_array
from vextral.errors import UserError
from vextral.npy import read_npy_header
from vextral.retrieval_evaluation import natural_order

PARQUET_EXTENSIONS = tuple(extension for extension, kind in EXTENSIONS.items() if kind == "parquet")
GLOB_CHARACTERS = re.compile(r"[*?\[]")


def is_many(path: str) -> bool:
    """Whether `path` names many files: a folder, or a glob pattern that is no file's name."""
    if path == STDIN:
        return False
    return os.path.isdir(path) or (GLOB_CHARACTERS.search(path) is not None and not os.path.exists(path))


def shard_paths(path: str) -> list[str]:
    """The files `path` names, in natural name order."""
    if os.path.isdir(path):
        found = [os.path.join(folder, name) for folder, _, names in os.walk(path) for name in names
                 if name.lower().endswith(PARQUET_EXTENSIONS)]
        if not found:
            raise UserError(f"{path}: Is a directory, holding no Parquet files (.parquet, .pq) to read as one batch")
    else:
        found = [name for name in glob.glob(path, recursive=True) if os.path.isfile(name)]
        if not found:
            raise UserError(f"{path}: no such file, and no files match it as a pattern")
    return sorted(found, key=natural_order)


def _format(path: str, options: ReadOptions) -> str:
    return options.format or EXTENSIONS.get(os.path.splitext(path)[1].lower(), "")


def _numpy() -> Any:
    try:
        return importlib.import_module("numpy")
    except ImportError:
        raise UserError("reading many files as one batch needs NumPy (pip install numpy)") from None


def _as_array(numpy: Any, embeddings: Embeddings) -> Any:
    data = embeddings.data
    if not isinstance(data, (numpy.ndarray, list, memoryview)):
        # The native mapping of a .npy file's rows: read the file with NumPy instead.
        data = numpy.load(embeddings.source, allow_pickle=False)
    return numpy.asarray(data)


def _checked_dimension(path: str, dimension: int, expected: int) -> None:
    if dimension != expected:
        raise UserError(f"{path}: embeddings of {dimension} numbers, but the first file's have {expected}")


def load_together(path: str, options: ReadOptions) -> Embeddings:
    """All the files `path` names, read here and joined into one batch."""
    numpy = _numpy()
    parts: list[Any] = []
    dimension = 0
    for shard in shard_paths(path):
        embeddings = load_embeddings(shard, options)
        dimension = dimension or embeddings.dimension
        _checked_dimension(shard, embeddings.dimension, dimension)
        parts.append(_as_array(numpy, embeddings))
    dtype = numpy.result_type(*parts)
    joined = numpy.concatenate([part.astype(dtype, copy=False) for part in parts])
    return Embeddings(path, joined, len(joined), dimension)


# --- for a Dask cluster ------------------------------------------------------------------

def _read_rows(path: str, options: ReadOptions, start: int, stop: int, dimension: int) -> Any:
    """Rows [start, stop) of one file, as an array (runs on a worker)."""
    numpy = _numpy()
    if _format(path, options) == "npy":
        array = numpy.load(path, mmap_mode="r", allow_pickle=False)
        if array.ndim != 2:
            raise UserError(f"{path}: expected a 2-D array (embeddings x dimensions), got shape {array.shape}")
        _checked_dimension(path, array.shape[1], dimension)
        return native_array(numpy, numpy.array(array[start:stop]))
    embeddings = load_embeddings(path, options)
    _checked_dimension(path, embeddings.dimension, dimension)
    if embeddings.count != stop - start:
        raise UserError(f"{path}: {embeddings.count} embeddings, but {stop - start} when the batch was planned")
    return _as_array(numpy, embeddings)


def _shape_of(path: str, options: ReadOptions) -> tuple[int, int | None]:
    """A file's embeddings and their length where its metadata says so cheaply (None: read it)."""
    kind = _format(path, options)
    if kind == "npy":
        try:
            with open(path, "rb") as stream:
                shape = read_npy_header(stream, path).shape
        except OSError as error:
            raise UserError(f"{path}: {error.strerror or error}") from None
        if len(shape) != 2 or shape[0] == 0 or shape[1] == 0:
            load_embeddings(path, options)  # names what is wrong with it
        return shape[0], shape[1]
    if kind == "parquet":
        parquet = importlib.import_module("pyarrow.parquet")
        try:
            return parquet.ParquetFile(path).metadata.num_rows, None
        except (OSError, importlib.import_module("pyarrow").ArrowException):
            pass  # the reader names what is wrong
    embeddings = load_embeddings(path, options)
    return embeddings.count, embeddings.dimension


def dask_embeddings(path: str, options: ReadOptions, chunk_rows: Callable[[int, int], int]) -> Embeddings:
    """The file or files `path` names as one Dask array of row chunks of about
    chunk_rows(rows, dimension) rows, read by the workers."""
    dask = importlib.import_module("dask")
    da = importlib.import_module("dask.array")
    numpy = _numpy()
    if path == STDIN:
        raise UserError("standard input cannot be read by a cluster's workers; give a file")
    paths = shard_paths(path) if is_many(path) else [path]
    shapes = [_shape_of(shard, options) for shard in paths]
    dimension = shapes[0][1]
    if dimension is None:
        dimension = load_embeddings(paths[0], options).dimension
    rows_per_chunk = chunk_rows(sum(count for count, _ in shapes), dimension)
    chunks = []
    for shard, (count, _) in zip(paths, shapes):
        step = rows_per_chunk if _format(shard, options) == "npy" else max(count, 1)
        for start in range(0, count, step):
            stop = min(start + step, count)
            piece = dask.delayed(_read_rows, pure=True)(shard, options, start, stop, dimension)
            # The dtype is Dask's placeholder: the native code reads whatever each piece holds.
            chunks.append(da.from_delayed(piece, shape=(stop - start, dimension), dtype=numpy.float32))
    if not chunks:
        raise UserError(f"{path}: no embeddings found")
    array = da.concatenate(chunks, axis=0)
    if max(array.chunks[0]) > 2 * rows_per_chunk:
        array = array.rechunk({0: rows_per_chunk})
    return Embeddings(path, array, int(array.shape[0]), dimension)
