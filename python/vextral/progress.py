"""A progress bar on standard error, shown only where a person is watching.

It stays silent unless the stream is a terminal and the work has already
taken a noticeable time, so short runs, pipes and log files never see it.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from types import TracebackType
from typing import TextIO

BAR_WIDTH = 30
# Seconds of work before the bar first appears, and between redraws.
DEFAULT_DELAY = 0.5
REDRAW_INTERVAL = 0.1


class Progress:
    def __init__(self, label: str, total: int, *, unit: str = "", stream: TextIO | None = None,
                 enabled: bool = True, delay: float = DEFAULT_DELAY,
                 clock: Callable[[], float] = time.monotonic):
        self._label = label
        self._total = total
        self._unit = unit
        self._stream = stream if stream is not None else sys.stderr
        self._enabled = enabled and total > 0 and _is_terminal(self._stream)
        self._delay = delay
        self._clock = clock
        self._started = clock()
        self._last_draw: float | None = None
        self._done = 0
        self._width = 0

    def advance(self, amount: int = 1) -> None:
        self._done += amount
        if not self._enabled:
            return
        now = self._clock()
        if now - self._started < self._delay:
            return
        if self._last_draw is not None and now - self._last_draw < REDRAW_INTERVAL:
            return
        self._last_draw = now
        self._draw()

    def advance_to(self, done: int) -> None:
        self.advance(done - self._done)

    def close(self) -> None:
        """Erases the bar, if it was drawn, so that later output starts on a clean line."""
        if self._last_draw is not None:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()
            self._last_draw = None

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _draw(self) -> None:
        fraction = min(self._done / self._total, 1.0)
        filled = int(fraction * BAR_WIDTH)
        bar = "#" * filled + "." * (BAR_WIDTH - filled)
        line = f"{self._label} [{bar}] {fraction:4.0%} {self._amounts()}"
        self._width = max(self._width, len(line))
        self._stream.write("\r" + line.ljust(self._width))
        self._stream.flush()

    def _amounts(self) -> str:
        if self._unit == "bytes":
            return f"{self._done / 1e6:.1f}/{self._total / 1e6:.1f} MB"
        if self._unit == "pairs" and self._total >= 10**6:
            return f"{self._done / 1e6:.1f}/{self._total / 1e6:.1f} M pairs"
        return f"{self._done}/{self._total} {self._unit}".rstrip()


class PassProgress:
    """The progress callback of a native pass over pairs: a bar of pairs done.

    The pass tells its total only when it first reports, so the bar is made
    then, with the delay counted from when this object was made.
    """

    def __init__(self, label: str, *, stream: TextIO | None = None, enabled: bool = True,
                 clock: Callable[[], float] = time.monotonic):
        self._label = label
        self._stream = stream
        self._enabled = enabled
        self._clock = clock
        self._started = clock()
        self._bar: Progress | None = None

    def __call__(self, done: int, total: int) -> None:
        if self._bar is None:
            delay = max(0.0, DEFAULT_DELAY - (self._clock() - self._started))
            self._bar = Progress(self._label, total, unit="pairs", stream=self._stream,
                                 enabled=self._enabled, delay=delay, clock=self._clock)
        self._bar.advance_to(done)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()

    def __enter__(self) -> PassProgress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # a closed or stream-like object
        return False
