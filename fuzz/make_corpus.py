"""Writes the seed corpora under fuzz/corpus/<target>/ in each harness's input format.

Valid streams and images come from the module itself, so it must be importable:
    PYTHONPATH=build/dev python3 fuzz/make_corpus.py
"""

import struct
from pathlib import Path

import vak_orn_kernel as vok

CORPUS = Path(__file__).resolve().parent / "corpus"


def write(target: str, name: str, data: bytes) -> None:
    directory = CORPUS / target
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


# ---------------------------------------------------------------- scan_words

RECORD_INVALID, RUN_LENGTH, ENTRIES = 1, 2, 4


def scan_word_bytes(w: int) -> bytes:
    if w <= 0xFFFFF:
        return bytes([w & 0xFF, (w >> 8) & 0xFF, (w >> 16) & 0x0F])
    low20 = 0xFFFFF if w == 0xFFFFFFFF else (w ^ 0x100000) >> 12
    assert w == 0xFFFFFFFF or (0x100000 | (low20 << 12)) == w, hex(w)
    return bytes([low20 & 0xFF, (low20 >> 8) & 0xFF, 0xF0 | (low20 >> 16)])


def scan_seed(words, flags=RECORD_INVALID | ENTRIES) -> bytes:
    return bytes([flags]) + b"".join(scan_word_bytes(w) for w in words)


def scan_runs_seed(runs, flags=RECORD_INVALID | RUN_LENGTH) -> bytes:
    out = bytearray([flags])
    for word, count in runs:
        while count > 0:
            step = min(count, 256)
            out += scan_word_bytes(word) + bytes([step - 1])
            count -= step
    return bytes(out)


TASTE = [0x80400, 0x90400, 0xA0400, 0xB0400, 0xA07FF]
ONE_OF_EACH = [0x00041, 0x89000, 0x8E000, 0x8A000, 0x80400, 0x81800, 0xC0100, 0x80800, 0x80200]


def scan_corpus() -> None:
    write("scan_words", "empty", scan_seed([]))
    write("scan_words", "one_of_each_modality", scan_seed(ONE_OF_EACH))
    write("scan_words", "taste_sequences", scan_seed(TASTE + [0xA0000] + TASTE[:3] + TASTE[:3]))
    write("scan_words", "taste_head_at_end", scan_seed([0x41, 0x80400, 0x90400]))
    write("scan_words", "taste_broken_by_invalid", scan_seed([0x80400, 0x90400, 0x100000, 0xA0400]))
    write("scan_words", "segments_ended_by_invalid",
          scan_seed([0x80400, 0x10, 0x80400, 0x100000, 0x80400, 0xFFFFFFFF], RECORD_INVALID))
    image, _ = vok.encode_quadtree(bytes([255, 255, 255, 0, 0, 0]), 2, 1, 1, 0.0)
    text = vok.encode_text("Grüße, 한국어 😀 x")
    write("scan_words", "text_image_mixed", scan_seed(text + image + text + [0x100000] + image))
    write("scan_words", "without_record_invalid", scan_seed(text + [0xFFFFFFFF] + image, 0))
    # Long runs across the 2048-word chunks, then a taste sequence at a boundary.
    write("scan_words", "long_runs",
          scan_runs_seed([(0x80400, 3000), (0x41, 40), (0x8E000, 1500), (0x100000, 3),
                          (0x80400, 2048 - 3), (0x80400, 1), (0x90400, 1), (0xA0400, 300),
                          (0xC0100, 700)]))
    write("scan_words", "alternating_lanes", scan_seed(ONE_OF_EACH * 300, ENTRIES))


# ---------------------------------------------------------------- encode_text

TEXTS = {
    "empty": "",
    "ascii": "Ab\t\n\r Hello, world! A line longer than sixteen characters.",
    "latin_decomposed": "é Å Æ ß œ Ñ ü",
    "hangul": "한국어 \ud55c",
    "marks_reordered": "a\u0301\u0316 q\u0307\u0323\u031b",
    "many_stacked_marks": "a" + "\u0301\u0316\u0327\u0308\u0323" * 8 + "b",
    "compatibility_untouched": "\ufb01 \u00a0 \u2126 \u212b",
    "nul_bytes": "\x00\x00 \x00",
    "four_byte": "x\U0001F600y\U0001D15E",
    "multi_mark_decompositions": "\u0344\u0f73\u0f75\u0f81\u1e09\u1fc1\u01d5",
    "controls_and_delete": "\x01\x0b\x1f\x7f\u0085",
}


def text_corpus() -> None:
    for name, text in TEXTS.items():
        write("encode_text", name, text.encode())


# ---------------------------------------------------------------- encode_quadtree

KIND_ZERO, KIND_QUARTERS, KIND_NEGATIVE, KIND_SPECIAL = 0, 4, 6, 7
SPECIAL_NAN, SPECIAL_INFINITY = 0, 1
EXACT_LENGTH = 8


def image_seed(width, height, depth, pixels=b"", kind=KIND_ZERO, value=0, exact=False) -> bytes:
    b2 = depth | (EXACT_LENGTH if exact else 0)
    return bytes([width, height, b2, kind, value]) + pixels


