"""The main job: scans a mixed stream of code words, encodes a text and scans it,
and round-trips a photograph through the image codec (writing image_roundtrip.png)."""
import os
import sys

import vak_orn_kernel as vk

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import image_roundtrip  # noqa: E402


def build_stream():
    text = [ord(c) for c in "Hello, "]                   # direct text words
    image = [0x80401, 0x80541, 0x80601, 0x80641, 0x80681, 0x80501, 0x80581]
    music = [0x84010, 0x84011, 0x84012]
    taste = [0x80400, 0x90400, 0xA0400, 0xB0400]          # a taste sequence
    mental = [0xC0100, 0xC0101]
    broken = [0x100000]                                   # beyond WORD_MASK
    return text + image + music + [0x20] + taste + mental + broken + image + [ord("!")]


def scan_mixed_stream():
    stream = build_stream()
    result = vk.scan_stream(stream, record_invalid=True)
    names = ["text", "diagram", "music", "voice", "image", "inline", "mental", "touch", "smell",
             "taste"]
    print(f"scanned {len(stream)} words")
    print("counts:")
    for name, count in zip(names, result["counts"]):
        if count:
            print(f"  {name:<7} {count}")
    print("spans (start, length) per segment modality:")
    for name in result["segment_modalities"]:
        flat = memoryview(result[f"{name}_spans_u32le"]).tolist()
        if flat:
            print(f"  {name:<7} {list(zip(flat[::2], flat[1::2]))}")
    print("validation errors:", result["validation_errors"])


def encode_and_scan_text():
    text = "Crème brûlée, 한국어 and 中文 in one line.\n"
    words = vk.encode_text(text)
    result = vk.scan_stream(words)
    direct = sum(1 for w in words if w < 0x40000)
    print(f"\nencode_text: {len(text)} characters -> {len(words)} words "
          f"({direct} direct, {len(words) - direct} byte pairs)")
    print(f"scanned: {result['counts'][0]} text words, {sum(result['counts'][1:])} others")


def main():
    info = vk.backend_info()
    print(f"backend {info['module_name']} {info['module_version']} ({info['allocator']})\n")
    scan_mixed_stream()
    encode_and_scan_text()
    print()
    image_roundtrip.main()


if __name__ == "__main__":
    main()
