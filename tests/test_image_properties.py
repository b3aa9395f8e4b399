"""Properties of the codec over generated images and streams."""

import math

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
pytest.importorskip("hypothesis")
import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import image_model
import vak_orn_kernel as vok
from image_helpers import (BACKTRACK, DESCEND, META_BEGIN, META_END, PAINT, SET_COLOR,
                           quantised)

SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def make_image(width, height, seed, texture):
    rng = np.random.default_rng(seed)
    if texture == "noise":
        pixels = rng.integers(0, 256, (height, width, 3))
    elif texture == "blocks":  # large uniform areas: deep and shallow leaves mixed
        block = int(rng.integers(1, 33))
        coarse = rng.integers(0, 256, (height // block + 1, width // block + 1, 3))
        pixels = coarse.repeat(block, axis=0).repeat(block, axis=1)[:height, :width]
    else:  # smooth gradient with a little noise
        yy, xx = np.mgrid[0:height, 0:width]
        pixels = np.stack([xx * 255 // max(width, 1), yy * 255 // max(height, 1),
                           (xx + yy) % 256], axis=-1) + rng.integers(-3, 4, (height, width, 1))
    return np.clip(pixels, 0, 255).astype(np.uint8).tobytes()


images = st.tuples(st.integers(0, 300), st.integers(0, 300), st.integers(0, 2**32),
                   st.sampled_from(["noise", "blocks", "gradient"]))
small_images = st.tuples(st.integers(0, 48), st.integers(0, 48), st.integers(0, 2**32),
                         st.sampled_from(["noise", "blocks", "gradient"]))
thresholds = st.one_of(st.floats(-10, 20000, allow_nan=False), st.just(math.nan),
                       st.sampled_from([0.0, 0.5, 50.0, 500.0]))


@SETTINGS
@given(images, st.integers(1, 6))
def test_lossless_roundtrip_at_threshold_zero(image, depth):
    width, height, seed, texture = image
    data = make_image(width, height, seed, texture)
    words, meta = vok.encode_quadtree(data, width, height, depth, 0.0)
    pixels, decoded_meta = vok.decode_quadtree(words)
    assert pixels == quantised(data, depth)
    assert decoded_meta == meta


def parse_canonical(words):
    """Checks the canonical shape; returns the number of leaves."""
    assert words[0] == META_BEGIN and words[9] == META_END
    assert [(w >> 6) & 7 for w in words[1:9]] == list(range(8))
    assert all(0x80600 <= w <= 0x807FF for w in words[1:9])
    position = 10
    last = None
    leaves = 0

    def node():
        nonlocal position, last, leaves
        if words[position] == DESCEND[0]:
            for quadrant in range(4):
                assert words[position] == DESCEND[quadrant]
                position += 1
                node()
                assert words[position] == BACKTRACK
                position += 1
            return
        if words[position] == SET_COLOR:
            group = words[position + 1:position + 4]
            assert [w & ~63 for w in group] == [0x80600, 0x80640, 0x80680]
            assert group != last  # written only when the colour changes
            last = group
            position += 4
        assert last is not None  # the first leaf carries a colour group
        assert words[position] == PAINT
        position += 1
        leaves += 1

    node()
    assert position == len(words)
    return leaves


@SETTINGS
@given(images, st.integers(1, 6), thresholds)
def test_streams_are_canonical(image, depth, threshold):
    width, height, seed, texture = image
    data = make_image(width, height, seed, texture)
    words, meta = vok.encode_quadtree(data, width, height, depth, threshold)
    assert words[:10] == image_model.metadata_words(*meta)
    leaves = parse_canonical(words)
    single = image_model.single_precision(threshold)
    if single < 0 or math.isnan(single):  # tiny negatives round to -0.0, which keeps leaves
        assert leaves == meta[2] ** 2
    pixels, _ = vok.decode_quadtree(words)
    assert len(pixels) == width * height * 3


@SETTINGS
@given(small_images, st.integers(1, 6), thresholds)
def test_encoder_agrees_with_the_numpy_model(image, depth, threshold):
    width, height, seed, texture = image
    data = make_image(width, height, seed, texture)
    assert vok.encode_quadtree(data, width, height, depth, threshold) == \
        image_model.encode(data, width, height, depth, threshold)


# ---- Mutations that keep the picture -------------------------------------------------------

def merge_runs(words, rng):
    """Replace runs of one DESCEND or of BACKTRACK by one word with a repeat count."""
    out = []
    for word in words:
        mergeable = word in DESCEND or word == BACKTRACK
        if mergeable and out and (out[-1] & ~63) == (word & ~63) and (out[-1] & 63) < 63 \
                and rng.random() < 0.8:
            out[-1] += 1
        else:
            out.append(word)
    return out


def reorder_colours(words, rng):
    out = list(words)
    for i, word in enumerate(out):
        if word == SET_COLOR and i >= 10:
            group = out[i + 1:i + 4]
            rng.shuffle(group)
            out[i + 1:i + 4] = group
    return out


def reorder_metadata(words, rng):
    fields = words[1:9]
    decoys = [0x80600 + (int(rng.integers(8)) << 6) + int(rng.integers(64)) for _ in range(3)]
    shuffled = list(fields)
    rng.shuffle(shuffled)
    # Decoy values come first; the real value of each field comes last and counts.
    return [META_BEGIN] + decoys + shuffled + fields + [META_END] + words[10:]


def set_high_bits(words, rng):
    return [w | (int(rng.integers(0, 4096)) << 20) | (int(rng.integers(0, 16)) << 12) for w in words]


def insert_foreign(words, rng):
    out = []
    for word in words:
        while rng.random() < 0.3:
            foreign = int(rng.integers(0, 2**32))
            if foreign & 0xF0C00 != 0x80400:
                out.append(foreign)
        out.append(word)
    return out


def paint_arguments(words, rng):
    return [(w & ~63) | int(rng.integers(64)) if w in (PAINT, SET_COLOR) else w for w in words]


MUTATIONS = [merge_runs, reorder_colours, reorder_metadata, set_high_bits, insert_foreign,
             paint_arguments]


@SETTINGS
@given(images, st.integers(1, 6), thresholds, st.integers(0, 2**32),
       st.lists(st.sampled_from(MUTATIONS), min_size=1, max_size=4))
def test_enhanced_variants_decode_to_the_same_picture(image, depth, threshold, seed, mutations):
    width, height, image_seed, texture = image
    data = make_image(width, height, image_seed, texture)
    words, _ = vok.encode_quadtree(data, width, height, depth, threshold)
    expected = vok.decode_quadtree(words)
    rng = np.random.default_rng(seed)
    for mutate in mutations:
        # Metadata reordering keeps META_BEGIN first, so it can run after the others too.
        words = mutate(words, rng) if mutate is not reorder_metadata else \
            reorder_metadata(strip_to_canonical_meta(words), rng)
    assert vok.decode_quadtree(words) == expected


def strip_to_canonical_meta(words):
    """Puts the block's ten words back at the front (after foreign words or high bits)."""
    image_words = [0x80400 | (w & 0x3FF) for w in words if w & 0xF0C00 == 0x80400]
    end = image_words.index(META_END)
    block = image_words[:end + 1]
    last = {}
    for w in block[1:-1]:
        last[(w >> 6) & 7] = w
    return [META_BEGIN] + [last[i] for i in range(8)] + [META_END] + image_words[end + 1:]


# ---- Arbitrary corruption: same outcome as the independent model ---------------------------

def corrupt(words, rng, count):
    out = list(words)
    kinds = [0x80400 + int(rng.integers(0, 0x400)) for _ in range(count)]
    for word in kinds:
        choice = rng.integers(0, 4)
        at = int(rng.integers(0, len(out) + 1))
        if choice == 0:
            out.insert(at, word)
        elif out and choice == 1:
            del out[min(at, len(out) - 1)]
        elif out and choice == 2:
            out[min(at, len(out) - 1)] = word
        else:
            out.insert(at, word | 0x3F)  # repeat counts and levels at their maximum
    return out


def outcome(decode, words):
    try:
        return decode(words)
    except ValueError as error:
        return str(error)


@SETTINGS
@given(small_images, st.integers(1, 6), st.integers(0, 2**32), st.integers(1, 6))
def test_corrupted_streams_match_the_model(image, depth, seed, count):
    width, height, image_seed, texture = image
    data = make_image(width, height, image_seed, texture)
    words, _ = vok.encode_quadtree(data, width, height, depth, 30.0)
    words = corrupt(words, np.random.default_rng(seed), count)
    native = outcome(vok.decode_quadtree, words)
    model = outcome(image_model.decode, words)
    assert native == model
    if isinstance(native, str):
        assert native.startswith("invalid enhanced stream: ")


def random_body(rng, depth_budget):
    """Mostly well-formed image words: moves that usually come back to the root,
    colour groups with levels that may lie outside the palette, and stray words."""
    body = [SET_COLOR, 0x80600, 0x80640, 0x80680] if rng.random() < 0.7 else []
    depth = 0
    for _ in range(int(rng.integers(0, depth_budget))):
        roll = rng.random()
        if roll < 0.3:
            repeat = int(rng.choice([0, 1, 1, 2, 5, 63]))
            depth += max(repeat, 1)
            body.append(0x80400 | int(rng.integers(0, 4)) << 6 | repeat)
        elif roll < 0.5:
            body.append(PAINT | int(rng.integers(0, 64)))
        elif roll < 0.6:
            body += [SET_COLOR] + [0x80600 + (c << 6) + int(rng.integers(0, 8)) for c in range(3)]
        elif roll < 0.8:
            repeat = min(max(depth, 0), int(rng.choice([0, 1, 1, 2, 63]))) if rng.random() < 0.95 else 63
            body.append(0x80580 | repeat)
            depth -= max(repeat, 1)
        elif roll < 0.87:
            body.append(int(rng.integers(0, 2**32)))
        else:
            body.append(0x80400 | int(rng.integers(0, 1024)))
    while depth > 0:
        body.append(0x80580 | min(depth, 63))
        depth -= 63
    return body + [PAINT]


@SETTINGS
@given(st.integers(0, 40), st.integers(0, 40), st.integers(1, 70), st.integers(0, 63),
       st.integers(0, 2**32))
def test_generated_streams_match_the_model(width, height, root, depth, seed):
    values = [width >> 6, width & 63, height >> 6, height & 63, root >> 6, root & 63, depth, 5]
    words = [META_BEGIN] + [0x80600 + (i << 6) + v for i, v in enumerate(values)] + [META_END]
    words += random_body(np.random.default_rng(seed), 80)
    assert outcome(vok.decode_quadtree, words) == outcome(image_model.decode, words)


@pytest.mark.parametrize("depth", range(1, 7))
def test_quantising_a_palette_entry_keeps_its_level(depth):
    # Every palette entry as a 1 x 1 image: its colour group carries the entry's own level.
    for level in range(1 << depth):
        words = [META_BEGIN] + image_model.metadata_words(1, 1, 1, depth, 0)[1:-1] + \
            [META_END, SET_COLOR, 0x80600 + level, 0x80640, 0x80680, PAINT]
        entry = vok.decode_quadtree(words)[0][0]
        encoded = vok.encode_quadtree(bytes([entry, entry, entry]), 1, 1, depth, 0.0)[0]
        assert encoded[10:14] == [SET_COLOR, 0x80600 + level, 0x80640 + level, 0x80680 + level]

