"""Threads may have stacks of 32 KiB (threading.stack_size's minimum up to CPython
3.13; later interpreters refuse less than about 52 KiB, and the tests take their
minimum there): every module function must work on one, including the first calls of a process,
which read the control-group files (the worker pool's size, the memory
ceiling), and requests large enough to read the memory limit afresh."""
import subprocess
import sys

import pytest

from cgroup_trees import SRC
from small_stack import SET_SMALLEST_STACK

# Readers of /proc and the control-group files run inside the allocator and the
# pool's creation, on whatever thread calls: their frames stay small.
CGROUP_READERS = [SRC / "common" / "cgroup_files.cpp", SRC / "common" / "memory_ceiling.cpp",
                  *sorted((SRC / "scan").glob("worker_count*.cpp"))]


@pytest.mark.source_checks
@pytest.mark.parametrize("source", CGROUP_READERS, ids=lambda p: p.name)
def test_control_group_readers_keep_frames_under_1_kib(source, tmp_path):
    result = subprocess.run(
        ["g++", "-std=c++20", "-O3", "-Wall", "-Wextra", "-Werror", "-Wstack-usage=1024",
         "-I", str(SRC), "-c", str(source), "-o", str(tmp_path / "reader.o")],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


# Each runs first in a fresh process, on a thread with a 32 KiB stack.
CALLS = {
    "scan_stream": "vk.scan_stream([1, 0x80400, 5, 0x100000], True)",
    "scan_stream_large": "vk.scan_stream(range(10_000_000))",  # 40 MB: a fresh reading
    "scan_stream_tolerant": "vk.scan_stream(iter([1, -1, 'a', 0x80400]), True)",
    "scan_stream_batch_first": "vk.scan_stream_batch([[1], [2, 0x80400], [3]], True)",
    "scan_stream_batch_large": "vk.scan_stream_batch([range(9_500_000), [1]])",
    "encode_text": "vk.encode_text('h\\u00e9llo \\u4e16\\u754c ' * 1000)",
    "encode_quadtree": "vk.encode_quadtree(bytes(range(192)), 8, 8, 4, 1.0)",
    "decode_quadtree": "vk.decode_quadtree(vk.encode_quadtree(bytes(range(192)), 8, 8, 4, 1.0)[0])",
    "configure_normal_words": "vk.configure_normal_words(list(range(1000, 0, -1)))",
    "backend_info": "vk.backend_info()",
    "native_buffer": "bytes(memoryview(vk.scan_stream([0x80400, 0x80401])['image_words_u32le']))",
}

SMALL_STACK_RUN = SET_SMALLEST_STACK + """
import threading, vak_orn_kernel as vk
outcome = []
def call():
    {call}
    outcome.append("ok")
thread = threading.Thread(target=call)
thread.start()
thread.join()
print(*outcome)
"""


@pytest.mark.not_under_sanitizer("instrumented frames are several times larger")
@pytest.mark.parametrize("name", CALLS)
def test_first_calls_work_on_a_32_kib_stack(name):
    child = subprocess.run([sys.executable, "-c", SMALL_STACK_RUN.format(call=CALLS[name])],
                           capture_output=True, text=True, timeout=120)
    assert (child.returncode, child.stdout.strip()) == (0, "ok"), child.stderr[-2000:]

