"""vorn: the command line tool for the things one does before writing code.

    vorn probe PLUGIN                                   the manager: info, location, devices, options
    vorn info PLUGIN [--options TEXT]                   a device's info and status
    vorn reg PLUGIN [--options TEXT] get ADDR...        read registers
    vorn reg PLUGIN [--options TEXT] set ADDR=VALUE...  stage register values, then send them
    vorn record PLUGIN [--options TEXT] [--set ADDR=VALUE]... [--addr N] [--chunk-size N]
               [--chunks N | --bytes N | --seconds S] [--dtype DTYPE] [--max-queue N]
               [--timeout S] [--format raw|npy|sigmf] [--sample-rate HZ]
               [--description TEXT] -o FILE
                                                        record into a .npy, SigMF (.sigmf-data
                                                        and .sigmf-meta) or raw file, until the
                                                        device ends the stream without a limit;
                                                        -o - writes raw bytes to stdout

PLUGIN is a path, or a bundled plugin's name: "sim" (the simulated device), "replay" (a recording
played back: --options file=PATH). Numbers are decimal or 0x hexadecimal.
Results go to standard output; messages, progress and record's summary to standard error.
Exit status: 0 done, 1 the device or the stream failed, or an output could not be written, 2 a
bad command line, plugin, option or address, 130 interrupted.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import math
import os
import re
import sys
import textwrap
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, NoReturn

import pyvorn_device

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

from ._acquire import NPY_DTYPES, record, recording_target
from ._errors import (RegisterError, StreamEndedError, StreamError, StreamTimeoutError,
                      VornError)
from ._plugins import _plugin_path, open_manager, set_registers
from ._progress import Progress, ProgressLine

UINT32_MAX = 2**32 - 1
SIZE_MAX = 2**64 - 1
#: The queue limits the module accepts.
MAX_QUEUE_RANGE = (64, 2**31 - 1)


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


def size(text: str) -> int:
    value = number(text)
    if value > SIZE_MAX:
        raise argparse.ArgumentTypeError(f"{text!r} does not fit in 64 bits")
    return value


def queue_limit(text: str) -> int:
    value = number(text)
    low, high = MAX_QUEUE_RANGE
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"{text!r} is not between {low} and {high}")
    return value


def utf8(text: str) -> str:
    """Text that the plugin can be given: valid UTF-8 (the command line may hold any bytes)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(
            f"{os.fsencode(text)!r} is not valid UTF-8") from None
    return text


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number of seconds")
    return value


def rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a number of samples per second") from None
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number of samples per "
                                         "second")
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

    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        # argparse ignores write errors; --help into a full standard output must fail here,
        # not in the interpreter's exit.
        if message:
            stream = file or sys.stderr
            stream.write(message)
            getattr(stream, "flush", lambda: None)()


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
                         help='the plugin library, or a bundled plugin\'s name: "sim" (the simulated '
                              'device) or "replay" (a recording played back)')
        if options:
            sub.add_argument("--options", default="", type=utf8, metavar="TEXT",
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

    rec = command("record", "record a stream into a file: .npy, SigMF, or raw bytes")
    rec.add_argument("--set", dest="values", action="append", type=assignment, default=[],
                     metavar="ADDR=VALUE", help="a register to set before streaming (repeatable)")
    rec.add_argument("--addr", type=uint32, default=0, metavar="N",
                     help="the stream's address (default: 0)")
    rec.add_argument("--chunk-size", type=size, default=0, metavar="N",
                     help="bytes per chunk (default: 0, the device's choice)")
    amount = rec.add_mutually_exclusive_group()  # none: until the device ends the stream
    amount.add_argument("--chunks", type=number, metavar="N", help="record N chunks")
    amount.add_argument("--bytes", type=number, metavar="N", help="record N bytes")
    amount.add_argument("--seconds", type=seconds, metavar="S", help="record for S seconds")
    rec.add_argument("--dtype", default="uint8", choices=list(NPY_DTYPES), metavar="DTYPE",
                     help="the sample type: whole samples are written (default: uint8; one of "
                          f"{', '.join(NPY_DTYPES)})")
    rec.add_argument("--format", choices=["raw", "npy", "sigmf"], default=None,
                     help="the file format (default: by the name: .npy, .sigmf-data or "
                          ".sigmf-meta; raw for any other)")
    rec.add_argument("--sample-rate", type=rate, default=None, metavar="HZ",
                     help="samples per second, for the SigMF metadata (core:sample_rate)")
    rec.add_argument("--description", type=utf8, default="", metavar="TEXT",
                     help="a description for the SigMF metadata (core:description)")
    rec.add_argument("--max-queue", type=queue_limit, default=4096, metavar="N",
                     help="events that may wait before they are dropped, 64 to 2147483647 "
                          "(default: 4096)")
    rec.add_argument("--timeout", type=seconds, default=10.0, metavar="S",
                     help="give up after S seconds without data (default: 10)")
    rec.add_argument("-o", "--output", required=True, metavar="FILE",
                     help="the file to write; for SigMF the base name of NAME.sigmf-data and "
                          "NAME.sigmf-meta; - for raw bytes to standard output. An existing "
                          "file is replaced only once data has come")
    return parser


# The loader's text for a file the dynamic loader refused, and what it says after it.
_REFUSED = re.compile(r"boost::dll::shared_library::load\(\) failed \(dlerror system message: "
                      r"(.*)\)(: [^()]*)?", re.DOTALL)


def load(plugin: str) -> pyvorn_device.DeviceManager:
    try:
        return open_manager(plugin)
    except (RuntimeError, OSError, VornError) as error:
        text = str(error)
        if refused := _REFUSED.fullmatch(text):  # only the loader's own reason
            text = f"not a plugin the dynamic loader can load: {refused[1]}"
        raise CliError(f"cannot load the plugin {plugin}: {text}") from None


def create(manager: pyvorn_device.DeviceManager, options: str) -> pyvorn_device.Device:
    try:
        device = manager.create_device(options)
    except (ValueError, RuntimeError) as error:
        raise CliError(f"bad device options {options!r}: {error}") from None
    if device is None:
        raise CliError(f"the plugin made no device for the options {options!r}")
    return device


def say(*lines: str) -> None:
    """Prints result lines on standard output; a failed write ends the command (status 1)."""
    try:
        for line in lines:
            sys.stdout.write(line + "\n")
        sys.stdout.flush()
    except OSError as error:
        raise output_failed(error) from None


def output_failed(error: OSError) -> CliError:
    """The error for a standard output that cannot be written (full, or a closed pipe). What is
    still buffered goes to /dev/null, so that the interpreter's exit does not fail on it."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass
    reason = os.strerror(error.errno) if error.errno else str(error)
    return CliError(f"cannot write to standard output: {reason}", 1)


def tell(line: str) -> None:
    """A message or summary, on standard error."""
    print(line, file=sys.stderr, flush=True)


def shown(text: str) -> str:
    """`text` with bytes that are not UTF-8 (a path's, kept as surrogates) shown as \\xNN."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def texts(*calls: tuple[str, Callable[[], object]]) -> list[str]:
    """The plugin's texts, each (what, call); a text that is not UTF-8 is a bad plugin."""
    result = []
    for what, call in calls:
        try:
            result.append(shown(str(call())))
        except UnicodeDecodeError as error:
            raise CliError(f"the plugin's {what} is not valid UTF-8: {error}") from None
    return result


def indented(text: str) -> str:
    return textwrap.indent(text.rstrip("\n"), "  ")


def probe(args: argparse.Namespace) -> None:
    manager = load(args.plugin)
    info, location, devices, options = texts(
        ("info", manager.info), ("location", manager.location),
        ("device list", manager.list_devices), ("option help", manager.get_device_options))
    say(f"plugin    {shown(os.fspath(_plugin_path(args.plugin)))}", f"info      {info}",
        f"location  {location}", f"devices\n{indented(devices)}",
        f"options\n{indented(options)}")


def info(args: argparse.Namespace) -> None:
    device = create(load(args.plugin), args.options)
    info, status = texts(("device info", lambda: device.get_info() or "(none)"),
                         ("device status", lambda: device.get_status() or "(none)"))
    say(f"info    {info}", f"status  {status}")


def reg(args: argparse.Namespace) -> None:
    device = create(load(args.plugin), args.options)
    if args.action == "get":
        if device.read_registers() != pyvorn_device.ReturnCode.Success:
            raise CliError("the device did not answer (read_registers failed)", 1)
        lines = []
        for addr in args.addrs:
            value = device.get_register(addr)
            lines.append(f"0x{addr:03X}  0x{value:08X}  {value}")
        say(*lines)
        return
    apply(device, args.values)
    say(f"sent {len(args.values)} register value{'s' if len(args.values) != 1 else ''}: "
        + ", ".join(f"0x{addr:03X}=0x{value:X}" for addr, value in args.values))


def apply(device: pyvorn_device.Device, values: list[tuple[int, int]]) -> None:
    try:
        set_registers(device, values)
    except RegisterError as error:
        raise CliError(str(error), 2 if error.addr is not None else 1) from None


def summary(progress: Progress) -> str:
    """Chunks, bytes, samples, time and rate, errors and drops of a recording."""
    dropped = (f"{progress.dropped_events} events, {progress.dropped_bytes} bytes"
               if progress.dropped_events else "0")
    return (f"{progress.chunks} chunks, {progress.bytes} bytes, {progress.samples} samples in "
            f"{progress.seconds:.2f} s ({progress.rate / 1e6:.1f} MB/s); errors: "
            f"{progress.errors}, drops: {dropped}")


def record_command(args: argparse.Namespace) -> None:
    to_stdout = args.output == "-"
    if to_stdout:
        name, fmt = "standard output", args.format
    else:
        fmt, base = recording_target(args.output, args.format)  # the format is a choice
        name = f"{base}.sigmf-data and .sigmf-meta" if fmt == "sigmf" else args.output
    device = create(load(args.plugin), args.options)
    if args.values:
        apply(device, args.values)
    show = ProgressLine(f"recording {name}") if sys.stderr.isatty() else False
    try:
        done = record(device, args.addr, sys.stdout.buffer if to_stdout else args.output,
                      chunks=args.chunks, bytes=args.bytes, seconds=args.seconds,
                      dtype=args.dtype, format=fmt, chunk_size=args.chunk_size,
                      max_queue_elements=args.max_queue, timeout=args.timeout, progress=show,
                      sample_rate=args.sample_rate, description=args.description)
    except (StreamError, StreamEndedError, StreamTimeoutError) as error:
        if error.progress is not None:
            tell(f"incomplete {name}: {summary(error.progress)}")
        raise CliError(str(error), 1) from None
    except OSError as error:
        if to_stdout:
            raise output_failed(error) from None
        # the writer's text names the file and what failed
        raise CliError(error.strerror or str(error), 1) from None
    except VornError as error:
        raise CliError(str(error), 1) from None
    except ValueError as error:  # the device refused the stream's arguments
        raise CliError(str(error), 2) from None
    except RuntimeError as error:  # the device could not start the stream
        raise CliError(f"the device did not start the stream: {error}", 1) from None
    tell(f"recorded {name} ({done.format}, {done.dtype}): "
         f"{summary(Progress(done.chunks, done.bytes, done.seconds, samples=done.samples))}")


COMMANDS = {"probe": probe, "info": info, "reg": reg, "record": record_command}


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit status."""
    try:
        try:
            args = build_parser().parse_args(argv)
        except OSError as error:  # --help or --version into a full standard output
            raise output_failed(error) from None
        COMMANDS[args.command](args)
    except CliError as error:
        print(f"vorn: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("vorn: interrupted", file=sys.stderr)
        return 130
    return 0

