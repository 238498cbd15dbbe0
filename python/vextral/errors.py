"""Errors the command-line tool reports in one line, without a traceback, and what their messages share."""

from __future__ import annotations


class UserError(Exception):
    """A mistake in what the user gave: a missing file, a malformed line, a wrong shape."""


def shown(text: str, limit: int = 40) -> str:
    """`text` quoted for a message, cut to about `limit` characters: what comes from a file may
    be a whole line of numbers, or megabytes of one."""
    if len(text) <= limit:
        return repr(text)
    return repr(text[:limit]) + f"... ({len(text)} characters)"


def plural(count: int, noun: str, nouns: str | None = None) -> str:
    """The count with its noun: "1 query", "3 queries" (`nouns` where adding "s" is wrong)."""
    return f"{count} {noun}" if count == 1 else f"{count} {nouns or noun + 's'}"


def is_panic(error: BaseException) -> bool:
    """True for vextral_core's PanicException.

    The class is created inside the extension and is not reachable as an
    attribute of any module, so it is recognised by its qualified name. It
    derives from BaseException, so `except Exception` never catches it.
    """
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"
