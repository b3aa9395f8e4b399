"""Every function, on success and on each of its error paths, called many times in a
loop: the process's memory and the interpreter's object and reference counts stay flat.

A release interpreter has no total reference count, so the checks are:
- `sys.getallocatedblocks()`: every live pymalloc block, so every small object (ints,
  tuples, exceptions, NativeBuffer instances), tracked by the collector or not;
- the resident set size, which also sees native (mimalloc) memory and large objects;
- `sys.gettotalrefcount()` where the interpreter has it (debug builds);
- the reference counts of the call's arguments and of True/False/None, which catch an
  extra reference that allocates nothing. On 3.12+ the singletons are immortal: on 3.12
  and 3.13 their counts still balance, but from 3.14 on the interpreter no longer
  counts references to immortal objects while this module (built for the 3.11 stable
  ABI, whose reference counting is inline) still adds them, so their counts only grow.
  The counts of objects that the interpreter reports immortal are left out there.

Every case runs 100,000 calls per window, except the batch on the worker pool: each
of its calls waits for other threads (30 to 70 microseconds on two busy cores), so it
runs 30,000. A leak must show in each of three windows; a clean loop stops after the
first. The whole file takes 15 to 30 seconds. The slack (1,000 blocks, 512 KiB, 100
references) is far below what one leaked object or reference per call (30,000 or
more) or 32 leaked bytes per call (3.2 MB per 100,000 calls) add up to, and above the
noise of a clean loop: a few blocks, and resident memory that moves in steps of
2 MiB, up and down, as the native allocator commits and purges (the worker pool's
threads most of all). 32 bytes per call need about 65,000 calls to fill one such step,
hence the 100,000; on the pool's 30,000 calls the resident-memory check sees leaks
from about 100 bytes per call, and the scans and result building behind them are
covered at 100,000 calls by the single-stream batch and the other scan cases.
"""

from __future__ import annotations

import array
import ctypes
import enum
import gc
import os
import sys
from collections.abc import Callable, Sequence
from typing import NamedTuple

import pytest

import vak_orn_kernel as vk
from buffer_api import PyBuffer, get_buffer
from conftest import RESIDENT_MEMORY_IS_OURS
from image_helpers import BACKTRACK, META_BEGIN, SET_COLOR, metadata

# The sanitizer's allocator keeps freed memory in quarantine, so resident memory
# grows there without a leak; the normal run checks leaks.
pytestmark = pytest.mark.not_under_sanitizer("freed memory stays resident in quarantine")

CALLS = 100_000
POOL_CALLS = 30_000  # each hands its streams to the worker threads and waits for them
BLOCK_SLACK = 1_000
RSS_SLACK = 512 * 1024
REF_SLACK = 100  # the interpreter itself moves None's count a little
WINDOWS = 3  # a leak must show in each of them
PAGE = os.sysconf("SC_PAGE_SIZE")


def is_immortal(obj) -> bool:
    """Only interpreters that stop counting references to immortal objects (3.14+) say."""
    check = getattr(sys, "_is_immortal", None)
    return check is not None and check(obj)


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def snapshot(watched) -> dict:
    gc.collect()
    shot = {"blocks": sys.getallocatedblocks(), "rss": resident_bytes()}
    if hasattr(sys, "gettotalrefcount"):
        shot["refs"] = sys.gettotalrefcount()
    shot["watched"] = [sys.getrefcount(obj) for obj in watched if not is_immortal(obj)]
    return shot


def repeat(call, expected, calls):
    if expected is None:
        for _ in range(calls):
            call()
        return
    for _ in range(calls):
        try:
            call()
        except expected:
            pass
        else:
            raise AssertionError("the error path was not taken")


def overshoot(before, after) -> list[str]:
    problems = []
    if after["blocks"] - before["blocks"] > BLOCK_SLACK:
        problems.append(f"{after['blocks'] - before['blocks']} more allocated blocks")
    # Under a user-mode emulator the resident set grows by 50 to 200 bytes per emulated
    # call even where the emulated program's own mappings stay flat: only the
    # interpreter's counts tell there.
    if RESIDENT_MEMORY_IS_OURS and after["rss"] - before["rss"] > RSS_SLACK:
        problems.append(f"{(after['rss'] - before['rss']) // 1024} KiB more resident memory")
    if "refs" in before and after["refs"] - before["refs"] > BLOCK_SLACK:
        problems.append(f"{after['refs'] - before['refs']} more references in total")
    if any(a - b > REF_SLACK for a, b in zip(after["watched"], before["watched"])):
        problems.append(f"reference counts {before['watched']} -> {after['watched']}")
    return problems


