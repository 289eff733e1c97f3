"""The application and its ASGI adapter, driven in process."""

import asyncio
import inspect
import logging

import pytest

from quenmark import Application
from quenmark.contents import Content, StreamedContent
from quenmark.exceptions import BadRequest, InvalidExceptionHandler, NotFound
from quenmark.keystone import ExceptionHandlersDict, KeystoneApplication
from quenmark.messages import Response
from quenmark.responses import json, text
from quenmark.server.asgi import CHUNK_SIZE
from quenmark.server.routing import parse_param_names
from quenmark.testing import TestClient


@pytest.fixture(params=["asgi", "rsgi"])
def client(request):
    """Opens a test client on an application, through its ASGI or its RSGI entry point."""
    return lambda app: TestClient(app, request.param)


async def events_of(app, method, raw_path, headers=(), listening=True):
    """The ASGI events the app sends for one request whose body is reported as a disconnect;
    without `listening`, sending fails as it does to a client that is gone."""
    events = []

    async def receive():
        return {"type": "http.disconnect"}

    async def send(event):
        if not listening:
            raise OSError("connection lost")
        events.append(event)

    scope = {"type": "http", "method": method, "path": "/", "raw_path": raw_path,
             "query_string": b"", "headers": list(headers), "scheme": "http", "root_path": "",
             "client": None}
    await app(scope, receive, send)
    return events


@pytest.fixture
def app():
    app = Application()

    @app.router.get("/items/{item_id:int}")
    async def item(request):
        return json({"id": int(request.route_values["item_id"]), "q": request.query.get("q")})

    @app.router.route("/echo", methods=["POST", "PUT"])
    async def echo(request):
        return Response(200, [(b"x-method", request.method.encode())],
                        Content(b"application/octet-stream", await request.read()))

    @app.router.get("/nothing")
    async def nothing(request):
        return None

    @app.router.get("/fail/{kind}")
    async def fail(request):
        kind = request.route_values["kind"]
        if kind == "http":
            raise NotFound("gone")
        if kind == "bad":
            raise BadRequest("bad input")
        raise RuntimeError("boom")

    return app


async def test_routing_parameters_query_and_json(client, app):
    async with client(app) as c:
        r = await c.get("/items/42?q=a&q=b")
    assert r.status_code == 200
    assert r.headers["content-type"] == "application/json"
    assert r.json() == {"id": 42, "q": ["a", "b"]}


@pytest.mark.parametrize(
    "method, path, status, body",
    [
        ("GET", "/items/x", 404, b"Resource not found"),
        ("GET", "/missing", 404, b"Resource not found"),
        ("POST", "/items/1", 405, b"Method Not Allowed"),
        ("GET", "/nothing", 204, b""),
    ],
)
async def test_statuses_without_a_handler_response(client, app, method, path, status, body):
    async with client(app) as c:
        r = await c.request(method, path)
    assert r.status_code == status
    assert r.content == body


@pytest.mark.parametrize("method", ["POST", "PUT"])
async def test_request_body_round_trip(client, app, method):
    body = bytes(range(256)) * 1000
    async with client(app) as c:
        r = await c.request(method, "/echo", content=body)
    assert r.status_code == 200
    assert r.headers["x-method"] == method
    assert r.content == body


async def test_http_exceptions_and_unhandled_errors(client, app, caplog):
    caplog.set_level(logging.INFO, "quenmark.server")
    async with client(app) as c:
        gone = await c.get("/fail/http")
        bad = await c.get("/fail/bad")
        boom = await c.get("/fail/other")
    assert (gone.status_code, gone.text) == (404, "Resource not found")
    assert (bad.status_code, bad.text) == (400, "Bad Request: bad input")
    assert boom.status_code == 500
    assert "boom" not in boom.text  # details are hidden unless asked for
    assert any(rec.levelno == logging.ERROR and rec.exc_info for rec in caplog.records)


async def test_exception_handlers_by_class_and_by_status(client, app):
    @app.exception_handler(RuntimeError)
    async def runtime(app_, request, exc):
        return text(f"runtime: {exc}", status=503)

    @app.exception_handler(404)
    async def not_found(app_, request, exc):
        return text("custom 404", status=404)

    async with client(app) as c:
        assert (await c.get("/fail/other")).text == "runtime: boom"
        assert (await c.get("/fail/http")).text == "custom 404"
        assert (await c.get("/missing")).text == "custom 404"


