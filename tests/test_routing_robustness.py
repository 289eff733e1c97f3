"""Bad and extreme input for quenmark.routing, the C-level tables, re-entrant lookups and leaks."""

import ctypes
import gc
import sys
import tracemalloc
import types

import pytest

import capi_tables

from quenmark import routing
from quenmark.routing import CythonRadixRouter, RadixNode, RadixTree, RouteMatch

# --- very deep and very long input -------------------------------------------------------------


def test_path_of_thousands_of_segments_against_a_deep_tree():
    depth = 20_000
    tree = RadixTree()
    tree.insert(b"/" + b"/".join([b"{p}"] * depth), "deep")
    tree.insert(b"/" + b"/".join([b"s"] * (depth - 1)) + b"/zz", "static")
    tree.insert(b"/*", "wild")
    path = b"/" + b"/".join([b"s"] * depth)
    # The static chain fails at its last level, and the walk backtracks through every level
    # before the parameter chain answers.
    route, params = tree.match(path)
    assert route == "deep" and len(params) == depth and params["_p_19999"] == "s"
    assert tree.match(path[:-1] + b"zz") == ("static", None)
    # One segment too many: both chains fail and the root's catch-all answers.
    assert tree.match(path + b"/x") == ("wild", {"tail": path[1:].decode() + "/x"})
    tree.root.wildcard_child = None
    assert tree.match(path + b"/x") is None


def test_deep_static_pattern_and_its_lookup():
    depth = 50_000
    tree = RadixTree()
    pattern = b"/" + b"/".join(b"n%d" % i for i in range(depth)) + b"/{x}"
    tree.insert(pattern, "r", ["x"])
    path = pattern.replace(b"{x}", b"END").upper()
    assert tree.match(path) == ("r", {"x": "END"})


def test_deep_trees_are_freed_without_recursion_trouble():
    tree = RadixTree()
    tree.insert(b"/" + b"/".join([b"a"] * 200_000), "r")
    node = RadixNode()
    for _ in range(200_000):
        parent = RadixNode()
        parent.param_child = node
        node = parent
    del tree, node, parent
    gc.collect()


@pytest.mark.parametrize(
    "path",
    [
        b"/" + b"x" * 100_000,
        b"/p/" + b"%41" * 40_000,
        b"/" + b"a/" * 50_000,
        b"/" + b"/".join([b"seg"] * 30_000),
        b"/p/" + bytes(range(256)).replace(b"/", b"") * 400,
    ],
)
def test_hundred_kilobyte_paths(path):
    tree = RadixTree()
    tree.insert(b"/p/{x}", "p")
    tree.insert(b"/{rest:path}", "rest")
    result = tree.match(path)
    assert result is not None
    assert all(isinstance(v, str) for v in result[1].values())


def test_thousands_of_routes():
    router = CythonRadixRouter()
    n = 5_000
    for i in range(n):
        router.add_route(b"GET", b"/r%d/items/{id:int}/{name}" % i, i, ["id", "name"])
        router.add_route(b"GET", b"/static/%d" % i, -i)
    for i in range(0, n, 97):
        assert router.get_match(b"GET", b"/R%d/items/%d/x" % (i, i)) == (i, {"id": str(i), "name": "x"})
        assert router.get_match(b"GET", b"/static/%d/" % i) == (-i, None)
    assert router.get_match(b"GET", b"/r1/items/x/y") is None


# --- re-entrancy and host code running inside a lookup -------------------------------------------


def test_validator_that_routes_again():
    tree = RadixTree()
    tree.insert(b"/a/{x}/b", "outer")
    tree.insert(b"/a/zzz/b", "static")
    nested = []

    class Nested:
        def match(self, seg):
            # A lookup inside a lookup, walking static children of the same tree.
            nested.append(tree.match(b"/A/ZZZ/B"))
            return True

    tree.root.children[b"a"].param_child.param_validator = Nested()
    assert tree.match(b"/a/q/b") == ("outer", {"_p_1": "q"})
    assert nested == [("static", None)]
    assert tree.match(b"/a/Q/B") == ("outer", {"_p_1": "Q"})


