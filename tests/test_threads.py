"""Eight Python threads call every function at once, the registry's writer and reader
included, and get exactly what one thread alone gets; the main thread runs signal
handlers during its calls while other threads compute."""

from __future__ import annotations

import faulthandler
import random
import signal
import sys
import threading
import time
from collections.abc import Callable

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
import numpy as np

import vak_orn_kernel as vk
from image_helpers import BACKTRACK, metadata

THREADS = 8
ROUNDS = 10
JOIN_TIMEOUT = 120.0  # seconds for all threads together; a clean run takes a few

rng = random.Random(20240611)
WORD_POOL = [0x10, 0x80400, 0x90400, 0xA0400, 0xB0400, 0x88000, 0x84000, 0x82000, 0xC0100,
             0x81000, 0x80800, 0x80200, 0x100000, 0xFFFFFFFF]
LONG_STREAM = [rng.choice(WORD_POOL) if rng.random() < 0.7 else rng.randrange(0, 0x110000)
               for _ in range(60_000)]
TOLERANT_STREAM = [rng.choice([1, 0x80400, -1, 2**70, "x", 1.5, True, None])
                   for _ in range(3_000)]
BATCH = [LONG_STREAM[i:i + 4_000] for i in range(0, 40_000, 4_000)]
TEXT = "".join(rng.choice(["a", "\u00e9", "e\u0301", "\ud55c", "\ufb01", "\U0001f600", " ",
                           "\u1e9b\u0323", "\u0915\u094d"]) for _ in range(8_000))
WIDTH, HEIGHT = 48, 40
PIXELS = bytes(rng.randrange(256) for _ in range(WIDTH * HEIGHT * 3))
IMAGE_WORDS = vk.encode_quadtree(PIXELS, WIDTH, HEIGHT, 5, 1.0)[0]
PAYLOAD = vk.scan_stream(LONG_STREAM)["image_words_u32le"]

# Thread t writes a registry of REGISTRY_SIZES[t] words; every size differs.
REGISTRY_SIZES = [10 * (t + 1) for t in range(THREADS)]
REGISTRY_WORDS = [list(range(size)) * 2 for size in REGISTRY_SIZES]


def plain(value):
    """A result with every NativeBuffer read out, so that results compare by content."""
    if isinstance(value, vk.NativeBuffer):
        return ("NativeBuffer", bytes(value))
    if isinstance(value, dict):
        return [(key, plain(item)) for key, item in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value)(plain(item) for item in value)
    return value


def outcome(call: Callable[[], object]):
    try:
        return plain(call())
    except Exception as error:  # an expected error is part of the result
        return (type(error), str(error))


def report_without_count():
    report = vk.backend_info()
    count = report.pop("normal_word_count")
    assert count in REGISTRY_SIZES, count
    return report


CALLS = {
    "scan": lambda: vk.scan_stream(LONG_STREAM, True),
    "scan tolerant": lambda: vk.scan_stream(TOLERANT_STREAM, True),
    "scan bad flag": lambda: vk.scan_stream(LONG_STREAM, 1),
    "batch": lambda: vk.scan_stream_batch(BATCH, True),
    "batch overflow": lambda: vk.scan_stream_batch(BATCH + [[1, -1]]),
    "text": lambda: vk.encode_text(TEXT),
    "text surrogate": lambda: vk.encode_text(TEXT + "\ud800"),
    "encode": lambda: vk.encode_quadtree(PIXELS, WIDTH, HEIGHT, 5, 1.0),
    "encode bad depth": lambda: vk.encode_quadtree(PIXELS, WIDTH, HEIGHT, 9, 1.0),
    "decode": lambda: vk.decode_quadtree(IMAGE_WORDS),
    "decode underflow": lambda: vk.decode_quadtree(metadata() + [BACKTRACK]),
    "report": report_without_count,
    "payload": lambda: bytes(memoryview(PAYLOAD)),
}


