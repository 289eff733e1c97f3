"""Middleware: the pipeline around `handle` under ASGI and RSGI, CORS (odd preflights included),
GZip (clients that say odd things about what they accept) and static files (ranges, validators,
hostile paths)."""

import os
import zlib

import pytest

from quenmark import Application
from quenmark.contents import Content, StreamedContent
from quenmark.exceptions import MessageAborted, NotFound
from quenmark.messages import Response
from quenmark.middleware import CORSMiddleware, GZipMiddleware, StaticFiles
from quenmark.middleware.gzip import accepts_gzip
from quenmark.responses import text
from quenmark.server.application import _CLIENT_GONE
from quenmark.testing import TestClient

INTERFACES = ["asgi", "rsgi"]
LONG = "quenmark " * 200


def make_app(*middlewares):
    app = Application()
    app.calls = []

    @app.router.route("/", methods=["GET", "POST", "PUT", "OPTIONS"])
    async def home(request):
        app.calls.append(request.method)
        return text(LONG if request.query.get("long") else "home")

    @app.router.get("/raise/{kind}")
    async def fail(request):
        if request.route_values["kind"] == "gone":
            raise MessageAborted()
        raise NotFound()

    app.middlewares.extend(middlewares)
    return app


# -- the pipeline ------------------------------------------------------------------------------


def tagging(tag):
    async def middleware(request, handler):
        response = await handler(request)
        response.add_header(b"x-order", tag)
        return response

    return middleware


@pytest.mark.parametrize("interface", INTERFACES)
def test_pipeline_order_short_circuit_and_failures(interface):
    async def guard(request, handler):
        if request.query.get("deny"):
            return Response(403)
        if request.query.get("boom"):
            raise NotFound()  # answered by the application's handlers
        return await handler(request)

    app = make_app(tagging(b"outer"), guard, tagging(b"inner"))
    with TestClient(app, interface) as client:
        r = client.get("/")
        assert r.text == "home" and r.headers.get_list("x-order") == ["inner", "outer"]
        assert client.get("/?deny=1").status_code == 403
        assert client.get("/?boom=1").status_code == 404
        assert client.get("/raise/notfound").status_code == 404
        assert app.calls == ["GET"]
    # The response to a client that left is shared: no middleware may change it.
    assert not _CLIENT_GONE.has_header(b"x-order")


async def test_pipeline_is_composed_at_the_first_request_without_lifespan():
    app = make_app(tagging(b"t"))
    sent = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(event):
        sent.append(event)

    scope = {"type": "http", "method": "GET", "path": "/", "raw_path": b"/", "query_string": b"",
             "headers": []}
    await app(scope, receive, send)
    assert (b"x-order", b"t") in sent[0]["headers"]
    app.middlewares.append(tagging(b"late"))
    await app(dict(scope), receive, send)  # composed already: taken at the next start
    assert (b"x-order", b"late") not in sent[2]["headers"]


async def test_client_gone_passes_the_middlewares_untouched():
    seen = []

    async def observer(request, handler):
        try:
            return await handler(request)
        except Exception:  # noqa: BLE001 - must not see the client's leaving as a failure
            seen.append("except")
            raise
        finally:
            seen.append("finally")

    async with TestClient(make_app(observer, tagging(b"x"))) as client:
        # The exchange answers 400 itself, past the middlewares, in case the client still listens.
        assert (await client.get("/raise/gone")).status_code == 400
    assert seen == ["finally"]
    assert not _CLIENT_GONE.has_header(b"x-order")


# -- CORS --------------------------------------------------------------------------------------

ORIGIN = "https://app.example"


@pytest.fixture
def cors_app():
    return make_app(CORSMiddleware(allow_origins=[ORIGIN], allow_methods=["GET", "PUT", "PATCH"],
                                   allow_headers=["x-token"], allow_credentials=True,
                                   expose_headers=["x-total"], max_age=60))


@pytest.mark.parametrize("interface", INTERFACES)
def test_cors_actual_requests(cors_app, interface):
    with TestClient(cors_app, interface) as client:
        r = client.get("/", headers={"origin": ORIGIN})
        assert r.headers["access-control-allow-origin"] == ORIGIN
        assert r.headers["access-control-allow-credentials"] == "true"
        assert r.headers["access-control-expose-headers"] == "x-total"
        assert r.headers["vary"] == "Origin"
        for headers in ({"origin": "https://evil.example"}, {}):
            r = client.get("/", headers=headers)
            assert r.status_code == 200 and "access-control-allow-origin" not in r.headers


