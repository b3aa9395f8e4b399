"""How the module behaves at the edges of the process: threads still computing when the
interpreter exits, Ctrl-C during long calls, requests larger than the machine, memory given
back, sub-interpreters and objects whose iteration differs from their buffer.

Whatever could take the process down (abort, out-of-memory kill, hang) runs in a child
process with a timeout."""
import array
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
import numpy as np

import vak_orn_kernel as vk
from conftest import UNDER_EMULATION, on_processor


RSS_HELPER = """
def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20
"""
if UNDER_EMULATION:
    # The emulator's own heap and translated code grow with the work it emulates. Its view
    # of /proc/self/maps lists the emulated program's mappings only; the kernel's map, read
    # by a path the emulator does not rewrite, tells how much of each is resident.
    RSS_HELPER = """
import bisect
def rss_mib():
    with open("/proc/self/maps") as f:
        emulated = sorted(tuple(int(x, 16) for x in line.split()[0].split("-")) for line in f)
    starts = [start for start, _ in emulated]
    kib, counted = 0, False
    with open("/proc//self/smaps") as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5:
                start, end = (int(x, 16) for x in fields[0].split("-"))
                i = bisect.bisect_right(starts, start) - 1
                counted = i >= 0 and end <= emulated[i][1]
            elif fields[0] == "Rss:" and counted:
                kib += int(fields[1])
    return kib / 1024
"""


