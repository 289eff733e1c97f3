"""RadixNode and RadixTree: fields, registration and lookup."""

import re

import pytest

from quenmark import routing
from quenmark.routing import RadixNode, RadixTree


class Route:
    def __init__(self, name, param_names=None):
        self.name = name
        if param_names is not None:
            self.param_names = param_names

    def __repr__(self):
        return f"Route({self.name!r})"


@pytest.fixture
def users():
    tree = RadixTree()
    r, m = Route("r"), Route("m")
    tree.insert(b"/users/{id:int}", r)
    tree.insert(b"/users/me", m)
    return tree, r, m


# --- module constants ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, pattern",
    [
        ("_INT_RX", rb"^\d{1,4300}$"),  # more digits than int() converts are no int
        ("_FLOAT_RX", rb"^\d+(?:\.\d+)?$"),
        ("_UUID_RX", rb"^[a-fA-F0-9]{8}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{12}$"),
    ],
)
def test_patterns_are_compiled_byte_patterns(name, pattern):
    rx = getattr(routing, name)
    assert isinstance(rx, re.Pattern)
    assert rx.pattern == pattern


# --- RadixNode --------------------------------------------------------------------------------


def test_node_initial_fields():
    node = RadixNode(b"seg")
    assert node.segment == b"seg"
    assert node.children == {}
    assert node.is_leaf is False
    for name in ("route", "param_child", "param_name", "param_names", "param_validator",
                 "wildcard_child", "wildcard_name", "wildcard_suffix"):
        assert getattr(node, name) is None
    assert RadixNode().segment == b""
    assert RadixNode(segment=None).segment is None
    assert RadixNode().children is not RadixNode().children


@pytest.mark.parametrize(
    "field, good, bad",
    [
        ("segment", b"x", "x"),
        ("children", {}, []),
        ("param_child", RadixNode(), object()),
        ("param_name", "n", b"n"),
        ("param_names", ["a"], ("a",)),
        ("wildcard_child", RadixNode(), 1),
        ("wildcard_name", "tail", 1),
        ("wildcard_suffix", b".css", ".css"),
    ],
)
def test_node_typed_fields(field, good, bad):
    node = RadixNode()
    setattr(node, field, good)
    assert getattr(node, field) is good
    setattr(node, field, None)
    assert getattr(node, field) is None
    with pytest.raises(TypeError):
        setattr(node, field, bad)
    setattr(node, field, good)
    delattr(node, field)
    assert getattr(node, field) is None


def test_node_typed_field_messages():
    node = RadixNode()
    with pytest.raises(TypeError, match=r"^Expected bytes, got str$"):
        node.segment = "x"
    with pytest.raises(TypeError, match=r"^Cannot convert int to quenmark\.routing\.RadixNode$"):
        node.param_child = 1
    with pytest.raises(TypeError, match=r"^Argument 'segment' has incorrect type \(expected bytes, got str\)$"):
        RadixNode("x")
    with pytest.raises(TypeError, match=r"takes at most 1 positional argument \(2 given\)"):
        RadixNode(b"a", b"b")


def test_node_subclass_instances_are_accepted_as_children():
    class Sub(RadixNode):
        pass

    node = RadixNode()
    node.param_child = Sub(b"x")
    assert isinstance(node.param_child, Sub)


def test_node_untyped_fields_take_anything():
    node = RadixNode()
    node.route = 42
    node.param_validator = "anything"
    assert (node.route, node.param_validator) == (42, "anything")


def test_is_leaf_accepts_bool_only_and_cannot_be_deleted():
    node = RadixNode()
    node.is_leaf = True
    assert node.is_leaf is True
    with pytest.raises(TypeError):
        node.is_leaf = 1
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del node.is_leaf


# --- insert: the tree it builds ------------------------------------------------------------------


