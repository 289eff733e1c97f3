"""Subclass overrides seen from the native side: the C-level table that keystone and scribe
call, and the native operations that call each other through the override check."""

import ctypes

import pytest

import capi_tables

from quenmark import messages
from quenmark.contents import Content
from quenmark.messages import Message, Request, Response

# ---- the C-level table, reached through ctypes --------------------------------------------

_obj = ctypes.py_object
_ptr = ctypes.c_void_p
_int = ctypes.c_int


class AcquireResponseArgs(ctypes.Structure):
    _fields_ = [("given", _int), ("status", _int), ("headers", _obj), ("content", _obj)]


_OPS = [
    ("get_headers", _ptr, [_obj, _obj]),
    ("get_first_header", _ptr, [_obj, _obj]),
    ("get_single_header", _ptr, [_obj, _obj]),
    ("remove_header", ctypes.c_int, [_obj, _obj]),
    ("_has_header", ctypes.c_int, [_obj, _obj]),
    ("has_header", ctypes.c_int, [_obj, _obj]),
    ("_add_header", ctypes.c_int, [_obj, _obj, _obj]),
    ("_add_header_if_missing", ctypes.c_int, [_obj, _obj, _obj]),
    ("add_header", ctypes.c_int, [_obj, _obj, _obj]),
    ("set_header", ctypes.c_int, [_obj, _obj, _obj]),
    ("content_type", _ptr, [_obj]),
    ("remove_headers", ctypes.c_int, [_obj, _obj]),
    ("get_headers_tuples", _ptr, [_obj, _obj]),
    ("init_prop", ctypes.c_int, [_obj, _obj, _obj]),
    ("with_content", _ptr, [_obj, _obj]),
    ("has_body", ctypes.c_int, [_obj]),
    ("declares_content_type", ctypes.c_int, [_obj, _obj]),
    ("declares_json", ctypes.c_int, [_obj]),
    ("declares_xml", ctypes.c_int, [_obj]),
    ("expect_100_continue", ctypes.c_int, [_obj]),
    ("request_reset", ctypes.c_int, [_obj]),
    ("alloc_scratchpad", _ptr, [_obj, ctypes.c_size_t, ctypes.c_size_t]),
    ("is_redirect", ctypes.c_int, [_obj]),
    ("response_reset", ctypes.c_int, [_obj]),
    ("intern_header_name_bytes", _ptr, [_obj]),
    ("intern_method_str", _ptr, [_obj]),
    ("ensure_bytes", _ptr, [_obj]),
    ("method_without_body", _int, [_obj, _int]),
    ("is_cors_preflight_request", _int, [_obj, _int]),
    ("is_cors_request", _int, [_obj, _int]),
    ("get_absolute_url_to_path", _ptr, [_obj, _obj, _int]),
    ("get_request_absolute_url", _ptr, [_obj, _int]),
    ("acquire_request", _ptr, [_obj, _obj, _obj, _obj, _obj, _int]),
    ("acquire_response", _ptr, [_int, ctypes.POINTER(AcquireResponseArgs)]),
    ("release_request", _int, [_obj, _int]),
    ("release_response", _int, [_obj, _int]),
    ("acquire_request_taking", _ptr, [_obj, _obj, _obj, _obj, _obj]),
]


# A prototype of our own: the shared ctypes.pythonapi.Py_DecRef may be given other argtypes by
# another test, and an address passed as a py_object would release the wrong object.
_decref = ctypes.PYFUNCTYPE(None, ctypes.c_void_p)(("Py_DecRef", ctypes.pythonapi))

TABLE = {name: capi_tables.function(messages, name, res, *args) for name, res, args in _OPS}
_RESULTS = {name: res for name, res, _ in _OPS}


def capi(name, *args):
    """Calls table entry `name`; object results come back as objects (new reference taken)."""
    result = TABLE[name](*args)
    if _RESULTS[name] is _ptr and name != "alloc_scratchpad":
        obj = ctypes.cast(result, ctypes.py_object).value
        _decref(result)
        return obj
    return result


def test_table_signature_and_types():
    table = capi_tables.header(messages)
    assert (table.name, table.version) == (b"quenmark.messages CApi", 1)
    assert capi_tables.address(messages, "message_type") == id(Message)
    assert capi_tables.address(messages, "request_type") == id(Request)
    assert capi_tables.address(messages, "response_type") == id(Response)


