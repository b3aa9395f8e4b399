"""encode_quadtree: exact canonical words, checks, argument handling."""

import math
import os


import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
import numpy as np

import image_model
import vak_orn_kernel as vok
from kernel_paths import ALL_PATHS, PATH_SWITCH, assert_tests_pass_on_path
from image_helpers import DESCEND, META_BEGIN, META_END, PAINT, SET_COLOR, metadata

TWO_BY_ONE_WORDS = [
    0x805C0, 0x80600, 0x80642, 0x80680, 0x806C1, 0x80700, 0x80742, 0x80781, 0x807C0, 0x805C1,
    0x80401, 0x80541, 0x80601, 0x80641, 0x80681, 0x80501, 0x80581,
    0x80441, 0x80541, 0x80600, 0x80640, 0x80680, 0x80501, 0x80581,
    0x80481, 0x80501, 0x80581,
    0x804C1, 0x80501, 0x80581,
]


def single_leaf(width, height, root, depth, tenths, levels):
    return metadata(width, height, root, depth, tenths & 63) + [
        SET_COLOR, 0x80600 + levels[0], 0x80640 + levels[1], 0x80680 + levels[2], PAINT]


def test_two_by_one_example():
    words, meta = vok.encode_quadtree(bytes([255, 255, 255, 0, 0, 0]), 2, 1, 1, 0.0)
    assert words == TWO_BY_ONE_WORDS
    assert meta == (2, 1, 2, 1, 0)


@pytest.mark.parametrize(
    "data, width, height, root, levels",
    [
        (b"", 0, 0, 1, (0, 0, 0)),
        (b"", 0, 5, 8, (0, 0, 0)),
        (b"", 7, 0, 8, (0, 0, 0)),
        (bytes([200, 10, 99]), 1, 1, 1, None),
        (bytes([17, 34, 51]) * 16, 4, 4, 4, None),
        (bytes(7 * 5 * 3), 7, 5, 8, (0, 0, 0)),
        (bytes(300 * 2 * 3), 300, 2, 512, (0, 0, 0)),
    ],
)
@pytest.mark.parametrize("depth", [1, 3, 6])
def test_single_leaf_images_give_fifteen_words(data, width, height, root, levels, depth):
    words, meta = vok.encode_quadtree(data, width, height, depth, 2.5)
    if levels is None:  # uniform image: the levels of its first pixel
        top = (1 << depth) - 1
        levels = [round(round(v) / 255 * top) for v in vok.decode_quadtree(words)[0][:3]]
    assert words == single_leaf(width, height, root, depth, 25, levels)
    assert meta == (width, height, root, depth, 25)


def test_uniform_white_three_by_three_is_split_by_its_margin():
    words, meta = vok.encode_quadtree(b"\xff" * 27, 3, 3, 4, 0.0)
    assert meta[2] == 4
    assert len(words) > 15
    # Quadrant 0 is all white and a leaf; the other three straddle the margin and split.
    assert words.count(PAINT) == 1 + 3 * 4


@pytest.mark.parametrize(
    "threshold, tenths",
    [
        (1.5, 15), (6.4, 64), (2, 20), (0.25, 2), (0.75, 8), (3.25, 32), (3.75, 38),
        (0.125, 1), (0.375, 4), (0.15, 2), (float("nan"), 0), (-1.0, 0), (-0.04, 0),
        (float("-inf"), 0), (float("inf"), 0xFFFFFFFF), (1e300, 0xFFFFFFFF),
        (429496729.0, 4294967296 - 1), (4e8, 4000000000), (True, 10),
    ],
)
def test_threshold_tenths(threshold, tenths):
    words, meta = vok.encode_quadtree(b"", 0, 0, 2, threshold)
    assert meta[4] == tenths
    assert words[8] == 0x807C0 + (tenths & 63)


def test_threshold_accepts_objects_with_float_conversion():
    class Tenth:
        def __float__(self):
            return 0.1

    assert vok.encode_quadtree(b"", 0, 0, 2, Tenth())[1][4] == 1


@pytest.mark.parametrize("threshold", [float("nan"), -1.0, -1e-30, float("-inf")])
def test_nan_and_negative_thresholds_split_down_to_pixels(threshold):
    words, _ = vok.encode_quadtree(bytes(4 * 3 * 3), 4, 3, 2, threshold)
    assert words.count(PAINT) == 16
    assert words.count(SET_COLOR) == 1  # all black: one colour group