@pytest.mark.parametrize(
    "method, request_headers, allowed",
    [
        ("PUT", "X-Token", True),
        ("get", "x-token, , content-type,", True),  # standard methods are sent in capitals
        ("PATCH", "", True),
        ("patch", "", False),  # not a standard method: compared as sent
        ("DELETE", "", False),
        ("GE T", "", False),
        ("GET;", "", False),
        ("PUT", "x-other", False),
        ("PUT", "x token", False),
        ("PUT", "x-token\x7f", False),
    ],
)
def test_cors_preflights(cors_app, method, request_headers, allowed):
    headers = {"origin": ORIGIN, "access-control-request-method": method}
    if request_headers:
        headers["access-control-request-headers"] = request_headers
    with TestClient(cors_app) as client:
        r = client.options("/", headers=headers)
    assert cors_app.calls == []  # answered by the middleware
    if not allowed:
        assert r.status_code == 400 and "access-control-allow-origin" not in r.headers
        return
    assert r.status_code == 204
    assert r.headers["access-control-allow-origin"] == ORIGIN
    assert r.headers["access-control-allow-methods"] == "GET, PATCH, PUT"
    assert r.headers["access-control-max-age"] == "60"
    asked = [h.strip().lower() for h in request_headers.split(",") if h.strip()]
    assert r.headers.get("access-control-allow-headers", "") == ", ".join(asked)


@pytest.mark.parametrize("origin", ["https://evil.example", "null", "https://app.example\u00e9"])
def test_cors_preflight_from_a_refused_origin(cors_app, origin):
    with TestClient(cors_app) as client:
        r = client.options("/", headers={"origin": origin.encode("utf-8"),
                                         "access-control-request-method": "GET"})
    assert r.status_code == 400 and r.text == "Disallowed CORS origin"


def test_cors_any_origin():
    with pytest.raises(ValueError, match="allow_credentials"):
        CORSMiddleware(allow_origins=["*"], allow_credentials=True)
    with TestClient(make_app(CORSMiddleware(allow_origins=["*"], allow_methods=["*"]))) as client:
        r = client.options("/", headers={"origin": "https://x.example", "access-control-request-method": "MKCOL"})
        assert (r.status_code, r.headers["access-control-allow-origin"]) == (204, "*")
        assert r.headers["access-control-allow-methods"] == "MKCOL"
        assert "origin" not in r.headers.get("vary", "").lower().split(", ")


# -- GZip --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "header, accepted",
    [
        ("gzip", True), ("GZip", True), ("x-gzip", True), ("deflate, gzip;q=0.1", True),
        ("gzip ; q = 0.5", True), ("*", True), ("br, *;q=0.2", True),
        ("gzip;q=0", False), ("gzip;q=0.000", False), ("*;q=0", False), ("*;q=0.5, gzip;q=0", False),
        ("gzip;q=abc", False), ("gzip;q=2", False), ("br", False), ("identity", False), ("", False),
        (",,;", False), ("gzipx", False),
    ],
)
def test_accepts_gzip(header, accepted):
    assert accepts_gzip([header.encode()]) is accepted


def gzip_app(**options):
    app = make_app(GZipMiddleware(minimum_size=100, **options))

    @app.router.get("/kind/{kind}")
    async def kinds(request):
        kind = request.route_values["kind"]
        body = LONG.encode()
        if kind == "png":
            return Response(200, None, Content(b"image/png", body))
        if kind == "encoded":
            return Response(200, [(b"content-encoding", b"br")], Content(b"text/plain", body))
        if kind == "no-transform":
            return Response(200, [(b"cache-control", b"public, no-transform")], Content(b"text/plain", body))
        if kind == "etag":
            return Response(200, [(b"etag", b'"v1"'), (b"content-length", b"1800")], Content(b"text/plain", body))

        async def parts():
            for i in range(3):
                yield f"part {i};".encode() * 5

        return Response(200, None, StreamedContent(b"text/event-stream" if kind == "sse" else b"text/plain", parts))

    return app


@pytest.mark.parametrize("interface", INTERFACES)
def test_gzip_compresses_what_lends_itself(interface):
    with TestClient(gzip_app(), interface, headers={"accept-encoding": "gzip"}) as client:
        r = client.get("/?long=1")
        assert r.headers["content-encoding"] == "gzip" and r.headers["vary"] == "Accept-Encoding"
        assert r.text == LONG and int(r.headers["content-length"]) < len(LONG)
        small = client.get("/")  # never compressed: it does not vary
        assert "content-encoding" not in small.headers and "vary" not in small.headers
        for kind in ("png", "encoded", "no-transform", "sse"):
            r = client.get(f"/kind/{kind}")
            assert r.headers.get("content-encoding") in (None, "br"), kind
        r = client.get("/kind/etag")
        assert (r.headers["etag"], r.text) == ('W/"v1"', LONG)
        with client.stream("GET", "/kind/stream") as r:
            assert r.headers["content-encoding"] == "gzip"
            assert "content-length" not in r.headers
            raw = r.iter_raw()
            # Each chunk is flushed: the first one decompresses to the first part on its own.
            assert zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(next(raw)) == b"part 0;" * 5


@pytest.mark.parametrize("accept", ["gzip;q=0", "identity", "gzip;q=zz", "br;q=1, *;q=0"])
def test_gzip_believes_only_what_the_client_accepts(accept):
    with TestClient(gzip_app(), headers={"accept-encoding": accept}) as client:
        r = client.get("/?long=1")
    assert "content-encoding" not in r.headers
    assert r.content == LONG.encode() and r.headers["vary"] == "Accept-Encoding"


