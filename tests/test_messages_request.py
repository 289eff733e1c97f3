"""Request: construction, properties from the scope and the headers, URL and query setters,
reset and dispose."""

import pytest

from quenmark.contents import Content
from quenmark.exceptions import BadRequest
from quenmark.messages import Request
from quenmark.url import URL
from wardline import Identity

ARG_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"


def incoming(path=b"/", query=b"", headers=None, method="GET", scope=None):
    request = Request.incoming(method, path, query, headers or [])
    request.scope = scope
    return request


# ---- construction -----------------------------------------------------------------------


def test_relative_url_with_query():
    r = Request("GET", b"/a%20b/c?x=1&x=2&y=&z=3", [])
    assert r.path == "/a%20b/c"
    assert r._path == b"/a%20b/c"
    assert r._raw_query == b"x=1&x=2&y=&z=3"
    assert r.query == {"x": ["1", "2"], "z": ["3"]}
    assert r.scope is None and r._session is None


def test_url_none_leaves_the_path_unset():
    r = Request("GET", None, None)
    assert r._path is None and r._url is None
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'decode'$"):
        r.path
    assert r.query == {}


def test_known_methods_are_shared_objects():
    a = Request("".join(["G", "ET"]), b"/", [])
    b = Request.incoming("".join(["GE", "T"]), b"/", b"", [])
    assert a.method is b.method
    assert Request("BREW", b"/", []).method == "BREW"
    assert Request(None, b"/", []).method is None


def test_method_with_lone_surrogate_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        Request("G\ud800", b"/", [])


@pytest.mark.parametrize(
    "args, arg",
    [
        ((b"GET", b"/", []), ("method", "str", "bytes")),
        (("GET", "/", []), ("url", "bytes", "str")),
        (("GET", b"/", ()), ("headers", "list", "tuple")),
    ],
)
def test_constructor_argument_types(args, arg):
    with pytest.raises(TypeError) as info:
        Request(*args)
    assert str(info.value) == ARG_ERROR.format(*arg)


@pytest.mark.parametrize(
    "args, arg",
    [
        ((1, b"/", b"", []), ("method", "str", "int")),
        (("GET", "/", b"", []), ("path", "bytes", "str")),
        (("GET", b"/", "q", []), ("query", "bytes", "str")),
        (("GET", b"/", b"", {}), ("headers", "list", "dict")),
    ],
)
def test_incoming_argument_types(args, arg):
    with pytest.raises(TypeError) as info:
        Request.incoming(*args)
    assert str(info.value) == ARG_ERROR.format(*arg)


@pytest.mark.parametrize("args", [(), ("GET",), ("GET", b"/"), ("GET", b"/", [], 1)])
def test_constructor_arity(args):
    with pytest.raises(TypeError, match="positional argument"):
        Request(*args)


def test_keyword_construction():
    r = Request(method="PUT", url=b"/x", headers=None)
    assert (r.method, r.path) == ("PUT", "/x")
    r = Request.incoming(method="GET", path=b"/y", query=None, headers=None)
    assert r.path == "/y"


def test_incoming_builds_the_url_lazily():
    r = incoming(b"/p", b"a=1", [(b"Host", b"example.com")], method="POST")
    assert r._url is None
    url = r.url
    assert url.value == b"/p?a=1"
    assert r._url is url and r.url is url
    assert repr(r) == "<Request POST /p?a=1>"


def test_incoming_on_a_subclass_builds_the_subclass():
    class MyRequest(Request):
        def __init__(self, method, url, headers):
            super().__init__(method, url, headers)
            self.extra = "init ran"

    r = MyRequest.incoming("GET", b"/s", b"", [(b"a", b"1")])
    assert type(r) is MyRequest and r.extra == "init ran"
    assert r.path == "/s" and r.get_first_header(b"A") == b"1"


def test_repr_with_no_method():
    assert repr(Request(None, b"/x", [])) == "<Request None /x>"


