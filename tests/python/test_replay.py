"""The replay plugin: a recording made by the module's recorder plays back as a device that gives
the same bytes, with its gaps where they were; a file truncated under it, and bad options."""

import json
import os
import time

import numpy as np
import pytest

import pyvorn_device
import vornkit
from conftest import assert_runs_ok, skip_under_asan, wait_until
from stream_helpers import CallLog
from test_recording import read_sigmf

ADDR = 0x0  # a recording replays from byte ADDR of its data
OK, FAILED = pyvorn_device.ReturnCode.Success, pyvorn_device.ReturnCode.Failure
POSITION_LO, SIZE_LO, LOOPS, CHUNK_SIZE, RATE, LOOP = 0x00, 0x08, 0x10, 0x14, 0x18, 0x1C


def replay(options):
    return vornkit.open_device("replay", options)


@pytest.mark.parametrize("name", ["a.bin", "a.npy", "a.sigmf-data"])
def test_a_recording_replays_into_the_same_recording(tmp_path, name):
    sim = vornkit.open_device("sim", "sim2")
    vornkit.set_registers(sim, {0x100: 4, 0x104: 1000, 0x108: 0})  # noisy sine, odd chunks
    rate = 1e6 if name.endswith(".sigmf-data") else None  # the replay keeps its pace
    first = vornkit.record(sim, 0, tmp_path / name, chunks=50, dtype="int16", sample_rate=rate)
    again = vornkit.record(replay(f"file={first.path}"), 0, tmp_path / ("b" + name[1:]),
                           dtype="int16", sample_rate=rate)
    assert (again.bytes, again.samples) == (first.bytes, first.samples) == (50_000, 25_000)
    assert first.path.read_bytes() == again.path.read_bytes()


@pytest.mark.isolated
def test_gaps_replay_where_they_were_and_record_again_as_gaps(stream_manager, tmp_path):
    # A burst that overflows a queue of 64 chunks (the writer busy with a chunk of 4 MiB) leaves
    # gaps in the first recording.
    device = stream_manager.create_device("o4194304 b5000 p50 o64 s")
    with pytest.raises(vornkit.StreamOverflowError):
        vornkit.record(device, 0, tmp_path / "a", format="sigmf", max_queue_elements=64,
                       timeout=30)
    _, meta, exact = read_sigmf(tmp_path / "a")
    captures = [(c["core:sample_start"], c["core:global_index"]) for c in meta["captures"]]
    assert len(captures) >= 2

    log = CallLog()
    stream = replay(f"file={tmp_path / 'a.sigmf-data'} rate=0").start_read_stream(ADDR, log)
    log.wait_end()
    stream.stop()
    # Each gap is an Error after the bytes before it, saying how many samples (bytes here) it lost.
    position, gaps = 0, []
    for data, error in log.calls[:-1]:
        if error is not None:
            gaps.append((position, error))
        else:
            position += len(data)
    assert position == exact.size
    assert gaps == [(start, f"recording gap: {index - (before_index + start - before_start)} "
                            "samples missing")
                    for (before_start, before_index), (start, index)
                    in zip(captures, captures[1:])]

    again = vornkit.record(replay(f"file={tmp_path / 'a.sigmf-meta'}"), 0, tmp_path / "b",
                           format="sigmf")
    _, meta_again, exact_again = read_sigmf(tmp_path / "b")
    assert [(c["core:sample_start"], c["core:global_index"])
            for c in meta_again["captures"]] == captures
    assert np.array_equal(exact, exact_again) and again.samples == exact.size


@pytest.mark.isolated
def test_a_file_truncated_under_a_replay_is_a_read_error_then_the_end(tmp_path):
    path = tmp_path / "a.bin"
    path.write_bytes(bytes(range(256)) * 4096)
    log = CallLog()
    stream = replay(f"file={path} chunk=4k rate=50").start_read_stream(ADDR, log)
    with open(path, "r+b") as file:
        file.truncate(8192)
    log.wait_end()
    stream.stop()
    *chunks, (data, error), end = log.calls
    assert end == (None, None) and data is None
    assert error.startswith(f"cannot read {path}: the file ends at byte ")
    assert len(chunks) >= 1 and all(len(chunk) == 4096 for chunk, _ in chunks)


def test_a_file_ending_inside_a_read_ahead_plays_its_whole_chunks_then_the_error(tmp_path):
    # Small chunks are read a batch at a time: the batch comes back short, the chunks it holds
    # whole play, the next read finds the end.
    path = tmp_path / "a.bin"
    path.write_bytes(bytes(range(256)) * 4096)
    device = replay(f"file={path} chunk=4k")
    os.truncate(path, 10000)
    log = CallLog()
    stream = device.start_read_stream(ADDR, log)
    log.wait_end()
    stream.stop()
    assert log.chunks == [bytes(range(256)) * 16] * 2
    assert log.errors == [f"cannot read {path}: the file ends at byte 10000, before its 1048576 "
                          "bytes of data"]


