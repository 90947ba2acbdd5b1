"""What keeps what alive: chunks after their stream, a stream after its device, streams in garbage
cycles or dropped inside or during their callable, plugins unloaded after their last object."""

import gc
import random
import textwrap
import time
import weakref

import numpy as np
import pytest

import pyvorn_device
from conftest import assert_runs_ok, wait_until
from stream_helpers import COUNTER, CallLog, configure_sim, counter_bytes, samples, start_logged


class TestChunks:
    def test_managed_buffers_outlive_the_stream_and_are_freed_once(self, counters, stream_manager):
        device, stream, log = start_logged(stream_manager, "o8 o8 o8 s", keep=True)
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
        device, stream, log = start_logged(stream_manager, "o3 o3 o3 s")
        log.wait_end()
        del stream
        assert counters["stream.chunks_made"] == counters["stream.chunks_freed"]

    @pytest.mark.isolated
    def test_weak_references_to_chunks_die_with_them(self, stream_manager):
        refs = []

        class Referring(CallLog):
            def __call__(self, data, error):
                if data is not None:
                    refs.append(weakref.ref(data))
                super().__call__(data, error)

        for aligned in (False, True):
            device = stream_manager.create_device("o8 o8 s")
            log = Referring()
            if aligned:
                stream = device.start_aligned_read_stream(0, 4, log)
            else:
                stream = device.start_read_stream(0, log)
            log.wait_end()
            del stream
        gc.collect()
        assert len(refs) == 4 and all(ref() is None for ref in refs)
        objects = [[object()] for _ in range(1000)]  # reuse the freed memory
        refs.clear()  # destroying the weak references must not write into freed memory
        assert len(objects) == 1000


class TestStreamsAndDevices:
    def test_a_stream_goes_on_after_its_device_is_destroyed(self, sim_plugin):
        manager = pyvorn_device.get_device_manager(sim_plugin)
        device = manager.create_device("sim0")
        configure_sim(device, WAVEFORM=COUNTER, CHUNK_SIZE=64, CHUNK_COUNT=0, CHUNK_RATE=1000)
        log = CallLog()
        stream = device.start_read_stream(0, log)
        del device, manager
        gc.collect()
        assert wait_until(lambda: len(log.chunks) >= 10)
        stream.stop()
        log.wait_end()
        values = samples(log, "<u4")
        assert np.array_equal(values, np.arange(values.size, dtype=np.uint32))

    def test_dropping_the_stream_while_its_callable_runs_does_not_deadlock(self, stream_plugin):
        # The callable holds the interpreter lock when it runs; destroying the stream joins the
        # delivery thread, so it must let the callable finish.
        assert_runs_ok(
            textwrap.dedent("""
            import sys, threading, time, pyvorn_device
            manager = pyvorn_device.get_device_manager(sys.argv[1])
            device = manager.create_device("c64")
            inside = threading.Event()
            def callback(data, error):
                inside.set()
                time.sleep(0.05)
            stream = device.start_read_stream(0, callback)
            assert inside.wait(10)
            del stream
            device = manager.create_device("own c64")
            inside.clear()
            stream = device.start_aligned_read_stream(0, 16, callback)
            assert inside.wait(10)
            del device  # this device ends its streams itself
            del stream
            print("ok")
            """),
            str(stream_plugin),
        )


class TestCollectedCycles:
    def test_a_stream_held_by_the_object_of_its_callable_is_collected(self, counters, stream_manager):
        class Acquisition:
            def __init__(self, device):
                self.chunks = 0
                self.stream = device.start_read_stream(0, self.on_chunk)

            def on_chunk(self, data, error):
                calls.append(None)
                self.chunks += 1

        calls = []
        device = stream_manager.create_device("c64")
        acquisition = Acquisition(device)
        assert wait_until(lambda: acquisition.chunks > 5)
        alive = weakref.ref(acquisition)
        del acquisition
        gc.collect()
        assert alive() is None
        made_calls = len(calls)
        time.sleep(0.02)
        assert len(calls) == made_calls  # never called again, not even on a half-cleared object
        assert wait_until(lambda: counters["stream.chunks_made"] == counters["stream.chunks_freed"])
        made = counters["stream.chunks_made"]
        time.sleep(0.02)
        assert counters["stream.chunks_made"] == made  # the device's stream was stopped


