"""decode_quadtree: the enhanced grammar, every message, rendering and geometry."""

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")

import image_model
import vak_orn_kernel as vok
from image_helpers import (BACKTRACK, DESCEND, ERR, META_BEGIN, META_END, PAINT, SET_COLOR, colour,
                           field, metadata, set_colour, with_arg)

TWO_BY_ONE_WORDS = vok.encode_quadtree(bytes([255, 255, 255, 0, 0, 0]), 2, 1, 1, 0.0)[0]
META = metadata()  # 2 x 2 image, root 2, depth 1
WHITE = set_colour(1, 1, 1)


def decode_error(words):
    with pytest.raises(ValueError) as info:
        vok.decode_quadtree(words)
    assert type(info.value) is ValueError
    return str(info.value)


def test_two_by_one_example():
    assert vok.decode_quadtree(TWO_BY_ONE_WORDS) == (b"\xff\xff\xff\x00\x00\x00", (2, 1, 2, 1, 0))


@pytest.mark.parametrize(
    "words, reason",
    [
        # Before the metadata block.
        ([0x80600], "unexpected data payload"),
        ([PAINT] + META, "image commands appeared before metadata was complete"),
        ([DESCEND[2]], "image commands appeared before metadata was complete"),
        ([SET_COLOR], "image commands appeared before metadata was complete"),
        ([BACKTRACK], "image commands appeared before metadata was complete"),
        ([META_END], "META_END without META_BEGIN"),
        ([0x805C2], "invalid META command arg"),
        ([0x805FF], "invalid META command arg"),
        # Inside the metadata block.
        ([META_BEGIN, PAINT], "enhanced command encountered while metadata block is open"),
        ([META_BEGIN, field(0, 1), DESCEND[0]],
         "enhanced command encountered while metadata block is open"),
        ([META_BEGIN, field(0, 1), META_BEGIN], "nested META_BEGIN"),
        ([META_BEGIN, 0x805C5], "invalid META command arg"),
        (metadata(skip=(3,)) + WHITE + [PAINT], "missing required metadata fields"),
        (metadata(skip=(7,)) + WHITE + [PAINT], "missing required metadata fields"),
        (metadata(root=0) + WHITE + [PAINT], "invalid root in metadata"),
        # After the metadata block.
        (META + [0x80600], "unexpected data payload"),
        (META + WHITE + [0x80600], "unexpected data payload"),
        (META + [SET_COLOR, 0x806C0], "non-color data outside metadata block"),
        (META + [SET_COLOR, 0x807FF], "non-color data outside metadata block"),
        (META + [SET_COLOR, 0x80600, 0x80600], "duplicate color channel payload"),
        (META + [SET_COLOR, 0x80641, 0x80601, 0x80640], "duplicate color channel payload"),
        (META + [SET_COLOR, SET_COLOR], "incomplete prior color triplet"),
        (META + [SET_COLOR, 0x80600, SET_COLOR], "incomplete prior color triplet"),
        (META + [BACKTRACK], "backtrack underflow"),
        (META + [with_arg(DESCEND[1], 2), with_arg(BACKTRACK, 3)], "backtrack underflow"),
        (META + [META_BEGIN], "duplicate metadata block"),
        (META + [META_END], "META_END without META_BEGIN"),
        (META + [0x805C7], "invalid META command arg"),
        # End of the words, in the order of the end checks.
        ([], "metadata framing count invalid"),
        ([0, 1, 0x00041, 0xFFFFFFFF, 0x80D01, 0x90501], "metadata framing count invalid"),
        (META[:-1], "ended with open metadata block"),
        ([META_BEGIN], "ended with open metadata block"),
        (META + [SET_COLOR, 0x80600, 0x80640], "ended with incomplete color triplet"),
        (META + [DESCEND[0], SET_COLOR, PAINT], "ended with incomplete color triplet"),
        (META + WHITE + [DESCEND[0], PAINT], "ended with unbalanced traversal depth"),
        (META + WHITE + [with_arg(DESCEND[3], 63), PAINT, with_arg(BACKTRACK, 62)],
         "ended with unbalanced traversal depth"),
        (META, "missing required SET_COLOR/PAINT sequence"),
        (META + WHITE, "missing required SET_COLOR/PAINT sequence"),
        (META + [PAINT], "missing required SET_COLOR/PAINT sequence"),
    ],
)
def test_grammar_errors(words, reason):
    assert decode_error(words) == ERR + reason