def test_validator_that_tears_the_tree_down():
    tree = RadixTree()
    tree.insert(b"/a/b/c", "abc")
    tree.insert(b"/a/{x}/d", "axd")

    class Vandal:
        def match(self, seg):
            tree.root = RadixNode()
            tree.static_routes.clear()
            return True

    tree.root.children[b"a"].param_child.param_validator = Vandal()
    # The walk holds what it is visiting; the answer comes from the tree as it was entered.
    assert tree.match(b"/a/b/d") == ("axd", {"_p_1": "b"})
    assert tree.match(b"/a/b/d") is None


def test_validator_errors_propagate():
    tree = RadixTree()
    tree.insert(b"/a/{x}", "r")
    tree.root.children[b"a"].param_child.param_validator = "no match method"
    with pytest.raises(AttributeError):
        tree.match(b"/a/1")

    class Falsy:
        def __bool__(self):
            raise ValueError("no truth")

    class Odd:
        def match(self, seg):
            return Falsy()

    tree.root.children[b"a"].param_child.param_validator = Odd()
    with pytest.raises(ValueError, match="no truth"):
        tree.match(b"/a/1")


def test_children_key_objects_that_keep_what_they_are_compared_with():
    kept = []

    class Grabby:
        def __hash__(self):
            return hash(b"abc")

        def __eq__(self, other):
            kept.append(other)
            return False

    tree = RadixTree()
    tree.insert(b"/{x}", "param")
    tree.root.children[Grabby()] = RadixNode()
    assert tree.match(b"/abc") == ("param", {"_p_0": "abc"})
    assert kept and kept[0] == b"abc"
    for path in (b"/abc", b"/zzz", b"/q", b"/ABC"):
        tree.match(path)
    # What the key object kept is an ordinary immutable bytes object.
    assert kept[0] == b"abc" and hash(kept[0]) == hash(b"abc")


def test_param_names_with_unhashable_items_fail_cleanly():
    tree = RadixTree()
    tree.insert(b"/a/{x}", "r")
    tree.root.children[b"a"].param_child.param_names = [[]]
    with pytest.raises(TypeError):
        tree.match(b"/a/1")


def test_reference_cycles_are_collected():
    class Holder:
        pass

    for _ in range(3):
        holder = Holder()
        router = CythonRadixRouter()
        router.add_route(b"GET", b"/x/{y}", holder)
        holder.router = router
        node = RadixNode()
        node.route = node
        m = RouteMatch(type("R", (), {"handler": None, "pattern": None})())
        m.route = m
    del holder, router, node, m
    assert gc.collect() > 0


# --- the C-level tables ----------------------------------------------------------------------------

_PyFn = ctypes.PYFUNCTYPE
_obj = ctypes.py_object


_PROTOTYPES = {
    "radix_tree": {
        "insert": _PyFn(ctypes.c_int, _obj, _obj, _obj, _obj),
        "_parse_param_segment": _PyFn(_obj, _obj, _obj),
        "match": _PyFn(_obj, _obj, _obj),
        "_match_recursive": _PyFn(_obj, _obj, _obj, _obj, ctypes.c_ssize_t, _obj),
    },
    "router": {
        "add_route": _PyFn(ctypes.c_int, _obj, _obj, _obj, _obj, _obj),
        "get_match": _PyFn(_obj, _obj, _obj, _obj),
        "freeze": _PyFn(ctypes.c_int, _obj),
    },
}


@pytest.fixture(scope="module")
def capi():
    def group(prefix, prototypes):
        return types.SimpleNamespace(**{
            name: prototype(capi_tables.address(routing, f"{prefix}.{name}"))
            for name, prototype in prototypes.items()})
    return types.SimpleNamespace(
        **{prefix: group(prefix, prototypes) for prefix, prototypes in _PROTOTYPES.items()},
        fast_unquote=_PyFn(_obj, _obj)(capi_tables.address(routing, "fast_unquote")))


def test_table_header_and_types(capi):
    table = capi_tables.header(routing)
    assert (table.name, table.version) == (b"quenmark.routing CApi", 1)
    for field, cls in [("radix_node_type", RadixNode), ("radix_tree_type", RadixTree),
                       ("router_type", CythonRadixRouter), ("route_match_type", RouteMatch)]:
        assert capi_tables.address(routing, field) == id(cls)


