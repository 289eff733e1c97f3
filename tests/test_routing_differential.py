"""The compiled router against a small pure-Python model of the same insert/match algorithm, on
generated route sets and paths; and the native fast paths (percent-decoding, the three
parameter checks) against the host functions whose meaning they copy."""

import re
import urllib.parse

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quenmark import routing
from quenmark.routing import CythonRadixRouter, RadixTree, RouteMatch

# --- the reference model -------------------------------------------------------------------

_TYPES = ("int", "float", "uuid", "str", "string", "path")


class RefNode:
    def __init__(self, segment=b""):
        self.segment = segment
        self.route = None
        self.children = {}
        self.param_child = None
        self.param_name = None
        self.param_names = None
        self.param_validator = None
        self.wildcard_child = None
        self.wildcard_name = None
        self.wildcard_suffix = None
        self.is_leaf = False


def ref_fast_unquote(val):
    text = val.decode("utf8", "replace")
    return text if "%" not in text else urllib.parse.unquote(text)


def _is_param(seg):
    return (
        (seg.startswith(b"{") and seg.endswith(b"}"))
        or (seg.startswith(b"<") and seg.endswith(b">"))
        or seg.startswith(b":")
    )


def ref_parse_param_segment(seg):
    if (seg.startswith(b"{") and seg.endswith(b"}")) or (seg.startswith(b"<") and seg.endswith(b">")):
        inner = seg[1:-1]
    elif seg.startswith(b":"):
        inner = seg[1:]
    else:
        inner = seg
    text = inner.decode("utf8")
    if ":" in text:
        a, b = text.split(":", 1)
        kind, name = (a, b) if a in _TYPES else (b, a)
    else:
        name, kind = text, ""
    validators = {"int": routing._INT_RX, "float": routing._FLOAT_RX, "uuid": routing._UUID_RX}
    return name, "path" if kind == "path" else validators.get(kind)


class RefTree:
    def __init__(self):
        self.root = RefNode(b"")
        self.static_routes = {}

    def insert(self, pattern, route, param_names=None):
        if not pattern:
            pattern = b"/"
        if len(pattern) > 1 and pattern.endswith(b"/") and not pattern.endswith(b"*/"):
            pattern = pattern.rstrip(b"/")
        if not any(c in pattern for c in (b"{", b":", b"<", b"*")):
            self.static_routes[pattern] = route
            if pattern != b"/":
                self.static_routes[pattern + b"/"] = route
            else:
                self.static_routes[b""] = route
        current = self.root
        for seg in [s for s in pattern.split(b"/") if s]:
            if seg.startswith(b"*"):
                if current.wildcard_child is None:
                    current.wildcard_child = RefNode(b"*")
                current.wildcard_name = "tail"
                current.wildcard_suffix = seg[1:].lower() if len(seg) > 1 else None
                current = current.wildcard_child
                break
            if _is_param(seg):
                name, validator = ref_parse_param_segment(seg)
                if validator == "path":
                    if current.wildcard_child is None:
                        current.wildcard_child = RefNode(b"*")
                    current.wildcard_name = name
                    current.wildcard_suffix = None
                    current = current.wildcard_child
                    break
                if current.param_child is None:
                    child = RefNode(seg)
                    child.param_name = name
                    child.param_validator = validator
                    current.param_child = child
                current = current.param_child
                continue
            lowered = seg.lower()
            if lowered not in current.children:
                current.children[lowered] = RefNode(lowered)
            current = current.children[lowered]
        names = param_names
        if names is None:
            attr = getattr(route, "param_names", None)
            names = attr if attr else None
        if names is not None:
            names = [n if isinstance(n, str) else n.decode("utf8") for n in names]
        current.route = route
        current.is_leaf = True
        current.param_names = names

    def match(self, path):
        if b"//" in path:
            return None
        if path in self.static_routes:
            return self.static_routes[path], None
        if len(path) > 1 and path.endswith(b"/"):
            path = path.rstrip(b"/")
        if path in self.static_routes:
            return self.static_routes[path], None
        if path in (b"", b"/"):
            root = self.root
            if root.route is not None:
                return root.route, None
            wild = root.wildcard_child
            if wild is not None and wild.route is not None and root.wildcard_suffix is None:
                names = wild.param_names
                key = names[0] if isinstance(names, list) and len(names) == 1 else root.wildcard_name or "tail"
                return wild.route, {key: ""}
            return None
        segments = [s for s in path.split(b"/") if s]
        return self._match_recursive(self.root, segments, 0, {})

    def _match_recursive(self, current, segments, index, params):
        def copy():
            return dict(params) if params else {}

        if index == len(segments):
            if current.is_leaf and current.route is not None:
                names = current.param_names
                if isinstance(names, list) and names and params and len(names) == len(params):
                    return current.route, dict(zip(names, params.values()))
                return current.route, (params if params else None)
            wild = current.wildcard_child
            if wild is not None and wild.route is not None and current.wildcard_suffix is None:
                return self._catch_all(current, wild, params, "")
            return None
        seg = segments[index]
        child = current.children.get(seg.lower())
        if child is not None:
            result = self._match_recursive(child, segments, index + 1, params)
            if result is not None:
                return result
        pchild = current.param_child
        if pchild is not None and (pchild.param_validator is None or pchild.param_validator.match(seg)):
            values = copy()
            values["_p_" + str(index)] = ref_fast_unquote(seg)
            result = self._match_recursive(pchild, segments, index + 1, values)
            if result is not None:
                return result
        wild = current.wildcard_child
        if wild is None or wild.route is None:
            return None
        remainder = b"/".join(segments[index:])
        suffix = current.wildcard_suffix
        if suffix is not None:
            if not remainder.lower().endswith(suffix):
                return None
            remainder = remainder[: len(remainder) - len(suffix)]
        return self._catch_all(current, wild, params, ref_fast_unquote(remainder))

    @staticmethod
    def _catch_all(current, wild, params, text):
        values = dict(params) if params else {}
        names = wild.param_names
        if isinstance(names, list) and names and len(names) == len(values) + 1:
            return wild.route, dict(zip(names, list(values.values()) + [text]))
        values[current.wildcard_name or "tail"] = text
        return wild.route, values


