"""scan_stream_batch against the same scans one by one, in wall and CPU time,
next to the machine's own two-core scaling measured in the same run.

For each shape of batch, rounds alternate the batch and the loop of scan_stream
calls; each takes the median of its rounds' wall time and CPU time (user +
system of the whole process, every thread included) and its fresh page faults.

The machine's scaling: a compute-bound child process alone, then two of them at
once; scaling = 2 x (time alone) / (time of the pair). A batch that uses both
cores as well as two independent processes do reaches that speed-up.

    python3 bench/bench_batch_scaling.py [--rounds 11] [--shapes NAME,...] [--first]

Goals: the cache-resident uniform batches (256 x 16,384 and 64 x 65,536) at
least 0.9 x the machine's scaling faster than one by one, at most 1.15x the CPU
time; every shape at least as fast as one by one (ratio >= 1.0), and with
--first, the first call of a fresh process too.
"""

import argparse
import array
import os
import random
import resource
import statistics
import subprocess
import sys
import time

import vak_orn_kernel as vk
from common import machine_scaling

def uniform_words(n, rng):
    """Words drawn uniformly from every class of the 20-bit space and beyond (invalid ones too)."""
    return array.array("I", (rng.randrange(0, 0x110000) for _ in range(n)))


def shapes(rng):
    """name -> (streams, is a goal shape)."""
    def arrays(count, words):
        distinct = [uniform_words(words, rng) for _ in range(min(count, 16))]
        return [distinct[k % len(distinct)] for k in range(count)]

    def lists(count, words):
        return [list(a) for a in arrays(count, words)]

    return {
        "256 x 16,384 uniform arrays": (lambda: arrays(256, 16_384), True),
        "64 x 65,536 uniform arrays": (lambda: arrays(64, 65_536), True),
        "16 x 1 M uniform arrays": (lambda: arrays(16, 1 << 20), False),
        "1 x 4 M + 255 x 1,024 arrays": (
            lambda: arrays(1, 4 << 20) + arrays(255, 1_024), False),
        "100,000 x 8 arrays": (lambda: arrays(100_000, 8), False),
        "64 x 65,536 uniform lists": (lambda: lists(64, 65_536), False),
        "4,096 x 64 lists": (lambda: lists(4_096, 64), False),
    }


def measure(call):
    """Wall seconds, CPU seconds (every thread) and fresh page faults of one call."""
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    call()
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, after.ru_minflt - before.ru_minflt


def compare(streams, rounds):
    calls = {"batch": lambda: vk.scan_stream_batch(streams),
             "single": lambda: [vk.scan_stream(s) for s in streams]}
    for call in calls.values():  # warm both: workers started, heaps grown
        call()
    runs = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            runs[name].append(measure(call))
    return {name: tuple(statistics.median(r[i] for r in rs) for i in range(3))
            for name, rs in runs.items()}


def first_call_child(name, kind):
    streams = shapes(random.Random(7))[name][0]()
    call = (lambda: vk.scan_stream_batch(streams)) if kind == "batch" else (
        lambda: [vk.scan_stream(s) for s in streams])
    print(measure(call)[0])


def first_call_ratio(name, rounds):
    """Median first-call wall time, one by one over batch, in fresh processes."""
    times = {"batch": [], "single": []}
    for _ in range(rounds):
        for kind in times:
            out = subprocess.run([sys.executable, __file__, "--first-child", name, kind],
                                 capture_output=True, check=True, text=True).stdout
            times[kind].append(float(out))
    return statistics.median(times["single"]) / statistics.median(times["batch"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--shapes", default="", help="comma-separated name prefixes")
    parser.add_argument("--first", action="store_true", help="also time first calls")
    args = parser.parse_args()

    scaling = machine_scaling()
    print(f"{sys.version.split()[0]}, {len(os.sched_getaffinity(0))} CPUs, "
          f"load {os.getloadavg()[0]:.2f}; machine's two-core scaling {scaling:.2f}x; "
          f"medians of {args.rounds} rounds")
    print("| batch | one by one wall / CPU ms | batch wall / CPU ms | speed-up | CPU ratio "
          "| faults batch / single | verdict |")
    print("|---|---|---|---|---|---|---|")
    failed = False
    for name, (make, goal_shape) in shapes(random.Random(7)).items():
        if args.shapes and not any(name.startswith(p) for p in args.shapes.split(",")):
            continue
        streams = make()
        m = compare(streams, args.rounds)
        speed = m["single"][0] / m["batch"][0]
        cpu = m["batch"][1] / m["single"][1]
        ok = speed >= 1.0
        if goal_shape:
            ok = ok and speed >= 0.9 * scaling and cpu <= 1.15
        if args.first:
            first = first_call_ratio(name, max(5, args.rounds // 2))
            ok = ok and first >= 1.0
            name += f" (first call {first:.2f}x)"
        failed |= not ok
        goal = f">= {0.9 * scaling:.2f}x, CPU <= 1.15x" if goal_shape else ">= 1.00x"
        print(f"| {name} | {m['single'][0] * 1e3:.1f} / {m['single'][1] * 1e3:.1f} "
              f"| {m['batch'][0] * 1e3:.1f} / {m['batch'][1] * 1e3:.1f} | {speed:.2f}x | {cpu:.2f}x "
              f"| {m['batch'][2]:.0f} / {m['single'][2]:.0f} "
              f"| {'met' if ok else 'MISSED'} (goal {goal}) |")
        del streams
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--first-child":
        first_call_child(sys.argv[2], sys.argv[3])
    else:
        sys.exit(main())
