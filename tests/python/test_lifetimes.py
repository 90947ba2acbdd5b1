"""Lifetimes: devices keep their plugin loaded; a library goes when its last object goes."""

import pytest

from conftest import is_mapped
from pyvorn_device import get_device_manager


@pytest.mark.isolated
def test_a_device_outlives_its_dropped_manager(plugin_path, counters):
    path = plugin_path("spy")
    manager = get_device_manager(path)
    first, second = manager.create_device(""), manager.create_device("")
    del manager
    assert counters["spy.managers"] == 1
    assert first.get_register(5) == 5
    del first
    assert is_mapped(path)
    assert second.get_register(6) == 6
    del second
    assert counters["spy.devices"] == 0
    assert counters["spy.managers"] == 0
    assert not is_mapped(path)


@pytest.mark.isolated
def test_two_loads_of_one_path_are_two_managers(plugin_path, counters):
    path = plugin_path("spy")
    first, second = get_device_manager(path), get_device_manager(path)
    assert counters["spy.factory_calls"] == 2
    assert counters["spy.managers"] == 2
    del first
    assert counters["spy.managers"] == 1
    assert is_mapped(path)
    assert second.info() == "spy"
    del second
    assert not is_mapped(path)


@pytest.mark.isolated
def test_sim_devices_keep_the_sim_plugin_loaded(sim_plugin):
    manager = get_device_manager(sim_plugin)
    device = manager.create_device("sim1")
    del manager
    assert device.get_register(0) == 0x5653_0101
    assert is_mapped(sim_plugin)
    del device
    assert not is_mapped(sim_plugin)
