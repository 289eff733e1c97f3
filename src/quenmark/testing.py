"""Driving an application in process, as a server would, with an httpx client.

    from quenmark.testing import TestClient

    with TestClient(app) as client:                     # an httpx.Client
        assert client.get("/").status_code == 200

    async with TestClient(app, interface="rsgi") as client:   # an httpx.AsyncClient
        response = await client.get("/")

Entering the client runs the application's start hooks (the ASGI lifespan protocol, or the RSGI
`__rsgi_init__`), leaving it runs the stop hooks. Each request goes through the entry point named
by `interface`: `__call__` with an ASGI scope, or `__rsgi__` with an in-process RSGI scope and
protocol that behave like a real RSGI server's. Responses stream: a client that closes a
response before its end (`client.stream(...)`) disconnects, the application is told so and must
finish within `disconnect_timeout` seconds.

An exception that escapes the application is raised in the test (before the response, from
sending the request; during the body, from reading it) unless `raise_server_exceptions` is
False, in which case a failure before the response becomes a bare 500.

The synchronous client runs the application on an event loop of its own, in the calling thread,
only while a request or a body is being waited for; inside a running event loop (an `async def`
test) use `async with`.
"""

from __future__ import annotations

import asyncio
from collections import deque
from collections.abc import AsyncIterator, Iterator
from pathlib import Path
from typing import Any, Literal
from urllib.parse import unquote

import httpx

__all__ = ["RSGIHeaders", "RSGIProtocol", "RSGIProtocolClosed", "RSGIScope", "RSGITransport", "TestClient"]

Interface = Literal["asgi", "rsgi"]

_ASGI_VERSION = {"version": "3.0", "spec_version": "2.3"}
_END = object()


class RSGIProtocolClosed(RuntimeError):
    """Sending on a stream whose client has gone away, as RSGI servers refuse it."""


class _Exchange:
    """One request in flight: the body the client sends, the response as the application
    produces it (a head, then chunks ending with `_END`), and whether the client went away."""

    def __init__(self, body: list[bytes]) -> None:
        self.body = deque(body)
        self.head: asyncio.Future[tuple[int, list[tuple[bytes, bytes]]]] = (
            asyncio.get_running_loop().create_future()
        )
        self.chunks: asyncio.Queue[Any] = asyncio.Queue(maxsize=16)
        self.gone = asyncio.Event()  # the client went away
        self.over = asyncio.Event()  # the client went away, or the response is complete
        self.complete = False
        self.reported = False  # the application's failure was raised in the test already
        self.task: asyncio.Task[None] | None = None

    @property
    def started(self) -> bool:
        return self.head.done()

    def start(self, status: Any, headers: list[tuple[bytes, bytes]]) -> None:
        if self.started:
            raise RuntimeError("The response was started twice")
        if type(status) is not int or not 100 <= status <= 999:
            raise TypeError(f"A response status must be an int of three digits, not {status!r}")
        self.head.set_result((status, headers))

    async def put(self, chunk: bytes) -> None:
        if self.complete:
            raise RuntimeError("Body sent after the response ended")
        if chunk and not self.gone.is_set():
            await self.chunks.put(chunk)

    async def finish(self) -> None:
        if not self.complete:
            self.complete = True
            self.over.set()
            if not self.gone.is_set():
                await self.chunks.put(_END)

    def leave(self) -> None:
        self.gone.set()
        self.over.set()
        while not self.chunks.empty():  # unblock a sender waiting for room
            self.chunks.get_nowait()


# -- ASGI ------------------------------------------------------------------------------------


def _asgi_scope(request: httpx.Request, client: tuple[str, int], root_path: str) -> dict[str, Any]:
    url = request.url
    raw_path = url.raw_path.split(b"?", 1)[0]
    return {
        "type": "http",
        "asgi": dict(_ASGI_VERSION),
        "http_version": "1.1",
        "method": request.method,
        "scheme": url.scheme,
        "path": unquote(raw_path.decode("ascii")),
        "raw_path": raw_path,
        "query_string": url.query,
        "root_path": root_path,
        "headers": [(name.lower(), value) for name, value in request.headers.raw],
        "client": client,
        "server": (url.host, url.port or (443 if url.scheme == "https" else 80)),
        "state": {},
    }


