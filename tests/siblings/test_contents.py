import asyncio
import json
from tempfile import SpooledTemporaryFile

import pytest

from quenmark.contents import (
    ASGIContent,
    Content,
    FormContent,
    FormPart,
    HTMLContent,
    JSONContent,
    MultiPartFormData,
    RSGIContent,
    ServerSentEvent,
    StreamedContent,
    TextContent,
    TextServerSentEvent,
    parse_www_form_urlencoded,
    simplify_multipart_data,
)
from quenmark.exceptions import ContentTooLarge, InvalidOperation, MessageAborted
from quenmark.settings.encodings import encodings_settings
from quenmark.settings.json import json_settings


@pytest.fixture(autouse=True)
def _restore_settings():
    yield
    json_settings.reset()
    encodings_settings.reset()


async def collect(iterable):
    return [chunk async for chunk in iterable]


class FakeReceive:
    """An ASGI receive channel that replays messages, then waits forever."""

    def __init__(self, *messages):
        self.messages = list(messages)
        self.calls = 0

    async def __call__(self):
        self.calls += 1
        if self.messages:
            return self.messages.pop(0)
        await asyncio.Event().wait()


def body(data, more=False):
    return {"type": "http.request", "body": data, "more_body": more}


DISCONNECT = {"type": "http.disconnect"}


# -- in-memory contents ---------------------------------------------------------------


async def test_content_reads_streams_and_survives_dispose():
    content = Content(b"application/octet-stream", b"abc")
    assert (content.type, content.body, content.length) == (b"application/octet-stream", b"abc", 3)
    assert await content.read() == b"abc"
    assert await collect(content.stream()) == [b"abc"]
    assert await collect(content.get_parts()) == [b"abc"]
    assert bytes(content.body_buffer) == b"abc"
    content.dispose()
    # Contents are often module constants shared by many responses.
    assert await content.read() == b"abc" and content.length == 3


async def test_empty_content_yields_no_empty_chunk():
    content = Content(None, b"")
    assert content.type is None and content.length == 0
    assert await collect(content.get_parts()) == []
    assert await content.read() == b""


@pytest.mark.parametrize(
    "content_type, data, error",
    [
        (b"text/plain\r\nX-Injected: 1", b"", ValueError),
        (b"text/plain\n", b"", ValueError),
        (42, b"", TypeError),
        (b"text/plain", "text", TypeError),
        (b"text/plain", None, TypeError),
    ],
)
def test_content_refuses_bad_arguments(content_type, data, error):
    with pytest.raises(error):
        Content(content_type, data)


def test_content_copies_mutable_data():
    data = bytearray(b"abc")
    content = Content("text/plain", data)
    data[0] = 0
    assert content.body == b"abc" and content.type == b"text/plain"


@pytest.mark.parametrize(
    "content, content_type, data",
    [
        (TextContent("héllo"), b"text/plain; charset=utf-8", "héllo".encode()),
        (HTMLContent("<p>é</p>"), b"text/html; charset=utf-8", "<p>é</p>".encode()),
        (JSONContent({"a": [1, "é"]}), b"application/json", '{"a":[1,"é"]}'.encode()),
        (JSONContent([1], dumps=lambda o: json.dumps(o)), b"application/json", b"[1]"),
        (FormContent({"a": "1 2", "b": ["x", "y"]}), b"application/x-www-form-urlencoded", b"a=1+2&b=x&b=y"),
        (FormContent([("k", "v&w"), ("k", "z")]), b"application/x-www-form-urlencoded", b"k=v%26w&k=z"),
    ],
)
def test_typed_contents(content, content_type, data):
    assert (content.type, content.body, content.length) == (content_type, data, len(data))


def test_json_content_follows_configured_dumps():
    json_settings.use(dumps=lambda obj: json.dumps(obj, separators=(", ", ": ")))
    assert JSONContent({"a": 1}).body == b'{"a": 1}'


@pytest.mark.parametrize("factory", [TextContent, HTMLContent])
def test_text_contents_refuse_non_text(factory):
    with pytest.raises(TypeError):
        factory(b"bytes")


# -- streamed content -----------------------------------------------------------------


def provider_of(*chunks):
    async def provider():
        for chunk in chunks:
            yield chunk

    return provider


