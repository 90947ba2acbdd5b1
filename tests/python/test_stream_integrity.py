"""Nothing lost, nothing corrupted: kept views, the end however a stream ends, overload, gaps,
collected cycles, huge alignments, streams dropped inside their own callback."""

import gc
import threading
import time
import weakref

import numpy as np
import pytest

import pyvorn_device
from conftest import run_python, wait_until
from stream_helpers import CallLog, counter_bytes
from test_sim_streaming import COUNTER, configure
from vornkit import overflow_counts


def lost_bytes(errors):
    """The bytes the drop reports among `errors` say were lost."""
    return sum(counts[1] for counts in map(overflow_counts, errors) if counts is not None)


class TestKeptViews:
    def test_arrays_kept_from_an_aligned_stream_keep_their_bytes(self, sim_plugin):
        device = pyvorn_device.get_device_manager(sim_plugin).create_device("sim1")
        configure(device, WAVEFORM=COUNTER, CHUNK_SIZE=1000, CHUNK_COUNT=2000, CHUNK_RATE=0)
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


def stalled_log():
    """(release, log, callable): the callable stalls until `release` is set, then logs the call."""
    release = threading.Event()
    log = CallLog()

    def stalled(data, error):
        release.wait(30)
        log(data, error)

    return release, log, stalled


class TestOverload:
    def test_a_stalled_stream_holds_at_most_its_limit_and_reports_every_drop(self, counters, stream_manager):
        release, log, stalled = stalled_log()
        device = stream_manager.create_device("b5000 s")
        stream = device.start_read_stream(0, stalled, max_queue_elements=64)
        assert wait_until(lambda: counters["stream.chunks_made"] == 5000)
        # The chunk being delivered and the 64 queued ones; every other one was freed at once.
        assert counters["stream.chunks_made"] - counters["stream.chunks_freed"] <= 65
        release.set()
        log.wait_end(30)
        # One report per run of drops: two when the delivery thread took its first event only
        # after the queue had filled, which let one more event in.
        counts = [overflow_counts(e) for e in log.errors]
        assert 1 <= len(counts) <= 2 and None not in counts
        lost = 5000 - len(log.chunks)
        assert sum(events for events, _ in counts) == lost
        assert lost_bytes(log.errors) == 64 * lost

    def test_aligned_views_keep_the_grid_across_a_gap(self, counters, stream_manager):
        release, log, stalled = stalled_log()
        device = stream_manager.create_device(" ".join(["o6"] * 400) + " s")
        stream = device.start_aligned_read_stream(0, 4, stalled, max_queue_elements=64)
        assert wait_until(lambda: counters["stream.chunks_made"] == 400)
        release.set()
        log.wait_end(30)
        # Byte k of the stream is k mod 256, so a view's first byte tells its offset modulo 4.
        assert log.chunks and all(c[0] % 4 == 0 and len(c) % 4 == 0 for c in log.chunks)
        assert log.errors and lost_bytes(log.errors) % 4 == 0
        assert sum(map(len, log.chunks)) + lost_bytes(log.errors) == 6 * 400

    def test_an_error_inside_a_gap_leaves_one_report_of_whole_blocks(self, counters, stream_manager):
        # The first block, whole in one chunk, stalls the callable during the pause; of the 71
        # chunks of 100 bytes that follow, 64 are queued and the rest are dropped: the gap falls
        # inside the third block of 4096, whose rest is skipped when the next chunks come. The
        # error comes first, once the callable has caught up.
        release, log, stalled = stalled_log()
        device = stream_manager.create_device(
            "o4096 p200 " + "o100 " * 71 + "p500 eX " + "o100 " * 50 + "s")
        stream = device.start_aligned_read_stream(0, 4096, stalled, max_queue_elements=64)
        assert wait_until(lambda: counters["stream.chunks_made"] == 72)
        release.set()
        log.wait_end(30)
        assert "X" in log.errors  # it came inside the gap, not dropped with it
        reports = [error for error in log.errors if error != "X"]
        assert len(reports) == 1 and lost_bytes(reports) % 4096 == 0, reports
        assert sum(map(len, log.chunks)) + lost_bytes(reports) == 4096 + 121 * 100


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


def test_a_huge_alignment_allocates_only_what_arrives(stream_manager):
    device = stream_manager.create_device("o16 s")
    log = CallLog()
    stream = device.start_aligned_read_stream(0, 2**34, log)
    log.wait_end()
    assert log.calls == [(counter_bytes(0, 16), None), (None, None)]


def test_a_stream_dropped_in_its_own_callback_after_its_device_is_gone(stream_plugin):
    result = run_python(
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
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
