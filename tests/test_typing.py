"""The installed stub under `mypy --strict`, against a script written as a user would.

The script's correct uses (lists, tuples, arrays, NumPy arrays, memoryviews of
payloads) must type-check and run. Each misuse must be rejected by mypy on its own
line and fail at run time too, so the stub never refuses what works nor accepts what
fails in these cases.
"""

import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extras)")
pytest.importorskip("numpy")  # the checked script uses it

PRELUDE = """\
import array
import sys
import tempfile
from pathlib import Path
from typing import assert_type

import numpy as np

import vak_orn_kernel as vk

folder = Path(tempfile.mkdtemp())
"""

CORRECT = """\
words, meta = vk.encode_quadtree(bytes([255, 255, 255, 0, 0, 0]), 2, 1, 1, 50.0)
width, height, root_size, bit_depth, tenths = meta
assert_type(tenths, int)
assert (width, height, tenths) == (2, 1, 500)
vk.encode_quadtree(bytearray(12), np.int64(2), 2, np.uint8(3), np.float32(1.5))
vk.encode_quadtree(np.zeros((2, 2, 3), np.uint8).ravel(), 2, 2, 6, 0)
vk.encode_quadtree([0] * 3, 1, 1, 1, threshold=0)

path = folder / "image.u32"
np.asarray(words, dtype="<u4").tofile(path)
arr = np.fromfile(path, "<u4")
pixels, info = vk.decode_quadtree(arr)
assert_type(pixels, bytes)
assert info[4] == 500 % 64
data = path.read_bytes()
path.unlink()
folder.rmdir()
for same in (memoryview(data).cast("I"), array.array("I", words), tuple(words), words):
    assert vk.decode_quadtree(same) == (pixels, info)
picture = np.frombuffer(pixels, np.uint8).reshape(info[1], info[0], 3)

r = vk.scan_stream(arr, record_invalid=np.True_)
assert_type(r, "vk.ScanResult")
counts: list[int] = r["counts"]
assert counts[4] == len(words)
payload = r["image_words_u32le"]
assert vk.decode_quadtree(memoryview(payload)) == (pixels, info)
if sys.version_info >= (3, 12):
    assert np.frombuffer(payload, np.uint32).tolist() == words
else:  # NumPy's stubs take only the buffer types they list before 3.12
    assert np.frombuffer(memoryview(payload), np.uint32).tolist() == words
spans: list[int] = memoryview(r["image_spans_u32le"]).tolist()
errors: list[str] = vk.scan_stream([1, -3, "a"], True)["validation_errors"]
vk.scan_stream(w for w in words)
vk.scan_stream(data, record_invalid=False)
results = vk.scan_stream_batch([arr, words, array.array("I", words), range(3)], True)
assert_type(results, "list[vk.ScanResult]")
vk.scan_stream_batch(np.stack([arr, arr]))
vk.scan_stream_batch(([1, 2], (3,), b"\\x04"))

assert vk.configure_normal_words(np.arange(5, dtype=np.uint32)) == 5
vk.configure_normal_words(range(10))
backend = vk.backend_info()
assert backend["normal_word_count"] + 1 == 11
assert_type(vk.encode_text("Café"), list[int])
mask: int = vk.WORD_MASK
"""

