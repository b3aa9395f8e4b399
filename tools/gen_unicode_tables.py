#!/usr/bin/env python3
"""Generates the Unicode 17.0 data of the text encoder and of its fuzzer's model.

src/text/unicode_tables.cpp (linked into the module): the encoder's quick-check
table, one property per code point (plain starter, non-starter with its class,
direct character, Hangul syllable, or the number of a decomposition record
holding the full canonical decomposition's UTF-8 and classes), plus
compile-time checks that the encoder's output bound per UTF-8 lead byte covers
every character.

fuzz/nfd_reference_tables.cpp (linked only into the text fuzzer): every
non-zero canonical combining class, and every code point's NFD as
unicodedata2's own normaliser gives it, as sorted lists. None of it passes
through the code that makes the encoder's records, so a fault there shows as a
difference between the encoder and the fuzzer's model.

Usage: python3 tools/gen_unicode_tables.py [output directory]
(by default each file goes to its place in the repository).

The data comes from the unicodedata2 package, pinned to 17.0.0. Hangul
syllables are decomposed arithmetically by the encoder and the fuzzer and are
not tabled.
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

ROOT = pathlib.Path(__file__).resolve().parent.parent
TABLES_PATH = ROOT / "src" / "text" / "unicode_tables.cpp"
REFERENCE_PATH = ROOT / "fuzz" / "nfd_reference_tables.cpp"
# The longest decomposition the fuzzer's reference entries hold (fuzz/nfd_reference.hpp).
REFERENCE_PARTS = 4


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


DIRECT = frozenset([0x09, 0x0A, 0x0D, *range(0x20, 0x7F), 0xC6, 0xE6, 0xD8, 0xF8, 0xDF, 0x152, 0x153])

# Quick-check properties; they match the constants in src/text/unicode_tables.hpp.
PROPERTY_PLAIN = 0
PROPERTY_DIRECT = 0x100
PROPERTY_HANGUL = 0x101
PROPERTY_RECORD = 0x200
MAX_RECORD_BYTES = 16


def utf8(cp: int) -> bytes:
    return chr(cp).encode("utf-8", "surrogatepass")


def words_of(decomposition: list[int]) -> int:
    """Most words the code points can add to the output: one per direct
    character, and half the bytes (rounded up) of every stretch between them."""
    words, pending = 0, 0
    for part in decomposition:
        if part in DIRECT:
            words += 1 + (pending + 1) // 2
            pending = 0
        else:
            pending += len(utf8(part))
    return words + (pending + 1) // 2


def decomposition_record(parts: list[int], classes: dict[int, int]) -> str:
    encoded = b"".join(utf8(p) for p in parts)
    part_classes = [classes.get(p, 0) for p in parts]
    starter = part_classes[0] == 0
    marks = part_classes[1:] if starter else part_classes
    simple = starter and all(c != 0 for c in marks) and marks == sorted(marks)
    starter_word = parts[0] if starter and parts[0] in DIRECT else 0
    padded = list(encoded) + [0] * (MAX_RECORD_BYTES - len(encoded))
    fields = [
        "{" + ", ".join(f"{b:#04x}" for b in padded) + "}",
        str(len(encoded)),
        str(len(parts)),
        str(len(utf8(parts[0])) if starter else 0),
        str(part_classes[-1]),
        "true" if simple else "false",
        f"{starter_word:#x}",
        "{" + ", ".join(str(c) for c in part_classes + [0] * (4 - len(parts))) + "}",
        "{" + ", ".join(str(len(utf8(p))) for p in parts) + ", 0" * (4 - len(parts)) + "}",
    ]
    return "    {" + ", ".join(fields) + "}"


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


def reference_tables(classes: dict[int, int]) -> str | None:
    """The fuzzer's model data: straight from unicodedata2, sorted by code point."""
    class_rows = [f"    {{{cp:#07x}, {c}}}" for cp, c in sorted(classes.items())]
    decomposition_rows = []
    for cp in scalar_values():
        if HANGUL_FIRST <= cp <= HANGUL_LAST:
            continue
        nfd = [ord(ch) for ch in unicodedata2.normalize("NFD", chr(cp))]
        if nfd == [cp]:
            continue
        if len(nfd) > REFERENCE_PARTS:
            print("an NFD no longer fits the fuzzer's reference entries", file=sys.stderr)
            return None
        padded = nfd + [0] * (REFERENCE_PARTS - len(nfd))
        decomposition_rows.append(
            f"    {{{cp:#07x}, {len(nfd)}, {{" + ", ".join(f"{p:#07x}" for p in padded) + "}}")
    return (
        "// Generated by tools/gen_unicode_tables.py (python3 tools/gen_unicode_tables.py)\n"
        f"// from the Unicode Character Database {unicodedata2.unidata_version}. Do not edit.\n"
        "#include \"nfd_reference.hpp\"\n\n"
        "namespace nfd_reference {\n\n"
        f"static_assert(kLongestDecomposition == {REFERENCE_PARTS});\n\n"
        + c_array("ClassEntry", "kCombiningClasses", "[]", class_rows)
        + f"const std::size_t kCombiningClassCount = {len(class_rows)};\n\n"
        + c_array("DecompositionEntry", "kDecompositions", "[]", decomposition_rows)
        + f"const std::size_t kDecompositionCount = {len(decomposition_rows)};\n"
        "\n}  // namespace nfd_reference\n"
    )


