"""Routes and the application router, on top of the compiled radix-tree engine."""

from __future__ import annotations

from collections.abc import Awaitable, Callable, Iterable
from typing import Any, TypeVar

from quenmark.messages import Response
from quenmark.routing import CythonRadixRouter, RouteMatch, _param_names
from quenmark.server.unmatched import unmatched

__all__ = ["Route", "Router", "RouteMatch"]

# `async def handler(request) -> Response | None`, with keyword parameters for route values.
Handler = Callable[..., Awaitable["Response | None"]]
# The decorators hand back the function they were given, with its own type.
H = TypeVar("H", bound=Handler)

_METHOD_BYTES: dict[str, bytes] = {}


def parse_param_names(pattern: bytes) -> list[str]:
    """The names of a pattern's one-segment parameters, in path order.

    A catch-all (`*` or a parameter of type `path`) reports under its own key and ends the
    pattern, so it is not listed. The pattern is read by the tree's own parser, so the names
    are those the tree will match.
    """
    return _param_names(pattern)


class Route:
    """A pattern and the handler that serves it."""

    __slots__ = ("pattern", "handler", "param_names")

    def __init__(self, pattern: bytes | str, handler: Handler) -> None:
        if isinstance(pattern, str):
            pattern = pattern.encode("utf8")
        if not isinstance(pattern, bytes):
            raise TypeError(f"a route pattern must be bytes or str, not {type(pattern).__name__}")
        if not callable(handler):
            raise TypeError("a route handler must be callable")
        self.pattern = pattern
        self.handler = handler
        self.param_names = parse_param_names(pattern)

    def __repr__(self) -> str:
        return f"<Route {self.pattern!r}>"


class Router:
    """Registers routes per HTTP method and finds the one that serves a request."""

    def __init__(self) -> None:
        self._engine = CythonRadixRouter()
        self.routes: list[tuple[str, Route]] = []
        # GET routes' stand-ins for HEAD requests, made when first asked for.
        self._head_routes: dict[Route, Any] = {}

    def add(self, method: str, pattern: bytes | str, handler: Handler) -> Route:
        route = Route(pattern, handler)
        self._engine.add_route(method.upper().encode("ascii"), route.pattern, route)
        self.routes.append((method.upper(), route))
        return route

    def route(self, pattern: bytes | str, methods: Iterable[str] = ("GET",)) -> Callable[[H], H]:
        def decorator(handler: H) -> H:
            for method in methods:
                self.add(method, pattern, handler)
            return handler

        return decorator

    def get(self, pattern: bytes | str) -> Callable[[H], H]:
        return self.route(pattern, ("GET",))

    def post(self, pattern: bytes | str) -> Callable[[H], H]:
        return self.route(pattern, ("POST",))

    def put(self, pattern: bytes | str) -> Callable[[H], H]:
        return self.route(pattern, ("PUT",))

    def patch(self, pattern: bytes | str) -> Callable[[H], H]:
        return self.route(pattern, ("PATCH",))

    def delete(self, pattern: bytes | str) -> Callable[[H], H]:
        return self.route(pattern, ("DELETE",))

    def head(self, pattern: bytes | str) -> Callable[[H], H]:
        return self.route(pattern, ("HEAD",))

    def options(self, pattern: bytes | str) -> Callable[[H], H]:
        return self.route(pattern, ("OPTIONS",))

    def get_match(self, request: Any) -> RouteMatch:
        """The route that serves `request`; when none does, a match whose handler answers as
        HTTP wants: HEAD by the GET route without body, 405 with Allow, 404 (see `unmatched`)."""
        method = request.method
        if isinstance(method, str):
            # Requests carry the method as text; the engine keys its trees by bytes. The few
            # methods an application sees are encoded once.
            encoded = _METHOD_BYTES.get(method)
            if encoded is None:
                encoded = method.encode("latin-1", "replace")
                if len(_METHOD_BYTES) < 64:  # clients choose the method: keep the table small
                    _METHOD_BYTES[method] = encoded
            method = encoded
        found = self._engine.get_match(method, request._path)
        if found is None:
            return unmatched(self._engine, method, request._path, self._head_routes)
        return RouteMatch(*found)
