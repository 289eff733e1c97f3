"""HEAD through GET routes, 405 with Allow, unmatched requests through the 404 handler, and
the log of a handler that returns something other than a Response."""

import logging

import httpx
import pytest

from quenmark import Application
from quenmark.exceptions import NotFound
from quenmark.responses import stream, text


def client(app):
    return httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test")


@pytest.fixture
def app():
    app = Application()
    app.started_streams = []

    @app.router.get("/a")
    async def get_a(request):
        return text("got a")

    @app.router.post("/a/")
    async def post_a(request):
        return text("posted a")

    @app.router.get("/items/{n:int}")
    async def item(request):
        return text(request.route_values["n"])

    @app.router.head("/h")
    async def head_h(request):
        return text("", status=299)

    @app.router.get("/h")
    async def get_h(request):
        return text("get h")

    @app.router.get("/s")
    async def streamed(request):
        async def parts():
            app.started_streams.append(request.method)
            yield b"part"

        return stream(parts)

    return app


@pytest.mark.parametrize(
    "method, path, status, allow, body, length",
    [
        ("GET", "/a", 200, None, b"got a", "5"),
        ("HEAD", "/a", 200, None, b"", "5"),
        ("HEAD", "/a/", 200, None, b"", "5"),
        ("POST", "/a", 200, None, b"posted a", "8"),
        ("PUT", "/a", 405, "GET, HEAD, POST", b"Method Not Allowed", "18"),
        ("DELETE", "/A/", 405, "GET, HEAD, POST", b"Method Not Allowed", "18"),
        ("HEAD", "/items/7", 200, None, b"", "1"),
        ("POST", "/items/7", 405, "GET, HEAD", b"Method Not Allowed", "18"),
        # A value the typed parameter refuses: the path exists for no method.
        ("POST", "/items/x", 404, None, b"Resource not found", "18"),
        ("HEAD", "/h", 299, None, b"", "0"),  # a HEAD route of its own wins
        ("OPTIONS", "/h", 405, "GET, HEAD", b"Method Not Allowed", "18"),
        ("GET", "/nowhere", 404, None, b"Resource not found", "18"),
        ("HEAD", "/nowhere", 404, None, b"", "18"),
        ("GET", "/a//", 404, None, b"Resource not found", "18"),
    ],
)
async def test_method_semantics(app, method, path, status, allow, body, length):
    async with client(app) as c:
        r = await c.request(method, path)
    assert (r.status_code, r.headers.get("allow"), r.content) == (status, allow, body)
    assert r.headers.get("content-length") == length


async def test_head_never_starts_a_stream(app):
    async with client(app) as c:
        head = await c.head("/s")
        get = await c.get("/s")
    assert head.status_code == 200 and head.headers["content-type"] == "application/octet-stream"
    assert get.content == b"part"
    assert app.started_streams == ["GET"]


@pytest.mark.parametrize("key", [404, NotFound])
async def test_unmatched_requests_go_through_the_registered_404_handler(app, key):
    @app.exception_handler(key)
    async def not_found(app_, request, exc):
        return text(f"no {request.method} {request.path}", status=404)

    async with client(app) as c:
        r = await c.get("/missing/%C3%A9")
    assert (r.status_code, r.text) == (404, "no GET /missing/%C3%A9")


async def test_a_registered_405_handler_replaces_the_default(app):
    @app.exception_handler(405)
    async def not_allowed(app_, request, exc):
        response = text("use " + " or ".join(exc.allowed), status=405)
        response.add_header(b"allow", exc.allow)
        return response

    async with client(app) as c:
        r = await c.put("/items/1")
    assert (r.status_code, r.text, r.headers["allow"]) == (405, "use GET or HEAD", "GET, HEAD")


@pytest.mark.parametrize("value", [{"a": 1}, "text", 3])
async def test_a_handler_result_that_is_not_a_response_is_a_logged_500_naming_the_route(value, caplog):
    app = Application()

    @app.router.get("/odd/{x}")
    async def odd(request):
        return value

    @app.router.get("/raises")
    async def raises(request):
        # The same error raised by the handler itself is reported as it is.
        raise TypeError("Cannot convert dict to quenmark.messages.Response")

    async with client(app) as c:
        assert (await c.get("/odd/1")).status_code == 500
        assert (await c.get("/raises")).status_code == 500
    odd_record, raises_record = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert odd_record.getMessage() == 'Unhandled exception - "GET /odd/1"'
    assert odd_record.exc_info[1].__notes__ == [
        f"The handler {__name__}.{odd.__qualname__} of the route GET /odd/{{x}} must return a Response or None."
    ]
    assert not hasattr(raises_record.exc_info[1], "__notes__")
