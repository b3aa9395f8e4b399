import gc
import enum
import random
import subprocess
import sys
from pathlib import Path

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st

import vak_orn_kernel as vk
from kernel_paths import (ALL_PATHS, NATIVE, SRC, assert_tests_pass_on_path,
                          compile_or_fail, probe_report, run_probe)
from scan_model import SEGMENT_NAMES, modality_of, result_as_model, scan_model
from small_stack import SET_SMALLEST_STACK

RESULT_KEYS = (
    ["text_words_u32le", "counts"]
    + [f"{m}_{kind}_u32le" for m in SEGMENT_NAMES for kind in ("words", "spans")]
    + ["segment_modalities", "validation_errors", "native_backend", "backend", "origin",
       "fallback_used", "payload_layout", "ffi_contract_version", "build_profile"]
)


def words(result, name):
    return memoryview(result[f"{name}_words_u32le"]).tolist()


def spans(result, name):
    return memoryview(result[f"{name}_spans_u32le"]).tolist()


def test_empty_stream_result_shape():
    r = vk.scan_stream([])
    assert list(r) == RESULT_KEYS
    assert r["counts"] == [0] * 10
    buffers = [v for v in r.values() if isinstance(v, vk.NativeBuffer)]
    assert len(buffers) == 17
    assert all(memoryview(b).nbytes == 0 for b in buffers)
    assert r["segment_modalities"] == SEGMENT_NAMES
    assert r["validation_errors"] == []
    assert (r["native_backend"], r["backend"], r["origin"], r["fallback_used"]) == (
        True, "rust", "pyo3_native_extension", False)
    assert (r["payload_layout"], r["ffi_contract_version"], r["build_profile"]) == (
        "u32le_bytes+spans_v1", "orn_flat_u32le_v1", "release")


@pytest.mark.parametrize("word,modality", [
    (0x00000, "text"), (0x7FFFF, "text"), (0x80000, "text"), (0xC0000, "text"),
    (0xC0100, "mental"), (0xFFFFF, "mental"), (0x80100, "mental"),
    (0x8E000, "music"), (0x8A000, "voice"), (0x89000, "diagram"), (0x81800, "inline"),
    (0x80200, "smell"), (0x80400, "image"), (0x80800, "touch"), (0x82000, "voice"),
    (0x84000, "music"), (0x88000, "diagram"),
])
def test_single_word_classification(word, modality):
    r = vk.scan_stream([word])
    assert modality_of(word) == modality
    index = {"text": 0, "inline": 5}.get(modality)
    if index is not None:
        assert memoryview(r["text_words_u32le"]).tolist() == [word]
        assert r["counts"][index] == 1
    else:
        assert words(r, modality) == [word]
        assert spans(r, modality) == [0, 1]
    assert sum(r["counts"]) == 1


def test_flag_table_matches_priority_rule_for_every_flag_byte():
    stream = [0x80000 | (flag << 8) | 0x11 for flag in range(256)]
    # Separate the words with a text word so that every word opens its own segment.
    interleaved = [w for word in stream for w in (word, 0x41)]
    r = vk.scan_stream(interleaved)
    got = result_as_model(r)
    assert got == scan_model(interleaved, False)


@pytest.mark.parametrize("stream,taste,taste_spans,other", [
    ([0x80400, 0x90400, 0xA0400], [0x80400, 0x90400, 0xA0400], [0, 3], {}),
    ([0x80400, 0x90400, 0xA0400, 0xB0400, 0xA07FF],
     [0x80400, 0x90400, 0xA0400, 0xB0400, 0xA07FF], [0, 5], {}),
    ([0x80400, 0x90400, 0xA0400, 0xA0000], [0x80400, 0x90400, 0xA0400], [0, 3],
     {"text": [0xA0000]}),
    ([0x80400, 0x90400, 0xA0400, 0xC0400], [0x80400, 0x90400, 0xA0400], [0, 3],
     {"text": [0xC0400]}),
    ([0x80400, 0x90400], [], [], {"image": [0x80400, 0x90400]}),
    ([0x80400, 0x90400, 0xA0400, 0xB0400] * 2, [0x80400, 0x90400, 0xA0400, 0xB0400] * 2,
     [0, 8], {}),
])
def test_taste_sequences(stream, taste, taste_spans, other):
    r = vk.scan_stream(stream)
    assert words(r, "taste") == taste
    assert spans(r, "taste") == taste_spans
    assert r["counts"][9] == len(taste)
    for name, expected in other.items():
        got = memoryview(r["text_words_u32le"]).tolist() if name == "text" else words(r, name)
        assert got == expected


