"""Soak: devices, managers and streams started, stopped and dropped at random from several Python
threads at once, and interpreter exits at random moments; it prints what it covered.

Design note. The soak runs in a child interpreter, so that a crash or a hang fails this test only,
with the child's output and, on a hang, every thread's traceback. The child works in epochs: for
each, THREADS worker threads pick random operations on pools of managers, devices and streams that
they share (start plain and aligned streams, stop, `with`, drop while running, share an object and
drop it again, collect garbage), on the stream test plugin (scripted streams that report to the
counters library), the simulated device and Python-implemented devices. Every stream's callable is a
Probe: it may be slow, stall, raise, keep chunks, stop or drop its own stream, drop its device or
collect garbage, and it checks what it is handed (the bytes go on past exactly the bytes reported
lost; aligned views keep their grid). Then everything is dropped and the child waits, with a bounded
poll, until the ends have arrived and the threads have gone, and checks the books: chunks made ==
chunks freed; no stream handle, player or device of the plugin left; both plugins unloaded; the
thread count back where it started; one end for each start that gave a stream and no call after it
(a stream collected as garbage, whose callable holds it, may miss its end by design); stop() and
leaving `with` return only after the end. The resident memory is read at these quiet points; after
the first epoch (the warm-up) it must stay within RSS_BOUND. Meanwhile this process runs exit
subprocesses one after another: each starts random streams, with callables blocked for ever among
them, and ends at a random moment: normally, by sys.exit(3), an unhandled exception or SIGINT.

Running it: the short run (about 30 s) is part of the normal suite, marked slow (`-m "not slow"`
leaves it out). A long run: `pytest tests/python/test_soak.py --soak-seconds 1800`. The seed is
printed; `--soak-seed N` (or VORN_SOAK_SEED=N) replays its random choices; the threads' timing,
and with it what they find in the pools, differs from run to run.
"""

import collections
import ctypes
import faulthandler
import gc
import json
import os
import pathlib
import queue
import random
import signal
import subprocess
import sys
import threading
import time
import traceback
import weakref
import zlib

import pytest

import pyvorn_device
from conftest import UNDER_ASAN, Counters, child_env, is_mapped, plugin_build_dir, run_python, wait_until
from vornkit import OVERFLOW_PREFIX, overflow_counts

MIB = 2**20
SHORT_SECONDS = 22  # the child's working time in the normal suite
EPOCH_SECONDS = 5.5
THREADS = 4
MAX_STREAMS = 6  # streams in the shared pool, so that two shared cores keep up
MAX_DEVICES = 8
MAX_MANAGERS = 4
MAX_KEPT = 400  # chunks kept by callables; the older half is released beyond that
SETTLE_SECONDS = 30  # bound of the waits for ends, threads and unloading
RSS_BOUND = 20 * MIB  # growth allowed after the warm-up epoch
EXIT_SECONDS = 30 if UNDER_ASAN else 10  # bound of one whole exit subprocess: a hang guard

BAD_OUTPUT = ("Fatal Python error", "Sanitizer", "terminate called", "Segmentation fault", "Aborted")

# Stream plugin scripts: endless until stopped, ending by themselves, bursts that overflow small
# queues, released callbacks, errors, devices that end their streams, starts that give no stream.
SCRIPTS = [
    "c64", "c1", "own c64", "own w s", "o8 o8 w s", "b500 w s", "o3 p1 o5 s", "b2000 s",
    "v16 o16 eoops x s", "r", "o4 r", "own b300 p2 c16", "none", "null", "throw",
]
NO_STREAM = ("none", "null")
SCRIPT_ERRORS = ("oops", "bad \ufffd\ufffd text")
ALIGNMENTS = [None, None, None, 1, 3, 4, 64, 100, 4096]
SIM_OPTIONS = ["sim0", "sim1 memory=4k", "device=sim2"]
# Simulated acquisition registers and the values the soak picks from: waveform, chunk size, chunk
# rate, chunk count (0: until stopped), view mode, error interval.
SIM_REGISTERS = {
    0x100: [0, 1, 2, 3, 4],
    0x104: [64, 512, 4096],
    0x108: [500, 2000, 5000],
    0x10C: [0, 0, 20, 200],
    0x118: [0, 1],
    0x11C: [0, 0, 7],
}


