"""What the router answers when no route of the request's method matches its path.

The compiled request handling answers a router's None with a bare 404 that no exception
handler sees. The router therefore never returns None: it returns a match whose handler
answers the way HTTP and the application's handlers want, and the path that did match
pays nothing for it.

- HEAD without a HEAD route is served by the GET route, whose response goes out without
  its body (see `without_body`).
- A path that other methods serve raises `MethodNotAllowed` (405) with the methods it
  answers, which the application's 405 handler sends in the Allow header.
- Anything else raises `NotFound`, so that the application's 404 handler answers it.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

from quenmark.contents import StreamedContent
from quenmark.exceptions import MethodNotAllowed, NotFound
from quenmark.messages import Request, Response
from quenmark.routing import CythonRadixRouter, RouteMatch

__all__ = ["NOT_FOUND", "unmatched", "without_body"]

RouteHandler = Callable[[Request], Awaitable[Response | None]]


class Fallback:
    """The route of a fallback match: no pattern, a handler."""

    __slots__ = ("handler", "pattern")

    def __init__(self, handler: RouteHandler) -> None:
        self.handler = handler
        self.pattern = b""

    def __repr__(self) -> str:
        return f"<Fallback {self.handler.__name__}>"


async def not_found(request: Request) -> Response | None:
    raise NotFound()


NOT_FOUND = RouteMatch(Fallback(not_found))


def without_body(handler: RouteHandler) -> RouteHandler:
    """`handler` for HEAD. Its response goes out as it would for GET, status and headers
    included; the servers (uvicorn, granian, httpx's ASGI transport) send no body in answer to
    HEAD, so an in-memory body is left to them, but a streamed one is never started."""

    async def head(request: Request) -> Response | None:
        response = await handler(request)
        if isinstance(response, Response):
            content = response.content
            if content is not None and (content.length < 0 or isinstance(content, StreamedContent)):
                # Announced with the chunked coding, which asks for no length.
                response.content = StreamedContent(content.type, _nothing)
                content.dispose()
        return response

    return head


async def _nothing() -> AsyncIterator[bytes]:
    return
    yield


def unmatched(engine: CythonRadixRouter, method: bytes, path: bytes, head_routes: dict[Any, Any]) -> RouteMatch:
    """The match for a request that no route of `method` serves."""
    method = method.upper()
    if method == b"HEAD":
        found = engine.get_match(b"GET", path)
        if found is not None:
            route, values = found
            head = head_routes.get(route)
            if head is None:
                head = head_routes[route] = Fallback(without_body(route.handler))
                head.pattern = route.pattern
            return RouteMatch(head, values)
    allowed = [
        name.decode("latin-1")
        for name, tree in (engine.trees or {}).items()
        if name != method and tree.match(path) is not None
    ]
    if not allowed:
        return NOT_FOUND
    if "GET" in allowed and "HEAD" not in allowed:
        allowed.append("HEAD")
    allowed.sort()

    async def method_not_allowed(request: Request) -> Response | None:
        raise MethodNotAllowed(allowed)

    return RouteMatch(Fallback(method_not_allowed))
