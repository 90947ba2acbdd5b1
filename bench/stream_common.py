"""Shared parts of the stream benchmarks: where the plugins and native parts are, CPU and
percentile helpers, the callables, running k streams of a device to their end, and the ticker
that shows how long delivery threads keep the interpreter lock.

Only the module's Python API and the plugins are used, so the benchmarks measure whatever
delivery the module has.
"""

import argparse
import os
import pathlib
import queue
import resource
import struct
import sys
import threading
import time

import pyvorn_device

ROOT = pathlib.Path(__file__).resolve().parents[1]
SIM = pathlib.Path(sys.prefix) / "lib" / "vorn" / "plugins" / "libvorn_sim.so"
COUNTER = 0
ACQ = {"WAVEFORM": 0x100, "CHUNK_SIZE": 0x104, "CHUNK_RATE": 0x108, "CHUNK_COUNT": 0x10C}
PACED_RATES = (100, 1_000, 5_000, 20_000, 100_000)
STAMP = struct.Struct("<q")  # the paced producer's CLOCK_MONOTONIC ns, first bytes of a chunk


def add_natives_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--natives", type=pathlib.Path,
                        default=ROOT / "build" / "bench" / "bench",
                        help="where the native benchmark parts are (scripts/bench builds them)")


def process_cpu() -> float:
    """User + system CPU seconds of the whole process, all threads."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def percentile(values, p: float) -> float:
    ordered = sorted(values)
    return ordered[int(p * (len(ordered) - 1))] if ordered else float("nan")


class Ends:
    """Where the callables of a run report the end of their stream (None) and errors (text)."""

    def __init__(self):
        self._reports = queue.SimpleQueue()
        self.put = self._reports.put

    def wait(self, streams: int) -> list:
        """Waits until `streams` streams have ended; returns the errors reported meanwhile."""
        errors = []
        while streams:
            report = self._reports.get()
            if report is None:
                streams -= 1
            else:
                errors.append(report)
        return errors


def touching_callable(ends: Ends):
    """The saturated benchmarks' callable: it takes memoryview(chunk) and nothing more."""
    def on_chunk(data, error):
        if data is not None:
            memoryview(data)
        else:
            ends.put(error)
    return on_chunk


def timing_callable(ends: Ends, delays: list):
    """The paced benchmarks' callable: takes memoryview(chunk) and appends the time in ns from the
    chunk's hand-over (its stamp) to the callable's entry to `delays`."""
    monotonic_ns, unpack = time.monotonic_ns, STAMP.unpack_from

    def on_chunk(data, error):
        now = monotonic_ns()
        if data is not None:
            delays.append(now - unpack(memoryview(data))[0])
        else:
            ends.put(error)
    return on_chunk


def run_streams(device, streams: int, on_chunk, ends: Ends, chunk_size: int = 0,
                max_queue: int = 4096):
    """Starts `streams` read streams of `device` delivering to `on_chunk` and waits until all have
    ended. Returns (seconds, CPU seconds of the process) from before the first start until the last
    end. Any error a stream reports (a queue overflow, say) ends the benchmark."""
    cpu = process_cpu()
    start = time.perf_counter()
    handles = [device.start_read_stream(0, on_chunk, chunk_size, max_queue)
               for _ in range(streams)]
    errors = ends.wait(streams)
    seconds, cpu = time.perf_counter() - start, process_cpu() - cpu
    del handles
    if errors:
        raise SystemExit(f"stream error: {errors[0]} ({len(errors)} errors)")
    return seconds, cpu


