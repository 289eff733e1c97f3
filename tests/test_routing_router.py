"""CythonRadixRouter, RouteMatch, and the subclass overrides honoured by the router."""

from urllib.parse import unquote

import pytest

from quenmark import routing
from quenmark.routing import CythonRadixRouter, RadixTree, RouteMatch


class Route:
    def __init__(self, pattern=b"/users/{id}", handler="handler"):
        self.pattern = pattern
        self.handler = handler


# --- CythonRadixRouter ---------------------------------------------------------------------------


def test_methods_are_upper_cased_on_both_sides():
    router = CythonRadixRouter()
    router.add_route(b"get", b"/x", "r")
    assert list(router.trees) == [b"GET"]
    assert router.get_match(b"GET", b"/x") == ("r", None)
    assert router.get_match(b"Get", b"/x") == ("r", None)


def test_no_fallback_between_methods_and_no_tree_created_by_lookups():
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/x", "r")
    assert router.get_match(b"HEAD", b"/x") is None
    assert router.get_match(b"POST", b"/x") is None
    assert list(router.trees) == [b"GET"]


class BytesKey(bytes):
    pass


@pytest.mark.parametrize(
    "trees, found",
    [
        ({b"POST": 1, b"GETS": 1, b"GET": 0}, True),
        ({b"POST": 1, b"GETS": 1}, False),
        ({BytesKey(b"GET"): 0}, True),  # keys other than exact bytes: the dict's own lookup
        ({"GET": 0, b"GET": 0}, True),
        ({"GET": 0}, False),
    ],
)
def test_the_method_picks_its_tree_among_others(trees, found):
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/x", "get")
    router.add_route(b"POST", b"/x", "post")
    made = dict(router.trees)
    router.trees = {key: made[b"POST" if index else b"GET"] for key, index in trees.items()}
    assert router.get_match(b"GET", b"/x") == (("get", None) if found else None)


@pytest.mark.parametrize("method", [b"GET", b"PROPFIND"])
def test_trees_changed_from_the_host_are_seen_at_once(method):
    router = CythonRadixRouter()
    router.add_route(method, b"/x", "first")
    other = CythonRadixRouter()
    other.add_route(method, b"/x", "second")
    assert router.get_match(method.lower(), b"/x") == ("first", None)
    router.trees[method] = other.trees[method]
    assert router.get_match(method, b"/x") == ("second", None)
    del router.trees[method]
    assert router.get_match(method, b"/x") is None
    router.trees = {method: other.trees[method], "text key": None}  # a key the index cannot hold
    assert router.get_match(method, b"/x") == ("second", None)


def test_one_tree_per_method():
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/items/{id:int}", "get", ["id"])
    router.add_route(b"POST", b"/items/{id}", "post")
    assert all(isinstance(t, RadixTree) for t in router.trees.values())
    assert router.get_match(b"GET", b"/items/5") == ("get", {"id": "5"})
    assert router.get_match(b"POST", b"/items/x") == ("post", {"_p_1": "x"})
    assert router.get_match(b"GET", b"/items/x") is None


def test_freeze_changes_nothing():
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/a", "a")
    trees = dict(router.trees)
    tree = router.trees[b"GET"]
    static = dict(tree.static_routes)
    assert router.freeze() is None
    assert router.trees == trees and router.trees[b"GET"] is tree and tree.static_routes == static
    router.add_route(b"GET", b"/b", "b")
    assert router.get_match(b"GET", b"/b") == ("b", None)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda r: r.add_route("GET", b"/x", 1), r"Argument 'method' has incorrect type \(expected bytes, got str\)"),
        (lambda r: r.add_route(b"GET", "/x", 1), r"Argument 'pattern' has incorrect type \(expected bytes, got str\)"),
        (lambda r: r.add_route(b"GET", b"/x", 1, ("a",)), r"Argument 'param_names' has incorrect type"),
        (lambda r: r.add_route(None, b"/x", 1), r"Argument 'method' has incorrect type \(expected bytes, got NoneType\)"),
        (lambda r: r.get_match("GET", b"/x"), r"Argument 'method' has incorrect type"),
        (lambda r: r.get_match(b"GET", "/x"), r"Argument 'path' has incorrect type"),
        (lambda r: r.get_match(b"GET"), r"get_match\(\) takes exactly 2 positional arguments \(1 given\)"),
        (lambda r: r.add_route(b"GET", b"/x"), r"add_route\(\) takes at least 3 positional arguments \(2 given\)"),
        (lambda r: r.freeze(1), r"freeze\(\) takes exactly 0 positional arguments \(1 given\)"),
        (lambda r: r.freeze(x=1), r"freeze\(\) got an unexpected keyword argument 'x'"),
    ],
)
def test_router_argument_errors_create_nothing(call, message):
    router = CythonRadixRouter()
    with pytest.raises(TypeError, match=message):
        call(router)
    assert router.trees == {}


