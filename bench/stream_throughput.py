"""Read-stream throughput: what a chunk costs from the device to a Python callable.

Every contender hands N small chunks, produced as fast as possible on a thread other than the
consumer's, to a Python callable that takes memoryview(chunk); the figure is the time from the
start until the last chunk was handled, divided by N. Measured side by side in one run:

  pyvorn stream   the simulated device's acquisition thread -> start_read_stream's queue and
                  delivery thread -> the callable (nothing dropped: the queue limit exceeds N)
  floor           a native thread (bench/floor_module.cpp) that keeps one thread state and calls
                  the same callable with a fresh memoryview per chunk, taking the interpreter lock
                  once per 256 calls: about the least that handing chunks to Python can cost
  ctypes          a native thread calling a ctypes callback per chunk
  thread + queue  a Python producer thread putting bytearrays into a queue.Queue, the main
                  thread taking them out

Rounds alternate between the contenders; medians are reported with ratios against pyvorn and
against the floor.

    scripts/bench streams                 # builds what it needs, then runs this
    scripts/bench streams --chunks 200000 --size 4096 --rounds 3
"""

import argparse
import ctypes
import queue
import statistics
import sys
import threading
import time

import pyvorn_device

import stream_common


def pyvorn_stream(count: int, size: int) -> float:
    device = pyvorn_device.get_device_manager(stream_common.SIM).create_device("sim0")
    return stream_common.saturated_sim(device, 1, count, size)


def floor(module):
    on_chunk = stream_common.touching_callable(stream_common.Ends())

    def measure(count: int, size: int) -> float:
        return module.calls(on_chunk, count, size) * count

    return measure


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
    stream_common.add_natives_argument(parser)
    args = parser.parse_args()

    contenders = {"pyvorn stream": pyvorn_stream}
    sys.path.insert(0, str(args.natives))
    try:
        import vorn_bench_floor
        contenders["floor"] = floor(vorn_bench_floor)
    except ImportError:
        print(f"(no floor: vorn_bench_floor not built in {args.natives})")
    library = args.natives / "libvorn_bench_callbacks.so"
    if library.is_file():
        contenders["ctypes callback"] = ctypes_callbacks(ctypes.CDLL(str(library)))
    else:
        print(f"(no ctypes baseline: {library} not built)")
    contenders["thread + queue"] = thread_and_queue

    print(f"{args.chunks} chunks of {args.size} bytes per round, {args.rounds} rounds, "
          f"callable: memoryview(chunk)\n")
    times = {name: [] for name in contenders}
    for _ in range(args.rounds):
        for name, measure in contenders.items():
            times[name].append(measure(args.chunks, args.size) / args.chunks)
    medians = {name: statistics.median(values) for name, values in times.items()}
    base = medians["pyvorn stream"]
    least = medians.get("floor", float("nan"))
    print(f"{'':<18}{'us/chunk':>10}{'chunks/s':>14}{'vs pyvorn':>12}{'vs floor':>11}")
    for name, per_chunk in medians.items():
        print(f"{name:<18}{per_chunk * 1e6:>10.3f}{1 / per_chunk:>14,.0f}"
              f"{per_chunk / base:>11.2f}x{per_chunk / least:>10.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
