"""capture() into a numpy array, and record() into a raw, .npy or SigMF file.

capture() copies each chunk on the stream's delivery thread, inside the stream's callable,
straight into the array; record() starts the module's native writer (Device.start_recording), so
no chunk passes through Python. Meanwhile the caller's thread only waits, reports progress and
watches the time.
"""

from __future__ import annotations

import dataclasses
import math
import operator
import os
import pathlib
import re
import sys
import threading
import time
from collections.abc import Buffer, Callable
from typing import IO, TYPE_CHECKING, Any, Literal, cast

import pyvorn_device

from ._errors import (StreamEndedError, StreamError, StreamOverflowError, StreamTimeoutError,
                      VornError, overflow_report, stream_error)
from ._progress import Meter, Progress, ProgressArg

if TYPE_CHECKING:
    import numpy
    import numpy.typing

#: The sample types that record() writes (little-endian, as the devices send them), by numpy's
#: names.
NPY_DTYPES = {
    "int8": "|i1", "uint8": "|u1", "int16": "<i2", "uint16": "<u2", "int32": "<i4",
    "uint32": "<u4", "int64": "<i8", "uint64": "<u8", "float16": "<f2", "float32": "<f4",
    "float64": "<f8", "complex64": "<c8", "complex128": "<c16",
}


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        raise ImportError("vornkit.capture() needs numpy, which is not installed: "
                          "pip install numpy (or pip install 'pyvorn_device[numpy]')") from None
    return numpy


def _one_limit(**limits: float | None) -> None:
    given = [name for name, value in limits.items() if value is not None]
    if len(given) > 1:
        raise ValueError(f"give at most one of {', '.join(limits)}, not {' and '.join(given)}")
    for name in given:
        value = limits[name]
        if name != "seconds":
            try:
                operator.index(value)  # type: ignore[arg-type]
            except TypeError:
                raise ValueError(f"{name} must be a whole number, got {value!r}") from None
        if value is not None and value < 0:
            raise ValueError(f"{name} must not be negative, got {value}")


class _Stopped:
    """How an acquisition ended when no error did: its limit reached, the device's end, or the
    caller stopped taking chunks (time up, time-out, interrupted)."""


_FULL, _END, _STOPPED = _Stopped(), _Stopped(), _Stopped()

#: What an acquisition hands each chunk to, on the delivery thread: sink(chunk, room) takes at
#: most `room` bytes of the chunk and returns how many it took.
Sink = Callable[[Buffer, int], int]


def _taking(write: Callable[[memoryview], object]) -> Sink:
    """A Sink that gives `write` a memoryview of up to `room` bytes of each chunk."""
    def sink(data: Buffer, room: int) -> int:
        view = memoryview(data)
        if view.nbytes > room:
            view = view[:room]
        write(view)
        return view.nbytes
    return sink


class _Acquisition:
    """The callable of an acquisition's stream. On the delivery thread it hands each chunk to
    `sink` with the room left before `max_bytes`; the sink takes at most that many bytes and
    says how many it took. The chunks and bytes are counted in `meter` until `max_bytes` is
    reached; then, or at the device's end, an error event or a failure of the sink, it notes
    that in `outcome`, sets `finished` and takes nothing more."""

    def __init__(self, sink: Sink, meter: Meter, max_bytes: int | None,
                 target: Any = None) -> None:
        self._sink = sink
        #: a uint8 array of exactly `max_bytes` that the sink fills, for the fast path
        self.target = target
        self._meter = meter
        self._max_bytes = sys.maxsize if max_bytes is None else max_bytes
        self.finished = threading.Event()
        self.outcome: _Stopped | BaseException | None = None
        if self._max_bytes == 0:
            self._finish(_FULL)

    def _finish(self, outcome: _Stopped | BaseException) -> None:
        if self.outcome is None:
            self.outcome = outcome
            self.finished.set()

    def stop_taking(self) -> None:
        """From now on chunks are ignored (the caller's thread, before stopping the stream)."""
        self._finish(_STOPPED)

    def callable(self) -> Callable[[Buffer | None, str | None], None]:
        """The stream's callable: a plain function over local names, which the module calls
        faster than a bound __call__, on every chunk."""
        sink, meter, limit, finish = self._sink, self._meter, self._max_bytes, self._finish

        def deliver(data: Buffer | None, error: str | None) -> None:
            if self.outcome is not None:
                return
            if data is None:
                finish(_END if error is None else stream_error(error))
                return
            room = limit - meter.bytes
            try:
                size = sink(data, room)
            except BaseException as failure:  # handed to the caller's thread
                finish(failure)
                return
            meter.bytes += size
            meter.chunks += 1
            if size == room:
                finish(_FULL)

        target = self.target
        if target is None:
            return deliver
        # Filling an array of exactly `limit` bytes: every chunk but the last is copied right
        # here, as a hand-written callable would; the last one, errors and the end go the
        # general way.
        frombuffer, uint8 = _numpy().frombuffer, _numpy().uint8
        position = chunks = 0

        def fill(data: Buffer | None, error: str | None) -> None:
            nonlocal position, chunks
            if data is not None and self.outcome is None:
                chunk = frombuffer(data, uint8)
                end = position + chunk.size
                if end < limit:
                    target[position:end] = chunk
                    position, chunks = end, chunks + 1
                    meter.bytes, meter.chunks = end, chunks
                    return
            deliver(data, error)

        return fill