# -- static files ------------------------------------------------------------------------------


@pytest.fixture
def site(tmp_path):
    public = tmp_path / "public"
    (public / "docs").mkdir(parents=True)
    (public / "hello.txt").write_text("hello, world")
    (public / "big.bin").write_bytes(bytes(range(256)) * 40)
    (public / "docs" / "index.html").write_text("<p>index</p>")
    (public / ".env").write_text("SECRET")
    (tmp_path / "secret.txt").write_text("SECRET")
    os.symlink(tmp_path / "secret.txt", public / "out.txt")
    os.symlink(public / "hello.txt", public / "in.txt")
    app = make_app(StaticFiles(public, "/static", chunk_size=1000))
    app.public = public
    return app


@pytest.mark.parametrize("interface", INTERFACES)
def test_static_files_and_validators(site, interface):
    with TestClient(site, interface) as client:
        r = client.get("/static/hello.txt")
        assert (r.status_code, r.text) == (200, "hello, world")
        assert r.headers["content-type"] == "text/plain; charset=utf-8"
        assert r.headers["content-length"] == "12" and r.headers["accept-ranges"] == "bytes"
        etag, modified = r.headers["etag"], r.headers["last-modified"]
        assert client.get("/static/in.txt").text == "hello, world"  # a link inside the folder
        assert client.get("/static/docs/").text == "<p>index</p>"
        assert client.get("/static/big.bin").content == bytes(range(256)) * 40  # streamed
        for headers in ({"if-none-match": etag}, {"if-none-match": f'"x", W/{etag}'},
                        {"if-none-match": "*"}, {"if-modified-since": modified}):
            r = client.get("/static/hello.txt", headers=headers)
            assert (r.status_code, r.content, r.headers["etag"]) == (304, b"", etag)
        for headers in ({"if-none-match": '"other"', "if-modified-since": modified},
                        {"if-modified-since": "yesterday"},
                        {"if-modified-since": "Mon, 01 Jan 1990 00:00:00 GMT"}):
            assert client.get("/static/hello.txt", headers=headers).status_code == 200
        assert client.head("/static/hello.txt").headers["content-length"] == "12"
        assert client.post("/static/hello.txt").status_code == 404  # not ours: the router's


@pytest.mark.parametrize(
    "range_header, if_range, status, body, content_range",
    [
        ("bytes=2-5", None, 206, b"llo,", "bytes 2-5/12"),
        ("bytes=-3", None, 206, b"rld", "bytes 9-11/12"),
        ("bytes=7-", None, 206, b"world", "bytes 7-11/12"),
        ("bytes=7-99999999999999999999999", None, 206, b"world", "bytes 7-11/12"),
        ("BYTES=0-0", None, 206, b"h", "bytes 0-0/12"),
        ("bytes=12-", None, 416, b"", "bytes */12"),
        ("bytes=99999999999999999999-", None, 416, b"", "bytes */12"),
        ("bytes=-0", None, 416, b"", "bytes */12"),
        ("bytes=0-1,4-5", None, 200, b"hello, world", None),
        ("bytes=5-2", None, 200, b"hello, world", None),
        ("bytes=a-b", None, 200, b"hello, world", None),
        ("items=0-1", None, 200, b"hello, world", None),
        ("bytes=2-5", '"stale"', 200, b"hello, world", None),
        ("bytes=2-5", "ETAG", 206, b"llo,", "bytes 2-5/12"),
    ],
)
def test_static_ranges(site, range_header, if_range, status, body, content_range):
    with TestClient(site) as client:
        etag = client.get("/static/hello.txt").headers["etag"]
        headers = {"range": range_header}
        if if_range:
            headers["if-range"] = etag if if_range == "ETAG" else if_range
        r = client.get("/static/hello.txt", headers=headers)
    assert (r.status_code, r.content, r.headers.get("content-range")) == (status, body, content_range)


HOSTILE = [
    b"/static/../secret.txt", b"/static/%2e%2e/secret.txt", b"/static/%2E%2e%2fsecret.txt",
    b"/static/..%2fsecret.txt", b"/static/docs/../../secret.txt", b"/static/%c0%ae%c0%ae/secret.txt",
    b"/static/hello.txt%00.png", b"/static/%zz", b"/static/%2", b"/static/%ff.txt",
    b"/static/..\\secret.txt", b"/static/%5c..%5csecret.txt", b"/static//etc/passwd",
    b"/static/out.txt", b"/static/.env", b"/static/docs", b"/static/./hello.txt", b"/staticx/hello.txt",
]


@pytest.mark.parametrize("path", HOSTILE)
async def test_static_refuses_hostile_paths(site, path):
    events = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(event):
        events.append(event)

    scope = {"type": "http", "method": "GET", "path": path.decode("latin-1"), "raw_path": path,
             "query_string": b"", "headers": []}
    await site(scope, receive, send)
    assert events[0]["status"] == 404
    assert b"SECRET" not in b"".join(e.get("body", b"") for e in events)
