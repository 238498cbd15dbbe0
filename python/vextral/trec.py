"""TREC run and qrels files.

A run line is "qid Q0 docid rank score tag"; a query's results are ordered
by the rank column (ties keep their order in the file). A qrels line is
"qid iteration docid relevance"; relevance > 0 marks a relevant document,
and a later judgment of the same document for the same query replaces an
earlier one. Fields are separated by any whitespace; blank lines are skipped.
"""

from __future__ import annotations

import os
from collections.abc import Generator
from contextlib import closing

from vextral.errors import UserError
from vextral.progress import Progress

# query -> document identifiers, best first
Run = dict[str, list[str]]
# query -> document identifier -> relevance
Qrels = dict[str, dict[str, int]]

RUN_FIELDS = "qid Q0 docid rank score tag"
QRELS_FIELDS = "qid iteration docid relevance"


def read_run(path: str, *, show_progress: bool = True) -> Run:
    ranked: dict[str, list[tuple[int, int, str]]] = {}
    with closing(_records(path, 6, RUN_FIELDS, show_progress)) as records:
        for number, fields in records:
            query, _, document, rank, score, _ = fields
            _parse_number(score, float, "score", path, number)
            entry = (_parse_number(rank, int, "rank", path, number), number, document)
            ranked.setdefault(query, []).append(entry)
    if not ranked:
        raise UserError(f"{path}: no results found")
    return {query: [document for _, _, document in sorted(entries)] for query, entries in ranked.items()}


def read_qrels(path: str, *, show_progress: bool = True) -> Qrels:
    judged: Qrels = {}
    with closing(_records(path, 4, QRELS_FIELDS, show_progress)) as records:
        for number, fields in records:
            query, _, document, relevance = fields
            judged.setdefault(query, {})[document] = _parse_number(relevance, int, "relevance", path, number)
    if not any(relevance > 0 for documents in judged.values() for relevance in documents.values()):
        raise UserError(f"{path}: no relevant documents (relevance > 0) found")
    return judged


def _records(path: str, count: int, layout: str, show_progress: bool) -> Generator[tuple[int, list[str]]]:
    """(line number, fields) of each non-blank line, which must have `count` fields.

    Callers close it when they stop early, so that the file is closed and the
    progress bar erased before an error is reported.
    """
    try:
        stream = open(path, "rb")
        size = os.fstat(stream.fileno()).st_size
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None
    with stream, Progress(f"reading {os.path.basename(path)}", size, unit="bytes",
                          enabled=show_progress) as progress:
        for number, raw in enumerate(stream, start=1):
            progress.advance(len(raw))
            try:
                fields = raw.decode("utf-8").split()
            except UnicodeDecodeError:
                raise UserError(f"{path}:{number}: not UTF-8 text") from None
            if not fields:
                continue
            if len(fields) != count:
                raise UserError(f"{path}:{number}: expected {count} fields \"{layout}\", found {len(fields)}")
            yield number, fields


def _parse_number[T: (int, float)](text: str, kind: type[T], what: str, path: str, line: int) -> T:
    try:
        return kind(text)
    except ValueError:
        noun = "an integer" if kind is int else "a number"
        raise UserError(f"{path}:{line}: {what} {text!r} is not {noun}") from None