def test_out_of_range_third_word_is_no_taste_sequence():
    r = vk.scan_stream([0x80400, 0x90400, 0x100000], True)
    assert words(r, "image") == [0x80400, 0x90400]
    assert spans(r, "image") == [0, 2]
    assert r["validation_errors"] == ["index 2: word out of range 1048576"]


@pytest.mark.parametrize("stream", [[0x80400, 0x10, 0x80400], [0x80400, 0x100000, 0x80400]])
def test_breaks_end_segments(stream):
    r = vk.scan_stream(stream)
    assert words(r, "image") == [0x80400, 0x80400]
    assert spans(r, "image") == [0, 1, 1, 1]


def test_result_payload_bytes():
    r = vk.scan_stream([0x80400, 0x10, 0x80400])
    assert words(r, "image") == [525312, 525312]
    assert bytes(r["text_words_u32le"]) == b"\x10\x00\x00\x00"
    assert r["counts"] == [1, 0, 0, 0, 2, 0, 0, 0, 0, 0]


@pytest.mark.parametrize("record_invalid", [True, False])
def test_out_of_range_fast_path(record_invalid):
    r = vk.scan_stream([0x100000, 0xFFFFFFFF], record_invalid)
    expected = ["index 0: word out of range 1048576", "index 1: word out of range 4294967295"]
    assert r["validation_errors"] == (expected if record_invalid else [])
    assert r["counts"] == [0] * 10


class Colour(enum.IntEnum):
    RED = 0x80400


@pytest.mark.parametrize("stream,text,errors", [
    ([5, -1, 7], [5, 7], ["index 1: word out of range -1"]),
    ([1, 2**70], [1], ["index 1: word out of range int"]),
    ([1.5], [], ["index 0: non-int word type=float"]),
    ("ab", [], ["index 0: non-int word type=str", "index 1: non-int word type=str"]),
    ([None, 3], [3], ["index 0: non-int word type=NoneType"]),
    ([True, False], [1, 0], []),
    (b"\x01\x02", [1, 2], []),
    ([1, 2**20, -3, "a", True, 2**70], [1, 1],
     ["index 1: word out of range 1048576", "index 2: word out of range -3",
      "index 3: non-int word type=str", "index 5: word out of range int"]),
    ([Colour.RED, -1], [], ["index 0: non-int word type=Colour", "index 1: word out of range -1"]),
])
def test_tolerant_path(stream, text, errors):
    r = vk.scan_stream(stream, record_invalid=True)
    assert memoryview(r["text_words_u32le"]).tolist() == text
    assert r["validation_errors"] == errors
    quiet = vk.scan_stream(stream)
    assert quiet["validation_errors"] == []
    assert quiet["counts"] == r["counts"]


def test_int_enum_member_takes_fast_path_among_valid_words():
    r = vk.scan_stream([Colour.RED, 0x80400])
    assert words(r, "image") == [0x80400, 0x80400]


def test_generator_equals_list():
    stream = [0x80400, 0x41, 0x8E000, 0x8E001, 0xC0100]
    assert result_as_model(vk.scan_stream(x for x in stream)) == result_as_model(
        vk.scan_stream(stream))


def test_memoryview_of_native_buffer_scans_like_its_list():
    first = vk.scan_stream([0x80400, 0x80401, 0x41, 0x80402])
    view = memoryview(first["image_words_u32le"])
    assert result_as_model(vk.scan_stream(view)) == result_as_model(vk.scan_stream(view.tolist()))


@pytest.mark.parametrize("bad", [5, None, object()])
def test_not_iterable_raises_interpreter_type_error(bad):
    with pytest.raises(TypeError) as info:
        vk.scan_stream(bad)
    assert "argument" not in str(info.value)
    assert "not iterable" in str(info.value)


