"""Body reading: read, read_raw, read_detached, detach_raw, stream, text, json and the module
coroutines behind is_disconnected, with and without content, and through subclass overrides."""

import asyncio
import gc
import json as stdlib_json
import sys
import tracemalloc

import msgspec
import pytest

from quenmark.contents import Content, StreamedContent
from quenmark.exceptions import BadRequestFormat, MessageAborted
from quenmark.messages import Message, Request, Response, _call_soon, _read_stream
from quenmark.settings.encodings import encodings_settings
from quenmark.settings.json import json_settings

FACTORIES = [
    pytest.param(lambda h: Message(h), id="Message"),
    pytest.param(lambda h: Request("POST", b"/", h), id="Request"),
    pytest.param(lambda h: Response(200, h, None), id="Response"),
]


@pytest.fixture(autouse=True)
def _restore_settings():
    yield
    json_settings.reset()
    encodings_settings.reset()


class Reading(Content):
    """A content whose read() returns `result` as it is and counts the calls."""

    __slots__ = ("result", "reads")

    def __init__(self, result, content_type=None):
        super().__init__(content_type, b"")
        self.result = result
        self.reads = 0

    async def read(self):
        self.reads += 1
        await asyncio.sleep(0)
        return self.result


class Empty(Content):
    """A content that tests false: the methods treat it as no body."""

    __slots__ = ()

    def __bool__(self):
        return False


def with_content(content, content_type=b"application/json", factory=Message):
    headers = [(b"content-type", content_type)] if content_type is not None else []
    m = factory(headers)
    m.content = content
    return m


# ---- no body --------------------------------------------------------------------------------


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("content", [None, Empty(None, b"x")], ids=["None", "false"])
@pytest.mark.parametrize("content_type", [b"application/json", b"text/plain"])
async def test_methods_without_a_body(factory, content, content_type):
    m = factory([(b"content-type", content_type)])
    m.content = content
    assert await m.read() is None
    assert await m.read_raw() == b""
    assert await m.read_detached() == b""
    assert m.detach_raw() == b""
    assert [chunk async for chunk in m.stream()] == [None]
    assert await m.text() == ""
    assert await m.json() is None


# ---- with a body ----------------------------------------------------------------------------


@pytest.mark.parametrize("result", [b"abc", bytearray(b"abc"), memoryview(b"abc"), None])
async def test_read_and_read_raw_return_what_the_content_yields(result):
    m = with_content(Reading(result))
    assert await m.read() is result
    assert await m.read_raw() is result


@pytest.mark.parametrize("kind", [bytearray, memoryview])
async def test_read_detached_copies_a_mutable_or_borrowed_buffer(kind):
    buffer = bytearray(b"payload")
    m = with_content(Reading(kind(buffer)))
    detached = await m.read_detached()
    buffer[0:1] = b"X"
    assert type(detached) is bytes and detached == b"payload"


async def test_read_detached_keeps_bytes_and_maps_none_to_empty():
    data = b"payload"
    assert await with_content(Reading(data)).read_detached() is data
    assert await with_content(Reading(None)).read_detached() == b""


async def test_read_detached_refuses_an_integer_instead_of_reading_a_length():
    with pytest.raises(TypeError):
        await with_content(Reading(5)).read_detached()


class Held(Content):
    __slots__ = ("_data",)


@pytest.mark.parametrize(
    "data, body, expected",
    [
        (b"kept", b"body", b"kept"),
        (bytearray(b"kept"), b"body", b"kept"),
        (None, b"body", b"body"),
        (None, None, b""),
    ],
)
def test_detach_raw_prefers_the_received_data_then_the_body(data, body, expected):
    content = Held(None, b"")
    content._data = data
    content.body = body
    result = with_content(content).detach_raw()
    assert type(result) is bytes and result == expected


def test_detach_raw_without_either_attribute():
    class Bare(Content):
        __slots__ = ()

        def __getattribute__(self, name):
            if name in ("_data", "body"):
                raise AttributeError(name)
            return super().__getattribute__(name)

    assert with_content(Bare(None, b"x")).detach_raw() == b""


async def test_stream_yields_the_chunks_in_order():
    async def chunks():
        for part in (b"a", b"bb", b"ccc"):
            await asyncio.sleep(0)
            yield part

    m = with_content(StreamedContent(b"text/plain", chunks))
    assert [chunk async for chunk in m.stream()] == [b"a", b"bb", b"ccc"]
    assert [chunk async for chunk in with_content(Content(None, b"one")).stream()] == [b"one"]


