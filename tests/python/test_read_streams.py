"""Read streams from a plugin device into a Python callable: delivery, re-chunking, stopping."""

import ctypes
import os
import threading

import pytest

import pyvorn_device
from conftest import wait_until
from stream_helpers import CallLog, counter_bytes
from vornkit import overflow_counts


def start(manager, script, *, aligned=None, keep=False, **kwargs):
    device = manager.create_device(script)
    log = CallLog(keep=keep)
    if aligned is None:
        stream = device.start_read_stream(0, log, **kwargs)
    else:
        stream = device.start_aligned_read_stream(0, aligned, log, **kwargs)
    return device, stream, log


class TestPlainStream:
    def test_chunks_arrive_as_managed_buffers_in_order_then_the_end(self, stream_manager):
        device, stream, log = start(stream_manager, "o10 o0 o5 s")
        log.wait_end()
        assert log.calls == [
            (counter_bytes(0, 10), None),
            (b"", None),
            (counter_bytes(10, 5), None),
            (None, None),
        ]
        assert isinstance(stream, pyvorn_device.DataStream)

    def test_errors_arrive_as_messages_and_the_stream_goes_on(self, stream_manager):
        device, stream, log = start(stream_manager, "o2 eboom o1 s")
        log.wait_end()
        assert log.calls == [(b"\x00\x01", None), (None, "boom"), (b"\x02", None), (None, None)]

    @pytest.mark.isolated
    def test_a_malformed_script_word_is_an_error_and_the_script_goes_on(self, stream_manager):
        device, stream, log = start(stream_manager, "oX o1 p s")
        log.wait_end()
        assert log.calls == [
            (None, 'malformed script word "oX"'),
            (b"\x00", None),
            (None, 'malformed script word "p"'),
            (None, None),
        ]

    def test_an_error_text_that_is_not_utf8_still_arrives(self, stream_manager):
        device, stream, log = start(stream_manager, "x s")
        log.wait_end()
        assert log.errors == ["bad \ufffd\ufffd text"]

    def test_a_pushed_view_arrives_as_a_copy(self, stream_manager):
        # The producer overwrites its memory right after the push.
        device, stream, log = start(stream_manager, "v4 s")
        log.wait_end()
        assert log.chunks == [counter_bytes(0, 4)]

    def test_callable_runs_on_one_thread_of_the_module(self, stream_manager):
        device, stream, log = start(stream_manager, "o1 o1 o1 s")
        log.wait_end()
        assert len(log.threads) == 1
        assert threading.get_ident() not in log.threads

    def test_the_device_bytes_reach_python_without_a_copy(self, stream_manager):
        # The chunk holds the address the device allocated it at.
        device, stream, log = start(stream_manager, "a a s", keep=True)
        log.wait_end()
        for chunk in log.kept:
            address = ctypes.addressof(ctypes.c_char.from_buffer(memoryview(chunk)))
            assert address == int.from_bytes(bytes(chunk), "little")

    def test_managed_buffer_exports_writable_unsigned_bytes(self, stream_manager):
        device, stream, log = start(stream_manager, "o6 o0 s", keep=True)
        log.wait_end()
        view = memoryview(log.kept[0])
        assert (view.format, view.itemsize, view.ndim, view.shape, view.strides) == ("B", 1, 1, (6,), (1,))
        assert not view.readonly
        view[0] = 0xAB
        assert bytes(log.kept[0])[:2] == b"\xab\x01"
        assert len(memoryview(log.kept[1])) == 0

    def test_managed_buffers_outlive_the_stream_and_are_freed_once(self, counters, stream_manager):
        device, stream, log = start(stream_manager, "o8 o8 o8 s", keep=True)
        log.wait_end()
        freed = counters["stream.chunks_freed"]
        view = memoryview(log.kept[1])
        stream.stop()
        del stream
        log.kept.pop(0)
        assert counters["stream.chunks_freed"] == freed + 1
        assert bytes(view) == counter_bytes(8, 8)  # the memoryview keeps its buffer alive
        log.kept.clear()  # frees the third; the second lives on in `view`
        assert counters["stream.chunks_freed"] == freed + 2
        del view
        assert counters["stream.chunks_freed"] == freed + 3
        assert counters["stream.chunks_made"] == counters["stream.chunks_freed"]

    def test_chunks_the_callable_did_not_keep_are_freed(self, counters, stream_manager):
        device, stream, log = start(stream_manager, "o3 o3 o3 s")
        log.wait_end()
        del stream
        assert counters["stream.chunks_made"] == counters["stream.chunks_freed"]


