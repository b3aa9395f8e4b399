"""encode_text: canonical decomposition, direct characters and byte-pair packing,
checked against a plain Python oracle built on the Unicode Character Database 17.0:
unicodedata2 (a test extra, pinned), or the interpreter's own unicodedata where that
carries 17.0 and unicodedata2 has no wheel (CPython 3.15)."""

import array
import concurrent.futures
import os
import pathlib
import pickle
import random
import shutil
import subprocess
import sys
import textwrap
import threading
import time
import zlib

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("hypothesis")
from hypothesis import given, settings
from hypothesis import strategies as st

import vak_orn_kernel as vok
from conftest import AS_LIMIT_IGNORED, RESIDENT_MEMORY_IS_OURS, UNDER_EMULATION, UNDER_SANITIZER
from kernel_paths import ALL_PATHS, assert_tests_pass_on_path
from vak_orn_kernel import encode_text

UNICODE_VERSION = "17.0.0"


def _unicode_database():
    try:
        import unicodedata2
    except ImportError:
        import unicodedata

        if unicodedata.unidata_version != UNICODE_VERSION:
            pytest.skip(f"needs the Unicode {UNICODE_VERSION} database: unicodedata2 is not installed "
                        f"and this interpreter's unicodedata carries {unicodedata.unidata_version}",
                        allow_module_level=True)
        return unicodedata
    assert unicodedata2.unidata_version == UNICODE_VERSION, unicodedata2.unidata_version
    return unicodedata2


ucd = _unicode_database()

DIRECT = frozenset([0x09, 0x0A, 0x0D, *range(0x20, 0x7F), 0xC6, 0xE6, 0xD8, 0xF8, 0xDF, 0x152, 0x153])


def oracle(text):
    """NFD, then one word per direct character and byte pairs for the UTF-8 of
    every run of other characters (an odd last byte paired with 0x00)."""
    words = []
    run = bytearray()

    def close_run():
        for i in range(0, len(run), 2):
            second = run[i + 1] if i + 1 < len(run) else 0
            words.append(0x40000 + run[i] * 256 + second)
        run.clear()

    for ch in ucd.normalize("NFD", text):
        if ord(ch) in DIRECT:
            close_run()
            words.append(ord(ch))
        else:
            run.extend(ch.encode("utf-8"))
    close_run()
    return words


def unpack(words):
    """UTF-8 bytes back from words, for text without U+0000 (so a 0x00 byte at
    the end of a run can only be padding)."""
    out = bytearray()
    run = bytearray()
    for word in words + [None]:
        if word is None or word < 0x40000:
            if run.endswith(b"\x00"):
                del run[-1]
            out += run
            run.clear()
            if word is not None:
                out += chr(word).encode("utf-8")
        else:
            run += bytes([(word >> 8) & 0xFF, word & 0xFF])
    return bytes(out)


# --- fixed cases ------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("Ab", [0x41, 0x62]),
    ("\t\n\r ", [0x9, 0xA, 0xD, 0x20]),
    ("\u00e9", [0x65, 0x4CC81]),
    ("\u00c5", [0x41, 0x4CC8A]),
    ("\u00c6\u00df\u0153", [0xC6, 0xDF, 0x153]),
    ("\u00d8\u00f8\u00e6\u0152", [0xD8, 0xF8, 0xE6, 0x152]),
    ("\u4e2d", [0x4E4B8, 0x4AD00]),
    ("\u4e2da", [0x4E4B8, 0x4AD00, 0x61]),
    ("\u4e2d\u4e2d", [0x4E4B8, 0x4ADE4, 0x4B8AD]),
    ("\ud55c", [0x4E184, 0x492E1, 0x485A1, 0x4E186, 0x4AB00]),
    ("a\ud55cb", [0x61, 0x4E184, 0x492E1, 0x485A1, 0x4E186, 0x4AB00, 0x62]),
    ("\uac00", [0x4E184, 0x480E1, 0x485A1]),  # no trailing consonant: two jamo
    ("a\u0301\u0316", [0x61, 0x4CC96, 0x4CC81]),  # class 220 before 230
    ("\ufb01", [0x4EFAC, 0x48100]),  # compatibility mapping not applied
    ("\u00a0", [0x4C2A0]),
    ("\u0000", [0x40000]),
    ("\u0000\u0000", [0x40000]),
    ("\u007f\u0001", [0x47F01]),  # non-direct ASCII travels as bytes
    ("x\U0001F600y", [0x78, 0x4F09F, 0x49880, 0x79]),
    ("\u0301a", [0x4CC81, 0x61]),  # a mark with no starter before it
    ("\u1e08", [0x43, 0x4CCA7, 0x4CC81]),  # two-level decomposition, 202 before 230
    ("\u212b", [0x41, 0x4CC8A]),  # singleton: Angstrom sign -> A + ring
])
def test_fixed_cases(text, expected):
    assert encode_text(text) == expected