# --- generated route sets and paths ----------------------------------------------------------


class NamedRoute:
    def __init__(self, label, param_names=None):
        self.label = label
        if param_names is not None:
            self.param_names = param_names

    def __repr__(self):
        return f"<route {self.label}>"


STATIC = ["a", "b", "B", "users", "me", "x.css", "v1", "7", "%41", "Items"]
PARAMS = [
    "{id}", "{id:int}", "{int:id}", "{x:float}", "<u:uuid>", ":n:float", "{s:str}", "{s:string}",
    "{rest:path}", "{path:rest}", "{:path}", "*", "*.css", "*.X", "{}", ":q", "{k:weird}",
]
PATH_SEGMENTS = [
    "a", "A", "b", "users", "USERS", "me", "7", "42", "007", "-1", "3.25", "3.", ".5", "1e5",
    "x.css", "Y.CSS", "%41", "%2541", "%zz", "%e2%82%ac", "a%2Fb", "\u00e9", "v1",
    "123e4567-e89b-12d3-a456-426614174000", "123E4567-E89B-12D3-A456-426614174000", "42\n",
    "4\n\n", "+1",
]

segment_text = st.one_of(st.sampled_from(STATIC), st.sampled_from(PARAMS))
patterns = st.builds(
    lambda segs, lead, trail: (("/" if lead else "") + "/".join(segs) + ("/" if trail else "")).encode(),
    st.lists(segment_text, min_size=0, max_size=4),
    st.booleans(),
    st.booleans(),
)
names = st.sampled_from(["id", "x", "rest", b"n", "tail"])
param_names_arg = st.one_of(st.none(), st.lists(names, max_size=4))
route_names_attr = st.one_of(st.none(), st.just([]), st.lists(names, min_size=1, max_size=4))
registrations = st.lists(st.tuples(patterns, param_names_arg, route_names_attr), min_size=1, max_size=12)

