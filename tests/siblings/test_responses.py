import pytest

from quenmark import messages, responses
from quenmark.contents import (
    HTMLContent,
    JSONContent,
    ServerSentEvent,
    StreamedContent,
    TextContent,
    TextServerSentEvent,
)



def _headers(response):
    return [tuple(pair) for pair in response.headers]


@pytest.mark.parametrize(
    "response, status, content_type, body",
    [
        (responses.text("héllo"), 200, TextContent, "héllo".encode()),
        (responses.text("gone", 410), 410, TextContent, b"gone"),
        (responses.html("<b>x</b>"), 200, HTMLContent, b"<b>x</b>"),
        (responses.json({"a": [1, 2]}), 200, JSONContent, b'{"a":[1,2]}'),
        (responses.json([1], 201, dumps=lambda o: "[ 1 ]"), 201, JSONContent, b"[ 1 ]"),
    ],
)
def test_content_shortcuts(response, status, content_type, body):
    assert isinstance(response, messages.Response)
    assert response.status == status
    assert type(response.content) is content_type
    assert response.content.body == body


def test_no_content():
    response = responses.no_content()
    assert response.status == 204 and response.content is None


@pytest.mark.parametrize(
    "location, expected",
    [
        ("/home", b"/home"),
        ("https://example.com/a?b=1&c=%20#f", b"https://example.com/a?b=1&c=%20#f"),
        ("/caf\u00e9 menu", b"/caf%C3%A9%20menu"),
        (b"/raw", b"/raw"),
    ],
)
def test_redirect(location, expected):
    response = responses.redirect(location)
    assert response.status == 302
    assert response.get_first_header(b"location") == expected
    assert responses.redirect(location, 308).status == 308


@pytest.mark.parametrize("location", [b"/a\r\nSet-Cookie: x=1", b"/a\nX: y", b"/nul\x00"])
def test_redirect_refuses_header_injection(location):
    with pytest.raises(ValueError):
        responses.redirect(location)


def test_redirect_escapes_line_breaks_in_text():
    response = responses.redirect("/a\r\nSet-Cookie: x=1")
    assert response.get_first_header(b"location") == b"/a%0D%0ASet-Cookie:%20x=1"


@pytest.mark.parametrize("as_object", [False, True], ids=["function", "generator object"])
async def test_stream_and_sse(as_object):
    async def chunks():
        yield b"a"
        yield b"b"

    response = responses.stream(chunks() if as_object else chunks, b"text/plain")
    assert isinstance(response.content, StreamedContent)
    assert response.content.type == b"text/plain"
    assert await response.content.read() == b"ab"

    async def events():
        yield ServerSentEvent({"n": 1}, event="tick")

    response = responses.sse(events() if as_object else events)
    assert response.content.type == b"text/event-stream"
    assert response.get_first_header(b"cache-control") == b"no-cache"
    body = await response.content.read()
    assert body == b'event: tick\ndata: {"n":1}\n\n'


@pytest.mark.parametrize("make", [responses.stream, responses.sse])
@pytest.mark.parametrize("source", [[b"a"], b"a", None])
def test_what_cannot_be_streamed_is_refused_before_any_response(make, source):
    with pytest.raises(TypeError, match="async iterable"):
        make(source)


async def test_an_event_stream_closes_its_source_when_it_is_closed():
    closed = []

    async def events():
        try:
            while True:
                yield ServerSentEvent("tick")
        finally:
            closed.append(True)

    parts = responses.sse(events()).content.generator()
    assert await anext(parts) == b'data: "tick"\n\n'
    await parts.aclose()
    assert closed == [True]


@pytest.mark.parametrize(
    "event, wire",
    [
        (ServerSentEvent(None), b"\n"),
        (ServerSentEvent("x", retry=0), b'data: "x"\nretry: 0\n\n'),
        (TextServerSentEvent("a\nb", id="7"), b"id: 7\ndata: a\ndata: b\n\n"),
        (TextServerSentEvent("", comment="one\ntwo\n"), b": one\n: two\n: \n\n"),
        # Any line break inside id or event would end the line and let the rest pose as a field.
        (TextServerSentEvent("d", id="1\rdata: evil", event="a\r\nb"), b"id: 1data: evil\nevent: ab\ndata: d\n\n"),
        (TextServerSentEvent("d", id="", event="", comment=""), b"data: d\n\n"),
    ],
)
def test_event_stream_wire_format(event, wire):
    assert responses.write_event(event) == wire
