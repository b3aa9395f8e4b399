import array
import ast
import os
import random
import re
import subprocess
import sys
import threading

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
pytest.importorskip("hypothesis")
import numpy as np
from hypothesis import given, strategies as st

import vak_orn_kernel as vk
from cgroup_trees import NATIVE, OTHER_MOUNTS, SRC, V1_MOUNT, V2_MOUNT, build_native, fake_tree

POOL_LINE = re.compile(r"^vak_orn_kernel: worker pool size (\d+)$", re.M)


def plain(result):
    """A scan result with its buffers read out, keys kept in order."""
    return [(k, bytes(v) if isinstance(v, vk.NativeBuffer) else v) for k, v in result.items()]


def one_by_one(streams, record_invalid):
    return [plain(vk.scan_stream(list(s), record_invalid)) for s in streams]


def batch(streams, record_invalid):
    return [plain(r) for r in vk.scan_stream_batch(streams, record_invalid)]


# ---------------------------------------------------------------- results

word = st.one_of(
    st.integers(0, 0xFFFFF),
    st.sampled_from([0x80400, 0x90400, 0xA0400, 0xB0400, 0x88000, 0x84000, 0xC0100, 0x81000]),
    st.integers(0x100000, 0xFFFFFFFF),
)


@given(st.lists(st.lists(word, max_size=60), max_size=40), st.booleans())
def test_batch_equals_scanning_each_stream(streams, record_invalid):
    assert batch(streams, record_invalid) == one_by_one(streams, record_invalid)


def random_streams(count, min_len, max_len, seed):
    rng = random.Random(seed)
    pool = [0x10, 0x80400, 0x90400, 0xA0400, 0xB0400, 0x88000, 0x84000, 0x82000, 0xC0100,
            0x81000, 0x80800, 0x80200, 0x100000, 0xFFFFFFFF]
    return [[rng.choice(pool) if rng.random() < 0.7 else rng.randrange(0, 0x110000)
             for _ in range(rng.randint(min_len, max_len))] for _ in range(count)]


@pytest.mark.parametrize("streams", [
    pytest.param(random_streams(3000, 0, 12, seed=1), id="thousands-of-small"),
    pytest.param(random_streams(3, 150_000, 200_000, seed=2), id="few-large"),
    pytest.param(random_streams(1, 300_000, 300_000, seed=3) + random_streams(500, 0, 50, seed=4),
                 id="one-huge-first-among-small"),
    pytest.param(random_streams(500, 0, 50, seed=5) + random_streams(1, 300_000, 300_000, seed=6),
                 id="one-huge-last-among-small"),
    pytest.param([[]] * 17, id="empty-streams"),
])
def test_batch_shapes_keep_input_order(streams):
    assert batch(streams, True) == one_by_one(streams, True)


def test_out_of_range_word_is_reported_not_raised():
    got = vk.scan_stream_batch([[0x100000]], record_invalid=True)
    assert type(got) is list and len(got) == 1 and type(got[0]) is dict
    r = got[0]
    assert r["validation_errors"] == ["index 0: word out of range 1048576"]
    assert r["counts"] == [0] * 10


def test_messages_count_indexes_within_each_stream():
    got = vk.scan_stream_batch([[1, 0xFFFFFFFF], [0x100000, 2, 0x200000]], True)
    assert [r["validation_errors"] for r in got] == [
        ["index 1: word out of range 4294967295"],
        ["index 0: word out of range 1048576", "index 2: word out of range 2097152"],
    ]


def test_every_sequence_kind_is_accepted():
    streams = [b"\x01\x02", range(3), (5, 6), array.array("I", [7, 0x80400]),
               np.array([0x88000, 9], dtype=np.uint32), bytearray(b"\x03")]
    assert batch(streams, False) == one_by_one(streams, False)
    assert batch(tuple(streams), False) == batch(streams, False)


