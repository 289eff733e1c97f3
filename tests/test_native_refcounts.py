"""Reference handling of the compiled modules on paths that hand them odd objects. Each case
once crashed or misread memory."""

import ctypes

import pytest

from quenmark import messages
from quenmark.messages import Message

# ---- the messages table, reached through ctypes ----------------------------------------------

_obj = ctypes.py_object
_F = ctypes.PYFUNCTYPE  # raises the exception a failing entry point set
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

# Slot order of the table after its signature and three type pointers.
_LOOKUPS = {
    "get_headers": (0, _obj),
    "get_first_header": (1, _obj),
    "get_single_header": (2, _obj),
    "remove_header": (3, ctypes.c_int),
    "_has_header": (4, ctypes.c_int),
    "has_header": (5, ctypes.c_int),
    "get_headers_tuples": (12, _obj),
}


def messages_entry(name):
    index, restype = _LOOKUPS[name]
    base = _get_pointer(messages._C_API, b"quenmark.messages._C_API")
    slots = ctypes.cast(base, ctypes.POINTER(ctypes.c_void_p))
    return _F(restype, _obj, _obj)(slots[4 + index])


class LowersTo(bytes):
    """A key whose `lower()` gives `result` (callers of the table may pass any object)."""

    result = None

    def lower(self):
        return self.result


class LowersToNone(LowersTo):
    result = None


class LowersToStr(LowersTo):
    result = "content-type"


@pytest.mark.parametrize("op", sorted(_LOOKUPS))
@pytest.mark.parametrize("key_type, got", [(LowersToNone, "NoneType"), (LowersToStr, "str")])
def test_lookup_key_lowering_to_non_bytes_is_refused(op, key_type, got):
    # A None name in the list would have matched a None key; a bytes name was compared with the
    # bytes of None.
    m = Message([(b"content-type", b"a"), (None, b"b"), (b"x", b"c")])
    with pytest.raises(TypeError, match=f"^Expected bytes, got {got}$"):
        messages_entry(op)(m, key_type(b"Content-Type"))
    assert m.get_headers(b"content-type") == [b"a"]


def test_lookup_key_lowering_to_bytes_still_matches():
    class Lowers(bytes):
        def lower(self):
            return b"content-type"

    m = Message([(b"Content-Type", b"a")])
    assert messages_entry("get_headers")(m, Lowers(b"X")) == [b"a"]
