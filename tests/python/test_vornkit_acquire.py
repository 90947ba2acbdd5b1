"""vornkit.capture and vornkit.record against the simulated device's counter pattern."""

import sys
import time

import numpy as np
import pytest

import vornkit

WAVEFORM, CHUNK_SIZE, CHUNK_RATE, CHUNK_COUNT, ERROR_INTERVAL = 0x100, 0x104, 0x108, 0x10C, 0x11C


@pytest.fixture
def sim():
    device = vornkit.open_device("sim", "sim1")
    vornkit.set_registers(device, {WAVEFORM: 0, CHUNK_SIZE: 1000, CHUNK_RATE: 20000})
    return device


def counter(start, count):
    return np.arange(start, start + count, dtype=np.uint32)


class TestCapture:
    def test_fills_the_array_in_place_by_samples_bytes_or_time(self, sim, capsys):
        reports = []
        wave = vornkit.capture(sim, 5, samples=100_000, dtype="uint32", progress=reports.append)
        assert wave.dtype == np.uint32 and np.array_equal(wave, counter(5, 100_000))
        assert reports[-1].done and reports[-1].bytes == 400_000 and reports[-1].fraction == 1

        raw = vornkit.capture(sim, 0, bytes=1003, progress=True)
        assert raw.dtype == np.uint8 and raw.size == 1003
        assert np.array_equal(raw[:8].view("<u4"), counter(0, 2))
        assert capsys.readouterr().err.rstrip().endswith("MB/s")

        timed = vornkit.capture(sim, 0, seconds=0.1, dtype="<u4")
        assert timed.size > 0 and np.array_equal(timed, counter(0, timed.size))

    def test_fails_loudly(self, sim):
        with pytest.raises(ValueError, match="not a whole number of uint32 samples"):
            vornkit.capture(sim, 0, bytes=1001, dtype="uint32")
        with pytest.raises(ValueError, match="at most one of"):
            vornkit.capture(sim, 0, samples=1, seconds=1)

        vornkit.set_registers(sim, {CHUNK_COUNT: 10})
        with pytest.raises(vornkit.StreamEndedError, match="after 10000 bytes in 10 chunks"):
            vornkit.capture(sim, 0, samples=5000, dtype="uint32")

        vornkit.set_registers(sim, {CHUNK_COUNT: 0, ERROR_INTERVAL: 5})
        with pytest.raises(vornkit.StreamError, match="simulated error after chunk 5") as error:
            vornkit.capture(sim, 0, samples=5000, dtype="uint32")
        assert error.value.progress.chunks == 5

        vornkit.set_registers(sim, {ERROR_INTERVAL: 0, CHUNK_SIZE: 64, CHUNK_RATE: 0})
        stalls = [0.2]  # the first progress report stalls the consumer: the queue fills up
        with pytest.raises(vornkit.StreamOverflowError, match="^Queue Overflow, dropping event"):
            vornkit.capture(sim, 0, bytes=10**7, max_queue_elements=64,
                            progress=lambda _: stalls and time.sleep(stalls.pop()))
        assert "acquisitions running: 0" in sim.get_status()

    def test_without_numpy_says_what_to_install(self, sim, monkeypatch):
        monkeypatch.setitem(sys.modules, "numpy", None)
        with pytest.raises(ImportError, match=r"needs numpy.*pip install"):
            vornkit.capture(sim, 0, samples=1)


class TestRecord:
    def test_npy_and_raw_files_hold_the_whole_stream(self, sim, tmp_path):
        done = vornkit.record(sim, 0, tmp_path / "counter.npy", chunks=100, dtype="uint32")
        assert (done.format, done.chunks, done.bytes, done.samples) == ("npy", 100, 100_000, 25_000)
        assert np.array_equal(np.load(tmp_path / "counter.npy"), counter(0, 25_000))

        done = vornkit.record(sim, 0, tmp_path / "counter.bin", bytes=4001)
        assert done.format == "raw" and done.bytes == 4001
        assert (tmp_path / "counter.bin").read_bytes() == counter(0, 1001).tobytes()[:4001]

        vornkit.record(sim, 0, tmp_path / "timed.npy", seconds=0.1, dtype=np.uint32)
        timed = np.load(tmp_path / "timed.npy")
        assert timed.size > 0 and np.array_equal(timed, counter(0, timed.size))

    def test_a_failure_leaves_a_valid_file_of_what_came_before(self, sim, tmp_path):
        vornkit.set_registers(sim, {ERROR_INTERVAL: 3})
        with pytest.raises(vornkit.StreamError, match="after chunk 3"):
            vornkit.record(sim, 0, tmp_path / "cut.npy", chunks=10, dtype="uint32")
        assert np.array_equal(np.load(tmp_path / "cut.npy"), counter(0, 750))

        vornkit.set_registers(sim, {ERROR_INTERVAL: 0, CHUNK_SIZE: 1001, CHUNK_COUNT: 2})
        with pytest.raises(vornkit.VornError, match="the last 2 bytes were not written"):
            vornkit.record(sim, 0, tmp_path / "odd.npy", dtype="uint32")
        assert np.array_equal(np.load(tmp_path / "odd.npy"), counter(0, 500))
        with pytest.raises(ValueError, match="unsupported dtype 'uint3'"):
            vornkit.record(sim, 0, tmp_path / "x.npy", chunks=1, dtype="uint3")
