"""Every message operation, the failing ones included, repeated many times: traced memory and
the reference counts of shared objects must stay flat."""

import gc
import sys
import tracemalloc
import types

import pytest

from quenmark.contents import ASGIContent, Content, JSONContent, RSGIContent, TextContent
from quenmark.cookies import Cookie
from quenmark.messages import (
    Message,
    Request,
    Response,
    acquire_request,
    acquire_response,
    get_absolute_url_to_path,
    get_request_absolute_url,
    html,
    is_cors_preflight_request,
    json,
    method_without_body,
    parse_charset,
    release_request,
    release_response,
    text,
)

KEY = b"x-leak-key"
VALUE = b"leak-value"
SERVER_HEADERS = [
    (b"Host", b"example.com"),
    (b"content-type", b"application/json; charset=latin1"),
    (b"Cookie", b"a=1; b=%20x; junk"),
    (b"X-Custom", VALUE),
    (b"expect", b"100-continue"),
]
BAD_HEADERS = [(b"ok", b"1"), [b"l", b"2"], None, (), (b"c",), ("s", b"1"), (b"v", 5)]
SCOPE = {"scheme": "https", "root_path": "/r", "client": ("10.0.0.1", 1)}
CONTENT = Content(b"text/plain", b"body")
COOKIE = Cookie("sid", "v")


class Disposable(Content):
    __slots__ = ("fail",)

    def __init__(self, fail):
        super().__init__(b"a", b"b")
        self.fail = fail

    def dispose(self):
        if self.fail:
            raise RuntimeError("dispose")


class Overriding(Request):
    def get_headers(self, key):
        return super().get_headers(key)

    def get_first_header(self, key):
        return super().get_first_header(key)

    def remove_header(self, key):
        super().remove_header(key)

    def content_type(self):
        return super().content_type()


class BadOverride(Message):
    def get_headers(self, key):
        return (key,)

    def content_type(self):
        return "text"


FORM_BODY = (
    b"--B\r\nContent-Disposition: form-data; name=\"a\"; filename=\"f\"\r\n\r\n1\r\n"
    b"--B\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n--B--\r\n"
)


def form_request(body=FORM_BODY, content_type=b"multipart/form-data; boundary=B"):
    async def receive():
        return {"type": "http.request", "body": body, "more_body": False}

    r = Request.incoming("POST", b"/", b"", [(b"content-type", content_type)])
    r.content = ASGIContent(receive)
    return r


@types.coroutine
def pause():
    yield


def asgi_body(*events, cls=ASGIContent, announced=-1):
    """An ASGIContent whose receive gives `events` in turn: raising the exceptions among them,
    pausing once (a wait) for each None."""
    pending = list(events)

    async def receive():
        while (event := pending.pop(0)) is None:
            await pause()
        if isinstance(event, BaseException):
            raise event
        return event

    return cls(receive, announced)


def event(data, more=False):
    return {"type": "http.request", "body": data, "more_body": more}


class CountingBody(ASGIContent):
    __slots__ = ()

    def _count(self, size):
        super()._count(size)


def stopped(coro, how):
    """Steps a coroutine once (it waits), then closes it or throws into it."""
    coro.send(None)
    if how == "close":
        coro.close()
    else:
        coro.throw(how)


def json_request(*events):
    r = Request.incoming("POST", b"/", b"", [(b"content-type", b"application/json")])
    r.content = asgi_body(*events)
    return r


def drive(awaitable):
    """Runs a coroutine that never waits for anything to its end."""
    try:
        awaitable.send(None)
    except StopIteration as done:
        return done.value
    raise AssertionError("the coroutine waited")


def request():
    r = Request.incoming("GET", b"/p", b"x=1&x=2", SERVER_HEADERS)
    r.scope = SCOPE
    return r


