"""Pull-style and asynchronous iteration over a device's read stream.

The module delivers a stream's events to a callable on a delivery thread of its own. Here that
callable belongs to a _Channel, which hands the events to one consumer: a `for` loop
(ChunkStream) or an `async for` loop (AsyncChunkStream). The channel holds at most
`max_queue_elements` events, the same limit the module's queue has; what comes while it is full
is dropped and reported, at its place in the stream, as a StreamOverflowError.
"""

from __future__ import annotations

import asyncio
import collections
import threading
import time
from collections.abc import Buffer, Callable
from types import TracebackType
from typing import Any, Generic, Literal, Self, TypeVar, overload

import pyvorn_device

from ._errors import (StreamError, StreamOverflowError, VornError, overflow_counts, overflow_report,
                      stream_error)

T = TypeVar("T")
ErrorPolicy = Literal["raise", "yield"]


class _End:
    """The end of the stream."""


_END = _End()
_NOTHING = object()  # no item waits


def _wake(waiter: asyncio.Future[None]) -> None:
    if not waiter.done():
        waiter.set_result(None)


class Block(bytes):
    """A block of an aligned stream, copied from its DataView (valid only during the callback):
    its bytes, and where it sits in the stream, as on the module's chunks."""

    #: the stream position of the block's first byte (dropped bytes counted: a gap is a jump)
    offset: int
    #: when the device pushed its first byte, on the clock of time.monotonic_ns()
    time_ns: int


def _block(view: Buffer) -> Block:
    block = Block(view)
    block.offset = view.offset  # type: ignore[attr-defined]
    block.time_ns = view.time_ns  # type: ignore[attr-defined]
    return block


