"""Results under construction are never seen half-built. A memory profiler's thread walks
gc.get_objects() and reads every item of every large list while the main thread runs calls
that build large results and give other threads turns meanwhile; a list with an empty slot
would crash the reader (a segmentation fault), so each call runs in a child process."""
import subprocess
import sys
import textwrap

import pytest

# The child processes use numpy, a test extra that an interpreter may have no wheel for:
# without it this file skips.
pytest.importorskip("numpy")

from conftest import UNDER_SANITIZER

SCALE = 4 if UNDER_SANITIZER else 1

# Each builds a result with a large list (or many dictionaries) while other threads may run.
BUILDERS = {
    "scan_stream messages": ("words = np.full(3_000_000 // SCALE, 0x100000, np.uint32)",
                             "vk.scan_stream(words, True)"),
    "scan_stream tolerant messages": ("items = [None, 'x', 2**70] * (300_000 // SCALE)",
                                      "vk.scan_stream(items, True)"),
    "scan_stream_batch messages": ("words = np.full(1_000_000 // SCALE, 0x100000, np.uint32)",
                                   "vk.scan_stream_batch([words] * 3, record_invalid=True)"),
    "scan_stream_batch dictionaries": ("streams = [[0x41, 0x80401]] * (30_000 // SCALE)",
                                       "vk.scan_stream_batch(streams)"),
    "encode_text": ("text = 'e\\u0301\\ud55c\\u4e2d a' * (2_000_000 // SCALE)",
                    "vk.encode_text(text)"),
    "encode_quadtree": ("pixels = np.random.default_rng(1).integers(0, 256, 2048 * 2048 * 3 // SCALE,"
                        " dtype=np.uint8).tobytes()",
                        "vk.encode_quadtree(pixels, 2048, 2048 // SCALE, 6, 0.0)"),
    "decode_quadtree": ("pixels = np.random.default_rng(1).integers(0, 256, 1024 * 1024 * 3,"
                        " dtype=np.uint8).tobytes()\n"
                        "words = vk.encode_quadtree(pixels, 1024, 1024, 6, 0.0)[0]",
                        "vk.decode_quadtree(words)"),
    "configure_normal_words": ("words = list(range(1_000_000 // SCALE))",
                               "vk.configure_normal_words(words)"),
}

CHILD = """
import gc, sys, threading, time
import numpy as np
import vak_orn_kernel as vk
SCALE = {scale}
{setup}

sweeps = 0
stop = False
def profiler():
    global sweeps
    while not stop:
        for obj in gc.get_objects():
            if type(obj) is list and len(obj) >= 65_536:
                for item in obj:
                    type(item)
        sweeps += 1

threading.Thread(target=profiler, daemon=True).start()
deadline = time.monotonic() + 1.0
calls = 0
# The profiler must finish a sweep beside the calls (a slow machine or an emulator
# gives it its first turn late); a minute without one is a failure.
give_up = time.monotonic() + 60
while (time.monotonic() < deadline or calls < 2 or sweeps < 1) and time.monotonic() < give_up:
    {call}
    calls += 1
stop = True
print(calls, sweeps)
"""


@pytest.mark.parametrize("setup,call", BUILDERS.values(), ids=BUILDERS.keys())
def test_a_profiler_thread_never_sees_a_half_built_result(setup, call):
    code = CHILD.format(scale=SCALE, setup=setup, call=call)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    calls, sweeps = map(int, proc.stdout.split())
    assert calls >= 2 and sweeps >= 1, proc.stdout  # the profiler really ran beside the calls
