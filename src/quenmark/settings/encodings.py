"""How text that does not fit its declared character set is decoded."""

from __future__ import annotations

from collections.abc import Callable

__all__ = ["EncodingsSettings", "encodings_settings"]

DecodeFunction = Callable[[bytes, UnicodeDecodeError], str]


def default_decode(value: bytes, error: UnicodeDecodeError) -> str:
    # ISO-8859-1 maps every byte to a code point, so this never fails and loses nothing:
    # the original bytes can be recovered with .encode("iso-8859-1").
    return bytes(value).decode("iso-8859-1")


class EncodingsSettings:
    """Holds the fallback decoder used when a body is not valid in its charset."""

    __slots__ = ("_decode",)

    def __init__(self) -> None:
        self._decode: DecodeFunction = default_decode

    def decode(self, value: bytes, error: UnicodeDecodeError) -> str:
        return self._decode(value, error)

    def use(self, decode: DecodeFunction) -> None:
        if not callable(decode):
            raise TypeError("decode must be a callable taking (bytes, UnicodeDecodeError)")
        self._decode = decode

    def reset(self) -> None:
        self._decode = default_decode


encodings_settings = EncodingsSettings()
