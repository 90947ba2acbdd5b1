"""Recordings by the module's native writer through vornkit.record, read back with readers nobody
here wrote: numpy.load for .npy, the sigmf package for SigMF; gaps, device errors, a full disk, a
killed process and the live tap."""

import json
import signal
import time
import subprocess
import sys

import numpy as np
import pytest
from sigmf import sigmffile

import vornkit
from conftest import child_env, run_python, wait_until

WAVEFORM, CHUNK_SIZE, CHUNK_RATE = 0x100, 0x104, 0x108


@pytest.fixture
def sim():
    device = vornkit.open_device("sim", "sim1")
    vornkit.set_registers(device, {WAVEFORM: 0, CHUNK_SIZE: 4096, CHUNK_RATE: 0})  # full speed
    return device


def counter(start, count):
    return np.arange(start, start + count, dtype=np.uint32)


def read_sigmf(base):
    """The recording at `base` as the sigmf package reads it (after its validator accepted it),
    its metadata, and its samples read exactly with numpy."""
    recording = sigmffile.fromfile(str(base), autoscale=False)
    recording.validate()
    meta = json.loads(base.with_name(base.name + ".sigmf-meta").read_text())
    exact = np.fromfile(base.with_name(base.name + ".sigmf-data"), dtype=np.dtype(
        {"ru32_le": "<u4", "ru8": "u1"}[meta["global"]["core:datatype"]]))
    return recording, meta, exact


def test_every_format_holds_the_counter(sim, tmp_path):
    done = vornkit.record(sim, 0, tmp_path / "c.npy", chunks=100, dtype="uint32")
    assert (done.format, done.chunks, done.bytes, done.samples) == ("npy", 100, 409_600, 102_400)
    assert np.array_equal(np.load(tmp_path / "c.npy"), counter(0, 102_400))

    done = vornkit.record(sim, 7, tmp_path / "c.bin", bytes=4001)
    assert (done.format, done.bytes, done.samples) == ("raw", 4001, 4001)
    assert (tmp_path / "c.bin").read_bytes() == counter(7, 1001).tobytes()[:4001]

    vornkit.set_registers(sim, {CHUNK_RATE: 2000})  # paced, so that a disk keeps up
    vornkit.record(sim, 0, tmp_path / "timed.npy", seconds=0.1, dtype=np.uint32)
    timed = np.load(tmp_path / "timed.npy")
    assert timed.size > 0 and np.array_equal(timed, counter(0, timed.size))

    # The name picks SigMF; both files are written beside the base name.
    done = vornkit.record(sim, 0, tmp_path / "c.sigmf-meta", chunks=100, dtype="<u4",
                          sample_rate=1e6, description="counter")
    assert done.format == "sigmf" and done.path == tmp_path / "c.sigmf-data"
    recording, meta, exact = read_sigmf(tmp_path / "c")
    assert np.array_equal(exact, counter(0, 102_400))
    assert np.array_equal(recording.read_samples(), counter(0, 102_400))  # exact in float32
    assert meta["global"] == {
        "core:datatype": "ru32_le", "core:version": "1.0.0", "core:sample_rate": 1e6,
        "core:recorder": "pyvorn_device", "core:hw": sim.get_info(),
        "core:description": "counter"}
    (capture,) = meta["captures"]
    assert capture["core:sample_start"] == capture["core:global_index"] == 0
    assert capture["core:datetime"].endswith("Z") and meta["annotations"] == []


def test_an_interruption_stops_the_stream_and_leaves_a_valid_file(sim, tmp_path):
    def interrupt(progress):  # Ctrl-C while the writer writes
        if progress.chunks:
            raise KeyboardInterrupt

    vornkit.set_registers(sim, {CHUNK_RATE: 2000})
    with pytest.raises(KeyboardInterrupt):
        vornkit.record(sim, 0, tmp_path / "i.npy", dtype="uint32", progress=interrupt)
    assert "acquisitions running: 0" in sim.get_status()
    saved = np.load(tmp_path / "i.npy")
    assert saved.size > 0 and np.array_equal(saved, counter(0, saved.size))


