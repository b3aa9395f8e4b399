"""Stream builders shared by the image codec tests."""

from __future__ import annotations

META_BEGIN, META_END = 0x805C0, 0x805C1
PAINT, SET_COLOR, BACKTRACK = 0x80501, 0x80541, 0x80581
DESCEND = (0x80401, 0x80441, 0x80481, 0x804C1)
ERR = "invalid enhanced stream: "


def field(index: int, value: int) -> int:
    return 0x80600 + (index << 6) + value


def colour(channel: int, level: int) -> int:
    return 0x80600 + (channel << 6) + level


def metadata(width=2, height=2, root=2, depth=1, tenths=0, skip=()):
    values = [width >> 6, width & 63, height >> 6, height & 63, root >> 6, root & 63, depth, tenths]
    return [META_BEGIN] + [field(i, v) for i, v in enumerate(values) if i not in skip] + [META_END]


def set_colour(l0: int, l1: int, l2: int) -> list[int]:
    return [SET_COLOR, colour(0, l0), colour(1, l1), colour(2, l2)]


def with_arg(command: int, argument: int) -> int:
    """The command word with its 6-bit argument replaced."""
    return (command & ~63) | argument


def quantised(data: bytes, bit_depth: int) -> bytes:
    """Every byte replaced by the palette entry of its level."""
    import image_model  # the NumPy model: the stream builders above work without NumPy

    pal = image_model.palette(bit_depth)
    lut = bytes(int(pal[image_model.quantise_level(float(v), bit_depth)]) for v in range(256))
    return bytes(data).translate(lut)