def test_threshold_compares_in_single_precision():
    # One white and three black pixels: every channel's variance is 12192.1875, a value
    # that single precision holds exactly.
    data = bytes([255, 255, 255]) + bytes(9)
    variance = 12192.1875

    def paints(threshold):
        return vok.encode_quadtree(data, 2, 2, 1, threshold)[0].count(PAINT)

    assert paints(variance) == 1
    # The largest double below rounds up to the same single-precision value: still a leaf.
    assert paints(math.nextafter(variance, 0)) == 1
    # One single-precision step below splits the root.
    assert paints(variance - 0.001) == 4


def test_large_threshold_makes_the_root_a_leaf():
    data = bytes(range(256)) * 3
    words, _ = vok.encode_quadtree(data[: 16 * 16 * 3], 16, 16, 6, 1e9)
    assert words.count(PAINT) == 1 and words.count(DESCEND[0]) == 0


@pytest.mark.parametrize(
    "args, message",
    [
        ((b"", 0, 0, 0, 0.0), "bit_depth supported range is [1,6]"),
        ((b"", 0, 0, 7, 0.0), "bit_depth supported range is [1,6]"),
        ((b"x", 2**32 - 1, 2**32 - 1, 0, 0.0), "bit_depth supported range is [1,6]"),
        ((b"", 2**32 - 1, 2**32 - 1, 3, 0.0), "image dimensions overflow"),
        ((b"", 2**32 - 1, 2**31, 1, 0.0), "image dimensions overflow"),
        ((b"\0" * 5, 1, 2, 1, 0.0), "image data length does not match width*height*3"),
        ((b"", 1, 1, 1, 0.0), "image data length does not match width*height*3"),
        ((b"", 3000, 1, 1, 0.0), "image data length does not match width*height*3"),
        ((b"", 2**31, 2**31, 1, 0.0), "image data length does not match width*height*3"),
    ],
)
def test_checks_in_order(args, message):
    with pytest.raises(ValueError) as info:
        vok.encode_quadtree(*args)
    assert str(info.value) == message


TOO_LARGE = "image larger than 2048 pixels per side is not supported"


@pytest.mark.parametrize("width, height", [(2049, 1), (1, 2049), (4095, 1), (5000, 1), (0, 2049),
                                           (4096, 0), (2**32 - 1, 0)])
def test_images_above_2048_per_side_are_refused(width, height):
    # Their root of 4096 or more would not fit the 12-bit root field.
    with pytest.raises(ValueError) as info:
        vok.encode_quadtree(bytes(width * height * 3), width, height, 1, 0.0)
    assert str(info.value) == TOO_LARGE


@pytest.mark.parametrize("width, height", [(2048, 1), (1, 2048), (1025, 3), (0, 2048)])
def test_images_up_to_2048_per_side_still_encode(width, height):
    data = bytes((i * 7) & 255 for i in range(width * height * 3))
    words, meta = vok.encode_quadtree(data, width, height, 3, 0.0)
    assert meta[:3] == (width, height, 2048)
    assert words[5:7] == [0x80700 + 32, 0x80740]  # root 2048 = 32 * 64 + 0
    pixels, decoded_meta = vok.decode_quadtree(words)
    assert decoded_meta[:3] == (width, height, 2048)
    assert len(pixels) == len(data)


