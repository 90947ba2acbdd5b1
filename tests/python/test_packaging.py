"""Types and packaging: the stub against the built module, vornkit's own types, the wheel in a
fresh virtual environment, and the sdist."""

import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import zipfile

import numpy as np
import pytest

from conftest import ROOT, build_dir, skip_under_asan


def run(*command, cwd=None, ok=True, **env):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True,
                            timeout=600, cwd=cwd, env={**os.environ, **env})
    assert (result.returncode == 0) == ok, f"{command}:\n{result.stdout}\n{result.stderr}"
    return result.stdout


def test_the_stub_matches_the_module(tmp_path):
    # A copy named as the module, so that stubtest checks the source tree's stub.
    shutil.copy(ROOT / "python" / "pyvorn_device-stubs" / "__init__.pyi",
                tmp_path / "pyvorn_device.pyi")
    run(sys.executable, pathlib.Path(__file__).with_name("stubtest_pybind11.py"), "--allowlist",
        ROOT / "python" / "stubtest-allowlist.txt", "pyvorn_device", cwd=tmp_path,
        MYPYPATH=str(tmp_path))


def test_vornkit_passes_strict_type_checking():
    run(sys.executable, "-m", "mypy", "--cache-dir", build_dir().parent / "mypy-cache",
        cwd=ROOT)


# What a user's type checker sees in an environment that has only the wheel.
USER_CODE = """\
import pyvorn_device, vornkit
reveal_type(pyvorn_device.get_device_manager("x"))
device = vornkit.open_device("sim")
reveal_type(device.get_register_sync(0x100))
for block in vornkit.stream(device, 0, alignment=4, errors="yield"):
    reveal_type(block)
device.set_register(0x100, 0)
"""
REVEALED = [
    'Revealed type is "pyvorn_device.DeviceManager | None"',
    'Revealed type is "int | None"',
    'Revealed type is "vornkit._stream.Block | vornkit._errors.StreamError"',
    'error: Too few arguments for "set_register" of "Device"',
]

FRESH_CHECK = """\
import array, importlib.util, vornkit
assert importlib.util.find_spec("numpy") is None
device = vornkit.open_device("sim")
vornkit.set_registers(device, {0x100: 0, 0x10C: 4})
data = b"".join(bytes(chunk) for chunk in vornkit.stream(device, 0))
assert list(array.array("I", data)) == list(range(4096)), "not the counter"
try:
    vornkit.capture(device, 0, samples=1)
except ImportError as error:
    print(error)
print(vornkit.sdk_prefix())
print(vornkit.bundled_plugins())
"""


@pytest.mark.slow
@skip_under_asan("the wheel would be built in the sanitized build tree, and auditwheel would "
                 "bundle the sanitizer runtimes into it; the normal run tests the wheel")
def test_the_wheel_installs_and_streams_in_a_fresh_venv(tmp_path):
    # The build tree and settings of scripts/test, so that only packaging is new work.
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
        "-w", tmp_path, "-C", f"build-dir={build_dir()}", "-C", "cmake.define.VORN_BUILD_TESTS=ON",
        "-C", "cmake.define.VORN_WERROR=ON", ROOT)
    (wheel,) = tmp_path.glob("*.whl")
    assert wheel.name.startswith("pyvorn_device-0.1.0-cp313-cp313-manylinux_")
    shown = run(sys.executable, "-m", "auditwheel", "show", wheel)
    assert 'consistent with the following platform tag: "manylinux_' in " ".join(shown.split())
    names = set(zipfile.ZipFile(wheel).namelist())
    data = "pyvorn_device-0.1.0.data/data/"
    assert {"pyvorn_device-stubs/__init__.pyi", "vornkit/py.typed", "vornkit/cli.py",
            data + "lib/vorn/plugins/libvorn_sim.so", data + "lib/vorn/plugins/libvorn_replay.so",
            data + "include/vorn/vorn.hpp", data + "include/vorn/support.hpp",
            data + "lib/cmake/vorn/vornConfig.cmake",
            "pyvorn_device-0.1.0.dist-info/licenses/LICENSE"} <= names
    metadata = zipfile.ZipFile(wheel).read("pyvorn_device-0.1.0.dist-info/METADATA").decode()
    assert "License-Expression: MIT\n" in metadata and "License-File: LICENSE\n" in metadata

    env = tmp_path / "env"
    run(sys.executable, "-m", "venv", "--without-pip", env)
    python = env / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", python, "install", "-q", "--no-index", wheel)
    out = run(python, "-c", FRESH_CHECK, cwd=tmp_path).splitlines()
    assert out[0].startswith("vornkit.capture() needs numpy") and out[1] == str(env)
    assert out[2] == "['replay', 'sim']"

    counter = tmp_path / "counter.npy"
    run(env / "bin" / "vorn", "record", "sim", "--set", "0x100=0", "--chunks", "100",
        "--dtype", "uint32", "-o", counter)
    assert np.array_equal(np.load(counter), np.arange(102400, dtype=np.uint32))
    again = tmp_path / "again.npy"
    run(env / "bin" / "vorn", "record", "replay", "--options", f"file={counter}", "--dtype",
        "uint32", "-o", again)
    assert again.read_bytes() == counter.read_bytes()

    (tmp_path / "user.py").write_text(USER_CODE)
    checked = run(sys.executable, "-m", "mypy", "--python-executable", python, "--cache-dir",
                  tmp_path / "cache", "user.py", cwd=tmp_path, ok=False)
    for line in REVEALED:
        assert line in checked, checked
    assert "Found 1 error" in checked, checked


def test_the_sdist_holds_every_source_file(tmp_path):
    run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", tmp_path, ROOT)
    (sdist,) = tmp_path.glob("*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    tracked = run("git", "-C", ROOT, "ls-files", "CMakeLists.txt", "pyproject.toml", "README.md",
                  "LICENSE", "vorn", "pyvorn", "plugins", "python", "tools", "tests").split()
    assert set(tracked) <= names
    assert not any(name.startswith((".venv/", "build/")) or "__pycache__" in name for name in names)