class _Channel:
    """The stream's callable and a bounded hand-off to one consumer thread or event loop.

    The delivery thread appends to a deque without taking the lock, which it takes only to wake
    a consumer that sleeps, and for drops; the consumer takes items without the lock while there
    are any. The lock orders the rest: a consumer goes to sleep, and drops are reported, only
    under it, so that no wake-up is missed and a report always comes before later items.

    A consumer about to sleep sets _waiting (under the lock) before it looks for items a last
    time; the delivery thread wakes it once, clearing _waiting, so that the events that come
    before the consumer runs again cost no more than those that find it awake."""

    def __init__(self, limit: int, copy: bool) -> None:
        self._lock = threading.Lock()
        self._ready = threading.Condition(self._lock)
        self._items: collections.deque[object] = collections.deque()
        self._limit = limit
        self._copy = copy  # DataViews are valid only during the call: keep bytes instead
        self._dropped_events = self._dropped_bytes = 0  # counted by the delivery thread only
        self._closed = False
        self._waiting = False  # a consumer sleeps: a thread on _ready, or a loop on _waiter
        self._waiter: asyncio.Future[None] | None = None  # an event loop awaits this

    def callable(self) -> Callable[[Buffer | None, str | None], None]:
        """The stream's callable, which runs on its delivery thread for every event.

        A function with the usual case in its own locals: a chunk that finds room and no drops
        to report is appended; everything else goes to _put()."""
        items = self._items
        append = items.append
        limit = self._limit
        copy = self._copy
        put = self._put

        def deliver(data: Buffer | None, error: str | None) -> None:
            if (data is not None and not self._dropped_events and len(items) < limit
                    and not self._closed):
                append(_block(data) if copy else data)
                if self._waiting:
                    self._wake()
            else:
                put(data, error)
        return deliver

    def _put(self, data: Buffer | None, error: str | None) -> None:
        """An event the delivery thread's callable did not append at once: the end, an error, a
        chunk while drops wait to be reported or the channel is full, or any event once
        closed."""
        if self._closed:
            return
        item: object
        if data is not None:
            item = data = _block(data) if self._copy else data
        elif error is not None:
            item = stream_error(error)
        else:
            item = _END
        if self._dropped_events or (item is not _END and len(self._items) >= self._limit):
            with self._lock:
                if item is not _END and len(self._items) >= self._limit:
                    # The module's own report of drops adds its counts; anything else is one.
                    counts = overflow_counts(error) if error is not None else None
                    events, lost = counts or (1, memoryview(data).nbytes if data is not None else 0)
                    self._dropped_events += events
                    self._dropped_bytes += lost
                    return
                self._report_drops()
                self._items.append(item)
        else:
            self._items.append(item)
        if self._waiting:
            self._wake()

    def _wake(self) -> None:
        with self._lock:
            self._waiting = False
            self._ready.notify()
            waiter, self._waiter = self._waiter, None
        if waiter is not None:
            try:
                waiter.get_loop().call_soon_threadsafe(_wake, waiter)
            except RuntimeError:  # the event loop is closed: nobody waits any more
                pass

    def _report_drops(self) -> bool:
        """Queues the report of the events dropped since the last one (lock held)."""
        if not self._dropped_events:
            return False
        self._items.append(StreamOverflowError(
            overflow_report(self._dropped_events, self._dropped_bytes)))
        self._dropped_events = self._dropped_bytes = 0
        return True

    def _take(self) -> object | None:
        """The next item, _END once closed, or None when there is nothing yet (lock held)."""
        if self._closed:
            return _END
        if self._items or self._report_drops():
            return self._items.popleft()
        return None

    def _pop(self) -> object | None:
        """The next item without the lock, or None when the slow path must decide."""
        if self._closed:
            return None
        try:
            return self._items.popleft()  # the only consumer; close() may empty it meanwhile
        except IndexError:
            return None

    def get(self, timeout: float | None) -> object:
        """The next item, waiting for it; TimeoutError after `timeout` seconds without one."""
        if (item := self._pop()) is not None:
            return item
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._lock:
            try:
                while True:
                    self._waiting = True  # before the last look: an event after it wakes us
                    if (item := self._take()) is not None:
                        return item
                    remaining = None if deadline is None else deadline - time.monotonic()
                    if remaining is not None and remaining <= 0:
                        raise TimeoutError(f"no stream event within {timeout} s")
                    self._ready.wait(remaining)
            finally:
                self._waiting = False

    async def aget(self, timeout: float | None) -> object:
        """The next item, awaiting it without blocking the event loop."""
        if (item := self._pop()) is not None:
            return item
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        while True:
            with self._lock:
                self._waiting = True  # before the last look: an event after it wakes us
                if (item := self._take()) is not None:
                    self._waiting = False
                    return item
                waiter = self._waiter = loop.create_future()
            try:
                if deadline is None:
                    await waiter
                else:
                    async with asyncio.timeout_at(deadline):
                        await waiter
            except TimeoutError:
                raise TimeoutError(f"no stream event within {timeout} s") from None
            finally:
                with self._lock:
                    if self._waiter is waiter:
                        self._waiter = None
                        self._waiting = False

    def close(self) -> None:
        """From now on events are discarded and consumers see the end."""
        with self._lock:
            self._closed = True
            self._items.clear()
            self._dropped_events = 0
        self._wake()