def test_record_invalid_accepts_numpy_bool_and_keywords():
    expected = one_by_one([[0x100000]], True)
    assert [plain(r) for r in vk.scan_stream_batch(streams=[[0x100000]],
                                                   record_invalid=np.bool_(True))] == expected
    assert vk.scan_stream_batch([[0x100000]])[0]["validation_errors"] == []


# ---------------------------------------------------------------- failures

STREAMS_TYPE = "argument 'streams': "
OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("args,kwargs,exc,message", [
    (("ab",), {}, TypeError, STREAMS_TYPE + "Can't extract `str` to `Vec`"),
    ((["ab"],), {}, TypeError, STREAMS_TYPE + "Can't extract `str` to `Vec`"),
    (([[1], "ab"],), {}, TypeError, STREAMS_TYPE + "Can't extract `str` to `Vec`"),
    ((iter([[1]]),), {}, TypeError,
     STREAMS_TYPE + "'list_iterator' object cannot be converted to 'Sequence'"),
    (([[1], iter([1])],), {}, TypeError,
     STREAMS_TYPE + "'list_iterator' object cannot be converted to 'Sequence'"),
    (([{1, 2}],), {}, TypeError, STREAMS_TYPE + "'set' object cannot be converted to 'Sequence'"),
    ((5,), {}, TypeError, STREAMS_TYPE + "'int' object cannot be converted to 'Sequence'"),
    (([[1, 1.5]],), {}, TypeError,
     STREAMS_TYPE + "'float' object cannot be interpreted as an integer"),
    (([[1, -1]],), {}, OverflowError, OUT_OF_RANGE),
    (([[1], [2**32]],), {}, OverflowError, OUT_OF_RANGE),
    (([[1]], 1), {}, TypeError, "argument 'record_invalid': 'int' object cannot be converted to 'PyBool'"),
    (([[1]],), {"record_invalid": None}, TypeError,
     "argument 'record_invalid': 'NoneType' object cannot be converted to 'PyBool'"),
    # streams is converted first.
    (("ab", 1), {}, TypeError, STREAMS_TYPE + "Can't extract `str` to `Vec`"),
])
def test_argument_failures(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        vk.scan_stream_batch(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_int_beyond_64_bits_raises_interpreters_overflow_error():
    with pytest.raises(OverflowError) as info:
        vk.scan_stream_batch([[2**64]])
    assert not str(info.value).startswith("argument")


def test_failed_call_keeps_no_reference_to_its_arguments():
    inner = [1, 2, 3]
    bad = [inner, [4, "x"]]
    before = (sys.getrefcount(inner), sys.getrefcount(bad))
    for _ in range(100):
        with pytest.raises(TypeError):
            vk.scan_stream_batch(bad)
    assert (sys.getrefcount(inner), sys.getrefcount(bad)) == before


# The workers scan the first streams while later ones are still converted (once the
# pool exists): the results, the failures and what the call keeps must not depend on
# where the conversion stands when a stream is handed over.
HANDED_OVER = """
import array, sys, vak_orn_kernel as vk
def plain(results):
    return [[(k, bytes(v) if isinstance(v, vk.NativeBuffer) else v) for k, v in r.items()]
            for r in results]
big = array.array("I", [0x80400, 0x41, 0x100000, 0x88000] * 40_000)
streams = [big, list(big[:5000]), (1, 2, 0x90400), big[7:], [], big[:70_000]] * 6
expected = [plain([vk.scan_stream(s, True)]) [0] for s in streams]
if {pool_first}:
    vk.scan_stream_batch([[1], [2]])
for kind in (list, tuple):
    assert plain(vk.scan_stream_batch(kind(streams), True)) == expected
    for _ in range(5):
        try:
            vk.scan_stream_batch(kind(streams + [[1, -1]]))
        except OverflowError as error:
            assert str(error) == "out of range integral type conversion attempted"
        else:
            raise SystemExit("no OverflowError")
assert plain(vk.scan_stream_batch(tuple(streams), True)) == expected
print("ok")
"""


@pytest.mark.parametrize("pool_first", [False, True])
def test_streams_handed_over_while_converting_give_the_same_results(pool_first):
    proc = run_python(HANDED_OVER.format(pool_first=pool_first), {"RAYON_NUM_THREADS": "2"},
                      timeout=120)
    assert proc.returncode == 0 and proc.stdout.decode().split() == ["ok"], proc.stderr.decode()


class Changing:
    """An item whose conversion changes the batch list it sits in."""

    def __init__(self, outer, change):
        self.outer, self.change = outer, change

    def __index__(self):
        self.change(self.outer)
        return 0x80400


BIG = array.array("I", [0x41, 0x80400, 0x88000] * 30_000)


# Streams already handed to the workers stay put when the list grows past the room
# reserved for it; the list is read as its iterator reads it.
@pytest.mark.parametrize("change", [
    pytest.param(lambda outer: outer.clear(), id="emptied"),
    pytest.param(lambda outer: outer.extend([BIG, [5]] * 40), id="grown"),
    pytest.param(lambda outer: outer.__delitem__(slice(3, None)), id="shortened"),
])
def test_list_changed_during_conversion_is_read_as_its_iterator_reads_it(change):
    vk.scan_stream_batch([[1], [2]])  # the pool exists: streams are handed over meanwhile
    streams = [BIG, [1, 2], BIG, BIG[:9]]
    streams.insert(2, [Changing(streams, change)])
    results = vk.scan_stream_batch(streams)
    # The first three items were read before the change; the rest is what the list holds now.
    reference = [BIG, [1, 2], [0x80400]] + streams[3:]
    assert len(results) == len(reference)
    assert [r["counts"] for r in results] == [vk.scan_stream(s)["counts"] for s in reference]


# ---------------------------------------------------------------- threads

def test_concurrent_batches_and_single_scans_match_running_alone():
    jobs = [random_streams(200, 0, 300, seed=10 + t) for t in range(8)]
    expected = [(batch(streams, True), one_by_one(streams[:20], True)) for streams in jobs]
    start = threading.Barrier(8)
    got = [None] * 8
    failures = []

    def worker(t):
        try:
            start.wait()
            results = []
            for _ in range(5):
                results.append((batch(jobs[t], True), one_by_one(jobs[t][:20], True)))
            got[t] = results
        except BaseException as exc:  # reported below, with the thread's index
            failures.append((t, exc))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []
    for t in range(8):
        assert got[t] == [expected[t]] * 5


# ---------------------------------------------------------------- subprocesses

REUSE_CHILD = """
import array, random, resource, vak_orn_kernel as vk
rng = random.Random(7)
distinct = [array.array("I", (rng.randrange(0, 0x110000) for _ in range(16384)))
            for _ in range(16)]
streams = [distinct[k % 16] for k in range(256)]
for _ in range(30):
    vk.scan_stream_batch(streams)
before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
for _ in range(30):
    vk.scan_stream_batch(streams)
print((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / 30)
"""


@pytest.mark.needs_release_heap("the block pool is what lets a call find its memory again")
@pytest.mark.not_under_emulation("the emulator's own memory faults in beside the program's")
def test_a_loop_of_batches_reuses_its_memory():
    # Each call makes 16 MB of copies and about as much output on other threads than
    # the one that frees it. Once warm, a call must find that memory again instead of
    # touching fresh pages (it used to fault in about 1,700 pages per call, and the
    # process grew to several hundred megabytes).
    proc = run_python(REUSE_CHILD)
    assert proc.returncode == 0, proc.stderr
    assert float(proc.stdout) < 200, f"{proc.stdout.strip()} fresh pages per warm call"


def run_python(code, env=None, preexec_fn=None, timeout=120):
    """Runs `code` in a fresh interpreter with the sizing variables cleared, then `env` set."""
    full = {k: v for k, v in os.environ.items()
            if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "VAK_ORN_KERNEL_DEBUG_POOL")}
    full["VAK_ORN_KERNEL_DEBUG_POOL"] = "1"
    full.update(env or {})
    return subprocess.run([sys.executable, "-c", code], env=full, capture_output=True,
                          timeout=timeout, preexec_fn=preexec_fn)


def pool_sizes(proc):
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return [int(n) for n in POOL_LINE.findall(proc.stderr.decode())]


ONE_BATCH = "import vak_orn_kernel as vk; vk.scan_stream_batch([[1], [2], [3]])"
# Systems without affinity masks (macOS, Windows) offer every online processor.
ALLOWED_CPUS = os.sched_getaffinity(0) if hasattr(os, "sched_getaffinity") else range(os.cpu_count())
CPUS = len(ALLOWED_CPUS)
FIRST_CPU = min(ALLOWED_CPUS)


@pytest.mark.parametrize("env,expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": "99999"}, 65535),
    ({"RAYON_NUM_THREADS": "18446744073709551615"}, 65535),
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, 3),
    ({"RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "-3", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "++3", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "18446744073709551616", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": b"3\xff", "RAYON_RS_NUM_CPUS": "5"}, 5),
])
def test_worker_count_from_environment(env, expected):
    env = {k: os.fsdecode(v) for k, v in env.items()}
    assert pool_sizes(run_python(ONE_BATCH, env)) == [expected]


