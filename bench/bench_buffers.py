"""scan_stream on NumPy arrays: against lists and against copying the array."""
import sys

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


def main():
    rows = []
    runs = run_stream(N)
    uniform = uniform_stream(N)
    as_list = runs.tolist()
    copy_runs = best_time(lambda: runs.copy())
    copy_uniform = best_time(lambda: uniform.copy())
    scan_runs = best_time(lambda: vk.scan_stream(runs))
    scan_uniform = best_time(lambda: vk.scan_stream(uniform))
    scan_list = best_time(lambda: vk.scan_stream(as_list), repeat=3)
    rows.append(("arr.copy(), runs", copy_runs, "1.00 (floor)"))
    rows.append(("scan_stream(arr), runs", scan_runs,
                 f"{scan_runs / copy_runs:.2f}x copy (goal <= 3x)"))
    rows.append(("scan_stream(list), runs", scan_list,
                 f"array is {scan_list / scan_runs:.1f}x faster (goal >= 30x)"))
    rows.append(("arr.copy(), uniform", copy_uniform, "1.00 (floor)"))
    rows.append(("scan_stream(arr), uniform", scan_uniform,
                 f"{scan_uniform / copy_uniform:.2f}x copy (goal <= 8x)"))
    print(f"scan_stream on {N:,} uint32 words (Python {sys.version.split()[0]})")
    print("| measurement | time (ms) | ratio |")
    print("|---|---|---|")
    for name, seconds, ratio in rows:
        print(f"| {name} | {seconds * 1e3:.1f} | {ratio} |")


if __name__ == "__main__":
    main()
