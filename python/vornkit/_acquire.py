"""capture() into a numpy array and record() into a .npy or raw file."""

from __future__ import annotations

import dataclasses
import os
import pathlib
import struct
import time
from collections.abc import Iterator
from typing import IO, TYPE_CHECKING, Any, Literal

import pyvorn_device

from ._errors import StreamEndedError, StreamError, VornError
from ._progress import Meter, ProgressArg
from ._stream import stream

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
        if value is not None and value < 0:
            raise ValueError(f"{name} must not be negative, got {value}")


def _chunks(device: pyvorn_device.Device, addr: int, meter: Meter, *, max_bytes: int | None,
            max_chunks: int | None, seconds: float | None, chunk_size: int,
            max_queue_elements: int, timeout: float | None, what: str) -> Iterator[memoryview]:
    """The stream's bytes as memoryviews of its chunks, cut at `max_bytes`, until a limit is
    reached or, without one, until the end. Errors and drops raise (with `progress` set); an
    end before a limit raises StreamEndedError. The stream is stopped in every case."""
    deadline = None if seconds is None else meter.started + seconds
    wanted = max_bytes is not None or max_chunks is not None
    with stream(device, addr, chunk_size=chunk_size,
                max_queue_elements=max_queue_elements) as chunks:
        while not ((max_bytes is not None and meter.bytes >= max_bytes)
                   or (max_chunks is not None and meter.chunks >= max_chunks)):
            wait = timeout
            if deadline is not None:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return
                wait = remaining if timeout is None else min(remaining, timeout)
            try:
                chunk = chunks.read(wait)
            except TimeoutError:
                if deadline is not None and time.monotonic() >= deadline:
                    return
                raise TimeoutError(f"{what}: no data from the device for {timeout} s") from None
            except StreamError as error:
                error.progress = meter.snapshot()
                error.add_note(f"{what}: failed after {meter.bytes} bytes in {meter.chunks} "
                               "chunks")
                raise
            if chunk is None:
                if wanted:
                    progress = meter.snapshot()
                    raise StreamEndedError(
                        f"{what}: the device ended the stream after {progress.bytes} bytes in "
                        f"{progress.chunks} chunks", progress)
                return
            data = memoryview(chunk)
            if max_bytes is not None and meter.bytes + data.nbytes > max_bytes:
                data = data[:max_bytes - meter.bytes]
            yield data
            meter.add(data.nbytes)


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
    its buffer as the data comes and drops a trailing partial sample.

    Nothing is lost silently: a device error raises StreamError, dropped data (the capture fell
    `max_queue_elements` chunks behind) StreamOverflowError, an end before `samples`/`bytes`
    StreamEndedError, and `timeout` seconds without data TimeoutError; the stream is stopped.
    `progress` is True for a progress line on stderr, or a callable that gets a Progress.
    """
    np = _numpy()
    _one_limit(samples=samples, bytes=bytes, seconds=seconds)
    kind = np.dtype(dtype)
    total = bytes if samples is None else samples * kind.itemsize
    if total is not None and total % kind.itemsize:
        raise ValueError(f"bytes={total} is not a whole number of {kind} samples "
                         f"({kind.itemsize} bytes each)")
    meter = Meter(progress, "capture", total, seconds)
    parts = _chunks(device, addr, meter, max_bytes=total, max_chunks=None, seconds=seconds,
                    chunk_size=chunk_size, max_queue_elements=max_queue_elements,
                    timeout=timeout, what="capture")
    if total is not None:
        out: numpy.ndarray[Any, Any] = np.empty(total // kind.itemsize, kind)
        target = memoryview(out.view(np.uint8))
        for data in parts:
            target[meter.bytes:meter.bytes + data.nbytes] = data
        meter.finish()
        return out
    grown = bytearray()
    for data in parts:
        grown += data
    meter.finish()
    del grown[len(grown) - len(grown) % kind.itemsize:]
    result: numpy.ndarray[Any, Any] = np.frombuffer(grown, kind)
    return result


@dataclasses.dataclass(frozen=True)
class Recording:
    """What record() wrote."""

    path: pathlib.Path
    format: Literal["npy", "raw"]
    dtype: str
    chunks: int
    bytes: int
    seconds: float

    @property
    def samples(self) -> int:
        """The number of `dtype` samples in the file."""
        return self.bytes // _itemsize(self.dtype)

    @property
    def rate(self) -> float:
        """Bytes per second."""
        return self.bytes / self.seconds if self.seconds > 0 else 0.0


def _dtype_name(dtype: object) -> str:
    name = dtype if isinstance(dtype, str) else getattr(dtype, "name", None) or getattr(
        dtype, "__name__", repr(dtype))
    if name not in NPY_DTYPES:
        raise ValueError(f"unsupported dtype {name!r}; one of: {', '.join(NPY_DTYPES)}")
    return str(name)


def _itemsize(name: str) -> int:
    return int(NPY_DTYPES[name][2:])


_NPY_HEADER_SIZE = 128  # room for any 1-D shape, so that the final count fits in place


def _npy_header(name: str, count: int) -> bytes:
    header = f"{{'descr': '{NPY_DTYPES[name]}', 'fortran_order': False, 'shape': ({count},), }}"
    header = header.ljust(_NPY_HEADER_SIZE - 10 - 1) + "\n"
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode("latin1")


def record(device: pyvorn_device.Device, addr: int, path: str | os.PathLike[str], *,
           chunks: int | None = None, bytes: int | None = None, seconds: float | None = None,
           dtype: object = "uint8", format: Literal["npy", "raw"] | None = None,
           chunk_size: int = 0, max_queue_elements: int = 4096, timeout: float | None = None,
           progress: ProgressArg = False) -> Recording:
    """Streams from `device` into the file at `path`, chunk by chunk, and says what it wrote.

        vornkit.record(device, 0, "counter.npy", chunks=100, dtype="uint32")

    The format is `format`, or by the file name: "npy" (a .npy file, which numpy.load() reads
    as a 1-D array of `dtype`, one of NPY_DTYPES) or "raw" (the stream's bytes as they came).
    How much: `chunks`, `bytes` or `seconds`, or, with none, until the device ends the stream.
    Nothing but one chunk is held in memory; numpy is not needed.

    Losing nothing or failing loudly: a device error (StreamError), dropped data
    (StreamOverflowError), an end before `chunks`/`bytes` (StreamEndedError), `timeout` seconds
    without data (TimeoutError), and, in a .npy file, bytes that do not make a whole sample
    (VornError) raise. The file is then left complete up to the failure (a valid .npy file of
    the samples before it), and the exception's `progress` tells how much that is.
    """
    _one_limit(chunks=chunks, bytes=bytes, seconds=seconds)
    name = _dtype_name(dtype)
    path = pathlib.Path(path)
    fmt = format or ("npy" if path.suffix.lower() == ".npy" else "raw")
    if fmt not in ("npy", "raw"):
        raise ValueError(f"format must be 'npy' or 'raw', not {fmt!r}")
    itemsize = _itemsize(name)
    if fmt == "npy" and bytes is not None and bytes % itemsize:
        raise ValueError(f"bytes={bytes} is not a whole number of {name} samples")
    meter = Meter(progress, f"record {path.name}", bytes, seconds, chunks)
    with open(path, "wb") as file:
        if fmt == "npy":
            file.write(_npy_header(name, 0))
        try:
            for data in _chunks(device, addr, meter, max_bytes=bytes, max_chunks=chunks,
                                seconds=seconds, chunk_size=chunk_size,
                                max_queue_elements=max_queue_elements, timeout=timeout,
                                what=f"record {path}"):
                file.write(data)
        finally:
            done = meter.finish()
            if fmt == "npy":
                _finish_npy(file, name, done.bytes)
    if fmt == "npy" and done.bytes % itemsize:
        raise VornError(f"record {path}: the stream gave {done.bytes} bytes, not a whole "
                        f"number of {name} samples; the last {done.bytes % itemsize} bytes "
                        "were not written")
    return Recording(path, fmt, name, done.chunks, done.bytes, done.seconds)


def _finish_npy(file: IO[bytes], name: str, nbytes: int) -> None:
    """Writes the final sample count into the header; cuts off a trailing partial sample."""
    whole = nbytes - nbytes % _itemsize(name)
    file.truncate(_NPY_HEADER_SIZE + whole)
    file.seek(0)
    file.write(_npy_header(name, whole // _itemsize(name)))

