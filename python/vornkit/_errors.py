"""The exceptions of vornkit."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ._progress import Progress

import re

#: The text every overflow report of a stream starts with, whether the module's queue or the
#: iterator's own hand-off dropped the events. Match on this prefix: the counts follow it.
OVERFLOW_PREFIX = "Queue Overflow, dropping event"
_COUNTS = re.compile(re.escape(OVERFLOW_PREFIX) + r": (\d+) events? dropped, (\d+) bytes of data lost")


def overflow_report(events: int, data_bytes: int) -> str:
    """The report of `events` dropped events holding `data_bytes` bytes of data."""
    noun = "event" if events == 1 else "events"
    return f"{OVERFLOW_PREFIX}: {events} {noun} dropped, {data_bytes} bytes of data lost"


def overflow_counts(message: str) -> tuple[int, int] | None:
    """(events, bytes) of an overflow report, or None for any other text."""
    match = _COUNTS.match(message)
    return (int(match[1]), int(match[2])) if match else None


class VornError(Exception):
    """Base class of the errors vornkit raises itself."""


class RegisterError(VornError):
    """A register write the device refused (`addr` set) or a failed `send_registers` (`addr`
    None)."""

    def __init__(self, message: str, addr: int | None = None) -> None:
        super().__init__(message)
        self.addr = addr


class StreamError(VornError):
    """An error event of a stream: `message` is the device's (or the queue's) text.

    `progress` is set by `capture` and `record`: how much had arrived when the error came."""

    progress: Progress | None = None

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class StreamOverflowError(StreamError):
    """Events were dropped: the consumer fell `max_queue_elements` events behind the device.
    The message is "Queue Overflow, dropping event: N events dropped, B bytes of data lost"."""

    @property
    def dropped(self) -> tuple[int, int]:
        """(events, bytes) that were dropped, as the message counts them."""
        return overflow_counts(self.message) or (1, 0)


class StreamTimeoutError(VornError, TimeoutError):
    """`capture` or `record` waited `timeout` seconds without data from the device; `progress`
    tells how much had arrived. A TimeoutError (and so an OSError) too."""

    def __init__(self, message: str, progress: Progress) -> None:
        super().__init__(message)
        self.progress = progress


class StreamEndedError(VornError):
    """The device ended the stream before `capture` or `record` had what was asked for;
    `progress` tells how much had arrived."""

    def __init__(self, message: str, progress: Progress) -> None:
        super().__init__(message)
        self.progress = progress


def stream_error(message: str) -> StreamError:
    """The exception for an error event: StreamOverflowError for overflow reports."""
    if message.startswith(OVERFLOW_PREFIX):
        return StreamOverflowError(message)
    return StreamError(message)