def test_image_data_sequence_kinds_agree():
    data = bytes([5, 250, 128, 64, 32, 16, 0, 255, 1, 2, 3, 4])
    expected = vok.encode_quadtree(data, 2, 2, 5, 0.0)
    for form in (bytearray(data), list(data), tuple(data), memoryview(data)):
        assert vok.encode_quadtree(form, 2, 2, 5, 0.0) == expected
    assert vok.encode_quadtree(image_data=data, width=2, height=2, bit_depth=5,
                               threshold=0.0) == expected


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(image_data="abc"), TypeError, "argument 'image_data': Can't extract `str` to `Vec`"),
        (dict(image_data={1, 2}), TypeError,
         "argument 'image_data': 'set' object cannot be converted to 'Sequence'"),
        (dict(image_data=[256]), OverflowError, "out of range integral type conversion attempted"),
        (dict(image_data=[-1]), OverflowError, "out of range integral type conversion attempted"),
        (dict(width=-1), OverflowError, "out of range integral type conversion attempted"),
        (dict(width=2**32), OverflowError, "out of range integral type conversion attempted"),
        (dict(height=None), TypeError, "argument 'height': "),
        (dict(bit_depth=256), OverflowError, "out of range integral type conversion attempted"),
        (dict(bit_depth=1.0), TypeError, "argument 'bit_depth': "),
        (dict(threshold="x"), TypeError, "argument 'threshold': "),
        # The first failing conversion decides: image_data before width before threshold.
        (dict(image_data="abc", width=-1), TypeError, "argument 'image_data': "),
        (dict(width=-1, threshold="x"), OverflowError, "out of range"),
        (dict(image_data=[1], bit_depth=9), ValueError, "bit_depth supported range is [1,6]"),
    ],
)
def test_argument_conversion(kwargs, error, message):
    args = dict(image_data=b"", width=0, height=0, bit_depth=1, threshold=0.0) | kwargs
    with pytest.raises(error) as info:
        vok.encode_quadtree(**args)
    assert type(info.value) is error
    assert str(info.value).startswith(message)


def test_metadata_block_opens_every_stream():
    data = bytes(range(60)) + bytes(range(100, 160)) + bytes(range(37))
    data = data[: 13 * 4 * 3]
    words, meta = vok.encode_quadtree(data, 13, 4, 4, 12.3)
    assert meta == (13, 4, 16, 4, 123)
    assert words[:10] == metadata(13, 4, 16, 4, 123 & 63)
    assert META_BEGIN not in words[10:] and META_END not in words[10:]


