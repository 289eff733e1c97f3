"""Reference handling of the compiled modules on paths that hand them odd objects: keys that
lower to something else, entries that free themselves while being read. Each case once crashed
or misread memory; the crashes are reproduced in a child interpreter whose allocator poisons
freed memory, so that a use after free fails there instead of passing by luck."""

import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

import capi_tables

from quenmark import messages
from quenmark.messages import Message

# ---- the messages table, reached through ctypes ----------------------------------------------

_obj = ctypes.py_object
_LOOKUPS = {
    "get_headers": _obj,
    "get_first_header": _obj,
    "get_single_header": _obj,
    "remove_header": ctypes.c_int,
    "_has_header": ctypes.c_int,
    "has_header": ctypes.c_int,
    "get_headers_tuples": _obj,
}


def messages_entry(name):
    return capi_tables.function(messages, name, _LOOKUPS[name], _obj, _obj)


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


# ---- entries that free themselves ------------------------------------------------------------


def run_poisoned(code):
    """Runs `code` in a child interpreter with the debug allocator (freed memory is overwritten),
    returning its output; a crash fails the test."""
    env = dict(os.environ, PYTHONMALLOC="debug")
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, f"child died ({proc.returncode}): {proc.stderr[-2000:]}"
    return proc.stdout


@pytest.mark.parametrize("op", ["keys()", "clone()", "contains(b'a')"])
def test_entry_emptying_its_list_in_iter_is_not_read_after_free(op):
    # The entry's __iter__ (a static method, so no frame keeps the entry alive) drops the last
    # reference to the entry before it fails; the unpacking then reported the failure by reading
    # the entry's type.
    out = run_poisoned(f"""
        from quenmark.headers import Headers

        class Entry:
            pass

        def empty_then_fail():
            h.values.clear()
            raise TypeError("emptied")

        Entry.__iter__ = staticmethod(empty_then_fail)
        h = Headers([Entry()])
        try:
            h.{op}
        except TypeError as e:
            print(e)
    """)
    assert out.strip() == "emptied"


@pytest.mark.parametrize("op", ["keys()", "clone()", "contains(b'a')"])
def test_entry_emptying_its_list_while_iterated_still_unpacks(op):
    from quenmark.headers import Headers

    class Entry:
        def __iter__(self):
            h.values.clear()
            return iter((b"a", b"1"))

    h = Headers([Entry(), (b"b", b"2")])
    getattr(h, op.split("(")[0])(*((b"a",) if "contains" in op else ()))
    assert h.values == []


# ---- routing: host code run mid-lookup tears the tree down ---------------------------------------

# Each scenario arms `tear_down` once the tree is built; the host code it sits in runs during the
# lookup, after which the walk still goes back to nodes and dicts that the tree no longer holds.
_TEAR_DOWN_PRELUDE = """
from quenmark.routing import CythonRadixRouter, RadixNode, RadixTree

armed = False

def tear_down():
    global armed
    if armed:
        armed = False
        tree.root.children = {}
        tree.root = RadixNode()
        tree.static_routes = {}
        router.trees = {}

class Declines:
    def match(self, seg):
        tear_down()
        return False

def colliding_with(key):
    class Colliding:
        def __hash__(self):
            return hash(key)
        def __eq__(self, other):
            tear_down()
            return False
    return Colliding()

router = CythonRadixRouter()
tree = RadixTree()
"""

_TEAR_DOWN_SCENARIOS = {
    # The declined node's own catch-all, then the parent's parameter branch.
    "validator, then the catch-all": ("""
        tree.insert(b"/a/{x}/d", "axd")
        tree.insert(b"/a/{rest:path}", "rest")
        tree.root.children[b"a"].param_child.param_validator = Declines()
        armed = True
        print(tree.match(b"/a/b/d"))
    """, "('rest', {'rest': 'b/d'})"),
    "validator, then back to the root": ("""
        tree.insert(b"/a/{x}/d", "axd")
        tree.insert(b"/{y}/b/d", "yb")
        tree.root.children[b"a"].param_child.param_validator = Declines()
        armed = True
        print(tree.match(b"/a/b/d"))
    """, "('yb', {'_p_0': 'a'})"),
    "children key": ("""
        tree.insert(b"/a/{x:int}", "ax")
        tree.insert(b"/{y}/{z}", "yz")
        tree.root.children = {colliding_with(b"a"): None, **tree.root.children}
        armed = True
        print(tree.match(b"/a/q"))
    """, "('yz', {'_p_0': 'a', '_p_1': 'q'})"),
    # The path is looked up again without its trailing slash in the same dict.
    "static routes key": ("""
        tree.insert(b"/x", "x")
        tree.static_routes = {colliding_with(b"/x/"): None, **tree.static_routes}
        armed = True
        print(tree.match(b"/x/"))
    """, "('x', None)"),
    "trees key": ("""
        router.add_route(b"GET", b"/a", "a")
        router.trees = {colliding_with(b"PUT"): None, **router.trees}
        armed = True
        print(router.get_match(b"PUT", b"/a"))
    """, "None"),
}


@pytest.mark.parametrize("name", sorted(_TEAR_DOWN_SCENARIOS))
def test_lookup_survives_host_code_tearing_the_tree_down(name):
    body, expected = _TEAR_DOWN_SCENARIOS[name]
    assert run_poisoned(_TEAR_DOWN_PRELUDE + textwrap.dedent(body)).strip() == expected
