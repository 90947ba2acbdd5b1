"""The installed vorn CMake package: a plugin built out of tree against it loads and works."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT, is_mapped
from pyvorn_device import ReturnCode, get_device_manager


def run(*command: str | os.PathLike) -> None:
    result = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, f"{command} failed:\n{result.stdout}\n{result.stderr}"


@pytest.mark.isolated
def test_a_plugin_built_against_the_installed_package_loads(tmp_path):
    cmake = shutil.which("cmake")
    assert cmake, "cmake is not on PATH"
    # A copy away from the source tree: headers and CMake files can only come from the prefix.
    source = tmp_path / "source"
    shutil.copytree(ROOT / "tests" / "downstream", source)
    build = tmp_path / "build"
    run(cmake, "-S", source, "-B", build, f"-DCMAKE_PREFIX_PATH={sys.prefix}",
        "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF")
    cache = (build / "CMakeCache.txt").read_text()
    assert f"vorn_DIR:PATH={sys.prefix}/lib/cmake/vorn" in cache
    run(cmake, "--build", build)

    plugin = build / "libdownstream_plugin.so"
    manager = get_device_manager(plugin)
    assert manager.info() == "downstream plugin"
    assert manager.location() == pathlib.Path("/downstream")
    device = manager.create_device("")
    del manager
    assert device.set_register_sync(3, 42, 0) == ReturnCode.Success
    assert device.get_register_sync(3) == 42
    del device
    assert not is_mapped(plugin)
