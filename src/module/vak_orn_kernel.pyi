"""Native back end for streams of 20-bit code words: scanning, text and image encoding.

Words are unsigned 32-bit integers whose low 20 bits (``WORD_MASK``) carry the code.
Calls copy their inputs and never return a partial result (``MemoryError`` when
memory runs out).
"""

import sys
from collections.abc import Iterable, Sequence
from typing import (
    Final,
    Literal,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    final,
    type_check_only,
)

# Stubs are read by type checkers only: nothing here is imported at run time.
if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__all__ = [
    "__version__",
    "WORD_MASK",
    "NativeBuffer",
    "configure_normal_words",
    "backend_info",
    "encode_text",
    "encode_quadtree",
    "decode_quadtree",
    "scan_stream",
    "scan_stream_batch",
]

__version__: Final[str]
WORD_MASK: Final = 1048575
"""0xFFFFF: the bits of a word that carry its code; larger values are not words."""

@final
class NativeBuffer:
    """A scan payload: read-only little-endian unsigned 32-bit values (format "I").

    Read it with ``memoryview(buf)`` (a sequence of ints that every function here
    accepts), ``bytes(buf)`` or ``numpy.frombuffer(buf, numpy.uint32)`` (type checkers
    on Python 3.11 want ``memoryview(buf)`` there). It is not a sequence itself,
    cannot be iterated or pickled, and Python cannot construct it.
    """

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

@type_check_only
class _IntegerBuffer(Buffer, Protocol):
    # A one-dimensional integer buffer with item access (array.array, memoryview,
    # bytes, mmap, a NumPy array from Python 3.12 on): the module reads the buffer
    # whole, and requires item access of every sequence. A NativeBuffer has none.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...

@type_check_only
class _IntegerArray(Protocol):
    # A NumPy array on every Python version: NumPy declares its __buffer__ only
    # from Python 3.12 on, and __array__ on all of them.
    def __array__(self) -> object: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...

# A sequence of integers: a list or tuple of ints, range, bytes, bytearray,
# array.array, memoryview or a NumPy integer array. Not a str, set, iterator or
# NativeBuffer. The values' range (0..2**32-1 for words, 0..255 for pixel bytes) is
# checked when the call reads them.
_Integers: TypeAlias = Sequence[SupportsIndex] | _IntegerBuffer | _IntegerArray

@type_check_only
class _IntegerRows(Protocol):
    # A two-dimensional NumPy integer array: one stream per row.
    def __array__(self) -> object: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Integers: ...

@type_check_only
class _NumpyBool(Protocol):
    # numpy.bool_ scalars (numpy.True_, numpy.False_, an element of a bool array);
    # the int 1 and None are refused at run time and have no item() -> bool.
    def item(self) -> bool: ...

_Bool: TypeAlias = bool | _NumpyBool

_BitDepth: TypeAlias = Literal[1, 2, 3, 4, 5, 6]

_EncodedImageInfo: TypeAlias = tuple[int, int, int, _BitDepth, int]
"""(width, height, root_size, bit_depth, threshold_tenths) of encode_quadtree.

width and height as passed; root_size the side of the quadtree's square, a power of
two; threshold_tenths is the threshold in tenths, rounded, not reduced to the
stream's 6 bits.
"""

_DecodedImageInfo: TypeAlias = tuple[int, int, int, _BitDepth, int]
"""(width, height, root_size, bit_depth, field_7) read from a stream's metadata block.

width, height and root_size are 12-bit values (at most 4095); field_7 keeps only the
threshold tenths modulo 64 (an encoder's 500 reads back as 52).
"""

@type_check_only
class ScanResult(TypedDict):
    """What ``scan_stream`` returns for one stream (27 keys, in this order).

    Word and span payloads are ``NativeBuffer`` objects. A spans payload holds
    (start, length) pairs, flat, each start an offset into the modality's own words.
    ``counts`` holds the valid words per modality, in the order text, diagram, music,
    voice, image, inline, mental, touch, smell, taste; inline words travel in
    ``text_words_u32le``. Only for type checking: at run time the result is a dict.
    """

    text_words_u32le: NativeBuffer
    counts: list[int]
    diagram_words_u32le: NativeBuffer
    diagram_spans_u32le: NativeBuffer
    music_words_u32le: NativeBuffer
    music_spans_u32le: NativeBuffer
    voice_words_u32le: NativeBuffer
    voice_spans_u32le: NativeBuffer
    image_words_u32le: NativeBuffer
    image_spans_u32le: NativeBuffer
    mental_words_u32le: NativeBuffer
    mental_spans_u32le: NativeBuffer
    touch_words_u32le: NativeBuffer
    touch_spans_u32le: NativeBuffer
    smell_words_u32le: NativeBuffer
    smell_spans_u32le: NativeBuffer
    taste_words_u32le: NativeBuffer
    taste_spans_u32le: NativeBuffer
    segment_modalities: list[str]
    validation_errors: list[str]
    native_backend: Literal[True]
    backend: Literal["rust"]
    origin: Literal["pyo3_native_extension"]
    fallback_used: Literal[False]
    payload_layout: Literal["u32le_bytes+spans_v1"]
    ffi_contract_version: Literal["orn_flat_u32le_v1"]
    build_profile: Literal["release"]