class _StreamBase(Generic[T]):
    def __init__(self, device: pyvorn_device.Device, addr: int, *, chunk_size: int = 0,
                 alignment: int | None = None, max_queue_elements: int = 4096,
                 errors: ErrorPolicy = "raise", timeout: float | None = None) -> None:
        if errors not in ("raise", "yield"):
            raise ValueError(f"errors must be 'raise' or 'yield', not {errors!r}")
        self._errors = errors
        self._timeout = timeout
        self._channel = _Channel(max_queue_elements, copy=alignment is not None)
        self._items = self._channel._items  # for the loops' usual case: an item is waiting
        self._closed = False
        if alignment is None:
            handle = device.start_read_stream(addr, self._channel.callable(), chunk_size,
                                              max_queue_elements)
        else:
            handle = device.start_aligned_read_stream(addr, alignment, self._channel.callable(),
                                                      chunk_size, max_queue_elements)
        if handle is None:
            raise VornError("the device started no stream")
        self._handle: pyvorn_device.DataStream = handle

    @property
    def closed(self) -> bool:
        """True once the stream has ended, failed or been closed."""
        return self._closed

    def _discard(self) -> None:
        """Marks the stream closed and discards what comes from now on; returns at once."""
        self._closed = True
        self._channel.close()  # first, so that what stop() waits for is only discarded

    def close(self) -> None:
        """Stops the stream and drops what was not read yet; returns when the device's stream
        has stopped. Any number of calls, from any thread: each returns only then."""
        self._discard()
        self._handle.stop()

    def _stop(self) -> None:
        """Stops the stream after the end or a failure of reading."""
        self.close()

    def _result(self, item: object) -> T | None:
        """What reading `item` gives: the item, None at the end, or an error raised."""
        if item is _END:
            self._stop()
            return None
        if isinstance(item, StreamError) and self._errors == "raise":
            self._stop()
            raise item
        return item  # type: ignore[return-value]

    def _waiting(self) -> object:
        """The loops' usual case, without read()'s calls: the result of an item that waits
        (taken without the lock, as the channel's consumer may), or _NOTHING when none waits or
        the stream is closed, for read() to handle."""
        if self._closed:
            return _NOTHING
        try:
            item = self._items.popleft()
        except IndexError:
            return _NOTHING
        if item is not _END and not isinstance(item, StreamError):
            return item
        return self._result(item)


class ChunkStream(_StreamBase[T]):
    """A running stream read by pulling: `for chunk in stream:` or `stream.read()`.

    Made by `stream()`; see there. Leaving the `with` block, close(), the end of the stream and
    any exception raised by reading it stop the stream, and wait until the device has stopped.
    A stream that is only dropped (a `for` loop left without a `with` block) is stopped, without
    waiting, when it is collected."""

    def read(self, timeout: float | None = None) -> T | None:
        """The next chunk (or error, with errors="yield"), or None at the end of the stream.
        Raises TimeoutError when nothing came within `timeout` seconds (the default is the
        stream's own timeout)."""
        if self._closed:
            return None
        try:
            item = self._channel.get(self._timeout if timeout is None else timeout)
        except BaseException:
            self.close()
            raise
        return self._result(item)

    def __iter__(self) -> Self:
        return self

    def __next__(self) -> T:
        if (result := self._waiting()) is _NOTHING:
            result = self.read()
        if result is None:
            raise StopIteration
        return result  # type: ignore[return-value]

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()


class AsyncChunkStream(_StreamBase[T]):
    """A running stream read in asyncio: `async for chunk in stream:` or `await stream.read()`.

    Made by `astream()`; see there. Leaving the `async with` block and aclose() stop the stream
    and wait, on a worker thread, until the device has stopped; the end, any exception raised by
    reading, and cancelling a task waiting in read() stop it without waiting. The event loop is
    never blocked."""

    async def read(self, timeout: float | None = None) -> T | None:
        """The next chunk (or error, with errors="yield"), or None at the end of the stream."""
        if self._closed:
            return None
        try:
            item = await self._channel.aget(self._timeout if timeout is None else timeout)
        except BaseException:  # cancellation included
            self._stop()
            raise
        return self._result(item)

    def _stop(self) -> None:
        """Discards what comes and stops the device on a worker thread, without waiting (the
        event loop waits for its default executor before it closes)."""
        if not self._closed:
            self._discard()
            asyncio.get_running_loop().run_in_executor(None, self._handle.stop)

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> T:
        if (result := self._waiting()) is _NOTHING:
            result = await self.read()
        if result is None:
            raise StopAsyncIteration
        return result  # type: ignore[return-value]

    async def aclose(self) -> None:
        """close() on a worker thread, so that the event loop runs on while the device stops."""
        self._discard()
        await asyncio.to_thread(self._handle.stop)

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.aclose()


# The element types: ManagedBuffer for plain streams, Block for aligned ones, and StreamError
# too when errors are yielded.
@overload
def stream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = ...,
           alignment: None = None, max_queue_elements: int = ...,
           errors: Literal["raise"] = "raise", timeout: float | None = ...,
           ) -> ChunkStream[pyvorn_device.ManagedBuffer]: ...
