"""Shared fixtures: where the plugins are, and helpers for subprocess and thread tests."""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def build_dir() -> pathlib.Path:
    """The CMake build tree of scripts/test (it holds the test plugins)."""
    return pathlib.Path(os.environ.get("VORN_BUILD_DIR", ROOT / "build" / "skbuild"))


@pytest.fixture(scope="session")
def sim_plugin() -> pathlib.Path:
    """The simulated device plugin as installed next to the module."""
    path = pathlib.Path(sys.prefix) / "lib" / "vorn" / "plugins" / "libvorn_sim.so"
    assert path.is_file(), f"simulated device plugin not installed at {path}"
    return path


@pytest.fixture(scope="session")
def test_plugin_dir() -> pathlib.Path:
    """Where scripts/test builds the test plugins."""
    path = build_dir() / "plugins" / "testing"
    assert path.is_dir(), f"test plugins not built at {path} (run scripts/test)"
    return path


@pytest.fixture(scope="session")
def stream_plugin(test_plugin_dir) -> pathlib.Path:
    """The plugin whose devices play a script of stream events (see plugins/testing)."""
    return test_plugin_dir / "libvorn_test_stream.so"


@pytest.fixture
def stream_manager(stream_plugin):
    import pyvorn_device

    return pyvorn_device.get_device_manager(stream_plugin)


@pytest.fixture
def run_python(tmp_path):
    """Runs Python code in a fresh interpreter with a timeout; returns the CompletedProcess.

    For cases that could hang or crash the interpreter (exit paths, destruction orders)."""
    import subprocess
    import textwrap

    def run(code, *, timeout=60, args=(), **kwargs):
        script = tmp_path / "case.py"
        script.write_text(textwrap.dedent(code))
        return subprocess.run(
            [sys.executable, str(script), *map(str, args)],
            capture_output=True,
            text=True,
            timeout=timeout,
            **kwargs,
        )

    return run