def test_table_on_builtin_types():
    m = Message([(b"Content-Type", b"application/json")])
    assert capi("get_headers", m, b"content-type") == [b"application/json"]
    assert capi("get_first_header", m, b"CONTENT-TYPE") == b"application/json"
    assert capi("content_type", m) == b"application/json"
    assert capi("declares_json", m) == 1 and capi("declares_xml", m) == 0
    assert capi("has_header", m, b"content-type") == 1
    capi("_add_header", m, b"X", 123)  # the C-level add takes any value
    assert capi("get_headers_tuples", m, b"x") == [(b"X", 123)]
    # ... which the pair-unpacking check then refuses.
    with pytest.raises(TypeError, match="^Expected bytes, got int$"):
        capi("_add_header_if_missing", m, b"x", b"ignored")
    capi("remove_headers", m, [(b"X", 123)])
    assert not capi("has_header", m, b"x")
    with pytest.raises(ValueError):
        capi("remove_headers", m, [(b"X", 123)])
    capi("_add_header", m, b"x", b"1")
    capi("_add_header_if_missing", m, b"x", b"ignored")
    capi("_add_header_if_missing", m, b"y", b"1")
    assert capi("get_headers", m, b"x") == [b"1"] and capi("get_headers", m, b"y") == [b"1"]
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        capi("remove_headers", m, [[b"y", b"1"]])
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        capi("remove_headers", m, None)
    assert capi("with_content", m, None) is m
    assert capi("has_body", m) == 0
    assert capi("intern_method_str", "".join(["G", "ET"])) is Request("GET", b"/", []).method
    assert capi("intern_header_name_bytes", None) is None


def test_remove_headers_keeps_the_removals_made_before_a_missing_pair():
    m = Message([(b"a", b"1"), (b"b", b"2"), (b"c", b"3")])
    with pytest.raises(ValueError):
        capi("remove_headers", m, [(b"a", b"1"), (b"x", b"0"), (b"c", b"3")])
    assert list(m.headers) == [(b"b", b"2"), (b"c", b"3")]


def test_init_prop():
    class Sub(Message):
        pass

    m = Sub([])
    capi("init_prop", m, "extra", 1)
    capi("init_prop", m, "extra", 2)
    assert m.extra == 1
    capi("init_prop", m, "context", 5)  # readable already (None): left alone
    assert m.context is None

    class Failing(Message):
        @property
        def broken(self):
            raise KeyError("x")

    with pytest.raises(KeyError):
        capi("init_prop", Failing([]), "broken", 1)


def test_scratchpad():
    r = Request("GET", b"/", [])
    assert r.scratchpad_arena_stats() == (0, 0, False)
    block = capi("alloc_scratchpad", r, 100, 64)
    assert block and block % 64 == 0
    capacity, offset, initialised = r.scratchpad_arena_stats()
    assert initialised and offset >= 100 and capacity >= 65536
    assert not capi("alloc_scratchpad", r, 1 << 40, 64)
    r.reset()
    assert r.scratchpad_arena_stats() == (capacity, 0, True)


# ---- overrides --------------------------------------------------------------------------


class Recorder(Message):
    """Overrides every overridable operation, recording the calls."""

    def __init__(self, headers, **results):
        super().__init__(headers)
        self.calls = []
        self.results = results

    def _record(self, name, *args):
        self.calls.append((name, *args))
        if name in self.results:
            return self.results[name]
        return getattr(super(), name)(*args)

    def get_headers(self, key):
        return self._record("get_headers", key)

    def get_first_header(self, key):
        return self._record("get_first_header", key)

    def remove_header(self, key):
        return self._record("remove_header", key)

    def content_type(self):
        return self._record("content_type")

    def declares_content_type(self, type):
        return self._record("declares_content_type", type)


@pytest.mark.parametrize(
    "op, args, result, expected",
    [
        ("get_headers", (b"a",), [b"o"], [b"o"]),
        ("get_headers", (b"a",), None, None),
        ("get_first_header", (b"a",), b"o", b"o"),
        ("get_first_header", (b"a",), None, None),
        ("content_type", (), b"text/x", b"text/x"),
        ("declares_content_type", (b"x",), 1, 1),
        ("declares_content_type", (b"x",), [], 0),
    ],
)
def test_table_calls_the_override(op, args, result, expected):
    m = Recorder([], **{op: result})
    assert capi(op, m, *args) == expected
    assert m.calls == [(op, *args)]