def thread_count():
    return len(os.listdir("/proc/self/task"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class PythonDevice(pyvorn_device.Device):
    """A Python-implemented device: its stream starts give no stream."""

    def __init__(self):
        pyvorn_device.Device.__init__(self)


class StreamRecord:
    """What one stream's callable was handed. Held by the epoch, not the callable's object, so
    that a stream in a reference cycle with its callable can still be collected."""

    def __init__(self, name):
        self.name = name
        self.started = False  # the start gave a DataStream
        self.in_cycle = False  # the callable holds its stream: collected as garbage, maybe unheard
        self.calls = self.chunks = self.drops = self.ends = self.after_end = 0
        self.faults = []  # the first few things it was handed wrong
        self.injected = collections.Counter()

    def fault(self, text):
        if len(self.faults) < 3:
            self.faults.append(text)


class Probe:
    """A stream's callable: counts and checks what it is handed, and misbehaves as it was told:
    slow, stalled, raising, keeping chunks, stopping or dropping its own stream, dropping its
    device, or collecting garbage (maybe other streams) on its delivery thread."""

    KINDS = ("quiet", "slow", "stall", "keep", "stop_self", "drop_self", "drop_device", "collect")

    def __init__(self, epoch, rng, device, alignment):
        self.epoch = epoch
        self.rng = random.Random(rng.random())  # the delivery thread's own
        self.kind = rng.choice(self.KINDS)
        self.raises = rng.random() < 0.2
        self.alignment = alignment
        self.counted = device.plugin == "stream"  # byte k of the stream is k mod 256
        self.plugin = device.plugin
        self.bound = rng.randint(1, 50)  # the call on which it stops or drops its own stream
        self.budget = 0.2  # seconds it may spend slow or stalled
        self.stream = None  # for stop_self: a weak reference, or the stream itself (a cycle)
        self.device = weakref.ref(device)
        self.expect = 0  # the first byte of the next chunk, when the bytes are counted
        self.lost = 0  # bytes reported lost since the last chunk
        self.short = False  # the last view was not a whole multiple of the alignment
        form = "plain" if alignment is None else f"aligned {alignment}"
        raising = ", raising" if self.raises else ""
        self.record = StreamRecord(f"{device.plugin} {device.script!r} {form}, {self.kind}{raising}")

    def __call__(self, data, error):
        record = self.record
        record.calls += 1
        if record.ends:
            record.after_end += 1
        if data is not None:
            record.chunks += 1
            self.check_chunk(data)
        elif error is None:
            record.ends += 1
        elif error.startswith(OVERFLOW_PREFIX):
            self.check_drop_report(error)
        elif self.plugin == "stream" and error not in SCRIPT_ERRORS:
            record.fault(f"unexpected error {error!r}")
        self.misbehave(data)

    def check_drop_report(self, error):
        self.record.drops += 1
        counts = overflow_counts(error)
        if counts is None:
            return self.record.fault(f"malformed drop report {error!r}")
        self.lost += counts[1]
        return None

    def check_chunk(self, data):
        """A drop report stands where the bytes were lost: counted bytes go on from the chunk
        before, past exactly the bytes reported. An aligned stream keeps its grid: only its last
        view may be short, and a gap before a view is whole blocks."""
        with memoryview(data) as view:
            size = len(view)
            if size == 0:
                return
            first, last = view[0], view[-1]
        skipped = (first - self.expect) % 256
        if self.counted and skipped != self.lost % 256:
            self.record.fault(f"skipped {skipped} bytes (mod 256) where drop reports said {self.lost}")
        if self.alignment is not None:
            if self.short or self.lost % self.alignment:
                self.record.fault(f"a view off the grid of {self.alignment} ({self.lost} bytes lost before)")
            self.short = size % self.alignment != 0
        self.expect, self.lost = (last + 1) % 256, 0

    def misbehave(self, data):
        injected = self.record.injected
        if self.kind in ("slow", "stall") and self.budget > 0:
            if self.kind == "slow":
                pause = self.rng.random() * 0.002
            else:
                pause = 0.05 if self.rng.random() < 0.05 else 0
            if pause:
                self.epoch.release.wait(pause)  # set at the end of the epoch: no stall outlasts it
                self.budget -= pause
                injected[self.kind] += 1
        elif self.kind == "keep" and data is not None and self.rng.random() < 0.3:
            self.epoch.keep(data, self.alignment is not None)
            injected["chunks kept"] += 1
        elif self.kind == "stop_self" and self.record.calls == self.bound:
            stream = self.stream() if isinstance(self.stream, weakref.ref) else self.stream
            if stream is not None:
                stream.stop()  # from the callable: does not wait for its own end
                injected["stopped by its callable"] += 1
        elif self.kind == "drop_self" and self.record.calls == self.bound:
            if self.epoch.drop_streams_of(self):
                injected["dropped by its callable"] += 1
        elif self.kind == "drop_device" and self.record.calls == self.bound:
            if self.epoch.drop_device(self.device()):
                injected["device dropped by a callable"] += 1
        elif self.kind == "collect" and self.record.calls == self.bound:
            gc.collect()
            injected["collected by a callable"] += 1
        if self.raises and self.rng.random() < 0.1:
            injected["callable raised"] += 1
            raise ValueError("soak: the callable fails")


class DeviceEntry:
    __slots__ = ("device", "plugin", "script", "__weakref__")

    def __init__(self, device, plugin, script):
        self.device, self.plugin, self.script = device, plugin, script


class StreamEntry:
    __slots__ = ("stream", "probe")

    def __init__(self, stream, probe):
        self.stream, self.probe = stream, probe


class Epoch:
    """The objects the workers of one epoch share, and what happened to them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.pools = {"managers": [], "devices": [], "streams": []}
        self.kept = []  # (chunk, memoryview of a DataView or None, crc32 of a ManagedBuffer)
        self.records = []
        self.release = threading.Event()
        self.faults = []

    def add(self, pool, item):
        with self.lock:
            self.pools[pool].append(item)

    def size(self, pool):
        with self.lock:
            return len(self.pools[pool])

    def pick(self, rng, pool, pop=False):
        with self.lock:
            items = self.pools[pool]
            if not items:
                return None
            index = rng.randrange(len(items))
            return items.pop(index) if pop else items[index]

    def drop_streams_of(self, probe):
        return self.remove("streams", lambda entry: entry.probe is probe)

    def drop_device(self, device):
        return self.remove("devices", lambda entry: entry is device)

    def remove(self, pool, which):
        """Takes the items `which` picks out of the pool; true if there were any. They are
        dropped on return, out of the lock: maybe their last reference."""
        with self.lock:
            items = self.pools[pool]
            taken = [item for item in items if which(item)]
            items[:] = [item for item in items if not which(item)]
        return bool(taken)

    def keep(self, data, aligned):
        item = (data, memoryview(data), None) if aligned else (data, None, zlib.crc32(data))
        with self.lock:
            self.kept.append(item)
            released = self.kept[: MAX_KEPT // 2] if len(self.kept) > MAX_KEPT else []
            del self.kept[: len(released)]
        self.check_kept(released)

    def check_kept(self, items):
        """Kept ManagedBuffers still hold their bytes; a DataView whose callback returned refuses
        new exports, while an export taken in the callback still reads its bytes."""
        for chunk, view, crc in items:
            if view is None:
                if zlib.crc32(chunk) != crc:
                    self.faults.append("a kept chunk's bytes changed")
                continue
            bytes(view)
            view.release()
            try:
                memoryview(chunk).release()
                self.faults.append("a DataView gave an export after its callback returned")
            except BufferError:
                pass

    def release_kept(self):
        with self.lock:
            items, self.kept = self.kept, []
        self.check_kept(items)

    def unheard(self):
        """The streams that should have heard their end and have not (yet)."""
        return [r.name for r in self.records if r.started and not r.ends and not r.in_cycle]

    def clear(self):
        with self.lock:
            pools = list(self.pools.values())
            self.pools = {name: [] for name in self.pools}
        for items in pools:
            items.clear()  # managers, then devices (maybe still streaming), then streams
        self.release_kept()


class Worker:
    """One thread of an epoch: random operations on the shared pools until the deadline."""

    OPERATIONS = {
        "new manager": 3, "drop manager": 2, "new device": 8, "drop device": 5, "start": 14,
        "stop": 5, "race stop": 2, "drop stream": 5, "share": 3, "collect": 1, "release kept": 2,
    }

    def __init__(self, soak, epoch, rng):
        self.soak, self.epoch, self.rng = soak, epoch, rng
        self.done = collections.Counter()
        self.injected = collections.Counter()
        self.stream_starts = 0

    def run(self, deadline):
        names, weights = list(self.OPERATIONS), list(self.OPERATIONS.values())
        while time.monotonic() < deadline:
            name = self.rng.choices(names, weights)[0]
            self.guarded(name, getattr(self, name.replace(" ", "_")))
            self.done[name] += 1

    def guarded(self, name, operation):
        try:
            operation()
        except Exception:
            self.epoch.faults.append(f"{name} raised:\n{traceback.format_exc(limit=4)}")

    def new_manager(self):
        if self.epoch.size("managers") < MAX_MANAGERS:
            plugin = self.rng.choice(["stream", "sim"])
            self.epoch.add("managers", (plugin, self.soak.manager(plugin)))

    def new_device(self):
        if self.epoch.size("devices") >= MAX_DEVICES:
            return self.drop_device()
        plugin = self.rng.choices(["stream", "sim", "python"], [6, 3, 1])[0]
        if plugin == "python":
            return self.epoch.add("devices", DeviceEntry(PythonDevice(), plugin, ""))
        with self.epoch.lock:
            managers = [m for p, m in self.epoch.pools["managers"] if p == plugin]
        # Without a manager in the pool, one made for this device only: the device keeps it.
        manager = self.rng.choice(managers) if managers else self.soak.manager(plugin)
        if plugin == "sim" and self.rng.random() < 0.05:
            with pytest.raises(ValueError, match="unknown device"):
                manager.create_device("sim9")
            self.injected["bad device options"] += 1
            return None
        script = self.rng.choice(SCRIPTS if plugin == "stream" else SIM_OPTIONS)
        device = manager.create_device(script)
        if plugin == "sim":  # the settings are part of its name, for a reproduction
            settings = {address: self.rng.choice(values) for address, values in SIM_REGISTERS.items()}
            codes = [device.set_register(address, value, 0) for address, value in settings.items()]
            if set(codes + [device.send_registers()]) != {pyvorn_device.ReturnCode.Success}:
                self.epoch.faults.append(f"registers of {script} not set: {codes}")
            script += " " + " ".join(f"{address:#x}={value}" for address, value in settings.items())
        self.epoch.add("devices", DeviceEntry(device, plugin, script))
        return None

    def start(self):
        if self.epoch.size("streams") >= MAX_STREAMS:
            return self.drop_stream()
        entry = self.epoch.pick(self.rng, "devices")
        if entry is None:
            return self.new_device()
        alignment = self.rng.choice(ALIGNMENTS)
        probe = Probe(self.epoch, self.rng, entry, alignment)
        record = probe.record
        self.epoch.records.append(record)
        queue_size = self.rng.choice([64, 256, 4096])
        self.stream_starts += entry.plugin == "stream"
        try:
            if alignment is None:
                stream = entry.device.start_read_stream(0, probe, max_queue_elements=queue_size)
            else:
                start = entry.device.start_aligned_read_stream
                stream = start(0, alignment, probe, max_queue_elements=queue_size)
        except RuntimeError as error:
            if entry.script != "throw" or str(error) != "stream refused":
                raise
            self.injected["refused starts"] += 1
            return None
        record.started = stream is not None
        if record.started == (entry.script in NO_STREAM or entry.plugin == "python"):
            self.epoch.faults.append(f"start gave {stream!r}: {record.name}")
        if stream is None:
            return None
        if probe.kind == "stop_self":
            record.in_cycle = self.rng.random() < 0.5
            probe.stream = stream if record.in_cycle else weakref.ref(stream)
        style = self.rng.choice(["pool", "pool", "with", "drop"])
        if style == "pool":
            self.epoch.add("streams", StreamEntry(stream, probe))
        elif style == "with":
            with stream:
                self.epoch.release.wait(self.rng.random() * 0.02)
            self.check_ended(record, "leaving `with`")
        else:
            self.epoch.release.wait(self.rng.random() * 0.005)
            self.injected["dropped while running"] += 1  # at the return: no wait for its end
        return None

    def check_ended(self, record, how):
        if record.ends != 1:
            self.epoch.faults.append(f"{how} returned after {record.ends} ends: {record.name}")

    def stop(self):
        entry = self.epoch.pick(self.rng, "streams")
        if entry is not None:
            entry.stream.stop()
            self.check_ended(entry.probe.record, "stop()")

    def race_stop(self):
        """Two threads stop one stream at once; both return after its end."""
        entry = self.epoch.pick(self.rng, "streams")
        if entry is None:
            return
        other = threading.Thread(target=self.guarded, args=("race stop", entry.stream.stop))
        other.start()
        entry.stream.stop()
        other.join()
        self.check_ended(entry.probe.record, "racing stop()")

    def drop(self, pool):
        if self.epoch.pick(self.rng, pool, pop=True) is not None:
            self.injected[f"{pool} dropped"] += 1  # the last reference goes at the return

    def drop_manager(self):
        self.drop("managers")

    def drop_device(self):
        self.drop("devices")

    def drop_stream(self):
        self.drop("streams")

    def share(self):
        """The same object twice in its pool: one drop leaves it to the other, or to another
        thread that holds it meanwhile."""
        pool = self.rng.choice(list(self.epoch.pools))
        item = self.epoch.pick(self.rng, pool)
        if item is not None:
            self.epoch.add(pool, item)

    def collect(self):
        gc.collect()

    def release_kept(self):
        self.epoch.release_kept()


class Soak:
    """The child's side: epochs of workers, then the books."""

    def __init__(self, config):
        self.config = config
        self.paths = {"stream": config["stream"], "sim": config["sim"]}
        self.counters = Counters(ctypes.CDLL(str(plugin_build_dir() / "libvorn_test_counters.so")))
        self.done = collections.Counter()
        self.injected = collections.Counter()
        self.stream_starts = 0
        self.streams = collections.Counter()
        self.faults = []
        self.rss = [resident_bytes()]  # at the start, then after each epoch
        self.threads = [thread_count()]

    def manager(self, plugin):
        return pyvorn_device.get_device_manager(self.paths[plugin])

    def run(self):
        seconds = self.config["seconds"]
        epochs = max(1, round(seconds / EPOCH_SECONDS))
        for number in range(epochs):
            self.run_epoch(number, seconds / epochs)
            if self.faults:
                break  # the first epoch that went wrong, reported alone
        return {
            "epochs": number + 1,
            "operations": self.done,
            "injected": self.injected,
            "streams": self.streams,
            "chunks": [self.counters["stream.chunks_made"], self.counters["stream.chunks_freed"]],
            "threads": self.threads,
            "rss": self.rss,
            "faults": self.faults,
        }

    def run_epoch(self, number, seconds):
        epoch = Epoch()
        seed = self.config["seed"]
        workers = [Worker(self, epoch, random.Random(f"{seed}/{number}/{i}")) for i in range(THREADS)]
        deadline = time.monotonic() + seconds
        threads = [threading.Thread(target=w.run, args=(deadline,), daemon=True) for w in workers]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(seconds + SETTLE_SECONDS)
            if thread.is_alive():
                self.hung(epoch, number, "a worker thread did not return")
        epoch.release.set()
        epoch.clear()
        gc.collect()  # streams in cycles with their callables
        if not wait_until(lambda: not epoch.unheard(), SETTLE_SECONDS):
            unheard = epoch.unheard()
            self.hung(epoch, number, f"{len(unheard)} streams did not hear their end: {unheard[:5]}")
        epoch.release_kept()  # kept by callables that ran after the clear
        gc.collect()
        settled = wait_until(self.settled, SETTLE_SECONDS)
        for worker in workers:
            self.done.update(worker.done)
            self.injected.update(worker.injected)
            self.stream_starts += worker.stream_starts
        self.check(epoch, number, settled)

    def settled(self):
        c = self.counters
        return (
            c["stream.chunks_made"] == c["stream.chunks_freed"]
            and c["stream.handles"] == c["stream.players"] == c["stream.devices"] == 0
            and thread_count() <= self.threads[0]
            and not any(is_mapped(path) for path in self.paths.values())
        )

    def check(self, epoch, number, settled):
        faults = list(epoch.faults)
        for record in epoch.records:
            self.injected.update(record.injected)
            self.streams["callable calls"] += record.calls
            self.streams["drop reports"] += record.drops
            self.streams["starts"] += 1
            self.streams["gave a stream"] += record.started
            self.streams["collected without an end"] += record.started and not record.ends
            wrong = list(record.faults)
            if not record.started and record.calls:
                wrong.append(f"{record.calls} calls, but its start gave no stream")
            if record.started and not record.in_cycle and record.ends != 1:
                wrong.append(f"{record.ends} ends")
            if record.ends > 1 or record.after_end:
                wrong.append(f"{record.ends} ends, {record.after_end} calls after the end")
            faults += [f"{record.name}: {text}" for text in wrong]
        c = self.counters
        if c["stream.starts"] != self.stream_starts:
            faults.append(f"the plugin counted {c['stream.starts']} starts, Python {self.stream_starts}")
        if not settled:
            names = ("chunks_made", "chunks_freed", "handles", "players", "devices")
            books = ", ".join(f"{name} {c['stream.' + name]}" for name in names)
            mapped = [plugin for plugin, path in self.paths.items() if is_mapped(path)]
            threads = f"threads {thread_count()} (at the start {self.threads[0]})"
            faults.append(f"not settled: {books}; {threads}; still loaded: {mapped}")
        self.faults += [f"epoch {number}: {text}" for text in faults]
        self.rss.append(resident_bytes())
        self.threads.append(thread_count())

    def hung(self, epoch, number, what):
        """Reports a hang with every thread's traceback, then ends the child: threads are stuck."""
        self.faults += [f"epoch {number}: {text}" for text in epoch.faults + [what]]
        faulthandler.dump_traceback(all_threads=True)
        pathlib.Path(self.config["result"]).write_text(json.dumps({"faults": self.faults}))
        os._exit(1)


def soak_main(argv):
    """The child's entry: runs the soak described by the JSON argument, writes the result."""
    config = json.loads(argv[0])
    faulthandler.enable()  # a crash shows every thread's traceback
    faulthandler.dump_traceback_later(config["seconds"] + 3 * SETTLE_SECONDS, exit=True)
    result = Soak(config).run()
    pathlib.Path(config["result"]).write_text(json.dumps(result))


EXIT_HOWS = {"end": 0, "exit": 3, "raise": 1, "sigint": -signal.SIGINT}
EXIT_SCRIPTS = ["c64", "own c64", "b500 w s", "c1", "o3 p1 o5 s", "r"]


def exit_main(argv):
    """An exit subprocess: random streams, some with callables that never return, then an exit
    at a random moment, `how` it was told."""
    faulthandler.enable()
    stream_path, sim_path, seed, how = argv
    rng = random.Random(int(seed))
    paths = {"stream": stream_path, "sim": sim_path}
    managers = {plugin: pyvorn_device.get_device_manager(path) for plugin, path in paths.items()}
    forever = threading.Event()
    full = queue.Queue(maxsize=1)
    full.put(None)

    def quick(data, error):
        pass

    def slow(data, error):
        time.sleep(0.001)

    def blocked(data, error):
        forever.wait()

    def jammed(data, error):
        full.put(data)  # the queue stays full: blocks for ever, holding the chunk

    def failing(data, error):
        raise ValueError("soak: the callable fails")

    def keeping(data, error):
        kept.append(data)  # chunks still held when the interpreter ends

    running, blocking, kept = [], [], []
    for _ in range(rng.randint(1, 5)):
        plugin = rng.choice(list(managers))
        device = managers[plugin].create_device(rng.choice(EXIT_SCRIPTS) if plugin == "stream" else "sim0")
        callback = rng.choice([quick, slow, blocked, jammed, failing, keeping])
        if rng.random() < 0.5:
            stream = device.start_read_stream(0, callback)
        else:
            stream = device.start_aligned_read_stream(0, rng.choice([1, 4, 100]), callback)
        running.append((device, stream))
        if callback in (blocked, jammed):
            blocking.append(stream)
    if rng.random() < 0.5:
        threading.Thread(target=exit_churn, args=(managers["stream"], rng.random()), daemon=True).start()
    time.sleep(rng.random() * 0.3)
    for _ in range(rng.randint(0, len(running))):
        running.pop(rng.randrange(len(running)))  # some streams and devices dropped before the exit
    if how == "exit":
        sys.exit(3)
    if how == "raise":
        raise RuntimeError("soak: unhandled")
    if how == "sigint":
        if blocking and rng.random() < 0.5:
            # stop() waits for a callable that never returns: Ctrl-C must end the wait.
            threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
            blocking[0].stop()
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(EXIT_SECONDS)


def exit_churn(manager, seed):
    """A daemon thread that starts, stops and drops streams until the interpreter ends it."""
    rng = random.Random(seed)
    while True:
        device = manager.create_device(rng.choice(EXIT_SCRIPTS))
        stream = device.start_read_stream(0, lambda data, error: None)
        time.sleep(rng.random() * 0.01)
        if rng.random() < 0.5:
            stream.stop()
        del device, stream


EXIT_CODE = "import sys, test_soak; test_soak.exit_main(sys.argv[1:])"


def run_exit(paths, seed, how):
    """Runs one exit subprocess; returns (seconds, what went wrong or None)."""
    args = (str(paths["stream"]), str(paths["sim"]), str(seed), how)
    replay = f"cd tests/python && python -c '{EXIT_CODE}' {' '.join(args)}"
    began = time.monotonic()
    try:
        result = run_python(EXIT_CODE, *args, timeout=3 * EXIT_SECONDS)
    except subprocess.TimeoutExpired:
        return 3 * EXIT_SECONDS, f"exit subprocess hung ({replay})"
    seconds = time.monotonic() - began
    wrong = [f"stderr has {text!r}" for text in BAD_OUTPUT if text in result.stderr]
    if result.returncode != EXIT_HOWS[how]:
        wrong.append(f"exit status {result.returncode}, expected {EXIT_HOWS[how]}")
    if seconds > EXIT_SECONDS:
        wrong.append(f"took {seconds:.1f} s")
    expected = {"raise": "RuntimeError: soak: unhandled", "sigint": "KeyboardInterrupt"}.get(how)
    if expected and expected not in result.stderr:
        wrong.append(f"stderr lacks {expected!r}")
    if not wrong:
        return seconds, None
    return seconds, f"exit subprocess ({replay}): {'; '.join(wrong)}\n{result.stderr[-3000:]}"


def run_exits(rng, paths, going_on):
    """Exit subprocesses one after another, each way of exiting in turn, at least once each and
    while going_on(); returns (exits by how, the slowest in seconds, faults)."""
    exits, slowest, faults = collections.Counter(), 0.0, []
    while exits.total() < len(EXIT_HOWS) or going_on():
        how = list(EXIT_HOWS)[exits.total() % len(EXIT_HOWS)]
        seconds, wrong = run_exit(paths, rng.randrange(2**32), how)
        exits[f"exits {how}"] += 1
        slowest = max(slowest, seconds)
        faults += [wrong] if wrong else []
    return exits, slowest, faults


def mib(value):
    return f"{value / MIB:.1f} MiB"


def counted(title, counts):
    return f"{title} {sum(counts.values())}: " + ", ".join(f"{k} {n}" for k, n in sorted(counts.items()))


@pytest.mark.slow
def test_soak(request, tmp_path, stream_plugin, sim_plugin, figures):
    seconds = request.config.getoption("soak_seconds") or SHORT_SECONDS
    seed = request.config.getoption("soak_seed")
    if seed is None:
        seed = int(os.environ.get("VORN_SOAK_SEED", random.randrange(2**32)))
    paths = {"stream": stream_plugin, "sim": sim_plugin}
    config = {"seed": seed, "seconds": seconds, "result": str(tmp_path / "result.json")}
    config.update({plugin: str(path) for plugin, path in paths.items()})
    code = "import sys, test_soak; test_soak.soak_main(sys.argv[1:])"
    began = time.monotonic()

    def going_on():
        return child.poll() is None and time.monotonic() - began < seconds

    # The child's output goes to files: a full pipe that nobody reads would stall its threads.
    with open(tmp_path / "stdout", "w") as out, open(tmp_path / "stderr", "w") as err:
        child = subprocess.Popen([sys.executable, "-c", code, json.dumps(config)], stdout=out,
                                 stderr=err, cwd=pathlib.Path(__file__).parent, env=child_env())
        try:
            exits, slowest, faults = run_exits(random.Random(seed), paths, going_on)
            child.wait(seconds + 4 * SETTLE_SECONDS)
        except subprocess.TimeoutExpired:
            pass  # reported below: no result
        finally:
            child.kill()
            child.wait()
    stderr = (tmp_path / "stderr").read_text()
    output = f"seed {seed}: child exit status {child.returncode}; stderr:\n{stderr[-6000:]}"
    assert (tmp_path / "result.json").exists(), output
    result = json.loads((tmp_path / "result.json").read_text())
    faults = result["faults"] + faults
    figures(f"soak: seed {seed} (replay: --soak-seed {seed}), {seconds:.0f} s, {THREADS} threads, "
            f"{result.get('epochs', 0)} epochs")
    if "rss" in result:  # a complete run, not a hang
        logged = (tmp_path / "stdout").read_text().count("Error in callback: ValueError: soak: ")
        faults += report(figures, result, exits, slowest, logged)
    assert child.returncode == 0, output
    assert not faults, f"seed {seed}: " + "\n".join(faults)


def report(figures, result, exits, slowest, logged):
    """Prints the figures of a run; returns the faults they show."""
    streams, threads, rss = result["streams"], result["threads"], result["rss"]
    injected = collections.Counter(result["injected"]) + exits
    made, freed = result["chunks"]
    figures(counted("  operations", result["operations"]))
    figures(counted("  faults injected", injected))
    figures(f"  streams: {streams['gave a stream']} of {streams['starts']} starts gave one, "
            f"{streams['collected without an end']} collected without an end; "
            f"{streams['callable calls']} calls, {streams['drop reports']} drop reports; chunks "
            f"made {made}, freed {freed}; threads {threads[0]} at start, {max(threads[1:])} at "
            f"most after an epoch; exit subprocesses {exits.total()}, the slowest {slowest:.1f} s")
    figures(f"  memory: RSS {mib(rss[0])} at start, {mib(rss[1])} after the warm-up epoch, "
            f"{mib(rss[-1])} at the end, at most {mib(max(rss[1:]))} between epochs")
    faults = []
    # Under AddressSanitizer freed memory waits in its quarantine (up to 256 MiB) before it is
    # reused, so the resident memory grows whatever the module does.
    if rss[-1] - rss[1] > RSS_BOUND and not UNDER_ASAN:
        faults.append(f"resident memory grew by {mib(rss[-1] - rss[1])} after the warm-up")
    if logged != injected["callable raised"]:
        faults.append(f"{injected['callable raised']} callables raised, {logged} were logged")
    return faults