def test_application_is_a_keystone_application():
    router = Application().router
    app = Application(router, show_error_details=True)
    assert isinstance(app, KeystoneApplication) and app.router is router and app.show_error_details
    assert inspect.iscoroutinefunction(app.handle)
    assert type(app.exceptions_handlers) is ExceptionHandlersDict
    # Servers tell an ASGI 3 application by this (uvicorn) and call the methods unbound.
    assert inspect.iscoroutinefunction(app.__call__) and inspect.iscoroutinefunction(app.__rsgi__)
    assert str(inspect.signature(app.__call__)) == "(scope, receive, send)"


class _Scope:
    proto = "websocket"


class _CountingCall(Application):
    calls = 0

    async def __call__(self, scope, receive, send):
        type(self).calls += 1
        await super().__call__(scope, receive, send)


def _count_by_assignment():
    class Assigned(Application):
        calls = 0

    async def counting(self, scope, receive, send):
        type(self).calls += 1
        await Application.__call__(self, scope, receive, send)

    Assigned.__call__ = counting  # after the class is made
    return Assigned


@pytest.mark.parametrize("make", [lambda: Application, lambda: _CountingCall, _count_by_assignment])
async def test_calling_the_application_honours_its_class_call(make):
    cls = make()
    app = cls()
    app.router.add("GET", "/", _hello)
    first = await events_of(app, "GET", b"/", [(b"host", b"x")])
    sent = []

    async def send(event):
        sent.append(event)

    # By keyword too: a GET's body is never asked for.
    await app({"type": "http", "method": "GET", "path": "/", "raw_path": b"/", "headers": []},
              receive=None, send=send)
    assert [e.get("status") for e in first + sent if "status" in e] == [200, 200]
    assert getattr(cls, "calls", 2) == 2
    with pytest.raises(TypeError):
        app({"type": "http"}, None)


async def _hello(request):
    return text("hello")


class _WrappedHandle(Application):
    async def handle(self, request):
        response = await super().handle(request)
        response.add_header(b"x-wrapped", b"1")
        return response


async def test_an_override_of_handle_answers_every_request(client):
    app = _WrappedHandle()
    app.router.add("GET", "/", _hello)
    async with client(app) as c:
        for path in ("/", "/", "/missing"):  # the first request composes the pipeline
            assert (await c.get(path)).headers.get("x-wrapped") == "1"


async def test_scopes_other_than_http():
    app = Application()
    with pytest.raises(RuntimeError, match="unsupported ASGI scope type 'websocket'"):
        await app({"type": "websocket"}, None, None)
    with pytest.raises(RuntimeError, match="unsupported RSGI protocol 'websocket'"):
        await app.__rsgi__(_Scope(), None)


def test_exception_handler_decorator_registers_and_checks(app):
    @app.exception_handler(418)
    async def teapot(app_, request, exc):
        return text("teapot", status=418)

    assert app.exceptions_handlers[418] is teapot
    with pytest.raises(InvalidExceptionHandler):
        @app.exception_handler(419)
        def not_a_coroutine(app_, request, exc):
            pass
    assert 419 not in app.exceptions_handlers


@pytest.mark.parametrize("show", [True, False])
async def test_error_details_only_when_asked_for(client, app, show):
    app.show_error_details = show
    async with client(app) as c:
        r = await c.get("/fail/other")
    assert r.status_code == 500
    if show:
        assert "Traceback" in r.text and "RuntimeError: boom" in r.text
    else:
        assert r.text == "Internal Server Error"


@pytest.mark.parametrize("listening", [True, False])
async def test_a_body_cut_short_is_logged_quietly_and_answered_400_if_anyone_listens(app, caplog, listening):
    # Servers report a malformed body as a disconnect too: the client may still be there.
    caplog.set_level(logging.INFO, "quenmark.server")
    events = await events_of(app, "POST", b"/echo", [(b"content-length", b"10")], listening)
    assert [e.get("status") for e in events] == ([400, None] if listening else [])
    record, = caplog.records
    assert record.levelno == logging.INFO and record.exc_info is None


