"""Fake file-system trees of control groups and mounts, and the native probes
that read them (built from the module's own sources)."""
import subprocess
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"
NATIVE = Path(__file__).resolve().parent / "native"

V2_MOUNT = "30 1 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n"
V1_MOUNT = "35 25 0:30 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:9 - cgroup cgroup rw,cpu,cpuacct\n"
OTHER_MOUNTS = ("22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
                "36 25 0:31 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n")


def fake_tree(root, cgroup, mountinfo, files):
    """`cgroup` and `mountinfo` become /proc/self's files; `files` maps paths below
    `root` to their contents."""
    (root / "proc/self").mkdir(parents=True, exist_ok=True)
    (root / "proc/self/cgroup").write_text(cgroup)
    (root / "proc/self/mountinfo").write_text(mountinfo)
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


def build_native(directory, name, sources, *flags):
    """Compiles `sources` (paths below the repository) into `directory/name`."""
    exe = Path(directory) / name
    subprocess.run(["g++", "-std=c++20", "-O1", "-pthread", *flags, "-I", str(SRC),
                    *(str(s) for s in sources), "-o", str(exe)], check=True)
    return exe