async def _serve_asgi(app: Any, scope: dict[str, Any], ex: _Exchange) -> None:
    async def receive() -> dict[str, Any]:
        if ex.body:
            chunk = ex.body.popleft()
            return {"type": "http.request", "body": chunk, "more_body": bool(ex.body)}
        # Like a server: nothing more until the client leaves or the response is over.
        await ex.over.wait()
        return {"type": "http.disconnect"}

    async def send(message: dict[str, Any]) -> None:
        kind = message["type"]
        if kind == "http.response.start":
            headers = [(_header_bytes(n), _header_bytes(v)) for n, v in message.get("headers", ())]
            ex.start(message["status"], headers)
        elif kind == "http.response.body":
            if not ex.started:
                raise RuntimeError("http.response.body sent before http.response.start")
            body = message.get("body", b"")
            if not isinstance(body, (bytes, bytearray, memoryview)):
                raise TypeError(f"An ASGI body must be bytes, not {type(body).__name__}")
            await ex.put(bytes(body))
            if not message.get("more_body", False):
                await ex.finish()
        else:
            raise RuntimeError(f"Unexpected ASGI message {kind!r}")

    await app(scope, receive, send)


def _header_bytes(value: Any) -> bytes:
    if not isinstance(value, bytes):
        raise TypeError(f"ASGI header names and values must be bytes, not {type(value).__name__}")
    return value


class _Lifespan:
    """The ASGI lifespan protocol, as servers run it around their requests."""

    def __init__(self, app: Any) -> None:
        self.app = app
        self.to_app: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
        self.from_app: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
        self.task: asyncio.Task[None] | None = None

    async def _exchange(self, kind: str) -> None:
        assert self.task is not None
        if self.task.done():
            return  # the application does not take part in the protocol
        await self.to_app.put({"type": f"lifespan.{kind}"})
        answer = asyncio.ensure_future(self.from_app.get())
        await asyncio.wait({answer, self.task}, return_when=asyncio.FIRST_COMPLETED)
        if not answer.done():
            answer.cancel()
            if kind == "startup":
                # Returned or raised without an answer: an application without lifespan support,
                # which servers then serve all the same.
                return
            self.task.result()
            raise RuntimeError(f"The application returned without answering lifespan.{kind}")
        message = answer.result()
        if message["type"] == f"lifespan.{kind}.failed":
            raise RuntimeError(f"lifespan.{kind} failed: {message.get('message', '')}")

    async def startup(self) -> None:
        scope = {"type": "lifespan", "asgi": dict(_ASGI_VERSION), "state": {}}
        self.task = asyncio.ensure_future(self.app(scope, self.to_app.get, self.from_app.put))
        await self._exchange("startup")

    async def shutdown(self) -> None:
        await self._exchange("shutdown")
        assert self.task is not None
        if not self.task.cancelled() and self.task.done() and self.task.exception() is not None:
            return  # it failed at startup, where it was taken as not supporting the protocol
        await self.task


# -- RSGI ------------------------------------------------------------------------------------


class RSGIHeaders:
    """The request headers of an RSGI scope: lower-case names and text values."""

    __slots__ = ("_pairs",)

    def __init__(self, pairs: list[tuple[str, str]]) -> None:
        self._pairs = pairs

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and any(name == key.lower() for name, _ in self._pairs)

    def get(self, key: str, default: Any = None) -> Any:
        key = key.lower()
        for name, value in self._pairs:
            if name == key:
                return value
        return default

    def keys(self) -> list[str]:
        return [name for name, _ in self._pairs]

    def values(self) -> list[str]:
        return [value for _, value in self._pairs]

    def items(self) -> list[tuple[str, str]]:
        return list(self._pairs)

    def __repr__(self) -> str:
        return f"RSGIHeaders({self._pairs!r})"


class RSGIScope:
    """An RSGI request scope. The path is percent-decoded text, the query string is as sent, the
    client and server are "host:port" text."""

    __slots__ = ("proto", "http_version", "rsgi_version", "method", "scheme", "path",
                 "query_string", "headers", "client", "server", "authority")

    def __init__(self, request: httpx.Request, client: tuple[str, int]) -> None:
        url = request.url
        raw_path = url.raw_path.split(b"?", 1)[0]
        port = url.port or (443 if url.scheme == "https" else 80)
        self.proto = "http"
        self.http_version = "1.1"
        self.rsgi_version = "1.6"
        self.method = request.method
        self.scheme = url.scheme
        self.path = unquote(raw_path.decode("ascii"), errors="replace")
        self.query_string = url.query.decode("latin-1")
        self.headers = RSGIHeaders(
            [(n.decode("latin-1").lower(), v.decode("latin-1")) for n, v in request.headers.raw]
        )
        self.client = f"{client[0]}:{client[1]}"
        self.server = f"{url.host}:{port}"
        self.authority: str | None = None


