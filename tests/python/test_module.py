"""The module surface: import and version check, what is registered, and the signature texts."""

import operator

import pytest

import pyvorn_device
from conftest import run_python


def test_module_registers_exactly_the_public_names_in_order():
    public = [name for name in vars(pyvorn_device) if not name.startswith("__")]
    assert public == [
        "ReturnCode",
        "DataStream",
        "ManagedBuffer",
        "DataView",
        "Device",
        "DeviceManager",
        "get_device_manager",
    ]
    assert pyvorn_device.__doc__ == "Python binding for VORN Device"


VERSION_PROBE = r"""
import ctypes, sys
# Py_GetVersion returns the interpreter's static, writable version buffer: give it another text.
get_version = ctypes.pythonapi.Py_GetVersion
get_version.restype = ctypes.c_void_p
fake = sys.argv[1].encode() + b"\0"
ctypes.memmove(get_version(), fake, len(fake))
try:
    import pyvorn_device
except ImportError as error:
    print("ImportError:", error)
else:
    print("imported:", pyvorn_device.__doc__)
"""


@pytest.mark.parametrize("version", ["3.12.1 (main, Jan 2 2024) [GCC]", "3.130.0 (main) [GCC]"])
def test_import_refuses_an_interpreter_of_another_version(version):
    result = run_python(VERSION_PROBE, version)
    assert result.stdout == (
        "ImportError: Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {version}.\n"
    ), result.stderr


@pytest.mark.parametrize("version", ["3.13.0 (main) [GCC]", "3.13.9+ (heads/3.13) [Clang]"])
def test_import_accepts_any_313_release(version):
    result = run_python(VERSION_PROBE, version)
    assert result.stdout == "imported: Python binding for VORN Device\n", result.stderr


@pytest.mark.parametrize("name", ["DataStream", "ManagedBuffer", "DataView", "DeviceManager"])
def test_classes_without_constructor_refuse_to_be_called(name):
    with pytest.raises(TypeError, match=rf"^pyvorn_device\.{name}: No constructor defined!$"):
        getattr(pyvorn_device, name)()


@pytest.mark.isolated
@pytest.mark.parametrize(
    "name, use",
    [
        ("Device", lambda device: device.get_status()),
        ("Device", lambda device: device.write(0, b"x")),
        ("Device", lambda device: device.start_read_stream(0, print)),
        ("DeviceManager", lambda manager: manager.info()),
        ("DataStream", lambda stream: stream.stop()),
    ],
)
def test_objects_made_by_new_without_a_constructor_refuse_to_be_used(name, use):
    cls = getattr(pyvorn_device, name)
    with pytest.raises(TypeError, match=f"this {name} was created without its constructor"):
        use(cls.__new__(cls))


@pytest.mark.isolated
@pytest.mark.parametrize("name", ["ManagedBuffer", "DataView"])
def test_chunk_objects_made_by_new_export_no_buffer(name):
    cls = getattr(pyvorn_device, name)
    with pytest.raises(BufferError, match="holds no chunk"):
        memoryview(cls.__new__(cls))


SIGNATURES = {
    "get_device_manager": "(arg0: os.PathLike) -> pyvorn_device.DeviceManager",
    "DeviceManager.location": "(self: pyvorn_device.DeviceManager) -> os.PathLike",
    "DeviceManager.create_device": (
        "(self: pyvorn_device.DeviceManager, arg0: str) -> pyvorn_device.Device"
    ),
    "Device.set_register_sync": (
        "(self: pyvorn_device.Device, arg0: int, arg1: int, arg2: int) -> pyvorn_device.ReturnCode"
    ),
    "Device.get_register_sync": "(self: pyvorn_device.Device, arg0: int) -> Optional[int]",
    "Device.trigger": (
        "(self: pyvorn_device.Device, arg0: int, arg1: int) -> pyvorn_device.ReturnCode"
    ),
    "Device.start_read_stream": (
        "(self: pyvorn_device.Device, addr: int, callback: Callable[[Optional["
        "pyvorn_device.ManagedBuffer], Optional[str]], None], chunk_size: int = 0, "
        "max_queue_elements: int = 4096) -> Optional[pyvorn_device.DataStream]"
    ),
    "DataStream.__exit__": (
        "(self: pyvorn_device.DataStream, arg0: Optional[type], arg1: Optional[object], "
        "arg2: Optional[object]) -> None"
    ),
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures_name_python_types(name):
    function = operator.attrgetter(name)(pyvorn_device)
    first_line = function.__doc__.splitlines()[0]
    assert first_line == name.rpartition(".")[2] + SIGNATURES[name]