raw_segment = st.one_of(
    st.sampled_from(PATH_SEGMENTS).map(lambda s: s.encode()),
    st.binary(min_size=1, max_size=6).map(lambda b: b.replace(b"/", b"") or b"z"),
)
paths = st.builds(
    lambda segs, lead, trail, double: (
        (b"/" if lead else b"") + (b"//" if double else b"/").join(segs) + (b"/" if trail else b"")
    ),
    st.lists(raw_segment, min_size=0, max_size=6),
    st.booleans(),
    st.booleans(),
    st.integers(0, 9).map(lambda i: i == 0),
)


def _outcome(call):
    try:
        result = call()
    except Exception as exc:  # both sides must fail alike
        return ("raised", type(exc))
    if result is None:
        return None
    route, params = result
    return (route, None if params is None else list(params.items()))


def _build(regs, probes=()):
    """Both trees with the same registrations; `probes` are looked up after every one of them,
    so that lookups also run against trees that are still growing."""
    compiled, model = RadixTree(), RefTree()
    outcomes = []
    for i, (pattern, pnames, attr) in enumerate(regs):
        route = NamedRoute(i, attr)
        arg = None if pnames is None else list(pnames)
        outcomes.append((_outcome(lambda: compiled.insert(pattern, route, arg)),
                         _outcome(lambda: model.insert(pattern, route, arg))))
        for path in probes:
            outcomes.append((_outcome(lambda: compiled.match(path)), _outcome(lambda: model.match(path))))
    return compiled, model, outcomes


def _path_for(pattern, filler):
    """A path shaped like `pattern`, with its parameter segments replaced by `filler`."""
    out = []
    for seg in pattern.split(b"/"):
        if seg and (_is_param(seg) or seg.startswith(b"*")):
            out.append(filler)
        elif seg:
            out.append(seg.upper() if len(seg) % 2 else seg)
    return b"/" + b"/".join(out)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(regs=registrations, probes=st.lists(paths, max_size=12), fillers=st.lists(raw_segment, max_size=4))
def test_compiled_tree_agrees_with_the_model(regs, probes, fillers):
    compiled, model, outcomes = _build(regs, probes[:3])
    for native, reference in outcomes:
        assert native == reference
    candidates = list(probes) + [b"", b"/", b"//"]
    for pattern, _, _ in regs:
        candidates.append(pattern)
        for filler in fillers:
            candidates.append(_path_for(pattern, filler))
            candidates.append(_path_for(pattern, filler) + b"/" + filler)
    for path in candidates:
        assert _outcome(lambda: compiled.match(path)) == _outcome(lambda: model.match(path)), path


@settings(max_examples=200, deadline=None)
@given(regs=registrations, probes=st.lists(paths, max_size=8))
def test_router_agrees_with_the_model_per_method(regs, probes):
    router = CythonRadixRouter()
    model = {b"GET": RefTree(), b"POST": RefTree()}
    for i, (pattern, pnames, attr) in enumerate(regs):
        method = b"get" if i % 2 else b"POST"
        route = NamedRoute(i, attr)
        router.add_route(method, pattern, route, None if pnames is None else list(pnames))
        model[method.upper()].insert(pattern, route, None if pnames is None else list(pnames))
    for path in probes:
        for method in (b"GET", b"gEt", b"POST"):
            got = _outcome(lambda: router.get_match(method, path))
            assert got == _outcome(lambda: model[method.upper()].match(path))
        assert router.get_match(b"HEAD", path) is None


# --- percent-decoding --------------------------------------------------------------------------

escape_heavy = st.lists(
    st.one_of(
        st.sampled_from([b"%", b"%4", b"%41", b"%e2", b"%82", b"%ac", b"%C3", b"%a9", b"%zz", b"%%", b"+",
                         b"%2B", b"%00", b"%fF", b"%Ff", b"%-1", b"% 1"]),
        st.binary(min_size=1, max_size=3),
        st.sampled_from(["é", "€", "\U0001f600", "x"]).map(lambda s: s.encode()),
        st.sampled_from([b"\xc3", b"\xa9", b"\xff", b"\xe2\x82"]),
    ),
    max_size=12,
).map(b"".join)