async def test_streamed_content_skips_empty_chunks_and_normalises_types():
    content = StreamedContent(b"text/plain", provider_of(b"a", b"", None, bytearray(b"b"), memoryview(b"c"), "é"))
    assert content.body is None and content.length == -1
    expected = [b"a", b"b", b"c", "é".encode()]
    assert await collect(content.get_parts()) == expected
    assert await collect(content.stream()) == expected, "the provider is called anew"
    assert await content.read() == b"abc" + "é".encode()


async def test_streamed_content_refuses_non_bytes_chunks():
    with pytest.raises(TypeError):
        await collect(StreamedContent(None, provider_of(b"a", 42)).get_parts())
    with pytest.raises(TypeError):
        StreamedContent(None, "not callable")


@pytest.mark.parametrize(
    "declared, chunks",
    [(2, (b"abc",)), (5, (b"ab", b"c")), (0, (b"x",))],
)
async def test_streamed_content_must_match_its_declared_length(declared, chunks):
    content = StreamedContent(None, provider_of(*chunks), declared)
    with pytest.raises(InvalidOperation):
        await collect(content.get_parts())


async def test_streamed_content_with_exact_length():
    content = StreamedContent(None, provider_of(b"ab", b"c"), 3)
    assert content.length == 3
    assert await collect(content.get_parts()) == [b"ab", b"c"]


# -- ASGI ----------------------------------------------------------------------------


async def test_asgi_read_collects_body_once_and_keeps_it():
    receive = FakeReceive(body(b"ab", True), {"type": "unknown"}, body(b"", True), body(b"c"))
    content = ASGIContent(receive)
    assert (content.type, content.body, content.length) == (None, None, -1)
    assert await content.read() == b"abc"
    assert await content.read() == b"abc"
    assert receive.calls == 4
    assert content._data == b"abc" and bytes(content.body_buffer) == b"abc"
    # Streaming after reading serves the kept body and does not wait on the channel.
    assert await collect(content.stream()) == [b"abc"]
    assert receive.calls == 4


@pytest.mark.parametrize("chunk", [b"whole", bytearray(b"whole"), memoryview(b"whole")])
async def test_asgi_read_of_one_event_keeps_its_chunk(chunk):
    content = ASGIContent(FakeReceive(body(chunk)))
    data = await content.read()
    assert type(data) is bytes and data == b"whole"
    assert data is chunk or type(chunk) is not bytes  # one event: no copy of the body


async def test_asgi_stream_yields_chunks_as_they_arrive():
    content = ASGIContent(FakeReceive(body(b"a", True), body(b"b", True), body(b"")))
    assert await collect(content.stream()) == [b"a", b"b"]
    with pytest.raises(InvalidOperation):
        await content.read()


async def test_asgi_read_after_streaming_an_empty_body():
    content = ASGIContent(FakeReceive(body(b"")))
    assert await collect(content.stream()) == []
    assert await content.read() == b""


@pytest.mark.parametrize(
    "messages",
    [(DISCONNECT,), (body(b"a", True), DISCONNECT), (body(b"a", True), body(b"b", True), DISCONNECT)],
)
@pytest.mark.parametrize("how", ["read", "stream"])
async def test_asgi_disconnect_while_reading_raises_message_aborted(messages, how):
    content = ASGIContent(FakeReceive(*messages))
    with pytest.raises(MessageAborted):
        if how == "read":
            await content.read()
        else:
            await collect(content.stream())


async def test_asgi_read_interrupted_by_disconnect_never_returns_a_truncated_body():
    content = ASGIContent(FakeReceive(body(b"a", True), DISCONNECT, body(b"b")))
    with pytest.raises(MessageAborted):
        await content.read()
    with pytest.raises(InvalidOperation):
        await content.read()


async def test_asgi_read_cancelled_midway_does_not_return_a_truncated_body():
    content = ASGIContent(FakeReceive(body(b"a", True)))  # then waits forever
    task = asyncio.ensure_future(content.read())
    await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    with pytest.raises(InvalidOperation):
        await content.read()


async def _probe(content):
    """Run the stream until it first waits, then cancel it, like a disconnect probe."""

    async def drain():
        async for _ in content.stream():
            pass

    task = asyncio.ensure_future(drain())
    asyncio.get_running_loop().call_soon(task.cancel)
    try:
        await task
    except asyncio.CancelledError:
        return False
    except MessageAborted:
        return True
    return False