def test_the_sigmf_command_of_the_documentation(capsys, tmp_path, monkeypatch):
    from vornkit.cli import main

    monkeypatch.chdir(tmp_path)
    assert main(["record", "sim", "--format", "sigmf", "--sample-rate", "1e6", "--chunks",
                 "1000", "-o", "rec"]) == 0
    err = capsys.readouterr().err
    assert err.startswith("recorded rec.sigmf-data and .sigmf-meta (sigmf, uint8): 1000 chunks, "
                          "4096000 bytes, 4096000 samples in ")
    recording, meta, exact = read_sigmf(tmp_path / "rec")
    assert meta["global"]["core:sample_rate"] == 1e6 and exact.size == 4_096_000
    assert np.array_equal(recording.read_samples(), exact)


@pytest.mark.isolated
def test_a_gap_starts_a_capture_where_the_stream_goes_on(stream_manager, tmp_path):
    # The burst overflows a queue of 64 chunks while the writer writes a chunk of 4 MiB.
    device = stream_manager.create_device("o4194304 b5000 p50 o64 s")
    with pytest.raises(vornkit.StreamOverflowError) as raised:  # once the recording is over
        vornkit.record(device, 0, tmp_path / "gap", format="sigmf", max_queue_elements=64,
                       timeout=30)
    events, lost = raised.value.dropped
    progress = raised.value.progress
    assert events > 0 and (progress.dropped_events, progress.dropped_bytes) == (events, lost)

    recording, meta, exact = read_sigmf(tmp_path / "gap")
    assert progress.samples == exact.size == recording.read_samples().size
    # Each gap (one or more, as the burst outruns the writer) starts a capture whose
    # core:global_index jumps by the bytes lost (one-byte samples), with an annotation there.
    captures = meta["captures"]
    assert len(captures) >= 2 and "core:datetime" in captures[0]
    starts = [capture["core:sample_start"] for capture in captures]
    shifts = [capture["core:global_index"] - capture["core:sample_start"] for capture in captures]
    assert shifts[0] == 0 and shifts[-1] == lost and shifts == sorted(set(shifts))
    notes = meta["annotations"]
    assert [note["core:sample_start"] for note in notes] == starts[1:]
    assert {note["core:label"] for note in notes} == {"gap"}
    counts = [vornkit.overflow_counts(note["core:comment"]) for note in notes]
    assert [sum(column) for column in zip(*counts)] == [events, lost]
    # Every sample sits at its stream position (byte k of the stream is k mod 256).
    ends = starts[1:] + [exact.size]
    positions = np.concatenate([np.arange(begin, end) + shift
                                for begin, end, shift in zip(starts, ends, shifts)])
    assert np.array_equal(exact, (positions % 256).astype(np.uint8))


@pytest.mark.isolated
def test_a_device_error_is_annotated_and_raised(stream_manager, tmp_path):
    device = stream_manager.create_device("o64 eOops o64 s")
    with pytest.raises(vornkit.StreamError) as raised:
        vornkit.record(device, 0, tmp_path / "error.sigmf-data", timeout=30)
    assert raised.value.message == "Oops" and raised.value.progress.errors == 1
    recording, meta, exact = read_sigmf(tmp_path / "error")
    assert exact.size >= 64 and np.array_equal(exact, np.arange(exact.size, dtype=np.uint8))
    assert meta["annotations"][0] == {"core:sample_start": 64, "core:sample_count": 0,
                                      "core:label": "device error", "core:comment": "Oops"}


def test_what_comes_after_the_limit_is_not_the_recordings(sim, tmp_path):
    vornkit.set_registers(sim, {0x11C: 100})  # an error after every 100th chunk
    with sim.start_recording(0, tmp_path / "clean.npy", "npy", "<u4", max_chunks=100) as stream:
        # the errors after chunks 100 and 200 have reached the writer
        assert wait_until(lambda: sim.get_register_sync(0x120) > 200)
    progress = stream.progress()
    assert progress["complete"] and progress["samples"] == 102_400
    assert (progress["errors"], progress["device_error"]) == (0, "")


