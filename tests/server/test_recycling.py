"""The server layer and the pools: requests and responses go back after the exchange unless
something still holds them; forms, limits and malformed bodies answer 4xx and leave no file."""

import asyncio

import httpx
import pytest

from quenmark import Application, contents, messages, multipart
from quenmark.contents import StreamedContent, TextContent
from quenmark.messages import Response
from quenmark.responses import text

BOUNDARY = b"bnd"


def client(app):
    return httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test")


def form(*parts):
    out = b"".join(
        b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="' + name + b'"'
        + (b'; filename="' + file_name + b'"' if file_name else b"") + b"\r\n\r\n" + data + b"\r\n"
        for name, file_name, data in parts
    )
    return out + b"--" + BOUNDARY + b"--\r\n"


MULTIPART = {"content-type": "multipart/form-data; boundary=bnd"}


@pytest.fixture(autouse=True)
def fresh_pools(monkeypatch):
    monkeypatch.setattr(messages, "_TLS", messages._ThreadLocalFreelist())
    return messages._TLS


class RSGIScope:
    proto, scheme, method, query_string, client = "http", "http", "GET", "", "127.0.0.1:1"

    def __init__(self, path):
        self.path, self.headers = path, {"host": "test"}


class RSGIProtocol:
    def response_bytes(self, status, headers, body):
        self.sent = (status, body)


@pytest.mark.parametrize("interface", ["asgi", "rsgi"])
async def test_requests_and_responses_are_reused(interface):
    app = Application()
    seen = []

    @app.router.get("/{n}")
    async def handler(request):
        seen.append((id(request), request.route_values["n"], request.url.value))
        return text("ok")

    if interface == "asgi":
        async with client(app) as c:
            await c.get("/1")
            await c.get("/2")
    else:
        for path in ("/1", "/2"):
            protocol = RSGIProtocol()
            await app.__rsgi__(RSGIScope(path), protocol)
            assert protocol.sent == (200, b"ok")
    (first, _, url1), (second, n2, url2) = seen
    assert first == second and n2 == "2" and (url1, url2) == (b"/1", b"/2")
    assert len(messages._TLS.responses) == 1


async def test_what_the_handler_keeps_is_not_reset_under_it():
    app = Application()
    kept, tasks, done = [], [], asyncio.Event()
    shared = Response(200, None, TextContent("shared"))

    @app.router.post("/keep")
    async def keep(request):
        kept.append(request)
        return text("kept")

    @app.router.post("/task")
    async def task(request):
        async def later():
            await done.wait()
            return request.method, request.path, await request.read()

        tasks.append(asyncio.ensure_future(later()))
        return text("task")

    @app.router.get("/stream")
    async def stream(request):
        async def parts():
            yield request.path.encode()

        return Response(200, None, StreamedContent(b"text/plain", parts))

    @app.router.get("/shared")
    async def constant(request):
        return shared

    async with client(app) as c:
        assert (await c.post("/keep", content=b"body")).text == "kept"
        assert (await c.post("/task", content=b"data")).text == "task"
        assert (await c.get("/stream")).text == "/stream"
        assert (await c.get("/shared")).text == (await c.get("/shared")).text == "shared"
        for _ in range(3):
            await c.get("/stream")  # requests that reuse whatever was released
        done.set()
        assert await tasks[0] == ("POST", "/task", b"data")
    (request,) = kept
    assert (request.method, request.path, await request.read()) == ("POST", "/keep", b"body")
    assert (shared.status, shared.content.body) == (200, b"shared")
    assert request not in messages._TLS.requests and shared not in messages._TLS.responses


@pytest.mark.parametrize(
    "setting, body, headers, status",
    [
        ((contents, "MAX_BODY_SIZE", 1000), b"x" * 1001, {}, 413),
        ((contents, "MAX_FORM_FIELDS", 2), b"a=1&b=2&c=3",
         {"content-type": "application/x-www-form-urlencoded"}, 413),
        ((multipart, "MAX_PARTS", 1), form((b"a", None, b"1"), (b"b", None, b"2")), MULTIPART, 413),
        ((multipart, "MAX_PART_SIZE", 10), form((b"f", b"x", b"y" * 11)), MULTIPART, 413),
        (None, form((b"f", b"x", b"y"))[:-10], MULTIPART, 400),
        ((contents, "MAX_BODY_SIZE", 1000), b"x" * 1001, {"x-no-limit": "1"}, 200),
    ],
    ids=["body", "fields", "parts", "part-size", "truncated", "per-request"],
)
async def test_limits_and_malformed_forms(monkeypatch, open_temp_files, setting, body, headers,
                                          status):
    if setting:
        monkeypatch.setattr(*setting)
    app = Application()

    @app.router.post("/")
    async def upload(request):
        if request.has_header(b"x-no-limit"):
            request.content.max_size = None
        if request.declares_content_type(b"form"):
            await request.form()
        else:
            await request.read()
        return text("read")

    async with client(app) as c:
        r = await c.post("/", content=body, headers=headers)
    assert r.status_code == status
    assert open_temp_files() == 0


