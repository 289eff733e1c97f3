"""The application: routes requests to handlers and maps failures to error responses.

Request handling and the exception dispatch are `KeystoneApplication`'s (compiled); this class
adds the router, the ASGI and RSGI entry points, the start and stop hooks and the error
details shown when `show_error_details` is set.
"""

from __future__ import annotations

import asyncio
import traceback
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any, Self, TypeVar

from quenmark import disconnects
from quenmark.contents import TextContent
from quenmark.exceptions import MessageAborted
from quenmark.keystone import ExceptionHandlersDict, KeystoneApplication, asgi_entry, rsgi_entry
from quenmark.messages import Request, Response
from quenmark.middleware.pipeline import Middleware, compose
from quenmark.server import asgi
from quenmark.server.handlers import handle_method_not_allowed, name_the_route
from quenmark.server.routing import Router

__all__ = ["Application", "ServerErrorDetailsHandler"]

# `async def handler(app, request, exc) -> Response`; the decorator keeps the function's own type.
ExceptionHandler = Callable[[Any, Request, Any], Awaitable[Response]]
EH = TypeVar("EH", bound=ExceptionHandler)
Scope = dict[str, Any]
Receive = Callable[[], Awaitable[dict[str, Any]]]
Send = Callable[[dict[str, Any]], Awaitable[None]]


class ServerErrorDetailsHandler:
    """Answers an internal error with its traceback, for `show_error_details`."""

    def produce_response(self, request: Request, exc: BaseException | None) -> Response:
        if exc is None:
            details = "No exception details."
        else:
            # traceback renders an exception whose own __str__ fails, too.
            details = "".join(traceback.format_exception(exc))
        return Response(500, content=TextContent(f"Internal Server Error\n\n{details}"))


# What `handle` answers for a request whose body ended early: the client went away, or the server
# took a malformed body for that. The exchange sends a fresh 400 in its place and ignores a
# failure to send it: a client still listening is told, one that is gone cannot be.
_CLIENT_GONE = Response(499)


async def _client_gone(app: Any, request: Request, exc: MessageAborted) -> Response:
    return _CLIENT_GONE


class Application(KeystoneApplication):
    """An ASGI and RSGI application.

    Handlers are `async def handler(request) -> Response | None`; route parameters are in
    `request.route_values`. Exception handlers are registered by exception class or by HTTP
    status and are `async def handler(app, request, exc) -> Response`.
    """

    def __init__(self, router: Router | None = None, show_error_details: bool = False) -> None:
        super().__init__(show_error_details, router if router is not None else Router())
        self.server_error_details_handler = ServerErrorDetailsHandler()
        # Coroutine functions taking the application (of its own class, for type checkers).
        self.on_start: list[Callable[[Self], Awaitable[None]]] = []
        self.on_stop: list[Callable[[Self], Awaitable[None]]] = []
        self.started = False
        # Around `handle`, the first outermost; composed by build_pipeline (quenmark.middleware).
        self.middlewares: list[Middleware] = []
        self._entry = self._first_request
        self._unanswered = _CLIENT_GONE

    def build_pipeline(self) -> None:
        """Composes `middlewares` around `handle`; `start` does, after the start hooks."""
        self._entry = compose(self.middlewares, self.handle, self.handle_request_handler_exception,
                              _CLIENT_GONE)

    async def _first_request(self, request: Request) -> Response:
        # A request before any start (a server without lifespan, a bare call): compose now.
        self.build_pipeline()
        return await self._entry(request)

    def init_exceptions_handlers(self) -> ExceptionHandlersDict:
        # A client that disconnects mid-request is logged as a handled error (info, no
        # traceback), not as a failure of the application.
        handlers = super().init_exceptions_handlers()
        handlers[MessageAborted] = _client_gone
        handlers[405] = handle_method_not_allowed
        return handlers

    async def log_unhandled_exc(self, request: Request, exc: Exception) -> None:
        # Runs for unhandled errors only: the exception dispatch of every other request keeps
        # the compiled path.
        name_the_route(self.router, request, exc)
        await super().log_unhandled_exc(request, exc)

    if TYPE_CHECKING:
        # The compiled base types its router loosely; an Application's is a Router.
        @property
        def router(self) -> Router: ...

    def exception_handler(self, key: type[BaseException] | int) -> Callable[[EH], EH]:
        """Registers the decorated coroutine function for an exception class or a status."""

        def decorator(handler: EH) -> EH:
            self.exceptions_handlers[key] = handler
            return handler

        return decorator

    async def start(self) -> None:
        if not self.started:
            self.started = True
            disconnects.install_shutdown_signals(asyncio.get_running_loop())
            await self._run_hooks(self.on_start, "Startup")
            self.build_pipeline()

    async def stop(self) -> None:
        if self.started:
            self.started = False
            # Open streams end first: the server may be waiting for them to stop.
            await disconnects.stop_streams()
            disconnects.uninstall_shutdown_signals()
            await self._run_hooks(self.on_stop, "Shutdown")

    async def _run_hooks(self, hooks: list[Callable[[Any], Awaitable[None]]], stage: str) -> None:
        for hook in hooks:
            try:
                await hook(self)
            except Exception:
                # Logged here, with the traceback, on every server: an ASGI server is only
                # told that the stage failed.
                self.logger.exception("%s hook %s failed", stage, getattr(hook, "__qualname__", hook))
                raise

    # The ASGI and RSGI entry points (compiled): an HTTP exchange is served from the scope to the
    # pools by quenmark.scribe's serve_asgi / serve_rsgi, which await `_entry` with the request
    # and send a best-effort 400 for `_unanswered`; other ASGI scopes go to `_serve_other_scope`.
    __call__ = asgi_entry
    __rsgi__ = rsgi_entry

    async def _serve_other_scope(self, scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind == "lifespan":
            await asgi.run_lifespan(self, receive, send)
        else:
            raise RuntimeError(f"unsupported ASGI scope type {kind!r}")

    def __rsgi_init__(self, loop: Any) -> None:
        try:
            loop.run_until_complete(self.start())
        except Exception as exc:
            # The traceback is logged: the worker exits with a line, not with it a second time.
            raise SystemExit(f"Application startup failed: {exc!r}") from None

    def __rsgi_del__(self, loop: Any) -> None:
        loop.run_until_complete(self.stop())
