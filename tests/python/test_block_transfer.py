"""Device.write and Device.read: buffer checks, zero-copy hand-over and the device's count.

The memory test plugin is a device of plain memory (pattern byte[i] = (i * 31 + 7) % 256) whose
get_status() reports the last transfer, including the data pointer it was handed.
"""

import array
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import pyvorn_device
from conftest import build_dir

MEMORY_SIZE = 64


def memory_plugin():
    path = build_dir() / "plugins" / "testing" / "libvorn_test_memory.so"
    assert path.is_file(), f"memory test plugin not built at {path}"
    return path


def pattern(start, length):
    return bytes((i * 31 + 7) % 256 for i in range(start, start + length))


def address_of(buffer):
    return np.frombuffer(buffer, np.uint8).ctypes.data


def last_transfer(device):
    """The last transfer the device saw, as (op, addr, length, data pointer), or None."""
    status = device.get_status()
    if status is None:
        return None
    op, *fields = status.split()
    values = dict(field.split("=") for field in fields)
    return op, int(values["addr"]), int(values["length"]), int(values["data"], 16)


@pytest.fixture
def device():
    manager = pyvorn_device.get_device_manager(memory_plugin())
    return manager.create_device(f"size={MEMORY_SIZE}")


WRITE_SOURCES = {
    "bytes": lambda data: bytes(data),
    "bytearray": lambda data: bytearray(data),
    "array": lambda data: array.array("B", data),
    "memoryview of bytes": lambda data: memoryview(bytes(data)),
    "memoryview of bytearray": lambda data: memoryview(bytearray(data)),
    "memoryview of array": lambda data: memoryview(array.array("B", data)),
    "numpy uint8": lambda data: np.frombuffer(bytes(data), np.uint8).copy(),
}
READ_ONLY_KINDS = {"bytes", "memoryview of bytes"}
READ_TARGETS = {name: make for name, make in WRITE_SOURCES.items() if name not in READ_ONLY_KINDS}


@pytest.mark.parametrize("kind", WRITE_SOURCES)
def test_write_hands_the_callers_own_memory_to_the_device(device, kind):
    source = WRITE_SOURCES[kind](b"\x01\x02\x03\x04\x05")

    assert device.write(10, source) == 5

    assert last_transfer(device) == ("write", 10, 5, address_of(source))
    check = bytearray(7)
    device.read(9, check)
    assert check == pattern(9, 1) + b"\x01\x02\x03\x04\x05" + pattern(15, 1)


@pytest.mark.parametrize("kind", READ_TARGETS)
def test_read_fills_the_callers_own_memory(device, kind):
    target = READ_TARGETS[kind](bytes(16))

    assert device.read(3, target) == 16

    assert last_transfer(device) == ("read", 3, 16, address_of(target))
    assert bytes(target) == pattern(3, 16)


def test_count_is_the_devices_and_length_comes_from_the_buffer(device):
    # The memory device counts the bytes that fit: short at the end, nothing beyond it.
    assert device.write(0, b"") == 0
    assert last_transfer(device)[:3] == ("write", 0, 0)
    tail = bytearray(b"\xaa" * 8)
    assert device.read(MEMORY_SIZE - 3, tail) == 3
    assert tail == pattern(MEMORY_SIZE - 3, 3) + b"\xaa" * 5
    assert device.write(MEMORY_SIZE, b"xyz") == 0
    assert device.read(4294967295 - 1, bytearray(4)) == 0
    # A view's length, not its exporter's, is what the device gets.
    assert device.write(0, memoryview(b"abcdefgh")[2:5]) == 3
    assert last_transfer(device)[:3] == ("write", 0, 3)


def assert_no_view_left(buffer):
    """Fails with BufferError while a buffer view of `buffer` is still exported."""
    if isinstance(buffer, memoryview):
        buffer.release()
    elif isinstance(buffer, (bytearray, array.array)):
        buffer.append(0)


