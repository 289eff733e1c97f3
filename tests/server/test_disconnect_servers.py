"""A client that goes away, and a server that shuts down, under uvicorn and granian (ASGI and
RSGI): streams and event streams stop at once (their generators are closed), a shutdown does not
wait on them, `is_disconnected` tells, and bodies without Content-Length arrive whole.

This module is also the application the servers load (`test_disconnect_servers:app`); it writes what
happened to the file named by QM_EVENTS."""

import asyncio
import os
import socket
import time
from pathlib import Path

import httpx
import pytest
from servers import NAMES, serve

from quenmark import Application
from quenmark.contents import Content, ServerSentEvent, StreamedContent
from quenmark.messages import Response
from quenmark.responses import sse, text

HERE = Path(__file__).resolve().parent

app = Application()


def record(line):
    with open(os.environ["QM_EVENTS"], "a") as f:
        f.write(line + "\n")


@app.router.get("/")
async def home(request):
    return text("ok")


@app.router.get("/stream/{name}")
async def stream(request):
    name = request.route_values["name"]

    async def chunks():
        try:
            yield b"first;"
            await asyncio.sleep(3600)  # waits for what never comes
            yield b"never"
        finally:
            record(f"closed {name}")

    return Response(200, None, StreamedContent(b"text/plain", chunks))


@app.router.post("/events/{name}")
async def events(request):
    name = request.route_values["name"]

    async def ticks():
        try:
            n = 0
            while True:
                n += 1
                yield ServerSentEvent({"n": n})
                await asyncio.sleep(0.02)
        finally:
            record(f"closed {name}")

    return sse(ticks)


@app.router.route("/probe/{name}", methods=["GET", "POST"])
async def probe(request):
    name = request.route_values["name"]
    record(f"{name} {await request.is_disconnected()}")
    deadline = time.monotonic() + 10
    while not await request.is_disconnected() and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
    record(f"{name} {await request.is_disconnected()}")
    return text("late")


@app.router.post("/echo")
async def echo(request):
    return Response(200, None, Content(b"application/octet-stream", await request.read()))


@pytest.fixture
def events_file(tmp_path):
    path = tmp_path / "events"
    path.touch()

    def wait_for(line, timeout=5.0):
        deadline = time.monotonic() + timeout
        while line not in path.read_text().splitlines():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True

    wait_for.path = path
    return wait_for


@pytest.fixture(params=NAMES)
def server(request, events_file):
    with serve(request.param, "test_disconnect_servers:app", HERE,
               env={"QM_EVENTS": str(events_file.path)}) as running:
        yield running


def open_and_leave(server, head, until=b"first;"):
    """Sends `head`, reads until `until` arrives, and drops the connection."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
        s.sendall(head)
        data = b""
        while until not in data:
            chunk = s.recv(65536)
            assert chunk, data
            data += chunk
    return data


def get(path):
    return f"GET {path} HTTP/1.1\r\nHost: t\r\n\r\n".encode()


def test_streams_stop_when_the_client_leaves(server, events_file):
    open_and_leave(server, get("/stream/s1"))
    # A POST whose body the handler never read: the watcher reads it to see the disconnect.
    open_and_leave(server, b"POST /events/e1 HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n\r\nhello",
                   until=b'data: {"n":2}')
    assert events_file("closed s1")
    assert events_file("closed e1")
    assert "Traceback" not in server.output()


def test_a_shutdown_does_not_wait_on_open_streams(server, events_file):
    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
        s.sendall(get("/stream/s2"))
        data = b""
        while b"first;" not in data:
            data += s.recv(65536)
        took = server.stop(timeout=20)
    assert took < 5
    assert events_file("closed s2", timeout=0)
    assert "Traceback" not in server.output()


@pytest.mark.parametrize("head", [get("/probe/p"),
                                  b"POST /probe/p HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\n\r\nabc"])
def test_is_disconnected_without_a_body_and_with_one(server, events_file, head):
    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
        s.sendall(head)
        assert events_file("p False")
    assert events_file("p True")


def test_a_chunked_request_body_is_read(server):
    def parts():
        yield b"abc"
        yield b"def" * 1000

    r = httpx.post(server.url + "/echo", content=parts(), timeout=10)
    assert r.request.headers["transfer-encoding"] == "chunked"
    assert (r.status_code, r.content) == (200, b"abc" + b"def" * 1000)


@pytest.mark.parametrize("name", ["granian-asgi", "granian-rsgi"])
def test_an_http2_request_body_without_length_is_read(name, events_file):
    pytest.importorskip("h2")

    async def parts():
        yield b"abc"
        yield b"def"

    async def post(url):
        async with httpx.AsyncClient(http1=False, http2=True, timeout=10) as client:
            return await client.post(url + "/echo", content=parts())

    with serve(name, "test_disconnect_servers:app", HERE,
               env={"QM_EVENTS": str(events_file.path)}) as running:
        r = asyncio.run(post(running.url))
    assert r.http_version == "HTTP/2"
    assert "content-length" not in r.request.headers
    assert (r.status_code, r.content) == (200, b"abcdef")
