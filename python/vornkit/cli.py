"""vorn: the command line tool for the things one does before writing code.

    vorn probe PLUGIN                                   the manager: info, location, devices, options
    vorn info PLUGIN [--options TEXT]                   a device's info and status
    vorn reg PLUGIN [--options TEXT] get ADDR...        read registers
    vorn reg PLUGIN [--options TEXT] set ADDR=VALUE...  stage register values, then send them
    vorn record PLUGIN [--options TEXT] [--set ADDR=VALUE]... [--addr N] [--chunk-size N]
               (--chunks N | --bytes N | --seconds S) [--dtype DTYPE] -o FILE
                                                        stream into a .npy (or any other: raw) file

PLUGIN is a path, or "sim" for the bundled simulated device. Numbers are decimal or 0x hexadecimal.
Exit status: 0 done, 1 the device or the stream failed, 2 a bad command line, plugin, option or
address, 130 interrupted.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import sys
import textwrap
from collections.abc import Sequence
from typing import NoReturn

import pyvorn_device

from ._acquire import NPY_DTYPES, record
from ._errors import RegisterError, StreamEndedError, StreamError, StreamOverflowError, VornError
from ._plugins import open_manager, resolve_plugin, set_registers
from ._progress import Progress, ProgressLine

UINT32_MAX = 2**32 - 1


class CliError(Exception):
    """Ends the command with one line on stderr and the exit status."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


def number(text: str) -> int:
    """A non-negative integer, decimal or 0x hexadecimal."""
    try:
        value = int(text[2:], 16) if text[:2].lower() == "0x" else int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a number (decimal or 0x hexadecimal)") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is negative")
    return value


def uint32(text: str) -> int:
    value = number(text)
    if value > UINT32_MAX:
        raise argparse.ArgumentTypeError(f"{text!r} does not fit in 32 bits")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number of seconds")
    return value


def assignment(text: str) -> tuple[int, int]:
    """ADDR=VALUE, both 32-bit numbers."""
    addr, equals, value = text.partition("=")
    if not equals:
        raise argparse.ArgumentTypeError(f"{text!r} is not ADDR=VALUE")
    return uint32(addr.strip()), uint32(value.strip())


