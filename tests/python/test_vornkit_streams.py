"""vornkit.stream and vornkit.astream: end, leaving the loop, cancellation, errors, overflow."""

import asyncio
import threading
import time

import pytest

import pyvorn_device
import vornkit
from conftest import wait_until
from stream_helpers import counter_bytes


def running(device):
    return "acquisitions running: 0" not in device.get_status()


@pytest.fixture
def sim():
    device = vornkit.open_device("sim")
    vornkit.set_registers(device, {0x100: 0, 0x104: 256, 0x108: 2000, 0x10C: 0})  # counter, endless
    return device


def scripted(stream_manager, script):
    return stream_manager.create_device(script)


class SlowStop:
    """A device whose streams take 0.3 s to stop: it starts the real device's stream and notes
    who is inside stop() meanwhile."""

    def __init__(self, device):
        self.device = device
        self.stopping = threading.Event()
        self.stopped = 0

    def start_read_stream(self, *args):
        real = self.device.start_read_stream(*args)
        outer = self

        class Handle:
            def stop(self):
                outer.stopping.set()
                time.sleep(0.3)
                real.stop()
                outer.stopped += 1

        return Handle()


class TestIterator:
    def test_plain_chunks_stay_valid_and_aligned_blocks_are_placed_bytes(self, stream_manager):
        with vornkit.stream(scripted(stream_manager, "o10 o0 o5 s"), 0) as chunks:
            kept = list(chunks)
            assert chunks.closed
        assert all(isinstance(c, pyvorn_device.ManagedBuffer) for c in kept)
        assert b"".join(bytes(c) for c in kept) == counter_bytes(0, 15)
        assert [len(memoryview(c)) for c in kept] == [10, 0, 5]
        assert [c.offset for c in kept] == [0, 10, 10]

        blocks = list(vornkit.stream(scripted(stream_manager, "o6 o1 o1 o5 s"), 0, alignment=4))
        assert [type(b) for b in blocks] == [vornkit.Block] * 4
        assert blocks == [counter_bytes(0, 4), counter_bytes(4, 4), counter_bytes(8, 4),
                          counter_bytes(12, 1)]
        assert [b.offset for b in blocks] == [0, 4, 8, 12]
        assert blocks[0].time_ns == blocks[1].time_ns <= blocks[3].time_ns

    @pytest.mark.parametrize("leave", ["break", "with", "close", "timeout"])
    def test_leaving_stops_the_stream(self, sim, leave):
        if leave == "break":
            for chunk in vornkit.stream(sim, 0):
                break
            assert wait_until(lambda: not running(sim))  # dropped: stopped without waiting
        elif leave == "with":
            with vornkit.stream(sim, 0) as chunks:
                assert chunks.read() is not None and running(sim)
        elif leave == "close":
            chunks = vornkit.stream(sim, 0)
            chunks.read()
            chunks.close()
            assert chunks.read() is None and list(chunks) == []
        else:
            vornkit.set_registers(sim, {0x108: 1})  # one chunk a second
            chunks = vornkit.stream(sim, 0, timeout=0.1)
            chunks.read(timeout=10)  # the first chunk comes at once, the next a second later
            with pytest.raises(TimeoutError):
                chunks.read()
            assert chunks.closed
        assert not running(sim)

    def test_device_errors_raise_or_are_yielded(self, stream_manager):
        chunks = vornkit.stream(scripted(stream_manager, "o4 eboom o4 s"), 0)
        assert bytes(chunks.read()) == counter_bytes(0, 4)
        with pytest.raises(vornkit.StreamError, match="^boom$"):
            chunks.read()
        assert chunks.closed and chunks.read() is None

        items = list(vornkit.stream(scripted(stream_manager, "o4 eboom o4 s"), 0, errors="yield"))
        assert [type(item) for item in items] == [pyvorn_device.ManagedBuffer,
                                                  vornkit.StreamError, pyvorn_device.ManagedBuffer]
        assert items[1].message == "boom"
        with pytest.raises(ValueError, match="errors must be"):
            vornkit.stream(scripted(stream_manager, "s"), 0, errors="ignore")

    @pytest.mark.parametrize("errors", ["raise", "yield"])
    def test_overflow_is_reported_in_place(self, stream_manager, errors):
        chunks = vornkit.stream(scripted(stream_manager, "b500 s"), 0, max_queue_elements=64,
                                errors=errors)
        time.sleep(0.5)  # the burst is over long before: up to 64 events wait, the rest was dropped
        received = []
        with pytest.raises(vornkit.StreamOverflowError) if errors == "raise" else chunks:
            for item in chunks:
                received.append(item)
        if errors == "yield":
            *received, report = received
            assert isinstance(report, vornkit.StreamOverflowError)
            assert report.message.startswith("Queue Overflow, dropping event")
        assert 0 < len(received) <= 64  # what came before the drops, whole and in order
        assert b"".join(bytes(c) for c in received) == counter_bytes(0, 64 * len(received))

    def test_close_from_a_second_thread_waits_for_the_stop(self, sim):
        device = SlowStop(sim)
        chunks = vornkit.stream(device, 0)
        first = threading.Thread(target=chunks.close)
        first.start()
        assert device.stopping.wait(10)
        chunks.close()
        assert device.stopped >= 1 and not running(sim)
        first.join()

    def test_a_device_without_streams_raises(self):
        with pytest.raises(vornkit.VornError, match="started no stream"):
            vornkit.stream(pyvorn_device.Device(), 0)


