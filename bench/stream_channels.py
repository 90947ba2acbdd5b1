"""Several channels: k read streams at once (k = 1, 2, 4, 8, 16), saturated and paced.

Saturated: k acquisitions of one simulated device, each a fixed count of 64-byte counter chunks
as fast as possible (ACQ_CHUNK_RATE 0; queue limit above the count, so nothing is dropped), the
callable taking memoryview(chunk). Figure: chunks per second of all streams together, from the
first start to the last end, and its ratio to one stream's. Meanwhile a Python thread (at
real-time priority when permitted, so that it does not also wait for a core) sleeps 1 ms at a
time and notes how late it wakes up (p99 and max, ms): beyond the timer's slack (the row "none",
no stream), the time it waited for the interpreter lock, i.e. how long delivery threads keep it
from other Python threads, one long hold or several passing it among themselves.

Paced: k streams of the paced benchmark plugin (bench/paced_plugin.cpp), 1,000 chunks of 4 KiB a
second each, for a fixed window. Figures: process CPU (user + system, all threads) in % of one
core, its ratio to k times the CPU of one stream, and the push-to-callable latency p50/p99 of all
chunks. The plugin, not the simulated device, so that the one-stream row is the paced table's
1,000/s row (the same producer; its chunks carry the stamps the latency needs). No ticker here:
its own CPU would blur the ratio.

Rounds alternate over k; saturated figures are medians, paced ones pooled over rounds.

    scripts/bench channels                       # builds what it needs, then runs this
    scripts/bench channels --chunks 20000 --seconds 0.5 --rounds 1
"""

import argparse
import statistics
import sys
import time

import pyvorn_device

import stream_common

STREAMS = (1, 2, 4, 8, 16)


def saturated(device, streams: int, chunks: int):
    """Chunks per second of `streams` saturated streams (none: the ticker alone for 0.5 s), and the
    ticker's lateness in ms (p99, max)."""
    with stream_common.Ticker() as ticker:
        if streams:
            rate = streams * chunks / stream_common.saturated_sim(device, streams, chunks, 64)
        else:
            time.sleep(0.5)
            rate = float("nan")
    return rate, ticker.late_ms(0.99), ticker.late_ms(1.0), ticker.realtime


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--streams", type=int, nargs="+", default=STREAMS)
    parser.add_argument("--chunks", type=int, default=100_000,
                        help="chunks per saturated stream")
    parser.add_argument("--rate", type=float, default=1000, help="chunks per second, paced")
    parser.add_argument("--seconds", type=float, default=1.0, help="window of the paced runs")
    parser.add_argument("--rounds", type=int, default=3)
    stream_common.add_natives_argument(parser)
    args = parser.parse_args()
    counts = sorted(set(args.streams) | {1})

    sim = pyvorn_device.get_device_manager(stream_common.SIM).create_device("sim0")
    manager = stream_common.paced_plugin(args.natives)
    stream_common.paced(manager, 1, 1000, 4096, 0.05)  # warm up: first load, first threads
    runs = {k: [] for k in [0] + counts}
    paced = {k: stream_common.Tally() for k in counts}
    for _ in range(args.rounds):
        for k in runs:
            runs[k].append(saturated(sim, k, args.chunks))
        for k in counts:
            paced[k].add(*stream_common.paced(manager, k, args.rate, 4096, args.seconds))

    print(f"Saturated: k streams of the simulated device, {args.chunks} chunks of 64 bytes each, "
          f"{args.rounds} rounds (medians)")
    print(f"{'streams':>8}{'chunks/s':>14}{'vs 1':>8}{'ticker late p99':>18}{'max':>8}  (ms)")
    one = statistics.median(r[0] for r in runs[1])
    realtime = True
    for k, results in runs.items():
        rate, p99, worst = (statistics.median(r[i] for r in results) for i in range(3))
        realtime = realtime and all(r[3] for r in results)
        print(f"{k or 'none':>8}{rate:>14,.0f}{rate / one:>8.2f}{p99:>18.2f}{worst:>8.2f}")
    print("(ticker at real-time priority: its lateness is waiting for the lock)" if realtime else
          "(ticker at normal priority, real-time refused: lateness includes waiting for a core)")
    print(f"\nPaced: k streams of the paced plugin, {args.rate:,.0f} chunks/s of 4 KiB each, "
          f"{args.seconds} s windows, {args.rounds} rounds")
    print(f"{'streams':>8}{'CPU %':>9}{'k x one':>9}{'ratio':>8}{'delivered/s':>14}"
          f"{'p50 us':>9}{'p99 us':>9}")
    one = paced[1].cpu_percent()
    for k in counts:
        tally = paced[k]
        percent = tally.cpu_percent()
        print(f"{k:>8}{percent:>9.1f}{k * one:>9.1f}{percent / (k * one):>8.2f}"
              f"{tally.rate():>14,.0f}{tally.latency_us(0.5):>9.1f}{tally.latency_us(0.99):>9.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