@pytest.mark.parametrize(
    "op, result, message",
    [
        ("get_headers", (b"a",), "Expected list, got tuple"),
        ("get_first_header", "text", "Expected bytes, got str"),
        ("content_type", bytearray(b"x"), "Expected bytes, got bytearray"),
    ],
)
def test_override_results_are_type_checked(op, result, message):
    m = Recorder([], **{op: result})
    args = () if op == "content_type" else (b"a",)
    with pytest.raises(TypeError) as info:
        capi(op, m, *args)
    assert str(info.value) == message


def test_get_single_header_goes_through_get_headers():
    m = Recorder([], get_headers=[b"1"])
    assert m.get_single_header(b"k") == b"1"
    assert m.calls == [("get_headers", b"k")]
    m.results["get_headers"] = [b"1", b"2"]
    with pytest.raises(ValueError, match="more than one"):
        capi("get_single_header", m, b"k")
    m.results["get_headers"] = None
    with pytest.raises(TypeError, match="^object of type 'NoneType' has no len\\(\\)$"):
        m.get_single_header(b"k")
    m.results["get_headers"] = [1]
    with pytest.raises(TypeError, match="^Expected bytes, got int$"):
        m.get_single_header(b"k")


def test_set_header_goes_through_remove_header():
    m = Recorder([(b"a", b"1")], remove_header=None)
    m.set_header(b"a", b"2")
    assert m.calls == [("remove_header", b"a")]
    # The override did not remove anything; the new pair is appended anyway.
    assert Message.get_headers(m, b"a") == [b"1", b"2"]


def test_content_type_chain():
    m = Recorder([], get_first_header=b"application/vnd.api+JSON")
    assert m.declares_json()
    assert m.calls == [
        ("declares_content_type", b"json"),
        ("content_type",),
        ("get_first_header", b"content-type"),
    ]
    m.calls.clear()
    assert m.charset == "utf8"
    assert m.calls == [("content_type",), ("get_first_header", b"content-type")]
    m.results["content_type"] = b"text/plain; charset=koi8-r"
    assert m.charset == "koi8-r"


def test_has_header_calls_the_direct_check_not_an_override():
    class Sub(Message):
        def _has_header(self, key):  # not an operation a subclass can override
            raise AssertionError

    m = Sub([(b"a", b"1")])
    assert m.has_header(b"a") and capi("has_header", m, b"a") == 1
    assert capi("_add_header_if_missing", m, b"a", b"2") == 0


def test_non_overridable_operations_ignore_subclass_methods():
    class Sub(Message):
        def add_header(self, key, value):
            raise AssertionError("add_header override")

    m = Sub([])
    capi("_add_header", m, b"a", b"1")
    assert m.get_headers(b"a") == [b"1"]
    with pytest.raises(AssertionError):
        capi("add_header", m, b"b", b"1")


def test_override_added_after_first_use_is_seen():
    class Late(Message):
        pass

    m = Late([(b"a", b"1")])
    assert capi("has_body", m) == 0
    Late.has_body = lambda self: True
    assert capi("has_body", m) == 1
    del Late.has_body
    assert capi("has_body", m) == 0


def test_request_properties_use_overrides():
    class R(Request):
        def get_first_header(self, key):
            return {b"host": b"from-override", b"expect": b"100-continue",
                    b"etag": b"e"}.get(key)

        def get_headers(self, key):
            return [b"a=1"] if key == b"cookie" else []

    r = R("GET", b"/", [])
    assert r.host == "from-override"
    assert r.expect_100_continue() and capi("expect_100_continue", r) == 1
    assert r.etag == b"e" and r.if_none_match is None
    assert r.cookies == {"a": "1"}


def test_cookies_follow_get_headers_wherever_it_is_overridden():
    class Plain(Request):
        pass

    headers = [(b"cookie", b"a=1; b=2"), (b"x", b"y"), (b"Cookie", b"a=3")]
    r = Plain("GET", b"/", headers)
    assert r.cookies == {"a": "3", "b": "2"}
    r.get_headers = lambda key: [b"c=4"] if key == b"cookie" else []
    assert r.cookies == {"c": "4"}
    del r.get_headers
    assert r.cookies == {"a": "3", "b": "2"}