class RSGITransport:
    """The stream of a `response_stream` answer."""

    __slots__ = ("_ex",)

    def __init__(self, ex: _Exchange) -> None:
        self._ex = ex

    async def send_bytes(self, data: bytes) -> None:
        if not isinstance(data, bytes):
            raise TypeError(f"send_bytes takes bytes, not {type(data).__name__}")
        await self._send(data)

    async def send_str(self, data: str) -> None:
        if not isinstance(data, str):
            raise TypeError(f"send_str takes str, not {type(data).__name__}")
        await self._send(data.encode("utf-8"))

    async def _send(self, data: bytes) -> None:
        if self._ex.gone.is_set():
            raise RSGIProtocolClosed("RSGI transport is closed")
        await self._ex.put(data)


class RSGIProtocol:
    """The protocol of one RSGI HTTP request: the body through `await protocol()` or `async for`,
    the client's disconnect through `client_disconnect()`, and one `response_*` call."""

    __slots__ = ("_ex", "_read")

    def __init__(self, ex: _Exchange) -> None:
        self._ex = ex
        self._read = False

    async def __call__(self) -> bytes:
        return b"".join([chunk async for chunk in self])

    def __aiter__(self) -> AsyncIterator[bytes]:
        return self._body()

    async def _body(self) -> AsyncIterator[bytes]:
        if self._read:
            return
        self._read = True
        while self._ex.body:
            yield self._ex.body.popleft()
            await asyncio.sleep(0)

    async def client_disconnect(self) -> None:
        await self._ex.gone.wait()

    def _start(self, status: Any, headers: Any) -> None:
        if not isinstance(headers, list) or not all(
            isinstance(p, tuple) and len(p) == 2 and all(isinstance(s, str) for s in p) for p in headers
        ):
            raise TypeError("RSGI response headers must be a list of (str, str) tuples")
        pairs = [(n.encode("latin-1"), v.encode("latin-1")) for n, v in headers]
        self._ex.start(status, pairs)

    def _respond(self, status: Any, headers: Any, body: bytes) -> None:
        if isinstance(headers, list) and status not in (204, 304) and not any(
            isinstance(p, tuple) and p and str(p[0]).lower() == "content-length" for p in headers
        ):
            # The server frames a body given whole.
            headers = [*headers, ("content-length", str(len(body)))]
        self._start(status, headers)
        ex = self._ex
        if not ex.gone.is_set():
            if body:
                ex.chunks.put_nowait(body)
            ex.chunks.put_nowait(_END)
        ex.complete = True
        ex.over.set()

    def response_empty(self, status: int, headers: list[tuple[str, str]]) -> None:
        self._respond(status, headers, b"")

    def response_bytes(self, status: int, headers: list[tuple[str, str]], body: bytes) -> None:
        if not isinstance(body, bytes):
            raise TypeError(f"response_bytes takes bytes, not {type(body).__name__}")
        self._respond(status, headers, body)

    def response_str(self, status: int, headers: list[tuple[str, str]], body: str) -> None:
        if not isinstance(body, str):
            raise TypeError(f"response_str takes str, not {type(body).__name__}")
        self._respond(status, headers, body.encode("utf-8"))

    def response_file(self, status: int, headers: list[tuple[str, str]], file: str) -> None:
        self._respond(status, headers, Path(file).read_bytes())

    def response_file_range(
        self, status: int, headers: list[tuple[str, str]], file: str, start: int, end: int
    ) -> None:
        with open(file, "rb") as f:
            f.seek(start)
            self._respond(status, headers, f.read(max(end - start, 0)))

    def response_stream(self, status: int, headers: list[tuple[str, str]]) -> RSGITransport:
        self._start(status, headers)
        return RSGITransport(self._ex)


async def _serve_rsgi(app: Any, scope: RSGIScope, ex: _Exchange) -> None:
    await app.__rsgi__(scope, RSGIProtocol(ex))
    if ex.started:
        # The server ends a streamed body when the application returns.
        await ex.finish()


# -- the client side ---------------------------------------------------------------------------


