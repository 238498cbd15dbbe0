"""TREC run and qrels files, and the mappings that stand for them.

A run line is "qid Q0 docid rank score tag"; a qrels line is "qid iteration
docid relevance", relevance > 0 marking a relevant document. Fields are
separated by whitespace (spaces, tabs, carriage returns); blank lines are
skipped. Files may be gzip-compressed (recognised by their first bytes,
whatever their name). The rank column must hold an integer but does not
order anything: each query's ranking is ordered by score, highest first,
and equal scores by document id in descending byte order, as trec_eval
orders them.

A (query, document) pair listed twice keeps its last line, in the run as in
the qrels, so a file means what the mapping built from it line by line
means; with strict=True a repeated pair is an error instead.

The files are read in chunks by the package's native code, which scores
each query as soon as its lines end, so a run is never held in memory; a
run that does not list each query's lines together is read twice, the
second time into memory. A run that cannot be read twice (a pipe, such as
`<(zcat run.gz)`) is copied to a temporary file as it is read, so that the
second reading can come from there. This module opens the files and feeds
the native code.
"""

from __future__ import annotations

import gzip
import io
import numbers
import operator
import os
import tempfile
import zlib
from collections.abc import Callable, Iterator, Mapping
from types import TracebackType
from typing import BinaryIO

from vextral.errors import UserError
from vextral.progress import Progress

# {qid: {docid: score}} and {qid: {docid: relevance}}, as pytrec_eval and ranx take them.
RunMapping = Mapping[str, Mapping[str, float]]
QrelsMapping = Mapping[str, Mapping[str, int]]
Source = str | os.PathLike[str]

RUN_FIELDS = "qid Q0 docid rank score tag"
QRELS_FIELDS = "qid iteration docid relevance"
CHUNK_BYTES = 1 << 20
_GZIP_MAGIC = b"\x1f\x8b"
# Lines of a mapping turned into text per chunk.
_LINES_PER_CHUNK = 8192


class TrecFormatError(UserError, ValueError):
    """A malformed run or qrels: "{file}:{line}: {what is wrong}"."""


class TrecMismatchError(TrecFormatError):
    """A run whose query ids do not meet those of its qrels."""


class TrecFileError(UserError, OSError):
    """A run or qrels file that cannot be opened or decompressed."""


# Opens a source from its start: its chunks and what closes it.
_Opener = Callable[[], tuple[Iterator[bytes], Callable[[], None]]]


class ChunkReader:
    """Hands out a file, or a mapping as TREC text, chunk by chunk: call it for
    the next chunk of bytes, b"" at the end; restart() goes back to the
    beginning. Close it (or use it in a with block) to close the file and
    erase its progress bar."""

    def __init__(self, name: str, opener: _Opener, release: Callable[[], None] = lambda: None):
        self.name = name
        self._opener = opener
        self._release = release  # what outlives a restart: a pipe and its copy
        self._chunks, self._close = opener()

    def __call__(self) -> bytes:
        return next(self._chunks, b"")

    def restart(self) -> None:
        self._close()
        self._chunks, self._close = self._opener()

    def close(self) -> None:
        try:
            self._close()
        finally:
            self._release()

    def __enter__(self) -> ChunkReader:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()


def _nothing_to_close() -> None:
    pass


def open_run(run: Source | RunMapping, *, show_progress: bool = False) -> ChunkReader:
    if isinstance(run, Mapping):
        return ChunkReader("run mapping", lambda: (_text_chunks(_run_lines(run)), _nothing_to_close))
    return _open_file(run, show_progress, restartable=True)


def open_qrels(qrels: Source | QrelsMapping, *, show_progress: bool = False) -> ChunkReader:
    if isinstance(qrels, Mapping):
        return ChunkReader("qrels mapping", lambda: (_text_chunks(_qrels_lines(qrels)), _nothing_to_close))
    return _open_file(qrels, show_progress, restartable=False)


class _Pipe(io.RawIOBase):
    """A stream that cannot seek (a pipe, a terminal), made to start over.

    With `spool`, every byte read is also written to a temporary file, and
    rewind() may come at any time: what was read is then read again from the
    copy, and the rest from the stream. Without, only the bytes read before
    the first rewind() are kept (in memory): enough to look at the first
    bytes and then read the stream whole, once."""

    def __init__(self, stream: BinaryIO, spool: bool):
        super().__init__()
        self._stream = stream
        self._copy: io.BufferedRandom | io.BytesIO = tempfile.TemporaryFile() if spool else io.BytesIO()
        self._spool = spool
        self._copied = 0  # bytes in the copy
        self._position = 0
        self._copying = True

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: bytearray | memoryview) -> int:  # type: ignore[override]
        view = memoryview(buffer).cast("B")
        if self._position < self._copied:
            self._copy.seek(self._position)
            count = self._copy.readinto(view[:self._copied - self._position])
        else:
            data = self._stream.read(len(view))
            count = len(data)
            view[:count] = data
            if self._copying:
                self._copy.seek(self._copied)
                self._copy.write(data)
                self._copied += count
        self._position += count
        return count

    def rewind(self) -> None:
        self._position = 0
        if not self._spool:
            self._copying = False

    def tell(self) -> int:
        return self._position

    def close(self) -> None:
        if not self.closed:
            try:
                self._copy.close()
            finally:
                self._stream.close()
        super().close()


