"""The native recorder against its limits: the device alone, `dd`, and a recording through Python.

Each contender takes the simulated device's counter acquisition at full speed (ACQ_CHUNK_RATE 0)
of `--mib` MiB per run, in chunks of each `--sizes` size, with a queue limit above the chunk
count (nothing may be dropped; a drop fails the run):

  device     the same stream recorded raw to /dev/null: the device, the queue and a writer that
             writes nowhere (the most a recording can reach)
  dd         `dd if=/dev/zero of=FILE bs=SIZE count=N`: blocks of the same size from memory to the
             same file system (the write limit)
  native     Device.start_recording(..., format="npy") into FILE: the native recorder
  python     a start_read_stream callable that writes each chunk with os.write: the recording
             path of the package before the native recorder

per file system (`--dirs`, default /dev/shm and the system's temporary folder). Rounds alternate;
medians in MB/s, with native / min(device, dd) and native / python. While vornkit.record() records
the same stream, a Python thread ticks every millisecond; its lateness (p99, max) is printed too:
once as an ordinary thread (what a program's own thread meets: with the producer and the writer at
full speed it also waits for a core), and once with real-time priority (stream_common.Ticker),
which isolates what the recording does to the interpreter lock.

Then the case users live in: a paced device (50,000 chunks/s of 4 KiB, about 200 MB/s) recorded
with the default queue, `--rounds` times in a row into the same name, each recording replacing the
one before: the events each dropped, and the ordinary ticker's lateness meanwhile.

    scripts/bench recording
    scripts/bench recording --sizes 4096 --mib 64 --rounds 3
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import pyvorn_device

import stream_common

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import vornkit  # noqa: E402

MB = 1e6


def device(total: int, size: int) -> pyvorn_device.Device:
    return stream_common.counter_sim(total, size)


def queue_for(total: int, size: int) -> int:
    return max(64, min(2**31 - 1, 2 * (total // size) + 64))


def record(total: int, size: int, path: str, fmt: str, fd: int | None = None) -> float:
    """Seconds for one native recording; fails on any drop."""
    sim = device(total, size)
    began = time.perf_counter()
    stream = sim.start_recording(0, path, format=fmt, dtype="<u4", fd=fd,
                                 max_queue_elements=queue_for(total, size))
    while not stream.progress()["finished"]:
        time.sleep(0.002)  # asking costs the interpreter lock: a few hundred times a second
    seconds = time.perf_counter() - began
    progress = stream.progress()
    stream.stop()
    if progress["dropped_events"] or progress["bytes"] != total or progress["error_code"]:
        raise SystemExit(f"recording lost data or failed: {progress}")
    return seconds


def through_vornkit(total: int, size: int, folder: str) -> None:
    """vornkit.record of the same stream, as a program records: for the ticker."""
    vornkit.record(device(total, size), 0, os.path.join(folder, "bench-ticker.npy"),
                   bytes=total, dtype="<u4", max_queue_elements=queue_for(total, size))


def paced_over_existing(rate: int, size: int, seconds: float, folder: str) -> int:
    """A paced recording with the default queue into the file the previous one left: the events
    it dropped."""
    sim = pyvorn_device.get_device_manager(stream_common.SIM).create_device("sim0")
    count = round(rate * seconds)
    for name, value in (("WAVEFORM", stream_common.COUNTER), ("CHUNK_SIZE", size),
                        ("CHUNK_RATE", rate), ("CHUNK_COUNT", count)):
        sim.set_register(stream_common.ACQ[name], value, 0)
    sim.send_registers()
    stream = sim.start_recording(0, os.path.join(folder, "bench-paced.npy"), format="npy",
                                 dtype="<u4")
    while not stream.progress()["finished"]:
        time.sleep(0.01)
    progress = stream.progress()
    stream.stop()
    return progress["dropped_events"]


def device_alone(total: int, size: int, folder: str) -> float:
    with open(os.devnull, "wb") as null:
        return record(total, size, os.devnull, "raw", fd=null.fileno())


def native(total: int, size: int, folder: str) -> float:
    return record(total, size, os.path.join(folder, "bench-recording.npy"), "npy")


def python_path(total: int, size: int, folder: str) -> float:
    sim = device(total, size)
    ended = threading.Event()
    fd = os.open(os.path.join(folder, "bench-recording.raw"),
                 os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    dropped = []

    def on_chunk(chunk, error):
        if chunk is not None:
            os.write(fd, chunk)
        elif error is not None:
            dropped.append(error)
        else:
            ended.set()

    began = time.perf_counter()
    with sim.start_read_stream(0, on_chunk, max_queue_elements=queue_for(total, size)):
        ended.wait()
    seconds = time.perf_counter() - began
    os.close(fd)
    if dropped:
        raise SystemExit(f"the Python path lost data: {dropped[:1]}")
    return seconds


def dd(total: int, size: int, folder: str) -> float:
    target = os.path.join(folder, "bench-recording.dd")
    began = time.perf_counter()
    subprocess.run(["dd", "if=/dev/zero", f"of={target}", f"bs={size}", f"count={total // size}"],
                   check=True, capture_output=True)
    return time.perf_counter() - began


def ticker_lateness(run) -> tuple[float, float]:
    """(p99, max) lateness in ms of a thread that ticks every millisecond while `run()` runs."""
    late = []
    stop = threading.Event()

    def tick():
        deadline = time.perf_counter()
        while not stop.is_set():
            deadline += 0.001
            pause = deadline - time.perf_counter()
            if pause > 0:
                time.sleep(pause)
            late.append(max(0.0, time.perf_counter() - deadline) * 1000)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        run()
    finally:
        stop.set()
        thread.join()
    late.sort()
    return late[int(0.99 * (len(late) - 1))], late[-1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--natives", help="unused: accepted like the other benchmarks")
    parser.add_argument("--sizes", type=int, nargs="+", default=[4096, 65536])
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dirs", nargs="+", default=["/dev/shm", tempfile.gettempdir()])
    args = parser.parse_args()
    contenders = {"device": device_alone, "dd": dd, "native": native, "python": python_path}
    print(f"Recording the sim's counter at full speed: {args.mib} MiB per run, {args.rounds} "
          "rounds (medians, MB/s)")
    print(f"{'folder':<12} {'chunk':>7} {'device':>8} {'dd':>8} {'native':>8} {'python':>8}"
          f" {'native/limit':>13} {'native/python':>14} {'ticker p99/max ms':>18}"
          f" {'real-time ticker':>17}")
    for folder in args.dirs:
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            for size in args.sizes:
                total = args.mib * 2**20 // size * size
                times = {name: [] for name in contenders}
                for _ in range(args.rounds):
                    for name, run in contenders.items():
                        times[name].append(run(total, size, scratch))
                rate = {name: total / statistics.median(t) / MB for name, t in times.items()}
                p99, worst = ticker_lateness(lambda: through_vornkit(total, size, scratch))
                with stream_common.Ticker() as realtime:
                    through_vornkit(total, size, scratch)
                shown = (f"{realtime.late_ms(0.99):.2f}/{realtime.late_ms(1.0):.2f}"
                         if realtime.realtime else "n/a")
                limit = min(rate["device"], rate["dd"])
                print(f"{folder:<12} {size:>7} {rate['device']:>8.0f} {rate['dd']:>8.0f} "
                      f"{rate['native']:>8.0f} {rate['python']:>8.0f} "
                      f"{rate['native'] / limit:>13.2f} {rate['native'] / rate['python']:>14.2f} "
                      f"{p99:>9.2f}/{worst:.2f} {shown:>17}")
    rate, size, seconds = 50_000, 4096, 3.0
    print(f"\nPaced: {rate} chunks/s of {size // 1024} KiB ({rate * size / MB:.0f} MB/s) for "
          f"{seconds:g} s, the default queue, each recording replacing the previous one")
    print(f"{'folder':<12} {'dropped events per run':>24} {'ticker p99/max ms':>18}")
    for folder in args.dirs:
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            drops = []
            p99, worst = ticker_lateness(
                lambda: drops.extend(paced_over_existing(rate, size, seconds, scratch)
                                     for _ in range(args.rounds)))
            print(f"{folder:<12} {' '.join(map(str, drops)):>24} {p99:>9.2f}/{worst:.2f}")


if __name__ == "__main__":
    main()
