"""The demo runs against the installed simulated device plugin from start to end."""

import subprocess
import sys

from conftest import ROOT


def test_demo_runs_every_section():
    result = subprocess.run(
        [sys.executable, ROOT / "examples" / "demo.py", "--options", "sim1 memory=256"],
        capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 0, result.stderr
    for section in ("Device manager", "Registers", "Staged register writes", "Trigger",
                    "Status and info", "Device memory"):
        assert f"== {section} =" in result.stdout
    assert "SCRATCH0   0xCAFEF00D   0x00000000    0xCAFEF00D" in result.stdout