def assert_flat(call, expected, calls, watched=()):
    watched = (True, False, None, *watched)
    repeat(call, expected, max(calls // 50, 500))  # caches, free lists, the worker pool
    windows = []
    for _ in range(WINDOWS):
        # A leak grows in every window. Noise does not: the allocators' resident
        # memory moves up and down by a megabyte or two (pages that the worker pool's
        # threads get back from frees on the calling thread, delayed purges).
        before = snapshot(watched)
        repeat(call, expected, calls)
        problems = overshoot(before, snapshot(watched))
        windows.append("; ".join(problems))
        if not problems:
            return
    pytest.fail(f"{calls} calls, {WINDOWS} times: " + " | ".join(windows))


# ------------------------------------------------------------------ inputs

MIXED = [0x80400, 0x10, 0x80400, 0x100000, 0x8E000, 0x8A000, 0x89000, 0x81800, 0xC0100,
         0x80100, 0x80200, 0x80800, 0x80400, 0x90400, 0xA0400, 0xB0400, 7, 0xFFFFFFFF]
MIXED_ARRAY = array.array("I", MIXED)
TOLERANT = [1, 2**20, -3, "a", True, 2**70, 1.5, None, 0x80400]
BATCH = [MIXED, [1, 0x80400, 0x100000], []]
TEXT = "h\u00e9llo w\u00f6rld \ufb01 \ud55c\uae00 \u1e9b\u0323 \U0001f600 " * 3
PIXELS = bytes((i * 37) & 255 for i in range(6 * 5 * 3))
IMAGE_WORDS, _ = vk.encode_quadtree(PIXELS, 6, 5, 4, 0.5)
PIXEL_ARRAY = memoryview(PIXELS).cast("B", (5, 6, 3))  # (height, width, 3)
WORD_ROWS = memoryview(bytes(16)).cast("I", (2, 2))
META = metadata(width=2, height=2, root=2, depth=1)


class Colour(enum.IntEnum):
    RED = 0x80400


class Index:
    """An integer-like object whose __index__ runs Python code, and may fail."""

    def __init__(self, value=None, error=None):
        self.value, self.error = value, error  # error: makes the exception to raise

    def __index__(self):
        if self.error is not None:
            raise self.error()
        return self.value


def chained_type_error():
    error = TypeError("bad index")
    error.__cause__ = ValueError("inner")
    return error


def runtime_error():
    return RuntimeError("no")


class BrokenSequence:
    """Passes the sequence check, but its iteration raises part way."""

    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == 1:
            raise RuntimeError("broken item")
        if index >= 3:
            raise IndexError
        return 5


def raising_generator():
    yield 1
    yield 0x80400
    raise RuntimeError("stream broke")


def payload_of(words):
    return vk.scan_stream(words)["image_words_u32le"]


PAYLOAD = payload_of([0x80400, 0x80401, 0x80402])


class Case(NamedTuple):
    call: Callable[[], object]
    raises: type[BaseException] | None = None  # None: the call succeeds
    match: str | None = None  # a text that the message contains
    watched: Sequence[object] = ()  # arguments whose reference counts must not change
    calls: int = CALLS


CASES = {
    # scan_stream
    "scan fast path": Case(lambda: vk.scan_stream(MIXED, True), watched=[MIXED]),
    "scan integer buffer": Case(lambda: vk.scan_stream(MIXED_ARRAY), watched=[MIXED_ARRAY]),
    "scan payload memoryview": Case(lambda: vk.scan_stream(memoryview(PAYLOAD)),
                                    watched=[PAYLOAD]),
    "scan tolerant item errors": Case(lambda: vk.scan_stream(TOLERANT, True),
                                      watched=[TOLERANT]),
    "scan tolerant enum member": Case(lambda: vk.scan_stream([Colour.RED, -1], True),
                                      watched=[Colour.RED]),
    "scan generator": Case(lambda: vk.scan_stream(x for x in MIXED)),
    "scan missing argument": Case(lambda: vk.scan_stream(), TypeError, "missing 1 required"),
    "scan too many arguments": Case(lambda: vk.scan_stream(MIXED, False, 3), TypeError,
                                    "takes from 1 to 2", [MIXED]),
    "scan repeated argument": Case(lambda: vk.scan_stream(MIXED, stream=MIXED), TypeError,
                                   "multiple values", [MIXED]),
    "scan unknown keyword": Case(lambda: vk.scan_stream(MIXED, flag=True), TypeError,
                                 "unexpected keyword argument 'flag'", [MIXED]),
    "scan keyword without utf-8": Case(lambda: vk.scan_stream(MIXED, **{"\ud800": 1}),
                                       TypeError, "unexpected keyword", [MIXED]),
    "scan record_invalid int": Case(lambda: vk.scan_stream(MIXED, 1), TypeError,
                                    "argument 'record_invalid'", [MIXED]),
    "scan not iterable": Case(lambda: vk.scan_stream(5), TypeError, "not iterable"),
    "scan iterator raises": Case(lambda: vk.scan_stream(raising_generator()), RuntimeError,
                                 "stream broke"),
    "scan sequence raises": Case(lambda: vk.scan_stream(BrokenSequence()), RuntimeError,
                                 "broken item"),
    # scan_stream_batch
    "batch on the pool": Case(lambda: vk.scan_stream_batch(BATCH, True), watched=[BATCH],
                              calls=POOL_CALLS),
    "batch of one": Case(lambda: vk.scan_stream_batch([MIXED]), watched=[MIXED]),
    "batch str": Case(lambda: vk.scan_stream_batch(["ab"]), TypeError, "argument 'streams'"),
    "batch not a sequence": Case(lambda: vk.scan_stream_batch(iter(BATCH)), TypeError,
                                 "'list_iterator'", [BATCH]),
    "batch negative": Case(lambda: vk.scan_stream_batch([MIXED, [1, -1]]), OverflowError,
                           "out of range integral", [MIXED]),
    "batch beyond 64 bits": Case(lambda: vk.scan_stream_batch([[2**64]]), OverflowError),
    "batch float item": Case(lambda: vk.scan_stream_batch([MIXED, [1.5]]), TypeError,
                             "argument 'streams'", [MIXED]),
    "batch record_invalid None": Case(lambda: vk.scan_stream_batch(BATCH, None), TypeError,
                                      "argument 'record_invalid'", [BATCH]),
    # encode_text
    "text": Case(lambda: vk.encode_text(TEXT), watched=[TEXT]),
    "text not a str": Case(lambda: vk.encode_text(b"abc"), TypeError, "argument 'text'"),
    "text lone surrogate": Case(lambda: vk.encode_text("a\ud800"), UnicodeEncodeError),
    "text too many arguments": Case(lambda: vk.encode_text(TEXT, TEXT), TypeError,
                                    "takes 1 positional", [TEXT]),
    # encode_quadtree
    "image encode": Case(lambda: vk.encode_quadtree(PIXELS, 6, 5, 4, 0.5), watched=[PIXELS]),
    "image encode index objects": Case(
        lambda: vk.encode_quadtree(list(PIXELS), Index(6), Index(5), Index(4), Index(0))),
    "image encode missing arguments": Case(lambda: vk.encode_quadtree(PIXELS), TypeError,
                                           "missing 4 required", [PIXELS]),
    "image encode index raises TypeError": Case(
        lambda: vk.encode_quadtree(PIXELS, Index(error=chained_type_error), 5, 4, 0.5),
        TypeError, "argument 'width': bad index", [PIXELS]),
    "image encode index raises other": Case(
        lambda: vk.encode_quadtree(PIXELS, 6, Index(error=runtime_error), 4, 0.5),
        RuntimeError, "no", [PIXELS]),
    "image encode bit_depth overflow": Case(lambda: vk.encode_quadtree(PIXELS, 6, 5, 256, 0.5),
                                            OverflowError, "out of range integral", [PIXELS]),
    "image encode bit_depth unsupported": Case(
        lambda: vk.encode_quadtree(PIXELS, 6, 5, 7, 0.5), ValueError, "bit_depth", [PIXELS]),
    "image encode wrong length": Case(lambda: vk.encode_quadtree(PIXELS, 6, 6, 4, 0.5),
                                      ValueError, "length", [PIXELS]),
    "image encode threshold str": Case(lambda: vk.encode_quadtree(PIXELS, 6, 5, 4, "x"),
                                       TypeError, "argument 'threshold'", [PIXELS]),
    "image encode array": Case(lambda: vk.encode_quadtree(PIXEL_ARRAY, 6, 5, 4, 0.5),
                               watched=[PIXEL_ARRAY]),
    "image encode array of another shape": Case(
        lambda: vk.encode_quadtree(PIXEL_ARRAY, 5, 6, 4, 0.5), ValueError, "shape (5, 6, 3)",
        [PIXEL_ARRAY]),
    "words of two dimensions": Case(lambda: vk.configure_normal_words(WORD_ROWS), TypeError,
                                    "buffer of shape (2, 2)", [WORD_ROWS]),
    # decode_quadtree
    "image decode": Case(lambda: vk.decode_quadtree(IMAGE_WORDS), watched=[IMAGE_WORDS]),
    "image decode empty": Case(lambda: vk.decode_quadtree([]), ValueError, "framing count"),
    "image decode nested metadata": Case(lambda: vk.decode_quadtree([META_BEGIN, META_BEGIN]),
                                         ValueError, "nested META_BEGIN"),
    "image decode open triplet": Case(lambda: vk.decode_quadtree(META + [SET_COLOR, SET_COLOR]),
                                      ValueError, "incomplete prior color triplet"),
    "image decode underflow": Case(lambda: vk.decode_quadtree(META + [BACKTRACK]), ValueError,
                                   "backtrack underflow"),
    "image decode float item": Case(lambda: vk.decode_quadtree(IMAGE_WORDS + [1.5]), TypeError,
                                    "argument 'words'"),
    "image decode negative": Case(lambda: vk.decode_quadtree(IMAGE_WORDS + [-1]),
                                  OverflowError, "out of range integral"),
    "image decode beyond 64 bits": Case(lambda: vk.decode_quadtree([2**64]), OverflowError),
    "image decode set": Case(lambda: vk.decode_quadtree({1, 2}), TypeError, "'Sequence'"),
    # configure_normal_words
    "registry replace": Case(lambda: vk.configure_normal_words(MIXED), watched=[MIXED]),
    "registry str": Case(lambda: vk.configure_normal_words("123"), TypeError, "Can't extract"),
    "registry index raises": Case(
        lambda: vk.configure_normal_words([1, Index(error=chained_type_error)]), TypeError,
        "argument 'words': bad index"),
    # backend_info
    "backend report": Case(lambda: vk.backend_info()),
    "backend report with argument": Case(lambda: vk.backend_info(1), TypeError),
    # NativeBuffer
    "payload memoryview": Case(lambda: memoryview(PAYLOAD).tolist(), watched=[PAYLOAD]),
    "payload bytes": Case(lambda: bytes(PAYLOAD), watched=[PAYLOAD]),
    "payload of a fresh scan": Case(lambda: memoryview(payload_of(MIXED)).cast("B").tobytes(),
                                    watched=[MIXED]),
    "payload construction": Case(lambda: vk.NativeBuffer(), TypeError, "No constructor"),
}


def check_the_path(call, expected, match):
    if expected is None:
        call()
        return
    with pytest.raises(expected) as caught:
        call()
    if match is not None:
        assert match in str(caught.value)


@pytest.mark.parametrize("name", list(CASES))
def test_memory_stays_flat(name):
    case = CASES[name]
    check_the_path(case.call, case.raises, case.match)
    assert_flat(case.call, case.raises, case.calls, case.watched)


def test_reworded_error_releases_the_cause_it_carries():
    cause = ValueError("kept")

    def caused_error():
        error = TypeError("bad")
        error.__cause__ = cause
        return error

    held = sys.getrefcount(cause)
    assert_flat(lambda: vk.decode_quadtree([Index(error=caused_error)]), TypeError, CALLS)
    assert sys.getrefcount(cause) == held


@pytest.mark.parametrize("flags,with_view,message", [(0x0001, True, "Object is not writable"),
                                                     (0, False, "View is null")])
def test_refused_exports_stay_flat(flags, with_view, message):
    view = PyBuffer()
    address = ctypes.addressof(view) if with_view else None
    with pytest.raises(BufferError, match=message):
        get_buffer(PAYLOAD, address, flags)
    assert_flat(lambda: get_buffer(PAYLOAD, address, flags), BufferError, CALLS,
                [PAYLOAD])
