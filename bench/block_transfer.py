"""Benchmark: block transfers and the trampoline, as ratios against baselines measured in this run.

Device.read/Device.write on the memory test plugin do one copy inside the device (its memcpy);
the baseline is the same copy done by Python (`memoryview(target)[:] = source`). A ratio near 1 means the
module adds no copy of its own. The trampoline rows compare a native caller reaching a Python
device (Device.read(obj, ...), get_register_sync through the defaults) with Python calling the
same methods directly; the read row includes the override's private copy.

Run after scripts/test (which builds the test plugins):
    .venv/bin/python bench/block_transfer.py [path/to/libvorn_test_memory.so]
"""

import pathlib
import sys
import time

from pyvorn_device import Device, ReturnCode, get_device_manager

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_PLUGIN = ROOT / "build" / "skbuild" / "plugins" / "testing" / "libvorn_test_memory.so"


def best_time(call, repeat=7, number=1):
    """The fastest of `repeat` runs of `number` calls, per call, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            call()
        best = min(best, (time.perf_counter() - start) / number)
    return best


class PythonDevice(Device):
    def read_registers(self):
        return ReturnCode.Success

    def get_register(self, addr):
        return addr

    def read(self, addr, length, data):
        return length


def main():
    plugin = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_PLUGIN
    largest = 64 << 20
    device = get_device_manager(plugin).create_device(f"size={largest}")
    print(f"{'case':<44}{'module':>12}{'baseline':>12}{'ratio':>8}")

    for size in (4 << 10, 1 << 20, largest):
        source = bytes(range(256)) * (size // 256)
        target = bytearray(source)
        view = memoryview(target)
        number = max(1, (256 << 20) // size // 8)
        for name, call in (("read", lambda: device.read(0, target)),
                           ("write", lambda: device.write(0, source))):
            module = best_time(call, number=number)
            baseline = best_time(lambda: view.__setitem__(slice(None), source), number=number)
            label = f"Device.{name} {size >> 10} KiB (memory device)"
            print(f"{label:<44}{module * 1e6:>10.1f}us{baseline * 1e6:>10.1f}us"
                  f"{module / baseline:>8.2f}")

    python_device = PythonDevice()
    target = bytearray(4 << 10)
    rows = (
        ("get_register_sync via trampoline", lambda: python_device.get_register_sync(5),
         lambda: python_device.get_register(5) if python_device.read_registers() ==
         ReturnCode.Success else None),
        ("Device.read 4 KiB via trampoline", lambda: Device.read(python_device, 0, target),
         lambda: python_device.read(0, len(target), memoryview(target))),
    )
    for label, module_call, baseline_call in rows:
        module = best_time(module_call, number=20000)
        baseline = best_time(baseline_call, number=20000)
        print(f"{label:<44}{module * 1e6:>10.2f}us{baseline * 1e6:>10.2f}us"
              f"{module / baseline:>8.2f}")


if __name__ == "__main__":
    main()