def _watch(acquisition: _Acquisition, meter: Meter, seconds: float | None,
           timeout: float | None) -> bool:
    """Waits on the caller's thread until the acquisition has finished or `seconds` are up,
    reporting progress meanwhile; True when `timeout` seconds passed without a chunk."""
    deadline = math.inf if seconds is None else meter.started + seconds
    # A chunk is seen at the next wake-up at the latest: at most a quarter of the time-out late.
    step = math.inf if timeout is None else timeout / 4
    seen, seen_at = meter.chunks, meter.started
    while True:
        now = time.monotonic()
        if meter.chunks != seen:
            seen, seen_at = meter.chunks, now
        if now >= deadline:
            return False
        if timeout is not None and now - seen_at >= timeout:
            return True
        meter.tick(now)
        wake = min(deadline, meter.next_report, seen_at + (timeout or math.inf), now + step)
        if acquisition.finished.wait(None if wake == math.inf else max(wake - now, 0.0)):
            return False


def _acquire(device: pyvorn_device.Device, addr: int, sink: Sink, meter: Meter, *,
             max_bytes: int | None, seconds: float | None, chunk_size: int,
             max_queue_elements: int, timeout: float | None, what: str,
             target: Any = None) -> Progress:
    """Streams from `device` into `sink` (called on the delivery thread) until `max_bytes` or
    `seconds`, or, with neither, until the device's end; returns the final progress. A device
    error, dropped data, an end before `max_bytes`, `timeout` seconds without data and an
    exception of the sink are raised, with the progress up to them. The stream is stopped in
    every case before this returns or raises."""
    acquisition = _Acquisition(sink, meter, max_bytes, target)
    handle = device.start_read_stream(addr, acquisition.callable(), chunk_size,
                                      max_queue_elements)
    if handle is None:
        raise VornError(f"{what}: the device started no stream")
    try:
        timed_out = _watch(acquisition, meter, seconds, timeout)
    finally:
        acquisition.stop_taking()
        handle.stop()  # returns once the callable has seen every event: the counts are final
    progress = meter.finish()
    outcome = acquisition.outcome
    if isinstance(outcome, BaseException):
        if isinstance(outcome, StreamError):
            outcome.progress = progress
        outcome.add_note(f"{what}: failed after {progress.bytes} bytes in {progress.chunks} "
                         "chunks")
        raise outcome
    if timed_out:
        raise StreamTimeoutError(f"{what}: no data from the device for {timeout} s (after "
                                 f"{progress.bytes} bytes in {progress.chunks} chunks)", progress)
    if outcome is _END and max_bytes is not None:
        raise StreamEndedError(f"{what}: the device ended the stream after {progress.bytes} "
                               f"bytes in {progress.chunks} chunks", progress)
    return progress


