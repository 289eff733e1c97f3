"""Response writing: a `Response` as ASGI events or RSGI protocol calls, chunked transfer coding
and server-sent events."""

import re
from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine, Iterator
from typing import Any, Protocol, final

from quenmark.contents import Content, ServerSentEvent
from quenmark.cookies import Cookie
from quenmark.messages import Request, Response

# Line breaks of the event-stream format: CR LF, LF or a lone CR. write_sse reads the module
# attribute at each call, so another pattern may be put in its place.
_NEW_LINES_RX: re.Pattern[str]

class _RSGIProtocol(Protocol):
    def response_empty(self, status: int, headers: list[tuple[str, str]], /) -> Any: ...
    def response_bytes(self, status: int, headers: list[tuple[str, str]], body: bytes, /) -> Any: ...
    def response_str(self, status: int, headers: list[tuple[str, str]], body: str, /) -> Any: ...
    # The stream transport (send_bytes, send_str), or an awaitable of it.
    def response_stream(self, status: int, headers: list[tuple[str, str]], /) -> Any: ...

# ASGI.
def set_headers_for_response_content(message: Response) -> None: ...
def write_response_cookie(cookie: Cookie | None) -> bytes: ...
def get_chunks(data: bytes) -> Iterator[bytes]: ...
def write_chunks(http_content: Content | None) -> AsyncIterator[bytes]: ...
# With `request`, a streamed body is written through quenmark.disconnects.write_watched: it is
# stopped when the request's client goes away or the server shuts down.
def send_asgi_response(
    response: Response, send: Callable[[dict[str, Any]], Awaitable[Any]], request: Request | None = None
) -> Coroutine[Any, Any, None]: ...

def instantiate_asgi_request(
    scope: dict[str, Any], receive: Callable[[], Awaitable[dict[str, Any]]]
) -> Request: ...

# One whole exchange: the request built from the scope, `await entry(request)`, its response sent
# (for `unanswered`, a 400 whose failure to go out is ignored: the client may be gone), then both
# back to the pools when nothing else holds them.
def serve_asgi(
    entry: Callable[[Request], Awaitable[Response]], scope: dict[str, Any],
    receive: Callable[[], Awaitable[dict[str, Any]]], send: Callable[[dict[str, Any]], Awaitable[Any]],
    unanswered: Response,
) -> Coroutine[Any, Any, None]: ...
def serve_rsgi(
    entry: Callable[[Request], Awaitable[Response]], scope: Any, protocol: _RSGIProtocol,
    unanswered: Response,
) -> Coroutine[Any, Any, None]: ...

# RSGI.
@final
class RSGIScope:
    """The scope a request keeps for an RSGI request: the RSGI scope's attributes as keys, the
    client and server as (host, port)."""

    def get(self, key: str, default: Any = None) -> Any: ...
    def __getitem__(self, key: str, /) -> Any: ...
    # The RSGI scope's attributes, read through (tp_getattro).
    def __getattr__(self, name: str) -> Any: ...

def extract_rsgi_headers(raw_headers: Any) -> list[tuple[bytes, bytes]]: ...
def instantiate_rsgi_request(scope: Any, protocol: Any) -> Request: ...
def send_rsgi_response_sync(
    response: Response, protocol: _RSGIProtocol
) -> Coroutine[Any, Any, None] | None: ...
def _send_rsgi_stream(
    response: Response, protocol: _RSGIProtocol, headers: list[tuple[str, str]] | None,
    content: Content | None,
) -> Coroutine[Any, Any, None]: ...
def send_rsgi_response(
    response: Response, protocol: _RSGIProtocol, request: Request | None = None
) -> Coroutine[Any, Any, None]: ...

# Server-sent events.
def write_sse(event: ServerSentEvent) -> bytes: ...
