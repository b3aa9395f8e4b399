from collections.abc import Iterable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

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

__version__: str
WORD_MASK: int

@final
class NativeBuffer:
    """Read-only buffer of unsigned 32-bit values (format "I"); read it with memoryview."""
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

_Bool = Any  # bool or a NumPy boolean scalar

def configure_normal_words(words: Sequence[SupportsIndex]) -> int: ...
def backend_info() -> dict[str, Any]: ...
def encode_text(text: str) -> list[int]: ...
def encode_quadtree(
    image_data: Sequence[SupportsIndex],
    width: SupportsIndex,
    height: SupportsIndex,
    bit_depth: SupportsIndex,
    threshold: SupportsFloat | SupportsIndex,
) -> tuple[list[int], tuple[int, int, int, int, int]]: ...
def decode_quadtree(
    words: Sequence[SupportsIndex],
) -> tuple[bytes, tuple[int, int, int, int, int]]: ...
def scan_stream(stream: Iterable[Any], record_invalid: _Bool = False) -> dict[str, Any]: ...
def scan_stream_batch(
    streams: Sequence[Sequence[SupportsIndex]], record_invalid: _Bool = False
) -> list[dict[str, Any]]: ...