async def test_stream_propagates_the_contents_error():
    async def broken():
        yield b"a"
        raise MessageAborted()

    g = with_content(StreamedContent(None, broken)).stream()
    assert await anext(g) == b"a"
    with pytest.raises(MessageAborted):
        await anext(g)


# ---- text -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "content_type, data, expected",
    [
        (b"text/plain; charset=ISO-8859-1", "café".encode("latin-1"), "café"),
        (b"text/plain", "café".encode(), "café"),
        (None, "ü".encode(), "ü"),
        (b"text/plain; charset=utf-16", "hé".encode("utf-16"), "hé"),
    ],
)
async def test_text_decodes_with_the_charset(content_type, data, expected):
    assert await with_content(Content(None, data), content_type).text() == expected


async def test_text_falls_back_to_the_configured_decoder():
    calls = []

    def fallback(value, error):
        calls.append((bytes(value), type(error)))
        return "fallback"

    encodings_settings.use(fallback)
    m = with_content(Content(None, b"caf\xe9"), b"text/plain; charset=utf-8")
    assert await m.text() == "fallback"
    assert calls == [(b"caf\xe9", UnicodeDecodeError)]


async def test_text_default_fallback_does_not_raise():
    assert await with_content(Content(None, b"\xff\xfe"), b"text/plain").text() == "ÿþ"


@pytest.mark.parametrize("charset", [b"nope-nope", b"hex", b"undefined"])
async def test_text_with_a_charset_that_cannot_be_used_reads_utf8(charset):
    # The client named the charset: one the interpreter does not know, or a codec that is no
    # text encoding, is read as UTF-8 (with the usual fallback), not answered with a 500.
    assert await with_content(Content(None, "é".encode()), b"text/plain; charset=" + charset).text() == "é"


@pytest.mark.parametrize("kind", [bytearray, memoryview])
async def test_text_decodes_other_buffers(kind):
    assert await with_content(Reading(kind("é".encode()))).text() == "é"


# ---- json -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "content_type", [b"application/json", b"application/problem+json", b"APPLICATION/JSON"]
)
async def test_json_decodes_an_object(content_type):
    m = with_content(Content(None, b'{"a": [1, 2], "b": null}'), content_type)
    assert await m.json() == {"a": [1, 2], "b": None}


async def test_json_does_not_read_when_the_content_type_is_not_json():
    content = Reading(b'{"a": 1}')
    assert await with_content(content, b"text/plain").json() is None
    assert await with_content(content, None).json() is None
    assert content.reads == 0


@pytest.mark.parametrize(
    "content_type, message",
    [
        (
            b"application/json; charset=utf-8",
            "Declared Content-Type is application/json; charset=utf-8 but the content cannot be "
            "parsed as JSON.",
        ),
        (b"application/JSON", "Cannot parse content as JSON"),
    ],
)
@pytest.mark.parametrize("loads", [None, stdlib_json.loads], ids=["msgspec", "loads"])
async def test_json_errors_become_bad_request_format(content_type, message, loads):
    m = with_content(Content(None, b'{"a": 1'), content_type)
    with pytest.raises(BadRequestFormat) as info:
        await m.json(loads=loads)
    error = info.value
    assert str(error) == message
    expected = msgspec.DecodeError if loads is None else stdlib_json.JSONDecodeError
    assert isinstance(error.inner_exception, expected)
    assert error.__context__ is error.inner_exception


async def test_json_with_a_content_type_that_is_not_utf8():
    m = with_content(Content(None, b"{"), b"application/json; x=\xff")
    with pytest.raises(BadRequestFormat, match="Declared Content-Type is application/json; x=\ufffd"):
        await m.json()


async def test_json_loads_receives_text_decoded_with_the_charset():
    seen = []

    def loads(text):
        seen.append(text)
        return "parsed"

    m = with_content(Content(None, '{"é": 1}'.encode("latin-1")),
                     b"application/json; charset=latin-1")
    assert await m.json(loads) == "parsed"
    assert seen == ['{"é": 1}']


async def test_json_loads_receives_other_objects_unchanged():
    marker = object()
    m = with_content(Reading([marker]))
    assert await m.json(loads=lambda value: value) == [marker]


@pytest.mark.parametrize(
    "error, raised", [(ValueError("v"), BadRequestFormat), (KeyError("k"), KeyError)]
)
async def test_json_loads_errors(error, raised):
    def loads(text):
        raise error

    with pytest.raises(raised):
        await with_content(Content(None, b"{}")).json(loads=loads)