@pytest.mark.parametrize(
    ("method", "make_buffer", "message"),
    [
        ("read", lambda: b"abc", "buffer is readonly"),
        ("read", lambda: memoryview(bytearray(4)).toreadonly(), "buffer is readonly"),
        # Read-only and of the wrong shape or format: the read-only check comes first.
        ("read", lambda: memoryview(b"abcd").cast("B", (2, 2)), "buffer is readonly"),
        ("read", lambda: memoryview(b"ab").cast("b"), "buffer is readonly"),
        ("write", lambda: memoryview(bytearray(6)).cast("B", (2, 3)), "ndim != 1"),
        ("read", lambda: np.zeros((2, 2), np.uint8), "ndim != 1"),
        ("write", lambda: np.zeros((), np.uint8), "ndim != 1"),
        ("write", lambda: array.array("H", [1, 2]), "Unsupported buffer format!"),
        ("read", lambda: array.array("b", [1, 2]), "Unsupported buffer format!"),
        ("read", lambda: memoryview(bytearray(2)).cast("c"), "Unsupported buffer format!"),
        ("write", lambda: np.zeros(2, np.int8), "Unsupported buffer format!"),
        ("write", lambda: np.zeros(2, np.uint16), "Unsupported buffer format!"),
        # Wrong format and wrong stride: the format check comes before the stride check.
        ("write", lambda: memoryview(array.array("H", [1, 2]))[::2], "Unsupported buffer format!"),
        ("write", lambda: memoryview(b"abcdef")[::2], "strides[0] != 1"),
        ("read", lambda: memoryview(bytearray(6))[::-1], "strides[0] != 1"),
        ("read", lambda: np.zeros(8, np.uint8)[::2], "strides[0] != 1"),
        ("read", lambda: np.zeros((4, 2), np.uint8)[:, 0], "strides[0] != 1"),
    ],
)
def test_buffer_checks_reject_in_order_without_calling_the_device(
    device, method, make_buffer, message
):
    buffer = make_buffer()
    before = last_transfer(device)

    with pytest.raises(RuntimeError) as raised:
        getattr(device, method)(0, buffer)

    assert str(raised.value) == message
    assert last_transfer(device) == before
    assert_no_view_left(buffer)


def test_failing_device_and_refusing_exporter_leave_no_view_behind(device):
    target = bytearray(4)
    with pytest.raises(RuntimeError, match="^memory device: transfer refused$"):
        device.read(4294967295, target)
    target.append(0)  # resizing fails while a view is still exported
    source = memoryview(bytearray(b"abc"))
    with pytest.raises(RuntimeError, match="^memory device: transfer refused$"):
        device.write(4294967295, source)
    source.release()

    released = memoryview(b"abc")
    released.release()
    with pytest.raises(ValueError, match="released memoryview"):
        device.write(0, released)


@pytest.mark.parametrize(
    ("addr", "data"),
    [(4294967296, b"x"), (-1, b"x"), (1.0, b"x"), (0, "text"), (0, 17), (0, None)],
)
def test_arguments_that_do_not_match_are_a_type_error_and_reach_no_device(device, addr, data):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        device.write(addr, data)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        device.read(addr, bytearray(data) if isinstance(data, bytes) else data)
    assert last_transfer(device) is None


def test_large_read_allocates_no_second_buffer():
    # Peak memory is measured in a fresh process, where it is not inflated by earlier tests.
    size = 64 << 20
    script = textwrap.dedent(
        f"""
        import resource, tracemalloc
        import pyvorn_device
        manager = pyvorn_device.get_device_manager({str(memory_plugin())!r})
        device = manager.create_device("size={size}")
        target = bytearray({size})
        tracemalloc.start()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert device.read(0, target) == {size}
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        traced_peak = tracemalloc.get_traced_memory()[1]
        assert target[:3] == bytes([7, 38, 69]) and target[-1] == ({size - 1} * 31 + 7) % 256
        print((after - before) * 1024, traced_peak)
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=False
    )
    assert result.returncode == 0, result.stderr
    rss_growth, traced_peak = map(int, result.stdout.split())
    assert rss_growth < size // 8
    assert traced_peak < 1 << 20
