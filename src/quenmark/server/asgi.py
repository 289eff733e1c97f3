"""Building requests from ASGI scopes and writing responses as ASGI events."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from quenmark.contents import ASGIContent
from quenmark.messages import Request, Response

# A body is sent in events of at most this many bytes, so one large body does not sit in the
# server's write buffer whole.
CHUNK_SIZE = 61440

_NO_BODY_STATUSES = frozenset((204, 304))


def has_body(headers: list) -> bool:
    # Only names of the two right lengths are lowered: this runs for every request.
    for name, value in headers:
        size = len(name)
        if size == 14 and name.lower() == b"content-length":
            return value.strip() not in (b"0", b"")
        if size == 17 and name.lower() == b"transfer-encoding":
            return True
    return False


def request_from_scope(scope: dict, receive: Callable) -> Request:
    headers = scope["headers"]
    if type(headers) is not list:
        headers = list(headers)
    path = scope.get("raw_path") or scope["path"].encode("utf8")
    # The raw path may carry the query on some servers.
    path = path.split(b"?", 1)[0]
    request = Request.incoming(scope["method"], path, scope.get("query_string", b""), headers)
    request.scope = scope
    if has_body(headers):
        request.content = ASGIContent(receive)
    return request


def content_headers(response: Response) -> list[tuple[bytes, bytes]]:
    """The response's headers with Content-Type and Content-Length completed."""
    headers = list(response.headers.values)
    content = response.content
    if content is None:
        if response.status not in _NO_BODY_STATUSES:
            headers.append((b"content-length", b"0"))
        return headers
    if content.type:
        headers.append((b"content-type", content.type))
    if content.length >= 0:
        headers.append((b"content-length", str(content.length).encode()))
    return headers


async def send_response(response: Response, send: Callable) -> None:
    await send({"type": "http.response.start", "status": response.status,
                "headers": content_headers(response)})
    content = response.content
    if content is None:
        await send({"type": "http.response.body", "body": b"", "more_body": False})
        return
    body = content.body
    if body is not None:
        size = len(body)
        if size <= CHUNK_SIZE:
            await send({"type": "http.response.body", "body": bytes(body), "more_body": False})
            return
        view = memoryview(body)
        for start in range(0, size, CHUNK_SIZE):
            end = start + CHUNK_SIZE
            await send({"type": "http.response.body", "body": bytes(view[start:end]),
                        "more_body": end < size})
        return
    async for chunk in content.get_parts():
        if chunk:
            await send({"type": "http.response.body", "body": bytes(chunk), "more_body": True})
    await send({"type": "http.response.body", "body": b"", "more_body": False})


async def run_lifespan(app: Any, receive: Callable, send: Callable) -> None:
    while True:
        message = await receive()
        kind = message["type"]
        if kind == "lifespan.startup":
            try:
                await app.start()
            except Exception as exc:  # noqa: BLE001 - reported to the server
                await send({"type": "lifespan.startup.failed", "message": repr(exc)})
                return
            await send({"type": "lifespan.startup.complete"})
        elif kind == "lifespan.shutdown":
            try:
                await app.stop()
            except Exception as exc:  # noqa: BLE001
                await send({"type": "lifespan.shutdown.failed", "message": repr(exc)})
                return
            await send({"type": "lifespan.shutdown.complete"})
            return
