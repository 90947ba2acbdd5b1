"""Starting a read stream: its arguments and their checks, the starts that give no stream or fail,
and the stream classes that only the module makes."""

import os

import pytest

import pyvorn_device
from conftest import wait_until
from stream_helpers import CallLog


class TestArguments:
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


class TestNoStream:
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


@pytest.mark.parametrize("cls", [pyvorn_device.DataStream, pyvorn_device.ManagedBuffer, pyvorn_device.DataView])
def test_stream_classes_have_no_constructor(cls):
    with pytest.raises(TypeError, match=f"pyvorn_device.{cls.__name__}: No constructor defined!"):
        cls()
