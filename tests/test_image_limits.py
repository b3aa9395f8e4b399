"""Hostile streams and exhausted memory: bounded, clean failures, never a crash.

Each scenario runs in a child process so that its memory high-water mark and an
address-space limit concern it alone.
"""

import os
import subprocess
import sys
import textwrap

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")

import vak_orn_kernel as vok
from conftest import AS_LIMIT_IGNORED
from image_helpers import BACKTRACK, DESCEND, PAINT, metadata, set_colour, with_arg

MODULE_DIR = os.path.dirname(vok.__file__)


def run_child(code: str, env_extra=None, timeout=300) -> str:
    env = dict(os.environ, PYTHONPATH=MODULE_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""))
    env.update(env_extra or {})
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


HOSTILE_PRELUDE = """
    import resource, vak_orn_kernel as vok
    RUNS = 2_000_000
    def meta(w, h, root):
        f = [w >> 6, w & 63, h >> 6, h & 63, root >> 6, root & 63, 1, 0]
        return [0x805C0] + [0x80600 + (i << 6) + v for i, v in enumerate(f)] + [0x805C1]
    WHITE = [0x80541, 0x80601, 0x80641, 0x80681]
    def peak_mib():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
"""


@pytest.mark.parametrize(
    "descend_words, root, painted",
    [
        # Quadrant 0 forever: the path bottoms out at pixel (0, 0) and stays there.
        ("[0x8043F] * RUNS", 4095, 0),
        # Alternating quadrants walk off the image; everything below is only counted.
        ("[0x8047F, 0x804BF] * (RUNS // 2)", 4095, None),
        # Size-1 root: quadrant 3 leaves the image on the first step.
        ("[0x804FF] * RUNS", 1, None),
        # Quadrant 1 at size 1 moves right pixel by pixel, then leaves the image.
        ("[0x8047F] * RUNS", 64, None),
    ],
)
def test_endless_descents_use_bounded_memory(descend_words, root, painted):
    out = run_child(HOSTILE_PRELUDE + f"""
    descend = {descend_words}
    words = meta(64, 64, {root}) + WHITE + descend + [0x80501] + [0x805BF] * len(descend)
    before = peak_mib()
    image, info = vok.decode_quadtree(words)
    grown = peak_mib() - before
    print(grown < 64)
    print([i // 3 for i in range(0, len(image), 3) if image[i]])
    print(info)
    # One level short of the root: unbalanced.
    try:
        vok.decode_quadtree(words[:-1] + [0x805BE])
    except ValueError as e:
        print(e)
    """)
    bounded, white, info, error = out.splitlines()
    assert bounded == "True"
    assert white == ("[0]" if painted == 0 else "[]")
    assert info == f"(64, 64, {root}, 1, 0)"
    assert error == "invalid enhanced stream: ended with unbalanced traversal depth"


def test_backtrack_underflow_after_a_long_descent():
    # 6.3 million levels down and back up again.
    words = (metadata(8, 8, 8) + set_colour(1, 1, 1) + [with_arg(DESCEND[3], 63)] * 100_000
             + [PAINT] + [with_arg(BACKTRACK, 63)] * 100_000)
    image, _ = vok.decode_quadtree(words)
    assert image == bytes(8 * 8 * 3)  # the path left the image at its fourth level
    with pytest.raises(ValueError, match="backtrack underflow$"):
        vok.decode_quadtree(words + [BACKTRACK])


PAINT_PRELUDE = """
    import numpy as np, vak_orn_kernel as vok
    SIDE = 4095
    f = [SIDE >> 6, SIDE & 63, SIDE >> 6, SIDE & 63, SIDE >> 6, SIDE & 63, 6, 0]
    META = [0x805C0] + [0x80600 + (i << 6) + v for i, v in enumerate(f)] + [0x805C1]
    def colour_group(n):  # the three levels spell n in base 64
        return [0x80541, 0x80600 + n % 64, 0x80640 + n // 64 % 64, 0x80680 + n // 4096 % 64]
    def entry(level):
        return round(level / 63 * 255)
    def rgb(n):
        return [entry(n % 64), entry(n // 64 % 64), entry(n // 4096 % 64)]
    def check(words, expected):
        image, info = vok.decode_quadtree(words)
        print(info == (SIDE, SIDE, SIDE, 6, 0))
        print(np.array_equal(np.frombuffer(image, np.uint8).reshape(SIDE, SIDE, 3), expected))
"""


