"""Interpreter exit and Ctrl-C while streams run, also while their callables are blocked for ever:
prompt, clean, with the status the program asked for."""

import signal
import subprocess
import sys
import time

import pytest

from conftest import run_python


EXIT_SCRIPT = """
import os, signal, sys, threading, time, pyvorn_device
manager = pyvorn_device.get_device_manager(sys.argv[1])
how = sys.argv[2]
started = threading.Event()
def busy(data, error):
    started.set()
    sum(range(2000))
def slow(data, error):
    time.sleep(0.01)
devices = [manager.create_device("c256") for _ in range(3)]
streams = [devices[0].start_read_stream(0, busy), devices[1].start_aligned_read_stream(0, 100, slow),
           devices[2].start_read_stream(0, busy, max_queue_elements=64)]
assert started.wait(10)
print("streaming", flush=True)
if how == "exit":
    sys.exit(3)
if how == "raise":
    raise SystemError("unhandled")
if how == "interrupt":
    # Short sleeps: a SIGINT handled just before one long sleep began would wait for its end.
    for _ in range(600):
        time.sleep(0.1)
if how == "drop-module-state":
    del manager, devices
"""


class TestInterpreterExit:
    @pytest.mark.parametrize(
        "how, expected",
        [("end", 0), ("drop-module-state", 0), ("exit", 3), ("raise", 1)],
    )
    def test_exit_with_running_streams_is_prompt_and_clean(self, stream_plugin, how, expected):
        result = run_python(EXIT_SCRIPT, str(stream_plugin), how, timeout=60)
        assert result.returncode == expected, result.stderr
        assert "streaming" in result.stdout
        assert "Fatal Python error" not in result.stderr
        if how == "raise":
            assert "SystemError: unhandled" in result.stderr

    def test_ctrl_c_with_running_streams_ends_like_an_interrupt(self, tmp_path, stream_plugin):
        script = tmp_path / "interrupt.py"
        script.write_text(EXIT_SCRIPT)
        process = subprocess.Popen(
            [sys.executable, str(script), str(stream_plugin), "interrupt"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        try:
            assert process.stdout.readline().strip() == "streaming"
            process.send_signal(signal.SIGINT)
            _, stderr = process.communicate(timeout=60)
        finally:
            process.kill()
        # An unhandled KeyboardInterrupt ends the interpreter by SIGINT, after a clean shutdown.
        assert process.returncode == -signal.SIGINT, stderr
        assert "KeyboardInterrupt" in stderr
        assert "Fatal Python error" not in stderr


BLOCKED_EXIT_SCRIPT = """
import queue, signal, sys, threading, time, pyvorn_device
manager = pyvorn_device.get_device_manager(sys.argv[1])
how = sys.argv[2]
inside = threading.Barrier(4)
full = queue.Queue(maxsize=1)
full.put(None)
def blocked(wait):
    def callback(data, error):
        if data is not None:
            try:
                inside.wait(10)
            except threading.BrokenBarrierError:
                pass
            wait()
    return callback
devices = [manager.create_device("c64") for _ in range(3)]
streams = [devices[0].start_read_stream(0, blocked(threading.Event().wait)),
           devices[1].start_aligned_read_stream(0, 16, blocked(lambda: full.put(None))),
           devices[2].start_read_stream(0, blocked(lambda: time.sleep(3600)))]
inside.wait(10)
print("blocked", flush=True)
if how == "stop":
    streams[0].stop()  # waits for the blocked callable: only Ctrl-C ends it
if how == "exit":
    sys.exit(3)
if how == "raise":
    raise SystemError("unhandled")
if how == "interrupt":
    time.sleep(60)
"""


class TestExitWithBlockedCallables:
    @pytest.mark.parametrize("how, expected", [("end", 0), ("exit", 3), ("raise", 1)])
    def test_exit_is_prompt_and_keeps_its_status(self, stream_plugin, how, expected):
        result = run_python(BLOCKED_EXIT_SCRIPT, str(stream_plugin), how, timeout=30)
        assert result.returncode == expected, result.stderr
        assert "blocked" in result.stdout
        assert "Fatal Python error" not in result.stderr and "terminate" not in result.stderr

    @pytest.mark.parametrize("how", ["interrupt", "stop"])
    def test_ctrl_c_ends_the_process_also_while_stop_waits(self, tmp_path, stream_plugin, how):
        script = tmp_path / "blocked.py"
        script.write_text(BLOCKED_EXIT_SCRIPT)
        process = subprocess.Popen(
            [sys.executable, str(script), str(stream_plugin), how],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        try:
            assert process.stdout.readline().strip() == "blocked"
            time.sleep(0.2)
            process.send_signal(signal.SIGINT)
            _, stderr = process.communicate(timeout=30)
        finally:
            process.kill()
        assert process.returncode == -signal.SIGINT, stderr
        assert "KeyboardInterrupt" in stderr and "Fatal Python error" not in stderr
