"""A function stored on an instance shadows the built-in method, as for `self.name(...)` in
Python: native callers that honour overrides honour it too."""

import pytest

from quenmark.headers import Headers
from quenmark.messages import Message, Request
from quenmark.routing import CythonRadixRouter, RadixTree


class SubHeaders(Headers):
    pass


class SubMessage(Message):
    pass


class SubTree(RadixTree):
    pass


def test_headers_instance_function_is_used_by_native_callers():
    h = SubHeaders([(b"a", b"1")])
    h.get = lambda key: (b"patched",)  # no self: stored on the instance, not bound
    assert h[b"a"] == (b"patched",)
    assert h.get_single(b"a") == b"patched"
    del h.get
    assert h[b"a"] == (b"1",)


def test_message_instance_function_is_used_by_native_callers():
    m = SubMessage([(b"content-type", b"text/plain")])
    m.content_type = lambda: b"application/json"
    assert m.declares_json() is True
    del m.content_type
    assert m.declares_json() is False


def test_request_instance_function_for_a_header_lookup():
    r = type("R", (Request,), {})("GET", b"/", [(b"host", b"a.example")])
    r.get_first_header = lambda key: b"patched.example" if key == b"host" else None
    assert r.host == "patched.example"


def test_tree_instance_function_is_used_by_the_router():
    tree = SubTree()
    tree.match = lambda path: ("patched", {"path": path})
    router = CythonRadixRouter()
    router.trees[b"GET"] = tree
    assert router.get_match(b"GET", b"/x") == ("patched", {"path": b"/x"})


def test_instances_without_a_dict_pay_nothing_and_behave():
    class Slotted(Headers):
        __slots__ = ()

    h = Slotted([(b"a", b"1")])
    with pytest.raises(AttributeError):
        h.get = lambda key: ()
    assert h[b"a"] == (b"1",)