async def test_asgi_finished_body_stream_waits_for_the_disconnect():
    receive = FakeReceive(body(b""))
    content = ASGIContent(receive)
    assert await _probe(content) is False  # consumes the empty body
    assert await _probe(content) is False  # nothing pending: still connected
    receive.messages.append(DISCONNECT)
    assert await _probe(content) is True


async def test_asgi_dispose_drops_data_and_refuses_further_reads():
    content = ASGIContent(FakeReceive(body(b"abc")))
    await content.read()
    content.dispose()
    assert content._data is None and bytes(content.body_buffer) == b""
    with pytest.raises(InvalidOperation):
        await content.read()
    with pytest.raises(InvalidOperation):
        await collect(content.stream())


# -- RSGI ----------------------------------------------------------------------------


class FakeProtocol:
    def __init__(self, *chunks):
        self.chunks = chunks
        self.calls = 0

    async def __call__(self):
        self.calls += 1
        return b"".join(self.chunks)

    def __aiter__(self):
        self.calls += 1
        return self._iterate()

    async def _iterate(self):
        for chunk in self.chunks:
            yield chunk


async def test_rsgi_read_once_and_keep():
    protocol = FakeProtocol(b"a", b"b")
    content = RSGIContent(protocol)
    assert await content.read() == b"ab"
    assert await content.read() == b"ab" and protocol.calls == 1
    assert await collect(content.stream()) == [b"ab"]


async def test_rsgi_stream_then_read():
    content = RSGIContent(FakeProtocol(b"a", b"", b"b"))
    assert await collect(content.stream()) == [b"a", b"b"]
    with pytest.raises(InvalidOperation):
        await content.read()
    empty = RSGIContent(FakeProtocol())
    assert await collect(empty.stream()) == []
    assert await collect(empty.stream()) == []
    assert await empty.read() == b""
    empty.dispose()
    with pytest.raises(InvalidOperation):
        await empty.read()


class CountingProtocol(FakeProtocol):
    """Says which way the body was taken: whole (a call) or chunk by chunk (iteration)."""

    def __init__(self, *chunks):
        super().__init__(*chunks)
        self.ways = []

    async def __call__(self):
        self.ways.append("whole")
        return await super().__call__()

    def __aiter__(self):
        self.ways.append("chunks")
        return super().__aiter__()


@pytest.mark.parametrize(
    "announced, max_size, way, outcome",
    [
        (4, 10, "whole", b"abcd"),  # a length within the limit: one call
        (-1, 10, "chunks", b"abcd"),  # no length: chunk by chunk, each counted
        (4, None, "whole", b"abcd"),
        (4, 3, "chunks", ContentTooLarge),  # announced beyond the limit: refused at once
        (2, 3, "whole", ContentTooLarge),  # a server that sends more than announced
    ],
)
async def test_rsgi_read_takes_an_announced_body_whole(announced, max_size, way, outcome):
    protocol = CountingProtocol(b"ab", b"cd")
    content = RSGIContent(protocol, announced)
    content.max_size = max_size
    if outcome is ContentTooLarge:
        with pytest.raises(ContentTooLarge):
            await content.read()
    else:
        assert await content.read() == outcome
    assert protocol.ways == [way]


class OneShotProtocol(FakeProtocol):
    # A real protocol's body stream goes on from where an earlier iteration stopped.
    def __init__(self, *chunks):
        super().__init__(*chunks)
        self.iterator = super()._iterate()

    def __aiter__(self):
        return self.iterator


async def test_rsgi_stream_stopped_part_way_is_not_resumed():
    content = RSGIContent(OneShotProtocol(b"a", b"b", b"c"))
    stream = content.stream()
    assert await anext(stream) == b"a"
    await stream.aclose()
    for again in (lambda: collect(content.stream()), content.read):
        with pytest.raises(InvalidOperation):
            await again()


# -- forms --------------------------------------------------------------------------


