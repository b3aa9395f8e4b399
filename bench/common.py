"""Helpers shared by the benchmarks: timing, the machine's scaling and stream generation."""
import random
import statistics
import subprocess
import sys
import time


def best_time(fn, repeat=5):
    """Best wall time of `repeat` calls, in seconds (the least disturbed run)."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


# One representative word per class; runs of them make a realistic mixed stream.
CLASS_WORDS = {
    "text": (0x00009, 0x4FFFF), "diagram": (0x88000, 0x89FFF), "music": (0x84000, 0x87FFF),
    "voice": (0x82000, 0x83FFF), "image": (0x80400, 0x807FF), "inline": (0x81000, 0x81FFF),
    "mental": (0xC0100, 0xC01FF), "touch": (0x80800, 0x80FFF), "smell": (0x80200, 0x803FF),
}
TASTE = [0x80400, 0x90400, 0xA0400, 0xB0400]


def mixed_stream(n, seed=1, mean_run=16):
    """n words in runs of random classes, with taste sequences and a few invalid words."""
    rng = random.Random(seed)
    classes = list(CLASS_WORDS)
    weights = [30, 5, 8, 6, 35, 3, 4, 5, 4]
    out = []
    while len(out) < n:
        roll = rng.random()
        if roll < 0.02:
            out.extend(TASTE)
        elif roll < 0.025:
            out.append(rng.randrange(0x100000, 0xFFFFFFFF))
        else:
            lo, hi = CLASS_WORDS[rng.choices(classes, weights)[0]]
            out.extend(rng.randint(lo, hi) for _ in range(rng.randint(1, 2 * mean_run)))
    return out[:n]


def uniform_random_stream(n, seed=2):
    """n words drawn uniformly from every word class (the branchiest case)."""
    rng = random.Random(seed)
    return [rng.randrange(0, 0x110000) for _ in range(n)]


SPIN = "x = 0\nfor i in range(12_000_000): x += i * i\n"


def machine_scaling(rounds=5):
    """Two-core speed-up of two compute-bound processes over one (median of rounds)."""
    def spin(count):
        start = time.perf_counter()
        procs = [subprocess.Popen([sys.executable, "-c", SPIN]) for _ in range(count)]
        for proc in procs:
            proc.wait()
        return time.perf_counter() - start

    ratios = []
    for _ in range(rounds):
        one, two = spin(1), spin(2)
        ratios.append(2 * one / two)
    return statistics.median(ratios)
