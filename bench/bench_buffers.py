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
    rows += batch_rows([run_stream(N // 10, seed=k) for k in range(64)])
    rows += image_rows()
    print(f"scan_stream on {N:,} uint32 words (Python {sys.version.split()[0]})")
    print("| measurement | time (ms) | ratio |")
    print("|---|---|---|")
    for name, seconds, ratio in rows:
        print(f"| {name} | {seconds * 1e3:.1f} | {ratio} |")


if __name__ == "__main__":
    main()
