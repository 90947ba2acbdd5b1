"""The vorn command line tool: its commands, and one clear line with status 2 for bad input."""

import numpy as np
import pytest

from vornkit.cli import main


def run(capsys, *argv):
    try:
        status = main(list(argv))
    except SystemExit as exit:  # argparse: --help, usage errors
        status = exit.code
    out, err = capsys.readouterr()
    return status, out, err


def test_probe_info_and_registers(capsys, sim_plugin):
    status, out, _ = run(capsys, "probe", "sim")
    assert status == 0 and f"plugin    {sim_plugin}" in out
    assert "  sim1  serial VS-0001  simulated acquisition device" in out and "options\n" in out

    status, out, _ = run(capsys, "info", str(sim_plugin), "--options", "sim2 memory=1k")
    assert status == 0 and "ID 0x56530102, 1024 bytes of device memory" in out
    assert out.splitlines()[1].startswith("status  link: up; staged register writes: 0")

    status, out, _ = run(capsys, "reg", "sim", "--options", "sim1", "get", "0", "0x104", "268")
    assert (status, out) == (0, "0x000  0x56530101  1448280321\n0x104  0x00001000  4096\n"
                                "0x10C  0x00000000  0\n")
    status, out, _ = run(capsys, "reg", "sim", "set", "0x10=0xCAFE", "20=1")
    assert (status, out) == (0, "sent 2 register values: 0x010=0xCAFE, 0x014=0x1\n")


def test_record_writes_the_counter(capsys, tmp_path):
    path = tmp_path / "counter.npy"
    status, out, err = run(capsys, "record", "sim", "--set", "0x100=0", "--chunks", "100",
                           "--dtype", "uint32", "-o", str(path))
    assert (status, err) == (0, "")
    assert out.startswith(f"recorded {path} (102400 uint32 samples): 100 chunks, 409600 bytes")
    assert out.rstrip().endswith("errors: 0, drops: 0")
    assert np.array_equal(np.load(path), np.arange(102400, dtype=np.uint32))

    status, out, err = run(capsys, "record", "sim", "--set", "0x100=0", "--set", "0x11C=2",
                           "--bytes", "0x10000", "-o", str(tmp_path / "raw.bin"))
    assert status == 1 and err == "vorn: simulated error after chunk 2\n"
    assert out.startswith("incomplete ") and out.rstrip().endswith("errors: 1, drops: 0")
    assert (tmp_path / "raw.bin").stat().st_size == 2 * 4096


@pytest.mark.parametrize("argv, message", [
    (["probe", "/no/such/plugin.so"],
     "cannot load the plugin /no/such/plugin.so: Device Manager not found: /no/such/plugin.so"),
    (["info", "sim", "--options", "sim7"], 'bad device options \'sim7\': unknown device "sim7"'),
    (["reg", "sim", "get", "0x1G"], "'0x1G' is not a number (decimal or 0x hexadecimal)"),
    (["reg", "sim", "set", "0x100000000=1"], "'0x100000000' does not fit in 32 bits"),
    (["reg", "sim", "set", "0x10=1", "0x0=1"], "the device refused to stage register 0x0 = 0x1"),
    (["record", "sim", "-o", "x.npy"], "one of the arguments --chunks --bytes --seconds is required"),
    (["record", "sim", "--chunks", "1", "--dtype", "int3", "-o", "x.npy"], "invalid choice: 'int3'"),
])
def test_bad_input_is_one_line_and_status_2(capsys, argv, message):
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == ""
    assert err.startswith("vorn: ") and message in err and err.count("\n") == 1
