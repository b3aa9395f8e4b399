"""scan_stream(list) against reading the list (array.array) and against NumPy."""
import array
import sys

import numpy as np

import vak_orn_kernel as vk
from common import best_time, mixed_stream
from numpy_scan import SEGMENTS, numpy_scan


def check_same(result, reference):
    assert result["counts"] == reference["counts"]
    assert memoryview(result["text_words_u32le"]).tolist() == reference["text"].tolist()
    for name in SEGMENTS:
        assert memoryview(result[f"{name}_words_u32le"]).tolist() == reference[name].tolist()
        assert memoryview(result[f"{name}_spans_u32le"]).tolist() == reference[name + "_spans"].tolist()


def main(n=1_000_000):
    stream = mixed_stream(n)
    check_same(vk.scan_stream(stream), numpy_scan(stream))
    floor = best_time(lambda: array.array("I", stream))
    scan = best_time(lambda: vk.scan_stream(stream))
    numpy = best_time(lambda: numpy_scan(stream), repeat=3)
    print(f"scan_stream(list) on {n:,} mixed words ({sys.version.split()[0]}, numpy {np.__version__})")
    rows = [
        ("array.array('I', lst) (floor)", floor, "1.00"),
        ("scan_stream(lst)", scan, f"{scan / floor:.2f}x floor (goal <= 1.3x)"),
        ("NumPy classification", numpy, f"scan is {numpy / scan:.1f}x faster (goal >= 5x)"),
    ]
    print("| measurement | time (ms) | ratio |")
    print("|---|---|---|")
    for name, seconds, ratio in rows:
        print(f"| {name} | {seconds * 1e3:.1f} | {ratio} |")


if __name__ == "__main__":
    main()