def test_insert_builds_static_param_and_wildcard_nodes():
    tree = RadixTree()
    route = Route("r")
    tree.insert(b"/Users/{id:int}/files/*.CSS", route, ["id", "tail"])
    users = tree.root.children[b"users"]
    assert users.segment == b"users"
    param = users.param_child
    assert (param.segment, param.param_name, param.param_validator) == (b"{id:int}", "id", routing._INT_RX)
    files = param.children[b"files"]
    assert (files.wildcard_name, files.wildcard_suffix) == ("tail", b".css")
    wild = files.wildcard_child
    assert wild.segment == b"*"
    assert (wild.route, wild.is_leaf, wild.param_names) == (route, True, ["id", "tail"])
    assert files.route is None and files.is_leaf is False
    assert tree.static_routes == {}


@pytest.mark.parametrize(
    "segment, name, validator",
    [
        (b"{id:int}", "id", "_INT_RX"),
        (b"{int:id}", "id", "_INT_RX"),
        (b"<id:uuid>", "id", "_UUID_RX"),
        (b":id:float", "id", "_FLOAT_RX"),
        (b"{float:x}", "x", "_FLOAT_RX"),
        (b"{id:str}", "id", None),
        (b"{string:id}", "id", None),
        (b"{id}", "id", None),
        (b"{}", "", None),
        (b":", "", None),
        (b"{id:unknown}", "id", None),
        (b"{a:b:int}", "a", None),
        (b"{int:a:b}", "a:b", "_INT_RX"),
        (b"{path}", "path", None),
        (b"{n\xc3\xa9:int}", "n\u00e9", "_INT_RX"),
    ],
)
def test_parameter_segment_forms(segment, name, validator):
    tree = RadixTree()
    tree.insert(b"/p/" + segment, "r")
    node = tree.root.children[b"p"].param_child
    assert node.param_name == name
    assert node.param_validator is (getattr(routing, validator) if validator else None)


def test_the_first_parameter_child_wins():
    tree = RadixTree()
    tree.insert(b"/p/{a:int}/x", "px")
    tree.insert(b"/p/{b}/y", "py")
    node = tree.root.children[b"p"].param_child
    assert (node.param_name, node.segment) == ("a", b"{a:int}")
    assert tree.match(b"/p/abc/y") is None
    assert tree.match(b"/p/5/y") == ("py", {"_p_1": "5"})


@pytest.mark.parametrize("segment", [b"{rest:path}", b"{path:rest}", b"<rest:path>", b":rest:path"])
def test_path_parameter_is_a_named_catch_all(segment):
    tree = RadixTree()
    tree.insert(b"/files/" + segment + b"/ignored", "f")
    files = tree.root.children[b"files"]
    assert (files.wildcard_name, files.wildcard_suffix) == ("rest", None)
    assert files.param_child is None
    assert files.wildcard_child.route == "f"


def test_later_catch_all_resets_name_and_suffix_on_the_parent():
    tree = RadixTree()
    tree.insert(b"/s/*.css", "css")
    tree.insert(b"/s/{rest:path}", "rest")
    s = tree.root.children[b"s"]
    assert (s.wildcard_name, s.wildcard_suffix, s.wildcard_child.route) == ("rest", None, "rest")


@pytest.mark.parametrize(
    "pattern, keys",
    [
        (b"/users/me", [b"/users/me", b"/users/me/"]),
        (b"/users/me///", [b"/users/me", b"/users/me/"]),
        (b"", [b"/", b""]),
        (b"/", [b"/", b""]),
        (b"///", [b"", b"/"]),
        (b"/a}b>", [b"/a}b>", b"/a}b>/"]),
    ],
)
def test_static_table_entries(pattern, keys):
    tree = RadixTree()
    tree.insert(pattern, "r")
    assert sorted(tree.static_routes) == sorted(keys)


@pytest.mark.parametrize("pattern", [b"/a/{x}", b"/a/:x", b"/a/<x>", b"/a/*", b"/a{", b"/x*/"])
def test_patterns_with_syntax_bytes_are_tree_only(pattern):
    tree = RadixTree()
    tree.insert(pattern, "r")
    assert tree.static_routes == {}