@pytest.mark.parametrize("side, threshold, paints", [
    # Half the pixels white at every level: each node's variance is exactly 16256.25.
    (2048, 16256.25, 1),
    (64, 16256.0, 64 * 64),
])
def test_checkerboard_variance_is_exact_at_every_level(side, threshold, paints):
    row = (b"\xff" * 3 + b"\x00" * 3) * (side // 2)
    shifted = (b"\x00" * 3 + b"\xff" * 3) * (side // 2)
    words, _ = vok.encode_quadtree((row + shifted) * (side // 2), side, side, 6, threshold)
    assert words.count(PAINT) == paints
    if paints == 1:  # the mean 127.5 rounds to 128, level 32 at depth 6
        assert words[10:] == [SET_COLOR, 0x80600 + 32, 0x80640 + 32, 0x80680 + 32, PAINT]


@pytest.mark.parametrize("side", [2, 16, 32, 256, 512, 2048])
def test_uniform_white_squares_reach_the_largest_totals(side):
    # Every block total at its largest value: a total too wide for its entry would
    # show up as variance and split the root.
    words, meta = vok.encode_quadtree(b"\xff" * (side * side * 3), side, side, 6, 0.0)
    assert words == single_leaf(side, side, side, 6, 0, (63, 63, 63))


@pytest.mark.parametrize("width, height", [(1, 700), (700, 1), (257, 3), (129, 127), (65, 64)])
@pytest.mark.parametrize("threshold", [40.0, 400.0])
def test_shapes_with_margins_agree_with_the_model(width, height, threshold):
    # Blocks on the right and bottom edges hold only their pixels inside the image.
    data = bytes((x * 3 + y * 5 + c * 40 + (x * y) % 7) & 255
                 for y in range(height) for x in range(width) for c in range(3))
    assert vok.encode_quadtree(data, width, height, 5, threshold) == \
        image_model.encode(data, width, height, 5, threshold)


def root_split_value(data, side, depth):
    """The root's (var2 + (var1 + var0)) / 3.0, computed as the split rule does."""
    table = image_model.palette(depth)
    quantised = [int(table[image_model.quantise_level(v, depth)]) for v in data]
    n = float(side * side)
    variances = []
    for c in range(3):
        values = quantised[c::3]
        mean = sum(values) / n
        variances.append(sum(v * v for v in values) / n - mean * mean)
    return (variances[2] + (variances[1] + variances[0])) / 3.0


def single_precision_neighbours(value):
    """The single-precision values at and around `value` (as doubles)."""
    below = float(np.float32(value))
    if below > value:
        below = float(np.nextafter(np.float32(below), np.float32(-np.inf)))
    above = float(np.nextafter(np.float32(below), np.float32(np.inf)))
    return [below, above, float(np.nextafter(np.float32(below), np.float32(-np.inf)))]


@pytest.mark.parametrize("seed", range(40))
def test_root_decision_at_the_threshold_boundary(seed):
    # Thresholds one single-precision step either side of the root's exact split
    # value: the leaf test must compare as t >= total / 3.0 does, bit for bit.
    rng = np.random.default_rng(seed)
    side = int(rng.choice([2, 4, 8]))
    depth = int(rng.integers(1, 7))
    data = rng.integers(0, 256, side * side * 3, dtype=np.uint8).tobytes()
    value = root_split_value(data, side, depth)
    for threshold in single_precision_neighbours(value):
        words, _ = vok.encode_quadtree(data, side, side, depth, threshold)
        root_is_leaf = DESCEND[0] not in words[10:]
        assert root_is_leaf == (threshold >= value)
        assert (words, _) == image_model.encode(data, side, side, depth, threshold)


@pytest.mark.source_checks
def test_split_bound_matches_the_division(tmp_path):
    # The encoder compares a node's variance total with a bound found once per
    # call instead of dividing by 3.0; the probe checks both agree bit for bit.
    import os
    import shutil
    import subprocess

    if shutil.which("g++") is None:
        pytest.skip("g++ is needed to build the native probe")
    here = os.path.dirname(os.path.abspath(__file__))
    src = os.path.join(os.path.dirname(here), "src")
    if not os.path.isdir(src):
        pytest.skip("the sources are not beside the tests")
    exe = str(tmp_path / "split_rule_probe")
    subprocess.run(["g++", "-std=c++20", "-O2", "-I", src,
                    os.path.join(here, "native", "split_rule_probe.cpp"),
                    os.path.join(src, "image", "split_rule.cpp"), "-o", exe], check=True)
    out = subprocess.run([exe], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split()[0] == "checked" and int(out.stdout.split()[1]) > 1_000_000, out.stdout


PORTABLE_CHILD = """
import pickle, sys, vak_orn_kernel as vok
cases = pickle.load(open(sys.argv[1], "rb"))
pickle.dump([vok.encode_quadtree(*case) for case in cases], open(sys.argv[2], "wb"))
"""


def test_vector_block_sums_agree_with_the_portable_ones(tmp_path):
    # The block sums take an AVX2 kernel where the processor has one; a child
    # process told to use the portable code must write the same streams. Widths
    # cover rows too short for the kernel's loads and every remainder of 4.
    import pickle
    import subprocess
    import sys

    rng = np.random.default_rng(7)
    cases = []
    for width in [1, 3, 5, 6, 7, 8, 9, 21, 64, 100, 255, 256, 301]:
        for depth in range(1, 7):
            height = int(rng.integers(1, 70))
            kind = rng.integers(0, 3)
            if kind == 0:
                pixels = rng.integers(0, 256, (height, width, 3))
            else:  # smooth ramps and flat regions, where thresholds keep nodes whole
                ys, xs = np.mgrid[0:height, 0:width]
                pixels = np.stack([(xs * 3 + ys) % 256, (ys * 2) % 256,
                                   np.full_like(xs, 255 * (kind - 1))], axis=-1)
            data = pixels.astype(np.uint8).tobytes()
            for threshold in (0.0, 50.0, 500.0, -1.0):
                cases.append((data, width, height, depth, threshold))
    (tmp_path / "cases").write_bytes(pickle.dumps(cases))
    env = dict(os.environ, **{PATH_SWITCH: "portable"})
    subprocess.run([sys.executable, "-c", PORTABLE_CHILD, str(tmp_path / "cases"),
                    str(tmp_path / "portable")], env=env, check=True, timeout=300)
    portable = pickle.loads((tmp_path / "portable").read_bytes())
    here = [vok.encode_quadtree(*case) for case in cases]
    assert len(here) == len(portable) == len(cases)
    for case, mine, theirs in zip(cases, here, portable):
        assert mine == theirs, case[1:]


@pytest.mark.parametrize("path", ALL_PATHS)
def test_encoder_tests_pass_on_every_path(runnable_paths, path):
    """The block sums have vector kernels: the encoder and photograph tests in a
    child process forced onto each path (the comparison above already runs both)."""
    assert_tests_pass_on_path(
        path, runnable_paths, ["test_image_encoder.py", "test_image_photos.py"],
        deselect="not on_every_path and not vector_block_sums_agree")
