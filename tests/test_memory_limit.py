"""The memory limit of control groups: read from fake trees by a probe built from
the module's sources, and obeyed by the module in real groups where this
machine lets the tests create them."""
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from cgroup_trees import NATIVE, SRC, V1_MOUNT, V2_MOUNT, build_native, fake_tree

MiB = 1 << 20
GiB = 1 << 30
V1_HUGE = "9223372036854771712\n"  # what v1 reports for "no limit"
# This machine's layout: v1 controllers in their own mounts, a v2 tree beside them.
V1_MEMORY_MOUNT = "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
UNIFIED_MOUNT = "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"
HYBRID_CGROUP = "4:memory:/jobs/abc\n1:cpu:/\n0::/jobs/abc\n"
MEMORY_DIR = "sys/fs/cgroup/memory/jobs/abc"


@pytest.fixture(scope="module")
def probe_exe(tmp_path_factory):
    return build_native(tmp_path_factory.mktemp("cgroup_probe"), "cgroup_probe",
                        [NATIVE / "cgroup_probe.cpp", SRC / "common" / "memory_ceiling.cpp",
                         SRC / "common" / "cgroup_files.cpp"])


@pytest.fixture(scope="module")
def probe(probe_exe):
    def run(*args):
        out = subprocess.run([str(probe_exe), *map(str, args)], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, check=True, timeout=30)
        return out.stdout.splitlines()
    return run


def limit(text):
    return None if text == "none" else int(text)


# ---------------------------------------------------------------- fake trees

@pytest.mark.parametrize("cgroup,mountinfo,files,expected", [
    # v2: memory.max of the group, "max" for none
    ("0::/app.slice/job\n", V2_MOUNT, {"sys/fs/cgroup/app.slice/job/memory.max": "629145600\n"},
     600 * MiB),
    ("0::/app.slice/job\n", V2_MOUNT, {"sys/fs/cgroup/app.slice/job/memory.max": "max\n"}, None),
    # nested groups: the tightest ancestor wins, wherever it is
    ("0::/app.slice/job\n", V2_MOUNT, {"sys/fs/cgroup/app.slice/job/memory.max": "max\n",
                                       "sys/fs/cgroup/app.slice/memory.max": "1073741824\n"}, GiB),
    ("0::/app.slice/job\n", V2_MOUNT, {"sys/fs/cgroup/app.slice/job/memory.max": "314572800\n",
                                       "sys/fs/cgroup/app.slice/memory.max": "1073741824\n"},
     300 * MiB),
    ("0::/a/b/c\n", V2_MOUNT, {"sys/fs/cgroup/a/b/c/memory.max": "3221225472\n",
                               "sys/fs/cgroup/a/b/memory.max": "max\n",
                               "sys/fs/cgroup/a/memory.max": "2147483648\n"}, 2 * GiB),
    # a namespaced view: the group is the mount's root
    ("0::/\n", V2_MOUNT, {"sys/fs/cgroup/memory.max": "536870912\n"}, 512 * MiB),
    # v1: the hierarchy whose controllers include memory; its root says "unlimited"
    (HYBRID_CGROUP, V1_MEMORY_MOUNT + UNIFIED_MOUNT,
     {f"{MEMORY_DIR}/memory.limit_in_bytes": "629145600\n",
      "sys/fs/cgroup/memory/jobs/memory.limit_in_bytes": V1_HUGE,
      "sys/fs/cgroup/memory/memory.limit_in_bytes": V1_HUGE}, 600 * MiB),
    (HYBRID_CGROUP, V1_MEMORY_MOUNT + UNIFIED_MOUNT,
     {f"{MEMORY_DIR}/memory.limit_in_bytes": V1_HUGE,
      "sys/fs/cgroup/memory/jobs/memory.limit_in_bytes": "1153433600\n",
      "sys/fs/cgroup/memory/memory.limit_in_bytes": V1_HUGE}, 1100 * MiB),
    (HYBRID_CGROUP, V1_MEMORY_MOUNT + UNIFIED_MOUNT,
     {f"{MEMORY_DIR}/memory.limit_in_bytes": V1_HUGE,
      "sys/fs/cgroup/memory/memory.limit_in_bytes": V1_HUGE}, None),
    # hybrid: limits in both trees, the smaller wins
    (HYBRID_CGROUP, V1_MEMORY_MOUNT + UNIFIED_MOUNT,
     {f"{MEMORY_DIR}/memory.limit_in_bytes": "629145600\n",
      "sys/fs/cgroup/unified/jobs/abc/memory.max": "314572800\n"}, 300 * MiB),
    # v1 bind-mounted at the container's own group
    ("4:memory:/docker/abc\n",
     "36 25 0:31 /docker/abc /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n",
     {"sys/fs/cgroup/memory/memory.limit_in_bytes": "268435456\n"}, 256 * MiB),
    # the cpu hierarchy's files are not the memory hierarchy's
    ("4:cpu,cpuacct:/a\n", V1_MOUNT, {"sys/fs/cgroup/cpu,cpuacct/a/memory.limit_in_bytes": "4096\n"},
     None),
    # a group whose hierarchy is not mounted has nothing to read
    ("4:memory:/a\n", V1_MOUNT, {"sys/fs/cgroup/memory/a/memory.limit_in_bytes": "4096\n"}, None),
    # missing files and readings gone wrong mean no limit, never a tiny one
    ("0::/job\n", V2_MOUNT, {}, None),
    ("", "", {}, None),
    ("garbage\n", "garbage\n", {}, None),
    # only v1's "unlimited" range counts as none (the machine's memory bounds the rest)
    ("0::/job\n", V2_MOUNT, {"sys/fs/cgroup/job/memory.max": f"{1 << 61}\n"}, 1 << 61),
] + [
    pytest.param("0::/job\n", V2_MOUNT, {"sys/fs/cgroup/job/memory.max": text}, None, id=repr(text))
    for text in ["0\n", "\n", "-1\n", "12abc\n", " 4096\n", "18446744073709551616\n"]
])
def test_memory_limit_of_a_tree(probe, tmp_path, cgroup, mountinfo, files, expected):
    assert [limit(x) for x in probe("memory", fake_tree(tmp_path, cgroup, mountinfo, files))] == [
        expected]