@type_check_only
class BackendInfo(TypedDict):
    """What ``backend_info`` returns (17 keys). Only for type checking."""

    backend: Literal["rust"]
    origin: Literal["pyo3_native_extension"]
    native: Literal[True]
    fallback_used: Literal[False]
    module_name: Literal["vak_orn_kernel"]
    module_version: str
    normal_word_count: int
    word_mask: int
    payload_layout: Literal["u32le_bytes+spans_v1"]
    ffi_contract_version: Literal["orn_flat_u32le_v1"]
    normal_word_registry_kind: Literal["sorted_vec"]
    allocator: Literal["mimalloc"]
    scan_fast_path: Literal["u32_sequence_extract_v1"]
    text_encoder: Literal["rust_nfd_phf_v1"]
    image_encoder: Literal["rust_prefix_quadtree_v1"]
    image_decoder: Literal["rust_enhanced_quadtree_v1"]
    build_profile: Literal["release"]

def configure_normal_words(words: _Integers) -> int:
    """Replace the process-wide set of normal words; return its size (distinct values).

    Values 0..2**32-1 are stored as given; a failed conversion leaves the set as it was.
    """

def backend_info() -> BackendInfo:
    """Return a new dict of the build's identifiers and the normal-word set's size."""

def encode_text(text: str) -> list[int]:
    """Encode text as words: NFD first, then one word per common character
    (tab, line feed, carriage return, printable ASCII, Æ æ Ø ø ß Œ œ) and
    0x40000 + first * 256 + second for each pair of UTF-8 bytes of the others.

    A lone surrogate raises UnicodeEncodeError.
    """

def encode_quadtree(
    image_data: _Integers,
    width: SupportsIndex,
    height: SupportsIndex,
    bit_depth: SupportsIndex,
    threshold: SupportsFloat | SupportsIndex,
) -> tuple[list[int], _EncodedImageInfo]:
    """Encode an RGB image as quadtree command words.

    image_data: width * height * 3 bytes, rows top to bottom, pixels left to right,
    three channel bytes each (``bytes``, ``bytearray``, a list, a uint8 array).
    bit_depth: 1..6 bits per channel. threshold: a variance in squared byte units
    (0..255 scale); a node whose mean channel variance is at most this is one leaf.

    Returns (words, (width, height, root_size, bit_depth, threshold_tenths)).
    Raises ValueError for a bit depth outside 1..6 or a wrong data length.
    """

def decode_quadtree(words: _Integers) -> tuple[bytes, _DecodedImageInfo]:
    """Check an image word stream and render it as RGB bytes.

    Returns (pixels, (width, height, root_size, bit_depth, field_7)); field_7 is the
    encoder's threshold tenths modulo 64. Words that are not image words are skipped.
    Raises ValueError "invalid enhanced stream: ..." at the first violation.
    """

def scan_stream(stream: Iterable[object], record_invalid: _Bool = False) -> ScanResult:
    """Sort a stream's words by modality, record segments as spans, count them.

    A sequence of ints is read whole; bytes are read one word per byte (for a stream
    file use ``numpy.fromfile(path, "<u4")`` or ``memoryview(data).cast("I")``).
    Any other iterable is read item by item, and items that are not words become
    "validation_errors" messages (with record_invalid=True) instead of exceptions.
    """

def scan_stream_batch(
    streams: Sequence[_Integers] | _IntegerRows, record_invalid: _Bool = False
) -> list[ScanResult]:
    """Scan many streams in parallel; one result per stream, in order.

    Every stream must be a sequence of ints 0..2**32-1 (a 2-D NumPy array gives one
    stream per row); otherwise the whole call fails before anything is scanned.
    """
