"""decode_quadtree on streams that paint the same pixels again and again.

The decoder paints directly only while the painted areas add up to at most twice
the image's area; later paints are listed and rendered last paint first, each
pixel once. Whatever the path, the picture must be exactly that of painting every
node in stream order, which `render_plainly` below does on small images.
"""

import random

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import image_model
import vak_orn_kernel as vok
from image_helpers import (BACKTRACK, DESCEND, ERR, PAINT, SET_COLOR, colour, metadata,
                           set_colour, with_arg)

SETTINGS = settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def render_plainly(width, height, root, depth, body):
    """Forward painting of a valid stream body: every PAINT fills its clipped node at once."""
    top = (1 << depth) - 1
    palette = [round(k / top * 255) for k in range(top + 1)]
    image = bytearray(width * height * 3)
    stack = [(0, 0, root)]
    current = (0, 0, 0)
    pending = None  # the levels of an open colour triplet
    for word in body:
        if word & 0xF0C00 != 0x80400:
            continue
        selector, value = (word >> 6) & 7, word & 63
        if word & 0x200:  # a colour payload
            pending[selector] = value
            if None not in pending:
                current = tuple(palette[level] for level in pending)
                pending = None
        elif selector < 4:  # DESCEND
            for _ in range(max(value, 1)):
                x, y, size = stack[-1]
                half = max(size >> 1, 1)
                stack.append((x + half * (selector & 1), y + half * (selector >> 1), half))
        elif selector == 4:  # PAINT
            x, y, size = stack[-1]
            if x < width and y < height:
                right, bottom = min(x + size, width), min(y + size, height)
                for row in range(y, bottom):
                    start = (row * width + x) * 3
                    image[start:start + (right - x) * 3] = bytes(current) * (right - x)
        elif selector == 5:  # SET_COLOR
            pending = [None, None, None]
        elif selector == 6:  # BACKTRACK
            del stack[-max(value, 1):]
    return bytes(image)


def paint_heavy_body(rng, steps, depth, colour_first):
    """A valid stream body with many overlapping and repeated paints: paints at the
    root and deep down, repeat counts that walk size-1 nodes out of their parents
    and off the image, colour payloads in any order with paints and moves between
    them, paints before any colour (unless `colour_first`), and foreign words."""
    levels = 1 << depth
    body = set_colour(*(rng.randrange(levels) for _ in range(3))) if colour_first else []
    down = 0  # levels below the root
    missing = None  # channels still to come in an open triplet

    def climb(levels_up):
        nonlocal down
        while levels_up > 0:
            step = min(levels_up, 63)
            body.append(with_arg(BACKTRACK, step if step > 1 or rng.random() < 0.5 else 0))
            levels_up -= step
            down -= step

    for _ in range(steps):
        roll = rng.random()
        if roll < 0.30:
            body.append(with_arg(PAINT, rng.randrange(64)))
        elif roll < 0.45:
            repeat = rng.choice([0, 1, 1, 1, 2, 3, 7, 63])
            body.append(with_arg(DESCEND[rng.randrange(4)], repeat))
            down += max(repeat, 1)
        elif roll < 0.55:
            climb(min(down, rng.choice([1, 1, 2, 5, 63])))
        elif roll < 0.62:
            climb(down)
            body.append(PAINT)  # the root again
        elif roll < 0.80:
            if missing is None:
                body.append(with_arg(SET_COLOR, rng.randrange(64)))
                missing = [0, 1, 2]
                rng.shuffle(missing)
            else:
                body.append(colour(missing.pop(), rng.randrange(levels)))
                if not missing:
                    missing = None
        elif roll < 0.85:
            foreign = rng.getrandbits(32) & ~0x400  # bit 10 clear: never an image word
            body.append(rng.choice([0x00041, 0xFFFFFFFF, 0x80D01, 0x90501, foreign]))
        else:
            body.append(PAINT)
    while missing:
        body.append(colour(missing.pop(), rng.randrange(levels)))
    climb(down)
    if SET_COLOR not in [w & ~63 for w in body]:
        body += set_colour(*(rng.randrange(levels) for _ in range(3)))
    return body + [PAINT]


sizes = st.integers(1, 24)
roots = st.one_of(st.integers(1, 40), st.sampled_from([64, 100, 4095]))


@SETTINGS
@given(sizes, sizes, roots, st.integers(1, 6), st.integers(0, 2**32), st.integers(0, 400),
       st.booleans())
def test_paint_heavy_streams_match_forward_painting(width, height, root, depth, seed, steps,
                                                    colour_first):
    rng = random.Random(seed)
    body = paint_heavy_body(rng, steps, depth, colour_first)
    words = metadata(width, height, root, depth, 17) + body
    assert vok.decode_quadtree(words) == (render_plainly(width, height, root, depth, body),
                                          (width, height, root, depth, 17))


@SETTINGS
@given(st.integers(1, 16), st.integers(1, 16), roots, st.integers(1, 6), st.integers(0, 2**32))
def test_corrupted_paint_heavy_streams_match_the_model(width, height, root, depth, seed):
    # Errors are found in the grammar pass at the same word as ever, whatever the
    # paints before them: the outcome is that of the independent NumPy model.
    rng = random.Random(seed)
    words = metadata(width, height, root, depth) + paint_heavy_body(rng, 150, depth, True)
    for _ in range(rng.randrange(1, 4)):
        at = rng.randrange(10, len(words) + 1)
        words.insert(at, 0x80400 + rng.randrange(0x400))

    def outcome(decode):
        try:
            return decode(words)
        except ValueError as error:
            return str(error)

    assert outcome(vok.decode_quadtree) == outcome(image_model.decode)