def gradient(width, height) -> bytes:
    return bytes((x * 7 + y * 13 + c * 50) % 256
                 for y in range(height) for x in range(width) for c in range(3))


def encoder_corpus() -> None:
    write("encode_quadtree", "two_by_one", image_seed(2, 1, 1, bytes([255, 255, 255, 0, 0, 0]),
                                                      exact=True))
    write("encode_quadtree", "empty", image_seed(0, 0, 3))
    write("encode_quadtree", "zero_width", image_seed(0, 5, 2))
    write("encode_quadtree", "uniform_four", image_seed(4, 4, 4, bytes([10, 200, 99])))
    write("encode_quadtree", "white_three", image_seed(3, 3, 1, bytes([255])))
    write("encode_quadtree", "gradient_depth3", image_seed(17, 9, 3, gradient(17, 9), exact=True))
    write("encode_quadtree", "gradient_threshold",
          image_seed(32, 32, 6, gradient(32, 32), KIND_QUARTERS, 160, exact=True))
    write("encode_quadtree", "nan_threshold", image_seed(6, 5, 2, gradient(3, 2), KIND_SPECIAL,
                                                         SPECIAL_NAN))
    write("encode_quadtree", "infinite_threshold", image_seed(9, 7, 5, gradient(9, 7), KIND_SPECIAL,
                                                              SPECIAL_INFINITY, exact=True))
    write("encode_quadtree", "negative_threshold", image_seed(5, 5, 2, bytes([1, 2, 3, 200]),
                                                              KIND_NEGATIVE, 3))
    write("encode_quadtree", "wrong_length", image_seed(2, 2, 1, bytes(11), exact=True))
    write("encode_quadtree", "bad_depth", image_seed(2, 2, 7, bytes(12), exact=True))


# ---------------------------------------------------------------- decode_quadtree

META_BEGIN, META_END, SET_COLOR, PAINT, BACKTRACK = 0x805C0, 0x805C1, 0x80541, 0x80501, 0x80581


def decode_seed(words) -> bytes:
    out = bytearray()
    for w in words:
        if w & ~0x3FF == 0x80400:
            out += bytes([(w >> 8) & 3, w & 0xFF])
        else:
            out += b"\xf0" + struct.pack("<I", w)
    return bytes(out)


def metadata(width, height, root, depth=1, tenths=0):
    fields = [width >> 6, width & 63, height >> 6, height & 63, root >> 6, root & 63, depth, tenths]
    return [META_BEGIN] + [0x80600 + (i << 6) + v for i, v in enumerate(fields)] + [META_END]


def colour(*levels):
    return [SET_COLOR] + [0x80600 + (c << 6) + v for c, v in enumerate(levels)]


def decoder_corpus() -> None:
    two_by_one, _ = vok.encode_quadtree(bytes([255, 255, 255, 0, 0, 0]), 2, 1, 1, 0.0)
    write("decode_quadtree", "two_by_one", decode_seed(two_by_one))
    for name, (w, h, depth, threshold) in {
        "gradient_depth2": (8, 8, 2, 0.0),
        "gradient_depth6_threshold": (13, 7, 6, 300.0),
        "odd_sides": (5, 3, 3, 0.0),
    }.items():
        words, _ = vok.encode_quadtree(gradient(w, h), w, h, depth, threshold)
        write("decode_quadtree", name, decode_seed(words))
    write("decode_quadtree", "large_root_one_paint",
          decode_seed(metadata(5, 3, 64) + colour(1, 1, 1) + [PAINT]))
    write("decode_quadtree", "foreign_and_high_bits",
          decode_seed([0x41, 0xFFFFFFFF] + [w | 0x10000000 for w in metadata(4, 4, 4, 0)]
                      + [0x00041] + colour(1, 0, 1) + [0x8F501]))
    write("decode_quadtree", "repeat_counts",
          decode_seed(metadata(16, 16, 16, 9) + colour(63, 0, 31) + [0x804C3, PAINT, 0x80583]
                      + [0x8047F] * 4 + [PAINT] + [0x805BF] * 4))
    write("decode_quadtree", "paint_inside_triplet",
          decode_seed(metadata(3, 3, 4, 2) + [PAINT, SET_COLOR, 0x80603, 0x80481, PAINT,
                                              BACKTRACK, 0x80640, 0x80682, PAINT]))
    write("decode_quadtree", "level_outside_palette",
          decode_seed(metadata(2, 2, 2, 1) + colour(2, 0, 0) + [PAINT]))
    write("decode_quadtree", "empty", b"")
    write("decode_quadtree", "two_set_colours", decode_seed(metadata(2, 2, 2) + [SET_COLOR] * 2))
    write("decode_quadtree", "unbalanced",
          decode_seed(metadata(2, 2, 2) + colour(1, 1, 1) + [0x80401, PAINT]))
    write("decode_quadtree", "missing_field",
          decode_seed([w for w in metadata(2, 2, 2) if w & ~63 != 0x806C0]))  # no field 3


if __name__ == "__main__":
    scan_corpus()
    text_corpus()
    encoder_corpus()
    decoder_corpus()
    for directory in sorted(CORPUS.iterdir()):
        print(directory.name, len(list(directory.iterdir())), "seeds")
