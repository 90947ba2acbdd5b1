"""The replay plugin against dd and against the delivery alone: full-speed throughput, and the CPU
of a paced replay against the simulated device at the same rate.

Full speed: a 256 MiB file in the page cache (read once before), replayed as fast as possible in
4 KiB and 64 KiB chunks into a trivial callable (memoryview(chunk), nothing more), with a queue
that drops nothing. Contenders, in alternation, the median of the rounds:

  dd        dd if=FILE of=/dev/null bs=CHUNK: the file read with blocks of the same size
  delivery  the simulated device's counter at full speed, the same bytes in the same chunks into
            the same callable: what the module's delivery alone reaches
  replay    the replay plugin, rate=0

Printed: GB/s of each, and replay / min(dd, delivery), which is to be at least 0.8.

Paced: one stream of 4 KiB chunks at 1,000 chunks/s for a fixed window, the replay (rate=1000)
against the simulated device (ACQ_CHUNK_RATE 1000); the process CPU (user + system, all threads) in
% of one core, and the ratio replay / sim (at most about 1: replaying costs no more than computing).
The sim runs a second time as a control: its ratio to the first shows the noise of the machine.

    scripts/bench replay                         # builds what it needs, then runs this
    scripts/bench replay --mib 64 --rounds 1 --paced-rounds 3
"""

import argparse
import os
import pathlib
import re
import statistics
import subprocess
import tempfile

import pyvorn_device

import stream_common

REPLAY = stream_common.SIM.with_name("libvorn_replay.so")
CHUNKS = (4096, 65536)


def full_speed_replay(manager, path: pathlib.Path, total: int, size: int) -> float:
    device = manager.create_device(f"file={path} chunk={size} rate=0")
    ends = stream_common.Ends()
    chunks = total // size
    seconds, _ = stream_common.run_streams(device, 1, stream_common.touching_callable(ends), ends,
                                           size, max_queue=chunks + 1024)
    return total / seconds


def full_speed_delivery(total: int, size: int) -> float:
    device = stream_common.counter_sim(total, size)
    ends = stream_common.Ends()
    seconds, _ = stream_common.run_streams(device, 1, stream_common.touching_callable(ends), ends,
                                           max_queue=total // size + 1024)
    return total / seconds


def dd(path: pathlib.Path, total: int, size: int) -> float:
    result = subprocess.run(["dd", f"if={path}", "of=/dev/null", f"bs={size}"],
                            capture_output=True, text=True, check=True)
    match = re.search(r"^(\d+) bytes .* copied, ([0-9.e+-]+) s", result.stderr, re.MULTILINE)
    if match is None or int(match.group(1)) != total:
        raise SystemExit(f"unexpected output of dd: {result.stderr}")
    return total / float(match.group(2))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    stream_common.add_natives_argument(parser)
    parser.add_argument("--mib", type=int, default=256, help="size of the file (default 256)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per figure (default 3)")
    parser.add_argument("--paced-rounds", type=int, default=9,
                        help="rounds of the paced figure (default 9)")
    parser.add_argument("--seconds", type=float, default=2.0,
                        help="the paced window (default 2)")
    args = parser.parse_args()
    total = args.mib << 20
    manager = pyvorn_device.get_device_manager(REPLAY)
    sim = pyvorn_device.get_device_manager(stream_common.SIM).create_device("sim0")

    with tempfile.TemporaryDirectory(prefix="vorn-replay-bench-") as folder:
        path = pathlib.Path(folder) / "data.bin"
        block = os.urandom(1 << 20)
        with open(path, "wb") as file:
            for _ in range(args.mib):
                file.write(block)
        path.read_bytes()  # into the page cache
        print(f"full speed: a {args.mib} MiB file from the page cache into a trivial callable, "
              f"median of {args.rounds}")
        print(f"{'chunk':>8} {'dd GB/s':>9} {'delivery GB/s':>14} {'replay GB/s':>12} "
              f"{'replay / min':>13}")
        for size in CHUNKS:
            figures = {"dd": [], "delivery": [], "replay": []}
            for _ in range(args.rounds):
                figures["dd"].append(dd(path, total, size))
                figures["delivery"].append(full_speed_delivery(total, size))
                figures["replay"].append(full_speed_replay(manager, path, total, size))
            med = {name: statistics.median(values) for name, values in figures.items()}
            ratio = med["replay"] / min(med["dd"], med["delivery"])
            print(f"{size // 1024:>6} K {med['dd'] / 1e9:>9.2f} {med['delivery'] / 1e9:>14.2f} "
                  f"{med['replay'] / 1e9:>12.2f} {ratio:>13.2f}")

        rate, size = 1000, 4096
        count = round(rate * args.seconds)
        paced_path = pathlib.Path(folder) / "paced.bin"
        paced_path.write_bytes(bytes(count * size))

        def replay_run() -> float:
            device = manager.create_device(f"file={paced_path} chunk={size} rate={rate}")
            ends = stream_common.Ends()
            wall, cpu = stream_common.run_streams(
                device, 1, stream_common.touching_callable(ends), ends, size,
                max_queue=count + 1024)
            return 100 * cpu / wall

        def sim_run() -> float:
            for name, value in (("WAVEFORM", 1), ("CHUNK_SIZE", size), ("CHUNK_RATE", rate),
                                ("CHUNK_COUNT", count)):
                sim.set_register(stream_common.ACQ[name], value, 0)
            sim.send_registers()
            ends = stream_common.Ends()
            wall, cpu = stream_common.run_streams(
                sim, 1, stream_common.touching_callable(ends), ends, max_queue=count + 1024)
            return 100 * cpu / wall

        # The sim twice, as a control: two identical runs differ by as much as this machine's
        # noise, which the replay's ratio is to be read against. The order rotates, so that no
        # contender always runs on a machine another one warmed.
        runs = {"replay": replay_run, "sim": sim_run, "sim again": sim_run}
        cpu = {name: [] for name in runs}
        for round_ in range(args.paced_rounds):
            names = list(runs)
            for name in names[round_ % 3:] + names[:round_ % 3]:
                cpu[name].append(runs[name]())
        med = {name: statistics.median(values) for name, values in cpu.items()}
        print(f"\npaced: {rate} chunks/s of {size // 1024} KiB for {args.seconds:g} s, process "
              f"CPU in % of a core, median of {args.paced_rounds}")
        print(f"  sim {med['sim']:.2f} %   replay {med['replay']:.2f} %   replay / sim "
              f"{med['replay'] / med['sim']:.2f}   (control: sim again / sim "
              f"{med['sim again'] / med['sim']:.2f})")


if __name__ == "__main__":
    main()
