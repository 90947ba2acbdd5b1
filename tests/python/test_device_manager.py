"""DeviceManager: the manager's texts, its location, and creating devices."""

import os
import pathlib
import threading

import pytest

from conftest import is_mapped
from pyvorn_device import Device, get_device_manager


@pytest.fixture
def spy(plugin_path):
    return get_device_manager(plugin_path("spy"))


def test_texts_and_location_come_from_the_plugin(spy):
    assert spy.info() == "spy"
    assert spy.list_devices() == "spy"
    assert spy.get_device_options() == "silent, fail-read"
    location = spy.location()
    assert isinstance(location, pathlib.Path)
    assert location == pathlib.Path("/spy/location")


def test_options_may_be_str_bytes_or_bytearray(spy):
    text = "mode=fast name=café"
    for options in (text, text.encode(), bytearray(text.encode())):
        device = spy.create_device(options)
        assert isinstance(device, Device)
        assert device.get_info().endswith(" options=" + text)
    for bad in (None, 42, ["x"]):
        with pytest.raises(TypeError):
            spy.create_device(bad)


def test_create_device_lets_other_threads_run(spy, counters):
    start = threading.Barrier(2)

    def give_go():
        start.wait()
        counters.add("spy.go", 1)

    thread = threading.Thread(target=give_go)
    thread.start()
    start.wait()
    # The plugin waits for the other thread, which needs the interpreter lock to set the counter.
    spy.create_device("wait-for-go")
    thread.join()
    assert counters["spy.saw_go"] == 1


def test_a_null_device_handle_is_none_and_releases_its_owner(plugin_path, counters):
    path = plugin_path("null_device")
    manager = get_device_manager(path)
    assert manager.create_device("") is None
    del manager
    # Had the null handle's owner (a manager reference) been kept, neither would be gone.
    assert counters["null_device.managers"] == 0
    assert not is_mapped(path)


def test_texts_that_are_not_utf8_raise_decode_errors(plugin_path):
    manager = get_device_manager(plugin_path("bad_utf8"))
    for method in (manager.info, manager.list_devices, manager.get_device_options):
        with pytest.raises(UnicodeDecodeError):
            method()
    device = manager.create_device("")
    for method in (device.get_status, device.get_info):
        with pytest.raises(UnicodeDecodeError):
            method()


def test_location_keeps_undecodable_bytes(plugin_path):
    location = get_device_manager(plugin_path("bad_utf8")).location()
    assert isinstance(location, pathlib.Path)
    assert os.fsencode(location) == b"/nonexistent/caf\xc3\xa9-\xff\xfe"
