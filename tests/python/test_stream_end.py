"""The end of a stream, however it comes (stop(), `with`, dropping the stream, the device letting
go of it): what the device pushed before arrives, then (None, None) once, and nothing after."""

import time

import pytest

from conftest import assert_runs_ok, wait_until
from stream_helpers import CallLog, counter_bytes


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


class TestTheEnd:
    """However a stream ends, what the device pushed before arrives, then (None, None) once."""

    BURST = "b300 w s"  # 300 chunks of 64 bytes, then the end once stop() was called

    @staticmethod
    def slow_log():
        log = CallLog()
        log_call = log.__call__

        def slow(data, error):
            time.sleep(0.0002)
            log_call(data, error)

        return log, slow

    @pytest.mark.parametrize("how", ["with", "stop", "drop", "release"])
    def test_every_pushed_chunk_then_the_end_once(self, counters, stream_manager, how):
        script = "b300 r" if how == "release" else self.BURST
        device = stream_manager.create_device(script)
        log, slow = self.slow_log()
        if how == "with":
            with device.start_read_stream(0, slow):  # no `as`: the stream is dropped right after
                assert wait_until(lambda: counters["stream.chunks_made"] == 300)
        else:
            stream = device.start_read_stream(0, slow)
            assert wait_until(lambda: counters["stream.chunks_made"] == 300)
            if how == "stop":
                stream.stop()
            elif how == "drop":
                del stream
        if how in ("with", "stop"):
            assert log.ended.is_set()  # stop() and __exit__ return once the end was delivered
        log.wait_end()
        assert log.chunks == [counter_bytes(64 * k, 64) for k in range(300)]
        assert log.calls[-1] == (None, None) and log.calls.count((None, None)) == 1

    def test_an_aligned_stream_dropped_early_still_delivers_its_short_block(self, stream_manager):
        device = stream_manager.create_device("o6 w")
        log = CallLog()
        stream = device.start_aligned_read_stream(0, 4, log)
        assert wait_until(lambda: len(log.calls) == 1)
        del stream
        log.wait_end()
        assert log.calls == [(counter_bytes(0, 4), None), (counter_bytes(4, 2), None), (None, None)]

    def test_after_stop_returns_the_callable_is_not_called_again(self, stream_manager):
        device = stream_manager.create_device("c64")
        log = CallLog()
        stream = device.start_read_stream(0, log)
        assert wait_until(lambda: len(log.calls) > 10)
        stream.stop()
        calls = len(log.calls)
        time.sleep(0.05)
        assert len(log.calls) == calls and log.calls[-1] == (None, None)

    def test_stop_from_inside_the_callable_lets_the_rest_follow(self, stream_manager):
        device = stream_manager.create_device("o1 o1 o1 w s")
        log = CallLog()
        holder = {}

        def stop_on_first(data, error):
            log(data, error)
            if len(log.calls) == 1:
                holder["stream"].stop()  # cannot wait for its own thread: returns at once

        holder["stream"] = device.start_read_stream(0, stop_on_first)
        log.wait_end()
        assert log.calls[-1] == (None, None) and log.calls.count((None, None)) == 1


LOCK_ORDER_SCRIPT = """
import sys, threading, pyvorn_device
manager = pyvorn_device.get_device_manager(sys.argv[1])
calls = []
def callback(data, error):
    calls.append((data is not None, error))
for script in ("grab none", "play o1 o1 s"):
    assert manager.create_device(script).start_read_stream(0, callback) is None
try:
    manager.create_device("grab throw").start_aligned_read_stream(0, 4, callback)
    raise AssertionError("no exception")
except RuntimeError as error:
    assert str(error) == "stream refused"
assert calls == [], calls  # a start that gives no stream never calls its callable
ended = threading.Event()
def until_end(data, error):
    if data is None and error is None:
        ended.set()
device = manager.create_device("own c64")
stream = device.start_read_stream(0, until_end)
assert device.trigger(0, 0) == pyvorn_device.ReturnCode.Success  # ends the stream under the lock
assert ended.wait(10)
print("ok")
"""


def test_a_device_releasing_the_callable_under_the_lock_does_not_deadlock(stream_plugin):
    assert_runs_ok(LOCK_ORDER_SCRIPT, str(stream_plugin), timeout=30)


def test_streams_end_cleanly_after_a_subinterpreter_was_created(stream_plugin):
    assert_runs_ok(
        """
import _interpreters, sys, threading, pyvorn_device
_interpreters.destroy(_interpreters.create())
manager = pyvorn_device.get_device_manager(sys.argv[1])
for _ in range(20):
    ended = threading.Event()
    stream = manager.create_device("o8 o8 s").start_read_stream(0, lambda d, e: d or e or ended.set())
    assert ended.wait(10)
    del stream
print("ok")
""",
        str(stream_plugin),
    )
