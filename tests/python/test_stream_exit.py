"""Interpreter exit and Ctrl-C while streams run, also while their callables are blocked for ever:
prompt, clean, with the status the program asked for."""

import signal
import subprocess
import sys
import time

import pytest

from conftest import assert_runs_ok, run_python, skip_under_asan


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


FORK_SCRIPT = """
import os, sys, threading, pyvorn_device
sim = pyvorn_device.get_device_manager(sys.argv[1])
scripted = pyvorn_device.get_device_manager(sys.argv[2])
parent_calls = []
inherited_called_in_child = []
def callable(data, error):
    parent_calls.append(os.getpid())
    if os.getpid() != parent:
        inherited_called_in_child.append(1)
parent = os.getpid()
device = sim.create_device("")
device.set_register_sync(0x108, 20000, 0)  # chunks as fast as the delivery thread can wait for the lock
stream = device.start_read_stream(0, callable)
aligned = scripted.create_device("c64").start_aligned_read_stream(0, 32, callable)
children = []
for n in range(8):
    pid = os.fork()
    if pid == 0:
        # The child: its own streams deliver and end; the inherited ones are dead, and stopping,
        # leaving and dropping them returns at once. Then it exits holding `stream`.
        got = []
        ended = threading.Event()
        def mine(data, error):
            got.append(data is not None)
            if data is None and error is None:
                ended.set()
        with scripted.create_device("o8 o8 s").start_read_stream(0, mine):
            assert ended.wait(10), "a child's own stream never ended"
        assert got == [True, True, False], got
        aligned.stop()
        with aligned:
            pass
        del aligned
        assert not inherited_called_in_child
        sys.exit(0 if n % 2 else 7)
    children.append((pid, n))
for pid, n in children:
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == (0 if n % 2 else 7), (n, status)
stream.stop()
aligned.stop()
assert parent_calls and set(parent_calls) == {parent}
print("ok")
"""


@skip_under_asan("a fork while other threads allocate can leave the sanitizer allocator's own lock "
                 "held in the child: its runtime here has no fork handlers for it")
def test_forked_children_get_fresh_streams_and_dead_inherited_ones(sim_plugin, stream_plugin):
    assert_runs_ok(FORK_SCRIPT, str(sim_plugin), str(stream_plugin), timeout=120)


STOP_EACH_OTHER_SCRIPT = """
import sys, threading, pyvorn_device
manager = pyvorn_device.get_device_manager(sys.argv[1])
streams, ends = [], []
all_ended = threading.Event()
def stop_everything(data, error):
    if data is None and error is None:
        ends.append(1)
        if len(ends) == 3:
            all_ended.set()
        return
    for stream in streams:
        stream.stop()  # on a delivery thread: never waits for another stream's end
devices = [manager.create_device("c64") for _ in range(3)]
streams += [device.start_read_stream(0, stop_everything) for device in devices]
assert all_ended.wait(20), f"{len(ends)} of 3 streams ended"
for stream in streams:
    stream.stop()
assert len(ends) == 3
print("ok")
"""


def test_callables_that_stop_each_others_streams_never_deadlock(stream_plugin):
    assert_runs_ok(STOP_EACH_OTHER_SCRIPT, str(stream_plugin), timeout=60)


def test_streams_are_refused_outside_the_main_interpreter(stream_plugin):
    assert_runs_ok(
        """
import _interpreters, sys
interp = _interpreters.create("legacy")
error = _interpreters.exec(interp, '''
import pyvorn_device
device = pyvorn_device.get_device_manager(%r).create_device("o8 s")
try:
    device.start_read_stream(0, print)
except RuntimeError as error:
    assert str(error) == "streams can only be started from the main interpreter", error
else:
    raise AssertionError("started")
''' % sys.argv[1])
assert error is None, error
print("ok")
""",
        str(stream_plugin),
    )