@pytest.mark.parametrize("scenario", [
    # 200,000 colour groups, each followed by a PAINT of the root (10 TB painted one by one).
    """
    words = META + [w for n in range(200_000) for w in colour_group(n) + [0x80501]]
    expected = np.empty((SIDE, SIDE, 3), np.uint8)
    expected[:, :] = rgb(199_999)
    """,
    # Two quadrants in turn, 100,000 times each: neither paint contains the other (2.5 TB).
    """
    words = list(META)
    for n in range(100_000):
        words += [0x80401] + colour_group(n) + [0x80501, 0x80581]
        words += [0x804C1] + colour_group(n + 7) + [0x80501, 0x80581]
    expected = np.zeros((SIDE, SIDE, 3), np.uint8)
    expected[:2047, :2047] = rgb(99_999)
    expected[2047:4094, 2047:4094] = rgb(99_999 + 7)
    """,
    # Every node down to six levels, parents before children, 30 times over.
    """
    nodes = []  # (path, x, y, size)
    def walk(path, x, y, size):
        nodes.append((path, x, y, size))
        if len(path) < 6:
            h = max(size >> 1, 1)
            for q in range(4):
                walk(path + [q], x + h * (q & 1), y + h * (q >> 1), h)
    walk([], 0, 0, SIDE)
    words = list(META)
    for sweep in range(30):
        for i, (path, _, _, _) in enumerate(nodes):
            words += [0x80401 + 64 * q for q in path] + colour_group(sweep * 6000 + i)
            words += [0x80501] + ([0x80580 | len(path)] if path else [])
    expected = np.zeros((SIDE, SIDE, 3), np.uint8)
    for i, (_, x, y, size) in enumerate(nodes):
        expected[y:y + size, x:x + size] = rgb(29 * 6000 + i)
    """,
], ids=["root", "two quadrants", "six levels"])
def test_repeated_paints_of_large_nodes_finish(scenario):
    # Each pixel is written a bounded number of times, however often it is painted.
    out = run_child(PAINT_PRELUDE + scenario + """
    check(words, expected)
    """, timeout=60)
    assert out.splitlines() == ["True", "True"]


MEMORY_PRELUDE = """
    import resource, vak_orn_kernel as vok
    def vm_bytes():
        for line in open('/proc/self/status'):
            if line.startswith('VmSize'):
                return int(line.split()[1]) * 1024
    vok.encode_quadtree(b"", 0, 0, 1, 0.0)  # let the allocator set itself up first
    data = bytes(2048 * 2048 * 3)
    limit = vm_bytes() + LIMIT_MIB * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
"""


@pytest.mark.not_under_emulation(AS_LIMIT_IGNORED)
@pytest.mark.parametrize(
    "limit_mib, call",
    [
        # The input copy (12 MiB) fits; the block totals after it do not.
        (16, "vok.encode_quadtree(data, 2048, 2048, 3, 0.0)"),
        (24, "vok.decode_quadtree(META + [0x80541, 0x80601, 0x80641, 0x80681, 0x80501])"),
        # The image fits, but the third PAINT of the root is listed and the skip links
        # that render it at the end (2 bytes a pixel) do not.
        (72, "vok.decode_quadtree(META + [0x80541, 0x80601, 0x80641, 0x80681] + [0x80501] * 3)"),
    ],
)
def test_exhausted_memory_raises_memory_error(limit_mib, call):
    meta = metadata(4095, 4095, 4095, 1)
    out = run_child(MEMORY_PRELUDE.replace("LIMIT_MIB", str(limit_mib)) + f"""
    META = {meta}
    try:
        {call}
        print("no error")
    except MemoryError:
        print("MemoryError")
    # The module still works afterwards.
    print(vok.encode_quadtree(bytes(12), 2, 2, 1, 0.0)[1])
    """, env_extra={"MIMALLOC_ARENA_RESERVE": "0"})
    assert out.splitlines() == ["MemoryError", "(2, 2, 2, 1, 0)"]


# Work of each case in units of 2^18 (pixels or words): the cores look for an
# interrupt at least that often (they aim at every 2^16).
LEAST_POLLS = {
    "encode_detailed": 90,  # about 24 million words out
    "encode_uniform": 16,  # 4 Mi pixels summed
    "decode_before_metadata": 16,  # 4 Mi words skipped
    "decode_moves": 16,  # 4 Mi words read
    "decode_one_large_paint": 64,  # 16.8 million pixels painted
    "decode_repeated_large_paints": 128,  # twice directly, once rendered at the end
}


@pytest.mark.source_checks
def test_long_work_looks_for_interrupts_and_stops_on_one(tmp_path):
    import shutil

    if shutil.which("g++") is None:
        pytest.skip("g++ is needed to build the native probe")
    here = os.path.dirname(os.path.abspath(__file__))
    src = os.path.join(os.path.dirname(here), "src")
    if not os.path.isdir(src):
        pytest.skip("the sources are not beside the tests")
    image_sources = [os.path.join(src, folder, name)
                     for folder in ("image", "common")
                     for name in sorted(os.listdir(os.path.join(src, folder)))
                     if name.endswith(".cpp")]
    exe = str(tmp_path / "image_interrupt_probe")
    # The C allocator instead of mimalloc: the probe needs no allocator headers.
    subprocess.run(["g++", "-std=c++20", "-O2", "-DVAK_CHECKED_HEAP", "-I", src,
                    os.path.join(here, "native", "image_interrupt_probe.cpp"), *image_sources,
                    "-o", exe], check=True)
    out = subprocess.run([exe], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    results = {name: (int(polls), stopped == "1")
               for name, polls, stopped in (line.split() for line in out.stdout.splitlines())}
    assert results.keys() == LEAST_POLLS.keys(), out.stdout
    for name, (polls, stopped) in results.items():
        assert polls >= LEAST_POLLS[name], (name, polls)
        assert stopped, name
