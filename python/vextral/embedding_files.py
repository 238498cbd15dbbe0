"""Embeddings read from the files users have: .npy, JSON lines, JSON, CSV, TSV.

Every format ends in the same check: at least one embedding, all of one
length, at least one number long. vextral_core itself accepts ragged batches
for some measures and fails internally on others, so the tool refuses them
up front with a message that names the offending line.
"""

from __future__ import annotations

import csv
import io
import json
import os
import sys
from dataclasses import dataclass
from typing import IO

from vextral.errors import UserError
from vextral.npy import read_npy

STDIN = "-"


@dataclass(frozen=True)
class Embeddings:
    """A rectangular batch read from `source`."""

    source: str
    rows: list[list[float]]

    @property
    def count(self) -> int:
        return len(self.rows)

    @property
    def dimension(self) -> int:
        return len(self.rows[0])


def load_embeddings(path: str) -> Embeddings:
    """Reads `path` by its extension; anything unknown, and "-" (standard input), is JSON lines."""
    extension = os.path.splitext(path)[1].lower() if path != STDIN else ""
    if extension == ".npy":
        rows, labels = _read_npy_rows(path)
    else:
        with _open_text(path) as text:
            try:
                if extension == ".json":
                    rows, labels = _read_json_document(text, path)
                elif extension in (".csv", ".tsv"):
                    rows, labels = _read_delimited(text, path, "," if extension == ".csv" else "\t")
                else:
                    rows, labels = _read_json_lines(text, path)
            except UnicodeDecodeError:
                raise UserError(f"{path}: not UTF-8 text") from None
    _check_rectangular(rows, labels, path)
    return Embeddings(path, rows)


def _open_text(path: str) -> IO[str]:
    if path == STDIN:
        return io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8", newline="")
    try:
        return open(path, encoding="utf-8", newline="")
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None


def _read_npy_rows(path: str) -> tuple[list[list[float]], list[str]]:
    try:
        with open(path, "rb") as stream:
            array = read_npy(stream, path)
    except OSError as error:
        raise UserError(f"{path}: {error.strerror or error}") from None
    if len(array.shape) != 2:
        raise UserError(f"{path}: expected a 2-D array (embeddings x dimensions), got shape {array.shape}")
    count, dimension = array.shape
    values = array.values
    rows = [values[i * dimension:(i + 1) * dimension] for i in range(count)]
    return rows, [f"row {i + 1}" for i in range(count)]


def _read_json_lines(text: IO[str], path: str) -> tuple[list[list[float]], list[str]]:
    rows: list[list[float]] = []
    labels: list[str] = []
    for number, line in enumerate(text, start=1):
        if not line.strip():
            continue
        label = f"line {number}"
        try:
            item = json.loads(line)
        except ValueError:
            raise UserError(f"{path}:{number}: not valid JSON") from None
        if isinstance(item, dict) and "embedding" in item:
            item = item["embedding"]
        rows.append(_numbers(item, path, label))
        labels.append(label)
    return rows, labels


def _read_json_document(text: IO[str], path: str) -> tuple[list[list[float]], list[str]]:
    try:
        document = json.load(text)
    except ValueError as error:
        raise UserError(f"{path}: not valid JSON ({error})") from None
    if not isinstance(document, list):
        raise UserError(f"{path}: expected a JSON array of embeddings")
    labels = [f"row {i + 1}" for i in range(len(document))]
    return [_numbers(item, path, label) for item, label in zip(document, labels)], labels


def _read_delimited(text: IO[str], path: str, delimiter: str) -> tuple[list[list[float]], list[str]]:
    rows: list[list[float]] = []
    labels: list[str] = []
    lines = csv.reader(text, delimiter=delimiter)
    try:
        for cells in lines:
            if not any(cell.strip() for cell in cells):
                continue
            if not rows and not any(_is_number(cell) for cell in cells):
                continue  # a header row: no cell is a number
            number = lines.line_num
            rows.append([_parse_cell(cell, path, number) for cell in cells])
            labels.append(f"line {number}")
    except csv.Error as error:
        raise UserError(f"{path}:{lines.line_num}: {error}") from None
    return rows, labels


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


def _numbers(item: object, path: str, label: str) -> list[float]:
    """A JSON array of numbers as floats; booleans, strings and nulls are refused."""
    if not isinstance(item, list):
        raise UserError(f"{path}: {label} is not an array of numbers")
    row: list[float] = []
    for element in item:
        if type(element) not in (int, float):
            raise UserError(f"{path}: {label}: {json.dumps(element)[:40]} is not a number")
        try:
            row.append(float(element))
        except OverflowError:
            raise UserError(f"{path}: {label}: a number is too large") from None
    return row


def _check_rectangular(rows: list[list[float]], labels: list[str], path: str) -> None:
    if not rows:
        raise UserError(f"{path}: no embeddings found")
    dimension = len(rows[0])
    if dimension == 0:
        raise UserError(f"{path}: {labels[0]} is empty; embeddings need at least one number")
    for row, label in zip(rows, labels):
        if len(row) != dimension:
            raise UserError(f"{path}: {label} has {len(row)} numbers, but {labels[0]} has {dimension}")