def test_url_setter_removes_the_host_through_the_override():
    removed = []

    class R(Request):
        def remove_header(self, key):
            removed.append(key)

    r = R("GET", b"/", [(b"host", b"h")])
    r.url = b"/x"
    assert removed == [b"host"]
    assert r.get_first_header(b"host") == b"h"


def test_request_set_cookie_goes_through_get_headers_and_set_header():
    calls = []

    class R(Request):
        def get_headers(self, key):
            calls.append(("get_headers", key))
            return [b"x=1", b"", b"w=0"]

        def set_header(self, key, value):
            calls.append(("set_header", key, value))

    R("GET", b"/", []).set_cookie("y", "2")
    assert calls == [("get_headers", b"cookie"), ("set_header", b"cookie", b"x=1; w=0; y=2")]


def test_reset_overrides_are_called_from_the_table():
    calls = []

    class Req(Request):
        def reset(self):
            calls.append("request")

    class Resp(Response):
        def reset(self):
            calls.append("response")

        def is_redirect(self):
            return "yes"

    req, resp = Req("GET", b"/x", []), Resp(404)
    capi("request_reset", req)
    capi("response_reset", resp)
    assert calls == ["request", "response"]
    assert req.path == "/x" and resp.status == 404
    assert capi("is_redirect", resp) == 1
    # A plain subclass runs the built-in bodies.
    class Plain(Response):
        pass

    p = Plain(301)
    assert capi("is_redirect", p) == 1
    capi("response_reset", p)
    assert p.status == 200


def test_override_errors_propagate():
    class Broken(Message):
        def content_type(self):
            raise LookupError("boom")

    with pytest.raises(LookupError, match="boom"):
        Broken([]).declares_json()
    with pytest.raises(LookupError):
        Broken([]).charset
    with pytest.raises(LookupError):
        capi("declares_content_type", Broken([]), b"x")


def test_with_content_override_from_the_table():
    class Sub(Message):
        def with_content(self, content):
            return "override"

    assert capi("with_content", Sub([]), Content(None, b"")) == "override"


def test_table_request_helpers_and_pools(monkeypatch):
    monkeypatch.setattr(messages, "_TLS", messages._ThreadLocalFreelist())
    assert capi("ensure_bytes", "é") == "é".encode() and capi("ensure_bytes", b"x") == b"x"
    with pytest.raises(ValueError, match="bytes or str"):
        capi("ensure_bytes", 1)
    assert capi("method_without_body", "HEAD", 0) == 1
    preflight = Request("OPTIONS", b"/", [(b"origin", b"o"), (b"access-control-request-method", b"X")])
    assert capi("is_cors_preflight_request", preflight, 0) == 1
    assert capi("is_cors_request", Request("GET", b"/", []), 0) == 0
    with pytest.raises(TypeError, match="'request'"):
        capi("is_cors_request", None, 0)
    request = Request.incoming("GET", b"/p", b"", [(b"host", b"h")])
    assert capi("get_absolute_url_to_path", request, "/q", 0).value == b"//h/q"
    assert capi("get_request_absolute_url", request, 0).value == b"//h/p"

    acquired = capi("acquire_request", "GET", b"/t", b"", [], None, 0)
    assert acquired._path == b"/t"
    assert capi("release_request", acquired, 0) == 0
    assert messages._TLS.requests == [acquired]
    pairs = [(b"host", b"h")]
    taken = capi("acquire_request_taking", "GET", b"/u", b"", pairs, None)
    pairs.append((b"x", b"1"))  # the list is the request's own, not a copy
    assert taken is acquired and taken.get_first_header(b"x") == b"1"
    assert capi("release_request", taken, 0) == 0
    assert capi("acquire_response", 0, None).status == 200
    response = capi("acquire_response", 0, ctypes.byref(AcquireResponseArgs(1, 418, None, None)))
    assert response.status == 418 and response.content is None
    assert capi("release_response", response, 0) == 0
    with pytest.raises(TypeError, match="'response'"):
        capi("release_response", None, 0)
    assert messages._TLS.responses == [response]
