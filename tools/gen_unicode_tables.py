#!/usr/bin/env python3
"""Generates src/text/unicode_tables.cpp: the canonical decomposition mappings
(full, recursive, canonical only) and the canonical combining classes of
Unicode 17.0 as two-level block tables.

Usage: python3 tools/gen_unicode_tables.py [output path]

The data comes from the unicodedata2 package, pinned to 17.0.0. Hangul
syllables are decomposed arithmetically by the encoder and are not tabled.
"""

from __future__ import annotations

import pathlib
import sys

import unicodedata2

UNICODE_VERSION = "17.0.0"
MAX_CODE_POINT = 0x10FFFF
BLOCK_SHIFT = 7
BLOCK_SIZE = 1 << BLOCK_SHIFT
BLOCK_COUNT = (MAX_CODE_POINT + 1) >> BLOCK_SHIFT
HANGUL_FIRST, HANGUL_LAST = 0xAC00, 0xD7A3

# What the Unicode Character Database 17.0 is documented to contain; the data
# wins if it disagrees, but the disagreement is printed.
EXPECTED_DECOMPOSING = 2081
EXPECTED_DECOMPOSITION_CODE_POINTS = 3450
EXPECTED_NONZERO_CLASSES = 968

DEFAULT_OUTPUT = pathlib.Path(__file__).resolve().parent.parent / "src" / "text" / "unicode_tables.cpp"


def scalar_values():
    for cp in range(MAX_CODE_POINT + 1):
        if not 0xD800 <= cp <= 0xDFFF:
            yield cp


def canonical_mappings() -> dict[int, list[int]]:
    mappings = {}
    for cp in scalar_values():
        raw = unicodedata2.decomposition(chr(cp))
        if raw and not raw.startswith("<"):  # "<tag> ..." marks a compatibility mapping
            mappings[cp] = [int(part, 16) for part in raw.split()]
    return mappings


def full_decomposition(cp: int, mappings: dict[int, list[int]]) -> list[int]:
    if cp not in mappings:
        return [cp]
    return [leaf for part in mappings[cp] for leaf in full_decomposition(part, mappings)]


def combining_classes() -> dict[int, int]:
    return {cp: c for cp in scalar_values() if (c := unicodedata2.combining(chr(cp))) != 0}


def two_level(values: list[int]) -> tuple[list[int], list[list[int]]]:
    """Splits a per-code-point list into an index of block numbers and the
    distinct blocks; block 0 is all zeros."""
    blocks: list[tuple[int, ...]] = [tuple([0] * BLOCK_SIZE)]
    numbers = {blocks[0]: 0}
    index = []
    for start in range(0, len(values), BLOCK_SIZE):
        block = tuple(values[start:start + BLOCK_SIZE])
        if block not in numbers:
            numbers[block] = len(blocks)
            blocks.append(block)
        index.append(numbers[block])
    return index, [list(b) for b in blocks]


def c_array(ctype: str, name: str, dims: str, rows: list[str]) -> str:
    return f"const {ctype} {name}{dims} = {{\n" + ",\n".join(rows) + ",\n};\n"


def number_rows(values: list[int], per_row: int, fmt: str) -> list[str]:
    return ["    " + ", ".join(fmt.format(v) for v in values[i:i + per_row])
            for i in range(0, len(values), per_row)]


def block_rows(blocks: list[list[int]], fmt: str) -> list[str]:
    rows = []
    for block in blocks:
        inner = number_rows(block, 16, fmt)
        rows.append("    {\n" + ",\n".join("    " + r for r in inner) + ",\n    }")
    return rows


def main() -> int:
    if unicodedata2.unidata_version != UNICODE_VERSION:
        print(f"unicodedata2 provides Unicode {unicodedata2.unidata_version}, "
              f"expected {UNICODE_VERSION}; refusing to generate", file=sys.stderr)
        return 1
    output = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_OUTPUT

    mappings = canonical_mappings()
    if any(HANGUL_FIRST <= cp <= HANGUL_LAST for cp in mappings):
        print("unexpected tabled Hangul syllable decomposition", file=sys.stderr)
        return 1
    full = {cp: full_decomposition(cp, mappings) for cp in sorted(mappings)}
    classes = combining_classes()

    decomposing = len(full)
    decomposition_code_points = sum(len(d) for d in full.values())
    nonzero_classes = len(classes)
    longest = max(len(d) for d in full.values())
    print(f"Unicode {unicodedata2.unidata_version}: {decomposing} decomposing code points "
          f"besides Hangul, {decomposition_code_points} code points in their full "
          f"decompositions, {nonzero_classes} code points with a non-zero combining class, "
          f"longest decomposition {longest}")
    for what, found, expected in (
            ("decomposing code points", decomposing, EXPECTED_DECOMPOSING),
            ("decomposition code points", decomposition_code_points, EXPECTED_DECOMPOSITION_CODE_POINTS),
            ("non-zero combining classes", nonzero_classes, EXPECTED_NONZERO_CLASSES)):
        if found != expected:
            print(f"note: {what}: the data has {found}, documented {expected}; using the data")

    # Decomposition entries: (offset << 3) | length, 0 meaning "no mapping".
    data: list[int] = []
    entries = [0] * (MAX_CODE_POINT + 1)
    for cp, decomposition in full.items():
        if len(decomposition) > 7 or len(data) >= 1 << 13:
            print("decomposition data no longer fits 16-bit entries", file=sys.stderr)
            return 1
        entries[cp] = (len(data) << 3) | len(decomposition)
        data.extend(decomposition)
    class_values = [0] * (MAX_CODE_POINT + 1)
    for cp, c in classes.items():
        class_values[cp] = c

    decomposition_index, decomposition_blocks = two_level(entries)
    class_index, class_blocks = two_level(class_values)
    if len(decomposition_blocks) > 256 or len(class_blocks) > 256:
        print("too many distinct blocks for 8-bit block numbers", file=sys.stderr)
        return 1

    parts = [
        "// Generated by tools/gen_unicode_tables.py (python3 tools/gen_unicode_tables.py)\n"
        f"// from the Unicode Character Database {unicodedata2.unidata_version}. Do not edit.\n"
        "#include \"text/unicode_tables.hpp\"\n\n"
        "namespace vak::text::tables {\n\n"
        f"static_assert(kBlockShift == {BLOCK_SHIFT});\n"
        f"static_assert(kLongestDecomposition == {longest});\n\n",
        c_array("std::uint8_t", "kCombiningClassIndex", "[kBlockCount]",
                number_rows(class_index, 16, "{}")),
        "\n",
        c_array("std::uint8_t", "kCombiningClassBlocks", f"[{len(class_blocks)}][kBlockSize]",
                block_rows(class_blocks, "{}")),
        "\n",
        c_array("std::uint8_t", "kDecompositionIndex", "[kBlockCount]",
                number_rows(decomposition_index, 16, "{}")),
        "\n",
        c_array("std::uint16_t", "kDecompositionBlocks", f"[{len(decomposition_blocks)}][kBlockSize]",
                block_rows(decomposition_blocks, "{:#x}")),
        "\n",
        c_array("std::uint32_t", "kDecompositionData", f"[{len(data)}]",
                number_rows(data, 8, "{:#07x}")),
        "\n}  // namespace vak::text::tables\n",
    ]
    output.write_text("".join(parts))
    print(f"wrote {output} ({len(class_blocks)} class blocks, "
          f"{len(decomposition_blocks)} decomposition blocks, {len(data)} data entries)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