class TestAlignedStream:
    def test_blocks_of_the_alignment_then_a_short_last_block(self, stream_manager):
        device, stream, log = start(stream_manager, "o6 o1 o1 o5 s", aligned=4)
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
        device, stream, log = start(stream_manager, "o3 o0 o2 s", aligned=1)
        log.wait_end()
        assert log.chunks == [counter_bytes(0, 3), counter_bytes(3, 2)]

    def test_whole_blocks_of_a_chunk_come_as_one_view(self, stream_manager):
        device, stream, log = start(stream_manager, "o12 o0 s", aligned=4)
        log.wait_end()
        assert log.calls == [(counter_bytes(0, 12), None), (None, None)]

    def test_an_error_does_not_flush_pending_bytes(self, stream_manager):
        device, stream, log = start(stream_manager, "o3 ehalf o3 s", aligned=4)
        log.wait_end()
        data = counter_bytes(0, 6)
        assert log.calls == [(None, "half"), (data[0:4], None), (data[4:6], None), (None, None)]

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
        device, stream, log = start(stream_manager, "o4 o4 s", aligned=4, keep=True)
        log.wait_end()
        assert log.chunks == [counter_bytes(0, 4), counter_bytes(4, 4)]
        for view in log.kept:
            assert isinstance(view, pyvorn_device.DataView)
            with pytest.raises(BufferError, match="only valid during the callback"):
                memoryview(view)


class TestStartArguments:
    def test_defaults_and_keywords(self, stream_manager):
        device = stream_manager.create_device("s")
        log = CallLog()
        stream = device.start_read_stream(addr=3, callback=log, max_queue_elements=8192)
        log.wait_end()
        log = CallLog()
        stream = device.start_aligned_read_stream(0, callback=log, alignment=2, chunk_size=7)
        log.wait_end()

    @pytest.mark.parametrize("limit", [63, 0])
    def test_a_queue_limit_below_64_is_refused_before_the_device_is_called(self, counters, stream_manager, limit):
        device = stream_manager.create_device("s")
        with pytest.raises(RuntimeError, match="^max_elements must be greater than init_elements$"):
            device.start_read_stream(0, CallLog(), max_queue_elements=limit)
        with pytest.raises(RuntimeError, match="^max_elements must be greater than init_elements$"):
            device.start_aligned_read_stream(0, 4, CallLog(), max_queue_elements=limit)
        assert counters["stream.starts"] == 0
        log = CallLog()
        stream = device.start_read_stream(0, log, max_queue_elements=64)
        log.wait_end()

    @pytest.mark.parametrize("limit", [2**31, 2**64 - 1])
    def test_a_queue_limit_beyond_32_bits_is_a_value_error(self, counters, stream_manager, limit):
        device = stream_manager.create_device("s")
        starts = counters["stream.starts"]
        with pytest.raises(ValueError, match="max_queue_elements must be at most 2147483647"):
            device.start_read_stream(0, CallLog(), max_queue_elements=limit)
        assert counters["stream.starts"] == starts
        log = CallLog()
        stream = device.start_read_stream(0, log, max_queue_elements=2**31 - 1)
        log.wait_end()

    def test_alignment_zero_is_a_value_error(self, counters, stream_manager):
        device = stream_manager.create_device("s")
        with pytest.raises(ValueError, match="alignment must be greater than 0"):
            device.start_aligned_read_stream(0, 0, CallLog())
        assert counters["stream.starts"] == 0

    @pytest.mark.parametrize("callback", [None, 42, "text"])
    def test_a_callback_that_is_not_callable_is_a_type_error(self, counters, stream_manager, callback):
        device = stream_manager.create_device("s")
        starts = counters["stream.starts"]
        with pytest.raises(TypeError, match="incompatible function arguments"):
            device.start_read_stream(0, callback)
        with pytest.raises(TypeError, match="incompatible function arguments"):
            device.start_aligned_read_stream(0, 4, callback)
        assert counters["stream.starts"] == starts

    @pytest.mark.parametrize(
        "kwargs", [dict(addr=-1), dict(addr=2**32), dict(chunk_size=-1), dict(max_queue_elements=-1)]
    )
    def test_out_of_range_integers_are_type_errors(self, stream_manager, kwargs):
        device = stream_manager.create_device("s")
        arguments = dict(addr=0, callback=CallLog()) | kwargs
        with pytest.raises(TypeError):
            device.start_read_stream(**arguments)

    def test_the_signature_names_the_callable_type(self):
        doc = pyvorn_device.Device.start_read_stream.__doc__
        assert (
            "callback: Callable[[Optional[pyvorn_device.ManagedBuffer], Optional[str]], None]" in doc
        )
        doc = pyvorn_device.Device.start_aligned_read_stream.__doc__
        assert "callback: Callable[[Optional[pyvorn_device.DataView], Optional[str]], None]" in doc

    @pytest.mark.parametrize("script", ["none", "null"])
    def test_no_stream_from_the_device_gives_none_after_its_thread_ended(self, stream_manager, script):
        device = stream_manager.create_device(script)
        threads = len(os.listdir("/proc/self/task"))
        assert device.start_read_stream(0, CallLog()) is None
        assert device.start_aligned_read_stream(0, 4, CallLog()) is None
        # The thread was joined; the kernel may list an exiting thread a little longer.
        assert wait_until(lambda: len(os.listdir("/proc/self/task")) == threads, 5)

    def test_a_device_error_at_start_propagates(self, stream_manager):
        device = stream_manager.create_device("throw")
        with pytest.raises(RuntimeError, match="stream refused"):
            device.start_read_stream(0, CallLog())

    def test_python_devices_give_no_stream(self):
        assert pyvorn_device.Device().start_read_stream(0, CallLog()) is None
        assert pyvorn_device.Device().start_aligned_read_stream(0, 8, CallLog()) is None


