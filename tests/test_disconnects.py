"""quenmark.disconnects in process: Request.is_disconnected on every channel (without a body,
after the body was read, under RSGI) without losing a body it had to read, the ASGI body read by
one reader at a time, requests without Content-Length, and streams stopped by a shutdown."""

import asyncio

import pytest

from quenmark import Application
from quenmark.contents import ASGIContent, RSGIContent
from quenmark.disconnects import stop_streams, write_watched
from quenmark.exceptions import InvalidOperation
from quenmark.messages import Request
from quenmark.responses import text
from quenmark.server.asgi import request_from_scope

DISCONNECT = {"type": "http.disconnect"}


def body(data, more=False):
    return {"type": "http.request", "body": data, "more_body": more}


class Channel:
    """An ASGI receive callable: hands out its messages, waits for more (`push`), and tells the
    disconnect once the client has left (`leave`)."""

    def __init__(self, *messages):
        self.messages = list(messages)
        self.gone = False
        self.changed = asyncio.Event()

    async def __call__(self):
        while not self.messages and not self.gone:
            self.changed.clear()
            await self.changed.wait()
        return self.messages.pop(0) if self.messages else DISCONNECT

    def push(self, message):
        self.messages.append(message)
        self.changed.set()

    def leave(self):
        self.gone = True
        self.changed.set()


def asgi_request(receive, headers=(), http_version="1.1"):
    scope = {"type": "http", "method": "POST", "path": "/", "raw_path": b"/", "query_string": b"",
             "headers": list(headers), "http_version": http_version}
    return request_from_scope(scope, receive)


async def test_probe_without_a_body_and_after_the_body_was_read():
    channel = Channel(body(b""))
    request = asgi_request(channel)
    assert request.content is None
    assert await request.is_disconnected() is False
    channel.leave()
    assert await request.is_disconnected() is True

    channel = Channel(body(b"abc"))
    request = asgi_request(channel, [(b"content-length", b"3")])
    assert await request.read() == b"abc"
    assert await request.is_disconnected() is False
    channel.leave()
    assert await request.is_disconnected() is True


async def test_probing_first_keeps_the_body():
    channel = Channel(body(b"ab", more=True))  # the rest is not there yet
    request = asgi_request(channel, [(b"content-length", b"4")])
    assert await request.is_disconnected() is False
    channel.push(body(b"cd"))
    assert await request.read() == b"abcd"


async def test_the_asgi_body_has_one_reader_at_a_time():
    channel = Channel(body(b"a", more=True))
    content = ASGIContent(channel)
    reading = asyncio.ensure_future(content.read())
    await asyncio.sleep(0)
    streamed = asyncio.ensure_future(_collect(content.stream()))
    await asyncio.sleep(0)
    channel.push(body(b"b"))
    assert await reading == b"ab"
    assert await streamed == [b"ab"]  # waited for the read, then gave what it kept

    async def reads_inside_its_own_stream():
        async for _ in content_again.stream():
            await content_again.read()

    content_again = ASGIContent(Channel(body(b"x", more=True), body(b"y")))
    with pytest.raises(InvalidOperation, match="being read already"):
        await reads_inside_its_own_stream()


async def _collect(chunks):
    return [chunk async for chunk in chunks]


class RSGIProtocol:
    def __init__(self):
        self.gone = asyncio.Event()

    def __aiter__(self):
        return _collect_none()

    async def client_disconnect(self):
        await self.gone.wait()

    def response_bytes(self, status, headers, body):
        self.status = status


async def test_rsgi_probe():
    protocol = RSGIProtocol()
    request = Request("GET", b"/", [])
    request.content = RSGIContent(protocol)
    assert await request.is_disconnected() is False
    protocol.gone.set()
    assert await request.is_disconnected() is True


async def test_rsgi_probe_of_a_request_served_without_a_body():
    # The exchange gives a bodiless request no content: the probe reaches the protocol through
    # the request's scope.
    app, protocol, seen = Application(), RSGIProtocol(), []

    @app.router.get("/")
    async def probe(request):
        seen.append((request.content, await request.is_disconnected()))
        protocol.gone.set()
        seen.append(await request.is_disconnected())
        return text("ok")

    class Scope:
        proto, scheme, method, path, query_string, client = "http", "http", "GET", "/", "", "h:1"
        http_version, headers = "1.1", {"host": "h"}

    await app.__rsgi__(Scope(), protocol)
    assert (seen, protocol.status) == ([(None, False), True], 200)


async def _collect_none():
    return
    yield


@pytest.mark.parametrize(
    "headers, http_version, has_content",
    [([], "1.1", False), ([], "1.0", False), ([(b"content-length", b"0")], "2", False),
     ([], "2", True), ([], "3", True), ([(b"transfer-encoding", b"chunked")], "1.1", True)],
)
def test_a_body_without_content_length(headers, http_version, has_content):
    request = asgi_request(Channel(), headers, http_version)
    assert (request.content is not None) is has_content


async def test_a_shutdown_stops_the_streams_being_written():
    closed = []
    channel = Channel(body(b""))
    request = asgi_request(channel)

    async def chunks():
        try:
            yield b"first"
            await asyncio.sleep(3600)
        finally:
            closed.append(True)

    async def writing():
        async for _ in chunks():
            pass

    task = asyncio.ensure_future(write_watched(writing(), request))
    await asyncio.sleep(0.01)
    await stop_streams(timeout=1)
    assert task.done() and task.result() is None and closed == [True]
    # Another cancellation of the writer is not taken for the shutdown's.
    task = asyncio.ensure_future(write_watched(writing(), asgi_request(Channel(body(b"")))))
    await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