RECORD_PAST_SIZE_LIMIT = """
import resource, sys
from conftest import ROOT
import vornkit
resource.setrlimit(resource.RLIMIT_FSIZE, (50_000, 50_000))  # as a full disk stops the writes
device = vornkit.open_device("sim", "sim1")
vornkit.set_registers(device, {0x100: 0, 0x104: 1000, 0x108: 0})
try:
    vornkit.record(device, 0, sys.argv[1], chunks=1000, dtype="uint32")
except OSError as error:
    running = "acquisitions running: 0" not in device.get_status()
    print(error.errno, sys.argv[1] in error.strerror, running)
"""


def test_a_full_disk_raises_the_first_error_and_keeps_the_whole_samples(tmp_path):
    path = tmp_path / "cut.npy"
    result = run_python(RECORD_PAST_SIZE_LIMIT, str(path))
    assert result.stdout.split() == ["27", "True", "False"], result.stderr  # EFBIG, named
    saved = np.load(path)
    header = path.stat().st_size - saved.nbytes
    assert np.array_equal(saved, counter(0, (50_000 - header) // 4))


RECORD_ENDLESSLY = """
import sys
import vornkit
device = vornkit.open_device("sim", "sim1")
vornkit.set_registers(device, {0x100: 0, 0x104: 4096, 0x108: 1000})  # 4.1 MB/s
vornkit.record(device, 0, sys.argv[1], dtype="uint32")
"""


def test_a_killed_recording_is_a_valid_npy_file(tmp_path):
    path = tmp_path / "killed.npy"
    with subprocess.Popen([sys.executable, "-c", RECORD_ENDLESSLY, str(path)],
                          env=child_env(), stderr=subprocess.PIPE) as child:
        try:
            # About 2 s of data on disk (the file appears with the first data).
            assert wait_until(lambda: path.exists() and path.stat().st_size > 8_000_000, 30)
        finally:
            child.send_signal(signal.SIGKILL)
        assert child.wait(30) == -signal.SIGKILL, child.stderr.read()
    saved = np.load(path)
    with open(path, "rb") as file:
        np.lib.format.read_magic(file)
        np.lib.format.read_array_header_1_0(file)
        data = path.stat().st_size - file.tell()  # the bytes after the header
    assert np.array_equal(saved, counter(0, saved.size))
    # The header's count is brought up to date about once a second of the stream: it may miss
    # at most about the last second (4.1 MB here; twice that allowed for a busy machine).
    assert saved.nbytes > 0 and data - saved.nbytes <= 2 * 4_096_000


@pytest.mark.isolated
def test_the_tap_sees_chunks_and_never_makes_the_writer_wait(sim, tmp_path):
    seen = []

    def tap(chunk):
        seen.append((chunk.offset, chunk.time_ns, len(chunk), bytes(memoryview(chunk)[:4])))

    before = time.monotonic_ns()
    vornkit.record(sim, 0, tmp_path / "tapped.npy", chunks=200, dtype="uint32", tap=tap,
                   tap_interval=0)
    assert seen and all(before <= time_ns and offset % 4096 == 0 and size == 4096
                        and first == (offset // 4).to_bytes(4, "little")
                        for offset, time_ns, size, first in seen)
    assert [offset for offset, *_ in seen] == sorted({offset for offset, *_ in seen})

    # A tap that holds the interpreter lock for a second, paced 1000 chunks a second into a queue
    # of 256: a writer that waited for the lock would drop (record() would raise).
    import ctypes

    hold = ctypes.PyDLL(None).usleep  # a call that keeps the interpreter lock
    vornkit.set_registers(sim, {CHUNK_RATE: 1000})
    done = vornkit.record(sim, 0, tmp_path / "held.npy", chunks=2000, dtype="uint32",
                          max_queue_elements=256, tap=lambda chunk: hold(1_000_000),
                          tap_interval=0)
    assert done.dropped_events == 0 and np.array_equal(np.load(tmp_path / "held.npy"),
                                                      counter(0, 2000 * 1024))