def test_first_violation_decides():
    assert decode_error(META + [META_END, SET_COLOR, SET_COLOR]) == ERR + "META_END without META_BEGIN"
    assert decode_error(META + [BACKTRACK, 0x805C2]) == ERR + "backtrack underflow"


@pytest.mark.parametrize(
    "depth, levels",
    [(1, (2, 0, 0)), (1, (0, 0, 63)), (2, (0, 4, 0)), (3, (8, 8, 8)), (5, (0, 0, 32)),
     (0, (2, 0, 0)), (5, (63, 63, 63))],
)
def test_colour_level_outside_palette_is_refused(depth, levels):
    # A level without a palette entry is refused at the payload completing the triplet,
    # before the later words would fail for another reason.
    words = metadata(depth=depth) + set_colour(*levels) + [PAINT, SET_COLOR, SET_COLOR]
    assert decode_error(words) == ERR + "color level outside palette"


def test_out_of_palette_level_in_an_unfinished_triplet_is_not_checked():
    words = metadata(depth=1) + [SET_COLOR, colour(0, 40), colour(1, 0), PAINT]
    assert decode_error(words) == ERR + "ended with incomplete color triplet"


@pytest.mark.parametrize("depth_field, depth, top", [(1, 1, 1), (0, 1, 1), (5, 5, 31), (6, 6, 63),
                                                     (7, 6, 63), (9, 6, 63), (63, 6, 63)])
def test_effective_bit_depth_and_top_level(depth_field, depth, top):
    words = metadata(1, 1, 1, depth_field, tenths=42) + set_colour(top, 0, top) + [PAINT]
    assert vok.decode_quadtree(words) == (b"\xff\x00\xff", (1, 1, 1, depth, 42))


@pytest.mark.parametrize(
    "depth, expected",
    [
        (1, [0, 255]),
        (2, [0, 85, 170, 255]),
        (3, [0, 36, 73, 109, 146, 182, 219, 255]),
        (4, [17 * k for k in range(16)]),
    ],
)
def test_palettes(depth, expected):
    decoded = []
    for level in range(1 << depth):
        words = metadata(1, 1, 1, depth) + set_colour(level, level, level) + [PAINT]
        decoded.append(vok.decode_quadtree(words)[0][0])
    assert decoded == expected


@pytest.mark.parametrize("depth, level, entry", [(5, 1, 8), (5, 2, 16), (5, 3, 25), (5, 4, 33),
                                                 (6, 1, 4), (6, 3, 12), (6, 11, 45), (6, 32, 130),
                                                 (6, 63, 255)])
def test_palette_entries(depth, level, entry):
    words = metadata(1, 1, 1, depth) + set_colour(level, 0, 0) + [PAINT]
    assert vok.decode_quadtree(words)[0] == bytes([entry, 0, 0])


def paint_at(*path):
    """Descend along `path` (quadrant, repeat) pairs, paint, and climb back."""
    words = []
    total = 0
    for quadrant, repeat in path:
        words.append(with_arg(DESCEND[quadrant], repeat))
        total += max(repeat, 1)
    words.append(PAINT)
    while total:
        step = min(total, 63)
        words.append(with_arg(BACKTRACK, step))
        total -= step
    return words


def pixels(width, height, *white):
    out = bytearray(width * height * 3)
    for x, y in white:
        out[(y * width + x) * 3:(y * width + x) * 3 + 3] = b"\xff\xff\xff"
    return bytes(out)