def counter_sim(total: int, size: int) -> pyvorn_device.Device:
    """A simulated device whose next stream is the counter at full speed: `total` bytes in chunks
    of `size`."""
    sim = pyvorn_device.get_device_manager(SIM).create_device("sim0")
    settings = {"WAVEFORM": COUNTER, "CHUNK_SIZE": size, "CHUNK_RATE": 0,
                "CHUNK_COUNT": total // size}
    for name, value in settings.items():
        sim.set_register(ACQ[name], value, 0)
    if sim.send_registers() != pyvorn_device.ReturnCode.Success:
        raise SystemExit("the simulated device refused its settings")
    return sim


def saturated_sim(device, streams: int, chunks: int, size: int) -> float:
    """`streams` acquisitions of the simulated `device` at once, each `chunks` counter chunks of
    `size` bytes as fast as possible (nothing dropped); the seconds until the last one ended."""
    for name, value in (("WAVEFORM", COUNTER), ("CHUNK_SIZE", size), ("CHUNK_RATE", 0),
                        ("CHUNK_COUNT", chunks)):
        device.set_register(ACQ[name], value, 0)
    device.send_registers()
    ends = Ends()
    seconds, _ = run_streams(device, streams, touching_callable(ends), ends,
                             max_queue=chunks + 1024)
    return seconds


def paced_plugin(natives: pathlib.Path):
    """The manager of the paced benchmark plugin (bench/paced_plugin.cpp)."""
    return pyvorn_device.get_device_manager(natives / "libvorn_bench_paced.so")


def paced(manager, streams: int, rate: float, size: int, seconds: float):
    """`streams` paced streams at once, each `rate` chunks of `size` bytes a second for `seconds`.
    Returns (wall seconds, CPU seconds, push-to-entry delays in ns of all chunks)."""
    count = max(1, round(rate * seconds))
    device = manager.create_device(f"rate={rate} count={count}")
    ends, delays = Ends(), []
    wall, cpu = run_streams(device, streams, timing_callable(ends, delays), ends, size,
                            max_queue=count + 1024)
    return wall, cpu, delays


class Tally:
    """What the paced runs of one contender in one setting add up to over the rounds."""

    def __init__(self):
        self.wall = self.cpu = 0.0
        self.delays = []

    def add(self, wall, cpu, delays):
        self.wall += wall
        self.cpu += cpu
        self.delays += delays

    def rate(self):
        return len(self.delays) / self.wall

    def cpu_percent(self):
        return 100 * self.cpu / self.wall

    def latency_us(self, p):
        return percentile(self.delays, p) / 1e3


def idle_cpu_percent(manager, seconds: float = 1.0) -> float:
    """CPU of the process, in % of a core, while one stream is open and nothing is pushed."""
    ends = Ends()
    stream = manager.create_device("rate=0").start_read_stream(0, touching_callable(ends))
    time.sleep(0.1)  # past any polling after the start
    cpu, start = process_cpu(), time.perf_counter()
    time.sleep(seconds)
    percent = 100 * (process_cpu() - cpu) / (time.perf_counter() - start)
    stream.stop()
    ends.wait(1)
    return percent


class Ticker:
    """A Python thread that sleeps 1 ms at a time and notes how late it wakes up: beyond the
    timer's own slack, the time it waited for the interpreter lock, which shows how long other
    threads (delivery threads) keep it at a time. It asks for real-time priority (SCHED_FIFO), so
    that once the lock is free it runs at once instead of also waiting for a core behind busy
    threads; `realtime` says whether it got it. A context manager; `late_ms(p)` after it."""

    SLEEP = 0.001

    def __enter__(self):
        self._stop = threading.Event()
        self._late = []
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._tick, daemon=True)
        self._thread.start()
        self._ready.wait()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def _tick(self):
        try:
            os.sched_setscheduler(threading.get_native_id(), os.SCHED_FIFO, os.sched_param(1))
            self.realtime = True
        except OSError:  # not permitted: normal priority
            self.realtime = False
        self._ready.set()
        monotonic_ns, sleep, late, stop = time.monotonic_ns, time.sleep, self._late, self._stop
        while not stop.is_set():
            before = monotonic_ns()
            sleep(self.SLEEP)
            late.append(monotonic_ns() - before - self.SLEEP * 1e9)

    def late_ms(self, p: float) -> float:
        return percentile(self._late, p) / 1e6
