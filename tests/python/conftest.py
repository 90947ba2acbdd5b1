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
