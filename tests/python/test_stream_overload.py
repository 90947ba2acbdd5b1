"""A callable that falls behind: the queue's bound, the reports of the dropped events and what they
count, and the gaps they leave in aligned streams."""

import threading

from conftest import wait_until
from stream_helpers import CallLog
from vornkit import overflow_counts


def lost_bytes(errors):
    """The bytes the drop reports among `errors` say were lost."""
    return sum(counts[1] for counts in map(overflow_counts, errors) if counts is not None)


def stalled_log():
    """(release, log, callable): the callable stalls until `release` is set, then logs the call."""
    release = threading.Event()
    log = CallLog()

    def stalled(data, error):
        release.wait(30)
        log(data, error)

    return release, log, stalled


def stalled_offsets():
    """(release, calls, callable): the callable stalls until `release` is set, then records a
    chunk's offset, a report's text, or None for the end."""
    release = threading.Event()
    calls = []

    def stalled(data, error):
        release.wait(30)
        calls.append(data.offset if data is not None else error)

    return release, calls, stalled


def walk_in_stream_order(calls, chunk_size):
    """Checks that chunks and drop reports came in stream order with nothing missing: each chunk
    where the position stands, each report moving it past its drops. Returns (position, reports)."""
    position, reports = 0, 0
    for call in calls:
        if isinstance(call, int):
            assert call == position, calls
            position += chunk_size
        else:
            events, data_bytes = overflow_counts(call)
            assert events > 0 and data_bytes == events * chunk_size
            position += data_bytes
            reports += 1
    return position, reports


class TestStalledCallable:
    def test_a_stalled_callable_gets_the_backlog_then_one_report_per_run_of_drops(self, counters, stream_manager):
        release, calls, stalled = stalled_offsets()
        device = stream_manager.create_device("b5000 s")  # 5000 chunks of 64 bytes
        stream = device.start_read_stream(0, stalled, max_queue_elements=64)
        # The producer never waits for the consumer. Held: the chunk being delivered and the 64
        # queued ones; every other one was freed at once (once the last push is over).
        assert wait_until(lambda: counters["stream.chunks_made"] == 5000 and
                          counters["stream.chunks_made"] - counters["stream.chunks_freed"] <= 65)
        release.set()
        assert wait_until(lambda: calls and calls[-1] is None, timeout=30)
        # The first chunk is taken by the delivery thread before the stall; 64 more wait in the
        # queue; the rest are dropped and reported once, in their place. When the delivery thread
        # took its first chunk only after the queue had filled, one more chunk got in among the
        # drops: two runs of drops, two reports.
        position, reports = walk_in_stream_order(calls[:-1], 64)
        chunks = sum(isinstance(call, int) for call in calls)
        assert position == 5000 * 64 and chunks in (64, 65) and 1 <= reports <= 2
        assert calls.count(None) == 1
        del stream
        assert counters["stream.chunks_made"] == counters["stream.chunks_freed"]

    def test_drops_are_reported_at_once_when_the_device_pauses(self, counters, stream_manager):
        # The device bursts, then waits until stopped: the report of the drops must not wait for
        # an event that does not come.
        release, calls, stalled = stalled_offsets()
        stream = stream_manager.create_device("b80 w").start_read_stream(0, stalled, max_queue_elements=64)
        assert wait_until(lambda: counters["stream.chunks_made"] == 80)
        release.set()
        assert wait_until(lambda: walk_in_stream_order(calls, 64)[0] == 80 * 64), \
            f"no drop report while the device paused: {calls}"
        reached = walk_in_stream_order(calls, 64)
        assert 1 <= reached[1] <= 2
        stream.stop()
        assert calls[-1] is None and calls.count(None) == 1
        assert walk_in_stream_order(calls[:-1], 64) == reached  # nothing reported twice


class TestGaps:
    def test_aligned_views_keep_the_grid_across_a_gap(self, counters, stream_manager):
        release, log, stalled = stalled_log()
        places = []

        def placed(data, error):
            if data is not None:
                places.append((data.offset, len(data)))
            stalled(data, error)

        device = stream_manager.create_device(" ".join(["o6"] * 400) + " s")
        stream = device.start_aligned_read_stream(0, 4, placed, max_queue_elements=64)
        assert wait_until(lambda: counters["stream.chunks_made"] == 400)
        release.set()
        log.wait_end(30)
        # Byte k of the stream is k mod 256, so a view's first byte tells its offset modulo 4.
        assert log.chunks and all(c[0] % 4 == 0 and len(c) % 4 == 0 for c in log.chunks)
        assert log.errors and lost_bytes(log.errors) % 4 == 0
        assert sum(map(len, log.chunks)) + lost_bytes(log.errors) == 6 * 400
        # Every view says where it sits: on the grid, and after the gap by as much as was lost.
        assert places[0][0] == 0 and all(offset % 4 == 0 for offset, _ in places)
        jumps = [b[0] - (a[0] + a[1]) for a, b in zip(places, places[1:])]
        # (A hole at the very end shows after the last view.)
        last_end = places[-1][0] + places[-1][1]
        assert min(jumps) == 0 and last_end + lost_bytes(log.errors) - sum(jumps) == 6 * 400

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
