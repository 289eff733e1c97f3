"""Responses written by quenmark.scribe, served for real by uvicorn (ASGI) and granian (ASGI and
RSGI) on loopback: bodies in one piece and in many events, streams, server-sent events, and a
stream that fails part way, which must not reach the client as a complete body.

This module is also the application the servers load (`test_scribe_servers:app`)."""

import asyncio
import socket
from pathlib import Path

import httpx
import pytest
from servers import NAMES, serve

from quenmark import Application
from quenmark.contents import Content, ServerSentEvent, StreamedContent, TextServerSentEvent
from quenmark.messages import Response
from quenmark.responses import sse, text

HERE = Path(__file__).resolve().parent
LARGE = bytes(i % 251 for i in range(3 * 61440 + 7))

app = Application()


@app.router.get("/large")
async def large(request):
    return Response(200, None, Content(b"application/octet-stream", LARGE))


def parts(count, fail=False):
    async def produce():
        for i in range(count):
            yield b"part %d;" % i
            yield b""  # nothing to send: the body must go on
            await asyncio.sleep(0)
        if fail:
            raise RuntimeError("the source broke")

    return produce


@app.router.get("/stream")
async def stream(request):
    return Response(200, None, StreamedContent(b"text/plain", parts(50)))


@app.router.get("/stream/sized")
async def stream_sized(request):
    return Response(200, None, StreamedContent(b"text/plain", parts(3), len(b"part 0;") * 3))


@app.router.get("/stream/failing")
async def stream_failing(request):
    return Response(200, None, StreamedContent(b"text/plain", parts(3, fail=True)))


@app.router.get("/stream/failing-sized")
async def stream_failing_sized(request):
    return Response(200, None, StreamedContent(b"text/plain", parts(3, fail=True), 1000))


@app.router.get("/events")
async def events(request):
    async def provider():
        yield ServerSentEvent({"n": 1}, event="tick", id="1")
        yield TextServerSentEvent("two\nlines", comment="x\ry")

    return sse(provider)


@app.router.get("/csv")
async def csv(request):
    response = text("a,b\n1,2\n")
    response.add_header(b"Content-Type", b"text/csv")
    return response


@app.router.get("/scope")
async def scope(request):
    return text(f"{request.scheme} {request.client_ip} {request.path}")


@pytest.fixture(scope="module", params=NAMES)
def server(request):
    with serve(request.param, "test_scribe_servers:app", HERE, ready="/csv") as running:
        yield running.name, running.port


def raw_get(port, path):
    """The bytes the server sends for one GET, up to the end of the connection or 3 s of
    silence (the server keeps a finished connection open)."""
    with socket.create_connection(("127.0.0.1", port), timeout=3) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: t\r\n\r\n".encode())
        data = b""
        try:
            while chunk := s.recv(65536):
                data += chunk
        except TimeoutError:
            return data, False
        return data, True


def test_bodies_streams_and_events(server):
    name, port = server
    with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=10) as c:
        r = c.get("/large")
        assert r.content == LARGE
        assert r.headers["content-length"] == str(len(LARGE))
        r = c.get("/stream")
        assert r.text == "".join(f"part {i};" for i in range(50))
        assert r.headers.get("transfer-encoding") == "chunked"
        r = c.get("/stream/sized")
        assert (r.text, r.headers["content-length"]) == ("part 0;part 1;part 2;", "21")
        r = c.get("/events")
        assert r.headers["content-type"] == "text/event-stream"
        assert r.text == ('id: 1\nevent: tick\ndata: {"n":1}\n\n'
                          ': x\n: y\ndata: two\ndata: lines\n\n')
        r = c.get("/csv")
        assert r.headers.get_list("content-type") == ["text/csv"]
        scheme, client, path = c.get("/scope").text.split()
        assert (scheme, client, path) == ("http", "127.0.0.1", "/scope")


def test_a_failing_stream_is_not_taken_as_complete(server):
    name, port = server
    head, _, body = raw_get(port, "/stream/failing-sized")[0].partition(b"\r\n\r\n")
    assert b"content-length: 1000" in head.lower()
    assert len(body) < 1000  # the connection ended short of the declared length
    with httpx.Client(timeout=10) as c, pytest.raises(httpx.RemoteProtocolError):
        c.get(f"http://127.0.0.1:{port}/stream/failing-sized")
    if name == "granian-rsgi":
        return  # the RSGI stream transport always ends a chunked body properly
    data, closed = raw_get(port, "/stream/failing")
    assert closed and b"part 2;" in data
    assert not data.endswith(b"0\r\n\r\n")