def run_child(code, timeout=120):
    return subprocess.run([sys.executable, "-c", RSS_HELPER + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)

# A call for each function that computes with the interpreter lock released, long enough that
# a daemon thread is usually inside it when the main thread ends.
RELEASED_CALLS = {
    "scan_stream": "vk.scan_stream(words)",
    "scan_stream_batch": "vk.scan_stream_batch([words[:2_000_000]] * 4)",
    "encode_text": "vk.encode_text('é한' * 3_000_000)",
    "encode_quadtree": "vk.encode_quadtree(image, 1024, 1024, 6, 0.0)",
    "decode_quadtree": "vk.decode_quadtree(stream)",
}


@pytest.mark.not_under_sanitizer("AddressSanitizer reports a false stack overflow in its own "
                                  "sigaltstack interceptor when the interpreter unwinds the thread")
@pytest.mark.parametrize("call", RELEASED_CALLS.values(), ids=RELEASED_CALLS.keys())
def test_daemon_thread_inside_a_call_at_exit_does_not_abort(call):
    code = f"""
        import threading, time
        import numpy as np
        import vak_orn_kernel as vk
        words = np.random.default_rng(0).integers(0, 1 << 20, 8_000_000, dtype=np.uint32)
        image = np.random.default_rng(1).integers(0, 256, 1024 * 1024 * 3, dtype=np.uint8).tobytes()
        stream = vk.encode_quadtree(image, 1024, 1024, 6, 0.0)[0]
        started = threading.Event()
        def work():
            started.set()
            while True:
                {call}
        threading.Thread(target=work, daemon=True).start()
        started.wait()
        time.sleep({{delay}})
    """
    for delay in (0.05, 0.2, 0.35):
        proc = run_child(code.replace("{delay}", str(delay)))
        assert proc.returncode == 0, (delay, proc.returncode, proc.stderr[-2000:])
        assert "terminate" not in proc.stderr


HUGE_INPUTS = {
    "uint8 2**62": "np.broadcast_to(np.uint8(1), (2**62,))",
    "uint32 10**11": "np.broadcast_to(np.uint32(1), (10**11,))",
    "range 10**11": "range(10**11)",
}
HUGE_CALLS = ["vk.scan_stream(x)", "vk.scan_stream_batch([x])", "vk.decode_quadtree(x)",
              "vk.configure_normal_words(x)"]


@pytest.mark.not_under_sanitizer("the sanitizer's allocator reports huge requests itself")
def test_requests_beyond_the_machine_raise_memory_error_at_once():
    code = "import numpy as np, vak_orn_kernel as vk\n"
    for label, make in HUGE_INPUTS.items():
        for call in HUGE_CALLS:
            code += textwrap.dedent(f"""
                x = {make}
                try:
                    {call}
                    print("NO ERROR", {label!r}, {call!r})
                except MemoryError:
                    print("MemoryError")
            """)
    proc = run_child(code, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.split("\n")
    assert lines.count("MemoryError") == len(HUGE_INPUTS) * len(HUGE_CALLS), proc.stdout


@pytest.mark.not_under_sanitizer("resident memory under the sanitizer is its own")
def test_overstated_length_reserves_nothing_lasting():
    proc = run_child("""
        import vak_orn_kernel as vk
        class Overstated:
            def __len__(self): return 10**9
            def __getitem__(self, i):
                if i < 3: return i + 1
                raise IndexError
        x = Overstated()
        calls = [lambda: vk.scan_stream(x), lambda: vk.scan_stream_batch([x, x]),
                 lambda: vk.configure_normal_words(x)]
        for call in calls: call()
        before = rss_mib()
        for _ in range(20_000):
            for call in calls: call()
        print(rss_mib() - before)
        assert vk.scan_stream(x)["counts"][0] == 3
    """)
    assert proc.returncode == 0, proc.stderr
    assert float(proc.stdout) < 20, proc.stdout


# However results are made and dropped, the process gives their memory back within about a
# second of going quiet (NumPy copies of the same size are back within half a second).
DROPS = {
    "few large, one by one": ("big", "results = [vk.scan_stream(words) for _ in range(4)]"),
    "few large, batch": ("big", "results = vk.scan_stream_batch([words] * 4)"),
    "many small, one by one": ("small", "results = [vk.scan_stream(a) for a in arrays]"),
    "many small, batch": ("small", "results = vk.scan_stream_batch(arrays)"),
    "many small, made on another thread": (
        "small", "results = []\n"
                 "t = threading.Thread(target=lambda: results.extend("
                 "vk.scan_stream(a) for a in arrays))\n"
                 "t.start(); t.join()"),
}


@pytest.mark.not_under_sanitizer("resident memory under the sanitizer is its own")
@pytest.mark.parametrize("size,make", DROPS.values(), ids=DROPS.keys())
def test_dropped_results_give_their_memory_back(size, make):
    proc = run_child(f"""
        import gc, threading, time
        import numpy as np
        import vak_orn_kernel as vk
        rng = np.random.default_rng(0)
        if {size!r} == "big":
            words = rng.integers(0, 1 << 20, 10_000_000, dtype=np.uint32)
        else:
            arrays = [rng.integers(0, 1 << 20, 100_000, dtype=np.uint32) for _ in range(800)]
        vk.scan_stream(np.arange(1000, dtype=np.uint32))
        base = rss_mib()
""" + textwrap.indent(make, " " * 8) + """
        held = rss_mib() - base
        del results
        gc.collect()
        dropped = time.monotonic()
        while rss_mib() - base > 40 and time.monotonic() - dropped < 3:
            time.sleep(0.05)
        print(held, rss_mib() - base, time.monotonic() - dropped)
    """)
    assert proc.returncode == 0, proc.stderr
    held, after, seconds = map(float, proc.stdout.split())
    assert held > 120, proc.stdout  # the results really were resident
    assert after <= 40 and seconds < 1.5, proc.stdout  # about a second, on a busy machine


def test_exit_is_not_delayed_by_what_the_module_did():
    # The main thread used to wait at exit for the memory purger's timed sleep to end.
    def exit_lag(body):
        code = textwrap.dedent(f"""
            import sys, time
            import numpy as np
            import vak_orn_kernel as vk
            words = np.random.default_rng(0).integers(0, 1 << 20, 4_000_000, dtype=np.uint32)
            {body}
            print(time.monotonic(), flush=True)
        """)
        lags = []
        for _ in range(5):
            proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
            last_line = float(proc.stdout.readline())
            proc.wait(timeout=60)
            lags.append(time.monotonic() - last_line)
        return sorted(lags)[2]

    plain = exit_lag("result = words.copy()")
    busy = exit_lag("vk.scan_stream_batch([words] * 2); dropped = vk.scan_stream(words); "
                    "del dropped; result = vk.scan_stream(words)")
    assert busy - plain < 0.1, (busy, plain)


THP_MODE = pathlib.Path("/sys/kernel/mm/transparent_hugepage/enabled")


@pytest.mark.needs_release_heap("the checked heaps take their pages their own way")
@pytest.mark.skipif(not THP_MODE.exists() or "[madvise]" not in THP_MODE.read_text(),
                    reason="needs transparent huge pages in madvise mode")
@pytest.mark.not_under_emulation(
    "the emulator refuses prctl(PR_GET_THP_DISABLE) with EINVAL, answers madvise itself, and "
    "its own translation buffer takes huge pages")
@pytest.mark.parametrize("allow", [None, "1"])
def test_scan_memory_takes_ordinary_pages_unless_asked(allow):
    # Huge pages make the first touch of fresh memory several times slower on
    # lazily backed virtual machines; the process's own setting stays untouched.
    env = {k: v for k, v in os.environ.items() if k != "MIMALLOC_ALLOW_THP"}
    if allow is not None:
        env["MIMALLOC_ALLOW_THP"] = allow
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import ctypes
        import numpy as np
        import vak_orn_kernel as vk
        def huge_kib():
            with open("/proc/self/smaps_rollup") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("AnonHugePages"))
        words = np.random.default_rng(0).integers(0, 1 << 20, 10_000_000, dtype=np.uint32)
        before = huge_kib()
        result = vk.scan_stream(words)
        print(huge_kib() - before, ctypes.CDLL(None).prctl(42, 0, 0, 0, 0))
    """)], capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr
    grown_kib, thp_disabled = map(int, proc.stdout.split())
    assert thp_disabled == 0
    if allow is None:
        assert grown_kib < 4096, proc.stdout
    elif grown_kib == 0:
        pytest.skip("the kernel gave no huge pages (memory too fragmented)")
    else:
        assert grown_kib >= 4096, proc.stdout


@pytest.mark.not_under_sanitizer("peak memory under the sanitizer is its own")
def test_tolerant_path_builds_no_messages_it_drops():
    proc = run_child("""
        import resource
        import vak_orn_kernel as vk
        stream = [None] * 2_000_000
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = vk.scan_stream(stream, record_invalid=False)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        assert result["validation_errors"] == [] and sum(result["counts"]) == 0
        print(peak / 1024)
    """)
    assert proc.returncode == 0, proc.stderr
    # 2 M messages would take well over 150 MiB; the entries alone take 8 MiB.
    assert float(proc.stdout) < 60, proc.stdout


# Calls that take a second or more; SIGINT arrives while each runs.
LONG_CALLS = {
    "encode_text": ("s = 'é한中a' * 8_000_000", "vk.encode_text(s)"),
    "tolerant scan": ("s = [None, 5, 'x'] * 3_000_000", "vk.scan_stream(s, record_invalid=True)"),
    "list conversion": ("s = list(range(1 << 20)) * 16", "vk.scan_stream_batch([s, s])"),
    "encode_quadtree": ("import numpy as np; img = np.random.default_rng(0).integers("
                        "0, 256, 2048 * 2048 * 3, dtype=np.uint8).tobytes()",
                        "[vk.encode_quadtree(img, 2048, 2048, 6, 0.0) for _ in range(2)]"),
}


@pytest.mark.parametrize("setup,call", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_ctrl_c_stops_a_long_call_promptly(setup, call):
    # The signal comes from outside, as a terminal's Ctrl-C does: a thread of the child
    # could not send it while the call holds the interpreter lock. The call's own undisturbed
    # duration, measured first in the same child, is the yardstick on a busy machine.
    # A shell's background job inherits SIGINT ignored, and the interpreter then installs no
    # KeyboardInterrupt handler: the child installs it itself.
    proc = subprocess.Popen([sys.executable, "-u", "-c", textwrap.dedent(f"""
        import signal
        import time
        import vak_orn_kernel as vk
        signal.signal(signal.SIGINT, signal.default_int_handler)
        {setup}
        start = time.perf_counter()
        {call}
        print("START", time.perf_counter() - start)
        start, cpu = time.perf_counter(), time.process_time()
        try:
            {call}
            print("FINISHED", time.perf_counter() - start)
        except KeyboardInterrupt:
            print("INTERRUPTED", time.perf_counter() - start, time.process_time() - cpu)
        assert vk.scan_stream([1, 2, 3])["counts"][0] == 3
        print("USABLE")
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        word, undisturbed = proc.stdout.readline().split()
        assert word == "START"
        undisturbed = float(undisturbed)
        time.sleep(0.2 * undisturbed)
        sent = time.perf_counter()
        proc.send_signal(signal.SIGINT)
        outcome = proc.stdout.readline()
        latency = time.perf_counter() - sent
        rest = proc.stdout.read()  # what readline() buffered, then the rest
        err = proc.stderr.read()
        proc.wait(timeout=300)
    finally:
        proc.kill()
    assert proc.returncode == 0, err[-2000:]
    word, *times = outcome.split()
    assert word == "INTERRUPTED", (outcome, undisturbed)
    wall, cpu = map(float, times)
    assert on_processor(latency, wall, cpu) < max(0.5, 0.25 * undisturbed), (latency, outcome,
                                                                           undisturbed)
    assert rest == "USABLE\n"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated sub-interpreters from 3.12")
def test_refused_sub_interpreter_does_not_lock_out_the_main_one():
    proc = run_child("""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import vak_orn_kernel")
        except Exception as error:
            print("refused:", type(error).__name__)
        import vak_orn_kernel
        print(vak_orn_kernel.scan_stream([1])["counts"][0])
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[-2] == "1", proc.stdout


def test_native_buffer_type_is_immutable_and_unconstructible():
    with pytest.raises(TypeError, match="immutable"):
        vk.NativeBuffer.__new__ = lambda cls: None
    with pytest.raises(TypeError):
        vk.NativeBuffer.extra = 1
    with pytest.raises(TypeError, match="No constructor defined for NativeBuffer"):
        vk.NativeBuffer()


class OwnIterArray(array.array):
    def __iter__(self):
        return iter(reversed(self.tolist()))


class OwnItemBytes(bytes):
    def __getitem__(self, index):
        return 7 if isinstance(index, int) else super().__getitem__(index)

    def __iter__(self):
        return iter([7] * len(self))


class PlainSubArray(array.array):
    pass


@pytest.mark.parametrize("obj", [
    OwnIterArray("I", [0x40000, 5, 6, 0x40001]),
    OwnItemBytes(b"\x01\x02\x03"),
    np.ma.masked_array(np.array([1, 2, 0x40000], dtype=np.uint32), mask=[0, 1, 0]),
    PlainSubArray("I", [1, 0x40000, 2]),
], ids=["own __iter__", "own __getitem__", "masked array", "plain subclass"])
def test_objects_are_read_the_way_they_iterate(obj):
    as_items = list(obj)
    for record_invalid in (False, True):
        got = vk.scan_stream(obj, record_invalid)
        want = vk.scan_stream(as_items, record_invalid)
        assert {k: bytes(v) if isinstance(v, vk.NativeBuffer) else v for k, v in got.items()} == \
               {k: bytes(v) if isinstance(v, vk.NativeBuffer) else v for k, v in want.items()}
    if not isinstance(obj, np.ma.MaskedArray):
        assert vk.configure_normal_words(obj) == len(set(as_items))
