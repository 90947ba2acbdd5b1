"""What a stream's callable gets, and in what order: chunks, errors and the end; the chunk objects
(ManagedBuffer, DataView); the grid of aligned streams; the delivery thread; callables that raise."""

import ctypes
import threading
import time

import numpy as np
import pytest

import pyvorn_device
from conftest import wait_until
from stream_helpers import COUNTER, CallLog, configure_sim, counter_bytes, samples, start_logged


class TestOrder:
    def test_chunks_arrive_as_managed_buffers_in_order_then_the_end(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "o10 o0 o5 s")
        log.wait_end()
        assert log.calls == [
            (counter_bytes(0, 10), None),
            (b"", None),
            (counter_bytes(10, 5), None),
            (None, None),
        ]
        assert isinstance(stream, pyvorn_device.DataStream)

    def test_errors_arrive_as_messages_and_the_stream_goes_on(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "o2 eboom o1 s")
        log.wait_end()
        assert log.calls == [(b"\x00\x01", None), (None, "boom"), (b"\x02", None), (None, None)]

    @pytest.mark.isolated
    def test_a_malformed_script_word_is_an_error_and_the_script_goes_on(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "oX o1 p s")
        log.wait_end()
        assert log.calls == [
            (None, 'malformed script word "oX"'),
            (b"\x00", None),
            (None, 'malformed script word "p"'),
            (None, None),
        ]

    def test_an_error_text_that_is_not_utf8_still_arrives(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "x s")
        log.wait_end()
        assert log.errors == ["bad \ufffd\ufffd text"]


class TestPlaces:
    def test_every_chunk_knows_its_offset_push_time_and_length(self, stream_manager):
        seen = []
        ended = threading.Event()

        def on_chunk(data, error):
            if data is not None:
                seen.append((data.offset, len(data), data.time_ns))
            elif error is None:
                ended.set()

        before = time.monotonic_ns()
        plain = stream_manager.create_device("o10 o20 v5 o0 o7 s").start_read_stream(0, on_chunk)
        assert ended.wait(10)
        after = time.monotonic_ns()
        assert [(offset, size) for offset, size, _ in seen] == [(0, 10), (10, 20), (30, 5), (35, 0), (35, 7)]
        times = [t for *_, t in seen]
        assert before <= times[0] and times == sorted(times) and times[-1] <= after
        # Aligned blocks sit on the grid; a gathered block has the push time of its first byte.
        seen.clear()
        ended.clear()
        aligned = stream_manager.create_device("o6 o6 o6 s").start_aligned_read_stream(0, 4, on_chunk)
        assert ended.wait(10)
        assert [(offset, size) for offset, size, _ in seen] == [(0, 4), (4, 4), (8, 4), (12, 4), (16, 2)]
        assert seen[0][2] == seen[1][2] <= seen[2][2]
        del plain, aligned


class TestChunkObjects:
    def test_a_pushed_view_arrives_as_a_copy(self, stream_manager):
        # The producer overwrites its memory right after the push.
        device, stream, log = start_logged(stream_manager, "v4 s")
        log.wait_end()
        assert log.chunks == [counter_bytes(0, 4)]

    def test_the_device_bytes_reach_python_without_a_copy(self, stream_manager):
        # The chunk holds the address the device allocated it at.
        device, stream, log = start_logged(stream_manager, "a a s", keep=True)
        log.wait_end()
        for chunk in log.kept:
            address = ctypes.addressof(ctypes.c_char.from_buffer(memoryview(chunk)))
            assert address == int.from_bytes(bytes(chunk), "little")

    def test_managed_buffer_exports_writable_unsigned_bytes(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "o6 o0 s", keep=True)
        log.wait_end()
        view = memoryview(log.kept[0])
        assert (view.format, view.itemsize, view.ndim, view.shape, view.strides) == ("B", 1, 1, (6,), (1,))
        assert not view.readonly
        view[0] = 0xAB
        assert bytes(log.kept[0])[:2] == b"\xab\x01"
        assert len(memoryview(log.kept[1])) == 0

    def test_data_views_are_writable_bytes_during_the_callback(self, stream_manager):
        seen = []
        done = threading.Event()

        def callback(data, error):
            if data is None:
                done.set()
                return
            view = memoryview(data)
            seen.append((view.format, view.ndim, view.readonly, view.shape))
            view[0] = 0  # writable

        device = stream_manager.create_device("o8 s")
        stream = device.start_aligned_read_stream(0, 4, callback)
        assert done.wait(10)
        assert seen == [("B", 1, False, (8,))]

    def test_a_data_view_kept_past_its_callback_refuses_buffer_requests(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "o4 o4 s", aligned=4, keep=True)
        log.wait_end()
        assert log.chunks == [counter_bytes(0, 4), counter_bytes(4, 4)]
        for view in log.kept:
            assert isinstance(view, pyvorn_device.DataView)
            with pytest.raises(BufferError, match="only valid during the callback"):
                memoryview(view)

    def test_arrays_kept_from_an_aligned_stream_keep_their_bytes(self, sim_plugin):
        device = pyvorn_device.get_device_manager(sim_plugin).create_device("sim1")
        configure_sim(device, WAVEFORM=COUNTER, CHUNK_SIZE=1000, CHUNK_COUNT=2000, CHUNK_RATE=0)
        arrays, views, done = [], [], threading.Event()

        def keep(view, error):
            if view is None:
                done.set() if error is None else None
                return
            arrays.append(np.frombuffer(view, dtype="<u4"))
            if len(views) < 100:
                views.append(memoryview(view))  # views into the chunks and into the gathering buffer

        stream = device.start_aligned_read_stream(0, 64, keep, max_queue_elements=4096)
        assert done.wait(30)
        values = np.concatenate(arrays)
        assert np.array_equal(values, np.arange(2000 * 250, dtype=np.uint32))
        assert all(bytes(v) == arrays[i].tobytes() for i, v in enumerate(views))
        for array in arrays:
            array[:] = 0  # writing through kept exports touches only memory they keep
        with pytest.raises(BufferError):
            memoryview(views[0].obj)  # the DataView itself gives no new export once it is over
        del stream


