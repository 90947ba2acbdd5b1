"""The simulated device's acquisitions through read streams: the counter pattern, chunk sizes, the
waveforms, stopping, its errors, bad settings and running out of memory."""

import numpy as np
import pytest

import pyvorn_device
from conftest import run_python, skip_under_asan, wait_until
from stream_helpers import (ACQ, COUNTER, NOISY_SINE, SAWTOOTH, SINE, SQUARE, STATUS, CallLog,
                            configure_sim, samples)


# One chunk of 64 MiB under an address-space limit that leaves room for the stream's two threads
# and small allocations only.
OUT_OF_MEMORY = """
import resource, sys
import pyvorn_device
from stream_helpers import CallLog

device = pyvorn_device.get_device_manager(sys.argv[1]).create_device("sim0")
for address, value in ((0x100, 0), (0x108, 0), (0x10C, 1)):
    device.set_register(address, value, 0)
device.send_registers()
stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
stack = 32 << 20 if stack == resource.RLIM_INFINITY else stack  # the C library's default then
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
resource.setrlimit(resource.RLIMIT_AS, (size + 2 * stack + (24 << 20), hard))
log = CallLog()
stream = device.start_read_stream(0, log, chunk_size=64 << 20)
print(log.wait_end().calls)
"""


@pytest.fixture
def device(sim_plugin):
    return pyvorn_device.get_device_manager(sim_plugin).create_device("sim2")


class TestAcquisition:
    def test_a_finite_counter_acquisition_arrives_whole_then_ends(self, device):
        configure_sim(device, WAVEFORM=COUNTER, CHUNK_SIZE=4096, CHUNK_COUNT=500, CHUNK_RATE=0)
        log = CallLog()
        stream = device.start_read_stream(7, log, max_queue_elements=1000)
        log.wait_end()
        assert [len(c) for c in log.chunks] == [4096] * 500
        values = samples(log, "<u4")
        assert np.array_equal(values, np.arange(7, 7 + 500 * 1024, dtype=np.uint32))
        assert log.calls[-1] == (None, None) and log.errors == []
        assert device.get_register_sync(ACQ["CHUNKS"]) == 500

    def test_the_counter_runs_on_across_odd_chunk_sizes(self, device):
        configure_sim(device, WAVEFORM=COUNTER, CHUNK_COUNT=7, CHUNK_RATE=0)
        log = CallLog()
        stream = device.start_read_stream(0, log, chunk_size=13)  # overrides ACQ_CHUNK_SIZE
        log.wait_end()
        assert [len(c) for c in log.chunks] == [13] * 7
        data = b"".join(log.chunks)[:88]  # 91 bytes: 22 whole samples and 3 bytes of the next
        assert np.array_equal(np.frombuffer(data, "<u4"), np.arange(22, dtype=np.uint32))

    def test_stop_ends_a_continuous_acquisition_with_the_end_of_stream(self, device):
        configure_sim(device, WAVEFORM=SINE, CHUNK_SIZE=256, CHUNK_COUNT=0, CHUNK_RATE=2000)
        log = CallLog()
        stream = device.start_read_stream(0, log)
        assert wait_until(lambda: len(log.chunks) >= 5)
        assert device.get_register_sync(STATUS) & 0b10  # acquiring
        stream.stop()
        log.wait_end()
        assert log.calls[-1] == (None, None)
        assert not device.get_register_sync(STATUS) & 0b10
        stream.stop()  # again: nothing more happens
        assert log.calls.count((None, None)) == 1

    @pytest.mark.parametrize("waveform", [SINE, SQUARE, SAWTOOTH, NOISY_SINE])
    def test_analog_waveforms_follow_their_formula_across_odd_chunks_and_from_any_sample(
            self, device, waveform):
        def record(first_sample, chunk_size, chunk_count):
            configure_sim(device, CHUNK_COUNT=chunk_count)
            log = CallLog()
            stream = device.start_read_stream(first_sample, log, chunk_size=chunk_size)
            log.wait_end()
            assert log.errors == []
            return samples(log, "<i2")

        configure_sim(device, WAVEFORM=waveform, PERIOD=200, AMPLITUDE=1000, CHUNK_RATE=0)
        wave = record(0, 400, 3)  # samples 0 to 599, one period per chunk
        # From sample 7 in chunks of 13 bytes: samples split across chunk boundaries.
        assert np.array_equal(record(7, 13, 60)[:390], wave[7:397])
        i = np.arange(600)
        sine = np.round(1000 * np.sin(2 * np.pi * i / 200))
        if waveform == NOISY_SINE:
            noise = wave - sine
            assert np.abs(noise).max() <= 1000 // 8 and np.unique(noise).size > 100
        else:
            expected = {SINE: sine, SQUARE: np.where(i % 200 < 100, 1000, -1000),
                        SAWTOOTH: -1000 + 10 * (i % 200)}[waveform]
            assert np.array_equal(wave, expected)

    def test_view_mode_chunks_arrive_as_copies_and_errors_at_the_set_interval(self, device):
        configure_sim(device, WAVEFORM=COUNTER, CHUNK_SIZE=64, CHUNK_COUNT=6, CHUNK_RATE=0, MODE=1,
                  ERROR_INTERVAL=3)
        log = CallLog()
        stream = device.start_read_stream(0, log)
        log.wait_end()
        assert np.array_equal(samples(log, "<u4"), np.arange(96, dtype=np.uint32))
        assert log.errors == ["simulated error after chunk 3", "simulated error after chunk 6"]
        assert log.calls[3] == (None, "simulated error after chunk 3")

    def test_bad_settings_end_the_stream_with_an_error(self, device):
        configure_sim(device, WAVEFORM=9)
        log = CallLog()
        stream = device.start_read_stream(0, log)
        log.wait_end()
        assert log.calls == [(None, "unknown waveform 9 in ACQ_WAVEFORM (0 to 4)"), (None, None)]
        configure_sim(device, WAVEFORM=COUNTER)
        log = CallLog()
        stream = device.start_read_stream(0, log, chunk_size=2**40)
        log.wait_end()
        assert log.calls == [(None, "chunk size 1099511627776 exceeds 67108864 bytes"), (None, None)]

    @skip_under_asan("its shadow memory takes more address space than any limit leaves, and it "
                     "ends the process where operator new would throw std::bad_alloc")
    def test_running_out_of_memory_is_an_error_then_the_end(self, sim_plugin, monkeypatch):
        monkeypatch.setenv("MALLOC_ARENA_MAX", "1")  # no per-thread heaps to reserve room for
        result = run_python(OUT_OF_MEMORY, str(sim_plugin))
        assert result.returncode == 0, result.stderr
        assert result.stdout == "[(None, 'acquisition failed: std::bad_alloc'), (None, None)]\n"

    def test_aligned_stream_of_the_sim_delivers_whole_samples(self, device):
        configure_sim(device, WAVEFORM=COUNTER, CHUNK_COUNT=10, CHUNK_RATE=0)
        log = CallLog()
        stream = device.start_aligned_read_stream(0, 4, log, chunk_size=10)
        log.wait_end()
        assert all(len(c) % 4 == 0 for c in log.chunks)
        assert np.array_equal(samples(log, "<u4"), np.arange(25, dtype=np.uint32))


