#!/usr/bin/env python3
"""A tour of pyvorn_device with the simulated device plugin.

Loads the plugin by path, shows what its manager offers, creates a device, writes and reads back
registers (staged values take effect only when sent), fires a trigger, shows the device's status
and info, and moves a few bytes through the device memory. Then it streams: an acquisition of a
counter pattern with a progress bar, checked for gaps on arrival, and a capture of a noisy sine
wave through an aligned stream, plotted into a PNG file.

    scripts/demo                                   # builds everything, then runs this tour
    .venv/bin/python examples/demo.py --options "sim1 memory=4k"
    .venv/bin/python examples/demo.py --chunks 20000 --rate 0 --plot /tmp/wave.png
    .venv/bin/python examples/demo.py --plugin path/to/libvorn_sim.so
"""

import argparse
import pathlib
import sys
import textwrap
import threading
import time

import matplotlib
import numpy as np
from tqdm import tqdm

import pyvorn_device
from pyvorn_device import ReturnCode

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402

# The simulated device's register map and triggers (plugins/sim/README.md).
REGISTERS = {
    0x000: "ID",
    0x004: "STATUS",
    0x008: "TRIGGER_COUNT",
    0x00C: "MEMORY_SIZE",
    0x010: "SCRATCH0",
    0x014: "SCRATCH1",
    0x018: "SCRATCH2",
    0x01C: "SCRATCH3",
    0x020: "LEDS",
    0x100: "ACQ_WAVEFORM",
    0x104: "ACQ_CHUNK_SIZE",
    0x108: "ACQ_CHUNK_RATE",
    0x10C: "ACQ_CHUNK_COUNT",
    0x110: "ACQ_PERIOD",
    0x114: "ACQ_AMPLITUDE",
    0x118: "ACQ_MODE",
    0x11C: "ACQ_ERROR_INTERVAL",
    0x120: "ACQ_CHUNKS",
}
ADDRESS = {name: address for address, name in REGISTERS.items()}
TRIGGER_PULSE = 0x0
WAVEFORM = {"counter": 0, "sine": 1, "square": 2, "sawtooth": 3, "noisy sine": 4}

ROOT = pathlib.Path(__file__).resolve().parents[1]

WIDTH = 76


def default_plugin() -> pathlib.Path:
    return pathlib.Path(sys.prefix) / "lib" / "vorn" / "plugins" / "libvorn_sim.so"


def heading(title: str) -> None:
    print(f"\n== {title} {'=' * (WIDTH - len(title) - 4)}")


def field(label: str, value: object) -> None:
    """One labelled value, wrapped to the page width under its own column."""
    print(textwrap.fill(str(value), WIDTH, initial_indent=f"  {label:<10} ",
                        subsequent_indent=" " * 13, break_on_hyphens=False))


def indented(text: str) -> str:
    return "\n".join("    " + line for line in text.rstrip("\n").splitlines())


def hex32(value: int | None) -> str:
    return "(failed)" if value is None else f"0x{value:08X}"


def result(code: ReturnCode) -> str:
    return code.name


def show_manager(manager: pyvorn_device.DeviceManager) -> None:
    heading("Device manager")
    field("info", manager.info())
    field("location", manager.location())
    print("  devices")
    print(indented(manager.list_devices()))
    print("  options")
    print(indented(manager.get_device_options()))


def show_register_file(device: pyvorn_device.Device) -> None:
    heading("Registers")
    print(f"  read_registers() -> {result(device.read_registers())}\n")
    print(f"  {'address':<9} {'register':<14} value")
    for address, name in REGISTERS.items():
        print(f"  0x{address:03X}     {name:<14} {hex32(device.get_register(address))}")


def show_staging(device: pyvorn_device.Device) -> None:
    heading("Staged register writes")
    writes = {"SCRATCH0": 0xCAFE_F00D, "SCRATCH1": 0x1234_5678, "LEDS": 0b1010_0101}
    for name, value in writes.items():
        code = device.set_register(ADDRESS[name], value, 0)
        print(f"  set_register({name}, {hex32(value)}) -> {result(code)}")
    before = {name: device.get_register_sync(ADDRESS[name]) for name in writes}
    print(f"  status before sending: {device.get_status()}")
    print(f"  send_registers() -> {result(device.send_registers())}")
    after = {name: device.get_register_sync(ADDRESS[name]) for name in writes}

    print(f"\n  {'register':<10} {'written':<12} {'before send':<13} after send")
    for name, value in writes.items():
        print(f"  {name:<10} {hex32(value):<12} {hex32(before[name]):<13} {hex32(after[name])}")

    code = device.set_register(ADDRESS["ID"], 0, 0)
    print(f"\n  set_register(ID, 0x00000000) -> {result(code)}  (the identity is read-only)")


