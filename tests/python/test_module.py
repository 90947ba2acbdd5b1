"""The module surface: import, documentation and what is registered, in which order."""

import pyvorn_device


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
