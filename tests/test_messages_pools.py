"""Per-thread pools of requests and responses, the request helpers, and the C-level table that
other compiled modules call them through."""

import threading

import pytest

from quenmark import messages
from quenmark.contents import Content
from quenmark.exceptions import BadRequest
from quenmark.messages import (
    Request,
    Response,
    acquire_request,
    acquire_response,
    get_absolute_url_to_path,
    get_request_absolute_url,
    is_cors_preflight_request,
    is_cors_request,
    method_without_body,
    release_request,
    release_response,
)
from quenmark.url import URL

HEADERS = [(b"Host", b"example.com"), (b"X-A", b"1")]


@pytest.fixture(autouse=True)
def fresh_pools(monkeypatch):
    monkeypatch.setattr(messages, "_TLS", messages._ThreadLocalFreelist())
    return messages._TLS


class FailingDispose(Content):
    __slots__ = ()

    def dispose(self):
        raise RuntimeError("dispose failed")


def in_thread(fn):
    box = []
    thread = threading.Thread(target=lambda: box.append(fn()))
    thread.start()
    thread.join()
    return box[0]


# ---- pools ------------------------------------------------------------------------------


def test_a_released_request_comes_back_with_the_new_message():
    scope = {"scheme": "https"}
    first = acquire_request("GET", b"/a", b"x=1", HEADERS, scope)
    assert type(first) is Request and first.scope is scope
    assert str(first.url.value, "ascii") == "/a?x=1"
    first.content = Content(b"text/plain", b"x")
    first.route_values = {"id": "1"}
    release_request(first)
    assert first.method == "" and first.scope is None and first.content is None

    again = acquire_request("".join(["PO", "ST"]), b"/b", b"", [(b"host", b"h")], None)
    assert again is first
    assert again.method is Request("POST", None, None).method  # interned
    assert (again._path, again._raw_query, again.scope) == (b"/b", b"", None)
    assert again.url.value == b"/b" and again.route_values is None and again.content is None
    assert again.get_first_header(b"HOST") == b"h"
    shared_name = Request("GET", None, [(b"host", b"")]).headers.values[0][0]
    assert again.headers.values[0][0] is shared_name


def test_pools_are_per_thread():
    request = acquire_request("GET", b"/", b"", None, None)
    release_request(request)
    assert in_thread(lambda: acquire_request("GET", b"/", b"", None, None)) is not request
    assert in_thread(lambda: len(messages._TLS.requests)) == 0
    assert acquire_request("GET", b"/", b"", None, None) is request


def test_a_full_pool_drops_the_extra_object_without_resetting_it(fresh_pools):
    for _ in range(512):
        release_request(Request("GET", b"/", None))
        release_response(Response(200))
    extra = Request("GET", b"/kept", None)
    release_request(extra)
    release_response(Response(201))
    assert len(fresh_pools.requests) == len(fresh_pools.responses) == 512
    assert extra.method == "GET" and extra._path == b"/kept"


def test_responses_from_the_pool():
    fresh = acquire_response()
    assert (fresh.status, fresh.headers.values, fresh.content) == (200, [], None)
    fresh.set_header(b"x", b"1")
    release_response(fresh)
    headers = []
    content = Content(b"a", b"b")
    again = acquire_response(404, headers, content)
    assert again is fresh and again.status == 404 and again.content is content
    assert again.headers.values is headers and again.get_first_header(b"x") is None


def test_the_pools_live_on_the_module_tls(fresh_pools, monkeypatch):
    release_response(Response(200))
    fresh_pools.requests = None  # both lists are made anew
    acquire_request("GET", b"/", b"", None, None)
    assert fresh_pools.requests == [] and fresh_pools.responses == []
    fresh_pools.requests = 5
    with pytest.raises(TypeError, match="^Expected list, got int$"):
        acquire_request("GET", b"/", b"", None, None)
    fresh_pools.requests = [Response(200)]
    with pytest.raises(TypeError, match="Cannot convert quenmark.messages.Response"):
        acquire_request("GET", b"/", b"", None, None)
    monkeypatch.delattr(messages, "_TLS")  # read on every call
    with pytest.raises(NameError, match="_TLS"):
        acquire_response()


def _assign(tls, pooled, monkeypatch):
    tls.requests = pooled


def _store_in_the_dict(tls, pooled, monkeypatch):
    tls.__dict__["requests"] = pooled


def _class_property(tls, pooled, monkeypatch):
    monkeypatch.setattr(type(tls), "requests", property(lambda self: pooled), raising=False)


def _other_class(tls, pooled, monkeypatch):
    class Other(type(tls)):
        __slots__ = ()
        requests = property(lambda self: pooled)

    tls.__class__ = Other


def _other_tls(tls, pooled, monkeypatch):
    other = messages._ThreadLocalFreelist()
    other.requests = pooled
    monkeypatch.setattr(messages, "_TLS", other)


