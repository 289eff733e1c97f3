"""Vectorised delimiter search for quenmark.multipart (compiled module)."""

HAS_SIMD: bool

def find_delimiter(buffer: bytes, delimiter: bytes, start: int, /) -> int:
    """buffer.find(delimiter, start), with a vectorised search where the CPU has one."""