def test_catch_all_pattern_ending_in_star_slash_keeps_its_slash():
    tree = RadixTree()
    tree.insert(b"/files/*/", "f")
    assert tree.root.children[b"files"].wildcard_child.route == "f"
    assert tree.match(b"/files/a/b") == ("f", {"tail": "a/b"})


def test_reinserting_overwrites_route_and_names():
    tree = RadixTree()
    tree.insert(b"/u/{id}", "old", ["id"])
    tree.insert(b"/u/{id}", "new")
    assert tree.match(b"/u/1") == ("new", {"_p_1": "1"})
    tree.insert(b"/x", "old")
    tree.insert(b"/x", "new")
    assert tree.match(b"/x") == ("new", None)


# --- insert: param_names ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "arg, attr, expected",
    [
        (["id"], None, ["id"]),
        ([b"id"], None, ["id"]),
        ([], ["ignored"], []),
        (None, ["id"], ["id"]),
        (None, (b"id",), ["id"]),
        (None, [], None),
        (None, None, None),
    ],
)
def test_param_names_sources(arg, attr, expected):
    tree = RadixTree()
    tree.insert(b"/u/{x}", Route("r", attr), arg)
    assert tree.root.children[b"u"].param_child.param_names == expected


def test_param_names_argument_is_copied():
    names = ["id"]
    tree = RadixTree()
    tree.insert(b"/u/{x}", "r", names)
    names.append("more")
    assert tree.root.children[b"u"].param_child.param_names == ["id"]


def test_param_names_item_without_decode_fails_but_keeps_earlier_nodes():
    tree = RadixTree()
    with pytest.raises(AttributeError):
        tree.insert(b"/a/{x}", "r", [1])
    node = tree.root.children[b"a"].param_child
    assert node.route is None and node.is_leaf is False
    with pytest.raises(AttributeError):
        tree.insert(b"/static", "s", [1])
    assert tree.static_routes == {b"/static": "s", b"/static/": "s"}