def test_registers_loop_and_rewind(tmp_path):
    path = tmp_path / "a.bin"
    path.write_bytes(bytes(range(100)) * 10)
    device = replay(f"file={path} chunk=100 rate=2000 loop")
    log = CallLog()
    stream = device.start_read_stream(ADDR, log)
    assert wait_until(lambda: device.read_registers() == OK and device.get_register(LOOPS) >= 2)
    stream.stop()
    assert device.read_registers() == OK
    assert [device.get_register(a) for a in (SIZE_LO, CHUNK_SIZE, RATE, LOOP)] == [1000, 100,
                                                                                  2000, 1]
    assert device.get_register(POSITION_LO) == sum(map(len, log.chunks)) >= 2000
    assert device.set_register(CHUNK_SIZE, 0, 0) == device.set_register(SIZE_LO, 1, 0) == FAILED

    # Without the loop, a rewind during the pause before a chunk makes it the data's first.
    data = bytes(range(250)) * 4
    path.write_bytes(data)
    device = replay(f"file={path} chunk=100 rate=10")
    log = CallLog(keep=True)
    stream = device.start_read_stream(ADDR, log)
    assert wait_until(lambda: len(log.chunks) >= 2)
    assert device.trigger(0, 0) == OK
    asked = time.monotonic_ns()  # a chunk pushed later is the data's first or one after it
    assert device.trigger(0, 1) == device.trigger(1, 0) == FAILED
    log.wait_end()
    stream.stop()
    after = [bytes(chunk) for chunk in log.kept if chunk.time_ns > asked]
    assert after[0] == data[:100] and b"".join(after) == data


@pytest.mark.parametrize("options, message", [
    ("", 'option "file" is required: the recording to replay; options: file=PATH, '
         "format=raw|npy|sigmf, chunk=BYTES, rate=CHUNKS_PER_S, loop"),
    ("file=x.bin chunk=0", 'option "chunk": "0" is out of range (1 to 67108864 bytes)'),
    ("file=x.bin rate=-1", 'option "rate": "-1" is not a rate in chunks per second (examples: '
                           "0, 1000, 2.5)"),
    ("file=x.bin format=wav", 'option "format": "wav" is not a format (raw, npy, sigmf)'),
    ("file=x.bin loop loop", 'option "loop" given twice'),
    ("file=missing.bin", 'option "file": "missing.bin": cannot open: No such file or directory'),
    ("file=x.bin format=npy", 'option "file": "x.bin": bad .npy header: not a .npy file'),
    ("file=x format=sigmf", 'option "file": "x.sigmf-meta": SigMF metadata: '),
    ("file=fifo", 'option "file": "fifo": is not a regular file'),
])
def test_bad_options_and_unusable_files_are_one_clear_error(tmp_path, monkeypatch, options,
                                                            message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "x.bin").write_bytes(b"abc")
    (tmp_path / "x.sigmf-data").write_bytes(b"")
    os.mkfifo(tmp_path / "fifo")  # opening it for reading must not wait for a writer
    (tmp_path / "x.sigmf-meta").write_text(json.dumps({"global": {"core:datatype": "ri16_le",
                                                                  "core:num_channels": 2}}))
    with pytest.raises(ValueError) as raised:
        replay(options)
    assert str(raised.value).startswith(message), str(raised.value)


FORK_SCRIPT = """
import os, sys, threading, vornkit
path = sys.argv[1]
device = vornkit.open_device("replay", f"file={path} chunk=100 rate=1000 loop")
running = device.start_read_stream(0, lambda data, error: None)
pid = os.fork()
if pid == 0:  # the inherited device works; the parent's playback thread is not here
    chunks, ended = [], threading.Event()
    device.set_register(0x1C, 0, 0)  # LOOP off
    stream = device.start_read_stream(0, lambda data, error: chunks.append(bytes(data))
                                      if data is not None else ended.set())
    os._exit(0 if ended.wait(10) and b"".join(chunks) == open(path, "rb").read() else 1)
_, status = os.waitpid(pid, 0)
running.stop()
print("ok" if os.waitstatus_to_exitcode(status) == 0 else f"child failed: {status}")
"""


@skip_under_asan("a fork while other threads allocate can leave the sanitizer allocator's own lock "
                 "held in the child: its runtime here has no fork handlers for it")
def test_an_inherited_device_replays_in_a_forked_child(tmp_path):
    path = tmp_path / "a.bin"
    path.write_bytes(bytes(range(100)) * 10)
    assert_runs_ok(FORK_SCRIPT, str(path), timeout=60)