def test_native_buffer_is_not_a_stream():
    buf = vk.scan_stream([1])["text_words_u32le"]
    with pytest.raises(TypeError, match="not iterable"):
        vk.scan_stream(buf)


def test_iteration_error_propagates_unchanged():
    def broken():
        yield 1
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        vk.scan_stream(broken())


def test_index_that_mutates_the_list_is_safe():
    stream = [1, 2, 3]

    class Shrinker:
        def __index__(self):
            stream.clear()
            return 7

    stream.insert(1, Shrinker())
    r = vk.scan_stream(stream, True)
    # The fast path read 1 and the shrinker's 7, then found the list empty.
    assert memoryview(r["text_words_u32le"]).tolist() == [1, 7]


def test_ints_replaced_by_index_are_read_anew():
    # Long runs of shared ints are read from a memo keyed by the object's
    # address. This __index__ frees the ints already read, so that the new ones
    # after it can take their addresses: their values must be read anew.
    old = [int(str(1000 + k)) for k in range(64)]
    stream = [old[i % 64] for i in range(3000)]

    class Replacer:
        def __index__(self):
            old.clear()
            stream[:1500] = [0] * 1500
            stream[1501:] = [0] * 1499
            stream[1501:] = [int(str(2000 + i % 64)) for i in range(1501, 3000)]
            return 7

    stream[1500] = Replacer()
    expected = [1000 + i % 64 for i in range(1500)] + [7] + [2000 + i % 64 for i in range(1501, 3000)]
    assert memoryview(vk.scan_stream(stream)["text_words_u32le"]).tolist() == expected


def list_grown_by_a_finaliser(first, last, added, make_middle):
    """A list whose middle item leaves the list when it is read and, when the reader lets go
    of it, runs a finaliser that appends `added`: the list iterator sees those items too."""
    items = []

    class Middle(make_middle):
        def __del__(self):
            items.extend(added)

    def leave():
        items.remove(middle_ref[0])
        middle_ref.clear()

    middle_ref = [Middle(leave)]
    items.extend([first, middle_ref[0], last])
    return items


class IndexThatLeaves:
    def __init__(self, leave):
        self.leave = leave

    def __index__(self):
        self.leave()
        return 7


class StreamThatLeaves(list):
    def __init__(self, leave):
        super().__init__([7])
        self.leave = leave

    def __iter__(self):
        self.leave()
        return super().__iter__()

    def __len__(self):
        return 1


@pytest.mark.parametrize("name,call,make_middle,first,last,added", [
    ("scan_stream", lambda s: memoryview(vk.scan_stream(s)["text_words_u32le"]).tolist(),
     IndexThatLeaves, 1, 2, [100, 101]),
    ("configure_normal_words", vk.configure_normal_words, IndexThatLeaves, 1, 2, [100, 101]),
    ("scan_stream_batch", lambda s: [r["counts"][0] for r in vk.scan_stream_batch(s)],
     StreamThatLeaves, [1], [2, 3], [[5], [6, 6, 6]]),
])
def test_items_appended_by_a_finaliser_are_read(name, call, make_middle, first, last, added):
    # Python's own list iterator over the same construction is the yardstick.
    gc.disable()
    try:
        expected_items = []
        for item in list_grown_by_a_finaliser(first, last, added, make_middle):
            expected_items.append(item)
            if isinstance(item, make_middle):
                item.__index__() if make_middle is IndexThatLeaves else iter(item)
                expected_items[-1] = 7 if make_middle is IndexThatLeaves else [7]
            del item
        got = call(list_grown_by_a_finaliser(first, last, added, make_middle))
    finally:
        gc.enable()
    # The iterator reads `first` and the middle; the middle's leaving moved `last` under it, so
    # what follows is what its finaliser appended.
    assert expected_items[2:] == added
    if name == "scan_stream":
        assert got == expected_items
    elif name == "configure_normal_words":
        assert got == len(set(expected_items))
    else:
        assert got == [len(stream) for stream in expected_items]


