"""Route values handed to handlers as keyword arguments, converted to their declared types.

`request.route_values` holds the values as the path gave them (text). A handler that wants
them converted names them as parameters after the request:

    @app.router.get("/items/{item_id:int}")
    async def get_item(request, item_id: int): ...

and is then called with `item_id=int(...)`: `int` and `float` values arrive as numbers,
`uuid` values as `uuid.UUID`, the others as text. The handler is wrapped once, at
registration; a handler that takes only the request is called as it is and costs nothing.
"""

from __future__ import annotations

import inspect
from collections.abc import Awaitable, Callable, Sequence
from typing import Any
from uuid import UUID

from quenmark.exceptions import NotFound
from quenmark.messages import Request, Response
from quenmark.server.route_patterns import Param, RouteError

__all__ = ["check_handler", "with_route_values"]

RouteHandler = Callable[[Request], Awaitable[Response | None]]

_CONVERTERS: dict[str, Callable[[str], Any]] = {"int": int, "float": float, "uuid": UUID}

_P = inspect.Parameter


def _describe(handler: object) -> str:
    name = getattr(handler, "__qualname__", None)
    return f"{getattr(handler, '__module__', '?')}.{name}" if name else repr(handler)


def _is_coroutine_function(handler: object) -> bool:
    return inspect.iscoroutinefunction(handler) or inspect.iscoroutinefunction(
        getattr(handler, "__call__", None)
    )


def check_handler(handler: Callable[..., Any], params: Sequence[Param], where: str) -> list[str]:
    """The names of the route values that `handler` takes as keyword arguments; raises
    RouteError (naming the route) for a handler that is not a coroutine function, takes no
    request, or requires a parameter that the pattern does not declare."""
    if not _is_coroutine_function(handler):
        raise RouteError(f"{where}: the handler {_describe(handler)} must be a coroutine function (async def)")
    try:
        signature = inspect.signature(handler)
    except (TypeError, ValueError):  # no signature to read: it takes the request alone
        return []
    declared = [p.name for p in params]
    parameters = list(signature.parameters.values())
    if not parameters or parameters[0].kind not in (_P.POSITIONAL_ONLY, _P.POSITIONAL_OR_KEYWORD, _P.VAR_POSITIONAL):
        raise RouteError(f"{where}: the handler {_describe(handler)} must take the request as its first argument")
    wanted: list[str] = []
    for parameter in parameters[1:]:
        if parameter.kind == _P.VAR_KEYWORD:
            return declared
        if parameter.kind in (_P.POSITIONAL_OR_KEYWORD, _P.KEYWORD_ONLY) and parameter.name in declared:
            wanted.append(parameter.name)
        elif parameter.default is _P.empty and parameter.kind != _P.VAR_POSITIONAL:
            raise RouteError(
                f"{where}: the handler {_describe(handler)} requires {parameter.name!r}, which the pattern "
                f"does not declare ({', '.join(declared) or 'it has no parameters'})"
            )
    return wanted


def with_route_values(handler: Callable[..., Awaitable[Response | None]], params: Sequence[Param]) -> RouteHandler:
    """`handler` called with the route values of `params` as keyword arguments, converted."""
    converters = tuple((p.name, _CONVERTERS.get(p.type)) for p in params)

    def call(request: Request) -> Awaitable[Response | None]:
        # A plain function returning the handler's coroutine: request handling awaits it, and
        # no frame of its own stays on the way.
        values = request.route_values
        kwargs = {}
        for name, convert in converters:
            value = values[name]
            if convert is not None:
                try:
                    value = convert(value)
                except ValueError:
                    # A value the type cannot hold (an int of more digits than int() reads)
                    # is answered as one the pattern refuses.
                    raise NotFound() from None
            kwargs[name] = value
        return handler(request, **kwargs)

    call.__name__ = getattr(handler, "__name__", "handler")
    call.__qualname__ = getattr(handler, "__qualname__", call.__name__)
    call.__wrapped__ = handler  # type: ignore[attr-defined]
    return call
