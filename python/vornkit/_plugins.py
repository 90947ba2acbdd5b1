"""Where the bundled plugins and the plugin SDK are, and opening devices in one call."""

from __future__ import annotations

import functools
import importlib.metadata
import os
import pathlib
import re
import sys
from collections.abc import Iterable, Mapping

import pyvorn_device

from ._errors import RegisterError, VornError

SIM_PLUGIN_FILE = "libvorn_sim.so"
# The plugin SDK's umbrella header, under the prefix: how the installation is found.
_SDK_HEADER = "include/vorn/vorn.hpp"


@functools.cache
def sdk_prefix() -> pathlib.Path:
    """The prefix that pyvorn_device installed its data under: lib/vorn/plugins (the plugins),
    include/vorn and lib/cmake/vorn (the plugin SDK). Pass it to CMake as CMAKE_PREFIX_PATH.

    Usually sys.prefix; found through the installed distribution's file list, so that user and
    --prefix installations work too."""
    try:
        files = importlib.metadata.distribution("pyvorn_device").files or []
    except importlib.metadata.PackageNotFoundError:
        files = []
    for file in files:
        if file.as_posix().endswith(_SDK_HEADER):
            located = pathlib.Path(os.path.normpath(file.locate()))
            return located.parents[2]  # <prefix>/include/vorn/vorn.hpp
    return pathlib.Path(sys.prefix)


def plugin_dir() -> pathlib.Path:
    """The directory of the bundled plugins, <prefix>/lib/vorn/plugins."""
    return sdk_prefix() / "lib" / "vorn" / "plugins"


def bundled_plugins() -> list[str]:
    """The names of the bundled plugins ("replay", "sim"): libvorn_<name>.so in plugin_dir()."""
    try:
        files = sorted(plugin_dir().glob("libvorn_*.so"))
    except OSError:
        return []
    return [file.name.removeprefix("libvorn_").removesuffix(".so") for file in files]


def sim_plugin() -> pathlib.Path:
    """The path of the bundled simulated device plugin (plugins/sim/README.md)."""
    path = plugin_dir() / SIM_PLUGIN_FILE
    if not path.is_file():
        raise FileNotFoundError(f"the simulated device plugin is not installed at {path}")
    return path


def _is_name(plugin: str | os.PathLike[str]) -> bool:
    """Whether `plugin` is written as a bundled plugin's name: a str of letters, digits, "_" and
    "-" only (anything else, "libacme.so.2" say, is a path)."""
    return isinstance(plugin, str) and re.fullmatch(r"[A-Za-z0-9_-]+", plugin) is not None


def _plugin_path(plugin: str | os.PathLike[str]) -> str | os.PathLike[str]:
    """`plugin` as the loader gets it: a bundled plugin for its name, anything else as given, so
    that messages show the path as the user wrote it ("./x.so", not "x.so")."""
    if not _is_name(plugin):
        return plugin
    assert isinstance(plugin, str)
    path = plugin_dir() / f"libvorn_{plugin}.so"
    if path.is_file():
        return path
    names = ", ".join(bundled_plugins()) or "none"
    raise FileNotFoundError(f"no bundled plugin named {plugin!r} in {plugin_dir()} (bundled: "
                            f"{names}); give a path, such as ./{plugin}, for a plugin file")


def resolve_plugin(plugin: str | os.PathLike[str]) -> pathlib.Path:
    """`plugin` as a path: a name such as "sim" or "replay" means that bundled plugin,
    libvorn_<name>.so in plugin_dir() (write "./sim" for a file of that name); anything else is
    a path. Raises FileNotFoundError for a name that no bundled plugin has."""
    return pathlib.Path(_plugin_path(plugin))


def open_manager(plugin: str | os.PathLike[str] = "sim") -> pyvorn_device.DeviceManager:
    """Loads the plugin (a bundled plugin's name, or a path) and returns its manager. Raises what
    get_device_manager raises (RuntimeError, naming the path as given), and VornError when the
    plugin made no manager."""
    path = _plugin_path(plugin)
    manager = pyvorn_device.get_device_manager(path)
    if manager is None:
        raise VornError(f"the plugin {os.fspath(path)} made no device manager")
    return manager


def open_device(plugin: str | os.PathLike[str] = "sim", options: str = "") -> pyvorn_device.Device:
    """A device from the plugin (a bundled plugin's name, or a path), made with the option text. Raises what the
    plugin raises (ValueError for bad options), and VornError when it made no device. The
    device keeps its plugin loaded."""
    device = open_manager(plugin).create_device(options)
    if device is None:
        raise VornError(f"the plugin made no device for the options {options!r}")
    return device


def set_registers(device: pyvorn_device.Device,
                  values: Mapping[int, int] | Iterable[tuple[int, int]]) -> None:
    """Stages each (address, value) with set_register, in order, then sends them all with
    send_registers. Raises RegisterError naming the first write the device refused, or with
    `addr` None when sending failed."""
    items = values.items() if isinstance(values, Mapping) else values
    for addr, value in items:
        if device.set_register(addr, value, 0) != pyvorn_device.ReturnCode.Success:
            raise RegisterError(f"the device refused to stage register 0x{addr:X} = 0x{value:X}"
                                " (read-only or unmapped?)", addr)
    if device.send_registers() != pyvorn_device.ReturnCode.Success:
        raise RegisterError("the device did not take the staged registers (send_registers "
                            "failed)")