WHITE, RED, GREEN, BLUE = set_colour(1, 1, 1), set_colour(1, 0, 0), set_colour(0, 1, 0), \
    set_colour(0, 0, 1)
# The root painted twice uses up the direct budget: the paints after it are listed.
OVER_BUDGET = WHITE + [PAINT, PAINT]
QUADRANT_3 = [DESCEND[3]] + BLUE + [PAINT, BACKTRACK]
ITS_QUADRANT_0 = [DESCEND[3], DESCEND[0]] + GREEN + [PAINT, with_arg(BACKTRACK, 2)]


def every_pixel_three_times():
    body = []
    for sweep in range(3):
        for y in range(8):
            for x in range(8):
                body += set_colour((x + sweep) % 2, y % 2, sweep % 2)
                body += [DESCEND[(x >> b & 1) | (y >> b & 1) << 1] for b in (2, 1, 0)]
                body += [PAINT, with_arg(BACKTRACK, 3)]
    return body


@pytest.mark.parametrize("width, height, root, body, probes", [
    # A listed paint inside a later one is dropped; one containing a later one is not.
    (8, 7, 8, OVER_BUDGET + ITS_QUADRANT_0 + QUADRANT_3, {(5, 5): (0, 0, 255)}),
    (8, 7, 8, OVER_BUDGET + QUADRANT_3 + ITS_QUADRANT_0, {(5, 5): (0, 255, 0), (7, 6): (0, 0, 255)}),
    # 4 + 16 of 32 pixels are painted directly, the root's second PAINT is listed, and
    # so must be the smaller paint after it, which would fit the budget.
    (4, 4, 4, [DESCEND[0]] + WHITE + [PAINT, BACKTRACK] + RED + [PAINT, PAINT] + QUADRANT_3,
     {(0, 0): (255, 0, 0), (3, 3): (0, 0, 255)}),
    # Clipped to 2 x 32, the root and its quadrant 0 differ only in their bottom edge.
    (2, 32, 32, OVER_BUDGET + RED + [PAINT, DESCEND[0]] + GREEN + [PAINT, BACKTRACK],
     {(1, 15): (0, 255, 0), (1, 16): (255, 0, 0)}),
    # Size-1 nodes step right (quadrant 1) or down (2) out of their parent and off the image.
    (3, 2, 1, WHITE + [PAINT] * 20 + RED + [DESCEND[1], PAINT, DESCEND[2], PAINT,
                                             with_arg(DESCEND[1], 5), PAINT, with_arg(BACKTRACK, 7)]
     + GREEN + [DESCEND[3], PAINT, with_arg(DESCEND[3], 9), PAINT, with_arg(BACKTRACK, 10),
                with_arg(DESCEND[2], 2), PAINT, with_arg(BACKTRACK, 2)],
     {(0, 0): (255, 255, 255), (1, 0): (255, 0, 0), (1, 1): (0, 255, 0), (2, 1): (0, 0, 0)}),
    # Listed paints outside the image change nothing; (2, 2, 2) has one pixel inside.
    (3, 3, 4, OVER_BUDGET + [PAINT] + RED + [with_arg(DESCEND[1], 3), PAINT, with_arg(BACKTRACK, 3),
                                             DESCEND[3], PAINT, BACKTRACK],
     {(0, 0): (255, 255, 255), (2, 1): (255, 255, 255), (2, 2): (255, 0, 0)}),
    (8, 8, 8, every_pixel_three_times(), {(0, 0): (0, 0, 0), (7, 7): (255, 255, 0)}),
    (0, 9, 16, OVER_BUDGET + [DESCEND[1], PAINT, BACKTRACK] * 9, {}),
], ids=["nested, inner first", "nested, outer first", "small after listed", "three sides shared",
        "size-1 nodes", "outside", "every pixel", "empty image"])
def test_listed_paints(width, height, root, body, probes):
    image = vok.decode_quadtree(metadata(width, height, root, 1) + body)[0]
    assert image == render_plainly(width, height, root, 1, body)
    for (x, y), rgb in probes.items():
        assert image[(y * width + x) * 3:(y * width + x) * 3 + 3] == bytes(rgb)


@pytest.mark.parametrize("violation, reason", [
    ([BACKTRACK], "backtrack underflow"),
    ([SET_COLOR, SET_COLOR], "incomplete prior color triplet"),
    ([0x805C0], "duplicate metadata block"),
    ([SET_COLOR, colour(2, 1), colour(2, 0)], "duplicate color channel payload"),
    ([SET_COLOR, colour(0, 1)], "ended with incomplete color triplet"),
    ([DESCEND[1]], "ended with unbalanced traversal depth"),
])
def test_errors_after_many_paints(violation, reason):
    words = metadata(64, 64, 64, 1)
    for i in range(100):
        words += set_colour(i % 2, 0, 1) + [PAINT, DESCEND[i % 4], PAINT, BACKTRACK]
    if not reason.startswith("ended"):  # the first violation decides, whatever follows
        violation = violation + [BACKTRACK, SET_COLOR, SET_COLOR]
    with pytest.raises(ValueError) as info:
        vok.decode_quadtree(words + violation)
    assert str(info.value) == ERR + reason