# ---- typed attributes -------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, good, bad, message",
    [
        ("method", "PATCH", b"GET", "Expected str, got bytes"),
        ("_path", b"/x", "/x", "Expected bytes, got str"),
        ("_raw_query", b"a=1", 1, "Expected bytes, got int"),
        ("_host", "h", b"h", "Expected str, got bytes"),
        ("_scheme", "https", 1, "Expected str, got int"),
        ("_base_path", "/b", 1.0, "Expected str, got float"),
        ("_original_client_ip", "1.2.3.4", b"", "Expected str, got bytes"),
    ],
)
def test_typed_fields(name, good, bad, message):
    r = Request("GET", b"/", [])
    setattr(r, name, good)
    assert getattr(r, name) == good
    with pytest.raises(TypeError) as info:
        setattr(r, name, bad)
    assert str(info.value) == message
    delattr(r, name)
    assert getattr(r, name) is None


def test_assigned_method_is_not_interned():
    r = Request("GET", b"/", [])
    name = "".join(["PO", "ST"])
    r.method = name
    assert r.method is name


def test_url_field_accepts_urls_only():
    r = Request("GET", b"/", [])
    with pytest.raises(TypeError, match="Cannot convert bytes to"):
        r._url = b"/x"
    r._url = URL(b"/y")
    del r._url
    assert r._url is None


@pytest.mark.parametrize(
    "name",
    ["route_values", "scope", "_user", "_di_scope", "state", "_session", "_context", "services",
     "_is_disconnected", "context", "_form_data"],
)
def test_free_fields_store_anything_and_delete_to_none(name):
    r = Request("GET", b"/", [])
    marker = object()
    setattr(r, name, marker)
    assert getattr(r, name) is marker
    delattr(r, name)
    assert getattr(r, name) is None


@pytest.mark.parametrize(
    "name", ["url", "query", "host", "scheme", "base_path", "original_client_ip", "session",
             "user", "identity"]
)
def test_deleting_a_property_with_a_setter_is_refused(name):
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(Request("GET", b"/", []), name)


@pytest.mark.parametrize("name", ["path", "client_ip", "cookies", "etag", "if_none_match"])
def test_read_only_properties(name):
    r = Request("GET", b"/", [])
    with pytest.raises(AttributeError):
        setattr(r, name, "x")
    with pytest.raises(AttributeError):
        delattr(r, name)


@pytest.mark.parametrize("name", ["host", "scheme", "base_path", "original_client_ip"])
@pytest.mark.parametrize("bad", [None, b"x", 1])
def test_str_setters_take_exactly_str(name, bad):
    class S(str):
        pass

    r = Request("GET", b"/", [])
    for value in (bad, S("x")):
        with pytest.raises(TypeError) as info:
            setattr(r, name, value)
        assert str(info.value) == ARG_ERROR.format("value", "str", type(value).__name__)
    setattr(r, name, "v")
    assert getattr(r, name) == "v"


# ---- host -------------------------------------------------------------------------------


def test_host_from_an_absolute_url_without_header():
    r = Request("GET", b"https://example.org:8443/a", [])
    assert r.host == "example.org"
    assert r._host == "example.org"


@pytest.mark.parametrize("url", [b"file:///etc/x", b"http:///p"])
def test_absolute_url_with_an_empty_host(url):
    r = Request("GET", url, [(b"host", b"from-header")])
    assert r.host == "" and r._host == ""


def test_empty_url_bytes_build_no_url():
    r = Request("GET", b"", [])
    assert (r._url, r._path, r._raw_query) == (None, None, None)


def test_missing_host_is_a_bad_request_and_not_cached():
    r = Request("GET", b"/a", [])
    with pytest.raises(BadRequest, match="Missing Host header"):
        r.host
    assert r._host is None
    r.add_header(b"Host", b"late.example")
    assert r.host == "late.example"
    r.set_header(b"host", b"other")
    assert r.host == "late.example"  # cached once found


