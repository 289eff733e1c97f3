"""quenmark.scribe's ASGI side: content headers, the events send_asgi_response sends, and the
chunking functions; bad input refused before anything reaches the wire."""

import asyncio

import pytest

from quenmark import scribe
from quenmark.contents import Content, StreamedContent, TextContent
from quenmark.exceptions import InvalidOperation
from quenmark.messages import Response
from quenmark.scribe import (get_chunks, send_asgi_response, set_headers_for_response_content,
                             write_chunks, write_response_cookie)

CHUNK = 61440


class Sink:
    """An ASGI `send` that records the events; `fail_at` makes the n-th call raise."""

    def __init__(self, fail_at=None):
        self.events, self.fail_at = [], fail_at

    async def __call__(self, event):
        if len(self.events) == self.fail_at:
            raise ConnectionResetError("client gone")
        self.events.append(event)

    @property
    def bodies(self):
        return [(e["body"], e.get("more_body", "absent")) for e in self.events[1:]]


def send(response, sink=None):
    sink = sink or Sink()
    asyncio.run(send_asgi_response(response, sink))
    return sink


class Source:
    """An async generator of chunks that records whether it was closed."""

    def __init__(self, chunks, fail=False):
        self.chunks, self.fail, self.closed = chunks, fail, False

    async def __call__(self):
        try:
            for chunk in self.chunks:
                yield chunk
            if self.fail:
                raise RuntimeError("source broke")
        finally:
            self.closed = True


class Parts(StreamedContent):
    """A stream whose get_parts() yields exactly what its source does (no filtering)."""

    __slots__ = ()

    def __init__(self, source, length=-1):
        super().__init__(b"text/plain", source, length)

    def get_parts(self):
        return self.generator()


@pytest.mark.parametrize(
    "status, content, headers",
    [
        (200, None, [(b"content-length", b"0")]),
        (204, None, []),  # a 204 or 304 never has a body, nor a length
        (304, None, []),
        (200, Content(None, b"ab"), [(b"content-type", b"application/octet-stream"),
                                     (b"content-length", b"2")]),
        (200, Content(b"", b""), [(b"content-type", b"application/octet-stream"),
                                  (b"content-length", b"0")]),
        (200, StreamedContent(b"text/plain", Source([])), [(b"content-type", b"text/plain"),
                                                            (b"transfer-encoding", b"chunked")]),
        (200, StreamedContent(b"x/y", Source([]), 5), [(b"content-type", b"x/y"),
                                                        (b"content-length", b"5")]),
    ],
)
def test_content_headers(status, content, headers):
    response = Response(status, None, content)
    set_headers_for_response_content(response)
    assert response.headers.values == headers


class Computed(Content):
    """Fields computed by properties in place of the slots."""

    __slots__ = ()
    type = property(lambda self: b"text/csv", lambda self, value: None)
    length = property(lambda self: 3, lambda self, value: None)
    body = property(lambda self: b"a,b", lambda self, value: None)


def test_fields_a_subclass_computes_are_read_through_them():
    sink = send(Response(200, None, Computed(None, b"")))
    assert sink.events[0]["headers"] == [(b"content-type", b"text/csv"), (b"content-length", b"3")]
    assert sink.bodies == [(b"a,b", False)]


@pytest.mark.parametrize("name", [b"content-type", b"Content-Type", b"CONTENT-TYPE"])
def test_an_applications_own_content_type_stays_alone(name):
    response = Response(200, [(name, b"text/csv")], TextContent("a,b"))
    events = send(response).events
    assert [v for n, v in events[0]["headers"] if n.lower() == b"content-type"] == [b"text/csv"]


@pytest.mark.parametrize(
    "size, bodies",
    [
        (0, [(b"", False)]),
        (CHUNK, [(b"x" * CHUNK, False)]),
        (CHUNK + 1, [(b"x" * CHUNK, True), (b"x", True), (b"", False)]),
    ],
)
def test_bodies_go_whole_or_in_chunks(size, bodies):
    assert send(Response(200, None, Content(b"a/b", b"x" * size))).bodies == bodies


def test_no_content_sends_one_body_event_without_more_body():
    sink = send(Response(200))
    assert sink.events[0] == {"type": "http.response.start", "status": 200,
                              "headers": [(b"content-length", b"0")]}
    assert sink.events[1:] == [{"type": "http.response.body", "body": b""}]


