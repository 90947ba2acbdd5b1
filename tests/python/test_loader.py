"""get_device_manager: path checks in their order, loading, failures, and what stays loaded."""

import os

import pytest

from conftest import is_mapped, run_python
from pyvorn_device import DeviceManager, get_device_manager


def raises_runtime_error(path, message: str):
    with pytest.raises(RuntimeError) as caught:
        get_device_manager(path)
    assert str(caught.value) == message


def test_missing_paths_are_not_found(tmp_path):
    missing = tmp_path / "missing.so"
    raises_runtime_error(missing, f"Device Manager not found: {missing}")
    # Existence follows links: a dangling link is missing too, and shown as given.
    dangling = tmp_path / "dangling.so"
    dangling.symlink_to(missing)
    raises_runtime_error(str(dangling), f"Device Manager not found: {dangling}")


def test_bare_names_are_resolved_against_the_working_directory(plugin_path, tmp_path, monkeypatch):
    monkeypatch.chdir(plugin_path("spy").parent)
    assert get_device_manager("libvorn_test_spy.so").info() == "spy"
    # A library that is only on the system's search path is not looked for there.
    monkeypatch.chdir(tmp_path)
    raises_runtime_error("libc.so.6", "Device Manager not found: libc.so.6")


def test_only_regular_files_are_loaded(tmp_path):
    directory = tmp_path / "plugin.so"
    directory.mkdir()
    fifo = tmp_path / "fifo.so"
    os.mkfifo(fifo)
    link_to_fifo = tmp_path / "link.so"
    link_to_fifo.symlink_to(fifo)
    for path in (directory, fifo, link_to_fifo, "/dev/null"):
        raises_runtime_error(path, f"Not a regular file: {path}")


def test_filesystem_errors_keep_the_system_text(tmp_path):
    (tmp_path / "a.so").symlink_to(tmp_path / "b.so")
    (tmp_path / "b.so").symlink_to(tmp_path / "a.so")
    with pytest.raises(RuntimeError, match="Too many levels of symbolic links"):
        get_device_manager(tmp_path / "a.so")


def test_a_file_that_is_no_library_is_refused_by_the_dynamic_loader(tmp_path):
    text = tmp_path / "notes.so"
    text.write_text("not a library\n")
    with pytest.raises(RuntimeError) as caught:
        get_device_manager(text)
    assert str(caught.value).startswith("boost::dll::shared_library::load() failed")
    assert str(text) in str(caught.value)  # the dynamic loader's message names the file


def test_symbolic_links_are_loaded_through_their_own_path(sim_plugin, plugin_path, tmp_path):
    link = tmp_path / "link-to-sim.so"
    link.symlink_to(sim_plugin)
    # The sim reports the path the dynamic loader opened: the link's, not the target's.
    assert get_device_manager(link).location() == link
    no_factory = tmp_path / "link-to-no-factory.so"
    no_factory.symlink_to(plugin_path("no_factory"))
    raises_runtime_error(
        no_factory, f"Device Manager does not have create_manager function: {no_factory}"
    )


@pytest.mark.isolated
def test_failed_libraries_are_unloaded_again(plugin_path, counters):
    no_factory = plugin_path("no_factory")
    raises_runtime_error(
        no_factory, f"Device Manager does not have create_manager function: {no_factory}"
    )
    assert not is_mapped(no_factory)

    # A factory exported as a function is refused before it is read as an address.
    function = plugin_path("function_factory")
    raises_runtime_error(
        function,
        "Device Manager exports create_manager as a function; export the factory's address with "
        f"VORN_EXPORT_MANAGER_FACTORY instead: {function}",
    )
    assert counters["function_factory.calls"] == 0
    assert not is_mapped(function)

    # A data symbol holding a null address, or too small to hold one: nothing is called.
    for name in ("null_address", "tiny_symbol"):
        path = plugin_path(name)
        raises_runtime_error(path, f"Device Manager create_manager holds no factory address: {path}")
        assert not is_mapped(path)

    throwing = plugin_path("throwing_factory")
    raises_runtime_error(throwing, f"Failed to create manager: {throwing} boom")
    assert not is_mapped(throwing)

    null_factory = plugin_path("null_factory")
    assert get_device_manager(null_factory) is None
    assert counters["null_factory.calls"] == 1
    assert not is_mapped(null_factory)


def test_a_foreign_exception_passes_and_pins_its_library(plugin_path):
    # The library stays loaded for good (its exception may still be in use), so not in this process.
    result = run_python(
        "import sys, pyvorn_device\n"
        "from conftest import is_mapped\n"
        "try:\n"
        "    pyvorn_device.get_device_manager(sys.argv[1])\n"
        "except RuntimeError as error:\n"
        "    print(error, is_mapped(sys.argv[1]))\n",
        str(plugin_path("foreign_exception")),
    )
    assert result.stdout == "Caught an unknown exception! True\n", result.stderr


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_paths_may_be_str_bytes_or_path_like(plugin_path):
    path = plugin_path("spy")
    as_bytes = os.fsencode(path)
    for argument in (str(path), as_bytes, path, PathLike(str(path)), PathLike(as_bytes)):
        manager = get_device_manager(argument)
        assert isinstance(manager, DeviceManager)
        assert manager.info() == "spy"


def test_other_path_arguments_are_type_errors(plugin_path):
    path = str(plugin_path("spy"))
    bad = (42, None, [path], bytearray(path.encode()), path + "\0", path.encode() + b"\0x")
    for argument in bad:
        with pytest.raises(TypeError):
            get_device_manager(argument)
    with pytest.raises(TypeError):
        get_device_manager(path=path)


def test_messages_show_undecodable_path_bytes_escaped(tmp_path):
    missing = os.fsencode(tmp_path) + b"/caf\xe9.so"
    raises_runtime_error(missing, f"Device Manager not found: {tmp_path}/caf\\xe9.so")