@pytest.mark.parametrize("value, expected", [(b"", ""), (b"h\xc3\xa9.example", "hé.example")])
def test_host_header_decoding(value, expected):
    assert incoming(headers=[(b"host", value)]).host == expected


def test_undecodable_host_is_a_bad_request():
    with pytest.raises(BadRequest, match="Invalid Host header"):
        incoming(headers=[(b"host", b"\xff")]).host


def test_undecodable_path_and_query_are_replaced():
    r = incoming(b"/\xff", b"a=\xff&b=%ff")
    assert (r.path, r.query) == ("/\ufffd", {"a": ["\ufffd"], "b": ["\ufffd"]})


# ---- scope ------------------------------------------------------------------------------


@pytest.mark.parametrize("scope, expected", [(None, ""), ({}, ""), ({"scheme": "https"}, "https")])
def test_scheme(scope, expected):
    assert incoming(scope=scope).scheme == expected


def test_scheme_assignment_wins_over_scope():
    r = incoming(scope={"scheme": "http"})
    r.scheme = "https"
    assert r.scheme == "https"


class NoGet:
    pass


class Mapping:
    def __init__(self, values):
        self.values = values

    def get(self, key, default):
        return self.values.get(key, default)


@pytest.mark.parametrize(
    "scope, expected",
    [(None, ""), ({}, ""), ({"root_path": "/api"}, "/api"), (NoGet(), ""),
     (Mapping({"root_path": "/m"}), "/m")],
)
def test_base_path(scope, expected):
    assert incoming(scope=scope).base_path == expected


@pytest.mark.parametrize(
    "scope, expected",
    [(None, ""), ({}, ""), ({"client": ("10.0.0.1", 5000)}, "10.0.0.1"),
     ({"client": ["::1", 1]}, "::1"), (Mapping({"client": ("m", 0)}), "m")],
)
def test_client_ip(scope, expected):
    r = incoming(scope=scope)
    assert r.client_ip == expected
    assert r.original_client_ip == expected
    r.original_client_ip = "203.0.113.9"
    assert r.original_client_ip == "203.0.113.9"


@pytest.mark.parametrize(
    "client, error, message",
    [
        (None, TypeError, "cannot unpack non-iterable NoneType object"),
        (5, TypeError, "cannot unpack non-iterable int object"),
        (("a", 1, 2), ValueError, "too many values to unpack (expected 2, got 3)"),
        (("a",), ValueError, "not enough values to unpack (expected 2, got 1)"),
    ],
)
def test_client_ip_bad_entries(client, error, message):
    with pytest.raises(error) as info:
        incoming(scope={"client": client}).client_ip
    assert str(info.value) == message


# ---- url and query setters ---------------------------------------------------------------


@pytest.mark.parametrize("value", [b"/new?q=1", "/new?q=1", URL(b"/new?q=1")])
def test_url_setter_takes_bytes_str_or_url(value):
    r = incoming(b"/old", b"", [(b"host", b"h"), (b"x", b"1")])
    assert r.host == "h"
    r.url = value
    assert r._path == b"/new" and r._raw_query == b"q=1"
    assert r.url.value == b"/new?q=1"
    assert r._host is None
    assert not r.has_header(b"host") and r.has_header(b"x")
    with pytest.raises(BadRequest):
        r.host


def test_url_setter_with_an_absolute_url_gives_the_host():
    r = incoming(b"/", b"", [(b"host", b"old")])
    r.url = "https://new.example/p"
    assert r.host == "new.example"
    assert r.path == "/p"


@pytest.mark.parametrize("value", [None, b"", "", 0])
def test_url_setter_with_a_falsy_value_clears(value):
    r = incoming(b"/old", b"a=1")
    r.url = value
    assert r._url is None and r._path is None and r._raw_query is None


def test_url_setter_refuses_other_types():
    r = incoming()
    with pytest.raises(TypeError, match="^Invalid value type, expected bytes, str, or URL$"):
        r.url = 42