def main() -> int:
    if unicodedata2.unidata_version != UNICODE_VERSION:
        print(f"unicodedata2 provides Unicode {unicodedata2.unidata_version}, "
              f"expected {UNICODE_VERSION}; refusing to generate", file=sys.stderr)
        return 1
    tables_path, reference_path = TABLES_PATH, REFERENCE_PATH
    if len(sys.argv) > 1:
        directory = pathlib.Path(sys.argv[1])
        tables_path, reference_path = directory / TABLES_PATH.name, directory / REFERENCE_PATH.name

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

    # The quick-check property of every code point, and one record per decomposition.
    records: list[str] = []
    properties = [PROPERTY_PLAIN] * (MAX_CODE_POINT + 1)
    for cp in scalar_values():
        if cp in DIRECT:
            properties[cp] = PROPERTY_DIRECT
        elif HANGUL_FIRST <= cp <= HANGUL_LAST:
            properties[cp] = PROPERTY_HANGUL
        elif cp in full:
            if len(b"".join(utf8(p) for p in full[cp])) > MAX_RECORD_BYTES:
                print("a decomposition no longer fits its record", file=sys.stderr)
                return 1
            properties[cp] = PROPERTY_RECORD + len(records)
            records.append(decomposition_record(full[cp], classes))
        elif cp in classes:
            properties[cp] = classes[cp]
    if PROPERTY_RECORD + len(records) > 0xFFFF:
        print("too many decomposition records for 16-bit properties", file=sys.stderr)
        return 1

    # The most words one character adds, per UTF-8 lead byte; the encoder sizes
    # its output by a bound per lead byte, checked against these at compile time.
    lead_words: dict[int, int] = {}
    for cp in scalar_values():
        if cp < 0x80:
            continue
        decomposition = [cp]
        if HANGUL_FIRST <= cp <= HANGUL_LAST:
            s_index = cp - HANGUL_FIRST
            decomposition = [0x1100 + s_index // 588, 0x1161 + (s_index % 588) // 28]
            if s_index % 28:
                decomposition.append(0x11A7 + s_index % 28)
        elif cp in full:
            decomposition = full[cp]
        lead = utf8(cp)[0]
        lead_words[lead] = max(lead_words.get(lead, 0), words_of(decomposition))
    bound_checks = "".join(f"static_assert(lead_word_bound({lead:#04x}) >= {words});\n"
                           for lead, words in sorted(lead_words.items()))

    property_index, property_blocks = two_level(properties)
    if len(property_blocks) > 256:
        print("too many distinct blocks for 8-bit block numbers", file=sys.stderr)
        return 1

    parts = [
        "// Generated by tools/gen_unicode_tables.py (python3 tools/gen_unicode_tables.py)\n"
        f"// from the Unicode Character Database {unicodedata2.unidata_version}. Do not edit.\n"
        "#include \"text/unicode_tables.hpp\"\n\n"
        "#include \"text/output_units.hpp\"\n\n"
        "namespace vak::text::tables {\n\n"
        f"static_assert(kBlockShift == {BLOCK_SHIFT});\n"
        f"static_assert(kLongestDecomposition == {longest});\n"
        f"static_assert(kRecordBytes == {MAX_RECORD_BYTES});\n\n"
        "// Every character's words fit the output bound of its lead byte.\n",
        bound_checks,
        "\n",
        c_array("std::uint8_t", "kPropertyIndex", "[kBlockCount]",
                number_rows(property_index, 16, "{}")),
        "\n",
        c_array("std::uint16_t", "kPropertyBlocks", f"[{len(property_blocks)}][kBlockSize]",
                block_rows(property_blocks, "{:#x}")),
        "\n",
        c_array("DecompositionRecord", "kDecompositionRecords", f"[{len(records)}]", records),
        "\n}  // namespace vak::text::tables\n",
    ]
    tables_path.write_text("".join(parts))
    print(f"wrote {tables_path} ({len(property_blocks)} property blocks, "
          f"{len(records)} decomposition records)")

    reference = reference_tables(classes)
    if reference is None:
        return 1
    reference_path.write_text(reference)
    print(f"wrote {reference_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
