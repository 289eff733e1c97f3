"""quenmark.testing.TestClient: the start and stop hooks, requests through the ASGI and the RSGI
entry points, streamed responses and the client that leaves early, failures raised in the test,
and the RSGI protocol double behaving like a server's."""

import asyncio

import httpx
import pytest

from quenmark import Application
from quenmark.contents import StreamedContent
from quenmark.messages import Response
from quenmark.responses import json, text
from quenmark.testing import RSGIProtocolClosed, TestClient

INTERFACES = ["asgi", "rsgi"]


@pytest.fixture
def app():
    app = Application()
    app.log = []

    async def started(app):
        app.log.append("start")

    async def stopped(app):
        app.log.append("stop")

    app.on_start.append(started)
    app.on_stop.append(stopped)

    @app.router.route("/echo/{name}", methods=["GET", "POST"])
    async def echo(request):
        return json({
            "name": request.route_values["name"], "query": request.query,
            "body": (await request.read() or b"").decode(), "cookie": request.get_cookie("c"),
            "client": request.client_ip, "scheme": request.scheme,
        })

    @app.router.get("/set-cookie")
    async def set_cookie(request):
        response = text("set")
        response.add_header(b"set-cookie", b"c=1; Path=/")
        return response

    @app.router.get("/stream")
    async def stream(request):
        async def chunks():
            try:
                for i in range(10_000):
                    yield b"%d;" % i
                    await asyncio.sleep(0)
            finally:
                app.log.append("closed")

        return Response(200, None, StreamedContent(b"text/plain", chunks))

    return app


def check_round_trip(responses):
    echoed, cookie, after = responses
    assert echoed.json() == {"name": "a b", "query": {"q": ["1", "2"]},
                             "body": "payload", "cookie": None, "client": "testclient",
                             "scheme": "http"}
    assert cookie.text == "set"
    assert after.json()["cookie"] == "1"


@pytest.mark.parametrize("interface", INTERFACES)
def test_sync_client(app, interface):
    with TestClient(app, interface) as client:
        assert isinstance(client, httpx.Client) and app.log == ["start"]
        check_round_trip([client.post("/echo/a b?q=1&q=2", content=b"payload"),
                          client.get("/set-cookie"), client.get("/echo/x")])
    assert app.log == ["start", "stop"]


@pytest.mark.parametrize("interface", INTERFACES)
async def test_async_client(app, interface):
    async def payload():
        yield b"pay"
        yield b"load"  # sent without a length

    async with TestClient(app, interface) as client:
        assert isinstance(client, httpx.AsyncClient) and app.log == ["start"]
        check_round_trip([await client.post("/echo/a b?q=1&q=2", content=payload()),
                          await client.get("/set-cookie"), await client.get("/echo/x")])
    assert app.log == ["start", "stop"]


@pytest.mark.parametrize("interface", INTERFACES)
def test_a_client_leaving_a_stream_early_stops_it(app, interface):
    with TestClient(app, interface) as client:
        with client.stream("GET", "/stream") as response:
            assert next(response.iter_bytes()).startswith(b"0;")
        assert app.log == ["start", "closed"]
        assert client.get("/stream").text.endswith("9999;")


@pytest.mark.parametrize("interface", INTERFACES)
async def test_an_application_failure_is_raised_in_the_test(interface):
    class Broken:
        async def __call__(self, scope, receive, send):
            if scope["type"] == "http":
                await self.respond(send)

        async def __rsgi__(self, scope, protocol):
            await self.respond(None, protocol)

        async def respond(self, send, protocol=None):
            raise LookupError("before the response")

    async with TestClient(Broken(), interface) as client:
        with pytest.raises(LookupError):
            await client.get("/")
    async with TestClient(Broken(), interface, raise_server_exceptions=False) as client:
        assert (await client.get("/")).status_code == 500


@pytest.mark.parametrize("interface", INTERFACES)
async def test_a_stream_failing_part_way_raises_where_the_body_is_read(interface):
    app = Application()

    @app.router.get("/")
    async def failing(request):
        async def chunks():
            yield b"part"
            raise ValueError("the source broke")

        return Response(200, None, StreamedContent(b"text/plain", chunks))

    async with TestClient(app, interface) as client:
        with pytest.raises(ValueError, match="the source broke"):
            await client.get("/")


def test_a_failing_start_hook_is_raised_and_sync_use_in_a_loop_is_refused(app):
    async def fails(app):
        raise OSError("no database")

    app.on_start.append(fails)
    with pytest.raises(RuntimeError, match="no database"), TestClient(app):
        pass

    async def inside():
        with TestClient(Application()):
            pass

    with pytest.raises(RuntimeError, match="async with"):
        asyncio.run(inside())


async def test_the_rsgi_double_behaves_like_a_server(tmp_path):
    seen = {}
    (tmp_path / "f").write_bytes(b"0123456789")

    class Raw:
        async def __rsgi__(self, scope, protocol):
            seen["scope"] = {name: getattr(scope, name) for name in (
                "proto", "http_version", "method", "scheme", "path", "query_string", "client",
                "server")}
            seen["headers"] = (scope.headers.get("X-Thing"), "x-thing" in scope.headers)
            seen["body"] = await protocol()
            if scope.method == "POST":
                return protocol.response_file_range(206, [("a", "b")], str(tmp_path / "f"), 2, 5)
            with pytest.raises(TypeError):
                protocol.response_bytes(200, [(b"a", b"b")], b"")  # headers are text
            transport = protocol.response_stream(200, [])
            await transport.send_str("é")
            await protocol.client_disconnect()
            with pytest.raises(RSGIProtocolClosed):
                await transport.send_bytes(b"late")
            seen["done"] = True

    async with TestClient(Raw(), "rsgi") as client:
        r = await client.post("/a%2Fb%20c?x=%20", content=b"body", headers={"X-Thing": "v"})
        assert (r.status_code, r.headers["a"], r.content) == (206, "b", b"234")
        assert seen["scope"] == {"proto": "http", "http_version": "1.1", "method": "POST",
                                 "scheme": "http", "path": "/a/b c", "query_string": "x=%20",
                                 "client": "testclient:50000", "server": "testserver:80"}
        assert seen["headers"] == ("v", True) and seen["body"] == b"body"
        async with client.stream("GET", "/s") as streamed:
            async for chunk in streamed.aiter_bytes():
                assert chunk == "é".encode()
                break
        assert seen["done"]
