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


class TestGaps:
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
