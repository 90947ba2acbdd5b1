"""vornkit against a hand-written callback: capture() and the iterator, in GB/s, side by side.

Each contender takes the simulated device's counter acquisition at full speed (ACQ_CHUNK_RATE 0)
of `--mib` MiB per run into a new numpy array, with the queue limit 2**20. Each allocates its
array before it starts the stream, as capture() does, so that all pay alike for the first touch
of the array's pages; the time runs from the allocation until the stream has stopped:

  callback   a hand-written start_read_stream callable: numpy.frombuffer(chunk), then a slice
             copy into the array
  capture    vornkit.capture(device, 0, bytes=..., max_queue_elements=2**20)
  iterator   `with vornkit.stream(...) as chunks: for chunk in chunks:` with the same copy

Rounds alternate between the contenders; the medians are printed in GB/s with the ratios
capture / callback and iterator / callback, per chunk size.

    scripts/bench capture                     # 4 KiB, 64 KiB and 1 MiB chunks, 5 rounds
    scripts/bench capture --sizes 65536 --rounds 3 --mib 64
"""

import argparse
import pathlib
import statistics
import sys
import threading
import time

import numpy as np

import pyvorn_device

import stream_common

# The vornkit of this source tree, as the tests use it.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
import vornkit  # noqa: E402

QUEUE = 2**20


def device(total: int, size: int) -> pyvorn_device.Device:
    return stream_common.counter_sim(total, size)


def callback(sim: pyvorn_device.Device, total: int) -> np.ndarray:
    out = np.empty(total, np.uint8)
    position = 0
    ended = threading.Event()
    errors = []

    def on_chunk(chunk, error):
        nonlocal position
        if chunk is not None:
            samples = np.frombuffer(chunk, np.uint8)
            out[position:position + samples.size] = samples
            position += samples.size
        elif error is not None:
            errors.append(error)
        else:
            ended.set()

    with sim.start_read_stream(0, on_chunk, 0, QUEUE):
        ended.wait()
    if errors or position != out.size:
        raise SystemExit(f"callback: {errors[:1]}, {position} of {out.size} bytes")
    return out


def capture(sim: pyvorn_device.Device, total: int) -> np.ndarray:
    return vornkit.capture(sim, 0, bytes=total, max_queue_elements=QUEUE)


def iterator(sim: pyvorn_device.Device, total: int) -> np.ndarray:
    out = np.empty(total, np.uint8)
    position = 0
    with vornkit.stream(sim, 0, max_queue_elements=QUEUE) as chunks:
        for chunk in chunks:
            samples = np.frombuffer(chunk, np.uint8)
            out[position:position + samples.size] = samples
            position += samples.size
    if position != out.size:
        raise SystemExit(f"iterator: {position} of {out.size} bytes")
    return out


CONTENDERS = {"callback": callback, "capture": capture, "iterator": iterator}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[4096, 65536, 1 << 20],
                        help="chunk sizes in bytes (default: 4 KiB, 64 KiB, 1 MiB)")
    parser.add_argument("--mib", type=int, default=256, help="MiB per run (default: 256)")
    parser.add_argument("--rounds", type=int, default=5, help="runs per contender (default: 5)")
    args = parser.parse_args()

    print(f"{args.mib} MiB per run of the simulated counter at full speed, queue limit {QUEUE}, "
          f"{args.rounds} rounds, medians\n")
    print(f"{'chunk':>8}{'callback':>14}{'capture':>14}{'ratio':>7}{'iterator':>14}{'ratio':>7}")
    for size in args.sizes:
        total = args.mib * 2**20 // size * size
        rates = {name: [] for name in CONTENDERS}
        for _ in range(args.rounds):
            for name, run in CONTENDERS.items():
                sim = device(total, size)
                start = time.perf_counter()
                out = run(sim, total)
                rates[name].append(total / (time.perf_counter() - start) / 1e9)
                if out[-4:].view("<u4")[0] != total // 4 - 1:
                    raise SystemExit(f"{name}: the counter did not arrive intact")
                del out
        median = {name: statistics.median(values) for name, values in rates.items()}
        base = median["callback"]
        label = f"{size // 1024} KiB" if size < 2**20 else f"{size // 2**20} MiB"
        print(f"{label:>8}{base:>9.2f} GB/s{median['capture']:>9.2f} GB/s"
              f"{median['capture'] / base:>7.2f}{median['iterator']:>9.2f} GB/s"
              f"{median['iterator'] / base:>7.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
