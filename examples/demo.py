#!/usr/bin/env python3
"""A tour of pyvorn_device with the simulated device plugin.

Loads the plugin by path, shows what its manager offers, creates a device, writes and reads back
registers (staged values take effect only when sent), fires a trigger, shows the device's status
and info, and moves a few bytes through the device memory.

    scripts/demo                                   # builds everything, then runs this tour
    .venv/bin/python examples/demo.py --options "sim1 memory=4k"
    .venv/bin/python examples/demo.py --plugin path/to/libvorn_sim.so
"""

import argparse
import pathlib
import sys
import textwrap

import pyvorn_device
from pyvorn_device import ReturnCode

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
}
ADDRESS = {name: address for address, name in REGISTERS.items()}
TRIGGER_PULSE = 0x0

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
    args = parser.parse_args(argv)

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
    return 0


if __name__ == "__main__":
    sys.exit(main())