class TestStopping:
    # The scripts wait until stop() is called, then end the stream. Each test keeps its stream
    # object until the end has arrived: destroying it ends delivery at once.

    def test_with_block_stops_once_and_returns_the_stream(self, counters, stream_manager):
        device = stream_manager.create_device("w s")
        log = CallLog()
        stream = device.start_read_stream(0, log)
        with stream as entered:
            assert entered is stream
        log.wait_end()
        assert counters["stream.stops"] == 1

    def test_with_block_stops_on_an_exception_and_lets_it_through(self, counters, stream_manager):
        device = stream_manager.create_device("w s")
        log = CallLog()
        stream = device.start_read_stream(0, log)
        with pytest.raises(KeyError, match="inside"):
            with stream:
                raise KeyError("inside")
        log.wait_end()
        assert counters["stream.stops"] == 1

    def test_stop_may_be_called_again_and_inside_a_with_block(self, counters, stream_manager):
        device = stream_manager.create_device("w s")
        log = CallLog()
        with device.start_read_stream(0, log) as stream:
            stream.stop()
            stream.stop()
        log.wait_end()
        assert counters["stream.stops"] == 3

    def test_exit_arguments_are_checked(self, stream_manager):
        device = stream_manager.create_device("s")
        stream = device.start_read_stream(0, CallLog())
        with pytest.raises(TypeError):
            stream.__exit__(1, None, None)  # not a type

    @pytest.mark.parametrize("cls", [pyvorn_device.DataStream, pyvorn_device.ManagedBuffer, pyvorn_device.DataView])
    def test_stream_classes_have_no_constructor(self, cls):
        with pytest.raises(TypeError, match=f"pyvorn_device.{cls.__name__}: No constructor defined!"):
            cls()


class TestOverload:
    def test_a_stalled_callable_gets_the_backlog_then_the_reports_of_the_drops(self, counters, stream_manager):
        release = threading.Event()
        calls = []
        done = threading.Event()

        def callback(data, error):
            release.wait(30)
            calls.append(error if data is None else len(memoryview(data)))
            if data is None and error is None:
                done.set()

        script = " ".join(["o1"] * 100) + " s"
        device = stream_manager.create_device(script)
        stream = device.start_read_stream(0, callback, max_queue_elements=64)
        # Wait until the producer has pushed everything (it never waits for the consumer).
        assert wait_until(lambda: counters["stream.chunks_made"] == 100)
        release.set()
        assert done.wait(30)
        # The first event is taken by the delivery thread before the stall; 64 more wait in the
        # queue; the rest are dropped and reported once, before the end. When the delivery thread
        # took its first event only after the queue had filled, one more event got in among the
        # drops: two runs of drops, two reports.
        data = [c for c in calls if isinstance(c, int)]
        reports = [c for c in calls if isinstance(c, str)]
        lost = 100 - len(data)
        assert len(data) in (64, 65) and len(reports) in (1, 2)
        assert calls[:64] == data[:64] and calls[-2:] == [reports[-1], None]
        counts = [overflow_counts(r) for r in reports]
        assert all(c is not None and c[0] == c[1] for c in counts)  # one byte a chunk
        assert sum(events for events, _ in counts) == lost
        del stream
        assert counters["stream.chunks_made"] == counters["stream.chunks_freed"]