def test_eight_threads_get_single_threaded_results():
    vk.configure_normal_words(REGISTRY_WORDS[0])
    expected = {name: outcome(call) for name, call in CALLS.items()}
    assert expected["scan bad flag"][0] is TypeError  # the error paths are really taken
    assert expected["decode underflow"][0] is ValueError
    names = list(CALLS)
    start = threading.Barrier(THREADS)
    failures: list[str] = []

    def worker(t: int) -> None:
        try:
            start.wait()
            for round_ in range(ROUNDS):
                for j in range(len(names)):
                    name = names[(j + t + round_) % len(names)]  # threads out of step
                    got = outcome(CALLS[name])
                    if got != expected[name]:
                        failures.append(f"thread {t} round {round_}: {name} differs")
                size = vk.configure_normal_words(REGISTRY_WORDS[t])
                if size != REGISTRY_SIZES[t]:
                    failures.append(f"thread {t}: registry of {REGISTRY_SIZES[t]} gave {size}")
                count = vk.backend_info()["normal_word_count"]
                if count not in REGISTRY_SIZES:
                    failures.append(f"thread {t}: registry size {count} was never configured")
        except BaseException as error:  # reported below with the thread's index
            failures.append(f"thread {t}: {type(error).__name__}: {error}")

    threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(THREADS)]
    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the interpreter lock over often
    # A deadlock that holds the interpreter lock would stop the joins below too: the
    # watchdog then prints every thread's stack and ends the process.
    faulthandler.dump_traceback_later(JOIN_TIMEOUT + 60, exit=True)
    try:
        for thread in threads:
            thread.start()
        deadline = time.monotonic() + JOIN_TIMEOUT
        for thread in threads:
            thread.join(timeout=max(0.0, deadline - time.monotonic()))
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.setswitchinterval(switch_interval)
    stuck = [thread.name for thread in threads if thread.is_alive()]
    assert not stuck, f"still running after {JOIN_TIMEOUT} s: {stuck}"
    assert not failures, failures[:10]
    assert vk.backend_info()["normal_word_count"] in REGISTRY_SIZES


def test_main_thread_runs_signal_handlers_while_its_batch_waits_for_the_pool():
    """The main thread's calls take the interpreter lock back about every 50 ms to run
    pending signal handlers (as for Ctrl-C), also while its batch waits behind other
    threads' long batches on the pool. A handler that returns leaves every call's
    result alone. Pending signals of one kind run their handler once, and the main
    thread's own batch is too small to look for signals while it converts, so two
    runs within one call mean that the waiting caller ran them. How long a call
    waits depends on the other batches: calls are repeated until one waited long."""
    long_streams = [np.full(20_000_000, 0x80400, dtype=np.uint32)] * 8
    long_expected = [r["counts"] for r in vk.scan_stream_batch(long_streams)]
    small = BATCH[:4]
    expected = plain(vk.scan_stream_batch(small, True))
    done = threading.Event()
    others_started = threading.Barrier(3)
    failures: list[str] = []
    runs: list[float] = []

    def other_caller() -> None:
        others_started.wait()
        while not done.is_set():
            if [r["counts"] for r in vk.scan_stream_batch(long_streams)] != long_expected:
                failures.append("another thread's batch differs")

    def signaller() -> None:
        while not done.is_set():
            signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
            time.sleep(0.005)

    previous = signal.signal(signal.SIGUSR1, lambda signum, frame: runs.append(time.monotonic()))
    helpers = [threading.Thread(target=other_caller) for _ in range(2)]
    helpers.append(threading.Thread(target=signaller))
    most_runs_in_one_call = 0
    try:
        for helper in helpers:
            helper.start()
        others_started.wait()
        for _ in range(60):
            time.sleep(0.02)  # the other batches are on the pool
            start = time.monotonic()
            got = vk.scan_stream_batch(small, True)
            end = time.monotonic()
            assert plain(got) == expected
            most_runs_in_one_call = max(most_runs_in_one_call,
                                        sum(start <= t <= end for t in runs))
            if most_runs_in_one_call >= 2:
                break
    finally:
        done.set()
        for helper in helpers:
            helper.join(timeout=JOIN_TIMEOUT)
        signal.signal(signal.SIGUSR1, previous)
    assert not failures, failures[:3]
    assert most_runs_in_one_call >= 2, most_runs_in_one_call
