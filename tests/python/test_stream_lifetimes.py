"""Read streams under stress: failing callables, destruction orders, interpreter exit, unloading."""

import gc
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import is_mapped, run_python, wait_until
from stream_helpers import CallLog


def callback_error_lines(text):
    return [line for line in text.splitlines() if "[error] Error in callback: " in line]


class TestFailingCallables:
    def test_a_failure_on_a_chunk_is_one_error_line_and_the_stream_goes_on(self, counters, stream_manager, capfd):
        seen = []

        def callback(data, error):
            seen.append((data is not None, error))
            if data is not None and len(seen) == 1:
                raise ValueError("first chunk rejected")

        device = stream_manager.create_device("o1 o1 s")
        stream = device.start_read_stream(0, callback)
        assert wait_until(lambda: len(seen) >= 3)
        assert seen == [(True, None), (True, None), (False, None)]
        del stream
        lines = callback_error_lines(capfd.readouterr().out)
        assert len(lines) == 1
        assert lines[0].endswith("Error in callback: ValueError: first chunk rejected")
        assert counters["stream.chunks_made"] == counters["stream.chunks_freed"]

    def test_failures_on_errors_and_on_the_end_are_logged_too(self, stream_manager, capfd):
        calls = []

        def callback(data, error):
            calls.append(error)
            raise RuntimeError(f"failed on {error}")

        device = stream_manager.create_device("ebad s")
        stream = device.start_aligned_read_stream(0, 4, callback)
        assert wait_until(lambda: len(calls) >= 2)
        del stream
        lines = callback_error_lines(capfd.readouterr().out)
        assert [line.split("Error in callback: ")[1] for line in lines] == [
            "RuntimeError: failed on bad",
            "RuntimeError: failed on None",
        ]

    def test_dropping_the_stream_while_its_callable_runs_does_not_deadlock(self, stream_plugin):
        # The callable holds the interpreter lock when it runs; destroying the stream joins the
        # delivery thread, so it must let the callable finish.
        result = run_python(
            textwrap.dedent("""
            import sys, threading, time, pyvorn_device
            manager = pyvorn_device.get_device_manager(sys.argv[1])
            device = manager.create_device("c64")
            inside = threading.Event()
            def callback(data, error):
                inside.set()
                time.sleep(0.05)
            stream = device.start_read_stream(0, callback)
            assert inside.wait(10)
            del stream
            device = manager.create_device("own c64")
            inside.clear()
            stream = device.start_aligned_read_stream(0, 16, callback)
            assert inside.wait(10)
            del device  # this device ends its streams itself
            del stream
            print("ok")
            """),
            str(stream_plugin),
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "ok"


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


LOADED_CHECK = """
import gc, sys, pyvorn_device
from conftest import is_mapped
plugin = sys.argv[1]
def loaded():
    return is_mapped(plugin)
"""


class TestPluginStaysLoaded:
    def test_kept_chunks_keep_the_plugin_loaded_after_device_and_manager_are_gone(
        self, stream_plugin
    ):
        result = run_python(
            LOADED_CHECK
            + """
import threading
manager = pyvorn_device.get_device_manager(plugin)
device = manager.create_device("o16 o16 s")
kept = []
done = threading.Event()
def callback(data, error):
    if data is not None:
        kept.append(data)
    else:
        done.set()
stream = device.start_read_stream(0, callback)
assert done.wait(10)
view = memoryview(kept[1])
del manager, device, stream, callback
gc.collect()
assert loaded()
assert bytes(kept[0]) == bytes(range(16))
kept.clear()
assert loaded()                # the memoryview still holds a chunk
assert bytes(view) == bytes(range(16, 32))
del view                       # the chunk's deleter runs, then the plugin goes
assert not loaded()
print("ok")
""",
            str(stream_plugin),
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "ok"

    def test_a_stream_keeps_the_plugin_loaded_until_it_is_destroyed(self, stream_plugin):
        result = run_python(
            LOADED_CHECK
            + """
manager = pyvorn_device.get_device_manager(plugin)
device = manager.create_device("c32")
stream = device.start_read_stream(0, lambda data, error: None)
del manager, device
gc.collect()
assert loaded()
stream.stop()
assert loaded()
del stream
assert not loaded()
print("ok")
""",
            str(stream_plugin),
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "ok"


@pytest.mark.slow
class TestStress:
    def test_random_start_stop_cycles_and_drop_orders_balance_every_chunk(self, counters, stream_manager):
        rng = random.Random(1234)
        probe = stream_manager.create_device("none")
        orders = ["device", "stream", "manager"]
        for cycle in range(40):
            streams = []
            for index in range(rng.randint(1, 3)):
                script = rng.choice(["c64", "own c64", "o8 o8 w s", "o3 p1 o5 s", "c1"])
                device = stream_manager.create_device(script)
                if rng.random() < 0.5:
                    stream = device.start_read_stream(0, CallLog(keep=rng.random() < 0.3))
                else:
                    stream = device.start_aligned_read_stream(0, rng.randint(1, 64), CallLog())
                streams.append({"device": device, "stream": stream})
            time.sleep(rng.random() * 0.005)
            for entry in streams:
                if rng.random() < 0.5:
                    entry["stream"].stop()
                for name in rng.sample(orders[:2], 2):
                    entry.pop(name)
            streams.clear()
            gc.collect()
        assert counters["stream.chunks_made"] == counters["stream.chunks_freed"]


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


LOCK_ORDER_SCRIPT = """
import sys, threading, pyvorn_device
manager = pyvorn_device.get_device_manager(sys.argv[1])
calls = []
def callback(data, error):
    calls.append((data is not None, error))
for script in ("grab none", "play o1 o1 s"):
    assert manager.create_device(script).start_read_stream(0, callback) is None
try:
    manager.create_device("grab throw").start_aligned_read_stream(0, 4, callback)
    raise AssertionError("no exception")
except RuntimeError as error:
    assert str(error) == "stream refused"
assert calls == [], calls  # a start that gives no stream never calls its callable
ended = threading.Event()
def until_end(data, error):
    if data is None and error is None:
        ended.set()
device = manager.create_device("own c64")
stream = device.start_read_stream(0, until_end)
assert device.trigger(0, 0) == pyvorn_device.ReturnCode.Success  # ends the stream under the lock
assert ended.wait(10)
print("ok")
"""


def test_a_device_releasing_the_callable_under_the_lock_does_not_deadlock(stream_plugin):
    result = run_python(LOCK_ORDER_SCRIPT, str(stream_plugin), timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_streams_end_cleanly_after_a_subinterpreter_was_created(stream_plugin):
    result = run_python(
        """
import _interpreters, sys, threading, pyvorn_device
_interpreters.destroy(_interpreters.create())
manager = pyvorn_device.get_device_manager(sys.argv[1])
for _ in range(20):
    ended = threading.Event()
    stream = manager.create_device("o8 o8 s").start_read_stream(0, lambda d, e: d or e or ended.set())
    assert ended.wait(10)
    del stream
print("ok")
""",
        str(stream_plugin),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