@pytest.mark.parametrize("error,tolerant", [
    (TypeError("not an index"), True), (OverflowError("too big"), True),
    (RuntimeError("no"), False), (ValueError("no"), False), (KeyboardInterrupt(), False),
    (MemoryError(), False),
])
def test_only_conversion_refusals_send_to_tolerant_path(error, tolerant):
    # A refusal to convert makes the item an item error; any other exception raised while an
    # item is read (a signal handler's, one sent from another thread) ends the call with it.
    class Bad:
        def __index__(self):
            raise error

    if not tolerant:
        with pytest.raises(type(error)):
            vk.scan_stream([1, Bad(), 2], True)
        return
    r = vk.scan_stream([1, Bad(), 2], True)
    assert memoryview(r["text_words_u32le"]).tolist() == [1, 2]
    assert r["validation_errors"] == ["index 1: non-int word type=Bad"]


def test_two_results_share_nothing():
    a, b = vk.scan_stream([0x80400, 1]), vk.scan_stream([0x80400, 1])
    assert result_as_model(a) == result_as_model(b)
    for key, value in a.items():
        if isinstance(value, (list, vk.NativeBuffer)):
            assert value is not b[key]


# Words concentrated on the interesting boundaries of the word model.
word_strategy = st.one_of(
    st.integers(0, 0xFFFFF),
    st.sampled_from([0x80400, 0x90400, 0xA0400, 0xB0400, 0xA07FF, 0xB0000, 0xA0000]),
    st.integers(0x80000, 0xBFFFF),
    st.integers(0xC0000, 0xFFFFF),
    st.integers(0x100000, 0xFFFFFFFF),
)


@given(st.lists(word_strategy, max_size=300), st.booleans())
def test_fast_path_matches_model(stream, record_invalid):
    r = vk.scan_stream(stream, record_invalid)
    assert result_as_model(r) == scan_model(stream, record_invalid)


tolerant_item = st.one_of(
    word_strategy,
    st.integers(-(2**70), -1),
    st.integers(2**64, 2**80),
    st.sampled_from([1.5, None, "x", True, False]),
)


def tolerant_entries(items):
    entries = []
    for i, item in enumerate(items):
        if type(item) is bool:
            entries.append(int(item))
        elif type(item) is int and 0 <= item <= 0xFFFFF:
            entries.append(item)
        elif type(item) is int:
            shown = "int" if not -(2**63) <= item < 2**63 else str(item)
            entries.append(f"index {i}: word out of range {shown}")
        else:
            entries.append(f"index {i}: non-int word type={type(item).__name__}")
    return entries


@given(st.lists(tolerant_item, max_size=200), st.booleans())
def test_tolerant_path_matches_model(items, record_invalid):
    r = vk.scan_stream(items, record_invalid)
    fast = all(type(x) in (int, bool) and 0 <= x < 2**32 for x in items)
    entries = items if fast else tolerant_entries(items)
    assert result_as_model(r) == scan_model(entries, record_invalid)


@given(st.lists(word_strategy, max_size=400))
def test_scan_invariants(stream):
    r = vk.scan_stream(stream)
    got = result_as_model(r)
    valid = [w for w in stream if w <= 0xFFFFF]
    counts = r["counts"]
    assert sum(counts) == len(valid)
    assert counts[0] + counts[5] == len(got["text"])
    placed = list(got["text"])
    for index, name in zip([1, 2, 3, 4, 6, 7, 8, 9], SEGMENT_NAMES):
        assert counts[index] == len(got[name])
        flat = got[name + "_spans"]
        expected_start = 0
        for start, length in zip(flat[::2], flat[1::2]):
            assert start == expected_start and length >= 1
            expected_start += length
        assert expected_start == len(got[name])
        placed += got[name]
    # Every valid word lands in exactly one place.
    assert sorted(placed) == sorted(valid)


# Long streams made of runs: they cross chunk boundaries inside runs, taste
# sequences and segments, and take both the run-by-run and word-by-word paths.
run_strategy = st.tuples(word_strategy, st.integers(1, 700))
taste_block = st.lists(st.sampled_from([0xA0400, 0xB0400, 0xA07FF]), max_size=5).map(
    lambda tail: [0x80400, 0x90400, 0xA0400] + tail)


