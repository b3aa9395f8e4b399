"""A NumPy model of the quadtree image codec: the image codec's test oracle.

The tests use it as an independent second implementation (same words, same
pictures, same messages), and bench/bench_image.py measures the native codec
against it.
Summed-area tables are built with vectorised cumulative sums; the quadtree walk
and the decoder's state machine are plain Python loops.
"""

from __future__ import annotations

import math

import numpy as np

MAX_SIDE = 2048
STREAM_ERROR = "invalid enhanced stream: "


def round_half_even(x: float) -> int:
    """The codec's rounding rule, with the native saturation outside [0, 2**32)."""
    if math.isnan(x) or x < 0:
        return 0
    if x >= 4294967295.5:
        return 0xFFFFFFFF
    f = math.floor(x)
    r = x - f
    if r < 0.5:
        return f
    if r > 0.5:
        return f + 1
    return f + (f % 2)


def palette(bit_depth: int) -> np.ndarray:
    top = (1 << bit_depth) - 1
    return np.array([round_half_even(k / top * 255.0) for k in range(top + 1)], dtype=np.uint8)


def quantise_level(v: float, bit_depth: int) -> int:
    return round_half_even(v / 255.0 * ((1 << bit_depth) - 1))


def root_size(width: int, height: int) -> int:
    side = 1
    while side < max(width, height):
        side <<= 1
    return side


def single_precision(threshold: float) -> float:
    with np.errstate(over="ignore"):
        return float(np.float32(threshold))


def metadata_words(width: int, height: int, root: int, bit_depth: int, tenths: int) -> list[int]:
    w, h, z = min(width, 4095), min(height, 4095), min(root, 4095)
    fields = [w >> 6, w & 63, h >> 6, h & 63, z >> 6, z & 63, bit_depth, tenths & 63]
    return [0x805C0] + [0x80600 + (i << 6) + v for i, v in enumerate(fields)] + [0x805C1]


