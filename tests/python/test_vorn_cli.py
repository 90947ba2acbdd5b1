"""The vorn command line tool: its commands, and one clear line with status 2 for bad input."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

from conftest import ROOT
from vornkit.cli import main


def run(capsys, *argv):
    try:
        status = main(list(argv))
    except SystemExit as exit:  # argparse: --help, usage errors
        status = exit.code
    out, err = capsys.readouterr()
    return status, out, err


def test_probe_info_and_registers(capsys, sim_plugin, installed_sim_plugin):
    status, out, _ = run(capsys, "probe", "sim")
    assert status == 0 and f"plugin    {installed_sim_plugin}" in out
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
    assert (status, out) == (0, "")  # summaries go to stderr
    assert err.startswith(f"recorded {path} (npy, uint32): 100 chunks, 409600 bytes, 102400 "
                          "samples in ")
    assert err.rstrip().endswith("errors: 0, drops: 0")
    assert np.array_equal(np.load(path), np.arange(102400, dtype=np.uint32))

    status, out, err = run(capsys, "record", "sim", "--set", "0x100=0", "--set", "0x11C=2",
                           "--bytes", "0x10000", "-o", str(tmp_path / "raw.bin"))
    assert status == 1 and out == ""
    incomplete, message = err.splitlines()
    assert message == "vorn: simulated error after chunk 2"
    # The writer goes on until the command sees the error: the summary says how far.
    size, errors = re.fullmatch(r"incomplete \S+: \d+ chunks, (\d+) bytes, .*; errors: (\d+), "
                                r"drops: 0", incomplete).groups()
    assert int(errors) >= 1 and (tmp_path / "raw.bin").stat().st_size == int(size) >= 2 * 4096


@pytest.mark.parametrize("argv, message", [
    (["probe", "/no/such/plugin.so"],
     "cannot load the plugin /no/such/plugin.so: Device Manager not found: /no/such/plugin.so"),
    (["info", "sim", "--options", "sim7"], 'bad device options \'sim7\': unknown device "sim7"'),
    (["reg", "sim", "get", "0x1G"], "'0x1G' is not a number (decimal or 0x hexadecimal)"),
    (["reg", "sim", "set", "0x100000000=1"], "'0x100000000' does not fit in 32 bits"),
    (["reg", "sim", "set", "0x10=1", "0x0=1"], "the device refused to stage register 0x0 = 0x1"),
    (["record", "sim", "--chunks", "1", "--bytes", "1", "-o", "x.npy"],
     "argument --bytes: not allowed with argument --chunks"),
    (["record", "sim", "--chunks", "1", "--dtype", "int3", "-o", "x.npy"], "invalid choice: 'int3'"),
    (["record", "sim", "--chunks", "1", "--max-queue", "10", "-o", "x.npy"],
     "--max-queue: '10' is not between 64 and 2147483647"),
    (["record", "sim", "--chunks", "1", "--max-queue", str(2**64), "-o", "x.npy"],
     "is not between 64 and 2147483647"),
    (["record", "sim", "--chunks", "1", "--chunk-size", str(2**64), "-o", "x.npy"],
     "does not fit in 64 bits"),
    (["info", "sim", "--options", os.fsdecode(b"sim1\xff")], "b'sim1\\xff' is not valid UTF-8"),
    (["probe", "BAD_UTF8"], "the plugin's info is not valid UTF-8: 'utf-8' codec can't decode"),
    (["probe", "./nope.so"], "Device Manager not found: ./nope.so\n"),
    (["probe", "/etc/passwd"], "dynamic loader can load: /etc/passwd: invalid ELF header\n"),
])
def test_bad_input_is_one_line_and_status_2(capsys, plugin_path, tmp_path, monkeypatch, argv,
                                            message):
    monkeypatch.chdir(tmp_path)  # a case that wrongly goes ahead writes nothing into the tree
    argv = [str(plugin_path("bad_utf8")) if arg == "BAD_UTF8" else arg for arg in argv]
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == ""
    assert err.startswith("vorn: ") and message in err and err.count("\n") == 1


def test_incomplete_recordings_are_summarized(capsys, tmp_path, stream_plugin):
    path = tmp_path / "slow.npy"  # one chunk a second, a time-out of 0.6 s
    status, _, err = run(capsys, "record", "sim", "--set", "0x108=1", "--chunks", "5",
                         "--timeout", "0.6", "-o", str(path))
    incomplete, message = err.splitlines()
    assert status == 1 and incomplete.startswith(f"incomplete {path}: 1 chunks, 4096 bytes")
    assert message.startswith(f"vorn: record {path}: no data from the device for 0.6 s")

    # A burst of 2000 chunks into a queue of 64 while the writer writes a chunk of 64 MiB: the
    # summary counts what the report counts.
    status, _, err = run(capsys, "record", str(stream_plugin), "--options", "o67108864 b2000 s",
                         "--max-queue", "64", "--chunks", "2001", "-o", str(tmp_path / "b.bin"))
    incomplete, message = err.splitlines()
    events, lost = re.fullmatch(r"vorn: Queue Overflow, dropping event: (\d+) events dropped, "
                                r"(\d+) bytes of data lost", message).groups()
    assert status == 1 and int(events) > 1
    assert incomplete.endswith(f"errors: 0, drops: {events} events, {lost} bytes")


def vorn(*argv, stdout=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "vornkit", *argv], stdout=stdout,
                          stderr=subprocess.PIPE, timeout=60,
                          env={**os.environ, "PYTHONPATH": str(ROOT / "python")})


def test_data_goes_to_stdout_and_messages_to_stderr():
    result = vorn("record", "sim", "--set", "0x100=0", "--chunks", "3", "-o", "-")
    assert result.returncode == 0 and result.stdout == np.arange(3072, dtype="<u4").tobytes()
    assert result.stderr.startswith(b"recorded standard output (raw, uint8): 3 chunks")

    with open("/dev/full", "wb") as full:
        result = vorn("probe", "sim", stdout=full)
    assert result.returncode == 1
    assert result.stderr == b"vorn: cannot write to standard output: No space left on device\n"