def test_table_tree_entries(capi):
    table = capi.radix_tree
    tree = RadixTree()
    assert table.insert(tree, b"/u/{id:int}", "r", None) == 0
    assert table.match(tree, b"/u/7") == ("r", {"_p_1": "7"})
    assert table.match(tree, b"/nothing") is None
    assert table._parse_param_segment(tree, b"{int:id}") == ("id", routing._INT_RX)
    assert table._parse_param_segment(tree, b"<p:path>") == ("p", "path")
    assert table._parse_param_segment(tree, b"plain") == ("plain", None)
    with pytest.raises(UnicodeDecodeError):
        table._parse_param_segment(tree, b"{\xff}")
    with pytest.raises(TypeError):
        table.insert(tree, "str", "r", None)


def test_table_match_recursive(capi):
    rec = capi.radix_tree._match_recursive
    tree = RadixTree()
    tree.insert(b"/a/{x}/{rest:path}", "r", ["x", "rest"])
    tree.insert(b"/b/{x}", "b", ["n1", "n2"])
    root = tree.root
    assert rec(tree, root, [b"a", b"1", b"p", b"q"], 0, {}) == ("r", {"x": "1", "rest": "p/q"})
    assert rec(tree, root, [b"a", b"1"], 0, None) == ("r", {"x": "1", "rest": ""})
    # Values handed in come first, and the catch-all joins the remaining items as given.
    a = root.children[b"a"]
    assert rec(tree, a, [b"zz", b"1", b"", b"c/d"], 1, {"given": "g"}) == (
        "r", {"given": "g", "_p_1": "1", "rest": "/c/d"})
    given = {"k": "v"}
    b_node = root.children[b"b"].param_child
    # The names do not fit the one value handed in, which comes back as the same dict.
    result = rec(tree, b_node, [b"b", b"1"], 2, given)
    assert result[0] == "b" and result[1] is given
    assert rec(tree, root.children[b"b"], [b"b", b"1"], 1, {"k": "v"}) == ("b", {"n1": "v", "n2": "1"})
    with pytest.raises(IndexError):
        rec(tree, root, [b"a"], 5, None)
    with pytest.raises(TypeError):
        rec(tree, root, [b"a", "b"], 0, None)
    with pytest.raises(TypeError):
        rec(tree, None, [b"a"], 0, None)
    with pytest.raises(TypeError):
        rec(tree, root, (b"a",), 0, None)


def test_table_match_recursive_returns_the_given_dict_when_nothing_is_added(capi):
    rec = capi.radix_tree._match_recursive
    tree = RadixTree()
    tree.insert(b"/s/t", "st")
    given = {"k": "v"}
    route, params = rec(tree, tree.root, [b"s", b"T"], 0, given)
    assert route == "st" and params is given
    assert rec(tree, tree.root, [b"s", b"t"], 0, {}) == ("st", None)


def test_table_router_entries_honour_overrides(capi):
    table = capi.router
    calls = []

    class Mine(CythonRadixRouter):
        def add_route(self, method, pattern, route, param_names=None):
            calls.append("add_route")
            super().add_route(method, pattern, route, param_names)

        def get_match(self, method, path):
            calls.append("get_match")
            return super().get_match(method, path)

        def freeze(self):
            calls.append("freeze")

    router = Mine()
    assert table.add_route(router, b"GET", b"/x", "r", None) == 0
    assert table.get_match(router, b"GET", b"/x") == ("r", None)
    assert table.freeze(router) == 0
    assert calls == ["add_route", "get_match", "freeze"]
    plain = CythonRadixRouter()
    assert table.add_route(plain, b"get", b"/y", "y", ["n"]) == 0
    assert table.get_match(plain, b"GET", b"/y") == ("y", None)
    assert table.freeze(plain) == 0

    class BadResult(CythonRadixRouter):
        def get_match(self, method, path):
            return "nope"

    with pytest.raises(TypeError, match="^Expected tuple, got str$"):
        table.get_match(BadResult(), b"GET", b"/")


def test_table_tree_entries_honour_overrides(capi):
    class Mine(RadixTree):
        def match(self, path):
            return ("override", None)

        def insert(self, pattern, route, param_names=None):
            super().insert(pattern + b"/extra", route, param_names)

    tree = Mine()
    assert capi.radix_tree.insert(tree, b"/a", "r", None) == 0
    assert RadixTree.match(tree, b"/a/extra") == ("r", None)
    assert capi.radix_tree.match(tree, b"/a") == ("override", None)