def operations():
    m = Message(SERVER_HEADERS)
    r = request()
    bad = Message(BAD_HEADERS)
    resp = Response(200, None, CONTENT)
    sub = Overriding("GET", b"http://h/x?q=1", SERVER_HEADERS)
    return [
        # construction, good and bad
        lambda: Message(SERVER_HEADERS),
        lambda: Message([(bytearray(b"a"), b"1"), [b"a", b"b"]]),
        lambda: Message(()),
        lambda: Message([(type("B", (bytes,), {})(b"x"), b"1")]),
        lambda: Request("GET", b"http://example.com/a?b=1", SERVER_HEADERS),
        lambda: Request(b"GET", b"/", []),
        lambda: Request("G\ud800", b"/", []),
        lambda: Request.incoming("POST", b"/x", b"", None),
        lambda: Request.incoming("POST", "/x", b"", None),
        lambda: Response(200, [(b"a", b"1")], CONTENT),
        lambda: Response(2**40),
        lambda: Response(1.5),
        lambda: Response(200, ()),
        # lookups
        lambda: m.get_headers(b"CONTENT-TYPE"),
        lambda: m.get_first_header(KEY),
        lambda: m.get_first_header(b"X-" + b"Y" * 200),
        lambda: m.get_single_header(b"host"),
        lambda: m.get_single_header(b"missing"),
        lambda: m.has_header(b"Cookie"),
        lambda: m.get_headers("str"),
        lambda: m.get_headers(None),
        lambda: m.content_type(),
        lambda: m.declares_json(),
        lambda: m.charset,
        lambda: m.body_buffer,
        lambda: m.headers,
        lambda: parse_charset(b"text/plain; charset=utf-8"),
        lambda: parse_charset(None),
        lambda: parse_charset("x"),
        # unreadable entries
        lambda: bad.get_headers(b"ok"),
        lambda: bad.get_headers(b"zzz"),
        lambda: bad.has_header(b"zzz"),
        lambda: bad.remove_header(b"ok"),
        lambda: BadOverride([]).get_single_header(b"a"),
        lambda: BadOverride([]).declares_json(),
        # changes
        lambda: m.add_header(b"X-Added", VALUE),
        lambda: m.set_header(b"x-added", VALUE),
        lambda: m.remove_header(b"X-ADDED"),
        lambda: m.add_header(b"k", "bad"),
        lambda: m.with_content(CONTENT).has_body(),
        lambda: m.with_content("bad"),
        lambda: setattr(m, "content", 1),
        lambda: setattr(m, "_headers", 1),
        # requests
        lambda: request().url,
        lambda: r.path,
        lambda: r.query,
        lambda: r.host,
        lambda: Request("GET", b"/", []).host,
        lambda: r.scheme,
        lambda: r.base_path,
        lambda: r.client_ip,
        lambda: r.original_client_ip,
        lambda: r.cookies,
        lambda: r.get_cookie("a"),
        lambda: r.user,
        lambda: r.session,
        lambda: r.expect_100_continue(),
        lambda: repr(r),
        lambda: setattr(request(), "url", "/new?x=1"),
        lambda: setattr(request(), "url", 5),
        lambda: setattr(request(), "query", {"a": ["1", "2"]}),
        lambda: setattr(r, "host", None),
        lambda: setattr(r, "_path", "str"),
        lambda: request().set_cookie("n", "v"),
        lambda: Request.incoming("GET", b"/\xff", b"\xff", [(b"cookie", b"\xff=1")]).cookies,
        lambda: request().path.__class__,
        lambda: setattr(request(), "scope", {"client": None}) or None,
        lambda: Request.incoming("GET", b"/", b"", []).__setattr__("scope", {"client": (1, 2, 3)}),
        lambda: request().reset(),
        lambda: request().with_content(Disposable(True)).reset(),
        lambda: request().dispose(),
        lambda: sub.host,
        lambda: sub.cookies,
        lambda: setattr(sub, "url", b"/other"),
        lambda: sub.declares_json(),
        # responses
        lambda: resp.set_cookie(COOKIE),
        lambda: resp.get_cookies(),
        lambda: resp.get_cookie("sid"),
        lambda: resp.remove_cookie("sid"),
        lambda: resp.unset_cookie("old"),
        lambda: resp.set_cookies([COOKIE, "bad"]),
        lambda: resp.set_cookie("bad"),
        lambda: Response(200, [(b"set-cookie", "str")]).get_cookies(),
        lambda: resp.reason,
        lambda: Response(999).reason,
        lambda: repr(resp),
        lambda: resp.is_redirect(),
        lambda: Response(200, None, TextContent("x")).reset(),
        lambda: Response(200, None, Disposable(True)).reset(),
        lambda: setattr(resp, "status", 2**33),
        # pools and request helpers
        lambda: release_request(acquire_request("GET", b"/p", b"q=1", SERVER_HEADERS, SCOPE)),
        lambda: release_response(acquire_response(201, [(b"a", b"1")], CONTENT)),
        lambda: [release_request(q) for q in [acquire_request("GET", b"/", b"", None, None)] * 2],
        lambda: release_request(None),
        lambda: acquire_request(b"GET", b"/", b"", None, None),
        lambda: acquire_response(2**40),
        lambda: release_response(Response(200, None, Disposable(True))),
        lambda: is_cors_preflight_request(r),
        lambda: method_without_body("TRACE"),
        lambda: get_request_absolute_url(request()),
        lambda: get_request_absolute_url(Request("GET", b"/", [])),
        lambda: get_absolute_url_to_path(request(), "/x"),
        lambda: get_absolute_url_to_path(request(), None),
        # contents and the response shortcuts
        lambda: release_response(text("x", 201)),
        lambda: release_response(json({"a": [1]})),
        lambda: json([], 200, lambda o: bytearray(b"[]")),
        lambda: json([], dumps=lambda o: 5),
        lambda: html(b"x"),
        lambda: text("x", "bad"),
        lambda: TextContent("abc").__init__("de"),
        # (a value msgspec refuses would count msgspec's own reference per failed encode)
        lambda: JSONContent({"a": 1}, lambda o: 1 / 0),
        lambda: RSGIContent(None, 3),
        lambda: ASGIContent(5),
        # the ASGI body read, waiting or not, completed, failed and stopped while it waits
        lambda: drive(asgi_body(event(b"abc")).read()),
        lambda: drive(asgi_body(event(b"a", True), {"type": "x"}, event(bytearray(b"b"), True),
                                event(b"c")).read()),
        lambda: drive(asgi_body(types.MappingProxyType(event(b"a"))).read()),
        lambda: drive(asgi_body(event(b"a", True), {"type": "http.disconnect"}).read()),
        lambda: drive(asgi_body(event(b"a", True), KeyError("k")).read()),
        lambda: drive(asgi_body(event(b"x" * 10, True), announced=10**12).read()),
        lambda: drive(asgi_body(event(b"a", True), event(5)).read()),
        lambda: drive(asgi_body(event(b"a", True), event(b"b"), cls=CountingBody).read()),
        lambda: stopped(asgi_body(event(b"a", True), None, event(b"b")).read(), "close"),
        lambda: stopped(asgi_body(None, event(b"b")).read(), KeyError("thrown")),
        lambda: (lambda c: (drive(c.read()), drive(c.read())))(asgi_body(event(b"kept"))),
        # (a list: msgspec's key cache keeps references a debug interpreter does not count)
        lambda: drive(json_request(event(b'[1, [2, 3]]')).json()),
        # forms
        lambda: (lambda q: (drive(q.form()), drive(q.files("a")), q.reset()))(form_request()),
        lambda: drive(form_request(FORM_BODY[:-20]).form()),
        lambda: drive(form_request(b"a=1&b=%ff&b", b"application/x-www-form-urlencoded").form()),
    ]