async def test_no_file_is_left_when_the_handler_fails_or_the_client_leaves(open_temp_files):
    app = Application()
    big = form((b"f", b"big.bin", b"z" * (2 * 1048576)), (b"g", None, b"1"))

    @app.router.post("/")
    async def upload(request):
        parts = await request.files()
        assert parts[0].file._rolled and open_temp_files() == 1
        raise RuntimeError("handler failed after reading the form")

    async with client(app) as c:
        assert (await c.post("/", content=big, headers=MULTIPART)).status_code == 500
    assert open_temp_files() == 0

    chunks = [big[i : i + 65536] for i in range(0, 1500000, 65536)]

    async def receive():
        if chunks:
            return {"type": "http.request", "body": chunks.pop(0), "more_body": True}
        return {"type": "http.disconnect"}

    sent = []

    async def send(event):
        sent.append(event)

    scope = {"type": "http", "method": "POST", "path": "/", "raw_path": b"/", "query_string": b"",
             "headers": [(b"content-type", MULTIPART["content-type"].encode()),
                         (b"transfer-encoding", b"chunked")],
             "scheme": "http", "root_path": "", "client": ("127.0.0.1", 1)}
    await app(scope, receive, send)
    assert sent[0]["status"] == 400  # for the client, if it is still there
    assert open_temp_files() == 0


class FailingDispose(contents.Content):
    __slots__ = ()

    def dispose(self):
        raise RuntimeError("dispose failed")


@pytest.mark.parametrize("interface", ["asgi", "rsgi"])
async def test_a_release_that_fails_is_logged_and_the_answer_stands(interface, caplog):
    app = Application()

    @app.router.get("/")
    async def handler(request):
        return Response(200, None, FailingDispose(b"text/plain", b"sent"))

    if interface == "asgi":
        async with client(app) as c:
            assert (await c.get("/")).text == "sent"
    else:
        protocol = RSGIProtocol()
        await app.__rsgi__(RSGIScope("/"), protocol)
        assert protocol.sent == (200, b"sent")
    (record,) = [r for r in caplog.records if r.getMessage().startswith("Could not recycle")]
    assert record.exc_info[1].args == ("dispose failed",)
    # The request went back all the same; the response did not.
    assert len(messages._TLS.requests) == 1 and messages._TLS.responses == []


async def test_an_exchange_leaves_no_cycle_for_the_collector():
    # Servers keep the scope on the object whose bound method `receive` is; the receive kept in
    # the scope for the disconnect probe must not outlive the exchange.
    import gc

    app = Application()

    @app.router.get("/")
    async def handler(request):
        return text("ok")

    class Cycle:
        def __init__(self):
            self.scope = {"type": "http", "method": "GET", "path": "/", "raw_path": b"/",
                          "query_string": b"", "headers": [(b"host", b"test")]}

        async def receive(self):
            return {"type": "http.disconnect"}

        async def send(self, event):
            pass

    gc.collect()
    gc.disable()
    try:
        for _ in range(20):
            cycle = Cycle()
            await app(cycle.scope, cycle.receive, cycle.send)
        assert gc.collect() == 0
    finally:
        gc.enable()


@pytest.mark.parametrize("interface", ["asgi", "rsgi"])
async def test_a_body_announced_beyond_the_limit_is_refused_at_its_first_chunk(interface):
    app = Application()
    chunks = []

    @app.router.post("/")
    async def upload(request):
        await request.read()
        return text("read")

    class Protocol(RSGIProtocol):
        def __aiter__(self):
            return self

        async def __anext__(self):
            chunks.append(None)
            return b"x" * 1024

    huge = str(contents.MAX_BODY_SIZE + 1)
    if interface == "asgi":
        sent = []

        async def receive():
            chunks.append(None)
            return {"type": "http.request", "body": b"x" * 1024, "more_body": True}

        async def send(event):
            sent.append(event)

        scope = {"type": "http", "method": "POST", "path": "/", "raw_path": b"/",
                 "query_string": b"", "headers": [(b"content-length", huge.encode())]}
        await app(scope, receive, send)
        status = sent[0]["status"]
    else:
        scope = RSGIScope("/")
        scope.method, scope.headers = "POST", {"content-length": huge}
        protocol = Protocol()
        await app.__rsgi__(scope, protocol)
        status = protocol.sent[0]
    assert (status, len(chunks)) == (413, 1)