def test_url_setter_with_non_utf8_text():
    with pytest.raises(UnicodeEncodeError):
        incoming().url = "/\ud800"


def test_query_setter_repeats_sequence_values_and_drops_the_host():
    r = incoming(b"/p", b"old=1", [(b"host", b"h")])
    r.query = {"a": ["1", "2"], "b": "x y"}
    assert r._raw_query == b"a=1&a=2&b=x+y"
    assert r.url.value == b"/p?a=1&a=2&b=x+y"
    assert r.query == {"a": ["1", "2"], "b": ["x y"]}
    assert not r.has_header(b"host")


def test_query_setter_with_pairs_and_empty():
    r = incoming(b"/p", b"x=1")
    r.query = [("k", "v")]
    assert r._raw_query == b"k=v"
    r.query = {}
    assert r._raw_query is None and r.url.value == b"/p"


# ---- other headers ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [(None, False), (b"", False), (b"100-continue", True), (b"100-Continue", True),
     (b"100-CONTINUE", True), (b" 100-continue", False), (b"100-continue, x", False),
     (b"200-ok", False)],
)
def test_expect_100_continue(value, expected):
    headers = [] if value is None else [(b"Expect", value)]
    assert incoming(headers=headers).expect_100_continue() is expected


def test_etag_and_if_none_match():
    r = incoming(headers=[(b"ETag", b'"a"'), (b"If-None-Match", b'"b"'), (b"etag", b'"c"')])
    assert r.etag == b'"a"'
    assert r.if_none_match == b'"b"'
    assert incoming().etag is None


# ---- user and session ---------------------------------------------------------------------


def test_user_and_identity():
    r = incoming()
    user = r.user
    assert isinstance(user, Identity) and not user.is_authenticated()
    assert r.user is user and r.identity is user
    other = object()
    r.identity = other
    assert r.user is other
    r.user = None
    assert isinstance(r.user, Identity)


def test_session():
    r = incoming()
    with pytest.raises(TypeError, match="^A session is not configured for this request, "
                       "activate sessions using `app.use_sessions` method.$"):
        r.session
    r.session = {"a": 1}
    assert r.session == {"a": 1}
    r.session = None
    with pytest.raises(TypeError):
        r.session


# ---- reset and dispose --------------------------------------------------------------------


class Disposable(Content):
    __slots__ = ("disposed", "fail")

    def __init__(self, fail=False):
        super().__init__(b"text/plain", b"body")
        self.disposed = 0
        self.fail = fail

    def dispose(self):
        if self.fail:
            raise RuntimeError("dispose failed")
        self.disposed += 1


def test_reset():
    r = incoming(b"/p", b"a=1", [(b"host", b"h")], scope={"scheme": "https"})
    content = Disposable()
    r.content = content
    for name in ("route_values", "state", "services", "context", "_form_data", "_di_scope",
                 "_session"):
        setattr(r, name, 1)
    r._context = "kept"
    r.headers
    r.host, r.url, r.user
    r.reset()
    assert (r.method, r._path, r._raw_query, r.scope) == ("", b"", b"", None)
    assert content.disposed == 1 and r.content is None
    for name in ("route_values", "state", "services", "context", "_form_data", "_di_scope",
                 "_session", "_url", "_host", "_user", "_headers", "_is_disconnected"):
        assert getattr(r, name) is None, name
    assert r._context == "kept"
    assert list(r.headers) == []
    assert r.scratchpad_arena_stats() == (0, 0, False)


def test_reset_runs_the_identity_setter_of_a_subclass_between_its_two_groups_of_fields():
    seen = []

    class Sub(Request):
        @property
        def identity(self):
            return None

        @identity.setter
        def identity(self, value):
            seen.append((self.method, self._path, self.scope, self._base_path, self.services))

    r = Sub("GET", b"/p", [])
    r.scope, r._base_path, r.services = {}, "/base", "svc"
    r.reset()
    assert seen == [("", b"", None, "/base", "svc")]
    assert (r._base_path, r.services) == (None, None)