@pytest.mark.parametrize("controller,cgroup,mountinfo,expected", [
    # the group's own directory first, then every ancestor up to the mount
    ("memory", HYBRID_CGROUP, V1_MEMORY_MOUNT + UNIFIED_MOUNT,
     ["v1 /sys/fs/cgroup/memory/jobs/abc", "v1 /sys/fs/cgroup/memory/jobs", "v1 /sys/fs/cgroup/memory",
      "v2 /sys/fs/cgroup/unified/jobs/abc", "v2 /sys/fs/cgroup/unified/jobs",
      "v2 /sys/fs/cgroup/unified"]),
    ("cpu", HYBRID_CGROUP, V1_MEMORY_MOUNT + UNIFIED_MOUNT + V1_MOUNT,
     ["v1 /sys/fs/cgroup/cpu,cpuacct", "v2 /sys/fs/cgroup/unified/jobs/abc",
      "v2 /sys/fs/cgroup/unified/jobs", "v2 /sys/fs/cgroup/unified"]),
    # trailing slashes, and a tree mounted at the file system's root
    ("memory", "0::/job/\n", "30 1 0:26 / / rw - cgroup2 cgroup2 rw\n", ["v2 /job", "v2 "]),
    # a group outside the mount's root is not visible through it
    ("memory", "4:memory:/other\n",
     "36 25 0:31 /docker/abc /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n", []),
    # the first mount through which the group is visible
    ("memory", "4:memory:/docker/abc/x\n",
     "36 25 0:31 /docker/abc /mnt/one rw - cgroup cgroup rw,memory\n"
     "37 25 0:31 / /mnt/two rw - cgroup cgroup rw,memory\n",
     ["v1 /mnt/one/x", "v1 /mnt/one"]),
])
def test_group_directories_and_their_ancestors(probe, tmp_path, controller, cgroup, mountinfo,
                                               expected):
    assert probe("dirs", fake_tree(tmp_path, cgroup, mountinfo, {}), controller) == expected


