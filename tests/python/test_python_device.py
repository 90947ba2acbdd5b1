"""Python subclasses of Device, reached by native callers through the trampoline.

A Python call of a method the subclass defines goes straight to Python; calling the Device method
explicitly (Device.get_status(obj)) or a native default (set_register_sync, get_register_sync)
calling an operation is what goes through the trampoline.
"""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from pyvorn_device import Device, ReturnCode

CAST_FAILURE = (
    "Unable to cast Python instance of type {} to C++ type '?' "
    "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
)


def pure_virtual(name):
    return f'Tried to call pure virtual function "Device::{name}"'


def raises_exactly(exception, message):
    return pytest.raises(exception, match=f"^{re.escape(message)}$")


class Registers(Device):
    """Implements the four register operations and records every call."""

    def __init__(self, staged=ReturnCode.Success, sent=ReturnCode.Success,
                 refreshed=ReturnCode.Success, value=7):
        super().__init__()
        self.calls = []
        self.results = {"set_register": staged, "send_registers": sent,
                        "read_registers": refreshed, "get_register": value}

    def _record(self, name, *args):
        self.calls.append((name, *args))
        return self.results[name]

    def set_register(self, addr, value, aux):
        return self._record("set_register", addr, value, aux)

    def send_registers(self):
        return self._record("send_registers")

    def read_registers(self):
        return self._record("read_registers")

    def get_register(self, addr):
        return self._record("get_register", addr)


REQUIRED_OPERATIONS = [
    ("set_register", (1, 2, 3)),
    ("send_registers", ()),
    ("get_register", (1,)),
    ("read_registers", ()),
    ("trigger", (1, -1)),
    ("write", (0, b"")),
    ("read", (0, bytearray(1))),
]


@pytest.mark.parametrize(("name", "args"), REQUIRED_OPERATIONS)
def test_plain_device_raises_the_missing_operations_message(name, args):
    with raises_exactly(RuntimeError, pure_virtual(name)):
        getattr(Device(), name)(*args)


def test_plain_device_defaults_stop_at_their_first_missing_step():
    device = Device()
    assert device.get_status() is None
    assert device.get_info() is None
    with raises_exactly(RuntimeError, pure_virtual("set_register")):
        device.set_register_sync(1, 2, 3)
    with raises_exactly(RuntimeError, pure_virtual("read_registers")):
        device.get_register_sync(1)


def test_set_register_sync_stages_then_returns_what_send_registers_returned():
    device = Registers(staged=ReturnCode.Failure, sent=ReturnCode.Success)
    assert device.set_register_sync(1, 2, 3) == ReturnCode.Success
    assert device.calls == [("set_register", 1, 2, 3), ("send_registers",)]

    device = Registers(staged=ReturnCode.Success, sent=ReturnCode.Failure)
    assert device.set_register_sync(4294967295, 0, 4294967295) == ReturnCode.Failure
    assert device.calls == [("set_register", 4294967295, 0, 4294967295), ("send_registers",)]


def test_one_call_forms_a_subclass_defines_replace_the_defaults():
    class OneCall(Registers):
        def set_register_sync(self, addr, value, aux):
            self.calls.append(("set_register_sync", addr, value, aux))
            return ReturnCode.Failure

        def get_register_sync(self, addr):
            self.calls.append(("get_register_sync", addr))
            return None if addr == 0 else addr + 1

    device = OneCall()
    assert Device.set_register_sync(device, 1, 2, 3) == ReturnCode.Failure
    assert Device.get_register_sync(device, 0) is None
    assert Device.get_register_sync(device, 4294967294) == 4294967295
    assert device.calls == [
        ("set_register_sync", 1, 2, 3),
        ("get_register_sync", 0),
        ("get_register_sync", 4294967294),
    ]
    with raises_exactly(RuntimeError, CAST_FAILURE.format(int)):
        Device.get_register_sync(device, 4294967295)


def test_set_register_sync_without_send_registers_fails_after_staging():
    class StageOnly(Device):
        def __init__(self):
            super().__init__()
            self.staged = []

        def set_register(self, addr, value, aux):
            self.staged.append((addr, value, aux))
            return ReturnCode.Success

    device = StageOnly()
    with raises_exactly(RuntimeError, pure_virtual("send_registers")):
        device.set_register_sync(1, 2, 3)
    assert device.staged == [(1, 2, 3)]


