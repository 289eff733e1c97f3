"""Routes and the application router, on top of the compiled radix-tree engine."""

from __future__ import annotations

from collections.abc import Awaitable, Callable, Iterable
from typing import Any, TypeVar

from quenmark.messages import Response
from quenmark.routing import (
    CythonRadixRouter,
    RouteMatch,
    _RequestRouter,
    _param_names,
)
from quenmark.server import route_patterns
from quenmark.server.route_patterns import PatternTable, RouteError
from quenmark.server.route_values import check_handler, with_route_values
from quenmark.server.unmatched import unmatched

__all__ = ["Route", "RouteError", "RouteMatch", "Router"]

# `async def handler(request) -> Response | None`, with keyword parameters for route values.
Handler = Callable[..., Awaitable["Response | None"]]
# The decorators hand back the function they were given, with its own type.
H = TypeVar("H", bound=Handler)

def parse_param_names(pattern: bytes) -> list[str]:
    """The names of a pattern's one-segment parameters, in path order.

    A catch-all (`*` or a parameter of type `path`) reports under its own key and ends the
    pattern, so it is not listed. The pattern is read by the tree's own parser, so the names
    are those the tree will match.
    """
    return _param_names(pattern)


class Route:
    """A pattern and the handler that serves it.

    `endpoint` is the function registered; `handler` is what request handling calls with the
    request: the endpoint itself, or, when the endpoint takes route values as keyword
    arguments, the endpoint wrapped to pass them (see `route_values`). A pattern or a handler
    that cannot work raises `RouteError`.
    """

    __slots__ = ("pattern", "handler", "endpoint", "param_names", "params", "_checked")

    def __init__(self, pattern: bytes | str, handler: Handler, method: str = "") -> None:
        if isinstance(pattern, str):
            pattern = pattern.encode("utf8")
        if not isinstance(pattern, bytes):
            raise TypeError(f"a route pattern must be bytes or str, not {type(pattern).__name__}")
        where = f"{method} {pattern.decode('utf-8', 'backslashreplace')}".lstrip()
        checked = route_patterns.read(pattern, where)
        wanted = check_handler(handler, checked.params, where)
        self.pattern = pattern
        self.endpoint = handler
        self.params = checked.params
        self.param_names = [p.name for p in checked.params if p is not checked.catch_all]
        self.handler = handler if not wanted else with_route_values(handler, [p for p in checked.params if p.name in wanted])
        self._checked = checked

    def __repr__(self) -> str:
        return f"<Route {self.pattern!r}>"


class Router(_RequestRouter):
    """Registers routes per HTTP method and finds the one that serves a request.

    `get_match(request)` (compiled, inherited) gives the route that serves the request; when
    none does, a match whose handler answers as HTTP wants: HEAD by the GET route without body,
    405 with Allow, 404 (see `unmatched`). Request handling calls it without a method lookup
    unless a subclass or the instance defines its own `get_match`, which is then called instead.
    """

    def __init__(self) -> None:
        self._engine = CythonRadixRouter()
        self.routes: list[tuple[str, Route]] = []
        self._tables: dict[str, PatternTable] = {}
        # GET routes' stand-ins for HEAD requests, made when first asked for.
        self._head_routes: dict[Route, Any] = {}

    def add(self, method: str, pattern: bytes | str, handler: Handler) -> Route:
        """Registers `handler` for `method` and `pattern`; raises `RouteError`, registering
        nothing, for a pattern or handler that cannot work or a pattern that clashes with one
        registered before."""
        method = method.upper()
        route = Route(pattern, handler, method)
        checked = route._checked
        self._tables.setdefault(method, PatternTable()).add(checked, f"{method} {checked.source}")
        # The names include the catch-all's, so that the values of a pattern that ends with one
        # are keyed by name too.
        names: list[str | bytes] = [p.name for p in route.params]
        self._engine.add_route(method.encode("ascii"), checked.tree_pattern, route, names)
        self.routes.append((method, route))
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

    def _unmatched(self, request: Any) -> RouteMatch:
        method = request.method
        if isinstance(method, str):
            method = method.encode("latin-1", "replace")
        return unmatched(self._engine, method, request._path, self._head_routes)