class _Runner:
    """Runs requests through the application on the running event loop."""

    def __init__(self, app: Any, interface: Interface, client: tuple[str, int], root_path: str,
                 raise_server_exceptions: bool, disconnect_timeout: float) -> None:
        if interface not in ("asgi", "rsgi"):
            raise ValueError(f"interface must be 'asgi' or 'rsgi', not {interface!r}")
        self.app = app
        self.interface = interface
        self.client = client
        self.root_path = root_path
        self.raise_server_exceptions = raise_server_exceptions
        self.disconnect_timeout = disconnect_timeout
        self.lifespan: _Lifespan | None = None

    async def start(self) -> None:
        if self.interface == "asgi":
            self.lifespan = _Lifespan(self.app)
            await self.lifespan.startup()
        elif hasattr(self.app, "start"):
            # `__rsgi_init__` runs the loop itself, which is running already here.
            await self.app.start()

    async def stop(self) -> None:
        if self.lifespan is not None:
            lifespan, self.lifespan = self.lifespan, None
            await lifespan.shutdown()
        elif self.interface == "rsgi" and hasattr(self.app, "stop"):
            await self.app.stop()

    async def open(
        self, request: httpx.Request, body: list[bytes]
    ) -> tuple[int, list[tuple[bytes, bytes]], _Exchange]:
        ex = _Exchange(body)
        if self.interface == "asgi":
            serving = _serve_asgi(self.app, _asgi_scope(request, self.client, self.root_path), ex)
        else:
            serving = _serve_rsgi(self.app, RSGIScope(request, self.client), ex)
        ex.task = asyncio.ensure_future(serving)
        await asyncio.wait({ex.head, ex.task}, return_when=asyncio.FIRST_COMPLETED)  # type: ignore[type-var]
        if not ex.started:
            failure = ex.task.exception()
            if self.raise_server_exceptions:
                ex.reported = True
                raise failure or RuntimeError("The application returned without starting a response")
            ex.complete = True  # a bare 500, as servers answer
            return 500, [(b"content-length", b"0")], ex
        status, headers = ex.head.result()
        return status, headers, ex

    async def next_chunk(self, ex: _Exchange) -> bytes | None:
        """The next chunk of the body, or None at its end; raises what the application raised."""
        if ex.complete and ex.chunks.empty() and ex.task is not None and ex.task.done():
            return await self._ended(ex)
        getter = asyncio.ensure_future(ex.chunks.get())
        assert ex.task is not None
        await asyncio.wait({getter, ex.task}, return_when=asyncio.FIRST_COMPLETED)
        if getter.done():
            chunk = getter.result()
            if chunk is not _END:
                return chunk  # type: ignore[no-any-return]
        else:
            getter.cancel()
            if not ex.chunks.empty():
                chunk = ex.chunks.get_nowait()
                if chunk is not _END:
                    return chunk  # type: ignore[no-any-return]
        return await self._ended(ex)

    async def _ended(self, ex: _Exchange) -> bytes | None:
        assert ex.task is not None
        try:
            await ex.task  # the response is over when the application returns
        except Exception:
            if self.raise_server_exceptions:
                ex.reported = True
                raise
        if not ex.complete:
            raise httpx.RemoteProtocolError("The application ended the response before its body")
        return None

    async def close(self, ex: _Exchange) -> None:
        """The client is done with the response: when the application is still at it, this is a
        disconnect, and the application must end within `disconnect_timeout`."""
        assert ex.task is not None
        if ex.task.done():
            self._reraise(ex)
            return
        ex.leave()
        try:
            await asyncio.wait_for(asyncio.shield(ex.task), self.disconnect_timeout)
        except TimeoutError:
            ex.task.cancel()
            raise RuntimeError(
                f"The application was still running {self.disconnect_timeout} s after its client "
                "disconnected"
            ) from None
        self._reraise(ex)

    def _reraise(self, ex: _Exchange) -> None:
        assert ex.task is not None
        if ex.reported or ex.task.cancelled() or not self.raise_server_exceptions:
            return
        failure = ex.task.exception()
        if failure is not None:
            ex.reported = True
            raise failure


def _response(
    status: int, headers: list[tuple[bytes, bytes]], stream: Any, request: httpx.Request
) -> httpx.Response:
    return httpx.Response(status, headers=headers, stream=stream, request=request)