async def test_json_undecodable_body_with_loads_becomes_bad_request_format():
    m = with_content(Content(None, b"\xff"), b"application/json; charset=utf-8")
    with pytest.raises(BadRequestFormat) as info:
        await m.json(stdlib_json.loads)
    assert isinstance(info.value.inner_exception, UnicodeDecodeError)


async def test_json_uses_the_configured_loads_only_when_custom():
    json_settings.use(loads=lambda text: ("custom", text))
    m = with_content(Content(None, b"[1]"))
    assert await m.json() == ("custom", "[1]")
    assert await m.json(loads=lambda text: "given") == "given"


@pytest.mark.parametrize("custom", [True, False])
async def test_json_asks_a_replaced_has_custom_loads(monkeypatch, custom):
    # The flag is read from its slot only while the class's property is the one that gives it.
    json_settings.use(loads=lambda text: ("custom", text))
    monkeypatch.setattr(type(json_settings), "has_custom_loads", property(lambda self: custom))
    assert await with_content(Content(None, b"[1]")).json() == (("custom", "[1]") if custom else [1])


async def test_json_empty_body_and_body_without_length():
    assert await with_content(Content(None, b"")).json() is None
    assert await with_content(Reading(bytearray())).json() is None
    with pytest.raises(TypeError):
        await with_content(Reading(None)).json()


# ---- overrides and arguments ----------------------------------------------------------------


class Overriding(Message):
    def read_raw(self):
        async def raw():
            return bytearray(b'{"from": "read_raw"}')

        return raw()

    def read(self):
        async def body():
            return b"from read"

        return body()

    @property
    def charset(self):
        return "latin-1"

    def declares_json(self):
        return True


async def test_internal_calls_go_through_overrides():
    m = Overriding([])
    m.content = Content(None, b"ignored")
    assert await m.read_detached() == b'{"from": "read_raw"}'
    assert await m.text() == "from read"
    assert await m.json() == {"from": "read_raw"}
    assert await m.json(loads=lambda t: t) == '{"from": "read_raw"}'
    assert m.detach_raw() == b"ignored"


class Plain(Message):
    pass


async def _patched(value):
    return value


@pytest.mark.parametrize(
    "name, call, expected",
    [
        ("read_raw", lambda m: m.read_detached(), b'{"patched": 1}'),
        ("read_raw", lambda m: m.json(), {"patched": 1}),
        ("read", lambda m: m.text(), '{"patched": 1}'),
    ],
)
async def test_internal_calls_find_a_replacement_on_the_instance(name, call, expected):
    # `self.read_raw()` by name: what a test's patch on the instance puts there is used.
    m = with_content(Content(None, b"ignored"), factory=Plain)
    setattr(m, name, lambda: _patched(b'{"patched": 1}'))
    assert await call(m) == expected


async def test_override_of_content_type_shapes_the_error_message():
    class Declares(Message):
        def content_type(self):
            return b"application/vnd.x+json"

    m = Declares([])
    m.content = Content(None, b"nope")
    with pytest.raises(BadRequestFormat, match="Declared Content-Type is application/vnd.x\\+json"):
        await m.json()


@pytest.mark.parametrize("name", ["read", "read_raw", "read_detached", "detach_raw", "stream",
                                  "text"])
def test_methods_take_no_arguments(name):
    with pytest.raises(TypeError):
        getattr(Message([]), name)(1)


