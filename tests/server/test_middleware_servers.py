"""The shipped middlewares served for real by uvicorn and granian (ASGI and RSGI): hostile paths
against static files, a CORS preflight, gzip for a client that accepts it and one that refuses it.

This module is also the application the servers load (`test_middleware_servers:app`): it serves
the folder named by QM_PUBLIC, beside which lies a file that must never be served."""

import os
import socket
from pathlib import Path

import httpx
import pytest
from servers import NAMES, serve

from quenmark import Application
from quenmark.middleware import CORSMiddleware, GZipMiddleware, StaticFiles
from quenmark.responses import text

HERE = Path(__file__).resolve().parent
LONG = "quenmark " * 500

app = Application()
app.middlewares.append(CORSMiddleware(allow_origins=["https://app.example"], allow_methods=["GET", "PUT"]))
app.middlewares.append(GZipMiddleware())
if "QM_PUBLIC" in os.environ:
    app.middlewares.append(StaticFiles(os.environ["QM_PUBLIC"], "/static"))


@app.router.route("/", methods=["GET", "OPTIONS"])
async def home(request):
    return text(LONG)


@pytest.fixture(scope="module", params=NAMES)
def server(request, tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    (root / "public").mkdir()
    (root / "public" / "hello.txt").write_text("hello")
    (root / "secret.txt").write_text("SECRET")
    os.symlink(root / "secret.txt", root / "public" / "out.txt")
    with serve(request.param, "test_middleware_servers:app", HERE,
               env={"QM_PUBLIC": str(root / "public")}) as running:
        yield running


def raw_get(server, path):
    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
        s.sendall(b"GET " + path + b" HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n")
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return data


@pytest.mark.parametrize("path", [
    b"/static/../secret.txt", b"/static/%2e%2e/secret.txt", b"/static/%2e%2e%2fsecret.txt",
    b"/static/%c0%ae%c0%ae/secret.txt", b"/static/hello.txt%00", b"/static/%zz", b"/static/%ff",
    b"/static/..%5csecret.txt", b"/static/out.txt",
])
def test_hostile_static_paths(server, path):
    answer = raw_get(server, path)
    status = answer.split(b" ", 2)[1]
    assert status in (b"400", b"404"), answer[:200]
    assert b"SECRET" not in answer


def test_files_cors_and_gzip(server):
    with httpx.Client(base_url=server.url, timeout=10) as client:
        r = client.get("/static/hello.txt", headers={"range": "bytes=1-3"})
        assert (r.status_code, r.text) == (206, "ell")
        r = client.options("/", headers={"origin": "https://app.example",
                                         "access-control-request-method": "PUT"})
        assert (r.status_code, r.headers["access-control-allow-origin"]) == (204, "https://app.example")
        r = client.get("/", headers={"accept-encoding": "gzip"})
        assert r.headers["content-encoding"] == "gzip" and r.text == LONG
        r = client.get("/", headers={"accept-encoding": "gzip;q=0"})
        assert "content-encoding" not in r.headers and r.text == LONG
