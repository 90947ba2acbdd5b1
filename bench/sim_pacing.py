"""The simulated device's paced stream against a bare paced producer: process CPU per rate.

The simulated device is the template plugin authors copy, so its acquisition thread should cost
no more than the least a paced producer can cost. Contenders, each one read stream of 4 KiB chunks
at a fixed rate for a fixed window, delivering through start_read_stream into a trivial callable
(memoryview(chunk), nothing more), measured in alternation:

  sim      the simulated device (plugins/sim), ACQ_CHUNK_RATE the rate and ACQ_CHUNK_COUNT the
           window's chunks, with its default waveform (sine) and with the counter
  bare     the paced benchmark plugin (bench/paced_plugin.cpp): the bench's paced producer, a
           sleep to each deadline and a memset chunk

Printed per rate: chunks per second delivered (a contender that falls behind shows it here), the
process CPU (user + system, all threads: producer, delivery thread and callable) in % of one core,
medians over the rounds, and the ratio sim / bare (the median of the rounds' ratios; at most 1:
the template costs no more).

    scripts/bench sim-pacing                     # builds what it needs, then runs this
    scripts/bench sim-pacing --seconds 0.5 --rounds 1 --rates 1000 20000
"""

import argparse
import pathlib
import statistics
import sys

import pyvorn_device

import stream_common

RATES = (1_000, 5_000, 20_000)
SINE = 1


def sim(path: pathlib.Path, waveform: int):
    device = pyvorn_device.get_device_manager(path).create_device("sim0")

    def measure(rate: int, size: int, seconds: float):
        count = max(1, round(rate * seconds))
        for name, value in (("WAVEFORM", waveform), ("CHUNK_SIZE", size), ("CHUNK_RATE", rate),
                            ("CHUNK_COUNT", count)):
            device.set_register(stream_common.ACQ[name], value, 0)
        device.send_registers()
        ends = stream_common.Ends()
        wall, cpu = stream_common.run_streams(device, 1, stream_common.touching_callable(ends),
                                              ends, max_queue=count + 1024)
        return count, wall, cpu

    return measure


def bare(manager):
    def measure(rate: int, size: int, seconds: float):
        count = max(1, round(rate * seconds))
        device = manager.create_device(f"rate={rate} count={count}")
        ends = stream_common.Ends()
        wall, cpu = stream_common.run_streams(device, 1, stream_common.touching_callable(ends),
                                              ends, size, max_queue=count + 1024)
        return count, wall, cpu

    return measure


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rates", type=int, nargs="+", default=RATES, help="chunks per second")
    parser.add_argument("--size", type=int, default=4096, help="bytes per chunk")
    parser.add_argument("--seconds", type=float, default=1.0,
                        help="window per rate, contender and round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sim", type=pathlib.Path, default=stream_common.SIM,
                        help="the simulated device plugin (default: the one installed)")
    stream_common.add_natives_argument(parser)
    args = parser.parse_args()

    contenders = {"sine": sim(args.sim, SINE), "counter": sim(args.sim, stream_common.COUNTER),
                  "bare": bare(stream_common.paced_plugin(args.natives))}
    for measure in contenders.values():  # warm up: first threads, first chunks
        measure(1000, args.size, 0.05)

    # (delivered chunks/s, CPU % of a core) of every round, per contender and rate. Each round
    # starts with another contender, so that none always runs first after a change of rate.
    runs = {(name, rate): [] for name in contenders for rate in args.rates}
    names = list(contenders)
    for round_ in range(args.rounds):
        for rate in args.rates:
            for name in names[round_ % len(names):] + names[:round_ % len(names)]:
                count, wall, cpu = contenders[name](rate, args.size, args.seconds)
                runs[name, rate].append((count / wall, 100 * cpu / wall))

    def median(name, rate, figure):
        return statistics.median(run[figure] for run in runs[name, rate])

    def ratio(name, rate):
        """The median of the rounds' ratios: the runs of one round are close in time, so they
        share the machine's load."""
        return statistics.median(ours[1] / bare[1]
                                 for ours, bare in zip(runs[name, rate], runs["bare", rate]))

    print(f"Simulated device against a bare paced producer: one stream of {args.size}-byte chunks,"
          f" {args.seconds} s per rate and contender, {args.rounds} rounds (medians);\n"
          "callable: memoryview(chunk). CPU: user + system of the whole process in % of one core;"
          "\nsim / bare: the median of the rounds' ratios.\n")
    header = f"{'sine':>9}{'counter':>9}{'bare':>9}"
    print(f"{'rate/s':>8} |{'delivered/s':>27} |{'CPU % of a core':>27} |{'sim / bare':>18}")
    print(f"{'':>8} |{header} |{header} |{'sine':>9}{'counter':>9}")
    for rate in args.rates:
        delivered = "".join(f"{median(name, rate, 0):>9,.0f}" for name in contenders)
        cpu = "".join(f"{median(name, rate, 1):>9.1f}" for name in contenders)
        print(f"{rate:>8,} |{delivered} |{cpu} |{ratio('sine', rate):>9.2f}"
              f"{ratio('counter', rate):>9.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