class TestAlignedGrid:
    def test_blocks_of_the_alignment_then_a_short_last_block(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "o6 o1 o1 o5 s", aligned=4)
        log.wait_end()
        data = counter_bytes(0, 13)
        assert log.calls == [
            (data[0:4], None),
            (data[4:8], None),
            (data[8:12], None),
            (data[12:13], None),
            (None, None),
        ]

    def test_alignment_one_delivers_each_nonempty_chunk_whole(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "o3 o0 o2 s", aligned=1)
        log.wait_end()
        assert log.chunks == [counter_bytes(0, 3), counter_bytes(3, 2)]

    def test_whole_blocks_of_a_chunk_come_as_one_view(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "o12 o0 s", aligned=4)
        log.wait_end()
        assert log.calls == [(counter_bytes(0, 12), None), (None, None)]

    def test_an_error_does_not_flush_pending_bytes(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "o3 ehalf o3 s", aligned=4)
        log.wait_end()
        data = counter_bytes(0, 6)
        assert log.calls == [(None, "half"), (data[0:4], None), (data[4:6], None), (None, None)]

    def test_a_huge_alignment_allocates_only_what_arrives(self, stream_manager):
        device = stream_manager.create_device("o16 s")
        log = CallLog()
        stream = device.start_aligned_read_stream(0, 2**34, log)
        log.wait_end()
        assert log.calls == [(counter_bytes(0, 16), None), (None, None)]


class TestDeliveryThreads:
    def test_callable_runs_on_one_thread_of_the_module(self, stream_manager):
        device, stream, log = start_logged(stream_manager, "o1 o1 o1 s")
        log.wait_end()
        assert len(log.threads) == 1
        assert threading.get_ident() not in log.threads

    def test_many_concurrent_streams_each_get_their_own_pattern(self, sim_plugin):
        manager = pyvorn_device.get_device_manager(sim_plugin)
        devices = [manager.create_device(f"sim{i % 3}") for i in range(6)]
        for device in devices:
            configure_sim(device, WAVEFORM=COUNTER, CHUNK_SIZE=1024, CHUNK_COUNT=200, CHUNK_RATE=0)
        barrier = threading.Barrier(len(devices))
        logs = [CallLog() for _ in devices]
        streams = [None] * len(devices)

        def start(index):
            barrier.wait()
            streams[index] = devices[index].start_read_stream(index * 1000, logs[index])

        threads = [threading.Thread(target=start, args=(i,)) for i in range(len(devices))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for index, log in enumerate(logs):
            log.wait_end()
            assert np.array_equal(
                samples(log, "<u4"), np.arange(index * 1000, index * 1000 + 200 * 256, dtype=np.uint32)
            )


def callback_error_lines(text):
    """The lines of `text` that log a failure of a stream's callable."""
    return [line for line in text.splitlines() if "[error] Error in callback: " in line]


class TestFailingCallables:
    def test_a_failure_on_a_chunk_is_one_error_line_and_the_stream_goes_on(self, counters, stream_manager, capfd):
        seen = []

        def callback(data, error):
            seen.append((data is not None, error))
            if data is not None and len(seen) == 1:
                raise ValueError("first chunk rejected")

        device = stream_manager.create_device("o1 o1 s")
        stream = device.start_read_stream(0, callback)
        assert wait_until(lambda: len(seen) >= 3)
        assert seen == [(True, None), (True, None), (False, None)]
        del stream
        lines = callback_error_lines(capfd.readouterr().out)
        assert len(lines) == 1
        assert lines[0].endswith("Error in callback: ValueError: first chunk rejected")
        assert counters["stream.chunks_made"] == counters["stream.chunks_freed"]

    def test_failures_on_errors_and_on_the_end_are_logged_too(self, stream_manager, capfd):
        calls = []

        def callback(data, error):
            calls.append(error)
            raise RuntimeError(f"failed on {error}")

        device = stream_manager.create_device("ebad s")
        stream = device.start_aligned_read_stream(0, 4, callback)
        assert wait_until(lambda: len(calls) >= 2)
        del stream
        lines = callback_error_lines(capfd.readouterr().out)
        assert [line.split("Error in callback: ")[1] for line in lines] == [
            "RuntimeError: failed on bad",
            "RuntimeError: failed on None",
        ]
