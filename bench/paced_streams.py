"""Paced read streams: process CPU and push-to-callable latency at steady chunk rates.

A paced producer (bench/paced_producer.hpp) hands over a freshly allocated and filled chunk of
4 KiB every 1/rate seconds, stamped with the CLOCK_MONOTONIC time of the hand-over. The callable
takes memoryview(chunk) and notes time.monotonic_ns() - stamp at its entry. Contenders, fed by the
same producer code and measured in alternation, each for a fixed window per rate:

  pyvorn   the paced benchmark plugin (bench/paced_plugin.cpp) -> start_read_stream -> the
           module's queue and delivery thread -> the callable
  peer     a naive binding: the producer's own thread calls a ctypes callback per chunk
           (bench/native_callbacks.cpp), which takes a memoryview of a ctypes array
  polling  no Python: the native stream queue with a delivery thread that polls for ever
           (stream_queue_bench polling), the latency floor of a queue between threads

Printed per rate: chunks per second delivered (a contender may fall behind the rate), process CPU
(user + system, all threads) in % of one core, the ratio pyvorn / peer, and latency p50 and p99
(pooled over rounds; polling: median of its rounds). Last, the CPU of an idle stream.

    scripts/bench paced                              # builds what it needs, then runs this
    scripts/bench paced --seconds 0.5 --rounds 1 --rates 1000 20000
"""

import argparse
import ctypes
import statistics
import subprocess
import sys
import time

import stream_common


def pyvorn(manager):
    def measure(rate: float, size: int, seconds: float):
        return stream_common.paced(manager, 1, rate, size, seconds)

    return measure


def ctypes_peer(library: ctypes.CDLL):
    callback_type = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint64)
    run = library.vorn_bench_paced_calls
    run.argtypes = [callback_type, ctypes.c_double, ctypes.c_uint64, ctypes.c_uint64]
    run.restype = ctypes.c_double

    def measure(rate: float, size: int, seconds: float):
        array = ctypes.c_ubyte * size
        delays = []
        monotonic_ns, unpack = time.monotonic_ns, stream_common.STAMP.unpack_from

        def on_chunk(address, length):
            now = monotonic_ns()
            delays.append(now - unpack(memoryview(array.from_address(address)))[0])

        callback = callback_type(on_chunk)
        cpu = stream_common.process_cpu()
        wall = run(callback, rate, size, max(1, round(rate * seconds)))
        return wall, stream_common.process_cpu() - cpu, delays

    return measure


def polling(queue_bench):
    """Figures of one run of the native polling queue: (p50 us, p99 us, CPU %, chunks/s)."""
    def measure(rate: float, size: int, seconds: float):
        line = subprocess.run([str(queue_bench), "polling", str(rate), str(seconds), str(size)],
                              check=True, capture_output=True, text=True).stdout
        return tuple(float(figure) for figure in line.split())

    return measure


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rates", type=float, nargs="+", default=stream_common.PACED_RATES,
                        help="chunks per second")
    parser.add_argument("--size", type=int, default=4096, help="bytes per chunk")
    parser.add_argument("--seconds", type=float, default=1.0,
                        help="window per rate, contender and round")
    parser.add_argument("--rounds", type=int, default=2)
    stream_common.add_natives_argument(parser)
    args = parser.parse_args()

    peer_library = ctypes.CDLL(str(args.natives / "libvorn_bench_callbacks.so"))
    contenders = {"pyvorn": pyvorn(stream_common.paced_plugin(args.natives)),
                  "peer": ctypes_peer(peer_library)}
    measure_polling = polling(args.natives / "stream_queue_bench")
    for measure in contenders.values():  # warm up: first loads, first threads
        measure(1000, args.size, 0.05)

    tallies = {(name, rate): stream_common.Tally() for name in contenders for rate in args.rates}
    polled = {rate: [] for rate in args.rates}
    for _ in range(args.rounds):
        for rate in args.rates:
            for name, measure in contenders.items():
                tallies[name, rate].add(*measure(rate, args.size, args.seconds))
            polled[rate].append(measure_polling(rate, args.size, args.seconds))

    print(f"Paced streams: {args.size}-byte chunks, {args.seconds} s per rate and contender, "
          f"{args.rounds} rounds; callable: memoryview(chunk) and the delay since the stamp.\n"
          "CPU: user + system of the whole process in % of one core (producer included).\n")
    print(f"{'rate/s':>8} |{'delivered/s':>24} |{'CPU % of a core':>28} |{'polling':>9}")
    print(f"{'':>8} |{'pyvorn':>12}{'peer':>12} |{'pyvorn':>9}{'peer':>9}{'ratio':>10} |"
          f"{'CPU %':>9}")
    for rate in args.rates:
        ours, peer = tallies["pyvorn", rate], tallies["peer", rate]
        print(f"{rate:>8,.0f} |{ours.rate():>12,.0f}{peer.rate():>12,.0f} |"
              f"{ours.cpu_percent():>9.1f}{peer.cpu_percent():>9.1f}"
              f"{ours.cpu_percent() / peer.cpu_percent():>10.2f} |"
              f"{statistics.median(p[2] for p in polled[rate]):>9.1f}")

    print("\nLatency from the producer's hand-over to the callable's entry, us (peer: the call runs"
          " on the producer's thread;\npolling: native queue, no Python, median of rounds)\n")
    print(f"{'rate/s':>8} |{'p50':>27} |{'p99':>27}")
    names = f"{'pyvorn':>9}{'peer':>9}{'polling':>9}"
    print(f"{'':>8} |{names} |{names}")
    for rate in args.rates:
        ours, peer = tallies["pyvorn", rate], tallies["peer", rate]
        polls = polled[rate]
        print(f"{rate:>8,.0f} |{ours.latency_us(0.5):>9.1f}{peer.latency_us(0.5):>9.1f}"
              f"{statistics.median(p[0] for p in polls):>9.1f} |"
              f"{ours.latency_us(0.99):>9.1f}{peer.latency_us(0.99):>9.1f}"
              f"{statistics.median(p[1] for p in polls):>9.1f}")

    idle = stream_common.idle_cpu_percent(stream_common.paced_plugin(args.natives))
    print(f"\nIdle stream (started, nothing pushed): {idle:.2f} % of a core")
    return 0


if __name__ == "__main__":
    sys.exit(main())
