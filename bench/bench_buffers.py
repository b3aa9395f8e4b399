"""scan_stream on NumPy arrays: against lists and against copying the array.

    python3 bench/bench_buffers.py               every row, on the process's kernel path
    python3 bench/bench_buffers.py --scan-only   only the array scan rows (taste rows included)
    python3 bench/bench_buffers.py --each-path   the array scan rows once per kernel path
                                                 (VAK_ORN_KERNEL_SCAN_PATH), each in a
                                                 fresh process

Scan rows give the first call of the process (fresh memory) apart from the
steady state (best and median of repeated calls); ratios are against arr.copy()
measured the same way in the same process. The taste rows compare streams dense
with taste sequences with a uniform mix of valid words, per word, in the same
process.
"""
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import vak_orn_kernel as vk
from common import best_time, mixed_stream

N = 10_000_000


def run_stream(n, seed=5, mean_run=64):
    """Runs of one modality at a time (the common shape of real streams)."""
    return np.array(mixed_stream(n, seed=seed, mean_run=mean_run), dtype=np.uint32)


def uniform_stream(n, seed=6):
    """Uniformly random words of every class, out-of-range ones included."""
    return np.random.default_rng(seed).integers(0, 0x110000, n, dtype=np.uint32)


def image_rows():
    """encode_quadtree from bytes against the same image as a list of ints."""
    rng = np.random.default_rng(8)
    side = 1024
    # A smooth picture with noise: a realistic mix of leaves and splits.
    y, x = np.mgrid[0:side, 0:side]
    base = np.stack([(x * 255) // side, (y * 255) // side, ((x + y) * 127) // side], axis=-1)
    pixels = np.clip(base + rng.integers(-8, 9, base.shape), 0, 255).astype(np.uint8)
    data = pixels.tobytes()
    as_list = list(data)
    from_bytes = best_time(lambda: vk.encode_quadtree(data, side, side, 4, 50.0), repeat=3)
    from_list = best_time(lambda: vk.encode_quadtree(as_list, side, side, 4, 50.0), repeat=3)
    read_list = best_time(lambda: bytes(as_list), repeat=3)
    return [
        ("encode_quadtree(bytes), 1024x1024", from_bytes, "input read as one buffer copy"),
        ("encode_quadtree(list), 1024x1024", from_list,
         f"{from_list / from_bytes:.1f}x the bytes call"),
        ("bytes(list) (reading that list)", read_list,
         f"{read_list / from_list:.0%} of the list call"),
    ]


def batch_rows(arrays):
    """64 arrays scanned one by one against one parallel batch."""
    one_by_one = best_time(lambda: [vk.scan_stream(a) for a in arrays], repeat=3)
    batch = best_time(lambda: vk.scan_stream_batch(arrays), repeat=3)
    words = sum(len(a) for a in arrays)
    return [
        (f"scan_stream x{len(arrays)} arrays ({words:,} words)", one_by_one, "1.00"),
        ("scan_stream_batch of the same arrays", batch,
         f"{one_by_one / batch:.2f}x the throughput (goal >= 1.7x on 2 cores)"),
    ]


def first_and_steady(fn, repeat=9):
    """(first call, best, median) wall times in seconds; the first call is
    also the first touch of the memory it writes."""
    times = []
    for _ in range(repeat + 1):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times[0], min(times[1:]), statistics.median(times[1:])


def scan_rows():
    """scan_stream(uint32 array) against arr.copy(), on runs and on a uniform mix."""
    rows = []
    goals = {"runs": 1.8, "uniform": 3.0}
    for name, arr in (("runs", run_stream(N)), ("uniform", uniform_stream(N))):
        copy = first_and_steady(lambda a=arr: a.copy())
        scan = first_and_steady(lambda a=arr: vk.scan_stream(a))
        rows.append((f"arr.copy(), {name}", copy, "1.00 (floor)"))
        ratios = [f"{s / c:.2f}x" for s, c in zip(scan, copy)]
        rows.append((f"scan_stream(arr), {name}", scan,
                     f"first {ratios[0]}, best {ratios[1]}, median {ratios[2]} copy "
                     f"(goal <= {goals[name]}x)"))
    return rows


def wall_and_cpu(fn, repeat=11):
    """Medians of `repeat` calls after a first one: (wall, CPU time of the process), seconds."""
    fn()
    walls, cpus = [], []
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        fn()
        cpus.append(time.process_time() - cpu)
        walls.append(time.perf_counter() - wall)
    return statistics.median(walls), statistics.median(cpus)


def taste_rows():
    """Streams dense with taste sequences, per word against a uniform mix of valid
    words of the same length: each sequence must cost the walk no second pass."""
    streams = {
        "uniform mix": np.random.default_rng(0).integers(0, 1 << 20, N, dtype=np.uint32),
        "taste back-to-back": np.resize(np.array([0x80400, 0x90400, 0xA0400], np.uint32), N),
        "taste + one text word": np.resize(
            np.array([0x80400, 0x90400, 0xA0400, 0x41], np.uint32), N),
    }
    times = {name: wall_and_cpu(lambda a=arr: vk.scan_stream(a)) for name, arr in streams.items()}
    base_wall, base_cpu = times["uniform mix"]
    rows = []
    for name, (wall, cpu) in times.items():
        ratio = (f"{wall / base_wall:.2f}x wall, {cpu / base_cpu:.2f}x CPU (goal <= 2.0x)"
                 if name != "uniform mix" else "1.00 (baseline)")
        rows.append((name, wall, cpu, ratio))
    return rows


def print_taste_rows(rows):
    print(f"\nscan_stream on {N:,} uint32 words dense with taste sequences (medians of 11)")
    print("| stream | wall (ms) | CPU (ms) | ns/word (CPU) | ratio to the uniform mix |")
    print("|---|---|---|---|---|")
    for name, wall, cpu, ratio in rows:
        print(f"| {name} | {wall * 1e3:.1f} | {cpu * 1e3:.1f} | {cpu / N * 1e9:.2f} | {ratio} |")


def print_scan_rows(rows):
    path = os.environ.get("VAK_ORN_KERNEL_SCAN_PATH", "the fastest this processor runs")
    print(f"scan_stream on {N:,} uint32 words, kernel path: {path} (Python {sys.version.split()[0]})")
    print("| measurement | first call (ms) | best (ms) | median (ms) | ratio |")
    print("|---|---|---|---|---|")
    for name, (first, best, median), ratio in rows:
        print(f"| {name} | {first * 1e3:.1f} | {best * 1e3:.1f} | {median * 1e3:.1f} | {ratio} |")


def each_path():
    """The scan rows per kernel path, each in a fresh process (a path a
    processor lacks falls back to the fastest it runs, so those are skipped)."""
    flags = open("/proc/cpuinfo").read().split("flags")[1].split("\n")[0].split()
    needs = {"portable": [], "avx2": ["avx2", "bmi2"],
             "avx512": ["avx512f", "avx512bw", "avx512vl", "bmi2"]}
    for path, required in needs.items():
        if not all(flag in flags for flag in required):
            print(f"(this processor does not run the {path} path)\n")
            continue
        subprocess.run([sys.executable, __file__, "--scan-only"], check=True,
                       env=dict(os.environ, VAK_ORN_KERNEL_SCAN_PATH=path))
        print()


def main():
    if "--each-path" in sys.argv:
        each_path()
        return
    print_scan_rows(scan_rows())
    print_taste_rows(taste_rows())
    if "--scan-only" in sys.argv:
        return
    rows = []
    runs = run_stream(N)
    as_list = runs.tolist()
    scan_runs = best_time(lambda: vk.scan_stream(runs))
    scan_list = best_time(lambda: vk.scan_stream(as_list), repeat=3)
    rows.append(("scan_stream(list), runs", scan_list,
                 f"array is {scan_list / scan_runs:.1f}x faster (goal >= 30x)"))
    rows += batch_rows([run_stream(N // 10, seed=k) for k in range(64)])
    rows += image_rows()
    print()
    print("| measurement | time (ms) | ratio |")
    print("|---|---|---|")
    for name, seconds, ratio in rows:
        print(f"| {name} | {seconds * 1e3:.1f} | {ratio} |")


if __name__ == "__main__":
    main()