class _AsyncBody(httpx.AsyncByteStream):
    def __init__(self, runner: _Runner, ex: _Exchange) -> None:
        self.runner, self.ex = runner, ex

    async def __aiter__(self) -> AsyncIterator[bytes]:
        while (chunk := await self.runner.next_chunk(self.ex)) is not None:
            yield chunk

    async def aclose(self) -> None:
        await self.runner.close(self.ex)


class _AsyncTransport(httpx.AsyncBaseTransport):
    def __init__(self, runner: _Runner) -> None:
        self.runner = runner

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        body = [chunk async for chunk in request.stream if chunk]  # type: ignore[union-attr]
        status, headers, ex = await self.runner.open(request, body)
        return _response(status, headers, _AsyncBody(self.runner, ex), request)


class _SyncBody(httpx.SyncByteStream):
    def __init__(self, runner: _Runner, ex: _Exchange, loop: asyncio.AbstractEventLoop) -> None:
        self.runner, self.ex, self.loop = runner, ex, loop

    def __iter__(self) -> Iterator[bytes]:
        while (chunk := self.loop.run_until_complete(self.runner.next_chunk(self.ex))) is not None:
            yield chunk

    def close(self) -> None:
        self.loop.run_until_complete(self.runner.close(self.ex))


class _SyncTransport(httpx.BaseTransport):
    def __init__(self, runner: _Runner, loop: asyncio.AbstractEventLoop) -> None:
        self.runner, self.loop = runner, loop

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        body = [chunk for chunk in request.stream if chunk]  # type: ignore[union-attr]
        status, headers, ex = self.loop.run_until_complete(self.runner.open(request, body))
        return _response(status, headers, _SyncBody(self.runner, ex, self.loop), request)


class TestClient:
    """An httpx client wired to an application: `with` gives an `httpx.Client`, `async with` an
    `httpx.AsyncClient`; further keyword arguments go to the httpx client (headers, cookies,
    follow_redirects, timeout...)."""

    __test__ = False  # not a test class, despite its name

    def __init__(
        self,
        app: Any,
        interface: Interface = "asgi",
        *,
        base_url: str = "http://testserver",
        client: tuple[str, int] = ("testclient", 50000),
        root_path: str = "",
        raise_server_exceptions: bool = True,
        disconnect_timeout: float = 5.0,
        **httpx_options: Any,
    ) -> None:
        self._runner = _Runner(app, interface, client, root_path, raise_server_exceptions,
                               disconnect_timeout)
        self._options = dict(httpx_options, base_url=base_url)
        self._loop: asyncio.AbstractEventLoop | None = None
        self._client: httpx.Client | httpx.AsyncClient | None = None

    @property
    def app(self) -> Any:
        return self._runner.app

    # -- synchronous --

    def __enter__(self) -> httpx.Client:
        if self._client is not None:
            raise RuntimeError("This TestClient is already open")
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            pass
        else:
            raise RuntimeError("Inside a running event loop, use `async with TestClient(...)`")
        loop = asyncio.new_event_loop()
        try:
            loop.run_until_complete(self._runner.start())
        except BaseException:
            loop.close()
            raise
        self._loop = loop
        self._client = httpx.Client(transport=_SyncTransport(self._runner, loop), **self._options)
        return self._client

    def __exit__(self, *exc_info: object) -> None:
        loop, client = self._loop, self._client
        assert loop is not None and isinstance(client, httpx.Client)
        self._loop = self._client = None
        try:
            client.close()
            loop.run_until_complete(self._runner.stop())
        finally:
            _cancel_remaining(loop)
            loop.close()

    # -- asynchronous --

    async def __aenter__(self) -> httpx.AsyncClient:
        if self._client is not None:
            raise RuntimeError("This TestClient is already open")
        await self._runner.start()
        self._client = httpx.AsyncClient(transport=_AsyncTransport(self._runner), **self._options)
        return self._client

    async def __aexit__(self, *exc_info: object) -> None:
        client, self._client = self._client, None
        assert isinstance(client, httpx.AsyncClient)
        try:
            await client.aclose()
        finally:
            await self._runner.stop()


def _cancel_remaining(loop: asyncio.AbstractEventLoop) -> None:
    tasks = [task for task in asyncio.all_tasks(loop) if not task.done()]
    for task in tasks:
        task.cancel()
    if tasks:
        loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
    loop.run_until_complete(loop.shutdown_asyncgens())