def test_every_reading_follows_changed_limits_and_moved_groups(probe_exe, tmp_path):
    """One process reads again and again while the tree changes under it."""
    root = fake_tree(tmp_path, "0::/a\n", V2_MOUNT, {"sys/fs/cgroup/a/memory.max": "314572800\n",
                                                     "sys/fs/cgroup/b/memory.max": "max\n"})

    def write(path, text):
        return lambda: (root / path).write_text(text)
    steps = [
        (write("sys/fs/cgroup/a/memory.max", "2147483648\n"), 2 * GiB),
        (write("sys/fs/cgroup/a/memory.max", "max\n"), None),
        (write("sys/fs/cgroup/a/memory.max", "104857600\n"), 100 * MiB),
        # moved into another group: its directories are found again
        (write("proc/self/cgroup", "0::/b\n"), None),
        (write("sys/fs/cgroup/memory.max", "209715200\n"), 200 * MiB),
        (write("proc/self/cgroup", "0::/a\n"), 100 * MiB),
        # no group at all, then one again
        (write("proc/self/cgroup", ""), None),
        (write("proc/self/cgroup", "0::/b\n"), 200 * MiB),
    ]
    with subprocess.Popen([str(probe_exe), "memory", str(root)], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as proc:
        outputs = [limit(proc.stdout.readline().strip())]
        for change, _ in steps:
            change()
            proc.stdin.write("\n")
            proc.stdin.flush()
            outputs.append(limit(proc.stdout.readline().strip()))
        proc.stdin.close()
    assert outputs == [300 * MiB] + [expected for _, expected in steps]


# ---------------------------------------------------------------- real groups

def own_group(kind):
    """This process's group directory in the v1 memory hierarchy or the v2 tree,
    or None."""
    with open("/proc/self/cgroup") as f:
        lines = [line.rstrip("\n").split(":", 2) for line in f]
    wanted = [path for _, controllers, path in lines
              if (kind == "v2" and controllers == "") or
              (kind == "v1" and "memory" in controllers.split(","))]
    if not wanted:
        return None
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields, _, tail = line.partition(" - ")
            fields, tail = fields.split(), tail.split()
            fstype, options = tail[0], tail[-1].split(",")
            if (kind == "v2" and fstype == "cgroup2") or (
                    kind == "v1" and fstype == "cgroup" and "memory" in options):
                mount_root, mount_point = fields[3], fields[4]
                if mount_root == "/":
                    return Path(mount_point + wanted[0])
                if wanted[0].startswith(mount_root):
                    return Path(mount_point + wanted[0][len(mount_root):])
    return None


class MemoryGroups:
    """Child groups of this process's own, made for one test and removed after it."""

    def __init__(self, kind):
        self.kind = kind
        self.limit_file = "memory.max" if kind == "v2" else "memory.limit_in_bytes"
        self.parent = own_group(kind)
        self.made = []

    def unavailable(self):
        if not sys.platform.startswith("linux"):
            return "control groups are Linux's"
        if self.parent is None:
            return f"this process has no {self.kind} memory group here"
        if self.kind == "v2":
            try:
                delegated = "memory" in (self.parent / "cgroup.subtree_control").read_text().split()
            except OSError:
                delegated = False
            if not delegated:
                return "the v2 tree does not hand the memory controller to this group's children"
        probe = self.parent / f"vak-probe-{os.getpid()}"
        try:
            probe.mkdir()
            probe.rmdir()
        except OSError as e:
            return f"cannot create a group under {self.parent}: {e.strerror}"
        return None

    def make(self, name, limit):
        group = self.parent / f"vak-test-{os.getpid()}-{name}"
        group.mkdir()
        self.made.append(group)
        self.set_limit(group, limit)
        return group

    def set_limit(self, group, limit, patience=30.0):
        """A limit below what the group holds is refused until the memory freed
        has gone back to the system (the module's allocator gives it back soon)."""
        deadline = time.monotonic() + patience
        while True:
            try:
                (group / self.limit_file).write_text(str(limit))
                return
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)

    def move(self, pid, group):
        (group / "cgroup.procs").write_text(str(pid))

    def remove(self):
        for group in reversed(self.made):
            for _ in range(50):  # the last task may still be leaving
                try:
                    group.rmdir()
                    break
                except FileNotFoundError:
                    break
                except OSError:
                    time.sleep(0.1)


# Each line asks for one scan of n zero words: a native copy of 4n bytes (the
# array's own pages stay untouched, so no group is charged for them).
SCANNER = """
import sys, numpy, vak_orn_kernel as vk
vk.scan_stream([1, 2, 3])  # the first call, before any group limits this process
print("ready", flush=True)
for line in sys.stdin:
    words = numpy.zeros(int(line), numpy.uint32)
    try:
        result = vk.scan_stream(words)
        print("served", result["counts"][0], flush=True)
        del result
    except MemoryError:
        print("MemoryError", flush=True)
"""
REFUSED = 100_000_000   # 400 MB
SERVED = 125_000_000    # 500 MB, and as much again for its text words


@pytest.mark.parametrize("kind", ["v1", "v2"])
def test_requests_follow_the_limit_in_force(kind):
    """A process moved into a group after its first call is refused what the
    group cannot hold, served again once the limit is raised, refused once it is
    lowered, and follows the group it is moved to."""
    pytest.importorskip("numpy")  # the child's arrays
    groups = MemoryGroups(kind)
    reason = groups.unavailable()
    if reason:
        pytest.skip(reason)
    child = subprocess.Popen([sys.executable, "-c", SCANNER], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        def ask(words):
            child.stdin.write(f"{words}\n")
            child.stdin.flush()
            answer = child.stdout.readline().strip()
            assert answer, f"the child died: {child.wait(10)} {child.stderr.read()[-2000:]}"
            return answer

        assert child.stdout.readline().strip() == "ready"
        a = groups.make("a", 300 * MiB)
        b = groups.make("b", 300 * MiB)
        groups.move(child.pid, a)
        assert ask(REFUSED) == "MemoryError"
        groups.set_limit(a, 2 * GiB)
        assert ask(SERVED) == f"served {SERVED}"
        groups.set_limit(a, 300 * MiB)
        assert ask(REFUSED) == "MemoryError"
        groups.set_limit(a, 2 * GiB)
        groups.move(child.pid, b)
        assert ask(REFUSED) == "MemoryError"
        groups.set_limit(b, 2 * GiB)
        assert ask(SERVED) == f"served {SERVED}"
    finally:
        child.kill()
        child.wait()
        for stream in (child.stdin, child.stdout, child.stderr):
            stream.close()
        groups.remove()


def test_forked_children_read_the_ceiling_while_a_thread_was_reading(probe):
    """fork() while another thread holds the reader's lock: the child still reads."""
    assert probe("fork", 10) == ["children ok 10/10"]