def test_get_register_sync_reads_only_after_a_successful_refresh():
    device = Registers(refreshed=ReturnCode.Failure)
    assert device.get_register_sync(5) is None
    assert device.calls == [("read_registers",)]

    device = Registers(value=7)
    assert device.get_register_sync(5) == 7
    assert device.calls == [("read_registers",), ("get_register", 5)]

    class Index:
        def __index__(self):
            return 4294967295

    assert Registers(value=Index()).get_register_sync(5) == 4294967295


@pytest.mark.parametrize("value", [-1, 2**32, 7.0, "7", None])
def test_register_value_that_does_not_convert_is_a_cast_failure(value):
    with raises_exactly(RuntimeError, CAST_FAILURE.format(type(value))):
        Registers(value=value).get_register_sync(5)


@pytest.mark.parametrize("status", [0, 1, True, None, "Success"])
def test_status_result_must_be_a_return_code_member(status):
    with raises_exactly(RuntimeError, CAST_FAILURE.format(type(status))):
        Registers(sent=status).set_register_sync(1, 2, 3)


def test_non_callable_attribute_under_an_operation_name_is_a_type_error():
    class Broken(Registers):
        read_registers = 5
        get_info = "text"

    device = Broken()
    with raises_exactly(TypeError, "Object of type 'int' is not an instance of 'function'"):
        device.get_register_sync(1)
    with raises_exactly(TypeError, "Object of type 'str' is not an instance of 'function'"):
        Device.get_info(device)


def test_python_exception_from_an_override_comes_out_unchanged():
    failure = KeyError("device on fire")

    class Failing(Registers):
        def read_registers(self):
            raise failure

        def write(self, addr, length, data):
            raise failure

    device = Failing()
    with pytest.raises(KeyError) as raised:
        device.get_register_sync(1)
    assert raised.value is failure
    with pytest.raises(KeyError) as raised:
        Device.write(device, 0, b"abc")
    assert raised.value is failure


def test_text_results_accept_str_bytes_bytearray_and_none():
    class Texts(Device):
        def __init__(self, status):
            super().__init__()
            self.status = status

        def get_status(self):
            return self.status

        def get_info(self):
            return self.status

    assert Device.get_status(Texts("état")) == "état"
    assert Device.get_info(Texts(b"abc")) == "abc"
    assert Device.get_status(Texts(bytearray(b"xyz"))) == "xyz"
    assert Device.get_status(Texts(None)) is None
    with raises_exactly(RuntimeError, CAST_FAILURE.format(int)):
        Device.get_info(Texts(5))
    with pytest.raises(UnicodeDecodeError):
        Device.get_status(Texts(b"\xff"))


def test_override_calling_the_base_method_on_itself_does_not_recurse():
    class Delegating(Device):
        def get_status(self):
            return ("base", Device.get_status(self))

        def write(self, addr, length, data):
            return Device.write(self, addr, data)

    device = Delegating()
    assert device.get_status() == ("base", None)
    with raises_exactly(RuntimeError, pure_virtual("write")):
        device.write(0, 3, b"abc")


def test_init_that_skips_device_init_fails_with_the_binding_message():
    class Forgetful(Device):
        def __init__(self):
            pass

    message = "pyvorn_device.Device.__init__() must be called when overriding __init__"
    with raises_exactly(TypeError, message):
        Forgetful()


class Transfers(Device):
    """write/read overrides that record their arguments and keep what they were given."""

    def __init__(self, count="length", fill=b"", keep=lambda data: data):
        super().__init__()
        self.count, self.fill, self.keep = count, fill, keep
        self.calls = []
        self.kept = []

    def _serve(self, op, addr, length, data):
        self.calls.append((op, addr, length, bytes(data), data.readonly, data.format, data.ndim))
        self.kept.append(self.keep(data))
        return length if self.count == "length" else self.count

    def write(self, addr, length, data):
        return self._serve("write", addr, length, data)

    def read(self, addr, length, data):
        data[: len(self.fill)] = self.fill
        return self._serve("read", addr, length, data)


def test_native_write_reaches_the_override_with_a_read_only_view_of_exactly_the_bytes():
    device = Transfers(count=99)
    assert Device.write(device, 7, b"ABC") == 99
    assert Device.write(device, 0, memoryview(b"xyz!")[1:3]) == 99
    assert device.calls == [
        ("write", 7, 3, b"ABC", True, "B", 1),
        ("write", 0, 2, b"yz", True, "B", 1),
    ]


