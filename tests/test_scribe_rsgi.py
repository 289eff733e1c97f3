"""quenmark.scribe's RSGI side: requests from RSGI scopes, responses through the protocol."""

import asyncio

import pytest

from quenmark.contents import (ASGIContent, Content, JSONContent, RSGIContent, StreamedContent,
                               TextContent)
from quenmark.exceptions import InvalidOperation
from quenmark.messages import Response, release_request
from quenmark.scribe import (RSGIScope, extract_rsgi_headers, instantiate_rsgi_request,
                             send_rsgi_response, send_rsgi_response_sync)


class Scope:
    proto, scheme, method, path, query_string = "http", "https", "POST", "/caf\u00e9", "q=\u00e9"
    client, server = "[::1]:5000", "10.0.0.2:8000"

    def __init__(self, **attrs):
        self.headers = {"host": "example.com", "x-accent": "\u00e9", "accept": "*/*"}
        self.__dict__.update(attrs)


class Transport:
    def __init__(self, calls, fail_at=None):
        self.calls, self.fail_at = calls, fail_at

    async def send_bytes(self, data):
        self._record("send_bytes", data)

    async def send_str(self, data):
        self._record("send_str", data)

    def _record(self, method, data):
        if len(self.calls) - 1 == self.fail_at:
            raise ConnectionResetError("client gone")
        self.calls.append((method, data))


class Protocol:
    """Records the calls; response_stream gives the transport at once or (`awaited`) as an
    awaitable, as servers differ there."""

    def __init__(self, awaited=False, fail_at=None):
        self.calls, self.awaited, self.fail_at = [], awaited, fail_at

    def response_empty(self, status, headers):
        self.calls.append(("empty", status, headers))

    def response_bytes(self, status, headers, body):
        self.calls.append(("bytes", status, headers, body))

    def response_str(self, status, headers, body):
        self.calls.append(("str", status, headers, body))

    def response_stream(self, status, headers):
        self.calls.append(("stream", status, headers))
        transport = Transport(self.calls, self.fail_at)
        if not self.awaited:
            return transport

        async def later():
            return transport

        return later()


def send(response, protocol=None):
    protocol = protocol or Protocol()
    asyncio.run(send_rsgi_response(response, protocol))
    return protocol.calls


@pytest.mark.parametrize(
    "raw, pairs",
    [
        ({"host": "h", "x-e": "\u00e9"}, [(b"host", b"h"), (b"x-e", b"\xe9")]),
        ([("a", "1"), (b"b", b"2")], [(b"a", b"1"), (b"b", b"2")]),
        ((["n", 5],), [(b"n", b"5")]),
        (iter([("Mixed-Case", "v")]), [(b"Mixed-Case", b"v")]),  # names are not normalised
        (None, []),
    ],
)
def test_extract_rsgi_headers(raw, pairs):
    assert extract_rsgi_headers(raw) == pairs


class Copied(list):
    """items() is a method of the class (no bound method is made for it): a new list holding the
    headers' own pairs."""

    __slots__ = ()
    items = list.copy


class Kept:
    """items() gives the same list every time."""

    __slots__ = ("pairs",)

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs


class Zipped(Kept):
    """items() makes the list and its pairs anew each time."""

    __slots__ = ()

    def items(self):
        return list(zip(*zip(*self.pairs)))


@pytest.mark.parametrize("kind", [Copied, Kept, Zipped])
def test_extracting_leaves_what_the_headers_still_hold_as_it_was(kind):
    pairs = [(name, value) for name, value in [("host", "h"), ("x-e", "\u00e9")]]
    raw = kind(pairs)
    assert extract_rsgi_headers(raw) == [(b"host", b"h"), (b"x-e", b"\xe9")]
    assert extract_rsgi_headers(raw) == [(b"host", b"h"), (b"x-e", b"\xe9")]
    assert raw.items() == [("host", "h"), ("x-e", "\u00e9")]


class Hashed(Kept):
    """items() makes its pairs anew, and hashes them before handing them over."""

    __slots__ = ()

    def items(self):
        pairs = list(zip(*zip(*self.pairs)))
        for pair in pairs:
            hash(pair)
        return pairs


def test_pairs_converted_in_place_hash_as_what_they_hold():
    pairs = extract_rsgi_headers(Hashed([("host", "h")]))
    assert pairs == [(b"host", b"h")] and {pairs[0]: 1}.get((b"host", b"h")) == 1


@pytest.mark.parametrize(
    "raw, error",
    [([("x", "\u0100")], UnicodeEncodeError), ([("x",)], IndexError), (5, TypeError)],
)
def test_extract_rsgi_headers_refuses(raw, error):
    with pytest.raises(error):
        extract_rsgi_headers(raw)


def test_a_request_from_an_rsgi_scope():
    protocol = object()
    r = instantiate_rsgi_request(Scope(), protocol)
    # The path escaped back into a raw one (the router decodes it once); the query as the UTF-8
    # the server decoded it from.
    assert (r.method, r._path, r._raw_query) == ("POST", b"/caf%C3%A9", b"q=\xc3\xa9")
    assert r.headers.values == [(b"host", b"example.com"), (b"x-accent", b"\xe9"), (b"accept", b"*/*")]
    assert type(r.content) is RSGIContent
    # The properties a request derives from its scope read the RSGI scope's attributes.
    assert isinstance(r.scope, RSGIScope)
    assert (r.scheme, r.client_ip, r.base_path) == ("https", "::1", "")
    assert r.scope["server"] == ("10.0.0.2", 8000)
    assert r.scope.get("missing", 1) == 1 and r.scope.proto == "http"
    with pytest.raises(KeyError):
        r.scope["missing"]
    release_request(r)