def run(rounds):
    for _ in range(rounds):
        for op in operations():
            try:
                op()
            except (TypeError, ValueError, IndexError, AttributeError, UnicodeError,
                    OverflowError, RuntimeError, NotImplementedError, Exception):
                pass


@pytest.mark.parametrize("rounds", [1500])
def test_operations_leak_nothing(rounds):
    watched = [KEY, VALUE, SERVER_HEADERS, BAD_HEADERS, SCOPE, CONTENT, COOKIE]
    tracemalloc.start()
    try:
        run(200)  # warm-up: caches, free lists, specialised bytecode
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        # Other tests of the session may leave allocator or cache state that settles during a
        # round; a real leak grows on every attempt, noise does not.
        growth = []
        for _ in range(3):
            before = tracemalloc.get_traced_memory()[0]
            run(rounds)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
            # One leaked small object per round would add well over 50 KiB.
            if growth[-1] < 32 * 1024:
                break
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert min(growth) < 32 * 1024, f"traced memory grew by {growth} bytes"


@pytest.mark.parametrize(
    "make",
    [lambda: Message([]), lambda: Request("GET", b"/", []), lambda: Response(200)],
    ids=["Message", "Request", "Response"],
)
def test_reference_cycles_are_collected(make):
    import weakref

    m = make()
    m.context = m  # a cycle through a field
    m.headers.values.append((b"self", m))  # and one through the header list
    ref = weakref.ref(m)
    del m
    gc.collect()
    assert ref() is None


def test_a_finalizer_in_a_cycle_can_still_read_the_request():
    seen = []

    class Witness:
        def __init__(self, request):
            self.request = request

        def __del__(self):
            r = self.request
            seen.append((r.method, r.get_headers(b"a"), repr(r.scope)))

    r = Request("GET", b"/", [(b"a", b"1")])
    r.state = Witness(r)
    del r
    gc.collect()
    assert len(seen) == 1