def show_trigger(device: pyvorn_device.Device) -> None:
    heading("Trigger")
    count = ADDRESS["TRIGGER_COUNT"]
    print(f"  trigger(pulse, 3) -> {result(device.trigger(TRIGGER_PULSE, 3))}")
    print(f"  TRIGGER_COUNT in the readable copy: {device.get_register(count)}")
    print(f"  read_registers() -> {result(device.read_registers())}")
    print(f"  TRIGGER_COUNT after reading:        {device.get_register(count)}")


def show_status(device: pyvorn_device.Device) -> None:
    heading("Status and info")
    field("status", device.get_status())
    field("info", device.get_info())


def show_memory(device: pyvorn_device.Device) -> None:
    heading("Device memory")
    size = device.get_register_sync(ADDRESS["MEMORY_SIZE"])
    message = b"hello, device memory"
    written = device.write(0x10, message)
    print(f"  write(0x0010, {message!r}) -> {written} bytes")
    buffer = bytearray(len(message))
    read = device.read(0x10, buffer)
    print(f"  read(0x0010, {len(buffer)} bytes) -> {read} bytes: {bytes(buffer)!r}")
    tail = size - 4
    print(f"  write(0x{tail:04X}, {len(message)} bytes) -> {device.write(tail, message)} bytes"
          f" (the memory ends at 0x{size:04X})")


def configure(device: pyvorn_device.Device, **registers: int) -> None:
    """Stages register values and sends them in one go, as a driver would."""
    for name, value in registers.items():
        if device.set_register(ADDRESS[name], value, 0) != ReturnCode.Success:
            raise DemoError(f"cannot stage {name} = {value}")
    if device.send_registers() != ReturnCode.Success:
        raise DemoError("cannot send the acquisition settings")


class CounterCheck:
    """A stream callback that checks the counter pattern (32-bit samples 0, 1, 2, ...) as it
    arrives. It runs on the stream's delivery thread; the main thread only reads its totals."""

    def __init__(self) -> None:
        self.next_sample = 0
        self.chunks = 0
        self.bytes = 0
        self.gaps: list[tuple[int, int]] = []  # (expected, received) at each discontinuity
        self.errors: list[str] = []
        self.ended = threading.Event()

    def __call__(self, data, error) -> None:
        if data is None:
            if error is None:
                self.ended.set()
            else:
                self.errors.append(error)
            return
        samples = np.frombuffer(data, dtype="<u4")  # reads the chunk in place
        expected = (self.next_sample + np.arange(samples.size, dtype=np.uint64)) % 2**32
        wrong = np.flatnonzero(samples != expected)
        if wrong.size:
            self.gaps.append((int(expected[wrong[0]]), int(samples[wrong[0]])))
        if samples.size:
            self.next_sample = (int(samples[-1]) + 1) % 2**32
        self.chunks += 1
        self.bytes += samples.nbytes


def show_acquisition(device: pyvorn_device.Device, chunks: int, chunk_size: int,
                     rate: int) -> None:
    heading("Acquisition: counter pattern")
    configure(device, ACQ_WAVEFORM=WAVEFORM["counter"], ACQ_CHUNK_SIZE=chunk_size,
              ACQ_CHUNK_COUNT=chunks, ACQ_CHUNK_RATE=rate)
    pace = f"{rate} chunks/s" if rate else "as fast as possible"
    print(f"  {chunks} chunks of {chunk_size} bytes, {pace}\n")
    check = CounterCheck()
    total = chunks * chunk_size
    # A device pushing as fast as it can outruns any Python callable: the stream's queue is made
    # large enough to hold the whole acquisition, so that the check sees every chunk, late.
    queue = min(max(chunks + 64, 4096), 2**31 - 1)
    started = time.perf_counter()
    with tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, ncols=WIDTH,
              desc="  streaming", file=sys.stdout) as bar:
        with device.start_read_stream(0, check, 0, queue):
            while not check.ended.wait(0.1):
                bar.update(check.bytes - bar.n)
                bar.set_postfix_str(f"{check.chunks} chunks")
            bar.update(check.bytes - bar.n)
            bar.set_postfix_str(f"{check.chunks} chunks")
    seconds = time.perf_counter() - started
    print(f"\n  received   {check.chunks} chunks, {check.bytes} bytes in {seconds:.2f} s "
          f"({check.bytes / seconds / 1e6:.1f} MB/s)")
    if check.gaps or check.errors or check.bytes != total:
        print(f"  counter    GAPS: {check.gaps[:5]}; errors: {check.errors[:5]}")
        raise DemoError("the counter pattern did not arrive intact")
    print(f"  counter    0 to {check.next_sample - 1}, no gap, nothing reordered")


