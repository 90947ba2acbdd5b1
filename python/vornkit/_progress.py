"""Progress of an acquisition: a snapshot type and the built-in progress line."""

from __future__ import annotations

import dataclasses
import sys
import time
from collections.abc import Callable
from typing import TextIO

#: What `capture` and `record` accept as `progress`: False for none, True for the built-in line
#: on stderr, or a callable that gets a Progress about ten times a second and once at the end.
ProgressArg = bool | Callable[["Progress"], object]


@dataclasses.dataclass(frozen=True)
class Progress:
    """How far an acquisition has come."""

    chunks: int
    bytes: int
    seconds: float
    #: the bytes asked for, when known in advance
    total_bytes: int | None = None
    #: the duration asked for, when the acquisition is timed
    total_seconds: float | None = None
    #: the chunks asked for, when counted in chunks
    total_chunks: int | None = None
    #: True in the last report, when the acquisition is over
    done: bool = False
    #: record() only: whole samples in the file, events and bytes the queue dropped, and device
    #: error events (0 for capture(), which raises at the first drop or error)
    samples: int = 0
    dropped_events: int = 0
    dropped_bytes: int = 0
    errors: int = 0

    @property
    def rate(self) -> float:
        """Bytes per second so far."""
        return self.bytes / self.seconds if self.seconds > 0 else 0.0

    @property
    def fraction(self) -> float | None:
        """How much of what was asked for has arrived (0 to 1), when that is known."""
        if self.total_bytes:
            return min(self.bytes / self.total_bytes, 1.0)
        if self.total_seconds:
            return min(self.seconds / self.total_seconds, 1.0)
        if self.total_chunks:
            return min(self.chunks / self.total_chunks, 1.0)
        return None


def megabytes(count: float) -> str:
    return f"{count / 1e6:.2f} MB"


def describe(progress: Progress) -> str:
    """One line: bytes (of the total), chunks and MB/s, then drops and errors once there are
    any."""
    amount = megabytes(progress.bytes)
    if progress.total_bytes is not None:
        amount += f" of {megabytes(progress.total_bytes)}"
    fraction = progress.fraction
    share = f" {fraction:4.0%}" if fraction is not None else ""
    line = (f"{amount}{share}  {progress.chunks} chunks  {progress.seconds:.1f} s  "
            f"{progress.rate / 1e6:.1f} MB/s")
    if progress.dropped_events:
        line += f"  drops: {progress.dropped_events} events, {progress.dropped_bytes} bytes"
    if progress.errors:
        line += f"  errors: {progress.errors}"
    return line


class ProgressLine:
    """Shows a Progress on stderr (or `stream`): on a terminal as one line that rewrites itself,
    elsewhere (a log file, a pipe) as plain lines, one every PLAIN_INTERVAL seconds and the
    last."""

    PLAIN_INTERVAL = 5.0

    def __init__(self, label: str, stream: TextIO | None = None) -> None:
        self._label = label
        self._stream = stream if stream is not None else sys.stderr
        self._width = 0
        try:
            self._terminal = self._stream.isatty()
        except (AttributeError, ValueError):  # no isatty, or closed
            self._terminal = False
        self._next_plain = 0.0

    def __call__(self, progress: Progress) -> None:
        text = f"{self._label}: {describe(progress)}"
        if not self._terminal:
            if progress.done or progress.seconds >= self._next_plain:
                self._next_plain = progress.seconds + self.PLAIN_INTERVAL
                self._stream.write(text + "\n")
                self._stream.flush()
            return
        padding = " " * max(self._width - len(text), 0)
        self._width = len(text)
        self._stream.write(f"\r{text}{padding}" + ("\n" if progress.done else ""))
        self._stream.flush()


class Meter:
    """Counts an acquisition's chunks and bytes (and a recording's samples, drops and errors) and
    reports them, throttled, to a callable.

    `chunks` and `bytes` may be counted on another thread (the stream's delivery thread) while
    the caller's thread reports with tick()."""

    INTERVAL = 0.1

    def __init__(self, report: ProgressArg, label: str, total_bytes: int | None = None,
                 total_seconds: float | None = None, total_chunks: int | None = None) -> None:
        if report is True:
            self._report: Callable[[Progress], object] | None = ProgressLine(label)
        elif report is False:
            self._report = None
        else:
            self._report = report
        self.total_bytes = total_bytes
        self.total_seconds = total_seconds
        self.total_chunks = total_chunks
        self.chunks = 0
        self.bytes = 0
        self.samples = 0
        self.dropped_events = 0
        self.dropped_bytes = 0
        self.errors = 0
        self.started = time.monotonic()
        self.next_report = self.started if self._report is not None else float("inf")

    def tick(self, now: float) -> None:
        """Reports the progress if a report is due."""
        if self._report is not None and now >= self.next_report:
            self.next_report = now + self.INTERVAL
            self._report(self.snapshot(now))

    def snapshot(self, now: float | None = None, done: bool = False) -> Progress:
        seconds = (time.monotonic() if now is None else now) - self.started
        return Progress(self.chunks, self.bytes, seconds, self.total_bytes, self.total_seconds,
                        self.total_chunks, done, self.samples, self.dropped_events,
                        self.dropped_bytes, self.errors)

    def finish(self) -> Progress:
        """The final Progress, also reported."""
        progress = self.snapshot(done=True)
        if self._report is not None:
            self._report(progress)
        return progress
