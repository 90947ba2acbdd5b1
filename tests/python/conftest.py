"""Shared fixtures: where the plugins are, helpers for subprocess and thread tests, the soak's
options and the figures that long tests print."""

import ctypes
import os
import pathlib
import subprocess
import sys
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
_IN_CHILD = "VORN_TEST_IN_CHILD"
_FIGURES = pytest.StashKey[list]()


def pytest_addoption(parser):
    group = parser.getgroup("soak", "the soak (tests/python/test_soak.py)")
    group.addoption("--soak-seconds", type=float, default=None, metavar="N",
                    help="run the soak for N seconds instead of its short run of about 30 s")
    group.addoption("--soak-seed", type=int, default=None, metavar="SEED",
                    help="replay the soak's random choices with SEED (also: VORN_SOAK_SEED)")


@pytest.fixture
def figures(request):
    """figures(line) adds a line to the "figures" section of the terminal summary: what a long
    test covered, shown also when the test passes."""
    return request.config.stash.setdefault(_FIGURES, []).append


def pytest_terminal_summary(terminalreporter, config):
    lines = config.stash.get(_FIGURES, [])
    if lines:
        terminalreporter.write_sep("-", "figures")
        for line in lines:
            terminalreporter.write_line(line)


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    """Runs a test marked `isolated` in a pytest process of its own, with a time-out, so that a
    crash or a hang (a call into an unloaded plugin, say) fails that test only."""
    if pyfuncitem.get_closest_marker("isolated") is None or os.environ.get(_IN_CHILD):
        return None
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", pyfuncitem.nodeid],
        cwd=pyfuncitem.config.rootpath,
        env={**os.environ, _IN_CHILD: "1"},
        capture_output=True,
        text=True,
        timeout=300,
    )
    output = f"{result.stdout}\n{result.stderr}"
    assert result.returncode == 0, f"isolated run failed ({result.returncode}):\n{output}"
    return True


# Set by scripts/test for its run against the build with AddressSanitizer (build/asan).
UNDER_ASAN = os.environ.get("VORN_ASAN") == "1"


def skip_under_asan(reason: str):
    """Skips a test that cannot work under AddressSanitizer, saying why."""
    return pytest.mark.skipif(UNDER_ASAN, reason=f"not under AddressSanitizer: {reason}")


def build_dir() -> pathlib.Path:
    """The CMake build tree of scripts/test (it holds the test plugins)."""
    return pathlib.Path(os.environ.get("VORN_BUILD_DIR", ROOT / "build" / "skbuild"))


def plugin_build_dir() -> pathlib.Path:
    """Where the build puts the test plugins and the counters library."""
    return build_dir() / "plugins" / "testing"


@pytest.fixture(scope="session")
def installed_sim_plugin() -> pathlib.Path:
    """The simulated device plugin as installed next to the module (what "sim" names)."""
    path = pathlib.Path(sys.prefix) / "lib" / "vorn" / "plugins" / "libvorn_sim.so"
    assert path.is_file(), f"simulated device plugin not installed at {path}"
    return path


@pytest.fixture(scope="session")
def sim_plugin(installed_sim_plugin) -> pathlib.Path:
    """The simulated device plugin the tests load: the installed one, or the one VORN_SIM_PLUGIN
    names (a plugin built elsewhere, to test it with the installed module)."""
    path = pathlib.Path(os.environ.get("VORN_SIM_PLUGIN", installed_sim_plugin))
    assert path.is_file(), f"simulated device plugin not found at {path}"
    return path


@pytest.fixture(scope="session")
def plugin_path():
    """plugin_path("spy") is the path of the test plugin libvorn_test_spy.so."""

    def path(name: str) -> pathlib.Path:
        result = plugin_build_dir() / f"libvorn_test_{name}.so"
        assert result.is_file(), f"test plugin not built: {result}"
        return result

    return path


class Counters:
    """The named counters of libvorn_test_counters.so, which test plugins update."""

    def __init__(self, library: ctypes.CDLL):
        self._get = library.vorn_test_counter_get
        self._get.argtypes = [ctypes.c_char_p]
        self._get.restype = ctypes.c_longlong
        self._add = library.vorn_test_counter_add
        self._add.argtypes = [ctypes.c_char_p, ctypes.c_longlong]
        self._add.restype = ctypes.c_longlong
        self.reset = library.vorn_test_counter_reset

    def __getitem__(self, name: str) -> int:
        return self._get(name.encode())

    def add(self, name: str, delta: int) -> int:
        return self._add(name.encode(), delta)


@pytest.fixture(scope="session")
def _counters_library() -> Counters:
    # Loaded once and never unloaded: the counters outlive every plugin that links them.
    return Counters(ctypes.CDLL(str(plugin_build_dir() / "libvorn_test_counters.so")))


@pytest.fixture
def counters(_counters_library: Counters) -> Counters:
    """All counters at 0 when the test starts."""
    _counters_library.reset()
    return _counters_library


def is_mapped(path: os.PathLike) -> bool:
    """Whether the library at `path` is mapped into this process."""
    real = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").endswith(" " + real) for line in maps)


def wait_until(condition, timeout=10.0):
    """Polls `condition` until it holds or `timeout` seconds have passed; whether it holds. A hang
    guard for what another thread brings about, not a speed check."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


def child_env() -> dict[str, str]:
    """The environment for a child interpreter: this one's, with the source tree's vornkit
    first on the path, where the tests import it from too (pythonpath in pyproject.toml)."""
    paths = [str(ROOT / "python"), os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in paths if path)}


def run_python(code: str, *args: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of this environment, in this directory (so that it can
    import conftest), with vornkit from the source tree; a time-out fails the test."""
    return subprocess.run(
        [sys.executable, "-c", code, *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=pathlib.Path(__file__).parent,
        env=child_env(),
    )


def assert_runs_ok(code: str, *args: str, timeout: float = 60) -> None:
    """Runs `code` as run_python does and checks that it succeeded, printing just "ok"."""
    result = run_python(code, *args, timeout=timeout)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok", result.stdout


@pytest.fixture(scope="session")
def stream_plugin(plugin_path) -> pathlib.Path:
    """The plugin whose devices play a script of stream events (plugins/testing/stream_plugin.cpp)."""
    return plugin_path("stream")


@pytest.fixture
def stream_manager(stream_plugin, counters):
    """A manager of the stream plugin, with the plugin's counters at 0."""
    import pyvorn_device

    return pyvorn_device.get_device_manager(stream_plugin)