def test_stub_lists_the_request_fields_in_layout_order():
    import ast
    import pathlib
    import types

    stub = ast.parse((pathlib.Path(__file__).parents[1] / "src/quenmark/messages.pyi").read_text())
    request = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Request")
    annotated = []  # the fields: the annotations before the first method
    for node in request.body[1:]:
        if not isinstance(node, ast.AnnAssign):
            break
        annotated.append(node.target.id)
    attributes = [name for name, v in Request.__dict__.items()
                  if isinstance(v, types.GetSetDescriptorType)]
    assert attributes[:len(annotated)] == annotated


def test_reset_stops_when_dispose_fails():
    r = incoming()
    content = Disposable(fail=True)
    r.content = content
    with pytest.raises(RuntimeError, match="dispose failed"):
        r.reset()
    assert r.content is content


class File:
    def __init__(self):
        self.closed = False

    def close(self):
        self.closed = True


class Part:
    def __init__(self, file):
        self.file = file


def test_dispose_closes_form_files_and_disposes_content():
    r = incoming()
    f1, f2 = File(), File()
    r._form_data = {"a": [Part(f1), Part(None)], "b": (Part(f2),)}
    r.content = Disposable()
    assert r.dispose() is None
    assert f1.closed and f2.closed and r.content.disposed == 1


class FailingFile:
    def close(self):
        raise OSError("close failed")


class NoFile:
    pass


@pytest.mark.parametrize("bad, error", [(Part(FailingFile()), OSError), (NoFile(), AttributeError)])
def test_dispose_stops_at_the_first_error(bad, error):
    r = incoming()
    first, last = File(), File()
    r._form_data = {"a": [Part(first), bad, Part(last)]}
    r.content = content = Disposable()
    with pytest.raises(error):
        r.dispose()
    assert first.closed and not last.closed
    assert content.disposed == 0 and r.content is content


def test_dispose_reports_a_form_changed_during_the_walk():
    r = incoming()
    form = {}

    class Growing:
        def __init__(self):
            self.file = self

        def close(self):
            form["new"] = []

    form["a"] = [Growing()]
    r._form_data = form
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        r.dispose()


# ---- query parsing agrees with the standard library ----------------------------------------

from urllib.parse import parse_qs  # noqa: E402

from hypothesis import given, settings, strategies as st  # noqa: E402

QUERY_ALPHABET = st.sampled_from(list("ab=&+%2041FfGz;é€ \x00") + ["%C3%A9", "%E2%82", "%zz", "%"])


@pytest.mark.parametrize(
    "raw",
    [b"a=1&b=2&a=3", b"a", b"a=", b"=1", b"&&a=1&&", b"a=1=2", b"x+y=1+2", b"k=%41%2B%zz%",
     b"k=%C3%A9&k=%E2%82", b"\xc3\xa9=\xe2\x82\xac", b"k=%e2%82%ac%", b"a=1;b=2", b"=", b"&",
     # escapes, spaces and other bytes on either side of eight-byte boundaries
     b"abcdefgh=abcdefg+&abcdefghi=abcdefgh%41", b"abcdefg%41=1&tag=x&tag=abcdefghijklmnop",
     b"abcdefgh\xc3\xa9=abcdefgh+ijklmnop",
     # repeated names: as written before, written another way, past the first eight names
     b"ab=1&a=2&ab=3&a=&a=4&b=5", b"a+b=1&a%20b=2&a b=3&a+b=4",
     b"&".join(b"n%d=%d" % (i, i) for i in range(10)) + b"&n0=x&n9=y&n8=z"],
)
def test_query_matches_parse_qs(raw):
    assert incoming(b"/", raw).query == parse_qs(raw.decode("utf-8"))


@settings(max_examples=300, deadline=None)
@given(st.lists(QUERY_ALPHABET, max_size=30).map("".join))
def test_query_matches_parse_qs_on_generated_input(text):
    assert incoming(b"/", text.encode("utf-8")).query == parse_qs(text)
