"""Read-stream throughput: what a chunk costs from the device to a Python callable.

Every contender hands N small chunks, produced as fast as possible on a thread other than the
consumer's, to a Python callable that takes memoryview(chunk); the figure is the time from the
start until the last chunk was handled, divided by N. Measured side by side in one run:

  pyvorn stream   the simulated device's acquisition thread -> start_read_stream's queue and
                  delivery thread -> the callable (nothing dropped: the queue limit exceeds N)
  ctypes          a native thread calling a ctypes callback per chunk
  thread + queue  a Python producer thread putting bytearrays into a queue.Queue, the main
                  thread taking them out

Rounds alternate between the contenders; medians are reported with ratios against pyvorn.

    scripts/bench streams                 # builds what it needs, then runs this
    python bench/stream_throughput.py --chunks 200000 --size 4096 --rounds 3
"""

import argparse
import ctypes
import pathlib
import queue
import statistics
import sys
import threading
import time

import pyvorn_device

ROOT = pathlib.Path(__file__).resolve().parents[1]
SIM = pathlib.Path(sys.prefix) / "lib" / "vorn" / "plugins" / "libvorn_sim.so"
COUNTER, ACQ = 0, {"WAVEFORM": 0x100, "CHUNK_SIZE": 0x104, "CHUNK_RATE": 0x108, "CHUNK_COUNT": 0x10C}


def pyvorn_stream(count: int, size: int) -> float:
    device = pyvorn_device.get_device_manager(SIM).create_device("sim0")
    for name, value in (("WAVEFORM", COUNTER), ("CHUNK_SIZE", size), ("CHUNK_RATE", 0),
                        ("CHUNK_COUNT", count)):
        device.set_register(ACQ[name], value, 0)
    device.send_registers()
    ended = threading.Event()
    received = 0

    def on_chunk(data, error):
        nonlocal received
        if data is not None:
            memoryview(data)
            received += 1
        elif error is None:
            ended.set()
        else:
            raise SystemExit(f"stream error: {error}")

    start = time.perf_counter()
    stream = device.start_read_stream(0, on_chunk, max_queue_elements=count + 1024)
    ended.wait()
    seconds = time.perf_counter() - start
    del stream
    assert received == count, (received, count)
    return seconds


def ctypes_callbacks(library: ctypes.CDLL):
    callback_type = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint64)
    run = library.vorn_bench_native_calls
    run.argtypes = [callback_type, ctypes.c_uint64, ctypes.c_uint64]
    run.restype = ctypes.c_double

    def measure(count: int, size: int) -> float:
        array = ctypes.c_ubyte * size

        def on_chunk(address, length):
            memoryview(array.from_address(address))

        return run(callback_type(on_chunk), count, size)

    return measure


def thread_and_queue(count: int, size: int) -> float:
    chunks = queue.Queue()

    def produce():
        for _ in range(count):
            chunks.put(bytearray(size))
        chunks.put(None)

    start = time.perf_counter()
    producer = threading.Thread(target=produce)
    producer.start()
    while (chunk := chunks.get()) is not None:
        memoryview(chunk)
    seconds = time.perf_counter() - start
    producer.join()
    return seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--chunks", type=int, default=500_000, help="chunks per round")
    parser.add_argument("--size", type=int, default=64, help="bytes per chunk")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--callbacks-library", type=pathlib.Path,
                        default=ROOT / "build" / "bench" / "bench" / "libvorn_bench_callbacks.so",
                        help="the native library of the ctypes baseline (scripts/bench builds it)")
    args = parser.parse_args()

    contenders = {"pyvorn stream": pyvorn_stream}
    if args.callbacks_library.is_file():
        contenders["ctypes callback"] = ctypes_callbacks(ctypes.CDLL(str(args.callbacks_library)))
    else:
        print(f"(no ctypes baseline: {args.callbacks_library} not built)")
    contenders["thread + queue"] = thread_and_queue

    print(f"{args.chunks} chunks of {args.size} bytes per round, {args.rounds} rounds, "
          f"callable: memoryview(chunk)\n")
    times = {name: [] for name in contenders}
    for _ in range(args.rounds):
        for name, measure in contenders.items():
            times[name].append(measure(args.chunks, args.size) / args.chunks)
    base = statistics.median(times["pyvorn stream"])
    print(f"{'':<18}{'us/chunk':>10}{'chunks/s':>14}{'vs pyvorn':>12}")
    for name, values in times.items():
        per_chunk = statistics.median(values)
        print(f"{name:<18}{per_chunk * 1e6:>10.3f}{1 / per_chunk:>14,.0f}{per_chunk / base:>11.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