@pytest.mark.parametrize("env", [
    {},
    {"RAYON_NUM_THREADS": "0"},
    {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"},  # 0 means the default, not "ask the next"
    {"RAYON_RS_NUM_CPUS": "0"},
    {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "y"},
])
def test_default_worker_count_follows_the_affinity_mask(env):
    (full,) = pool_sizes(run_python(ONE_BATCH, env))
    assert 1 <= full <= CPUS
    pin = lambda: os.sched_setaffinity(0, {FIRST_CPU})  # noqa: E731
    (pinned,) = pool_sizes(run_python(ONE_BATCH, env, preexec_fn=pin))
    assert pinned == 1


def test_pool_is_created_once_by_the_first_call_that_converts():
    proc = run_python(
        "import sys, vak_orn_kernel as vk\n"
        "vk.scan_stream([1, 2])\n"
        "try:\n"
        "    vk.scan_stream_batch([[1], 'ab'])\n"
        "except TypeError:\n"
        "    pass\n"
        "sys.stderr.write('after failure\\n'); sys.stderr.flush()\n"
        "vk.scan_stream_batch([])\n"
        "vk.scan_stream_batch([[1], [2]])\n",
        {"RAYON_NUM_THREADS": "2"})
    stderr = proc.stderr.decode()
    assert pool_sizes(proc) == [2]
    assert stderr.index("after failure") < stderr.index("worker pool size")


# The process's first batch converts every stream before the pool may exist, and
# scans the converted ones meanwhile on a thread of its own: a stream that fails
# late must leave no pool and no thread behind, and the next call gives the
# same records as one by one.
FIRST_BATCH = """
import os, vak_orn_kernel as vk
def scanning_threads():  # the heap's purger may come and go meanwhile
    names = [open(f'/proc/self/task/{t}/comm').read() for t in os.listdir('/proc/self/task')]
    return names.count('vak-batch-scan\\n')
streams = [[(k * 7919 + i * 104729) % 0x110000 for i in range(70_000)] for k in range(6)]
try:
    vk.scan_stream_batch(streams + [[1], ['x']], record_invalid=True)
except TypeError:
    pass
print(scanning_threads(), flush=True)
def plain(results):
    return [[(k, bytes(v) if isinstance(v, vk.NativeBuffer) else v) for k, v in r.items()]
            for r in results]
expected = plain(vk.scan_stream(s, record_invalid=True) for s in streams)
print(plain(vk.scan_stream_batch(streams, record_invalid=True)) == expected)
"""


def test_a_first_batch_that_fails_late_leaves_no_pool_and_no_thread():
    proc = run_python(FIRST_BATCH, {"RAYON_NUM_THREADS": "2"})
    assert proc.stdout.decode().split() == ["0", "True"]
    stderr = proc.stderr.decode()
    assert pool_sizes(proc) == [2]
    assert stderr.index("parallel phase") > stderr.index("worker pool size")


# A sequence that says it is shorter than it is makes the batch move its streams
# while it converts; with no worker thread to be had, that must not wait for
# workers that never come.
NO_THREADS = """
import threading, vak_orn_kernel as vk
vk.scan_stream_batch([[1]])  # the pool exists; no worker has started
streams = [[0x80400] * 70_000 for _ in range(40)]
class Understated:
    def __len__(self):
        return 2
    def __getitem__(self, i):
        return streams[i]
records = vk.scan_stream_batch(Understated())
try:
    threading.Thread(target=lambda: None).start()
    print("a thread started")
except RuntimeError:
    print(len(records), {r["counts"][4] for r in records})
"""


@pytest.mark.not_under_thread_sanitizer("the runtime refuses the memory layout that a huge stack "
                                         "limit gives a process")
def test_a_batch_without_workers_makes_room_for_more_streams_than_it_was_told():
    def huge_thread_stacks():  # larger than the address space: no thread starts
        import resource

        resource.setrlimit(resource.RLIMIT_STACK, (1 << 44, resource.RLIM_INFINITY))

    proc = run_python(NO_THREADS, preexec_fn=huge_thread_stacks, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    if proc.stdout.decode().strip() == "a thread started":
        pytest.skip("this system starts threads whatever the stack limit")
    assert proc.stdout.decode().split() == ["40", "{70000}"]


THREAD_COUNT = """
import os, time, vak_orn_kernel as vk
def threads():
    return len(os.listdir('/proc/self/task'))
base = threads()
counts = []
for n in {sizes}:
    vk.scan_stream_batch([[1, 2, 3]] * n)
    counts.append(threads() - base)
time.sleep(4.0)
counts.append(threads() - base)
vk.scan_stream_batch([[1, 2, 3]] * 2)
print((counts, [r["counts"][0] for r in vk.scan_stream_batch([[1, 2, 3]] * 2)]))
"""


# Workers stay while batches keep coming, end when idle and start again on demand.
@pytest.mark.not_under_thread_sanitizer("the runtime counts among the threads with one of its own")
@pytest.mark.parametrize("size,sizes,expected", [
    ("3", [1, 0, 50, 50, 2], [0, 0, 3, 3, 3, 0]),  # one stream runs on the caller
    ("99999", [5, 2], [5, 5, 0]),                  # threads start only as far as batches need
])
def test_worker_threads_start_on_demand_and_end_when_idle(size, sizes, expected):
    proc = run_python(THREAD_COUNT.format(sizes=sizes), {"RAYON_NUM_THREADS": size})
    assert proc.returncode == 0, proc.stderr.decode()
    assert ast.literal_eval(proc.stdout.decode()) == (expected, [3, 3])


@pytest.mark.not_under_sanitizer("a child forked while the pool's threads run may find the "
                                  "sanitizer's allocator locked for good")
def test_forked_child_gets_its_own_workers():
    proc = run_python(
        "import os, vak_orn_kernel as vk\n"
        "streams = [[i, 0x80400, i] for i in range(100)]\n"
        "expected = [r['counts'] for r in vk.scan_stream_batch(streams)]\n"
        "pid = os.fork()\n"
        "if pid == 0:\n"
        "    ok = [r['counts'] for r in vk.scan_stream_batch(streams)] == expected\n"
        "    os._exit(0 if ok else 1)\n"
        "_, status = os.waitpid(pid, 0)\n"
        "assert os.waitstatus_to_exitcode(status) == 0\n"
        "assert [r['counts'] for r in vk.scan_stream_batch(streams)] == expected\n",
        {"RAYON_NUM_THREADS": "2"}, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()


# Native memory capped at 128 MiB (the allocator's own options): a batch whose
# records do not fit must raise MemoryError on the workers and keep nothing, so
# that batches which fit still run afterwards.
MEMORY_CAP = {"MIMALLOC_RESERVE_OS_MEMORY": "128MiB", "MIMALLOC_DISALLOW_OS_ALLOC": "1",
              "RAYON_NUM_THREADS": "2"}
FITS = ("fits = [[0x80400] * 400_000 for _ in range(3)]\n"
        "for _ in range(10):\n"
        "    assert [r['counts'][4] for r in vk.scan_stream_batch(fits)] == [400_000] * 3\n")


@pytest.mark.needs_release_heap("the cap is mimalloc's own option")
def test_exhausted_memory_on_workers_raises_memory_error_and_frees_everything():
    proc = run_python(
        "import vak_orn_kernel as vk\n"
        "too_big = [[0x80400] * 1_000_000 for _ in range(16)]\n"
        "for _ in range(3):\n"
        "    try:\n"
        "        vk.scan_stream_batch(too_big)\n"
        "    except MemoryError:\n"
        "        pass\n"
        "    else:\n"
        "        raise SystemExit('no MemoryError')\n"
        "del too_big\n" + FITS,
        MEMORY_CAP)
    assert pool_sizes(proc) == [2]  # the arguments converted: the failure was in the scan


# Once the pool exists, the workers scan the first streams while the later ones
# are converted: under the cap, the records of a failing call's first streams can
# still hold memory when the next call converts, which may then run out (a
# MemoryError, never a result); everything is freed all the same.
@pytest.mark.parametrize("pool_first,failures", [
    ("", "OverflowError"),
    ("vk.scan_stream_batch([[1], [2]])\n", "(OverflowError, MemoryError)"),
], ids=["first batch", "streams handed over"])
def test_failed_conversion_frees_the_streams_already_converted(pool_first, failures):
    proc = run_python(
        "import vak_orn_kernel as vk\n" + pool_first +
        "bad = [[0x80400] * 1_000_000 for _ in range(8)] + [[1, -1]]\n"
        "for _ in range(20):\n"
        "    try:\n"
        "        vk.scan_stream_batch(bad)\n"
        f"    except {failures}:\n"
        "        pass\n"
        "del bad\n" + FITS,
        MEMORY_CAP)
    assert pool_sizes(proc) == [2]


# ---------------------------------------------------------------- cgroup quota

def build_probe(tmp_path_factory, *flags):
    """The worker-count rules compiled into a small program, to read fake cgroup trees."""
    sources = [NATIVE / "worker_count_probe.cpp", *sorted((SRC / "scan").glob("worker_count*.cpp")),
               SRC / "common" / "cgroup_files.cpp"]
    exe = build_native(tmp_path_factory.mktemp("probe"), "worker_count_probe", sources, *flags)

    def run(mode, root, preexec_fn=None):
        out = subprocess.run([str(exe), mode, str(root)], capture_output=True, check=True,
                             preexec_fn=preexec_fn)
        return int(out.stdout)
    return run


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    return build_probe(tmp_path_factory)


@pytest.fixture(scope="module")
def portable_probe(tmp_path_factory):
    """The same rules built as for a system without cgroups or affinity masks."""
    return build_probe(tmp_path_factory, "-U__linux__")


@pytest.mark.parametrize("cgroup,mountinfo,files,expected", [
    # cgroup v2: quota/period rounded up, at least one processor
    ("0::/app.slice/job\n", V2_MOUNT, {"sys/fs/cgroup/app.slice/job/cpu.max": "150000 100000\n"}, 2),
    ("0::/app.slice/job\n", V2_MOUNT, {"sys/fs/cgroup/app.slice/job/cpu.max": "1000 100000\n"}, 1),
    ("0::/app.slice/job\n", V2_MOUNT, {"sys/fs/cgroup/app.slice/job/cpu.max": "max 100000\n"}, 0),
    # an ancestor's tighter quota applies too
    ("0::/app.slice/job\n", V2_MOUNT, {"sys/fs/cgroup/app.slice/job/cpu.max": "max 100000\n",
                                       "sys/fs/cgroup/app.slice/cpu.max": "300000 100000\n"}, 3),
    ("0::/app.slice/job\n", V2_MOUNT, {"sys/fs/cgroup/app.slice/job/cpu.max": "400000 100000\n",
                                       "sys/fs/cgroup/app.slice/cpu.max": "300000 100000\n"}, 3),
    # a namespaced view: the cgroup is the mount's root
    ("0::/\n", V2_MOUNT, {"sys/fs/cgroup/cpu.max": "250000 100000\n"}, 3),
    # cgroup v1: the hierarchy whose controllers include cpu
    ("4:cpu,cpuacct:/docker/abc\n3:memory:/docker/abc\n", OTHER_MOUNTS + V1_MOUNT,
     {"sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us": "250000\n",
      "sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us": "100000\n"}, 3),
    ("4:cpu,cpuacct:/docker/abc\n", V1_MOUNT,
     {"sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us": "-1\n",
      "sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us": "100000\n"}, 0),
    # v1 bind-mounted at the container's own cgroup
    ("4:cpu,cpuacct:/docker/abc\n",
     "35 25 0:30 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpuacct,cpu\n",
     {"sys/fs/cgroup/cpu/cpu.cfs_quota_us": "50000\n",
      "sys/fs/cgroup/cpu/cpu.cfs_period_us": "100000\n"}, 1),
    # a mount point with an escaped space
    ("0::/job\n", "30 1 0:26 / /sys/fs/cg\\040root rw - cgroup2 cgroup2 rw\n",
     {"sys/fs/cg root/job/cpu.max": "700000 100000\n"}, 7),
    # hybrid: both hierarchies, the smaller quota wins
    ("4:cpu,cpuacct:/a\n0::/a\n", V1_MOUNT + V2_MOUNT.replace("/sys/fs/cgroup ", "/sys/fs/cgroup/unified "),
     {"sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_quota_us": "500000\n",
      "sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_period_us": "100000\n",
      "sys/fs/cgroup/unified/a/cpu.max": "200000 100000\n"}, 2),
    # unreadable or malformed contents mean no limit
    ("0::/job\n", V2_MOUNT, {"sys/fs/cgroup/job/cpu.max": "1.5 100000\n"}, 0),
    ("garbage\n", "garbage\n", {}, 0),
])
def test_cgroup_cpu_limit(probe, tmp_path, cgroup, mountinfo, files, expected):
    assert probe("cgroup", fake_tree(tmp_path, cgroup, mountinfo, files)) == expected


def test_quota_below_the_affinity_mask_limits_the_default(probe, tmp_path):
    quota_one = fake_tree(tmp_path / "one", "0::/job\n", V2_MOUNT,
                          {"sys/fs/cgroup/job/cpu.max": "80000 100000\n"})
    quota_many = fake_tree(tmp_path / "many", "0::/job\n", V2_MOUNT,
                           {"sys/fs/cgroup/job/cpu.max": "100000000000 100000\n"})
    no_quota = fake_tree(tmp_path / "none", "", "", {})
    assert probe("available", quota_one) == 1
    assert probe("available", quota_many) == CPUS
    assert probe("available", no_quota) == CPUS
    if CPUS >= 2:
        assert probe("available", no_quota, preexec_fn=lambda: os.sched_setaffinity(0, {FIRST_CPU})) == 1


def test_systems_without_cgroups_count_every_online_processor(portable_probe, tmp_path):
    quota_one = fake_tree(tmp_path, "0::/job\n", V2_MOUNT, {"sys/fs/cgroup/job/cpu.max": "80000 100000\n"})
    assert portable_probe("cgroup", quota_one) == 0
    assert portable_probe("available", quota_one) == os.cpu_count()
    if CPUS >= 2:  # no affinity mask is read there
        assert portable_probe("available", quota_one,
                              preexec_fn=lambda: os.sched_setaffinity(0, {FIRST_CPU})) == os.cpu_count()