@pytest.mark.parametrize(
    "change", [_assign, _store_in_the_dict, _class_property, _other_class, _other_tls]
)
def test_a_pool_in_use_sees_every_change_to_where_it_is_read(fresh_pools, monkeypatch, change):
    # A thread that has used its lists already sees a change made any way at all, at once.
    for _ in range(3):
        release_request(acquire_request("GET", b"/", b"", None, None))
    pooled = Request("PUT", b"/pooled", None)
    change(fresh_pools, [pooled], monkeypatch)
    assert acquire_request("GET", b"/", b"", None, None) is pooled


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: release_request(None), TypeError, "expected quenmark.messages.Request, got NoneType"),
        (lambda: release_response(Request("GET", None, None)), TypeError, "got quenmark.messages.Request"),
        (lambda: acquire_request("GET", "/", b"", None, None), TypeError, "'path'"),
        (lambda: acquire_response(content=b"x"), TypeError, "'content'"),
        (lambda: acquire_response(2**31), OverflowError, "value too large to convert to int"),
    ],
)
def test_bad_arguments_leave_the_pools_alone(fresh_pools, call, error, message):
    release_request(Request("GET", b"/", None))
    with pytest.raises(error, match=message):
        call()
    assert len(fresh_pools.requests) == 1 and fresh_pools.responses == []


@pytest.mark.parametrize(
    "acquire, release, pool",
    [(lambda: acquire_request("", b"", b"", None, None), release_request, "requests"),
     (lambda: acquire_response(200, None, Content(b"a", b"b")), release_response, "responses")],
)
def test_releasing_twice_is_refused(fresh_pools, acquire, release, pool):
    obj = acquire()
    release(Request("GET", b"/", None) if pool == "requests" else Response(200))
    release(obj)  # also when it looks like a pooled object already
    with pytest.raises(ValueError, match="released already"):
        release(obj)
    assert getattr(fresh_pools, pool)[-1] is obj and len(getattr(fresh_pools, pool)) == 2
    assert acquire() is obj
    assert acquire() is not obj


def test_release_resets_through_an_override_and_keeps_a_failure_out(fresh_pools):
    class Tracked(Request):
        def reset(self):
            super().reset()
            self.state = "reset by the subclass"

    release_request(Tracked("GET", b"/", None))
    assert acquire_request("GET", b"/x", b"", None, None).state == "reset by the subclass"
    response = Response(200, None, FailingDispose(b"a", b"b"))
    with pytest.raises(RuntimeError, match="dispose failed"):
        release_response(response)
    assert fresh_pools.responses == []


# ---- request helpers --------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, expected",
    [("GET", True), ("HEAD", True), ("TRACE", True), ("".join("GET"), True), ("get", False),
     ("POST", False), ("OPTIONS", False), (None, False)],
)
def test_method_without_body(method, expected):
    assert method_without_body(method) is expected


@pytest.mark.parametrize(
    "method, headers, cors, preflight",
    [
        ("OPTIONS", [(b"oRiGiN", b"o"), (b"access-control-request-method", b"PUT")], True, True),
        ("OPTIONS", [(b"Origin", b""), (b"Access-Control-Request-Method", b"PUT")], False, False),
        ("OPTIONS", [(b"Origin", b"o"), (b"Access-Control-Request-Method", b"")], True, False),
        ("options", [(b"Origin", b"o"), (b"Access-Control-Request-Method", b"PUT")], True, False),
        ("GET", [(b"Origin", b"o")], True, False),
        (None, [], False, False),
    ],
)
def test_cors(method, headers, cors, preflight):
    request = Request(method, b"/", headers)
    assert is_cors_request(request) is cors
    assert is_cors_preflight_request(request) is preflight


def test_absolute_urls():
    absolute = Request("GET", b"https://h.example/a?q=1", [])
    assert get_request_absolute_url(absolute) is absolute.url
    request = Request.incoming("GET", b"/x/y", b"q=1", [(b"host", b"h.example:8080")])
    request.scope = {"scheme": "https", "root_path": "/base"}
    assert get_request_absolute_url(request) == URL(b"https://h.example:8080/base/x/y")
    assert get_absolute_url_to_path(request, "/é") == URL("https://h.example:8080/base/é".encode())
    # The scheme comes from the scope, not from an absolute URL.
    assert get_absolute_url_to_path(absolute, "/z") == URL(b"//h.example/z")
    assert get_request_absolute_url(Request("GET", b"/p", [(b"host", b"h")])) == URL(b"//h/p")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: get_absolute_url_to_path(Request("GET", b"/", [(b"host", b"h")]), None),
         ValueError, "^Input value must be bytes or str$"),
        (lambda: get_request_absolute_url(Request("GET", b"/", [])), BadRequest, "Missing Host header"),
        (lambda: is_cors_request(None), TypeError, "'request'"),
        (lambda: get_request_absolute_url(Response(200)), TypeError, "'request'"),
    ],
)
def test_helper_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()