class TestAsyncIterator:
    def test_chunks_then_end_without_blocking_the_loop(self, stream_manager):
        async def main():
            ticks = 0

            async def tick():
                nonlocal ticks
                while True:
                    ticks += 1
                    await asyncio.sleep(0.01)

            ticker = asyncio.create_task(tick())
            async with vornkit.astream(scripted(stream_manager, "o3 p200 o2 s"), 0) as chunks:
                got = [bytes(c) async for c in chunks]
            ticker.cancel()
            return got, ticks

        got, ticks = asyncio.run(main())
        assert got == [counter_bytes(0, 3), counter_bytes(3, 2)] and ticks >= 5

    @pytest.mark.parametrize("leave, script", [("break", "o1 w s"), ("error", "eboom w s"),
                                               ("cancel", "w s")])
    def test_leaving_never_blocks_the_loop(self, stream_manager, leave, script):
        # While the device takes its time to stop, the loop goes on ticking.
        device = SlowStop(scripted(stream_manager, script))

        async def main():
            ticks_while_stopping = 0

            async def tick():
                nonlocal ticks_while_stopping
                while True:
                    ticks_while_stopping += device.stopping.is_set() and not device.stopped
                    await asyncio.sleep(0.01)

            ticker = asyncio.create_task(tick())
            async with vornkit.astream(device, 0) as chunks:
                if leave == "break":
                    async for chunk in chunks:
                        break
                elif leave == "error":
                    with pytest.raises(vornkit.StreamError):
                        async for chunk in chunks:
                            pass
                else:
                    reader = asyncio.create_task(chunks.read())
                    await asyncio.sleep(0.05)
                    reader.cancel()
                    with pytest.raises(asyncio.CancelledError):
                        await reader
            ticker.cancel()
            return ticks_while_stopping

        assert asyncio.run(main()) > 0 and device.stopped

    def test_a_chunk_after_drops_comes_after_their_report(self, counters, stream_manager):
        # The burst fills the queue and the rest is dropped; reading one chunk makes room before
        # the last chunk comes (2 s later), which must still come after the report of the drops.
        async def made(count):
            while counters["stream.chunks_made"] < count:
                await asyncio.sleep(0.01)

        async def main():
            chunks = vornkit.astream(scripted(stream_manager, "b300 p2000 o4 s"), 0,
                                     max_queue_elements=64, errors="yield")
            await made(300)
            # A chunk counts as made just before its push: let the burst's last push end, so
            # that the room this read makes is left for the last chunk.
            await asyncio.sleep(0.1)
            first = await chunks.read()
            await made(301)
            return [first] + [item async for item in chunks]

        *burst, report, last = asyncio.run(main())
        assert b"".join(bytes(c) for c in burst) == counter_bytes(0, 64 * 64)
        assert isinstance(report, vornkit.StreamOverflowError)
        assert report.dropped == (236, 236 * 64)
        assert bytes(last) == counter_bytes(300 * 64, 4) and last.offset == 300 * 64

    def test_break_cancellation_and_errors_stop_the_stream(self, sim, stream_manager):
        async def main():
            async for chunk in vornkit.astream(sim, 0):
                break
            assert wait_until(lambda: not running(sim))  # dropped: stopped without waiting

            chunks = vornkit.astream(scripted(stream_manager, "w s"), 0)
            task = asyncio.create_task(chunks.read())
            await asyncio.sleep(0.05)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert chunks.closed

            with pytest.raises(TimeoutError):
                async with vornkit.astream(scripted(stream_manager, "w s"), 0) as chunks:
                    await asyncio.wait_for(chunks.read(), 0.05)

            chunks = vornkit.astream(scripted(stream_manager, "o1 eboom s"), 0)
            with pytest.raises(vornkit.StreamError, match="boom"):
                async for chunk in chunks:
                    pass
            assert chunks.closed

        asyncio.run(main())
        assert not running(sim)