def test_a_stream_dropped_in_its_own_callback_after_its_device_is_gone(stream_plugin):
    assert_runs_ok(
        """
import gc, sys, threading, pyvorn_device
from conftest import is_mapped, wait_until
manager = pyvorn_device.get_device_manager(sys.argv[1])
for aligned in (False, True):
    device = manager.create_device("c64")
    done = threading.Event()
    streams = []
    def callback(data, error):
        if streams:
            streams.clear()  # the last reference: the stream ends inside its own callback
        if data is None and error is None:
            done.set()
    start = device.start_aligned_read_stream if aligned else device.start_read_stream
    streams.append(start(0, 4, callback) if aligned else start(0, callback))
    del device, start  # a bound method holds its device
    assert done.wait(10)
del manager
gc.collect()
assert wait_until(lambda: not is_mapped(sys.argv[1]))
print("ok")
""",
        str(stream_plugin),
    )


LOADED_CHECK = """
import gc, sys, pyvorn_device
from conftest import is_mapped
plugin = sys.argv[1]
def loaded():
    return is_mapped(plugin)
"""


class TestPluginStaysLoaded:
    def test_kept_chunks_keep_the_plugin_loaded_after_device_and_manager_are_gone(
        self, stream_plugin
    ):
        assert_runs_ok(
            LOADED_CHECK
            + """
import threading
manager = pyvorn_device.get_device_manager(plugin)
device = manager.create_device("o16 o16 s")
kept = []
done = threading.Event()
def callback(data, error):
    if data is not None:
        kept.append(data)
    else:
        done.set()
stream = device.start_read_stream(0, callback)
assert done.wait(10)
view = memoryview(kept[1])
del manager, device, stream, callback
gc.collect()
assert loaded()
assert bytes(kept[0]) == bytes(range(16))
kept.clear()
assert loaded()                # the memoryview still holds a chunk
assert bytes(view) == bytes(range(16, 32))
del view                       # the chunk's deleter runs, then the plugin goes
assert not loaded()
print("ok")
""",
            str(stream_plugin),
        )

    def test_a_stream_keeps_the_plugin_loaded_until_it_is_destroyed(self, stream_plugin):
        assert_runs_ok(
            LOADED_CHECK
            + """
manager = pyvorn_device.get_device_manager(plugin)
device = manager.create_device("c32")
stream = device.start_read_stream(0, lambda data, error: None)
del manager, device
gc.collect()
assert loaded()
stream.stop()
assert loaded()
del stream
assert not loaded()
print("ok")
""",
            str(stream_plugin),
        )


@pytest.mark.slow
class TestStress:
    def test_random_start_stop_cycles_and_drop_orders_balance_every_chunk(self, counters, stream_manager):
        rng = random.Random(1234)
        probe = stream_manager.create_device("none")
        orders = ["device", "stream", "manager"]
        for cycle in range(40):
            streams = []
            for index in range(rng.randint(1, 3)):
                script = rng.choice(["c64", "own c64", "o8 o8 w s", "o3 p1 o5 s", "c1"])
                device = stream_manager.create_device(script)
                if rng.random() < 0.5:
                    stream = device.start_read_stream(0, CallLog(keep=rng.random() < 0.3))
                else:
                    stream = device.start_aligned_read_stream(0, rng.randint(1, 64), CallLog())
                streams.append({"device": device, "stream": stream})
            time.sleep(rng.random() * 0.005)
            for entry in streams:
                if rng.random() < 0.5:
                    entry["stream"].stop()
                for name in rng.sample(orders[:2], 2):
                    entry.pop(name)
            streams.clear()
            gc.collect()
        assert counters["stream.chunks_made"] == counters["stream.chunks_freed"]