def capture_waveform(device: pyvorn_device.Device, plot: pathlib.Path) -> None:
    heading("Aligned stream: a noisy sine, plotted")
    period, chunk_size, chunks = 500, 1001, 8
    configure(device, ACQ_WAVEFORM=WAVEFORM["noisy sine"], ACQ_PERIOD=period,
              ACQ_AMPLITUDE=12000, ACQ_CHUNK_SIZE=chunk_size, ACQ_CHUNK_COUNT=chunks,
              ACQ_CHUNK_RATE=0)
    print(f"  {chunks} chunks of {chunk_size} bytes of 16-bit samples, re-chunked into whole "
          f"samples (alignment 2)")
    samples: list[np.ndarray] = []
    ended = threading.Event()

    def keep(view, error):
        if view is not None:
            # A DataView is valid only during this call: copy what is to be kept.
            samples.append(np.frombuffer(view, dtype="<i2").copy())
        elif error is None:
            ended.set()

    with device.start_aligned_read_stream(0, 2, keep):
        if not ended.wait(10):
            raise DemoError("the waveform capture did not end")
    wave = np.concatenate(samples)
    print(f"  captured   {wave.size} samples in {len(samples)} views of whole samples")
    print(f"  range      {wave.min()} to {wave.max()}")

    plot.parent.mkdir(parents=True, exist_ok=True)
    figure, axes = plt.subplots(figsize=(9, 3.5), layout="constrained")
    axes.plot(wave, linewidth=0.8)
    axes.set(title=f"Simulated acquisition: noisy sine, period {period} samples",
             xlabel="sample", ylabel="ADC counts", xlim=(0, wave.size))
    axes.grid(alpha=0.3)
    figure.savefig(plot, dpi=120)
    plt.close(figure)
    print(f"  plot       {plot}")


class DemoError(Exception):
    """A problem the demo reports in one line before it stops."""


def obtain(what: str, make, *args):
    """make(*args), with an error or a None result reported as a DemoError about `what`."""
    try:
        result = make(*args)
    except (RuntimeError, ValueError) as error:
        raise DemoError(f"cannot {what}: {error}") from None
    if result is None:
        raise DemoError(f"cannot {what}: the plugin gave none")
    return result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plugin", type=pathlib.Path, default=default_plugin(),
                        help="device-manager plugin to load (default: %(default)s)")
    parser.add_argument("--options", default="sim0",
                        help='options for create_device (default: "%(default)s")')
    parser.add_argument("--chunks", type=int, default=6000,
                        help="chunks of the counter acquisition, at least 1; the stream's queue "
                             "holds them all, for a device faster than the check "
                             "(default: %(default)s)")
    parser.add_argument("--chunk-size", type=int, default=4096,
                        help="bytes per chunk, a multiple of 4 (default: %(default)s)")
    parser.add_argument("--rate", type=int, default=2000,
                        help="chunks per second, 0 for as fast as possible (default: %(default)s)")
    parser.add_argument("--plot", type=pathlib.Path, default=ROOT / "out" / "demo_waveform.png",
                        help="where to save the waveform plot (default: %(default)s)")
    args = parser.parse_args(argv)
    if args.chunk_size <= 0 or args.chunk_size % 4:
        parser.error("--chunk-size must be a positive multiple of 4")
    if args.chunks <= 0:
        parser.error("--chunks must be at least 1 (0 would stream until stopped)")
    if args.rate < 0:
        parser.error("--rate must not be negative")

    try:
        manager = obtain(f"load the plugin {args.plugin}", pyvorn_device.get_device_manager,
                         args.plugin)
        show_manager(manager)
        heading("Device")
        device = obtain(f"create a device from the options {args.options!r}",
                        manager.create_device, args.options)
    except DemoError as error:
        print(f"demo: {error}", file=sys.stderr)
        return 1
    field("created", f"create_device({args.options!r}) -> {device!r}")

    show_register_file(device)
    show_staging(device)
    show_trigger(device)
    show_status(device)
    show_memory(device)
    try:
        show_acquisition(device, args.chunks, args.chunk_size, args.rate)
        capture_waveform(device, args.plot)
    except DemoError as error:
        print(f"demo: {error}", file=sys.stderr)
        return 1
    show_status(device)
    return 0


if __name__ == "__main__":
    sys.exit(main())