def test_failed_insert_keeps_the_new_tree():
    router = CythonRadixRouter()
    with pytest.raises(UnicodeDecodeError):
        router.add_route(b"PUT", b"/a/{\xff}", "r")
    assert isinstance(router.trees[b"PUT"], RadixTree)


def test_keywords():
    router = CythonRadixRouter()
    router.add_route(method=b"GET", pattern=b"/u/{x}", route="r", param_names=["x"])
    assert router.get_match(method=b"GET", path=b"/u/1") == ("r", {"x": "1"})


def test_trees_field_rules():
    router = CythonRadixRouter()
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        router.trees = []
    router.trees = {b"GET": "not a tree"}
    with pytest.raises(TypeError, match="Cannot convert str to quenmark.routing.RadixTree"):
        router.get_match(b"GET", b"/")
    with pytest.raises(TypeError, match="Cannot convert str to quenmark.routing.RadixTree"):
        router.add_route(b"GET", b"/", "r")
    router.trees = {b"GET": None}
    assert router.get_match(b"GET", b"/") is None
    router.trees = None
    assert router.get_match(b"GET", b"/") is None
    with pytest.raises(TypeError):
        router.add_route(b"GET", b"/", "r")
    del router.trees
    assert router.trees is None


def test_tree_subclass_overrides_are_honoured_by_the_router():
    calls = []

    class LoggingTree(RadixTree):
        def insert(self, pattern, route, param_names=None):
            calls.append(("insert", pattern, route, param_names))
            super().insert(pattern, route, param_names)

        def match(self, path):
            calls.append(("match", path))
            result = super().match(path)
            return None if result is None else (result[0], {"seen": True})

    router = CythonRadixRouter()
    router.trees[b"GET"] = LoggingTree()
    router.add_route(b"get", b"/a/{x}", "r", ["x"])
    assert router.get_match(b"GET", b"/a/1") == ("r", {"seen": True})
    assert calls == [("insert", b"/a/{x}", "r", ["x"]), ("match", b"/a/1")]


def test_tree_subclass_without_overrides_uses_the_builtin_bodies():
    class Plain(RadixTree):
        pass

    router = CythonRadixRouter()
    router.trees[b"GET"] = Plain()
    router.add_route(b"GET", b"/a", "r")
    assert router.get_match(b"GET", b"/a") == ("r", None)


def test_override_result_type_is_checked():
    class Wrong(RadixTree):
        def match(self, path):
            return ["not", "a tuple"]

    router = CythonRadixRouter()
    router.trees[b"GET"] = Wrong()
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        router.get_match(b"GET", b"/a")


def test_override_added_after_first_use_is_seen():
    class Late(RadixTree):
        pass

    router = CythonRadixRouter()
    router.trees[b"GET"] = Late()
    router.add_route(b"GET", b"/a", "r")
    assert router.get_match(b"GET", b"/a") == ("r", None)
    Late.match = lambda self, path: ("late", None)
    assert router.get_match(b"GET", b"/a") == ("late", None)


def test_router_subclass_methods_dispatch_normally():
    class MyRouter(CythonRadixRouter):
        def get_match(self, method, path):
            return ("mine", None)

    router = MyRouter()
    router.add_route(b"GET", b"/a", "r")
    assert router.get_match(b"GET", b"/a") == ("mine", None)
    assert CythonRadixRouter.get_match(router, b"GET", b"/a") == ("r", None)


# --- RouteMatch ------------------------------------------------------------------------------------


def test_route_match_fields_and_repr():
    route = Route()
    m = RouteMatch(route, {"id": "1"})
    assert (m.route, m.handler, m.pattern, m.values, m._values) == (route, "handler", b"/users/{id}", {"id": "1"}, {"id": "1"})
    assert repr(m) == "<RouteMatch b'/users/{id}'>"
    assert repr(RouteMatch(Route(pattern="/s"))) == "<RouteMatch /s>"