@pytest.mark.parametrize(
    "chunks, bodies",
    [
        ([b"a", b"b"], [(b"a", True), (b"b", True), (b"", False)]),
        # Empty and None chunks are nothing to send: the body goes on after them.
        ([b"a", b"", None, b"b"], [(b"a", True), (b"b", True), (b"", False)]),
        ([b"a", b""], [(b"a", True), (b"", False)]),
        ([], [(b"", False)]),
    ],
)
def test_stream_events(chunks, bodies):
    assert send(Response(200, None, Parts(Source(chunks)))).bodies == bodies


def test_the_start_event_carries_the_responses_own_list():
    response = Response(200, None, TextContent("x"))
    assert send(response).events[0]["headers"] is response.headers.values


def test_a_module_level_get_chunks_replacement_is_used(monkeypatch):
    monkeypatch.setattr(scribe, "get_chunks", lambda data: iter([data[:2], data[2:], b""]))
    body = b"y" * (CHUNK + 5)
    assert send(Response(200, None, Content(b"a/b", body))).bodies == [
        (b"yy", True), (body[2:], True), (b"", False)]


@pytest.mark.parametrize(
    "source, length, error",
    [
        (Source([b"a"], fail=True), -1, RuntimeError),
        (Source([b"a", "text"]), -1, TypeError),  # a stream of bytes only
        (Source([b"abc", b"def"]), 4, InvalidOperation),  # longer than declared
        (Source([b"abc"]), 4, InvalidOperation),  # shorter than declared
    ],
)
def test_a_failing_stream_ends_without_its_closing_event(source, length, error):
    sink = Sink()
    with pytest.raises(error):
        send(Response(200, None, Parts(source, length)), sink)
    assert (b"", False) not in sink.bodies
    assert source.closed


def test_a_send_that_fails_mid_stream_stops_and_closes_the_stream():
    source = Source([b"a", b"b", b"c"])
    sink = Sink(fail_at=2)
    with pytest.raises(ConnectionResetError):
        send(Response(200, None, Parts(source)), sink)
    assert sink.bodies == [(b"a", True)]
    assert source.closed


def test_a_body_that_disagrees_with_its_length_is_refused():
    content = Content(b"a/b", b"abc")
    content.length = 10
    sink = Sink()
    with pytest.raises(InvalidOperation):
        send(Response(200, None, content), sink)
    assert sink.events == []  # refused before the server sees anything


@pytest.mark.parametrize(
    "headers, error",
    [
        ([(b"x-a", b"1\r\nset-cookie: evil=1")], ValueError),
        ([(b"x-a", b"1\nx")], ValueError),
        ([(b"x-a", b"1\rx")], ValueError),
        ([(b"x-a", b"1\x00x")], ValueError),
        ([(b"x-a\r\nx-b", b"1")], ValueError),
        ([(b"x-a", "text")], TypeError),
        ([(b"x-a",)], (TypeError, ValueError)),
    ],
)
def test_unsafe_headers_never_reach_the_server(headers, error):
    sink = Sink()
    with pytest.raises(error):
        send(Response(200, headers, TextContent("x")), sink)
    assert sink.events == []


def test_an_unsafe_content_type_is_refused():
    content = TextContent("x")
    content.type = b"text/plain\r\nx-evil: 1"
    with pytest.raises(ValueError):
        send(Response(200, None, content))


@pytest.mark.parametrize(
    "call",
    [
        lambda: send_asgi_response(None, Sink()),
        lambda: send_asgi_response("x", Sink()),
        lambda: set_headers_for_response_content(None),
        lambda: get_chunks(bytearray(b"x")),
        lambda: get_chunks(type("B", (bytes,), {})(b"x")),
        lambda: write_chunks("x"),
        lambda: write_response_cookie("x"),
    ],
)
def test_wrong_argument_types(call):
    with pytest.raises(TypeError, match="has incorrect type"):
        call()


def test_get_chunks():
    assert list(get_chunks(b"")) == [b""]
    assert [len(c) for c in get_chunks(b"z" * (2 * CHUNK + 1))] == [CHUNK, CHUNK, 1, 0]
    with pytest.raises(TypeError, match="object of type 'NoneType' has no len()"):
        get_chunks(None)


async def collect(agen):
    return [chunk async for chunk in agen]


