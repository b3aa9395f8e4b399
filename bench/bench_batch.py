"""scan_stream_batch against scan_stream one stream at a time, and the batch's
parallel phase on one worker against two.

The parallel phase (scanning with the interpreter lock released) is timed by the
module itself when VAK_ORN_KERNEL_DEBUG_POOL=1; each worker count runs in its own
process, since the pool is sized once per process.
"""
import os
import re
import subprocess
import sys

import vak_orn_kernel as vk
from common import best_time, mixed_stream

STREAMS, WORDS = 64, 200_000
PHASE_LINE = re.compile(rb"^vak_orn_kernel: parallel phase (\d+) streams (\d+) ns$", re.M)


def make_streams():
    """64 streams; 16 distinct ones (each list repeated 4 times) keep the set-up short."""
    distinct = [mixed_stream(WORDS, seed=100 + k) for k in range(16)]
    return [distinct[k % 16] for k in range(STREAMS)]


def interleaved_best(calls, rounds):
    """Best time of each call, alternating them so that they share the machine's quiet moments."""
    best = [float("inf")] * len(calls)
    for _ in range(rounds):
        for i, call in enumerate(calls):
            best[i] = min(best[i], best_time(call, repeat=1))
    return best


def phase_child(repeat):
    """Runs the batch `repeat` times; the module reports each parallel phase on stderr."""
    streams = make_streams()
    call = best_time(lambda: vk.scan_stream_batch(streams), repeat=repeat)
    print(call)


def first_call_child(kind):
    """Times the first pass of a fresh process: fresh memory and, for the batch, new workers."""
    streams = make_streams()
    calls = {"batch": lambda: vk.scan_stream_batch(streams),
             "single": lambda: [vk.scan_stream(s) for s in streams]}
    print(best_time(calls[kind], repeat=1))


def first_call_times(rounds=5):
    """Best first-pass time of each kind over fresh processes, alternating the two."""
    best = {"batch": float("inf"), "single": float("inf")}
    for _ in range(rounds):
        for kind in best:
            proc = subprocess.run([sys.executable, __file__, "--first", kind],
                                  capture_output=True, check=True)
            best[kind] = min(best[kind], float(proc.stdout))
    return best["batch"], best["single"]


def phase_times(workers, repeat=5):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers), VAK_ORN_KERNEL_DEBUG_POOL="1")
    proc = subprocess.run([sys.executable, __file__, "--phase", str(repeat)], env=env,
                          capture_output=True, check=True)
    phases = [int(ns) for n, ns in PHASE_LINE.findall(proc.stderr) if int(n) == STREAMS]
    assert len(phases) == repeat, proc.stderr.decode()
    return min(phases) / 1e9, float(proc.stdout)


def main():
    streams = make_streams()
    batch_result = vk.scan_stream_batch(streams)
    assert [r["counts"] for r in batch_result] == [vk.scan_stream(s)["counts"] for s in streams]
    del batch_result

    batch, single = interleaved_best([lambda: vk.scan_stream_batch(streams),
                                      lambda: [vk.scan_stream(s) for s in streams]], rounds=10)
    phase1 = call1 = phase2 = call2 = float("inf")
    for _ in range(3):  # alternate the two pool sizes, for the same reason
        phase, call = phase_times(1)
        phase1, call1 = min(phase1, phase), min(call1, call)
        phase, call = phase_times(2)
        phase2, call2 = min(phase2, phase), min(call2, call)
    first_batch, first_single = first_call_times()
    cpus = len(os.sched_getaffinity(0))

    print(f"{STREAMS} streams of {WORDS:,} mixed words ({sys.version.split()[0]}, {cpus} CPUs)")
    print("| measurement                                  | time (ms) | ratio |")
    print("|----------------------------------------------|-----------|-------|")
    print(f"| scan_stream, one stream after another        | {single * 1e3:9.1f} | 1.00 |")
    print(f"| scan_stream_batch (default pool)             | {batch * 1e3:9.1f} | "
          f"{batch / single:.2f}x one by one (goal <= 1.00) |")
    print(f"| first pass in a fresh process, one by one    | {first_single * 1e3:9.1f} | 1.00 |")
    print(f"| first pass in a fresh process, batch         | {first_batch * 1e3:9.1f} | "
          f"{first_batch / first_single:.2f}x one by one (goal <= 1.00) |")
    print(f"| scan_stream_batch call, 1 worker             | {call1 * 1e3:9.1f} | |")
    print(f"| scan_stream_batch call, 2 workers            | {call2 * 1e3:9.1f} | "
          f"{call1 / call2:.2f}x faster than 1 worker |")
    print(f"| parallel phase, 1 worker                     | {phase1 * 1e3:9.1f} | 1.00 |")
    print(f"| parallel phase, 2 workers                    | {phase2 * 1e3:9.1f} | "
          f"{phase1 / phase2:.2f}x faster (goal >= 1.7) |")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--phase":
        phase_child(int(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "--first":
        first_call_child(sys.argv[2])
    else:
        main()
