"""capture() into a numpy array and record() into a .npy or raw file.

Both copy each chunk on the stream's delivery thread, inside the stream's callable, straight into
the array or the file, while the caller's thread only waits, reports progress and watches the
time; nothing is handed from one thread to another per chunk.
"""

from __future__ import annotations

import dataclasses
import math
import operator
import os
import pathlib
import re
import secrets
import stat
import struct
import sys
import threading
import time
from collections.abc import Buffer, Callable
from typing import IO, TYPE_CHECKING, Any, Literal

import pyvorn_device

from ._errors import StreamEndedError, StreamError, StreamTimeoutError, VornError, stream_error
from ._progress import Meter, Progress, ProgressArg

if TYPE_CHECKING:
    import numpy
    import numpy.typing

#: The sample types that record() writes into .npy files (little-endian, as the devices send
#: them), by numpy's names.
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
    says how many it took. The chunks and bytes are counted in `meter` until `max_bytes` or
    `max_chunks` is reached; then, or at the device's end, an error event or a failure of the
    sink, it notes that in `outcome`, sets `finished` and takes nothing more."""

    def __init__(self, sink: Sink, meter: Meter, max_bytes: int | None,
                 max_chunks: int | None) -> None:
        self._sink = sink
        self._meter = meter
        self._max_bytes = sys.maxsize if max_bytes is None else max_bytes
        self._max_chunks = sys.maxsize if max_chunks is None else max_chunks
        self.finished = threading.Event()
        self.outcome: _Stopped | BaseException | None = None
        if self._max_bytes == 0 or self._max_chunks == 0:
            self._finish(_FULL)

    def _finish(self, outcome: _Stopped | BaseException) -> None:
        if self.outcome is None:
            self.outcome = outcome
            self.finished.set()

    def stop_taking(self) -> None:
        """From now on chunks are ignored (the caller's thread, before stopping the stream)."""
        self._finish(_STOPPED)

    def __call__(self, data: Buffer | None, error: str | None) -> None:
        if self.outcome is not None:
            return
        if data is None:
            self._finish(_END if error is None else stream_error(error))
            return
        meter = self._meter
        room = self._max_bytes - meter.bytes
        try:
            size = self._sink(data, room)
        except BaseException as failure:  # handed to the caller's thread
            self._finish(failure)
            return
        meter.bytes += size
        meter.chunks += 1
        if size == room or meter.chunks >= self._max_chunks:
            self._finish(_FULL)


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


def _acquire(device: pyvorn_device.Device, addr: int, sink: Sink, meter: Meter, *, max_bytes: int | None, max_chunks: int | None,
             seconds: float | None, chunk_size: int, max_queue_elements: int,
             timeout: float | None, what: str) -> Progress:
    """Streams from `device` into `sink` (called on the delivery thread) until `max_bytes`,
    `max_chunks` or `seconds`, or, with none of them, until the device's end; returns the final
    progress. A device error, dropped data, an end before a limit, `timeout` seconds without
    data and an exception of the sink are raised, with the progress up to them. The stream is
    stopped in every case before this returns or raises."""
    acquisition = _Acquisition(sink, meter, max_bytes, max_chunks)
    handle = device.start_read_stream(addr, acquisition, chunk_size, max_queue_elements)
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
    if outcome is _END and (max_bytes is not None or max_chunks is not None):
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
    _acquire(device, addr, sink, meter, max_bytes=total, max_chunks=None, seconds=seconds,
             chunk_size=chunk_size, max_queue_elements=max_queue_elements, timeout=timeout,
             what="capture")
    if total is not None:
        return out
    del grown[len(grown) - len(grown) % kind.itemsize:]
    result: numpy.ndarray[Any, Any] = np.frombuffer(grown, kind)
    return result


@dataclasses.dataclass(frozen=True)
class Recording:
    """What record() wrote."""

    #: the file's path; None when record() wrote to a file object
    path: pathlib.Path | None
    format: Literal["npy", "raw"]
    #: the sample type: a name of NPY_DTYPES, or a big-endian type as numpy writes it (">u4")
    dtype: str
    chunks: int
    bytes: int
    seconds: float

    @property
    def samples(self) -> int:
        """The number of `dtype` samples in the file."""
        return self.bytes // _itemsize(_sample_type(self.dtype))

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


_NPY_HEADER_SIZE = 128  # room for any 1-D shape, so that the final count fits in place


def _npy_header(descr: str, count: int) -> bytes:
    header = f"{{'descr': '{descr}', 'fortran_order': False, 'shape': ({count},), }}"
    header = header.ljust(_NPY_HEADER_SIZE - 10 - 1) + "\n"
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode("latin1")


def _write_all(write: Callable[[memoryview], int | None], view: memoryview) -> int:
    """Writes all of `view` with `write`, which may write less than it is given; the count."""
    written = 0
    while written < view.nbytes:
        count = write(view[written:])
        if count is None:  # a non-blocking file that cannot take more now
            raise BlockingIOError(f"the output took only {written} of {view.nbytes} bytes")
        written += count
    return written


class _Output:
    """Where record() writes, on the stream's delivery thread.

    A path that is a regular file or nothing yet gets a new file beside it, which replaces it
    once the first chunk comes: a recording that fails before any data leaves an existing file
    untouched. A .npy file's header is rewritten at the end to count the whole samples that are
    on disk, whatever failed. Anything else (a FIFO, a device such as /dev/stdout, an open file
    object) is written to as it is, with raw bytes."""

    def __init__(self, target: str | os.PathLike[str] | IO[bytes], fmt: str,
                 descr: str) -> None:
        self._fmt = fmt
        self._descr = descr
        self._file: IO[bytes] | None = None
        self._temporary: pathlib.Path | None = None
        self.path: pathlib.Path | None = None
        self.on_disk = 0  # data bytes written, header excluded
        if not isinstance(target, (str, os.PathLike)):
            if fmt == "npy":
                raise ValueError("a .npy recording needs a path, not a file object")
            self._file = target
            self._fd = -1
            return
        self.path = pathlib.Path(target)
        try:
            info = os.stat(self.path)
        except FileNotFoundError:
            info = None
        if info is not None and not stat.S_ISREG(info.st_mode):
            if fmt == "npy":
                raise ValueError(f"{self.path} is not a regular file: a .npy recording needs "
                                 "one (record raw bytes with format='raw')")
            self._fd = os.open(self.path, os.O_WRONLY | os.O_CLOEXEC)
            return
        real = pathlib.Path(os.path.realpath(self.path))  # through symbolic links, as open()
        while True:
            temporary = real.with_name(f".{real.name}.{secrets.token_hex(4)}.part")
            try:
                self._fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                                   0o666)
                break
            except FileExistsError:
                continue
        self._temporary, self._final = temporary, real
        try:
            if info is not None:
                os.fchmod(self._fd, stat.S_IMODE(info.st_mode))
            if fmt == "npy":
                _write_all(self._write_fd, memoryview(_npy_header(descr, 0)))
        except BaseException:
            os.close(self._fd)
            temporary.unlink()
            raise

    def _write_fd(self, view: memoryview) -> int:
        return os.write(self._fd, view)

    def write(self, view: memoryview) -> None:
        """Writes a chunk's bytes; the first one puts a new file in place."""
        if self._temporary is not None:
            os.replace(self._temporary, self._final)
            self._temporary = None
        if self._file is not None:
            _write_all(self._file.write, view)
        else:
            while view.nbytes:  # counting what reached the file, also when a write fails
                count = os.write(self._fd, view)
                self.on_disk += count
                view = view[count:]

    def close(self, failure: BaseException | None) -> None:
        """Finishes the output: the .npy header counts the whole samples on disk (a trailing
        partial sample is cut off), and a new file not put in place yet is put in place after
        success and removed after a `failure`. A problem finishing it is raised, or added to
        `failure` as a note (the first error is the one that counts)."""
        problem: OSError | None = None
        try:
            if self._file is not None:
                self._file.flush()
            else:
                if self._fmt == "npy":
                    whole = self.on_disk - self.on_disk % _itemsize(self._descr)
                    os.ftruncate(self._fd, _NPY_HEADER_SIZE + whole)
                    os.pwrite(self._fd, _npy_header(self._descr, whole // _itemsize(self._descr)),
                              0)
        except OSError as error:
            problem = error
        finally:
            if self._fd >= 0:
                try:
                    os.close(self._fd)
                except OSError as error:
                    problem = problem or error
            if self._temporary is not None:
                if failure is None and problem is None:
                    os.replace(self._temporary, self._final)
                else:
                    self._temporary.unlink(missing_ok=True)
        if problem is not None:
            if failure is None:
                raise problem
            failure.add_note(f"and then finishing the output failed too: {problem}")


def record(device: pyvorn_device.Device, addr: int,
           path: str | os.PathLike[str] | IO[bytes], *, chunks: int | None = None,
           bytes: int | None = None, seconds: float | None = None, dtype: object = "uint8",
           format: Literal["npy", "raw"] | None = None, chunk_size: int = 0,
           max_queue_elements: int = 4096, timeout: float | None = None,
           progress: ProgressArg = False) -> Recording:
    """Streams from `device` into the file at `path`, chunk by chunk, and says what it wrote.

        vornkit.record(device, 0, "counter.npy", chunks=100, dtype="uint32")

    The format is `format`, or by the file name: "npy" (a .npy file, which numpy.load() reads
    as a 1-D array of `dtype`: one of NPY_DTYPES, or its type string with a byte order, which
    the header keeps) or "raw" (the stream's bytes as they came). `path` may also be an open
    binary file object (sys.stdout.buffer), which gets the raw bytes. How much: `chunks`,
    `bytes` or `seconds`, or, with none, until the device ends the stream. The chunks are
    written on the stream's delivery thread as they arrive; numpy is not needed.

    A regular file is written beside `path` and put in its place when the first chunk comes, so
    a recording that fails before any data leaves an existing file untouched.

    Losing nothing or failing loudly: a device error (StreamError), dropped data
    (StreamOverflowError), an end before `chunks`/`bytes` (StreamEndedError), `timeout` seconds
    without data (StreamTimeoutError), a failed write (OSError: a full disk, say) and, in a
    .npy file, bytes that do not make a whole sample (VornError) raise. The file is then left
    complete up to the failure (a valid .npy file of the samples on disk), and the exception's
    `progress` tells how much came.
    """
    _one_limit(chunks=chunks, bytes=bytes, seconds=seconds)
    descr = _sample_type(dtype)
    itemsize = _itemsize(descr)
    is_path = isinstance(path, (str, os.PathLike))
    name = os.fspath(path) if isinstance(path, (str, os.PathLike)) else "-"
    fmt = format or ("npy" if is_path and str(name).lower().endswith(".npy") else "raw")
    if fmt not in ("npy", "raw"):
        raise ValueError(f"format must be 'npy' or 'raw', not {fmt!r}")
    if fmt == "npy" and bytes is not None and bytes % itemsize:
        raise ValueError(f"bytes={bytes} is not a whole number of {_dtype_label(descr)} samples")
    output = _Output(path, fmt, descr)
    label = output.path.name if output.path is not None else "-"
    meter = Meter(progress, f"record {label}", bytes, seconds, chunks)
    try:
        done = _acquire(device, addr, _taking(output.write), meter, max_bytes=bytes, max_chunks=chunks,
                        seconds=seconds, chunk_size=chunk_size,
                        max_queue_elements=max_queue_elements, timeout=timeout,
                        what=f"record {output.path or '-'}")
    except BaseException as failure:
        output.close(failure)
        raise
    output.close(None)
    if fmt == "npy" and done.bytes % itemsize:
        raise VornError(f"record {output.path}: the stream gave {done.bytes} bytes, not a whole "
                        f"number of {_dtype_label(descr)} samples; the last "
                        f"{done.bytes % itemsize} bytes were not written")
    return Recording(output.path, fmt, _dtype_label(descr), done.chunks, done.bytes,
                     done.seconds)