@pytest.mark.parametrize(
    "width, height, root, body, white",
    [
        # A root larger than the image is clipped: every pixel of a 5 x 3 image.
        (5, 3, 64, [PAINT], [(x, y) for x in range(5) for y in range(3)]),
        # DESCEND quadrant 0 three times and BACKTRACK three times returns to the root.
        (4, 4, 8, paint_at((0, 3)), [(0, 0)]),
        (8, 8, 8, paint_at((3, 2)), [(6, 6), (7, 6), (6, 7), (7, 7)]),
        (8, 8, 8, paint_at((1, 1), (2, 1), (3, 1)), [(5, 3)]),
        # Argument 0 counts as 1.
        (4, 4, 4, paint_at((3, 0), (0, 0)), [(2, 2)]),
        # Size 5: children of size 2 at offsets 0 and 2; the last row and column belong to none.
        (5, 5, 5, paint_at((0, 1)) + paint_at((1, 1)) + paint_at((2, 1)) + paint_at((3, 1)),
         [(x, y) for x in range(4) for y in range(4)]),
        # Size 1: children of size 1 one pixel right or below.
        (3, 3, 1, paint_at((3, 2)), [(2, 2)]),
        (3, 3, 1, paint_at((1, 1), (0, 40), (2, 1)), [(1, 1)]),
        (3, 1, 1, paint_at((0, 63), (1, 63)), []),
        (3, 1, 2, paint_at((1, 1), (1, 1)) + paint_at((1, 1), (0, 9)), [(1, 0), (2, 0)]),
        # Nodes past the edge paint nothing.
        (2, 1, 2, paint_at((2, 1)) + paint_at((3, 1)), []),
        (4, 4, 4, paint_at((1, 5)) + paint_at((2, 63), (1, 63)) + paint_at((1, 2)), [(3, 0)]),
    ],
)
def test_paint_geometry(width, height, root, body, white):
    words = metadata(width, height, root, 1) + set_colour(0, 0, 0) + [PAINT] + WHITE + body
    assert vok.decode_quadtree(words)[0] == pixels(width, height, *white)


def test_paint_before_colour_is_black_and_later_paints_overwrite():
    meta = metadata(2, 1, 2, 2)
    words = meta + [PAINT] + set_colour(3, 0, 0) + paint_at((1, 1))
    assert vok.decode_quadtree(words)[0] == b"\x00\x00\x00\xff\x00\x00"
    words = meta + set_colour(3, 3, 3) + [PAINT] + set_colour(1, 2, 0) + paint_at((0, 1))
    assert vok.decode_quadtree(words)[0] == bytes([85, 170, 0, 255, 255, 255])


def test_paint_inside_an_open_triplet_uses_the_last_completed_colour():
    words = metadata(2, 1, 2, 1) + WHITE + [SET_COLOR, colour(2, 0), PAINT, colour(0, 0),
                                            with_arg(DESCEND[1], 1), PAINT, colour(1, 0),
                                            BACKTRACK, PAINT]
    # The last PAINT comes after the triplet completed in black.
    assert vok.decode_quadtree(words)[0] == bytes(6)
    words = words[:-1] + [with_arg(DESCEND[0], 1), PAINT, BACKTRACK]
    assert vok.decode_quadtree(words)[0] == bytes(3) + b"\xff\xff\xff"


def test_foreign_words_and_high_bits_change_nothing():
    foreign = [0x00041, 0xFFFFFFFF, 0x80D01, 0x90501, 0x7FFFF, 0x80000]
    expected = vok.decode_quadtree(TWO_BY_ONE_WORDS)
    mixed = []
    for i, word in enumerate(TWO_BY_ONE_WORDS):
        mixed += [foreign[i % len(foreign)], word | (0xABC00000 if i % 2 else 0xF000)]
    assert vok.decode_quadtree(mixed + foreign) == expected


def test_metadata_fields_in_any_order_and_repeated():
    words = [META_BEGIN, field(7, 9), field(6, 1), field(0, 63), field(5, 2), field(4, 0),
             field(3, 1), field(2, 0), field(1, 2), field(0, 0), field(7, 33), META_END]
    assert vok.decode_quadtree(words + WHITE + [PAINT]) == (b"\xff" * 6, (2, 1, 2, 1, 33))


def test_empty_image_decodes_to_empty_bytes():
    assert vok.decode_quadtree(metadata(0, 7, 1, 3) + WHITE + [PAINT]) == (b"", (0, 7, 1, 3, 0))


def test_largest_metadata_values():
    words = metadata(4095, 1, 4095, 6, 63) + set_colour(63, 0, 0) + [PAINT]
    image, meta = vok.decode_quadtree(words)
    assert meta == (4095, 1, 4095, 6, 63)
    assert image == b"\xff\x00\x00" * 4095


