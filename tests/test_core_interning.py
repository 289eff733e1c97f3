"""The native core library's interning tables, called the way the compiled modules call them:
one shared object per known text, byte for byte, and a miss that is no error."""

import ctypes
import pathlib
import sys

import pytest

import quenmark.headers
from quenmark.headers import Header

_LIBRARY = next(pathlib.Path(quenmark.headers.__file__).parent.glob("_qmk_core*"))
# PyDLL: the functions are called with the interpreter lock held, as the modules call them. The
# address result keeps ctypes from touching reference counts; a miss is a null address.
_core = ctypes.PyDLL(str(_LIBRARY))
_LOOKUP = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)
LOOKUPS = {
    name: _LOOKUP((name, _core))
    for name in ("get_interned_method_str", "get_interned_header_name_bytes", "get_interned_content_type_bytes")
}


def lookup(function, text: bytes, length: int | None = None):
    address = LOOKUPS[function](text, len(text) if length is None else length)
    return None if address is None else ctypes.cast(address, ctypes.py_object).value


TABLES = [
    ("get_interned_method_str", b"GET", str),
    ("get_interned_method_str", b"OPTIONS", str),
    ("get_interned_header_name_bytes", b"content-type", bytes),
    ("get_interned_header_name_bytes", b"x-forwarded-for", bytes),
    ("get_interned_content_type_bytes", b"application/json", bytes),
    ("get_interned_content_type_bytes", b"text/plain; charset=utf-8", bytes),
]


@pytest.mark.parametrize("function, text, kind", TABLES)
def test_a_known_text_is_always_the_same_object(function, text, kind):
    first = lookup(function, text)
    assert type(first) is kind
    assert first == (text.decode() if kind is str else text)
    assert lookup(function, bytes(text)) is first
    # Only the first `length` bytes count.
    assert lookup(function, text + b"/extra", len(text)) is first


@pytest.mark.parametrize("function, text, kind", TABLES)
def test_misses_are_silent_and_there_is_no_case_folding(function, text, kind):
    for other in (text.swapcase(), text[:-1], text + b"x", b"\x00" * len(text), b"\xff" + text[1:]):
        assert lookup(function, other) is None
    assert lookup(function, text, 0) is None


@pytest.mark.parametrize("function, text, kind", TABLES)
def test_lookups_take_no_references(function, text, kind):
    shared = lookup(function, text)
    before = sys.getrefcount(shared)
    call, length = LOOKUPS[function], len(text)
    for _ in range(2000):
        call(text, length)
        call(b"not-in-any-table", 16)
    assert sys.getrefcount(shared) == before


@pytest.mark.parametrize(
    "name",
    [b"te", b"age", b"host", b"cookie", b"if-range", b"user-agent", b"content-location",
     b"x-forwarded-proto", b"access-control-allow-credentials"],
)
def test_a_header_name_differing_in_any_one_byte_is_a_miss(name):
    # Every length class of the comparison: under four, under eight, two overlapping words, a
    # middle beyond sixteen bytes.
    assert lookup("get_interned_header_name_bytes", name) == name
    for i in range(len(name)):
        for byte in (0, name[i] ^ 1, 0xFF):
            changed = name[:i] + bytes([byte]) + name[i + 1 :]
            assert lookup("get_interned_header_name_bytes", changed) is None, changed


def test_the_headers_module_stores_the_library_objects():
    assert Header(b"Content-Type", b"").name is lookup("get_interned_header_name_bytes", b"content-type")