def test_native_read_reaches_the_override_and_its_bytes_reach_the_caller():
    device = Transfers(fill=b"\x01\x02\x03")
    target = bytearray(b"abcdef")
    assert Device.read(device, 3, target) == 6
    assert device.calls == [("read", 3, 6, b"\x01\x02\x03def", False, "B", 1)]
    assert target == b"\x01\x02\x03def"
    assert Device.read(Transfers(count=2**64 - 1), 0, bytearray(4)) == 2**64 - 1


@pytest.mark.parametrize("count", [-1, 2**64, 1.5, None])
def test_transfer_count_that_does_not_convert_is_a_cast_failure(count):
    with raises_exactly(RuntimeError, CAST_FAILURE.format(type(count))):
        Device.write(Transfers(count=count), 0, b"x")


@pytest.mark.parametrize("method", ["write", "read"])
def test_view_kept_by_the_override_is_released_on_return(method):
    device = Transfers()
    getattr(Device, method)(device, 0, bytearray(b"abc"))
    (kept,) = device.kept
    with pytest.raises(ValueError, match="released memoryview"):
        kept[0]
    with pytest.raises(ValueError, match="released memoryview"):
        bytes(kept)


@pytest.mark.parametrize("method", ["write", "read"])
@pytest.mark.parametrize(
    "keep",
    [np.asarray, lambda data: data[1:], lambda data: data.cast("b")],
    ids=["numpy array", "slice", "cast"],
)
def test_exports_that_outlive_the_call_never_reach_the_callers_memory(method, keep):
    device = Transfers(fill=b"X", keep=keep)
    caller = bytearray(b"abc")

    getattr(Device, method)(device, 0, caller)

    seen = b"abc" if method == "write" else b"Xbc"
    assert caller == seen
    (kept,) = device.kept
    caller.extend(b"more")  # nothing the override kept pins the caller's buffer
    caller[:3] = b"zzz"
    assert bytes(kept) == seen[-len(kept) :]
    if method == "read":
        kept[0] = ord("!")  # lands in the override's private copy
        assert caller == b"zzzmore"


def run_isolated(script):
    """Runs a script that could crash or hang in a fresh interpreter; returns its output."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True, text=True, timeout=120, check=False,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_kept_numpy_arrays_stay_safe_after_the_callers_buffer_is_freed():
    # A large bytearray lives in its own mapping, which is unmapped when it is freed: an array
    # still pointing into it would crash the interpreter.
    output = run_isolated(
        """
        import gc
        import numpy as np
        from pyvorn_device import Device

        class Keeper(Device):
            def write(self, addr, length, data):
                self.written = np.asarray(data)
                return length

            def read(self, addr, length, data):
                data[:] = bytes([5]) * length
                self.filled = np.asarray(data)
                return length

        keeper = Keeper()
        size = 16 << 20
        caller = bytearray([7]) * size
        assert Device.write(keeper, 0, caller) == size
        assert Device.read(keeper, 0, caller) == size
        assert caller == bytes([5]) * size
        del caller
        gc.collect()
        reuse = bytearray([238]) * size
        keeper.filled[:] = 1
        print(int(keeper.written.sum()) // size, int(keeper.filled.sum()) // size, reuse[0])
        """
    )
    assert output.split() == ["7", "1", "238"]


def test_trampoline_serves_concurrent_python_threads():
    output = run_isolated(
        """
        import threading
        from pyvorn_device import Device, ReturnCode

        class Echo(Device):
            def read_registers(self):
                return ReturnCode.Success

            def get_register(self, addr):
                return addr * 2

            def read(self, addr, length, data):
                data[:] = bytes([addr]) * length
                return length

        device = Echo()
        threads_count, rounds = 4, 2000
        barrier = threading.Barrier(threads_count)
        failures = []

        def work(index):
            barrier.wait()
            target = bytearray(16)
            for i in range(rounds):
                value = index * rounds + i
                if device.get_register_sync(value) != value * 2:
                    failures.append(("register", index, i))
                if Device.read(device, index, target) != 16 or target != bytes([index]) * 16:
                    failures.append(("read", index, i))

        threads = [threading.Thread(target=work, args=(n,)) for n in range(threads_count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(len(failures))
        """
    )
    assert output.split() == ["0"]


def test_read_override_that_raises_still_hands_back_what_it_filled():
    failure = OSError("link lost")

    class HalfRead(Device):
        def read(self, addr, length, data):
            data[:2] = b"ok"
            raise failure

    target = bytearray(b"....")
    with pytest.raises(OSError) as raised:
        Device.read(HalfRead(), 0, target)
    assert raised.value is failure
    assert target == b"ok.."
