"""Whole requests through an application's ASGI and RSGI entry points, in process, handed over
the way the servers hand them: ASGI with the raw path beside the decoded one; RSGI as granian
does, with the path percent-decoded, the query string decoded as UTF-8 and the headers that are
not ASCII left out."""

from __future__ import annotations

from typing import Any
from urllib.parse import unquote

Headers = list[tuple[bytes, bytes]]


async def asgi(app: Any, method: str, raw_path: bytes, query: bytes = b"", headers: Headers = (),
               body: bytes = b"") -> tuple[int, Headers, bytes]:
    """(status, headers, body) of the response `app` sends."""
    sent = []

    async def receive():
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": method,
             "scheme": "http", "path": unquote(raw_path.decode("latin-1")), "raw_path": raw_path,
             "query_string": query, "root_path": "", "headers": list(headers),
             "client": ("127.0.0.1", 50000), "server": ("127.0.0.1", 8000)}
    await app(scope, receive, send)
    start, *rest = sent
    assert start["type"] == "http.response.start" and rest and not rest[-1].get("more_body"), sent
    return start["status"], start["headers"], b"".join(m.get("body", b"") for m in rest)


class RSGIHeaders(list):
    def items(self):
        return iter(self)


class RSGIScope:
    proto, http_version, rsgi_version, scheme = "http", "1.1", "1.5", "http"
    server, client = "127.0.0.1:8000", "127.0.0.1:50000"

    def __init__(self, method: str, raw_path: bytes, query: bytes, headers: Headers) -> None:
        self.method = method
        self.path = unquote(raw_path.decode("utf-8", "replace"))
        self.query_string = query.decode("utf-8", "replace")  # granian refuses what is not UTF-8
        self.headers = RSGIHeaders((k.decode(), v.decode()) for k, v in headers
                                   if (k + v).isascii())
        self.authority = None


class RSGIProtocol:
    """Collects the response; the request body is given whole."""

    def __init__(self, body: bytes) -> None:
        self.request_body = body
        self.status = None
        self.headers: list[tuple[str, str]] = []
        self.chunks: list[bytes] = []

    async def __call__(self) -> bytes:
        return self.request_body

    def __aiter__(self):
        async def chunks():
            if self.request_body:
                yield self.request_body

        return chunks()

    def response_empty(self, status, headers):
        self.status, self.headers = status, headers

    def response_bytes(self, status, headers, body):
        self.status, self.headers = status, headers
        self.chunks.append(body)

    def response_str(self, status, headers, body):
        self.response_bytes(status, headers, body.encode())

    def response_stream(self, status, headers):
        self.status, self.headers = status, headers
        protocol = self

        class Transport:
            async def send_bytes(self, data):
                protocol.chunks.append(data)

            async def send_str(self, data):
                protocol.chunks.append(data.encode())

        return Transport()


async def rsgi(app: Any, method: str, raw_path: bytes, query: bytes = b"", headers: Headers = (),
               body: bytes = b"") -> tuple[int, list[tuple[str, str]], bytes]:
    """(status, headers, body) of the response `app` gives the protocol."""
    protocol = RSGIProtocol(body)
    await app.__rsgi__(RSGIScope(method, raw_path, query, list(headers)), protocol)
    assert protocol.status is not None
    return protocol.status, protocol.headers, b"".join(protocol.chunks)