def test_table_fast_unquote(capi):
    assert capi.fast_unquote(b"a%20b\xff") == "a b\ufffd"
    with pytest.raises(TypeError):
        capi.fast_unquote("str")


# --- leaks -----------------------------------------------------------------------------------------


class _Route:
    handler = "h"
    pattern = b"/p"

    def __init__(self, names=None):
        if names is not None:
            self.param_names = names


def _exercise(router, tree, shared):
    router.get_match(b"GET", b"/users/42")
    router.get_match(b"get", b"/users/42/posts/%41x")
    router.get_match(b"GET", b"/files/a/b/c.css")
    router.get_match(b"GET", b"/users/me/")
    router.get_match(b"GET", b"/nothing/here")
    router.get_match(b"GET", b"//x")
    router.get_match(b"HEAD", b"/users/42")
    tree.match(b"/x/\xff%zz/y")
    tree.match(b"/")
    routing._fast_unquote(b"caf\xc3\xa9%C3%A9%e2\x82%zz")
    RouteMatch(shared, {"a": b"%41", "b": "x%20y", "c": 1})
    RouteMatch(shared)
    for bad in (
        lambda: router.get_match("GET", b"/"),
        lambda: router.add_route(b"GET", b"/{\xff}", shared),
        lambda: router.add_route(b"GET", b"/bad/{x}", shared, [1]),
        lambda: tree.match(None),
        lambda: RouteMatch(shared, {"a": b"\xff"}),
        lambda: RouteMatch(object()),
        lambda: routing._fast_unquote("x"),
    ):
        try:
            bad()
        except (TypeError, AttributeError, UnicodeDecodeError):
            pass
    # Deeper than the walk's inline frames, names applied to a catch-all, a failing validator.
    tree.match(b"/d/" + b"/".join([b"v%41"] * 40))
    tree.match(b"/d/" + b"/".join([b"v"] * 40) + b"/more/than/registered")
    tree.match(b"/n/1/r/e%20st")
    try:
        tree.match(b"/bad/1")
    except AttributeError:
        pass
    router.add_route(b"POST", b"/again/{id:uuid}", shared, ["id"])
    tree.insert(b"/x/{a}/y", shared, [b"a"])
    # Changing a children dict makes the next lookup rebuild that node's index.
    tree.root.children[b"tmp"] = RadixNode(b"tmp")
    tree.match(b"/tmp/x")
    del tree.root.children[b"tmp"]
    tree.match(b"/x/1/y")


def test_operations_do_not_leak():
    shared = _Route(["id"])
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/users/{id:int}", shared)
    router.add_route(b"GET", b"/users/{id:int}/posts/{p}", shared, ["id", "p"])
    router.add_route(b"GET", b"/users/me", shared)
    router.add_route(b"GET", b"/files/*.css", shared)
    tree = RadixTree()
    tree.insert(b"/x/{a}/y", shared)
    tree.insert(b"/d/" + b"/".join([b"{p}"] * 40), shared)
    tree.insert(b"/n/{x}/{rest:path}", shared, ["x", "rest"])
    tree.insert(b"/bad/{x}", shared)
    tree.root.children[b"bad"].param_child.param_validator = "no match method"
    for _ in range(200):
        _exercise(router, tree, shared)
    gc.collect()
    refs = sys.getrefcount(shared)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(5_000):
            _exercise(router, tree, shared)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(shared) == refs
    assert after - before < 20_000


def test_host_subclass_instances_release_their_class_once():
    class Node(RadixNode):
        pass

    class Match(RouteMatch):
        pass

    class Tree(RadixTree):
        pass

    class Router(CythonRadixRouter):
        pass

    classes = (Node, Match, Tree, Router)
    before = [sys.getrefcount(c) for c in classes]
    for _ in range(3_000):
        objects = [Node(), Match(_Route()), Tree(), Router()]
        objects.append(objects)  # a cycle, so that the collector frees them too
        del objects
    gc.collect()
    assert [sys.getrefcount(c) for c in classes] == before