def capture(device: pyvorn_device.Device, addr: int = 0, *, samples: int | None = None,
            bytes: int | None = None, seconds: float | None = None,
            dtype: numpy.typing.DTypeLike = "uint8", chunk_size: int = 0,
            max_queue_elements: int = 4096, timeout: float | None = None,
            progress: ProgressArg = False) -> numpy.ndarray[Any, Any]:
    """Streams from `device` into one numpy array of `dtype` and returns it (needs numpy).

        wave = vornkit.capture(device, 0, samples=100_000, dtype="<i2")

    How much: `samples` (of `dtype`) or `bytes` (a whole number of samples) fill an array
    allocated up front, in place, chunk by chunk; `seconds` captures for that long; with none of
    them the capture runs until the device ends the stream. A timed or open-ended capture grows
    its buffer as the data comes and drops a trailing partial sample. The chunks are copied on
    the stream's delivery thread, as they arrive.

    Nothing is lost silently: a device error raises StreamError, dropped data (the capture fell
    `max_queue_elements` chunks behind) StreamOverflowError, an end before `samples`/`bytes`
    StreamEndedError, and `timeout` seconds without data StreamTimeoutError (a TimeoutError);
    the stream is stopped in every case. `progress` is True for a progress line on stderr, or a
    callable that gets a Progress (on the caller's thread).
    """
    np = _numpy()
    _one_limit(samples=samples, bytes=bytes, seconds=seconds)
    kind = np.dtype(dtype)
    if kind.itemsize == 0:
        raise ValueError(f"dtype {kind} has no bytes per sample")
    total = bytes if samples is None else samples * kind.itemsize
    if total is not None and total % kind.itemsize:
        raise ValueError(f"bytes={total} is not a whole number of {kind} samples "
                         f"({kind.itemsize} bytes each)")
    meter = Meter(progress, "capture", total, seconds)
    if total is not None:
        out: numpy.ndarray[Any, Any] = np.empty(total // kind.itemsize, kind)
        target = out.view(np.uint8)
        frombuffer, uint8 = np.frombuffer, np.uint8

        def fill(data: Buffer, room: int) -> int:
            # numpy's copy, as a hand-written callable would do it (it lets go of the
            # interpreter lock while it copies a large chunk)
            chunk = frombuffer(data, uint8)
            size: int = chunk.size
            if size > room:
                chunk, size = chunk[:room], room
            start = meter.bytes
            target[start:start + size] = chunk
            return size

        sink: Sink = fill
    else:
        grown = bytearray()
        sink = _taking(grown.extend)
    _acquire(device, addr, sink, meter, max_bytes=total, seconds=seconds,
             chunk_size=chunk_size, max_queue_elements=max_queue_elements, timeout=timeout,
             what="capture", target=target if total is not None else None)
    if total is not None:
        return out
    del grown[len(grown) - len(grown) % kind.itemsize:]
    result: numpy.ndarray[Any, Any] = np.frombuffer(grown, kind)
    return result


#: The formats record() writes.
Format = Literal["npy", "raw", "sigmf"]
_FORMATS = ("npy", "raw", "sigmf")
#: The names the native writer gives a SigMF recording's two files after its base name.
SIGMF_SUFFIXES = (".sigmf-data", ".sigmf-meta")


@dataclasses.dataclass(frozen=True)
class Recording:
    """What record() wrote."""

    #: the file's path; for SigMF the .sigmf-data file (its metadata is
    #: path.with_suffix(".sigmf-meta")); None when record() wrote to a file object
    path: pathlib.Path | None
    format: Format
    #: the sample type: a name of NPY_DTYPES, or a big-endian type as numpy writes it (">u4")
    dtype: str
    chunks: int
    bytes: int
    seconds: float
    #: the whole `dtype` samples in the file
    samples: int = 0
    #: events and bytes the queue dropped, and device error events. record() raises when there
    #: were any, so a Recording it returns has 0; the exception's `progress` has the counts.
    dropped_events: int = 0
    dropped_bytes: int = 0
    errors: int = 0

    @property
    def rate(self) -> float:
        """Bytes per second."""
        return self.bytes / self.seconds if self.seconds > 0 else 0.0


_DESCR = re.compile(r"([<>=|]?)([iufc]\d+)")


def _sample_type(dtype: object) -> str:
    """The .npy type string of `dtype` ("<u4", ">u4", "|u1"), keeping its byte order: a name of
    NPY_DTYPES, a type string ("u4", "<u4", ">u4"), a numpy dtype or scalar type of one."""
    text = dtype if isinstance(dtype, str) else getattr(dtype, "str", None)
    if not isinstance(text, str):  # numpy's scalar types (numpy.uint32) have only a name
        text = getattr(dtype, "__name__", repr(dtype))
    if text in NPY_DTYPES:
        return NPY_DTYPES[text]
    match = _DESCR.fullmatch(text)
    if match is None or not any(descr[1:] == match[2] for descr in NPY_DTYPES.values()):
        raise ValueError(f"unsupported dtype {text!r}; one of: {', '.join(NPY_DTYPES)}, or "
                         "their type strings with a byte order ('<u4', '>u4')")
    order, code = match.groups()
    if code[1:] == "1":
        order = "|"
    elif order in ("", "="):
        order = "<" if sys.byteorder == "little" else ">"
    elif order == "|":
        raise ValueError(f"dtype {text!r} needs a byte order ('<' or '>'), not '|'")
    return order + code


def _dtype_label(descr: str) -> str:
    """The name of a little-endian (or one-byte) type, the type string of a big-endian one."""
    names = {value: name for name, value in NPY_DTYPES.items()}
    return names.get(descr, descr)


def _itemsize(descr: str) -> int:
    return int(descr[2:])


def recording_target(path: str | os.PathLike[str], format: str | None) -> tuple[Format, str]:
    """The format of a recording to `path`, `format` or by the name (.npy: npy; .sigmf-data or
    .sigmf-meta: sigmf; else raw), and the path the native writer is given: for SigMF the base
    name, without those suffixes (the writer adds them)."""
    name = os.fspath(path)
    lower = name.lower()
    if format is None:
        format = ("npy" if lower.endswith(".npy") else
                  "sigmf" if lower.endswith(SIGMF_SUFFIXES) else "raw")
    if format not in _FORMATS:
        raise ValueError(f"format must be one of {', '.join(map(repr, _FORMATS))}, not {format!r}")
    if format == "sigmf":
        for suffix in SIGMF_SUFFIXES:
            if lower.endswith(suffix):
                name = name[:-len(suffix)]
                break
    return cast(Format, format), name


def _descriptor(file: IO[bytes], format: str | None) -> int:
    """The descriptor of an open file object that a raw recording is written to, its buffered
    bytes flushed first."""
    if format not in (None, "raw"):
        kind = {"npy": "a .npy", "sigmf": "a SigMF"}.get(format, f"a {format!r}")
        raise ValueError(f"{kind} recording needs a path, not a file object")
    try:
        fd = file.fileno()
    except (AttributeError, OSError, ValueError) as error:  # io.BytesIO; a closed file
        raise ValueError(f"record() writes to a file object through its file descriptor, and "
                         f"{file!r} has none ({error}): give a path, or use capture()") from None
    file.flush()
    return fd


@dataclasses.dataclass(frozen=True)
class _Status:
    """What DataStream.progress() says of a recording (the fields record() uses)."""

    bytes: int
    chunks: int
    samples: int
    dropped_events: int
    dropped_bytes: int
    errors: int
    cut_bytes: int
    finished: bool
    complete: bool
    error_code: int
    error_text: str
    device_error: str

    @classmethod
    def of(cls, stream: pyvorn_device.DataStream, meter: Meter) -> _Status:
        """The recording's status, counted into `meter` too."""
        state: dict[str, Any] | None = stream.progress()
        if state is None:
            raise VornError("the stream is not a recording")
        status = cls(**{field.name: state[field.name] for field in dataclasses.fields(cls)})
        meter.bytes, meter.chunks, meter.samples = status.bytes, status.chunks, status.samples
        meter.dropped_events, meter.dropped_bytes = status.dropped_events, status.dropped_bytes
        meter.errors = status.errors
        return status


#: How often record() asks for the progress of its recording, in seconds.
POLL_INTERVAL = 0.05


def _watch_recording(stream: pyvorn_device.DataStream, meter: Meter, seconds: float | None,
                     timeout: float | None) -> tuple[bool, bool]:
    """Asks for the recording's progress on the caller's thread, reporting it, until nothing more
    is to be written: the limit reached, the device's end, a device error, a failed write, or
    `seconds` up. Returns (the device ended the stream, `timeout` seconds passed without a
    chunk)."""
    deadline = math.inf if seconds is None else meter.started + seconds
    patience = math.inf if timeout is None else timeout
    seen, seen_at = 0, meter.started
    while True:
        status = _Status.of(stream, meter)
        now = time.monotonic()
        if status.complete or status.errors or status.error_code:
            return False, False
        if status.finished:
            return True, False
        if status.chunks != seen:
            seen, seen_at = status.chunks, now
        if now >= deadline:
            return False, False
        if now - seen_at >= patience:
            return False, True
        meter.tick(now)
        time.sleep(max(min(deadline, seen_at + patience, now + POLL_INTERVAL) - now, 0.0))


def record(device: pyvorn_device.Device, addr: int,
           path: str | os.PathLike[str] | IO[bytes], *, chunks: int | None = None,
           bytes: int | None = None, seconds: float | None = None, dtype: object = "uint8",
           format: Format | None = None, chunk_size: int = 0,
           max_queue_elements: int = 4096, timeout: float | None = None,
           progress: ProgressArg = False, sample_rate: float | None = None,
           description: str = "",
           tap: Callable[[pyvorn_device.ManagedBuffer], object] | None = None,
           tap_interval: float = 0.1) -> Recording:
    """Records the stream of `device` into the file at `path` and says what it wrote.

        vornkit.record(device, 0, "counter.npy", chunks=100, dtype="uint32")

    The module's native writer (Device.start_recording) writes the chunks on the stream's
    delivery thread: no chunk passes through Python, and numpy is not needed. The format is
    `format`, or by the file name: "npy" (.npy: a file numpy.load() reads as a 1-D array of
    `dtype`, which is one of NPY_DTYPES, or its type string with a byte order, which the header
    keeps), "sigmf" (.sigmf-data or .sigmf-meta: both files are written beside the base name,
    with `sample_rate` and `description` in the metadata; with format="sigmf", `path` is the
    base name) or "raw" (the stream's bytes). Every format holds whole `dtype` samples only. An
    open binary file object with a file descriptor (sys.stdout.buffer) gets raw bytes. How much:
    `chunks`, `bytes` or `seconds`, or, with none, until the device ends the stream.

    Files are written beside their targets and put in place when the first data comes, so a
    recording that fails before any data leaves existing files untouched (and writes none).

    Losing nothing or failing loudly: a failed write (OSError: a full disk, say; the first
    error), a device error (StreamError, which ends the recording), dropped data
    (StreamOverflowError, raised once the recording is over: the gaps are marked in a SigMF
    recording), an end before `chunks`/`bytes` (StreamEndedError), `timeout` seconds without
    data (StreamTimeoutError) and bytes that do not make a whole sample at the end (VornError)
    raise. The files are then complete and valid up to the last whole sample, and the
    exception's `progress` tells how much came.

    `tap(chunk)` gets the newest chunk (with its `offset` and `time_ns`) at most once per
    `tap_interval` seconds, on a thread of the module's own; it never slows the writer.
    """
    _one_limit(chunks=chunks, bytes=bytes, seconds=seconds)
    descr = _sample_type(dtype)
    itemsize = _itemsize(descr)
    fd: int | None = None
    if isinstance(path, (str, os.PathLike)):
        fmt, target = recording_target(path, format)
        written: pathlib.Path | None = pathlib.Path(
            target + SIGMF_SUFFIXES[0] if fmt == "sigmf" else target)
    else:
        fmt, target, written = "raw", "", None
        fd = _descriptor(path, format)
    if bytes is not None and bytes % itemsize:
        raise ValueError(f"bytes={bytes} is not a whole number of {_dtype_label(descr)} samples")
    what = f"record {written or '-'}"
    meter = Meter(progress, f"record {written.name if written else '-'}", bytes, seconds, chunks)
    stream = device.start_recording(addr, target, fmt, descr, chunk_size, max_queue_elements,
                                    sample_rate, description, tap, tap_interval, bytes, chunks,
                                    fd)
    if stream is None:
        raise VornError(f"{what}: the device started no stream")
    try:
        ended, timed_out = _watch_recording(stream, meter, seconds, timeout)
    finally:
        stream.stop()  # returns once the writer has finished the files: the counts are final
    status = _Status.of(stream, meter)
    done = meter.finish()
    failure = _failure(status, done, what, ended and (chunks is not None or bytes is not None),
                       timed_out, timeout)
    if failure is not None:
        raise failure
    if status.cut_bytes:
        raise VornError(f"{what}: the stream gave {done.bytes} bytes, not a whole number of "
                        f"{_dtype_label(descr)} samples; the last {status.cut_bytes} bytes were "
                        "not written")
    return Recording(written, fmt, _dtype_label(descr), done.chunks, done.bytes, done.seconds,
                     done.samples)


def _failure(status: _Status, done: Progress, what: str, ended_early: bool, timed_out: bool,
             timeout: float | None) -> BaseException | None:
    """The exception for how a recording ended, if it failed: a failed write (the first one),
    a device error, drops, `timeout`, or the device's end before the limit, in this order."""
    failure: OSError | VornError
    if status.error_code:
        failure = OSError(status.error_code, status.error_text)
    elif status.errors:
        failure = StreamError(status.device_error)
    elif status.dropped_events:
        failure = StreamOverflowError(overflow_report(status.dropped_events,
                                                      status.dropped_bytes))
    elif timed_out:
        return StreamTimeoutError(f"{what}: no data from the device for {timeout} s (after "
                                  f"{done.bytes} bytes in {done.chunks} chunks)", done)
    elif ended_early:
        return StreamEndedError(f"{what}: the device ended the stream after {done.bytes} "
                                f"bytes in {done.chunks} chunks", done)
    else:
        return None
    if isinstance(failure, StreamError):
        failure.progress = done
    failure.add_note(f"{what}: failed after {done.bytes} bytes in {done.chunks} chunks")
    return failure