@pytest.mark.parametrize("values", [None, {}])
def test_no_values_gives_none(values):
    assert RouteMatch(Route(), values).values is None
    assert RouteMatch(Route()).values is None


@pytest.mark.parametrize(
    "given, expected",
    [
        ({"id": b"a%20b"}, {"id": "a b"}),
        ({"id": b"plain"}, {"id": "plain"}),
        ({"n": 5}, {"n": 5}),
        ({"s": "a%20b"}, {"s": "a%20b"}),
        ({"s": "a+b"}, {"s": "a+b"}),
        ({"s": "%zz"}, {"s": "%zz"}),
        ({"b": b"caf\xc3\xa9%21"}, {"b": "caf\u00e9!"}),
        ({"x": None, "y": [1]}, {"x": None, "y": [1]}),
        ({"z": "1", "a": "2"}, {"z": "1", "a": "2"}),
    ],
)
def test_value_conversion(given, expected):
    values = RouteMatch(Route(), given).values
    assert values == expected
    assert list(values) == list(expected)
    assert values is not given


@pytest.mark.parametrize(
    "pattern, path, decoded",
    [
        (b"/p/{x}", b"/p/%2541", {"x": "%41"}),
        (b"/p/{x}", b"/p/%25", {"x": "%"}),
        # Plain text and escapes or other bytes on either side of eight-byte boundaries.
        (b"/p/{x}", b"/p/abcdefgh", {"x": "abcdefgh"}),
        (b"/p/{x}", b"/p/abcdefg%41", {"x": "abcdefgA"}),
        (b"/p/{x}", b"/p/abcdefgh%41", {"x": "abcdefghA"}),
        (b"/p/{x}", b"/p/a%41bcdefghijklmnop", {"x": "aAbcdefghijklmnop"}),
        (b"/p/{x}", "/p/abcdefghé".encode(), {"x": "abcdefghé"}),
        (b"/p/{x}", b"/p/abcdefgh\xff", {"x": "abcdefgh\ufffd"}),
        (b"/p/{x}", b"/p/a", {"x": "a"}),
        (b"/f/{rest:path}", b"/f/%252e%252e/%252e%252e/etc/passwd", {"rest": "%2e%2e/%2e%2e/etc/passwd"}),
    ],
)
def test_values_are_decoded_once(pattern, path, decoded):
    # The tree decodes what it captures; a second decoding in RouteMatch would hand "A" for
    # "%2541" and "../.." for an escaped "%2e%2e", past any check on the value.
    router = CythonRadixRouter()
    router.add_route(b"GET", pattern, Route(), list(decoded))
    route, params = router.get_match(b"GET", path)
    assert params == decoded
    assert RouteMatch(route, params).values == decoded


@pytest.mark.parametrize("length", range(2, 18))
def test_every_byte_of_a_value_is_checked_whatever_its_length(length):
    # Plain values are copied a word at a time, the last word overlapping the one before and a
    # short value taken in halves or as its first, middle and last bytes.
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/p/{x}", Route(), ["x"])
    plain = bytes(range(ord("a"), ord("a") + length))
    assert router.get_match(b"GET", b"/p/" + plain)[1] == {"x": plain.decode()}
    for at in range(length):
        for odd in (b"%", b"\xe9"):
            raw = plain[:at] + odd + plain[at + 1 :]
            expected = unquote(raw.decode("utf-8", "replace"))
            assert router.get_match(b"GET", b"/p/" + raw)[1] == {"x": expected}, raw


def test_route_match_errors():
    with pytest.raises(UnicodeDecodeError):
        RouteMatch(Route(), {"id": b"\xff"})
    with pytest.raises(TypeError, match=r"Argument 'values' has incorrect type \(expected dict, got list\)"):
        RouteMatch(Route(), [("a", "b")])

    class NoHandler:
        pattern = b"/"

    with pytest.raises(AttributeError):
        RouteMatch(NoHandler())
    with pytest.raises(TypeError, match=r"takes at least 1 positional argument \(0 given\)"):
        RouteMatch()


def test_values_is_read_only_but_values_field_is_typed():
    m = RouteMatch(Route(), {"a": "1"})
    with pytest.raises(AttributeError):
        m.values = {}
    m._values = None
    assert m.values is None
    with pytest.raises(TypeError):
        m._values = [1]
    m.handler = "other"
    del m.pattern
    assert (m.handler, m.pattern) == ("other", None)


