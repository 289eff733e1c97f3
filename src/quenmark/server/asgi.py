"""Building requests from ASGI scopes, and the lifespan protocol. Responses are written by
`send_asgi_response` (compiled, in `quenmark.scribe`)."""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from typing import Any

from quenmark.contents import ASGIContent
from quenmark.disconnects import ASGI_RECEIVE
from quenmark.messages import Request, acquire_request
from quenmark.scribe import send_asgi_response

__all__ = ["CHUNK_SIZE", "has_body", "request_from_scope", "run_lifespan", "send_asgi_response"]

# send_asgi_response sends a body in events of at most this many bytes, so one large body does
# not sit in the server's write buffer whole.
CHUNK_SIZE = 61440


def has_body(headers: list[tuple[bytes, bytes]]) -> bool | None:
    """Whether the headers announce a body: by Content-Length or Transfer-Encoding, or None
    when they have neither (no body in HTTP/1, a body of unknown length in HTTP/2 and 3)."""
    # Only names of the two right lengths are lowered: this runs for every request.
    for name, value in headers:
        size = len(name)
        if size == 14 and name.lower() == b"content-length":
            return value.strip() not in (b"0", b"")
        if size == 17 and name.lower() == b"transfer-encoding":
            return True
    return None


def request_from_scope(scope: dict[str, Any], receive: Callable[[], Awaitable[dict[str, Any]]]) -> Request:
    headers = scope["headers"]
    if type(headers) is not list:
        headers = list(headers)
    path = scope.get("raw_path") or scope["path"].encode("utf8")
    # The raw path may carry the query on some servers.
    path = path.split(b"?", 1)[0]
    request = acquire_request(scope["method"], path, scope.get("query_string", b""), headers, scope)
    body = has_body(headers)
    if body is None:
        try:
            body = scope["http_version"] not in _HTTP1
        except KeyError:  # optional: HTTP/1.1 then
            body = False
    if body:
        request.content = ASGIContent(receive)
    else:
        # For the disconnect probe and the stream watcher (quenmark.disconnects).
        scope[ASGI_RECEIVE] = receive
    return request


_HTTP1 = ("1.1", "1.0")


async def run_lifespan(
    app: Any, receive: Callable[[], Awaitable[dict[str, Any]]], send: Callable[[dict[str, Any]], Awaitable[None]]
) -> None:
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