class Parser(argparse.ArgumentParser):
    """argparse, with usage errors as one line (and exit status 2)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"vorn: {message} (see: {self.prog} --help)\n")


def build_parser() -> Parser:
    parser = Parser(prog="vorn", description=__doc__.split("\n\n")[0],
                    epilog=textwrap.dedent(__doc__.split("\n\n", 1)[1]),
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    try:
        version = importlib.metadata.version("pyvorn_device")
    except importlib.metadata.PackageNotFoundError:
        version = "unknown"
    parser.add_argument("--version", action="version", version=f"vorn (pyvorn_device {version})")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=Parser)

    def command(name: str, help: str, options: bool = True) -> Parser:
        sub: Parser = commands.add_parser(name, help=help, description=help)
        sub.add_argument("plugin", metavar="PLUGIN",
                         help='the plugin library, or "sim" for the bundled simulated device')
        if options:
            sub.add_argument("--options", default="", metavar="TEXT",
                             help="the device options for create_device (default: none)")
        return sub

    command("probe", "show a plugin's manager: info, location, devices and options",
            options=False)
    command("info", "show a device's info and status")

    reg = command("reg", "read registers, or stage register values and send them")
    actions = reg.add_subparsers(dest="action", required=True, metavar="ACTION",
                                 parser_class=Parser)
    get = actions.add_parser("get", help="read_registers, then each register's value")
    get.add_argument("addrs", nargs="+", type=uint32, metavar="ADDR")
    put = actions.add_parser("set", help="set_register for each, then send_registers")
    put.add_argument("values", nargs="+", type=assignment, metavar="ADDR=VALUE")

    rec = command("record", "stream into a file: .npy, or raw bytes for any other name")
    rec.add_argument("--set", dest="values", action="append", type=assignment, default=[],
                     metavar="ADDR=VALUE", help="a register to set before streaming (repeatable)")
    rec.add_argument("--addr", type=uint32, default=0, metavar="N",
                     help="the stream's address (default: 0)")
    rec.add_argument("--chunk-size", type=number, default=0, metavar="N",
                     help="bytes per chunk (default: 0, the device's choice)")
    amount = rec.add_mutually_exclusive_group(required=True)
    amount.add_argument("--chunks", type=number, metavar="N", help="record N chunks")
    amount.add_argument("--bytes", type=number, metavar="N", help="record N bytes")
    amount.add_argument("--seconds", type=seconds, metavar="S", help="record for S seconds")
    rec.add_argument("--dtype", default="uint8", choices=list(NPY_DTYPES), metavar="DTYPE",
                     help="the sample type of a .npy file (default: uint8; one of "
                          f"{', '.join(NPY_DTYPES)})")
    rec.add_argument("--max-queue", type=number, default=4096, metavar="N",
                     help="events that may wait before they are dropped (default: 4096)")
    rec.add_argument("--timeout", type=seconds, default=10.0, metavar="S",
                     help="give up after S seconds without data (default: 10)")
    rec.add_argument("-o", "--output", required=True, metavar="FILE", help="the file to write")
    return parser


def load(plugin: str) -> pyvorn_device.DeviceManager:
    try:
        return open_manager(resolve_plugin(plugin))
    except (RuntimeError, OSError, VornError) as error:
        raise CliError(f"cannot load the plugin {plugin}: {error}") from None


def create(manager: pyvorn_device.DeviceManager, options: str) -> pyvorn_device.Device:
    try:
        device = manager.create_device(options)
    except (ValueError, RuntimeError) as error:
        raise CliError(f"bad device options {options!r}: {error}") from None
    if device is None:
        raise CliError(f"the plugin made no device for the options {options!r}")
    return device


def indented(text: str) -> str:
    return textwrap.indent(text.rstrip("\n"), "  ")


def probe(args: argparse.Namespace) -> None:
    manager = load(args.plugin)
    print(f"plugin    {resolve_plugin(args.plugin)}")
    print(f"info      {manager.info()}")
    print(f"location  {manager.location()}")
    print(f"devices\n{indented(manager.list_devices())}")
    print(f"options\n{indented(manager.get_device_options())}")


def info(args: argparse.Namespace) -> None:
    device = create(load(args.plugin), args.options)
    print(f"info    {device.get_info() or '(none)'}")
    print(f"status  {device.get_status() or '(none)'}")


def reg(args: argparse.Namespace) -> None:
    device = create(load(args.plugin), args.options)
    if args.action == "get":
        if device.read_registers() != pyvorn_device.ReturnCode.Success:
            raise CliError("the device did not answer (read_registers failed)", 1)
        for addr in args.addrs:
            value = device.get_register(addr)
            print(f"0x{addr:03X}  0x{value:08X}  {value}")
        return
    apply(device, args.values)
    print(f"sent {len(args.values)} register value{'s' if len(args.values) != 1 else ''}: "
          + ", ".join(f"0x{addr:03X}=0x{value:X}" for addr, value in args.values))


def apply(device: pyvorn_device.Device, values: list[tuple[int, int]]) -> None:
    try:
        set_registers(device, values)
    except RegisterError as error:
        raise CliError(str(error), 2 if error.addr is not None else 1) from None


def summary(progress: Progress, errors: int, drops: int) -> str:
    return (f"{progress.chunks} chunks, {progress.bytes} bytes in {progress.seconds:.2f} s "
            f"({progress.rate / 1e6:.1f} MB/s); errors: {errors}, drops: {drops}")


def record_command(args: argparse.Namespace) -> None:
    device = create(load(args.plugin), args.options)
    if args.values:
        apply(device, args.values)
    show = ProgressLine(f"recording {args.output}") if sys.stderr.isatty() else False
    try:
        done = record(device, args.addr, args.output, chunks=args.chunks, bytes=args.bytes,
                      seconds=args.seconds, dtype=args.dtype, chunk_size=args.chunk_size,
                      max_queue_elements=args.max_queue, timeout=args.timeout, progress=show)
    except OSError as error:
        raise CliError(f"cannot write {args.output}: {error.strerror or error}", 1) from None
    except (StreamError, StreamEndedError) as error:
        if error.progress is not None:
            drops = int(isinstance(error, StreamOverflowError))
            errors = int(isinstance(error, StreamError)) - drops
            print(f"incomplete {args.output}: {summary(error.progress, errors, drops)}")
        raise CliError(str(error), 1) from None
    except (VornError, TimeoutError) as error:
        raise CliError(str(error), 1) from None
    except ValueError as error:  # the device refused the stream's arguments
        raise CliError(str(error), 2) from None
    what = f"{done.samples} {done.dtype} samples" if done.format == "npy" else "raw bytes"
    progress = Progress(done.chunks, done.bytes, done.seconds)
    print(f"recorded {args.output} ({what}): {summary(progress, 0, 0)}")


COMMANDS = {"probe": probe, "info": info, "reg": reg, "record": record_command}


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        COMMANDS[args.command](args)
    except CliError as error:
        print(f"vorn: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("vorn: interrupted", file=sys.stderr)
        return 130
    return 0