@pytest.mark.parametrize(
    "words, error, message",
    [
        ([1.5], TypeError, "argument 'words': "),
        ("abc", TypeError, "argument 'words': Can't extract `str` to `Vec`"),
        (iter([1]), TypeError, "argument 'words': 'list_iterator' object cannot be converted"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([2**32], OverflowError, "out of range integral type conversion attempted"),
        ([2**64], OverflowError, "Python int too large"),
        (b"\x01\x02", ValueError, ERR + "metadata framing count invalid"),
        (range(3), ValueError, ERR + "metadata framing count invalid"),
    ],
)
def test_argument_conversion(words, error, message):
    with pytest.raises(error) as info:
        vok.decode_quadtree(words)
    assert type(info.value) is error
    assert str(info.value).startswith(message)


def test_words_bind_by_keyword():
    assert vok.decode_quadtree(words=TWO_BY_ONE_WORDS)[1] == (2, 1, 2, 1, 0)


def model_outcome(decode, words):
    try:
        return decode(words)
    except ValueError as error:
        return str(error)


GROUP_VARIANTS = {
    "group": set_colour(1, 2, 3) + [PAINT],
    "outside the palette": set_colour(1, 2, 60) + [PAINT],
    "foreign word inside": [SET_COLOR, colour(0, 1), 0x00041, colour(1, 2), colour(2, 3), PAINT],
    "reordered": [SET_COLOR, colour(1, 2), colour(0, 1), colour(2, 3), PAINT],
    "cut short": [SET_COLOR, colour(0, 1), colour(1, 2)],
}


@pytest.mark.parametrize("variant", GROUP_VARIANTS)
@pytest.mark.parametrize("before_boundary", range(0, 5))
def test_colour_groups_around_a_block_boundary(variant, before_boundary):
    # The decoder reads the words after the metadata block in blocks of 65536 and
    # takes a whole colour group in one step only inside a block: a group cut by a
    # block boundary is read payload by payload, with the same outcome.
    padding = [0x00041] * (65536 - before_boundary)
    words = metadata(3, 2, 4, 5) + padding + GROUP_VARIANTS[variant]
    assert model_outcome(vok.decode_quadtree, words) == model_outcome(image_model.decode, words)


LEAF_VARIANTS = {
    "plain": [DESCEND[3], PAINT, BACKTRACK],
    "coloured": [DESCEND[1]] + set_colour(1, 2, 3) + [PAINT, BACKTRACK],
    "outside the palette": [DESCEND[2]] + set_colour(1, 40, 3) + [PAINT, BACKTRACK],
    "triplet open before it": [SET_COLOR, colour(0, 1), DESCEND[0]] + set_colour(1, 2, 3)
                              + [PAINT, BACKTRACK],
    "payload of an open triplet": [SET_COLOR, colour(0, 1), DESCEND[0], colour(2, 3), PAINT,
                                   BACKTRACK, colour(1, 2)],
    "repeat count 2": [with_arg(DESCEND[3], 2), PAINT, with_arg(BACKTRACK, 2)],
    "left one level down": [DESCEND[1], PAINT],
    "size 1 stepping out": [DESCEND[3], DESCEND[3], DESCEND[1], PAINT, BACKTRACK, BACKTRACK,
                            BACKTRACK],
}


@pytest.mark.parametrize("variant", LEAF_VARIANTS)
@pytest.mark.parametrize("before_boundary", range(0, 8))
def test_leaves_around_a_block_boundary(variant, before_boundary):
    # A leaf as the encoder writes it (DESCEND, an optional colour group, PAINT,
    # BACKTRACK) is taken in one step when it lies inside a block of 65536 words;
    # leaves cut by a block boundary, and near misses, are read word by word with
    # the same outcome.
    padding = [0x00041] * (65536 - before_boundary)
    words = metadata(3, 3, 4, 5) + set_colour(7, 8, 9) + [PAINT] + padding + LEAF_VARIANTS[variant]
    assert model_outcome(vok.decode_quadtree, words) == model_outcome(image_model.decode, words)