def test_json_arguments():
    m = Message([])
    with pytest.raises(TypeError, match="json\\(\\) takes at most 1 positional argument \\(2 given\\)"):
        m.json(None, None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'load'"):
        m.json(load=None)


# ---- _read_stream and _call_soon ------------------------------------------------------------


async def test_read_stream_drains_the_stream():
    seen = []

    async def chunks():
        for part in (b"a", b"b"):
            seen.append(part)
            yield part

    request = with_content(StreamedContent(None, chunks), factory=lambda h: Request("POST", b"/", h))
    assert await _read_stream(request) is None
    assert seen == [b"a", b"b"]


async def test_read_stream_propagates_message_aborted_through_call_soon():
    async def aborted():
        raise MessageAborted()
        yield

    request = with_content(StreamedContent(None, aborted), factory=lambda h: Request("POST", b"/", h))
    with pytest.raises(MessageAborted):
        await _call_soon(_read_stream(request))


async def test_read_stream_stops_at_the_first_wait_under_call_soon():
    seen = []

    async def slow():
        yield b"now"
        seen.append("waiting")
        await asyncio.sleep(10)
        seen.append("never")
        yield b"later"

    request = with_content(StreamedContent(None, slow), factory=lambda h: Request("POST", b"/", h))
    assert await _call_soon(_read_stream(request)) is None
    assert seen == ["waiting"]


def test_module_function_arguments():
    with pytest.raises(TypeError, match="_read_stream\\(\\) takes exactly 1 positional argument"):
        _read_stream()
    with pytest.raises(TypeError, match="Argument 'request' has incorrect type"):
        _read_stream(5)
    with pytest.raises(TypeError, match="_call_soon\\(\\) takes exactly 1 positional argument"):
        _call_soon()


# ---- nothing leaks ----------------------------------------------------------------------------


async def _expect(awaitable, error=None):
    try:
        await awaitable
    except Exception as exc:
        assert error is not None and isinstance(exc, error), exc


async def _every_body_operation(held, bad_loads):
    ok = with_content(Content(None, b'{"a": [1, "x"]}'))
    await ok.read()
    await ok.read_raw()
    await ok.read_detached()
    await ok.text()
    await ok.json()
    await ok.json(loads=stdlib_json.loads)
    ok.detach_raw()
    with_content(held).detach_raw()
    assert [chunk async for chunk in ok.stream()]
    assert [chunk async for chunk in with_content(None).stream()] == [None]
    await _expect(with_content(Reading(bytearray(b"ab"))).read_detached())
    await _expect(with_content(Reading(5)).read_detached(), TypeError)
    await _expect(with_content(Content(None, b"\xff"), b"text/plain").text())
    await _expect(with_content(Content(None, b"x"), b"text/plain; charset=nope").text(), LookupError)
    await _expect(with_content(Content(None, b"{")).json(), BadRequestFormat)
    await _expect(with_content(Content(None, b"{"), b"application/json; x=\xff").json(),
                  BadRequestFormat)
    await _expect(with_content(Content(None, b"{")).json(bad_loads), BadRequestFormat)
    await _expect(with_content(Content(None, b"\xff")).json(stdlib_json.loads), BadRequestFormat)
    await _expect(with_content(Content(None, b"{}")).json(lambda t: {}[t]), KeyError)
    await _expect(with_content(Reading(None)).json(), TypeError)
    await _expect(_read_stream(with_content(Content(None, b"x"))))
    await _expect(_call_soon(_read_stream(with_content(Reading(b"x")))))
    for call in (lambda: Message([]).json(1, 2), lambda: _read_stream(5), lambda: _call_soon()):
        try:
            call()
        except TypeError:
            pass


async def test_repeated_body_operations_do_not_leak():
    held = Held(None, b"body")
    held._data = bytearray(b"kept")

    def bad_loads(text):
        raise ValueError("bad")

    shared = (held, bad_loads, BadRequestFormat, msgspec.DecodeError, json_settings,
              encodings_settings, stdlib_json.loads)
    for _ in range(100):
        await _every_body_operation(held, bad_loads)
    gc.collect()
    refs = [sys.getrefcount(o) for o in shared]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(1000):
            await _every_body_operation(held, bad_loads)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024
    assert [sys.getrefcount(o) for o in shared] == refs


@pytest.mark.parametrize("interface", ["asgi", "rsgi"])
async def test_reading_a_server_body_holds_about_its_size_once(interface):
    from quenmark.contents import ASGIContent, RSGIContent

    count, size = 20, 1 << 20
    made = []

    def chunk():  # made as the server would, while the body is read
        made.append(None)
        return bytes([64 + len(made)]) * size

    async def receive():
        return {"type": "http.request", "body": chunk(), "more_body": len(made) < count}

    class Protocol:
        def __aiter__(self):
            return self

        async def __anext__(self):
            if len(made) == count:
                raise StopAsyncIteration
            return chunk()

    request = Request.incoming("POST", b"/", b"", [])
    request.content = ASGIContent(receive) if interface == "asgi" else RSGIContent(Protocol())
    tracemalloc.start()
    try:
        body = await request.read()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert body == b"".join(bytes([65 + i]) * size for i in range(count))
    assert peak < 1.3 * count * size


async def test_a_body_announced_beyond_the_limit_is_refused_at_its_first_chunk():
    from quenmark.contents import ASGIContent
    from quenmark.exceptions import ContentTooLarge

    calls = []

    async def receive():
        calls.append(None)
        return {"type": "http.request", "body": b"x" * 10, "more_body": True}

    content = ASGIContent(receive, announced=10**12)
    with pytest.raises(ContentTooLarge):
        await content.read()
    assert len(calls) == 1
    content.max_size = None  # a route that takes any size reads on
    content._count(10)
