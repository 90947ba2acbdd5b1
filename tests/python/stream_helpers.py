"""Helpers of the stream tests: CallLog, a stream callable that logs every call it gets; the bytes
the test plugins produce; starting a logged stream; the simulated device's acquisition settings."""

import threading

import pyvorn_device


class CallLog:
    """A stream callable: logs every call as (bytes or None, str or None), tells when the end
    (None, None) came, and optionally keeps the chunk objects too."""

    def __init__(self, keep=False):
        self.calls = []
        self.kept = []
        self.keep = keep
        self.ended = threading.Event()
        self.threads = set()

    def __call__(self, data, error):
        self.threads.add(threading.get_ident())
        if data is not None:
            if self.keep:
                self.kept.append(data)
            data = bytes(data)
        self.calls.append((data, error))
        if data is None and error is None:
            self.ended.set()

    def wait_end(self, timeout=10.0):
        assert self.ended.wait(timeout), f"the stream did not end; calls so far: {self.calls}"
        return self

    @property
    def chunks(self):
        return [data for data, _ in self.calls if data is not None]

    @property
    def errors(self):
        return [error for _, error in self.calls if error is not None]


def counter_bytes(start, count):
    """The bytes the test plugins produce: byte k of a stream is k mod 256."""
    return bytes((start + k) % 256 for k in range(count))


def start_logged(manager, script, *, aligned=None, keep=False, **kwargs):
    """(device, stream, log): a device of `manager` playing `script`, streaming from address 0
    into a CallLog, plain or aligned to `aligned` bytes."""
    device = manager.create_device(script)
    log = CallLog(keep=keep)
    if aligned is None:
        stream = device.start_read_stream(0, log, **kwargs)
    else:
        stream = device.start_aligned_read_stream(0, aligned, log, **kwargs)
    return device, stream, log


# The simulated device's acquisition registers, its status register and its waveforms.
ACQ = {
    "WAVEFORM": 0x100,
    "CHUNK_SIZE": 0x104,
    "CHUNK_RATE": 0x108,
    "CHUNK_COUNT": 0x10C,
    "PERIOD": 0x110,
    "AMPLITUDE": 0x114,
    "MODE": 0x118,
    "ERROR_INTERVAL": 0x11C,
    "CHUNKS": 0x120,
}
STATUS = 0x004
COUNTER, SINE, SQUARE, SAWTOOTH, NOISY_SINE = range(5)


def configure_sim(device, **settings):
    """Sets the simulated device's acquisition registers named by ACQ, and sends them."""
    for name, value in settings.items():
        assert device.set_register(ACQ[name], value, 0) == pyvorn_device.ReturnCode.Success
    assert device.send_registers() == pyvorn_device.ReturnCode.Success


def samples(log, dtype):
    """All the bytes a CallLog got, as one array of `dtype`."""
    # Imported here, not at the top: the child of the out-of-memory test imports this module,
    # and should load no more than it needs before it limits its address space.
    import numpy as np

    return np.frombuffer(b"".join(log.chunks), dtype=dtype)