def _open_file(path: Source, show_progress: bool, *, restartable: bool) -> ChunkReader:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"expected a path or a mapping, not {type(path).__name__}")
    name = os.fsdecode(path)
    pipe: _Pipe | None = None  # once opened, a pipe is rewound instead of opened again

    def fail(error: OSError) -> TrecFileError:
        return TrecFileError(f"{name}: {error.strerror or error}")

    def opener() -> tuple[Iterator[bytes], Callable[[], None]]:
        nonlocal pipe
        try:
            if pipe is None:
                raw = open(path, "rb")
                if not raw.seekable():
                    pipe = _Pipe(raw, spool=restartable)
            else:
                pipe.rewind()
        except OSError as error:
            raise fail(error) from None
        if pipe is not None:
            try:
                compressed = _gzip_magic(pipe)
            except OSError as error:
                pipe.close()
                raise fail(error) from None
            pipe.rewind()
            return _file_chunks(name, pipe, compressed, _NO_PROGRESS), _nothing_to_close
        try:
            size = os.fstat(raw.fileno()).st_size
            compressed = _gzip_magic(raw)
            raw.seek(0)
        except OSError as error:
            raw.close()
            raise fail(error) from None
        progress = Progress(f"reading {os.path.basename(name)}", size, unit="bytes", enabled=show_progress)

        def close() -> None:
            progress.close()
            raw.close()

        return _file_chunks(name, raw, compressed, progress), close

    def release() -> None:
        if pipe is not None:
            pipe.close()

    return ChunkReader(name, opener, release)


# A stream's progress is not known: it has no size.
_NO_PROGRESS = Progress("", 0, enabled=False)


def _gzip_magic(stream: BinaryIO | _Pipe) -> bool:
    """Whether the stream starts with gzip's two magic bytes (it is left after them)."""
    head = b""
    while len(head) < 2 and (more := stream.read(2 - len(head))):
        head += more
    return head == _GZIP_MAGIC


def _file_chunks(name: str, raw: BinaryIO | _Pipe, compressed: bool, progress: Progress) -> Iterator[bytes]:
    if not compressed:
        while chunk := _read(name, raw):
            progress.advance(len(chunk))
            yield chunk
        return
    # Progress counts the compressed bytes consumed, against the file's size.
    consumed = 0
    with gzip.GzipFile(fileobj=raw, mode="rb") as stream:
        while chunk := _read(name, stream):
            position = raw.tell()
            progress.advance(position - consumed)
            consumed = position
            yield chunk


def _read(name: str, stream: BinaryIO | _Pipe | gzip.GzipFile) -> bytes:
    try:
        return stream.read(CHUNK_BYTES) or b""
    except (EOFError, zlib.error, gzip.BadGzipFile) as error:
        raise TrecFileError(f"{name}: not a valid gzip file ({error})") from None
    except OSError as error:
        raise TrecFileError(f"{name}: {error.strerror or error}") from None


def _text_chunks(lines: Iterator[str]) -> Iterator[bytes]:
    batch: list[str] = []
    for line in lines:
        batch.append(line)
        if len(batch) == _LINES_PER_CHUNK:
            yield "".join(batch).encode("utf-8")
            batch.clear()
    if batch:
        yield "".join(batch).encode("utf-8")


def _identifier(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} ids must be str, not {type(value).__name__}")
    if value.split() != [value]:
        raise ValueError(f"{what} id {value!r} is empty or holds whitespace")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{what} id {value!r} is not valid Unicode text") from None
    return value


def _run_lines(run: RunMapping) -> Iterator[str]:
    for query, documents in run.items():
        _identifier(query, "query")
        for document, score in documents.items():
            _identifier(document, "document")
            if isinstance(score, bool) or not isinstance(score, numbers.Real):
                raise TypeError(f"score of {document!r} for query {query!r} must be a number, "
                                f"not {type(score).__name__}")
            value = float(score)
            if value != value:
                raise ValueError(f"score of {document!r} for query {query!r} is NaN")
            # repr() reads back as the same double.
            yield f"{query} Q0 {document} 0 {value!r} mapping\n"


def _qrels_lines(qrels: QrelsMapping) -> Iterator[str]:
    for query, documents in qrels.items():
        _identifier(query, "query")
        for document, relevance in documents.items():
            _identifier(document, "document")
            if isinstance(relevance, bool):
                raise TypeError(f"relevance of {document!r} for query {query!r} must be an int, not bool")
            try:
                value = operator.index(relevance)
            except TypeError:
                raise TypeError(f"relevance of {document!r} for query {query!r} must be an int, "
                                f"not {type(relevance).__name__}") from None
            yield f"{query} 0 {document} {value}\n"