def test_route_param_names_property_errors_propagate():
    class Broken:
        @property
        def param_names(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        RadixTree().insert(b"/a", Broken())


def test_invalid_utf8_parameter_name_raises_and_keeps_earlier_nodes():
    tree = RadixTree()
    with pytest.raises(UnicodeDecodeError):
        tree.insert(b"/good/{\xff}", "r")
    assert b"good" in tree.root.children
    assert tree.root.children[b"good"].param_child is None
    # A static segment with such bytes is fine: static text is never decoded.
    tree.insert(b"/caf\xe9/{x}", "r")
    assert tree.match(b"/CAF\xe9/1") == ("r", {"_p_1": "1"})


@pytest.mark.parametrize(
    "args, message",
    [
        (("x", "r"), r"Argument 'pattern' has incorrect type \(expected bytes, got str\)"),
        ((None, "r"), r"Argument 'pattern' has incorrect type \(expected bytes, got NoneType\)"),
        ((bytearray(b"/x"), "r"), r"expected bytes, got bytearray"),
        ((b"/x", "r", ("a",)), r"Argument 'param_names' has incorrect type \(expected list, got tuple\)"),
        ((b"/x",), r"insert\(\) takes at least 2 positional arguments \(1 given\)"),
        ((b"/x", 1, None, 4), r"insert\(\) takes at most 3 positional arguments \(4 given\)"),
    ],
)
def test_insert_argument_errors(args, message):
    tree = RadixTree()
    with pytest.raises(TypeError, match=message):
        tree.insert(*args)
    assert tree.static_routes == {} and tree.root.children == {}


def test_insert_and_match_take_keywords():
    tree = RadixTree()
    tree.insert(pattern=b"/u/{x}", route="r", param_names=["x"])
    assert tree.match(path=b"/u/1") == ("r", {"x": "1"})


# --- match: the documented cases ----------------------------------------------------------------


def test_users_example(users):
    tree, r, m = users
    assert tree.match(b"/users/me") == (m, None)
    assert tree.match(b"/users/42") == (r, {"_p_1": "42"})
    assert tree.match(b"/users/abc") is None


@pytest.mark.parametrize("how", ["argument", "attribute"])
def test_users_example_with_names(how):
    tree = RadixTree()
    if how == "argument":
        r = Route("r")
        tree.insert(b"/users/{id:int}", r, ["id"])
    else:
        r = Route("r", ["id"])
        tree.insert(b"/users/{id:int}", r)
    assert tree.match(b"/users/42") == (r, {"id": "42"})


def test_static_segments_compare_case_insensitively_in_the_tree(users):
    tree, _, m = users
    assert b"/Users/ME" not in tree.static_routes
    assert tree.match(b"/Users/ME") == (m, None)


@pytest.mark.parametrize("length", [1, 2, 3, 4, 7, 8, 9, 15, 16, 17])
def test_static_children_are_found_whatever_their_length_and_case(length):
    tree = RadixTree()
    segments = [bytes([ord("a") + (i + k) % 26 for k in range(length)]) for i in range(6)]
    for i, segment in enumerate(segments):
        tree.insert(b"/" + segment + b"/{x}", Route(str(i)))
    for i, segment in enumerate(segments):
        route, _ = tree.match(b"/" + segment.upper() + b"/v")
        assert route.name == str(i)
    assert tree.match(b"/" + segments[0][:-1] + b"!/v") is None


def test_trailing_slash(users):
    tree, r, m = users
    assert tree.match(b"/users/me/") == (m, None)
    assert tree.match(b"/users/42/") == (r, {"_p_1": "42"})


@pytest.mark.parametrize("path", [b"//users/me", b"/users//me", b"/users/me//", b"//", b"/users/42//"])
def test_double_slash_never_matches(users, path):
    tree, _, _ = users
    assert tree.match(path) is None


@pytest.mark.parametrize("at", range(1, 19))
def test_a_double_slash_anywhere_in_a_long_path_never_matches(at):
    tree = RadixTree()
    tree.insert(b"/{rest:path}", Route("r"))
    path = b"/" + b"a" * 20
    assert tree.match(path) is not None
    assert tree.match(path[:at] + b"//" + path[at:]) is None


@pytest.mark.parametrize("key, path", [
    (b"/a//b", b"/a//b"),  # the table holds the very path
    (b"/a", b"/a//"),  # the path without its trailing slashes
    (b"//a", b"//a/"),  # the path without its trailing slash, still holding one
])
def test_static_routes_never_answer_a_path_with_a_double_slash(key, path):
    tree = RadixTree()
    tree.static_routes[key] = "hand-made"
    assert tree.match(path) is None


def test_stripped_path_is_looked_up_in_the_static_table():
    tree = RadixTree()
    tree.static_routes[b"/only"] = "hand-made"
    assert tree.match(b"/only/") == ("hand-made", None)
    assert tree.match(b"/only") == ("hand-made", None)
    assert tree.match(b"/ONLY") is None


@pytest.mark.parametrize("path", [b"/s", b"/long/static/path"])
def test_static_routes_changed_from_the_host_are_seen_at_once(path):
    tree = RadixTree()
    tree.static_routes[path] = "first"
    assert tree.match(path) == ("first", None)
    tree.static_routes[path] = "second"
    assert tree.match(path + b"/") == ("second", None)
    tree.static_routes[path + b"/longer"] = "longer"  # longer than any key the index has seen
    assert tree.match(path + b"/longer") == ("longer", None)
    del tree.static_routes[path]
    assert tree.match(path) is None
    tree.static_routes = {path: "third", "text key": "ignored"}  # a key the index cannot hold
    assert tree.match(path) == ("third", None)
    tree.static_routes = {path.upper(): "fourth"}
    assert tree.match(path) is None and tree.match(path.upper()) == ("fourth", None)


def test_paths_without_leading_slash_use_the_same_segments():
    tree = RadixTree()
    tree.insert(b"/a/{x}", "r")
    assert tree.match(b"a/1") == ("r", {"_p_1": "1"})


@pytest.mark.parametrize(
    "segment", [b"{int:id}", b"{id:int}", b"<id:int>", b":id:int", b":int:id"]
)
def test_integer_parameter_spellings(segment):
    tree = RadixTree()
    tree.insert(b"/i/" + segment, "r")
    assert tree.match(b"/i/12") == ("r", {"_p_1": "12"})
    assert tree.match(b"/i/x") is None


@pytest.mark.parametrize(
    "kind, accepted, rejected",
    [
        ("int", [b"0", b"007", b"42\n", b"12345678901234567890"], [b"-1", b"+1", b"1.0", b"4\n\n", b"\n", b"1 ", b"\xd9\xa1"]),
        ("float", [b"3", b"3.25", b"007.50", b"3\n", b"3.5\n"], [b"-3", b".5", b"3.", b"1e5", b"3.2.1", b"3.5\n\n", b"nan"]),
        (
            "uuid",
            [b"123e4567-e89b-12d3-a456-426614174000", b"123E4567-E89B-12D3-A456-42661417400F",
             b"123e4567-e89b-12d3-a456-426614174000\n"],
            [b"123e4567e89b12d3a456426614174000", b"123e4567-e89b-12d3-a456-42661417400g",
             b"{123e4567-e89b-12d3-a456-426614174000}", b"123e4567-e89b-12d3-a456-4266141740000",
             b"123e4567-e89b-12d3-a456-426614174000\n\n"],
        ),
        ("str", [b"anything", b"-1", b"%20"], []),
        ("string", [b"x"], []),
        ("", [b"x"], []),
    ],
)
def test_validation_by_type(kind, accepted, rejected):
    tree = RadixTree()
    segment = b"{v:" + kind.encode() + b"}" if kind else b"{v}"
    tree.insert(b"/v/" + segment, "r", ["v"])
    for seg in accepted:
        result = tree.match(b"/v/" + seg)
        assert result is not None, seg
        assert isinstance(result[1]["v"], str)
    for seg in rejected:
        assert tree.match(b"/v/" + seg) is None, seg


def test_captured_values_stay_strings():
    tree = RadixTree()
    tree.insert(b"/n/{a:int}/{b:float}/{c:uuid}", "r", ["a", "b", "c"])
    uid = b"123e4567-e89b-12d3-a456-426614174000"
    assert tree.match(b"/n/007/3.50/" + uid) == ("r", {"a": "007", "b": "3.50", "c": uid.decode()})


def test_validator_sees_the_segment_as_received():
    seen = []

    class Spy:
        def match(self, seg):
            seen.append(seg)
            return seg.isupper()

    tree = RadixTree()
    tree.insert(b"/p/{x}", "r")
    tree.root.children[b"p"].param_child.param_validator = Spy()
    assert tree.match(b"/p/ABC") == ("r", {"_p_1": "ABC"})
    assert tree.match(b"/p/abc") is None
    assert seen == [b"ABC", b"abc"]


def test_replaced_module_pattern_is_called_as_a_pattern(monkeypatch):
    monkeypatch.setattr(routing, "_INT_RX", re.compile(rb"^[a-z]+$"))
    tree = RadixTree()
    tree.insert(b"/p/{x:int}", "r")
    assert tree.match(b"/p/abc") == ("r", {"_p_1": "abc"})
    assert tree.match(b"/p/12") is None


def test_missing_module_pattern_is_a_name_error(monkeypatch):
    monkeypatch.delattr(routing, "_UUID_RX")
    with pytest.raises(NameError, match="_UUID_RX"):
        RadixTree().insert(b"/p/{x:uuid}", "r")
    RadixTree().insert(b"/p/{x:int}", "r")


def test_path_parameter_examples():
    tree = RadixTree()
    tree.insert(b"/files/{rest:path}", "f")
    assert tree.match(b"/files/a/b%20c") == ("f", {"rest": "a/b c"})
    assert tree.match(b"/files") == ("f", {"rest": ""})
    assert tree.match(b"/files/") == ("f", {"rest": ""})


@pytest.mark.parametrize("path, tail", [(b"/f/a/b", "a/b"), (b"/f", ""), (b"/f/", "")])
def test_unnamed_path_parameter_reports_under_tail(path, tail):
    tree = RadixTree()
    tree.insert(b"/f/{:path}", "f")
    assert tree.match(path) == ("f", {"tail": tail})


def test_suffix_catch_all_examples():
    tree = RadixTree()
    tree.insert(b"/static/*.css", "css")
    assert tree.match(b"/static/x/Site.CSS") == ("css", {"tail": "x/Site"})
    assert tree.match(b"/static/x.js") is None
    assert tree.match(b"/static") is None
    assert tree.match(b"/static/.css") == ("css", {"tail": ""})


def test_catch_all_names_apply_to_an_empty_remainder_too():
    # The values of one route are keyed alike whatever the remainder: "/a/1" is no "_p_1".
    tree = RadixTree()
    tree.insert(b"/a/{x}/{rest:path}", "a", ["x", "rest"])
    tree.insert(b"/*", "root", ["all"])
    assert tree.match(b"/a/1/b/c") == ("a", {"x": "1", "rest": "b/c"})
    assert tree.match(b"/a/1") == ("a", {"x": "1", "rest": ""})
    assert tree.match(b"/z") == ("root", {"all": "z"})
    assert tree.match(b"/") == ("root", {"all": ""})


def test_catch_all_names_must_count_one_more_than_the_captures():
    tree = RadixTree()
    tree.insert(b"/a/{x}/*", "a", ["only"])
    assert tree.match(b"/a/1/b") == ("a", {"_p_1": "1", "tail": "b"})


def test_backtracking_from_a_static_branch():
    tree = RadixTree()
    tree.insert(b"/a/b/c", "abc")
    tree.insert(b"/a/{x}/d", "axd")
    assert tree.match(b"/a/b/d") == ("axd", {"_p_1": "b"})
    assert tree.match(b"/a/b/c") == ("abc", None)


def test_backtracking_drops_values_of_abandoned_branches():
    tree = RadixTree()
    tree.insert(b"/{a}/{b}/x", "deep")
    tree.insert(b"/{a}/*", "wild")
    assert tree.match(b"/1/2/y") == ("wild", {"_p_0": "1", "tail": "2/y"})


def test_catch_all_is_the_last_choice():
    tree = RadixTree()
    tree.insert(b"/a/*", "wild")
    tree.insert(b"/a/{x}", "param")
    tree.insert(b"/a/b", "static")
    assert tree.match(b"/a/b") == ("static", None)
    assert tree.match(b"/a/c") == ("param", {"_p_1": "c"})
    assert tree.match(b"/a/c/d") == ("wild", {"tail": "c/d"})


def test_leaf_without_route_falls_back_to_the_catch_all():
    tree = RadixTree()
    tree.insert(b"/a/{rest:path}", "wild")
    tree.insert(b"/a/b/c", "abc")
    assert tree.match(b"/a/b") == ("wild", {"rest": "b"})


@pytest.mark.parametrize("pattern", [b"/", b""])
@pytest.mark.parametrize("path", [b"", b"/"])
def test_root_route(pattern, path):
    tree = RadixTree()
    tree.insert(pattern, "root")
    assert tree.match(path) == ("root", None)


def test_root_catch_all_answers_the_empty_path():
    tree = RadixTree()
    tree.insert(b"/*", "wild")
    assert tree.match(b"/") == ("wild", {"tail": ""})
    assert tree.match(b"") == ("wild", {"tail": ""})
    assert tree.match(b"/x/y") == ("wild", {"tail": "x/y"})
    tree.insert(b"/{rest:path}", "named")
    assert tree.match(b"/") == ("named", {"rest": ""})


@pytest.mark.parametrize("path", [b"", b"/"])
def test_root_suffix_catch_all_does_not_answer_the_empty_path(path):
    tree = RadixTree()
    tree.insert(b"/*.css", "css")
    assert tree.match(path) is None
    assert tree.match(b"/a.CSS") == ("css", {"tail": "a"})


def test_empty_tree_matches_nothing():
    tree = RadixTree()
    for path in (b"", b"/", b"/a", b"/a/b/"):
        assert tree.match(path) is None


def test_percent_escapes_and_invalid_utf8_in_values():
    tree = RadixTree()
    tree.insert(b"/p/{x}", "r")
    assert tree.match(b"/p/%2541") == ("r", {"_p_1": "%41"})
    assert tree.match(b"/p/a+b") == ("r", {"_p_1": "a+b"})
    assert tree.match(b"/p/\xff%e2%82%ac") == ("r", {"_p_1": "\ufffd\u20ac"})
    assert tree.match(b"/p/%zz") == ("r", {"_p_1": "%zz"})


def test_every_lookup_returns_a_fresh_dict():
    tree = RadixTree()
    tree.insert(b"/p/{x}", "r", ["x"])
    first = tree.match(b"/p/1")[1]
    first["x"] = "changed"
    assert tree.match(b"/p/1") == ("r", {"x": "1"})


def test_fields_set_to_none_from_the_host():
    tree = RadixTree()
    tree.insert(b"/a/b", "r")
    tree.insert(b"/a/{x}", "p")
    tree.root.children[b"a"].children = None
    assert tree.match(b"/a/b") == ("r", None)  # still in the static table
    assert tree.match(b"/A/b") == ("p", {"_p_1": "b"})
    tree.static_routes = None
    assert tree.match(b"/a/b") == ("p", {"_p_1": "b"})
    with pytest.raises(TypeError):
        tree.insert(b"/static", "s")
    tree.root = None
    assert tree.match(b"/a/b") is None
    with pytest.raises(TypeError):
        tree.insert(b"/a/{y}", "s")


def test_non_node_child_in_children_is_a_type_error():
    tree = RadixTree()
    tree.insert(b"/a/{x}", "r")
    tree.root.children[b"a"] = "not a node"
    with pytest.raises(TypeError, match="Cannot convert str to quenmark.routing.RadixNode"):
        tree.match(b"/a/1")
    with pytest.raises(TypeError):
        tree.insert(b"/a/b/{c}", "r")


def test_tree_fields():
    tree = RadixTree()
    assert isinstance(tree.root, RadixNode) and tree.root.segment == b""
    assert tree.static_routes == {}
    with pytest.raises(TypeError):
        tree.root = "x"
    with pytest.raises(TypeError):
        tree.static_routes = []
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
        RadixTree(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        RadixTree(x=1)


def test_reinitialising_a_tree_clears_it():
    tree = RadixTree()
    tree.insert(b"/a", "r")
    tree.__init__()
    assert tree.match(b"/a") is None and tree.static_routes == {}


@pytest.mark.parametrize("path", ["/a", None, bytearray(b"/a"), memoryview(b"/a"), 1])
def test_match_rejects_non_bytes(path):
    with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
        RadixTree().match(path)


def test_changes_to_children_from_the_host_are_seen_at_once():
    tree = RadixTree()
    tree.insert(b"/a/{x}", "param")
    tree.insert(b"/a/b", "static")
    a = tree.root.children[b"a"]
    assert tree.match(b"/A/B") == ("static", None)
    replacement = RadixNode(b"b")
    replacement.route, replacement.is_leaf = "replaced", True
    a.children[b"b"] = replacement
    assert tree.match(b"/A/B") == ("replaced", None)
    del a.children[b"b"]
    assert tree.match(b"/A/B") == ("param", {"_p_1": "B"})
    a.children[b"c"] = replacement
    assert tree.match(b"/a/C") == ("replaced", None)
    a.children.clear()
    assert tree.match(b"/a/C") == ("param", {"_p_1": "C"})
    a.children = {b"d": replacement}
    assert tree.match(b"/a/D") == ("replaced", None)
    a.children.update({b"e": replacement})
    assert tree.match(b"/a/e") == ("replaced", None)
    a.children = {"d": replacement, b"d": replacement}  # a str key among the bytes keys
    assert tree.match(b"/a/D") == ("replaced", None)
    assert tree.match(b"/a/x") == ("param", {"_p_1": "x"})
    a.children = {b"D": replacement}  # keys are compared with the lower-cased segment
    assert tree.match(b"/a/D") == ("param", {"_p_1": "D"})
