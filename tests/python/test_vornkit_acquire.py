"""vornkit.capture and vornkit.record against the simulated device's counter pattern."""

import io
import os
import sys

import numpy as np
import pytest

import pyvorn_device
import vornkit
from conftest import wait_until

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
        err = capsys.readouterr().err  # not a terminal: plain lines
        assert err.endswith("MB/s\n") and "\r" not in err

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

        # 64-byte chunks at full speed: the device outruns a Python callable, the queue fills.
        vornkit.set_registers(sim, {ERROR_INTERVAL: 0, CHUNK_SIZE: 64, CHUNK_RATE: 0})
        with pytest.raises(vornkit.StreamOverflowError, match="^Queue Overflow, dropping event"):
            vornkit.capture(sim, 0, bytes=10**7, max_queue_elements=64)
        assert "acquisitions running: 0" in sim.get_status()

    def test_an_exception_kept_by_the_caller_leaves_no_stream_running(self, sim):
        def interrupt(progress):  # Ctrl-C between two chunks
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt) as kept:  # kept, as a REPL keeps sys.last_exc
            vornkit.capture(sim, 0, samples=10**7, dtype="uint32", progress=interrupt)
        assert "acquisitions running: 0" in sim.get_status() and kept.value

    def test_without_numpy_says_what_to_install(self, sim, monkeypatch):
        monkeypatch.setitem(sys.modules, "numpy", None)
        with pytest.raises(ImportError, match=r"needs numpy.*pip install"):
            vornkit.capture(sim, 0, samples=1)


class TestRecord:
    def test_a_failure_leaves_a_valid_file_of_what_came_before(self, sim, tmp_path):
        vornkit.set_registers(sim, {ERROR_INTERVAL: 3})
        with pytest.raises(vornkit.StreamError, match="after chunk 3") as error:
            vornkit.record(sim, 0, tmp_path / "cut.npy", chunks=10, dtype="uint32")
        # The writer goes on until record() sees the error and stops the stream.
        saved = np.load(tmp_path / "cut.npy")
        assert saved.size >= 750 and np.array_equal(saved, counter(0, saved.size))
        assert error.value.progress.errors >= 1 and error.value.progress.samples == saved.size

        vornkit.set_registers(sim, {ERROR_INTERVAL: 0, CHUNK_SIZE: 1001, CHUNK_COUNT: 2})
        with pytest.raises(vornkit.VornError, match="the last 2 bytes were not written"):
            vornkit.record(sim, 0, tmp_path / "odd.npy", dtype="uint32")
        assert np.array_equal(np.load(tmp_path / "odd.npy"), counter(0, 500))
        with pytest.raises(ValueError, match="unsupported dtype 'uint3'"):
            vornkit.record(sim, 0, tmp_path / "x.npy", chunks=1, dtype="uint3")
        with pytest.raises(ValueError, match="has none .*: give a path"):
            vornkit.record(sim, 0, io.BytesIO(), chunks=1)

    def test_an_existing_file_stays_without_data_and_is_replaced_with_it(self, sim, stream_manager,
                                                                        tmp_path):
        target = tmp_path / "kept.npy"
        precious = b"precious" * (1 << 18)  # large enough to be freed off the writer's thread
        target.write_bytes(precious)
        for device, queue, error in [(sim, 10, RuntimeError),  # an argument the module refuses
                                     (pyvorn_device.Device(), 4096, vornkit.VornError),  # none
                                     (stream_manager.create_device("ebroken s"), 4096,
                                      vornkit.StreamError)]:  # fails at once
            with pytest.raises(error):
                vornkit.record(device, 0, target, chunks=5, max_queue_elements=queue)
        assert target.read_bytes() == precious
        assert [path.name for path in tmp_path.iterdir()] == ["kept.npy"]
        vornkit.record(sim, 0, target, bytes=4000, dtype="uint32")
        assert np.array_equal(np.load(target), counter(0, 1000))

        def descriptors_on_target():
            found = []
            for fd in os.listdir("/proc/self/fd"):
                try:
                    found += [fd] if str(target) in os.readlink(f"/proc/self/fd/{fd}") else []
                except OSError:
                    pass  # closed meanwhile
            return found

        # The old file's last descriptor goes, so its space is freed.
        assert wait_until(lambda: not descriptors_on_target())
        assert [path.name for path in tmp_path.iterdir()] == ["kept.npy"]

    @pytest.mark.parametrize("dtype", [">u4", np.dtype(">u4"), "<u4"])
    def test_npy_files_keep_the_byte_order_of_the_dtype(self, sim, tmp_path, dtype):
        vornkit.record(sim, 0, tmp_path / "x.npy", bytes=4000, dtype=dtype)
        saved = np.load(tmp_path / "x.npy")
        assert saved.dtype == np.dtype(dtype)
        assert np.array_equal(saved, vornkit.capture(sim, 0, bytes=4000, dtype=dtype))
        with pytest.raises(ValueError, match="needs a byte order"):
            vornkit.record(sim, 0, tmp_path / "y.npy", chunks=1, dtype="|u4")