def test_form_part_with_bytes_and_with_file():
    part = FormPart(b"field", b"value")
    assert (part.name, part.data, part.size, part.file) == (b"field", b"value", 5, None)
    spooled = SpooledTemporaryFile(max_size=10, mode="w+b")
    spooled.write(b"x" * 20)
    spooled.seek(0)
    upload = FormPart(b"f", spooled, b"text/plain", b"a.txt", size=20)
    assert upload.file is spooled
    assert upload.data == b"x" * 20
    assert upload.data == b"x" * 20, "reading data twice gives the same bytes"
    upload.close()
    assert spooled.closed
    with pytest.raises(TypeError):
        FormPart(b"f", 42)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a=1&b=2", {"a": "1", "b": "2"}),
        ("a=1&a=2&a=3", {"a": ["1", "2", "3"]}),
        ("a=&b", {"a": "", "b": ""}),
        ("q=caf%C3%A9+au+lait&x=%26", {"q": "café au lait", "x": "&"}),
        ("", {}),
        (None, {}),
    ],
)
def test_parse_www_form_urlencoded(text, expected):
    assert parse_www_form_urlencoded(text) == expected


def test_simplify_multipart_data():
    upload = FormPart(b"file", b"\x00\x01", b"application/octet-stream", b"a.bin")
    form = {
        "title": [FormPart(b"title", "héllo".encode())],
        b"tags": [FormPart(b"tags", b"a"), FormPart(b"tags", b"b")],
        "latin": [FormPart(b"latin", b"caf\xe9", charset=b"iso-8859-1")],
        "unknown": [FormPart(b"unknown", b"ok", charset=b"no-such-charset")],
        "codec": [FormPart(b"codec", b"aGk=", charset=b"base64")],
        "refusing": [FormPart(b"refusing", b"ok", charset=b"undefined")],
        "broken": [FormPart(b"broken", b"\xff\xfe")],
        "file": [upload],
        "files": [upload, upload],
    }
    simple = simplify_multipart_data(form)
    assert simple == {
        "title": "héllo",
        "tags": ["a", "b"],
        "latin": "café",
        "unknown": "ok",
        "codec": "aGk=",
        "refusing": "ok",
        "broken": "\xff\xfe",
        "file": upload,
        "files": [upload, upload],
    }
    assert simplify_multipart_data(None) is None


def test_multipart_form_data_escapes_names_and_picks_a_fresh_boundary():
    parts = [
        FormPart(b'evil"\r\nX: 1', b"v"),
        FormPart(b"f", b"data", b"text/plain", b'a"b.txt', charset=b"utf-8"),
    ]
    content = MultiPartFormData(parts)
    boundary = content.boundary
    assert content.type == b"multipart/form-data; boundary=" + boundary
    assert content.body.startswith(b"--" + boundary + b"\r\n")
    assert content.body.endswith(b"--" + boundary + b"--\r\n")
    assert b'name="evil%22%0D%0AX: 1"' in content.body
    assert b'filename="a%22b.txt"' in content.body
    assert b"Content-Type: text/plain; charset=utf-8\r\n" in content.body
    assert content.length == len(content.body)
    assert MultiPartFormData(parts).boundary != boundary


# -- server-sent events --------------------------------------------------------------


@pytest.mark.parametrize(
    "data, expected",
    [
        ({"a": 1, "b": [True, None]}, '{"a":1,"b":[true,null]}'),
        ("line1\nline2", '"line1\\nline2"'),
        (3, "3"),
    ],
)
def test_sse_data_is_compact_json(data, expected):
    assert ServerSentEvent(data).write_data() == expected


@pytest.mark.parametrize("encode", [False, True], ids=["str", "bytes"])
def test_sse_with_indenting_dumps_keeps_each_line_a_data_line(encode):
    def dumps(obj):
        text = json.dumps(obj, indent=2)
        return text.encode() if encode else text

    json_settings.use(dumps=dumps)
    assert ServerSentEvent({"a": 1}).write_data() == '{\ndata:   "a": 1\ndata: }'


@pytest.mark.parametrize(
    "text, expected",
    [
        ("one", "one"),
        ("one\ntwo", "one\ndata: two"),
        ("one\r\ntwo\rthree", "one\ndata: two\ndata: three"),
        ("trailing\n", "trailing\ndata: "),
        ("id: forged\r", "id: forged\ndata: "),
    ],
)
def test_text_event_continues_every_line(text, expected):
    event = TextServerSentEvent(text, event="e", id="1", retry=5, comment="c")
    assert event.write_data() == expected
    assert (event.event, event.id, event.retry, event.comment) == ("e", "1", 5, "c")


def test_text_event_requires_text():
    with pytest.raises(TypeError):
        TextServerSentEvent({"a": 1})
    assert ServerSentEvent(None).retry == -1
