"""Encode a photograph at a few settings, decode each stream, and compare.

Writes the original and every decoded picture side by side to a PNG and prints
the size of each stream. The photograph comes from the
sample images of scikit-image (`pip install scikit-image`).

Usage: python examples/image_roundtrip.py [output.png]
"""

import struct
import sys
import zlib

import vak_orn_kernel as vk

SETTINGS = [  # (bit depth, threshold)
    (6, 0.0),
    (5, 50.0),
    (3, 200.0),
    (2, 1000.0),
]
GAP = 8  # white pixels between pictures


def load_photo():
    try:
        from skimage import data
    except ImportError:
        sys.exit("this example needs scikit-image: pip install scikit-image")
    pixels = data.astronaut()[::2, ::2, :3]  # 256 x 256 RGB
    height, width = pixels.shape[:2]
    return bytes(pixels.tobytes()), width, height


def write_png(path, rgb, width, height):
    """A minimal truecolour PNG: one IDAT chunk, filter 0 on every row."""
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    stride = width * 3
    raw = b"".join(b"\x00" + rgb[y * stride:(y + 1) * stride] for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def side_by_side(pictures, width, height):
    total = len(pictures) * width + (len(pictures) - 1) * GAP
    rows = []
    for y in range(height):
        parts = [p[y * width * 3:(y + 1) * width * 3] for p in pictures]
        rows.append((b"\xff" * (GAP * 3)).join(parts))
    return b"".join(rows), total


def main():
    out_path = sys.argv[1] if len(sys.argv) > 1 else "image_roundtrip.png"
    photo, width, height = load_photo()
    print(f"photograph: {width} x {height}, {len(photo)} bytes of RGB")
    print(f"{'bit depth':>9} {'threshold':>9} {'words':>8} {'paints':>7} {'bytes/px':>8}  "
          f"mean abs error")
    pictures = [photo]
    for depth, threshold in SETTINGS:
        words, meta = vk.encode_quadtree(photo, width, height, depth, threshold)
        pixels, decoded_meta = vk.decode_quadtree(words)
        assert decoded_meta[:4] == meta[:4]
        error = sum(abs(a - b) for a, b in zip(pixels, photo)) / len(photo)
        paints = sum(1 for w in words if w & 0x3FF == 0x101)
        print(f"{depth:>9} {threshold:>9g} {len(words):>8} {paints:>7} "
              f"{len(words) * 20 / 8 / (width * height):>8.2f}  {error:.1f}")
        pictures.append(pixels)
    image, total_width = side_by_side(pictures, width, height)
    write_png(out_path, image, total_width, height)
    print(f"wrote {out_path}: the original, then the settings above from left to right "
          f"(bytes/px counts 20 bits per word)")


if __name__ == "__main__":
    main()