@overload
def stream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = ...,
           alignment: int, max_queue_elements: int = ...,
           errors: Literal["raise"] = "raise", timeout: float | None = ...,
           ) -> ChunkStream[Block]: ...
@overload
def stream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = ...,
           alignment: None = None, max_queue_elements: int = ...,
           errors: Literal["yield"], timeout: float | None = ...,
           ) -> ChunkStream[pyvorn_device.ManagedBuffer | StreamError]: ...
@overload
def stream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = ...,
           alignment: int, max_queue_elements: int = ...,
           errors: Literal["yield"], timeout: float | None = ...,
           ) -> ChunkStream[Block | StreamError]: ...
def stream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = 0,
           alignment: int | None = None, max_queue_elements: int = 4096,
           errors: ErrorPolicy = "raise", timeout: float | None = None,
           ) -> ChunkStream[Any]:
    """Starts a read stream on `device` and returns it as an iterator of its chunks.

        with vornkit.stream(device, 0) as chunks:
            for chunk in chunks:
                samples = numpy.frombuffer(chunk, "<u4")

    `addr` and `chunk_size` go to the device. Without `alignment` the chunks are the device's
    own `ManagedBuffer` objects (no copy; keep them as long as you like). With `alignment` the
    stream is an aligned stream, and each block arrives as a `Block`, a `bytes` copied from its
    DataView (valid only during the callback): multiples of `alignment` bytes, except the last.
    Chunks and blocks alike carry `offset` and `time_ns`: where they sit in the stream.

    At most `max_queue_elements` events wait to be read, in the module's queue and here alike:
    when the loop falls that far behind, newer events are dropped and reported, in their place,
    as a StreamOverflowError ("Queue Overflow, dropping event: N events dropped, B bytes of data
    lost").

    Errors (device errors and overflow reports): with errors="raise" (the default) reading
    raises the StreamError and stops the stream; with errors="yield" they are yielded as
    StreamError objects among the chunks and the stream goes on.

    The end of the stream ends the loop. `timeout` bounds the wait for each event (TimeoutError).
    """
    return ChunkStream(device, addr, chunk_size=chunk_size, alignment=alignment,
                       max_queue_elements=max_queue_elements, errors=errors, timeout=timeout)


@overload
def astream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = ...,
            alignment: None = None, max_queue_elements: int = ...,
            errors: Literal["raise"] = "raise", timeout: float | None = ...,
            ) -> AsyncChunkStream[pyvorn_device.ManagedBuffer]: ...
@overload
def astream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = ...,
            alignment: int, max_queue_elements: int = ...,
            errors: Literal["raise"] = "raise", timeout: float | None = ...,
            ) -> AsyncChunkStream[Block]: ...
@overload
def astream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = ...,
            alignment: None = None, max_queue_elements: int = ...,
            errors: Literal["yield"], timeout: float | None = ...,
            ) -> AsyncChunkStream[pyvorn_device.ManagedBuffer | StreamError]: ...
@overload
def astream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = ...,
            alignment: int, max_queue_elements: int = ...,
            errors: Literal["yield"], timeout: float | None = ...,
            ) -> AsyncChunkStream[Block | StreamError]: ...
def astream(device: pyvorn_device.Device, addr: int = 0, *, chunk_size: int = 0,
            alignment: int | None = None, max_queue_elements: int = 4096,
            errors: ErrorPolicy = "raise", timeout: float | None = None,
            ) -> AsyncChunkStream[Any]:
    """stream() for asyncio: starts the stream and returns an asynchronous iterator over it.

        async with vornkit.astream(device, 0) as chunks:
            async for chunk in chunks:
                ...

    The same arguments, chunks, limit and error policy as stream(). The delivery thread wakes
    the event loop with loop.call_soon_threadsafe; the loop is never blocked while it waits.
    Cancelling the task that waits for a chunk stops the stream (the CancelledError goes on).
    """
    return AsyncChunkStream(device, addr, chunk_size=chunk_size, alignment=alignment,
                            max_queue_elements=max_queue_elements, errors=errors,
                            timeout=timeout)