@settings(max_examples=1500, deadline=None)
@given(val=st.one_of(escape_heavy, st.binary(max_size=40)))
def test_fast_unquote_is_the_host_unquote_of_the_replaced_decoding(val):
    assert routing._fast_unquote(val) == ref_fast_unquote(val)


text_values = st.lists(
    st.one_of(
        st.sampled_from(["%", "%41", "%C3", "%A9", "%e2%82%ac", "%zz", "+", "é", "\ud800", "€", "a"]),
        st.text(max_size=3),
    ),
    max_size=10,
).map("".join)


class _Route:
    handler = "h"
    pattern = b"/p"


@settings(max_examples=800, deadline=None)
@given(value=text_values)
def test_route_match_keeps_text_as_decoded(value):
    assert RouteMatch(_Route(), {"v": value}).values == {"v": value}


@settings(max_examples=500, deadline=None)
@given(value=escape_heavy)
def test_route_match_decodes_bytes_strictly_then_unquotes(value):
    try:
        text = value.decode("utf8")
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            RouteMatch(_Route(), {"v": value})
        return
    assert RouteMatch(_Route(), {"v": value}).values == {"v": urllib.parse.unquote(text)}


# --- the three parameter checks ----------------------------------------------------------------

check_bytes = st.lists(
    st.sampled_from([b"0", b"7", b"9", b".", b"-", b"a", b"F", b"g", b"\n", b"+", b" ", b"\x00", b"\xd9"]),
    min_size=1,
    max_size=40,
).map(b"".join)
uuid_like = st.builds(
    lambda a, b, c, d, e, nl: b"-".join([a, b, c, d, e]) + nl,
    # With the neighbours of the hex ranges, and bytes that case folding would turn into them.
    *[st.text("0123456789abcdefABCDEFg/:@G`\x16\x01", min_size=n - 1, max_size=n + 1).map(str.encode)
      for n in (8, 4, 4, 4, 12)],
    st.sampled_from([b"", b"\n", b"\n\n", b"\r\n"]),
)


@pytest.mark.parametrize("kind, rx", [("int", "_INT_RX"), ("float", "_FLOAT_RX"), ("uuid", "_UUID_RX")])
@settings(max_examples=600, deadline=None)
@given(seg=st.one_of(check_bytes, uuid_like))
def test_native_checks_mean_what_the_patterns_mean(kind, rx, seg):
    tree = RadixTree()
    tree.insert(b"/v/{x:" + kind.encode() + b"}", "r")
    expected = bool(getattr(routing, rx).match(seg))
    assert (tree.match(b"/v/" + seg) is not None) == expected


def ref_param_names(pattern):
    names = []
    for seg in [s for s in pattern.split(b"/") if s]:
        if seg.startswith(b"*"):
            break
        if _is_param(seg):
            name, validator = ref_parse_param_segment(seg)
            if validator == "path":
                break
            names.append(name)
    return names


@given(pattern=patterns)
def test_param_names_are_read_as_the_tree_reads_the_pattern(pattern):
    # The server layer takes a route's parameter names from this reading of its pattern.
    assert routing._param_names(pattern) == ref_param_names(pattern)
@given(pattern=patterns)
def test_the_reading_of_a_pattern_is_the_reading_registration_makes(pattern):
    # The server layer checks patterns on this reading, so it must be the tree's own.
    expected = []
    for seg in [s for s in pattern.split(b"/") if s]:
        if seg.startswith(b"*"):
            expected.append(("catch_all", seg.decode(), None, None))
            break
        if not _is_param(seg):
            expected.append(("static", seg.decode(), None, None))
            continue
        name, validator = ref_parse_param_segment(seg)
        expected.append(("catch_all" if validator == "path" else "param", seg.decode(), name, validator))
        if validator == "path":
            break
    validators = {"int": routing._INT_RX, "float": routing._FLOAT_RX, "uuid": routing._UUID_RX, "path": "path"}
    read = [(k, t, n, None if ty is None else validators.get(ty)) for k, t, n, ty in routing._read_pattern(pattern)]
    assert read == expected
