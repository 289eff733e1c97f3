"""The ASGI adapter: requests built from scopes and responses written by `quenmark.scribe`
(`instantiate_asgi_request`, `send_asgi_response`, and `serve_asgi`, which does a whole exchange),
and the lifespan protocol."""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from typing import Any

from quenmark.scribe import instantiate_asgi_request, send_asgi_response, serve_asgi

__all__ = ["CHUNK_SIZE", "request_from_scope", "run_lifespan", "send_asgi_response", "serve_asgi"]

# send_asgi_response sends a body in events of at most this many bytes, so one large body does
# not sit in the server's write buffer whole.
CHUNK_SIZE = 61440

request_from_scope = instantiate_asgi_request


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