@given(st.lists(st.one_of(run_strategy.map(lambda r: [r[0]] * r[1]), taste_block,
                          st.lists(word_strategy, max_size=50)), max_size=40),
       st.booleans())
def test_long_streams_match_model(pieces, record_invalid):
    stream = [w for piece in pieces for w in piece]
    assert result_as_model(vk.scan_stream(stream, record_invalid)) == scan_model(
        stream, record_invalid)


@pytest.mark.parametrize("offset", [2045, 2046, 2047, 2048, 4094])
def test_taste_sequence_across_chunk_boundary(offset):
    stream = [0x80401] * offset + [0x80400, 0x90400, 0xA0400, 0xB0400] + [0x41]
    assert result_as_model(vk.scan_stream(stream)) == scan_model(stream, False)


CHUNK = 2048  # the scanner classifies this many entries at a time
SEQ = [0x80400, 0x90400, 0xA0400]
HEADS_8_9 = [0x80400, 0x90400]  # marked as a possible start, but no third head
INLINE, INVALID = 0x81000, 0x100000


def placed(offset, body, filler=0x41, total=None):
    """`body` at stream position `offset`, after filler words (and before more up to `total`)."""
    stream = [filler] * offset + body
    return stream + [filler] * max(0, (total or 0) - len(stream))


def mixed_words(n, seed):
    """Words of every class, invalid and inline ones and lone taste heads among them."""
    rng = random.Random(seed)
    pool = [0x41, 0x80401, 0x8E000, 0x8A000, 0xC0100, INLINE, INVALID, 0xFFFFFFFF, 0x80400,
            0x90400, 0xA0400]
    return [rng.choice(pool) for _ in range(n)]


@pytest.mark.parametrize("stream", [
    # Ends inside a chunk, followed by words whose classes change at every word.
    placed(50, SEQ + mixed_words(200, 1) + SEQ + [0xB0400] + mixed_words(CHUNK, 2)),
    # Ends inside a chunk; the rest of the chunk holds marks that start nothing,
    # inline and invalid words, and a second sequence.
    placed(100, SEQ + HEADS_8_9 + [0x41] + [0x80400] * 3 + [0x90400, 0xA0400, INLINE, INVALID]
           + SEQ + [0xB0400, 0xA0000], total=3000),
    placed(100, SEQ + [0xA07FF, 0x80400, 0x90400, 0xB0400, 0x80400], filler=0x80401, total=300),
    # Ends exactly at a chunk's end, followed by a sequence or by other words.
    placed(CHUNK - 3, SEQ + SEQ + [0x41]),
    placed(CHUNK - 3, SEQ + [0x90400, 0xA0400, 0x41]),
    placed(CHUNK - 6, SEQ * 2 + HEADS_8_9 + [0x100000]),
    # Starts in one chunk and ends in the next, or several chunks later.
    placed(CHUNK - 1, SEQ + [0x41]),
    placed(CHUNK - 2, SEQ + HEADS_8_9),
    placed(CHUNK - 1, SEQ + [0xB0400] * (2 * CHUNK + 5) + [0x80400, 0x90400, 0xB0400]),
    # A mark on a chunk's last word whose sequence fails in the next chunk.
    placed(CHUNK - 1, [0x80400, 0x90400, 0xB0400, 0x41], filler=0x80401),
    placed(CHUNK - 2, [0x80400, 0x90400, 0x80400, 0x90400, 0xA0400]),
    # Chains: back to back across chunk boundaries, with continuation words
    # between, and ending on an incomplete sequence or the stream's end.
    placed(2000, (SEQ + [0xB0400]) * 50 + HEADS_8_9),
    placed(0, SEQ * (CHUNK + 7)),
    placed(5, SEQ * 700 + [0x80400]),
    # Short gaps: one or two words of every kind between sequences.
    placed(CHUNK - 10, (SEQ + [0x41]) * 40 + (SEQ + [INLINE, INVALID]) * 30
           + (SEQ + [0x80400]) * 30 + (SEQ + [0x8E000, 0x80401]) * 30),
    placed(3, (SEQ + [0x80400, 0x90400]) * 900),
], ids=["inside-mixed", "inside", "inside-image", "at-end-then-seq", "at-end-then-heads", "chain-at-end",
        "spans", "spans-then-heads", "spans-chunks", "mark-at-end", "mark-then-seq-at-end",
        "chain-spans", "chain-whole", "chain-odd-end", "gaps", "gaps-of-heads"])