@pytest.mark.parametrize(
    "chunks, wire",
    [
        ([b"abc", b"0123456789abcdef"], [b"3\r\nabc\r\n", b"10\r\n0123456789abcdef\r\n", b"0\r\n\r\n"]),
        # An empty chunk in the middle would end the body for the client.
        ([b"a", b"", None, b"b"], [b"1\r\na\r\n", b"1\r\nb\r\n", b"0\r\n\r\n"]),
        ([], [b"0\r\n\r\n"]),
    ],
)
def test_write_chunks(chunks, wire):
    assert asyncio.run(collect(write_chunks(Parts(Source(chunks))))) == wire


def test_write_chunks_refuses_text_and_closes_what_it_reads():
    source = Source([b"a", "b"])
    with pytest.raises(TypeError, match="Expected bytes, got str"):
        asyncio.run(collect(write_chunks(Parts(source))))
    assert source.closed

    async def close_early():
        source = Source([b"a", b"b"])
        gen = write_chunks(Parts(source))
        await gen.__anext__()
        await gen.aclose()
        return source.closed

    assert asyncio.run(close_early())
    with pytest.raises(AttributeError):
        asyncio.run(collect(write_chunks(None)))



# ---- instantiate_asgi_request -----------------------------------------------------------------


async def _receive():
    return {"type": "http.request", "body": b"", "more_body": False}


@pytest.mark.parametrize(
    "changes, path, body",
    [
        ({}, b"/a", False),
        ({"raw_path": b"/a%20b?x=1"}, b"/a%20b", False),  # a query some servers leave on it
        ({"raw_path": None, "path": "/caf\u00e9"}, "/caf\u00e9".encode(), False),
        ({"headers": ((b"content-length", b" 5 "),)}, b"/a", True),
        ({"headers": [(b"Content-Length", b"0")], "http_version": "2"}, b"/a", False),
        ({"headers": [[b"transfer-encoding", b"chunked"]]}, b"/a", True),
        ({"http_version": "2"}, b"/a", True),  # no header: the length may be unknown
        ({"http_version": None}, b"/a", True),
    ],
)
def test_requests_from_asgi_scopes(changes, path, body):
    scope = {"type": "http", "method": "GET", "path": "/a", "raw_path": b"/a", "query_string": b"q",
             "headers": [(b"host", b"h")], **changes}
    request = scribe.instantiate_asgi_request(scope, _receive)
    assert (request.method, request._path, request._raw_query, request.scope) == ("GET", path, b"q", scope)
    assert (request.content is not None) is body
    assert (request._receive is _receive) is not body  # kept for the disconnect probe


def test_scopes_of_changing_layouts_are_read_by_key():
    # The same keys in another order, an entry removed before them, keys that are equal but not
    # the same objects: every scope's own values, whatever the scopes before it looked like.
    def scope(method, path, order=1, rebuild=False):
        items = [("type", "http"), ("http_version", "1.1"), ("method", method), ("path", path),
                 ("raw_path", path.encode()), ("query_string", method.encode()), ("headers", [])]
        if rebuild:
            items = [("".join(list(k)), v) for k, v in items]  # equal keys, other objects
        made = dict(items[::order])
        if order == -1:
            made = {"extra": 1, **made}
            del made["extra"]
        return made

    for method, path, order, rebuild in [("GET", "/a", 1, False), ("PUT", "/bb", -1, False),
                                         ("POST", "/c", 1, True), ("GET", "/d", 1, False),
                                         ("PATCH", "/e", -1, True), ("GET", "/f", -1, False)]:
        request = scribe.instantiate_asgi_request(scope(method, path, order, rebuild), _receive)
        assert (request.method, request._path, request._raw_query) == (method, path.encode(),
                                                                       method.encode())


@pytest.mark.parametrize(
    "changes, error",
    [({"method": None}, KeyError), ({"headers": 5}, TypeError), ({"headers": [(b"a",)]}, ValueError),
     ({"raw_path": "/a"}, TypeError), ({"path": None, "raw_path": b""}, KeyError)],
)
def test_scopes_that_make_no_request(changes, error):
    scope = {"method": "GET", "path": "/", "raw_path": b"/", "headers": [], **changes}
    scope = {k: v for k, v in scope.items() if v is not None}
    with pytest.raises(error):
        scribe.instantiate_asgi_request(scope, _receive)