class SlottedRoute:
    __slots__ = ("pattern", "handler")

    def __init__(self, handler="slot"):
        self.pattern, self.handler = b"/s", handler


class PropertyRoute(SlottedRoute):
    handler = property(lambda self: "property", lambda self, value: None)


class FallbackRoute(SlottedRoute):
    def __getattr__(self, name):
        return "fallback"


def test_route_match_reads_a_route_as_attribute_access_would():
    plain, fallback = SlottedRoute(), FallbackRoute()
    del fallback.handler
    # Alternating classes at one reading site, each answered as its class says.
    assert [RouteMatch(r).handler for r in (plain, PropertyRoute(), plain, fallback, plain)] == [
        "slot", "property", "slot", "fallback", "slot"]
    del plain.handler
    with pytest.raises(AttributeError, match="handler"):
        RouteMatch(plain)
    plain.handler = "again"
    assert RouteMatch(plain).handler == "again"
    SlottedRoute.handler = property(lambda self: "changed class")  # the slot's name taken over
    assert RouteMatch(plain).handler == "changed class"


def test_route_match_subclass_and_keywords():
    class Mine(RouteMatch):
        def __init__(self, route, values=None):
            super().__init__(route, values)
            self.extra = True

    m = Mine(Route(), {"a": b"%41"})
    assert m.values == {"a": "A"} and m.extra
    assert RouteMatch(route=Route(), values={"a": "x"}).values == {"a": "x"}


def test_replaced_unquote_is_used(monkeypatch):
    monkeypatch.setattr(routing, "unquote", lambda text: "<" + text + ">")
    assert RouteMatch(Route(), {"b": b"x", "s": "a%", "t": "plain"}).values == {"b": "<x>", "s": "a%", "t": "plain"}
    assert routing._fast_unquote(b"a%41") == "<a%41>"
    assert routing._fast_unquote(b"plain") == "plain"
    tree = RadixTree()
    tree.insert(b"/p/{x}", "r")
    assert tree.match(b"/p/%41") == ("r", {"_p_1": "<%41>"})


def test_missing_unquote_is_a_name_error(monkeypatch):
    monkeypatch.delattr(routing, "unquote")
    with pytest.raises(NameError, match="unquote"):
        routing._fast_unquote(b"%41")
    assert routing._fast_unquote(b"no escapes") == "no escapes"


# --- match_request -------------------------------------------------------------------------------


class Request:
    def __init__(self, method, path):
        self.method, self._path = method, path


@pytest.mark.parametrize(
    "method, path, found",
    [("GET", b"/users/a%2541", {"id": "a%41"}),  # decoded once, by the tree
     ("".join(["G", "ET"]), b"/users/x", {"id": "x"}),  # text that is not the shared object
     ("get", b"/users/x", {"id": "x"}),  # the engine upper-cases
     (b"GET", b"/users/x", {"id": "x"}),
     ("P\u00d6ST", b"/users/x", "post"), ("P\u0100ST", b"/users/x", "replaced"),
     ("GET", b"/nothing", None)],
)
def test_match_request(method, path, found):
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/users/{id}", Route(), ["id"])
    router.add_route("P\u00d6ST".encode("latin-1"), b"/users/{id}", Route(handler="post"), ["id"])
    router.add_route(b"P?ST", b"/users/{id}", Route(handler="replaced"), ["id"])
    match = routing.match_request(router, Request(method, path))
    if found is None:
        assert match is None
    elif isinstance(found, str):
        assert match.handler == found
    else:
        assert type(match) is RouteMatch and match.values == found and match.route.handler == "handler"


def test_match_request_asks_overrides_and_other_routers():
    class Listing(CythonRadixRouter):
        def get_match(self, method, path):
            return [Route(handler=(method, path)), None]

    class Duck:
        def get_match(self, method, path):
            return (Route(handler="duck"), {"n": "1"}, "extra")

    assert routing.match_request(Listing(), Request("PUT", b"/p")).handler == (b"PUT", b"/p")
    with pytest.raises(TypeError):
        routing.match_request(Duck(), Request("GET", b"/"))
    with pytest.raises(TypeError, match="'path' has incorrect type"):
        routing.match_request(CythonRadixRouter(), Request("GET", "/"))