def summed_area_tables(work: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(S+1) x (S+1) x 3 tables of sums and of squares, row 0 and column 0 zero."""
    side = work.shape[0]
    values = work.astype(np.uint64)
    sums = np.zeros((side + 1, side + 1, 3), dtype=np.uint64)
    squares = np.zeros_like(sums)
    sums[1:, 1:] = values.cumsum(axis=0).cumsum(axis=1)
    squares[1:, 1:] = (values * values).cumsum(axis=0).cumsum(axis=1)
    return sums, squares


def encode(image_data: bytes, width: int, height: int, bit_depth: int, threshold: float):
    if not 1 <= bit_depth <= 6:
        raise ValueError("bit_depth supported range is [1,6]")
    if width * height * 3 >= 1 << 64:
        raise ValueError("image dimensions overflow")
    if len(image_data) != width * height * 3:
        raise ValueError("image data length does not match width*height*3")
    if width > MAX_SIDE or height > MAX_SIDE:
        raise ValueError("image larger than 2048 pixels per side is not supported")

    side = root_size(width, height)
    t = single_precision(threshold)
    tenths = round_half_even(10.0 * t)
    pal = palette(bit_depth)
    byte_to_palette = pal[[quantise_level(float(v), bit_depth) for v in range(256)]]

    work = np.zeros((side, side, 3), dtype=np.uint8)
    pixels = np.frombuffer(bytes(image_data), dtype=np.uint8).reshape(height, width, 3)
    work[:height, :width] = byte_to_palette[pixels]
    sums, squares = summed_area_tables(work)
    # One (S+1) x (S+1) x 6 table: a node needs four corner lookups.
    table = np.concatenate([sums, squares], axis=2)
    del sums, squares

    words = metadata_words(width, height, side, bit_depth, tenths)
    top = (1 << bit_depth) - 1
    last = None
    stack: list = [(0, 0, side)]
    while stack:
        task = stack.pop()
        if isinstance(task, int):
            words.append(task)
            continue
        x, y, s = task
        a = table[y, x].tolist()
        b = table[y, x + s].tolist()
        c = table[y + s, x].tolist()
        d = table[y + s, x + s].tolist()
        totals = [d[i] - (b[i] + c[i]) + a[i] for i in range(6)]
        n = float(s * s)
        mean = [totals[i] / n for i in range(3)]
        var = [totals[i + 3] / n - mean[i] * mean[i] for i in range(3)]
        v = (var[2] + (var[1] + var[0])) / 3.0
        if s == 1 or t >= v:
            levels = tuple(round_half_even(round_half_even(m) / 255.0 * top) for m in mean)
            if levels != last:
                words += [0x80541, 0x80600 + levels[0], 0x80640 + levels[1], 0x80680 + levels[2]]
                last = levels
            words.append(0x80501)
            continue
        h = s // 2
        stack += [0x80581, (x + h, y + h, h), 0x804C1, 0x80581, (x, y + h, h), 0x80481,
                  0x80581, (x + h, y, h), 0x80441, 0x80581, (x, y, h), 0x80401]
    return words, (width, height, side, bit_depth, tenths)


class StreamError(ValueError):
    pass


def _fail(reason: str):
    raise StreamError(STREAM_ERROR + reason)


def decode(words):
    """The enhanced stream decoder, node by node, with a plain list as its stack."""
    phase = 0  # 0 before metadata, 1 in metadata, 2 image
    begins = ends = 0
    fields = [0] * 8
    present = [False] * 8
    image = None
    width = height = root = depth = 0
    pal = None
    stack: list = []
    triplet_open = False
    channel_present = [False] * 3
    levels = [0] * 3
    colour = np.zeros(3, dtype=np.uint8)
    colour_seen = paint_seen = False

    for word in words:
        if word & 0xF0C00 != 0x80400:
            continue
        payload = bool(word & 0x200)
        selector = (word >> 6) & 7
        value = word & 63
        if phase == 0:
            if payload:
                _fail("unexpected data payload")
            if selector != 7:
                _fail("image commands appeared before metadata was complete")
            if value == 0:
                begins += 1
                phase = 1
            elif value == 1:
                _fail("META_END without META_BEGIN")
            else:
                _fail("invalid META command arg")
        elif phase == 1:
            if payload:
                fields[selector] = value
                present[selector] = True
            elif selector != 7:
                _fail("enhanced command encountered while metadata block is open")
            elif value == 0:
                _fail("nested META_BEGIN")
            elif value == 1:
                if not all(present):
                    _fail("missing required metadata fields")
                root = fields[4] * 64 + fields[5]
                if root == 0:
                    _fail("invalid root in metadata")
                width = fields[0] * 64 + fields[1]
                height = fields[2] * 64 + fields[3]
                depth = 1 if fields[6] == 0 else min(fields[6], 6)
                image = np.zeros((height, width, 3), dtype=np.uint8)
                stack = [(0, 0, root)]
                pal = palette(depth)
                ends += 1
                phase = 2
            else:
                _fail("invalid META command arg")
        elif payload:
            if not triplet_open:
                _fail("unexpected data payload")
            if selector >= 3:
                _fail("non-color data outside metadata block")
            if channel_present[selector]:
                _fail("duplicate color channel payload")
            channel_present[selector] = True
            levels[selector] = value
            if all(channel_present):
                if max(levels) >= len(pal):
                    _fail("color level outside palette")
                colour = pal[levels]
                triplet_open = False
        elif selector < 4:
            for _ in range(max(value, 1)):
                x, y, s = stack[-1]
                h = max(s >> 1, 1)
                stack.append((x + (h if selector & 1 else 0), y + (h if selector & 2 else 0), h))
        elif selector == 4:
            paint_seen = True
            x, y, s = stack[-1]
            if x < width and y < height:
                image[y:y + s, x:x + s] = colour
        elif selector == 5:
            if triplet_open:
                _fail("incomplete prior color triplet")
            channel_present = [False] * 3
            levels = [0] * 3
            colour_seen = True
            triplet_open = True
        elif selector == 6:
            for _ in range(max(value, 1)):
                if len(stack) < 2:
                    _fail("backtrack underflow")
                stack.pop()
        elif value == 0:
            _fail("duplicate metadata block")
        elif value == 1:
            _fail("META_END without META_BEGIN")
        else:
            _fail("invalid META command arg")

    if phase == 1:
        _fail("ended with open metadata block")
    if triplet_open:
        _fail("ended with incomplete color triplet")
    if begins != 1 or ends != 1:
        _fail("metadata framing count invalid")
    if len(stack) != 1:
        _fail("ended with unbalanced traversal depth")
    if not (colour_seen and paint_seen):
        _fail("missing required SET_COLOR/PAINT sequence")
    return image.tobytes(), (width, height, root, depth, fields[7])