@pytest.mark.parametrize("key", [400, BadRequest])
async def test_failing_exception_handler_gives_500(client, app, key):
    @app.exception_handler(key)
    async def broken(app_, request, exc):
        raise ValueError("handler bug")

    async with client(app) as c:
        r = await c.get("/fail/bad")
    assert (r.status_code, r.text) == (500, "Internal Server Error")


@pytest.mark.parametrize("size", [0, 1, CHUNK_SIZE, CHUNK_SIZE + 1, 3 * CHUNK_SIZE + 7])
async def test_bodies_are_sent_whole_or_in_bounded_chunks(size):
    app = Application()
    body = bytes(i % 251 for i in range(size))

    @app.router.get("/")
    async def handler(request):
        return Response(200, None, Content(b"application/octet-stream", body))

    events = []

    async def receive():
        return {"type": "http.disconnect"}

    async def send(event):
        events.append(event)

    scope = {"type": "http", "method": "GET", "path": "/", "raw_path": b"/", "query_string": b"",
             "headers": [], "scheme": "http", "root_path": "", "client": ("127.0.0.1", 1)}
    await app(scope, receive, send)
    start, *bodies = events
    assert (b"content-length", str(size).encode()) in start["headers"]
    assert b"".join(e["body"] for e in bodies) == body
    assert all(len(e["body"]) <= CHUNK_SIZE for e in bodies)
    assert [e["more_body"] for e in bodies] == [True] * (len(bodies) - 1) + [False]


async def test_streamed_response(client):
    app = Application()

    async def parts():
        for i in range(3):
            yield f"part {i}\n".encode()

    @app.router.get("/stream")
    async def handler(request):
        return Response(200, None, StreamedContent(b"text/plain", lambda: parts()))

    async with client(app) as c:
        r = await c.get("/stream")
    assert r.text == "part 0\npart 1\npart 2\n"


async def test_lifespan_runs_hooks_once():
    app = Application()
    calls = []

    async def start(a):
        calls.append("start")

    async def stop(a):
        calls.append("stop")

    app.on_start.append(start)
    app.on_stop.append(stop)
    messages = iter([{"type": "lifespan.startup"}, {"type": "lifespan.shutdown"}])
    sent = []

    async def receive():
        return next(messages)

    async def send(event):
        sent.append(event["type"])

    await app({"type": "lifespan"}, receive, send)
    assert calls == ["start", "stop"]
    assert sent == ["lifespan.startup.complete", "lifespan.shutdown.complete"]


@pytest.mark.parametrize(
    "pattern, names",
    [
        (b"/a/{id}/b/<x:int>/:y", ["id", "x", "y"]),
        (b"/a/{int:n}/{m:float}", ["n", "m"]),
        (b"/static/*", []),
        (b"/files/{rest:path}", []),
        (b"/u/{id}/*.html", ["id"]),
        (b"/plain", []),
    ],
)
def test_param_names_follow_the_pattern_syntax(pattern, names):
    assert parse_param_names(pattern) == names


async def test_failure_on_a_path_that_is_not_utf8_is_still_answered(app):
    # Logging the failure must not fail on the path it reports.
    events = await events_of(app, "GET", b"/fail/\xff")
    assert events[0]["status"] == 500


@pytest.mark.parametrize("entry", ["asgi", "rsgi"])
def test_a_failing_startup_hook_logs_its_traceback(entry, caplog):
    app = Application()

    async def connect(a):
        raise ConnectionError("database down")

    app.on_start.append(connect)
    loop = asyncio.new_event_loop()
    try:
        if entry == "rsgi":
            with pytest.raises(SystemExit, match="database down"):
                app.__rsgi_init__(loop)
        else:
            messages = iter([{"type": "lifespan.startup"}])
            sent = []

            async def receive():
                return next(messages)

            async def send(event):
                sent.append(event["type"])

            loop.run_until_complete(app({"type": "lifespan"}, receive, send))
            assert sent == ["lifespan.startup.failed"]
    finally:
        loop.close()
    record, = [r for r in caplog.records if r.name == "quenmark.server"]
    assert record.levelno == logging.ERROR and "connect" in record.getMessage()
    assert isinstance(record.exc_info[1], ConnectionError)