@pytest.mark.parametrize("query", ["", None])
def test_an_absent_query_is_empty(query):
    assert instantiate_rsgi_request(Scope(query_string=query), None)._raw_query == b""


@pytest.mark.parametrize(
    "attrs, error",
    [({"path": b"/"}, TypeError), ({"method": 1}, TypeError), ({"query_string": b""}, TypeError),
     ({"path": None}, AttributeError), ({"path": "/\ud800"}, UnicodeEncodeError)],
)
def test_odd_scopes_are_refused(attrs, error):
    with pytest.raises(error):
        instantiate_rsgi_request(Scope(**attrs), None)


def test_a_response_without_headers_gets_the_shared_list_of_its_content_type():
    first = send(Response(200, None, JSONContent({"a": 1})))
    second = send(Response(201, None, JSONContent([])))
    assert first == [("bytes", 200, [("content-type", "application/json")], b'{"a":1}')]
    assert first[0][2] is second[0][2]


@pytest.mark.parametrize(
    "response, call",
    [
        (Response(204), ("empty", 204, [])),
        (Response(200, [(b"x-a", b"1")], Content(b"image/avif", b"i")),
         ("bytes", 200, [("x-a", "1"), ("content-type", "image/avif")], b"i")),
        # The application's own Content-Type, in any case, is the only one.
        (Response(200, [(b"Content-Type", b"text/csv")], TextContent("a")),
         ("bytes", 200, [("Content-Type", "text/csv")], b"a")),
        (Response(200, [("x-text", "v")], None), ("empty", 200, [("x-text", "v")])),
    ],
)
def test_responses(response, call):
    assert send(response) == [call]


@pytest.mark.parametrize(
    "body, call",
    [("text", ("str", "text")), (bytearray(b"ba"), ("bytes", b"ba")),
     (memoryview(b"mv"), ("bytes", b"mv")), (5, ("str", "5")), (None, ("empty",))],
)
def test_body_types(body, call):
    content = Content(None, b"")
    content.body = body
    (got,) = send(Response(200, None, content))
    assert (got[0], *got[3:]) == call


def source(chunks, fail=False, closed=None):
    async def produce():
        try:
            for chunk in chunks:
                yield chunk
            if fail:
                raise RuntimeError("source broke")
        finally:
            if closed is not None:
                closed.append(True)

    return produce


class Raw(StreamedContent):
    """A stream whose stream() yields exactly what its source does."""

    __slots__ = ()

    def stream(self):
        return self.generator()


@pytest.mark.parametrize("awaited", [False, True])
def test_streams(awaited):
    calls = send(Response(200, None, Raw(b"text/plain", source([b"a", b"", "t", None, bytearray(b"z")]))),
                 Protocol(awaited))
    assert calls == [("stream", 200, [("content-type", "text/plain")]), ("send_bytes", b"a"),
                     ("send_str", "t"), ("send_bytes", b"z")]


def test_a_stream_with_a_declared_length_sends_it():
    calls = send(Response(200, None, StreamedContent(b"a/b", source([b"ab", b"c"]), 3)))
    assert calls[0] == ("stream", 200, [("content-type", "a/b"), ("content-length", "3")])


@pytest.mark.parametrize(
    "chunks, length, fail, error",
    [([b"ab"], -1, True, RuntimeError), ([b"ab", b"cd"], 3, False, InvalidOperation),
     ([b"ab"], 3, False, InvalidOperation)],
)
def test_a_failing_stream_stops_and_closes(chunks, length, fail, error):
    closed = []
    protocol = Protocol()
    with pytest.raises(error):
        send(Response(200, None, Raw(b"a/b", source(chunks, fail, closed), length)), protocol)
    assert closed and ("send_bytes", b"cd") not in protocol.calls


def test_a_transport_that_fails_stops_and_closes_the_stream():
    closed = []
    protocol = Protocol(fail_at=1)
    with pytest.raises(ConnectionResetError):
        send(Response(200, None, Raw(b"a/b", source([b"a", b"b", b"c"], closed=closed))), protocol)
    assert protocol.calls[1:] == [("send_bytes", b"a")] and closed


def test_a_request_body_sent_back_is_streamed():
    messages = iter([{"type": "http.request", "body": b"ab", "more_body": False}])

    async def receive():
        return next(messages)

    calls = send(Response(200, None, ASGIContent(receive)))
    assert calls == [("stream", 200, []), ("send_bytes", b"ab")]


def test_send_rsgi_response_sync_returns_the_stream_to_await():
    protocol = Protocol()
    response = Response(200, None, StreamedContent(None, source([b"a"])))
    pending = send_rsgi_response_sync(response, protocol)
    assert protocol.calls == []
    asyncio.run(pending)
    assert protocol.calls == [("stream", 200, []), ("send_bytes", b"a")]
    assert send_rsgi_response_sync(Response(200), Protocol()) is None


@pytest.mark.parametrize(
    "headers",
    [[(b"x-a", b"1\r\nset-cookie: a=1")], [("x-a", "1\nx")], [(b"x\x00", b"1")], [("x-a", "\r")]],
)
def test_unsafe_headers_never_reach_the_server(headers):
    protocol = Protocol()
    with pytest.raises(ValueError):
        send(Response(200, headers, TextContent("x")), protocol)
    assert protocol.calls == []


@pytest.mark.parametrize(
    "call",
    [lambda: send_rsgi_response_sync(None, Protocol()), lambda: send_rsgi_response("x", Protocol())],
)
def test_wrong_argument_types(call):
    with pytest.raises(TypeError, match="has incorrect type"):
        call()