# (code, what mypy says about it, what running it raises)
MISUSES = [
    ('r["countz"]', 'has no key "countz"', KeyError),
    ('backend["alocator"]', 'has no key "alocator"', KeyError),
    ('vk.decode_quadtree("0x80400")', 'incompatible type "str"', TypeError),
    ('vk.configure_normal_words("1 2 3")', 'incompatible type "str"', TypeError),
    ('vk.scan_stream_batch(["ab"])', 'incompatible type "str"', TypeError),
    ('vk.encode_text(b"abc")', 'incompatible type "bytes"', TypeError),
    ('vk.encode_quadtree(b"", 0, 0, 1, "0.5")', 'incompatible type "str"', TypeError),
    ("_w, _m, _x = vk.encode_quadtree(b'', 0, 0, 1, 0.0)", "values to unpack", ValueError),
    ("_a, _b, _c, _d = vk.decode_quadtree(words)[1]", "values to unpack", ValueError),
    ("vk.scan_stream(words, record_invalid=1)", 'incompatible type "int"', TypeError),
    ("vk.scan_stream(words, None)", 'incompatible type "None"', TypeError),
    ("vk.decode_quadtree(payload)", 'incompatible type "NativeBuffer"', TypeError),
    ("vk.scan_stream(payload)", 'incompatible type "NativeBuffer"', TypeError),
    ("vk.scan_stream_batch(words)", 'incompatible type "list[int]"', TypeError),
    ("vk.scan_stream_batch(b'ab')", 'incompatible type "bytes"', TypeError),
    ("vk.decode_quadtree({1, 2})", 'incompatible type "set[int]"', TypeError),
    ("vk.decode_quadtree(iter(words))", 'incompatible type "Iterator[int]"', TypeError),
    ('vk.decode_quadtree(array.array("d", [1.0]))', 'incompatible type "array[float]"', TypeError),
    ('vk.configure_normal_words({1: 2})', 'incompatible type "dict[int, int]"', TypeError),
]


def with_misuses() -> tuple[str, list[int]]:
    """The whole script, and the line (1-based) of each misuse."""
    text = PRELUDE + CORRECT
    first = text.count("\n") + 1
    return text + "".join(code + "\n" for code, _, _ in MISUSES), [first + i for i in range(len(MISUSES))]


SCRIPT, MISUSE_LINES = with_misuses()


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory) -> dict[int, list[str]]:
    """mypy --strict's errors over the script, by line."""
    work = tmp_path_factory.mktemp("typing")
    (work / "user_script.py").write_text(SCRIPT, encoding="utf-8")
    # Run outside the checkout so that the stub comes from the installed package.
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--python-executable", sys.executable, "--cache-dir", str(work / "cache"),
         "user_script.py"],
        cwd=work, capture_output=True, text=True, timeout=600)
    assert done.returncode in (0, 1), done.stdout + done.stderr  # 2: mypy itself failed
    errors: dict[int, list[str]] = {}
    for line in done.stdout.splitlines():
        if match := re.match(r"user_script\.py:(\d+): error: (.*)", line):
            errors.setdefault(int(match[1]), []).append(match[2])
        elif ": error: " in line:  # in the stub itself, say
            raise AssertionError(f"mypy: {line}")
    return errors


# mypy reads the stub, which the sanitized build does not change; under the preloaded
# sanitizer runtimes it would only run slower.
static_check = pytest.mark.not_under_sanitizer("mypy checks the stub, not the build")


@static_check
def test_correct_uses_type_check(mypy_errors):
    lines = SCRIPT.splitlines()
    unexpected = {lines[n - 1]: m for n, m in mypy_errors.items() if n not in MISUSE_LINES}
    assert not unexpected


@static_check
@pytest.mark.parametrize("index", range(len(MISUSES)), ids=[code for code, _, _ in MISUSES])
def test_misuse_is_rejected(mypy_errors, index):
    code, said, _ = MISUSES[index]
    messages = mypy_errors.get(MISUSE_LINES[index], [])
    assert any(said in message for message in messages), (code, messages)


@pytest.fixture(scope="module")
def ran_correct_uses() -> dict:
    """The script's correct part, run: what mypy accepts works."""
    namespace: dict = {"__name__": "user_script"}
    exec(compile(PRELUDE + CORRECT, "user_script.py", "exec"), namespace)
    return namespace


@pytest.mark.parametrize("index", range(len(MISUSES)), ids=[code for code, _, _ in MISUSES])
def test_misuse_fails_at_run_time(ran_correct_uses, index):
    code, _, raised = MISUSES[index]
    with pytest.raises(raised):
        exec(code, dict(ran_correct_uses))


def test_correct_uses_run(ran_correct_uses):
    # The script checks its own results as it goes; here, that it got to the end.
    assert ran_correct_uses["mask"] == 0xFFFFF