def test_taste_runs_around_chunks(stream):
    for record_invalid in (True, False):
        got = result_as_model(vk.scan_stream(stream, record_invalid))
        assert got == scan_model(stream, record_invalid)


def test_chained_taste_sequences_form_one_span():
    stream = [0x41] + SEQ * 3000 + [0x41] + SEQ + [0xB0400] + SEQ
    r = vk.scan_stream(stream)
    assert spans(r, "taste") == [0, 9000, 9000, 7]
    assert r["counts"][9] == 9007


# Pieces around taste sequences: sequences with continuation tails, words that
# look like parts of one, short gaps, and filler that moves them across chunks.
taste_piece = st.one_of(
    taste_block,
    st.sampled_from([[0x80400], HEADS_8_9, HEADS_8_9 + [0xB0400], [0x90400, 0xA0400],
                     [0xA0400, 0xB0400], HEADS_8_9 + [INVALID], [0x41], [INLINE], [INVALID]]),
    st.lists(word_strategy, min_size=1, max_size=4),
    st.tuples(st.sampled_from([0x41, 0x80401, 0x8E000, INVALID]), st.integers(1, CHUNK + 60)).map(
        lambda r: [r[0]] * r[1]),
)


@given(st.lists(taste_piece, max_size=30), st.booleans())
def test_taste_dense_streams_match_model(pieces, record_invalid):
    stream = [w for piece in pieces for w in piece]
    assert result_as_model(vk.scan_stream(stream, record_invalid)) == scan_model(
        stream, record_invalid)


def test_every_word_value_classifies_like_the_model():
    # Each word between two text words, so that each stands alone.
    stream = []
    for w in range(0, 0x110000, 7):
        stream += [w, 0x41]
    assert result_as_model(vk.scan_stream(stream, True)) == scan_model(stream, True)


KERNEL_SOURCES = ["scan/chunk_classes.cpp", "scan/chunk_classes_avx2.cpp",
                  "scan/chunk_classes_avx512.cpp", "common/kernel_choice.cpp"]


@pytest.fixture(scope="module")
def kernel_probe(tmp_path_factory):
    exe = tmp_path_factory.mktemp("probe") / "chunk_classes_probe"
    compile_or_fail(["g++", "-std=c++20", "-O1", "-I", str(SRC),
                     str(NATIVE / "chunk_classes_probe.cpp"),
                     *(str(SRC / s) for s in KERNEL_SOURCES), "-o", str(exe)])
    return exe


def test_native_kernels_of_every_path_match_the_portable_ones(kernel_probe):
    assert run_probe(kernel_probe, "check").strip() == "ok"


@pytest.mark.source_checks
def test_native_avx512_kernels_under_emulation(tmp_path, runnable_paths):
    """Checks the AVX-512 kernels on any processor, over a software emulation of
    the instructions (the emulation headers come with the test extras)."""
    if "avx2" not in runnable_paths:
        pytest.skip("the emulation runs over AVX2 and BMI2, which this processor lacks")
    prefixes = [Path(p) / "cmeel.prefix" / "include" for p in sys.path]
    include = next((p for p in prefixes if (p / "simde" / "x86" / "avx512.h").is_file()), None)
    assert include is not None, "the emulation headers (cmeel-simde, a test extra) are missing"
    kernels = tmp_path / "avx512_emulated.o"
    compile_or_fail(["g++", "-std=c++20", "-O1", "-w", "-I", str(SRC), "-isystem", str(include),
                     "-DVAK_SCAN_AVX512_EMULATED", "-DSIMDE_ENABLE_NATIVE_ALIASES",
                     "-include", "simde/x86/avx512.h", "-mavx2", "-mbmi2",
                     "-c", str(SRC / "scan" / "chunk_classes_avx512.cpp"), "-o", str(kernels)])
    exe = tmp_path / "chunk_classes_probe_emulated"
    compile_or_fail(["g++", "-std=c++20", "-O1", "-I", str(SRC),
                     str(NATIVE / "chunk_classes_probe.cpp"),
                     *(str(SRC / s) for s in KERNEL_SOURCES if "avx512" not in s), str(kernels),
                     "-o", str(exe)])
    assert run_probe(exe, "check", "avx512").strip() == "ok"