def test_str_subclass_is_encoded_by_value():
    class Shouty(str):
        def __str__(self):
            return "IGNORED"

    assert encode_text(Shouty("\u00e9!")) == [0x65, 0x4CC81, 0x21]


def test_result_is_a_new_list_of_int():
    first, second = encode_text("ab\u4e2d"), encode_text("ab\u4e2d")
    assert type(first) is list and first is not second
    assert all(type(w) is int for w in first)


# --- binding ----------------------------------------------------------------

def test_keyword_argument():
    assert encode_text(text="a\u00e9") == [0x61, 0x65, 0x4CC81]


@pytest.mark.parametrize("args, kwargs, message", [
    ((b"abc",), {}, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    ((None,), {}, "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
    ((5,), {}, "argument 'text': 'int' object cannot be converted to 'PyString'"),
    ((["a"],), {}, "argument 'text': 'list' object cannot be converted to 'PyString'"),
])
def test_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        encode_text(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None


@pytest.mark.parametrize("text", ["\ud800", "ab\udfffcd", "\U0001F600\udc00"])
def test_lone_surrogate_raises_unicode_encode_error_unchanged(text):
    with pytest.raises(UnicodeEncodeError) as info:
        encode_text(text)
    assert "surrogates not allowed" in str(info.value)
    assert not str(info.value).startswith("argument")


@pytest.mark.source_checks
def test_committed_unicode_tables_match_the_generator(tmp_path):
    root = pathlib.Path(__file__).resolve().parent.parent
    subprocess.run([sys.executable, str(root / "tools" / "gen_unicode_tables.py"), str(tmp_path)],
                   check=True, capture_output=True)
    for committed in (root / "src" / "text" / "unicode_tables.cpp",
                      root / "fuzz" / "nfd_reference_tables.cpp"):
        assert (tmp_path / committed.name).read_text() == committed.read_text(), committed.name


# --- every code point --------------------------------------------------------

def scalar_values(plane):
    return [cp for cp in range(plane << 16, (plane + 1) << 16) if not 0xD800 <= cp <= 0xDFFF]


@pytest.mark.parametrize("plane", range(17))
def test_every_code_point_alone(plane):
    mismatches = [hex(cp) for cp in scalar_values(plane) if encode_text(chr(cp)) != oracle(chr(cp))]
    assert mismatches == []


@pytest.mark.parametrize("plane", range(17))
@pytest.mark.parametrize("separator", ["|", "\u00e6"])
def test_every_code_point_between_direct_characters(plane, separator):
    text = separator + separator.join(map(chr, scalar_values(plane))) + separator
    assert encode_text(text) == oracle(text)


def test_every_code_point_in_one_run():
    # Without direct characters the whole plane 0 packs as one long run, with
    # non-starters of every class reordered across the neighbouring characters.
    text = "".join(chr(cp) for cp in scalar_values(0) if ord(chr(cp)) not in DIRECT)
    assert encode_text(text) == oracle(text)


# --- properties against the oracle -------------------------------------------

NON_STARTERS = [cp for cp in range(0x110000)
                if not 0xD800 <= cp <= 0xDFFF and ucd.combining(chr(cp))]
DECOMPOSING = [cp for cp in range(0x110000)
               if not 0xD800 <= cp <= 0xDFFF and ucd.decomposition(chr(cp))
               and not ucd.decomposition(chr(cp)).startswith("<")]


def code_points(lo, hi):
    return st.integers(lo, hi).map(chr)


MIXED_CHARACTER = st.one_of(
    code_points(0x20, 0x7E),                       # printable ASCII
    code_points(0x00, 0x1F) | code_points(0x7F, 0x9F),  # controls
    code_points(0xC0, 0x24F),                      # accented Latin, incl. the direct ones
    st.sampled_from(NON_STARTERS).map(chr),        # marks of every class
    st.sampled_from(DECOMPOSING).map(chr),         # every canonical mapping
    code_points(0xAC00, 0xD7A3),                   # Hangul syllables
    code_points(0x1100, 0x11FF),                   # conjoining jamo
    code_points(0x4E00, 0x9FFF),                   # CJK
    code_points(0x1F300, 0x1FAFF),                 # emoji
    st.characters(blacklist_categories=("Cs",)),   # anything else
)
MIXED_TEXT = st.lists(MIXED_CHARACTER, max_size=80).map("".join)


@settings(max_examples=1500, deadline=None)
@given(MIXED_TEXT)
def test_mixed_text_matches_oracle(text):
    words = encode_text(text)
    assert words == oracle(text)
    assert all(0x9 <= w <= 0x153 or 0x40000 <= w <= 0x4FFFF for w in words)


@settings(max_examples=500, deadline=None)
@given(st.lists(st.sampled_from(NON_STARTERS).map(chr), min_size=2, max_size=40).map("".join),
       st.sampled_from(["", "a", "\u4e2d", "\ud55c"]))
def test_stacked_marks_are_ordered_by_class(marks, base):
    text = base + marks + base
    assert encode_text(text) == oracle(text)


@settings(max_examples=1000, deadline=None)
@given(MIXED_TEXT.map(lambda t: t.replace("\0", "")))
def test_unpacking_gives_back_the_nfd_utf8(text):
    assert unpack(encode_text(text)) == ucd.normalize("NFD", text).encode("utf-8")


# Texts long enough for the encoder's many-bytes-at-a-time stretches (direct
# ASCII, ideographs) to start and stop anywhere in a block, between every kind
# of character.
PIECE = st.one_of(
    st.text(alphabet=st.sampled_from("ab \n\t.,XYZ~"), max_size=90),          # direct ASCII
    st.text(alphabet=code_points(0x4E00, 0x9FFF), max_size=40),              # ideographs E4..E9
    st.text(alphabet=st.sampled_from("\u3002\uff0c\u3042\u304c\u00e9\u00c6\u0416"), max_size=6),
    st.text(alphabet=st.sampled_from([chr(c) for c in NON_STARTERS]), max_size=8),  # marks
    st.text(alphabet=code_points(0xAC00, 0xD7A3), max_size=12),              # Hangul
    st.text(alphabet=st.sampled_from("\x00\x01\x7f\x1b"), max_size=3),       # ASCII sent as bytes
    st.text(alphabet=code_points(0x1F300, 0x1FAFF), max_size=5),             # four-byte characters
)


@settings(max_examples=600, deadline=None)
@given(st.lists(PIECE, max_size=12).map("".join))
def test_long_mixed_texts_match_oracle(text):
    assert encode_text(text) == oracle(text)


# A run of marks is written as it arrives while classes do not decrease; the
# first mark out of order takes the run back and sorts it whole. Long runs
# (sorted by counting) and late turns must give the same order as NFD.
@pytest.mark.parametrize("length", [3, 17, 5000])
@pytest.mark.parametrize("turn", ["start", "middle", "end"])
def test_a_run_of_marks_turning_out_of_order(length, turn):
    in_order = ["\u0316", "\u0301", "\u0360"] * (length // 3 + 1)  # classes 220, 230, 234
    in_order = sorted(in_order[:length], key=ucd.combining)
    at = {"start": 1, "middle": length // 2, "end": length}[turn]
    marks = in_order[:at] + ["\u0334", "\u0327"] + in_order[at:]  # classes 1 and 202
    text = "x\u00e9" + "".join(marks) + "\u4e2d" + "".join(marks) + "y"
    assert encode_text(text) == oracle(text)


# The encoder works through its input in steps of 64 KiB: whatever straddles a
# step's end (a run of marks in or out of order, a decomposition, a Hangul
# syllable, ideographs, direct ASCII) must come out as if there were no step.
@pytest.mark.parametrize("straddling", [
    "\u0316\u0301\u0316\u0327\u0301",  # marks out of order
    "\u0327\u0316\u0301\u0301",         # marks in order
    "\u00e9\u0316\u1e08\u0344",         # decompositions joining the marks
    "\ud55c\uac00\ud7a3",                # Hangul
    "\u4e2d\u6587\u5b57" * 20,           # ideographs
    "plain ASCII " * 8,
])
@pytest.mark.parametrize("shift", range(-5, 4))
def test_steps_of_the_encoder_leave_no_trace(straddling, shift):
    lead = "a" * (65536 - 1) if shift >= 0 else "\u4e2d" * ((65536 + shift) // 3)
    text = lead + "x" * max(shift, 0) + straddling + "\u4e2d" + straddling + "end"
    assert encode_text(text) == oracle(text)


@pytest.mark.parametrize("text", [
    "\u4e2d" * 100_000,
    "\u00e9t\u00e9 " * 50_000,
    "\U0001F600" * 50_000,
    "\ud55c\uad6d\uc5b4 " * 30_000,
])
def test_the_callers_str_keeps_no_utf8_copy(text):
    # The str's own UTF-8 cache would hold another copy of the text (three bytes
    # per ideograph) for as long as the str lives.
    class Subclass(str):
        pass

    expected = oracle(text)
    for value in (text, Subclass(text)):
        before = sys.getsizeof(value)
        assert encode_text(value) == expected
        assert sys.getsizeof(value) == before


def test_encoded_words_scan_as_text():
    words = encode_text("Grüße, \u4e16\u754c! \ud55c\uad6d\uc5b4 \U0001F600\u00c6\t\n")
    counts = vok.scan_stream(words)["counts"]
    assert counts[0] == len(words) and sum(counts) == len(words)


def test_concurrent_calls_do_not_interfere():
    texts = [("\u00e9\u4e2d\ud55c a\u0316\u0301" * 2000) + str(i) for i in range(16)]
    expected = [oracle(t) for t in texts]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(encode_text, texts)) == expected


# --- large inputs -------------------------------------------------------------

def test_hundred_megabyte_text():
    # Each unit ends with a direct character, which closes every run, so the
    # encoding of the repeated text is the repeated encoding of one unit.
    unit = ("The quick brown fox jumps over the lazy dog; Gr\u00fc\u00dfe, \u4e16\u754c! "
            "\ud55c\uad6d\uc5b4 \u00e9\u0316\U0001F600 and plain text again.\n")
    repeats = 100_000_000 // len(unit.encode("utf-8")) + 1
    words = encode_text(unit * repeats)
    expected = encode_text(unit)
    assert expected == oracle(unit)
    assert len(words) == len(expected) * repeats
    assert words == expected * repeats


def test_hundred_thousand_combining_marks():
    # One run of 100,000 non-starters of six classes (none of them decomposes).
    # The expected order is a stable sort by class, done here with sorted();
    # the oracle's own reordering is quadratic on runs this long, so it only
    # maps the already ordered text.
    marks = [chr(cp) for cp in (0x301, 0x316, 0x334, 0x345, 0x5B0, 0x1D165)] * 16_667
    marks = marks[:100_000]
    ordered = sorted(marks, key=ucd.combining)
    assert ucd.normalize("NFD", "".join(marks[:600])) == "".join(
        sorted(marks[:600], key=ucd.combining))
    text = "a" + "".join(marks) + "b" + "".join(marks)
    expected = oracle("a" + "".join(ordered) + "b" + "".join(ordered))
    assert encode_text(text) == expected


@pytest.mark.not_under_emulation(AS_LIMIT_IGNORED)
def test_exhausted_memory_raises_memory_error_not_a_partial_list():
    # Under an address-space limit, each headroom makes a different step run out
    # of memory (the UTF-8 copy, the word vector, the list, the int objects).
    script = textwrap.dedent("""
        import resource
        import vak_orn_kernel as vok
        text = "\\u4e2d" * 10_000_000 + "a"
        expected = 15_000_001
        vok.encode_text(text)  # fills the str's own UTF-8 form outside the limit
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        for headroom in (1, 20, 40, 60, 100, 200):
            with open("/proc/self/status") as status:
                size = [int(l.split()[1]) for l in status if l.startswith("VmSize:")][0] * 1024
            resource.setrlimit(resource.RLIMIT_AS, (size + headroom * 1_000_000, hard))
            try:
                words = vok.encode_text(text)
                outcome = "ok" if len(words) == expected and words[-1] == 0x61 else "partial"
                del words
            except MemoryError:
                outcome = "MemoryError"
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            print(outcome)
        print("after", vok.encode_text("\\u00e9") == [0x65, 0x4CC81])
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=os.environ.copy(), timeout=120)
    assert result.returncode == 0, result.stderr
    outcomes = result.stdout.split()
    assert outcomes[0] == "MemoryError"
    assert set(outcomes[:-2]) <= {"ok", "MemoryError"}
    assert outcomes[-2:] == ["after", "True"]


# --- long texts: encoded piece by piece, on a second thread too -----------------
#
# From a size on, the text is cut into pieces just before direct ASCII
# characters, encoded on a thread of its own and on the calling thread, which
# also builds the list. Two settings of the environment reach every case with
# short texts: the size from which that happens, and the least input of a piece.

OVERLAP_FROM = "VAK_ORN_KERNEL_TEXT_OVERLAP_FROM"
PIECE_BYTES = "VAK_ORN_KERNEL_TEXT_PIECE_BYTES"
ONE_PIECE = {OVERLAP_FROM: str(1 << 62)}

ENCODE_IN_CHILD = """
import array, pickle, sys
import vak_orn_kernel as vok
with open(sys.argv[1], "rb") as f:
    texts = pickle.load(f)
with open(sys.argv[2], "wb") as out:
    for text in texts:
        words = vok.encode_text(text)
        array.array("Q", [len(words)]).tofile(out)
        array.array("I", words).tofile(out)
"""


def encode_in_child(directory, texts, settings):
    """encode_text of each text in a child process whose environment has `settings`."""
    directory.mkdir(exist_ok=True)
    texts_file, words_file = directory / "texts.pickle", directory / "words.u32"
    texts_file.write_bytes(pickle.dumps(texts))
    env = {k: v for k, v in os.environ.items() if k not in (OVERLAP_FROM, PIECE_BYTES)}
    child = subprocess.run([sys.executable, "-c", ENCODE_IN_CHILD, str(texts_file), str(words_file)],
                           capture_output=True, text=True, env={**env, **settings}, timeout=600)
    assert child.returncode == 0, child.stderr[-3000:]
    results = []
    with open(words_file, "rb") as f:
        for _ in texts:
            count = array.array("Q")
            count.fromfile(f, 1)
            words = array.array("I")
            words.fromfile(f, count[0])
            results.append(words.tolist())
    return results


# Where a cut could go wrong: beside marks (in and out of order), decompositions
# and Hangul; runs of bytes of odd length; ASCII that travels as bytes and
# non-ASCII direct characters (neither is a cut point); texts without any cut
# point, and with cut points only at their ends.
PIECE_EDGES = [
    "a", " ", "\u4e2d", "ab", "a\u0301 b", "a \u0301b", " \u0301", "\u0301 ",
    "x\u0316\u0301\u0316 y\u0301\u0316", "\u0301\u0316 \u0316\u0301 " * 50,
    "e\u0301\u0316\u0327z\u0334\u0327\u0301\u0316.", "\u1e08a\u00e9b\u212bc\u0344d\u0316",
    "\u00c5 \u00e9\u0316 " * 20, "\ud55c a\ud55c\uac00 b\ud7a3c", "\ud55c" * 10 + "x" + "\uac00" * 7,
    "\u4e2d a\u4e2d\u4e2d\u4e2d b", "\U0001F600\u4e2d z\U0001F600", "\x01a\x7f\x01b\x1b c\x00",
    "\u00a0 \u00a0\u00a0 ", "\u00c6\u4e2d\u00e6a\u0153\u0301b\u00df\u0316",
    "\u4e2d" * 3000, "\u0301\u0316" * 1000, "\ud55c" * 1000, "\x01\x7f" * 1000,
    "\u00c6\u00df\u0301" * 500, "a" + "\u4e2d" * 2000 + "b", " " + "\u0316\u0301" * 500 + " ",
    "\ud55c" * 500 + ".", "." + "\U0001F600" * 501,
]

# Pools to draw random texts from: each kind of character the edges above name.
PIECE_POOLS = [
    "ab .\n\t~Z", "\u0301\u0316\u0327\u0334\u0345\u05b0", "\u00e9\u1e08\u212b\u00c5\u0344",
    "\ud55c\uac00\ud7a3", "\u4e2d\u6587", "\x00\x01\x7f\x1b", "\u00c6\u00df\u0153",
    "\U0001F600\u00a0",
]


def random_piece_texts(count, seed=5):
    rng = random.Random(seed)
    texts = []
    for _ in range(count):
        parts = []
        for _ in range(rng.randint(1, 30)):
            pool = rng.choice(PIECE_POOLS)
            parts.append("".join(rng.choice(pool) for _ in range(rng.randint(1, 12))))
        texts.append("".join(parts))
    return texts


@pytest.mark.parametrize("piece_bytes", [1, 2, 5, 64, 4096])
def test_texts_encoded_in_pieces_match_one_piece(tmp_path, piece_bytes):
    texts = PIECE_EDGES + random_piece_texts(300)
    in_pieces = encode_in_child(tmp_path / "pieces", texts,
                                {OVERLAP_FROM: "1", PIECE_BYTES: str(piece_bytes)})
    one_piece = encode_in_child(tmp_path / "one", texts, ONE_PIECE)
    expected = [oracle(text) for text in texts]
    assert [i for i, (a, b) in enumerate(zip(one_piece, expected)) if a != b] == []
    assert [i for i, (a, b) in enumerate(zip(in_pieces, expected)) if a != b] == []


def test_long_texts_in_pieces_match_one_piece(tmp_path):
    # At the sizes the thread takes by default: a mixture with pieces ending
    # anywhere, and a long stretch without a cut point between two with many.
    mixture = "".join(random_piece_texts(60_000, seed=11))
    stretch = "ab " * 200_000 + "\u4e2d\u0316\u0301\ud55c" * 300_000 + " cd" * 200_000
    texts = [mixture, stretch]
    default = encode_in_child(tmp_path / "default", texts, {})
    one_piece = encode_in_child(tmp_path / "one", texts, ONE_PIECE)
    assert len(mixture.encode()) > 2_000_000
    assert default == one_piece
    # The oracle's normalisation grows its output a few characters at a time; under the
    # address sanitizer's allocator every step copies it whole, which takes most of an
    # hour for 2 MB. There the one-piece encoding, checked against the oracle on the
    # shorter texts above, stands in for it.
    if not UNDER_SANITIZER:
        assert default[0] == oracle(mixture)


def encoder_threads():
    """The threads of this process that the encoder started (by their name)."""
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        except OSError:
            pass  # ended meanwhile
    return names.count("vak-encode-text")


def most_encoder_threads_during(calls):
    """Runs `calls` while another thread looks for encoder threads (it gets its
    turns while the calls wait for their encoder, or give other threads a turn)."""
    most, done = 0, False

    def watch():
        nonlocal most
        while not done:
            most = max(most, encoder_threads())
            time.sleep(0.0005)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        calls()
    finally:
        done = True
        watcher.join()
    return most


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_a_long_text_is_encoded_on_a_thread_that_ends_with_the_call():
    if OVERLAP_FROM in os.environ:
        pytest.skip("the size from which the thread is used is set from outside")
    # Marks out of order take the encoder longer than their items take the list.
    unit = "a" + "\u0316\u0301" * 40 + " "
    slow = unit * 60_000
    expected = oracle(unit) * 60_000
    assert most_encoder_threads_during(lambda: encode_text(slow)) == 1
    assert encoder_threads() == 0
    assert encode_text(slow) == expected
    short = slow[:100_000]  # below the size: encoded by the calling thread
    assert most_encoder_threads_during(lambda: [encode_text(short) for _ in range(200)]) == 0


@pytest.mark.source_checks
def test_the_piecewise_encoder_shared_out_of_memory_without_a_thread_and_stopped(tmp_path):
    """A native probe steers the piecewise encoder where the module cannot be steered."""
    if shutil.which("g++") is None:
        pytest.skip("g++ is needed to build the native probe")
    root = pathlib.Path(__file__).resolve().parent.parent
    src = root / "src"
    sources = sorted(str(p) for folder in ("text", "common") for p in (src / folder).glob("*.cpp"))
    exe = tmp_path / "text_thread_probe"
    subprocess.run(["g++", "-std=c++20", "-O2", "-DVAK_CHECKED_HEAP", "-pthread", "-I", str(src),
                    str(root / "tests" / "native" / "text_thread_probe.cpp"), *sources,
                    "-o", str(exe)], check=True)

    def probe(case):
        out = subprocess.run([str(exe), case], capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr
        return out.stdout.split()

    # Memory runs out on the thread: it ends and says so (the module raises MemoryError).
    # (The probe runs out under an address-space limit, which an emulator ignores.)
    if not UNDER_EMULATION:
        assert probe("out-of-memory") == ["1", "out-of-memory"]
    # No thread to be had: the caller encodes every piece, and they join up as one.
    # (The thread is refused under an address-space limit too: under an emulator it
    # starts, and the pieces must join up all the same.)
    started, equal = probe("no-thread")
    assert equal == "1" and (UNDER_EMULATION or started == "0")
    # Its owner going stops the thread at its next poll and joins it.
    ms, before, during, after = probe("stop")
    assert (before, during, after) == ("0", "1", "0")
    assert float(ms) < 250
    # The caller and the thread claiming tiny pieces side by side: every run gives
    # the whole text's units, and the caller did take pieces.
    runs, equal, by_caller = probe("shared")
    assert equal == runs and int(by_caller) > 0


@pytest.mark.not_under_emulation(AS_LIMIT_IGNORED)
def test_memory_running_out_beside_the_encoder_thread_raises_memory_error():
    # One long run of marks out of order, which the encoder orders with memory of
    # its own. Each headroom is tried in a fresh process (one that has encoded
    # before keeps memory to spare); under a small one the text's copy cannot be
    # made, under larger ones the thread's memory, the list or nothing runs out.
    # Never a partial list, never a crash.
    script = textwrap.dedent("""
        import array, resource, sys, zlib
        import vak_orn_kernel as vok
        text = "a" + "\\u0301\\u0316" * 1_500_000 + " b"
        with open("/proc/self/status") as status:
            size = [int(l.split()[1]) for l in status if l.startswith("VmSize:")][0] * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[1]) * 1_000_000, hard))
        try:
            words = vok.encode_text(text)
        except MemoryError:
            print("MemoryError")
        else:
            print(len(words), zlib.crc32(array.array("I", words)))
    """)
    text = "a" + "\u0301\u0316" * 1_500_000 + " b"
    words = encode_text(text)
    assert words[:3] == [0x61, 0x4CC96, 0x4CC96] and words[-2:] == [0x20, 0x62]
    whole = f"{len(words)} {zlib.crc32(array.array('I', words))}"
    outcomes = []
    for headroom in (1, 12, 24, 36, 48, 64, 96, 128, 192, 400):
        child = subprocess.run([sys.executable, "-c", script, str(headroom)], capture_output=True,
                               text=True, timeout=300)
        assert child.returncode == 0, (headroom, child.stderr[-3000:])
        outcomes.append(child.stdout.strip())
    assert outcomes[0] == "MemoryError"
    assert set(outcomes) <= {"MemoryError", whole}, outcomes
    assert outcomes[-1] == whole


def test_calls_in_pieces_keep_nothing():
    # A text just long enough for pieces, over and over: memory, objects and
    # threads stay where they were after the first calls.
    script = textwrap.dedent("""
        import gc, os, vak_orn_kernel as vok
        text = "Gr\\u00fc\\u00dfe, \\u4e2d\\ud55c \\u0301\\u0316!\\n" * 12_000
        assert len(text.encode()) > 256 * 1024
        def resident():
            with open("/proc/self/status") as status:
                return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmRSS:"))
        for _ in range(50):
            vok.encode_text(text)
        gc.collect()
        before = (resident(), len(gc.get_objects()), len(os.listdir("/proc/self/task")))
        for _ in range(500):
            vok.encode_text(text)
        gc.collect()
        after = (resident(), len(gc.get_objects()), len(os.listdir("/proc/self/task")))
        print(after[0] - before[0], after[1] - before[1], before[2], after[2])
    """)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=300, env={k: v for k, v in os.environ.items()
                                             if k not in (OVERLAP_FROM, PIECE_BYTES)})
    assert child.returncode == 0, child.stderr[-3000:]
    memory, objects, threads_before, threads_after = map(int, child.stdout.split())
    # One call takes a few MB; 500 of them kept would be a gigabyte.
    assert (not RESIDENT_MEMORY_IS_OURS or memory < 16_000_000) and abs(objects) < 50, child.stdout
    assert threads_after <= threads_before, child.stdout


def test_a_process_that_gets_no_thread_encodes_long_texts_all_the_same():
    # With a default thread stack larger than the address space can hold, no
    # thread starts: the call encodes the text on the calling thread instead.
    script = textwrap.dedent("""
        import threading, vak_orn_kernel as vok
        unit = "Gr\\u00fc\\u00dfe, \\u4e2d\\ud55c \\u0301\\u0316!\\n"
        words = vok.encode_text(unit * 200_000)
        try:
            threading.Thread(target=lambda: None).start()
            print("a thread started")
        except RuntimeError:
            print(words == vok.encode_text(unit) * 200_000)
    """)

    def huge_thread_stacks():
        import resource

        resource.setrlimit(resource.RLIMIT_STACK, (1 << 44, resource.RLIM_INFINITY))

    child = subprocess.run([sys.executable, "-c", script], preexec_fn=huge_thread_stacks,
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-3000:]
    if child.stdout.strip() == "a thread started":
        pytest.skip("this system starts threads whatever the stack limit")
    assert child.stdout.strip() == "True"
    unit = "Gr\u00fc\u00dfe, \u4e2d\ud55c \u0301\u0316!\n"
    assert encode_text(unit) == oracle(unit)


def test_text_tests_pass_in_pieces():
    """These tests again in a child process where every text goes through the
    encoder's thread, cut at every cut point."""
    if OVERLAP_FROM in os.environ or PIECE_BYTES in os.environ:
        pytest.skip("already running with the pieces set from outside")
    env = dict(os.environ, **{OVERLAP_FROM: "1", PIECE_BYTES: "1"})
    deselect = ("not in_pieces and not on_every_path and not alone and not hundred_megabyte "
                "and not exhausted_memory and not memory_running_out and not committed "
                "and not encoder_thread and not piecewise_encoder and not no_thread "
                "and not keep_nothing")
    here = pathlib.Path(__file__).resolve().parent
    child = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-x", "-k", deselect,
         str(here / "test_text.py")],
        capture_output=True, text=True, env=env, cwd=here, timeout=900)
    assert child.returncode == 0, child.stdout[-4000:] + child.stderr[-2000:]


@pytest.mark.parametrize("path", ALL_PATHS)
def test_text_tests_pass_on_every_path(runnable_paths, path):
    """The encoder's byte scans have vector kernels: these tests in a child process
    forced onto each path."""
    assert_tests_pass_on_path(path, runnable_paths, ["test_text.py"])
