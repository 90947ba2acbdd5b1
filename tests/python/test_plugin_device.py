"""Device objects of a plugin: what reaches the device, argument checks, results and repr."""

import re

import pytest

from pyvorn_device import ReturnCode, get_device_manager


@pytest.fixture
def spy(plugin_path):
    return get_device_manager(plugin_path("spy"))


@pytest.fixture
def device(spy):
    return spy.create_device("")


def test_calls_reach_the_device_with_their_arguments(device):
    assert device.set_register(1, 2, 3) == ReturnCode.Success
    assert device.send_registers() == ReturnCode.Success
    assert device.get_register(4294967295) == 4294967295
    assert device.read_registers() == ReturnCode.Success
    assert device.trigger(5, -(2**31)) == ReturnCode.Success
    assert device.trigger(6, 2**31 - 1) == ReturnCode.Success
    assert device.get_status() == (
        "set_register(1, 2, 3); send_registers(); get_register(4294967295); read_registers(); "
        "trigger(5, -2147483648); trigger(6, 2147483647)"
    )


def test_one_call_forms_use_the_defaults(device, spy):
    assert device.set_register_sync(7, 8, 9) == ReturnCode.Success
    assert device.get_register_sync(10) == 10
    assert device.get_status() == (
        "set_register(7, 8, 9); send_registers(); read_registers(); get_register(10)"
    )
    failing = spy.create_device("fail-read")
    assert failing.get_register_sync(10) is None
    assert failing.get_status() == "read_registers()"


def test_empty_optional_texts_are_none(spy):
    silent = spy.create_device("silent")
    assert silent.get_status() is None
    assert silent.get_info() is None


def test_each_result_is_a_new_return_code(device):
    first, second = device.send_registers(), device.send_registers()
    assert type(first) is ReturnCode
    assert first == second == ReturnCode.Success
    assert first is not second and first is not ReturnCode.Success


class Index:
    def __index__(self):
        return 12


def test_arguments_out_of_range_never_reach_the_device(device):
    for bad in (-1, 2**32, 1.0, "1", None):
        with pytest.raises(TypeError):
            device.get_register(bad)
    for bad in (2**31, -(2**31) - 1):
        with pytest.raises(TypeError):
            device.trigger(0, bad)
    with pytest.raises(TypeError):
        device.set_register(1, 2, aux=3)
    with pytest.raises(TypeError):
        device.get_register(addr=1)
    assert device.get_status() == ""
    assert device.get_register(Index()) == 12


def test_repr_shows_the_native_address(spy):
    first, second = spy.create_device(""), spy.create_device("")
    for device in (first, second):
        address = re.fullmatch(r"address=(0x[1-9a-f][0-9a-f]*) options=", device.get_info())[1]
        assert repr(device) == f"<pyvorn_device.Device at {address}>"
    assert repr(first) != repr(second)