@pytest.mark.source_checks
@pytest.mark.parametrize("request_", ["portable", "avx2", "avx512", "AVX2", "fastest", "", None])
def test_native_path_switch_selects_a_supported_path(kernel_choice_probe, request_):
    supported, active = probe_report(kernel_choice_probe, request_)
    assert supported[0] == "portable"
    # A path this processor runs is taken as asked; anything else falls back to the fastest.
    assert active == (request_ if request_ in supported else supported[-1])


@pytest.mark.parametrize("path", ALL_PATHS)
def test_native_scan_tests_pass_on_every_path(runnable_paths, path):
    """The scan, buffer and model tests in a child process forced onto each path."""
    assert_tests_pass_on_path(path, runnable_paths, ["test_scan.py", "test_buffers.py"])


@pytest.mark.source_checks
@pytest.mark.parametrize("mode", ["count", "stop"])
def test_native_core_scan_looks_for_stop_requests(tmp_path, mode):
    """About every 32 k entries, also inside one long taste sequence and along
    taste sequences back to back or between text words; a stop request ends the
    scan (the probe takes the C allocator, so it needs nothing but the source tree)."""
    exe = tmp_path / "core_scan_probe"
    compile_or_fail(["g++", "-std=c++20", "-O1", "-DVAK_CHECKED_HEAP", "-I", str(SRC),
                     str(NATIVE / "core_scan_probe.cpp"), str(SRC / "scan" / "core_scan.cpp"),
                     *(str(SRC / "common" / f) for f in
                       ("invariant.cpp", "memory_ceiling.cpp", "cgroup_files.cpp",
                        "heap_purger.cpp")),
                     *(str(SRC / s) for s in KERNEL_SOURCES), "-o", str(exe)])
    lines = run_probe(exe, mode).splitlines()
    if mode == "count":
        assert len(lines) == 4
        assert all(100 <= int(polls) <= 160 for polls in lines), lines  # 4 M entries each
    else:
        assert lines == ["stopped at 3"] * 4


@pytest.mark.source_checks
@pytest.mark.parametrize("source", ["scan/core_scan.cpp", "scan/batch_scan.cpp", *KERNEL_SOURCES])
def test_native_scanner_frames_fit_small_stacks(tmp_path, source):
    """A scan may run on a thread with a 32 KiB stack: no frame of the scanner
    may take more than 1 KiB (release optimisation, so that inlining counts)."""
    compile_or_fail(["g++", "-std=c++20", "-O3", "-DNDEBUG", "-DVAK_CHECKED_HEAP",
                     "-Wstack-usage=1024", "-Werror", "-I", str(SRC), "-c", str(SRC / source),
                     "-o", str(tmp_path / "scanner.o")])


SMALL_STACK_SCAN = SET_SMALLEST_STACK + """
import threading, vak_orn_kernel as vk
streams = [[0x80400, 0x90400, 0xA0400, 0x41] * 5000, [0x80400, 0x90400, 0xA0400] * 5000,
           [(k * 2654435761) % 0x110000 for k in range(20000)]]
vk.scan_stream_batch([[1], [2]])  # the pool is made here, on the main thread
expected = [vk.scan_stream(s, True) for s in streams]
results = []
def scan():
    results.extend(vk.scan_stream(s, True) for s in streams)
    results.extend(vk.scan_stream_batch([s], True)[0] for s in streams)
thread = threading.Thread(target=scan)
thread.start()
thread.join()
assert len(results) == 2 * len(streams)
for got, want in zip(results, expected * 2):
    assert all(got[k] == want[k] or bytes(got[k]) == bytes(want[k]) for k in want)
print("ok")
"""


def test_scans_run_on_a_thread_with_a_32_kib_stack():
    child = subprocess.run([sys.executable, "-c", SMALL_STACK_SCAN], capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0 and child.stdout.strip() == "ok", child.stdout + child.stderr
